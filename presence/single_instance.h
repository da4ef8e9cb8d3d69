#pragma once

#include "presence/answering_wait.h"

#include <windows.h>

#include <string>
#include <string_view>

namespace presence {

// Runs the WM_CLOSE and WM_COMMAND messages posted to window (the main
// window; none without one). Start-up's waits answer only sent messages, so a
// posted close or 105 would otherwise wait for the message loop, until after
// start-up had published and promised. A 104 among them is ignored, as any
// before running.
void dispatchPostedEndings(HWND window);

// When a presence came into being, in 100 ns units of the system-wide
// monotonic clock (QueryUnbiasedInterruptTime), which setting the system
// clock does not move: later is newer.
using Stamp = unsigned long long;

Stamp now();
// When this process was created, on the monotonic clock: the stamp of its
// command line. Its age is measured on the system clock, so call it first
// thing.
Stamp processCreation();

// An offer between instances: the stamp in its first four units, then the
// presence command string.
std::wstring makeOffer(Stamp stamp, std::wstring_view text);
// False when the payload is too short to hold a stamp. A stamp later than
// now is read as now.
bool readOffer(std::wstring_view payload, Stamp& stamp, std::wstring_view& text);

}  // namespace presence
