// The free system resources shown in the About box: the shares of the old
// 16-bit system, USER and GDI heaps that are still free. Only the Windows 9x
// family has those heaps; everywhere else each figure is 100.
#pragma once

#include "text/errors.h"

#include <cstdint>

// A failure of the 16-bit call route.
class EThunkError : public EError {
public:
    using EError::EError;
};

// Whether the 16-bit call route exists on this system (decided once).
bool ThunkRouteAvailable();

// Fills the three percentages (0 to 100): system, USER heap, GDI heap.
void FreeSystemResources(uint16_t& system, uint16_t& user, uint16_t& gdi);
