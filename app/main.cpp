// orvpresd: shows what the user does in the emulator front end as Discord
// rich presence. A hidden window, a message loop, and the presence manager.
#include "common/log.h"
#include "log_place.h"
#include "presence/orv_discord_manager.h"
#include "resource.h"
#include "utility/task_dispatcher.h"

#include <windows.h>

namespace {

constexpr int kMaxLoadString = 100;

HINSTANCE g_instance = nullptr;
wchar_t g_title[kMaxLoadString];
wchar_t g_windowClass[kMaxLoadString];
OrvDiscordManager g_manager;
// The open about box: a second IDM_ABOUT while it is open only brings it forward,
// so that a sender cannot pile up nested modal loops.
HWND g_aboutBox = nullptr;
bool g_aboutOpening = false;

// Told to end while the about box is open: the box goes, and its modal loop
// with it, so that the quit reaches the main loop.
void endAboutBox()
{
    if (g_aboutBox) {
        EndDialog(g_aboutBox, IDCANCEL);
    }
}

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) noexcept
{
    switch (message) {
    case WM_INITDIALOG:
        g_aboutBox = dialog;
        if (g_manager.ending()) {
            EndDialog(dialog, IDCANCEL);  // told to end while it was being made
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDM_ABOUT:
            // Never inside start-up's or the way out's waits: a modal loop
            // there would hold them until someone closed a box nobody sees.
            if (!g_manager.running()) {
                ORV_LOG("mainWindowProc", L"about box asked for while not running: ignored");
                return 0;
            }
            if (g_aboutOpening) {
                if (g_aboutBox) {
                    SetForegroundWindow(g_aboutBox);
                }
                return 0;
            }
            g_aboutOpening = true;
            DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), window, aboutDialogProc, 0);
            g_aboutOpening = false;
            g_aboutBox = nullptr;
            // A modal loop that meets WM_QUIT is to post it again; whether
            // it did or not, told to end is final: the main loop must end.
            if (g_manager.ending()) {
                PostQuitMessage(0);
            }
            return 0;
        case IDM_EXIT:
            DestroyWindow(window);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_QUERYENDSESSION:
        // Asked before the session ends or the Restart Manager closes this
        // program: it may, and ends once WM_ENDSESSION says so.
        return TRUE;
    case WM_ENDSESSION:
        g_manager.askedToEnd(presence::endRequestOf(message, wParam, lParam), L"main window");
        return 0;
    case WM_DESTROY:
        ORV_LOG_ENDING("mainWindowProc", L"told to end: the main window is closed");
        g_manager.quit(L"the main window is closed");
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void registerMainClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_ORVPRESD));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDC_ORVPRESD);
    windowClass.lpszClassName = g_windowClass;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
    RegisterClassExW(&windowClass);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
    LoadStringW(instance, IDS_APP_TITLE, g_title, kMaxLoadString);
    LoadStringW(instance, IDC_ORVPRESD, g_windowClass, kMaxLoadString);
    registerMainClass(instance);

    g_instance = instance;
    common::setLogSink(&common::logToFile);
    openLog();
    // Never shown: the window exists to receive WM_CLOSE and its commands.
    HWND window = CreateWindowExW(0, g_windowClass, g_title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) {
        ORV_LOG_ENDING("wWinMain", L"no main window (error %d): nothing to do", static_cast<int>(GetLastError()));
        common::shutdownLog();
        return 0;
    }
    MainThreadDispatcher::createInstance();

    g_manager.setMainWindow(window, IDM_EXIT);
    g_manager.setEndingHook(&endAboutBox);
    if (!g_manager.init(commandLine)) {
        g_manager.passOn();
        common::shutdownLog();
        return 0;
    }
    g_manager.update();

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_ORVPRESD));
    MSG message = {};
    BOOL got = 0;
    // GetMessageW answers -1 on error: only a positive answer is a message.
    // Told to end, the loop ends at the next message whatever became of the
    // quit message (the watchdog's tick comes every second).
    while (!g_manager.ending() && (got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (got < 0) {
        ORV_LOG_ENDING("wWinMain", L"the message loop failed (error %d): ending", static_cast<int>(GetLastError()));
    }
    g_manager.finish();
    common::shutdownLog();
    // 0 however it ended: a WM_QUIT posted from outside carries any code.
    return 0;
}
