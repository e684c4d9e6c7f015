#include "startup.h"

#include "config/host_main.h"
#include "lobby/client/scplb_cmain.h"
#include "main/updaterlaunch.h"
#include "motd/motd_main.h"
#include "update/update_main.h"

TStartupWindows::TStartupWindows() = default;
TStartupWindows::TStartupWindows(TStartupWindows&&) noexcept = default;
TStartupWindows& TStartupWindows::operator=(TStartupWindows&&) noexcept = default;
TStartupWindows::~TStartupWindows() = default;

TStartupWindows CreateStartupWindows()
{
    TStartupWindows windows;
    windows.lobby = new Tscplb_cform;
    windows.lobby->FormCreate();
    // The News window sends its request now; the reply is handled whenever it comes.
    windows.motd = std::make_unique<Tmotd_form>(nullptr, windows.lobby->config);
    windows.motd->ShowUpdater = ShowUpdaterModal;
    windows.motd->FormCreate();
    windows.update = std::make_unique<Tupdate_form>();
    windows.lobby->hostForm = new Thost_form(windows.lobby, windows.lobby->config);
    return windows;
}
