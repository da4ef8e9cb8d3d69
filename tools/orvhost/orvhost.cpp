// A stand-in for the emulator front end in tests and the demo: a process
// named orvhost.exe that only waits, until it is ended or, with a number of
// seconds as its argument, until they have passed. With --window after the
// seconds it holds an empty window (class "orvhost-empty-window") meanwhile,
// which measurements compare the daemon's IPC window with.
#include <windows.h>

#include <cwchar>

namespace {

void holdEmptyWindow(DWORD wait)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"orvhost-empty-window";
    RegisterClassW(&windowClass);
    CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                    windowClass.hInstance, nullptr);
    const ULONGLONG end = GetTickCount64() + wait;
    for (ULONGLONG now = GetTickCount64(); wait == INFINITE || now < end; now = GetTickCount64()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait == INFINITE ? INFINITE : static_cast<DWORD>(end - now),
                                  QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const DWORD wait = argc > 1 ? static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)) * 1000 : INFINITE;
    if (argc > 2 && std::wcscmp(argv[2], L"--window") == 0) {
        holdEmptyWindow(wait);
        return 0;
    }
    Sleep(wait);
    return 0;
}
