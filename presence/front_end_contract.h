#pragma once

// What the front end (orvhost.exe) and orvpresd agree on: the windows it
// finds, the messages it sends them, the commands of the main window. The
// daemon, orvpres-send and the tests all take it from here; so does app.rc,
// through resource.h, which is why the texts and numbers the resource
// compiler needs are macros.
#define ORVPRESD_MAIN_WINDOW_CLASS "ORVPRESD"
#define ORVPRESD_MAIN_WINDOW_TITLE "orvpresd"
#define ORVPRESD_ABOUT_COMMAND 104
#define ORVPRESD_EXIT_COMMAND 105

#ifndef RC_INVOKED
#include <windows.h>

namespace frontend {

// The hidden window that takes presences; also the single-instance mutex's
// name.
inline constexpr wchar_t kIpcWindowClass[] = L"{057D7EB3-7F15-4FAA-A2E5-252F34D3DA7A}";

// WM_COPYDATA to that window: a presence command string from the front end.
inline constexpr WPARAM kPresenceMessage = 9990;
// WM_COPYDATA to that window: a second start's offer, its stamp first.
inline constexpr WPARAM kOfferMessage = 9992;

// The main window, which takes WM_CLOSE and these WM_COMMANDs.
inline constexpr wchar_t kMainWindowClass[] = L"" ORVPRESD_MAIN_WINDOW_CLASS;
inline constexpr wchar_t kMainWindowTitle[] = L"" ORVPRESD_MAIN_WINDOW_TITLE;
inline constexpr WORD kAboutCommand = ORVPRESD_ABOUT_COMMAND;
inline constexpr WORD kExitCommand = ORVPRESD_EXIT_COMMAND;

// The front end's process, whose end ends the daemon.
inline constexpr wchar_t kFrontEndProcess[] = L"orvhost.exe";

}  // namespace frontend
#endif
