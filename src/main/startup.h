// The windows the program starts with, made in their order: the game build's
// lobby window (whose create handler makes the configuration object and the
// send-message dialog), the message-of-the-day window, the updater window and
// the host dialog. The program, its tests and its benchmarks all start here.
#pragma once

#include <memory>

class Tmotd_form;
class Tscplb_cform;
class Tupdate_form;

struct TStartupWindows {
    TStartupWindows();
    TStartupWindows(TStartupWindows&&) noexcept;
    TStartupWindows& operator=(TStartupWindows&&) noexcept;
    ~TStartupWindows();

    // The main window. It owns the configuration object, the send-message
    // dialog and the host dialog; the caller decides when it is shown and freed.
    Tscplb_cform* lobby = nullptr;
    std::unique_ptr<Tmotd_form> motd;
    std::unique_ptr<Tupdate_form> update;
};

// Creates the start-up windows, none of them shown yet. The News window's
// request goes out at once; it shows itself when the reply has come.
TStartupWindows CreateStartupWindows();
