#include "resmeter.h"

// The 16-bit heaps belong to the Windows 9x family, which this program does
// not run on; there is no route to them, so every heap counts as all free.
bool ThunkRouteAvailable() { return false; }

void FreeSystemResources(uint16_t& system, uint16_t& user, uint16_t& gdi)
{
    system = 100;
    user = 100;
    gdi = 100;
}
