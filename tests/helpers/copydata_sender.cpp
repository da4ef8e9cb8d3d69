// Test helper: finds a top-level window by class name and sends it one
// message from this process, as the front end does.
//   copydata_sender CLASS WPARAM TEXT        WM_COPYDATA with TEXT in UTF-16
//   copydata_sender CLASS WPARAM --msg N     message N with lParam 0
//   copydata_sender CLASS WPARAM TEXT COUNT [--distinct]
//                                            COUNT times, with --distinct each
//                                            with its number after TEXT (for
//                                            measurements from outside)
//   copydata_sender CLASS WPARAM TEXT --flood MS
//                                            TEXT again and again, each sent as
//                                            soon as the last was answered,
//                                            until the window is gone (exit 0)
//                                            or MS have passed (exit 1)
//   copydata_sender --open-mutex NAME        opens the named mutex with the
//                                            rights CreateMutexW asks for:
//                                            exit 0, or 210 when refused
// Exit code: the SendMessage result, or 200 + a reason when nothing was sent.
#include <windows.h>

#include <cwchar>
#include <cstdlib>
#include <string>

namespace {

LRESULT sendText(HWND window, WPARAM wParam, std::wstring text)
{
    COPYDATASTRUCT data = {};
    data.dwData = 0x5A5A;
    data.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    data.lpData = text.data();
    return SendMessageW(window, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&data));
}

int flood(HWND window, WPARAM wParam, const std::wstring& text, ULONGLONG milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (IsWindow(window)) {
        if (GetTickCount64() >= end) {
            return 1;
        }
        sendText(window, wParam, text);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && std::wstring(argv[1]) == L"--open-mutex") {
        HANDLE mutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, argv[2]);
        if (!mutex) {
            return 210;
        }
        CloseHandle(mutex);
        return 0;
    }
    if (argc < 4) {
        return 201;
    }
    HWND window = FindWindowW(argv[1], nullptr);
    if (!window) {
        return 202;
    }
    const auto wParam = static_cast<WPARAM>(std::wcstoull(argv[2], nullptr, 10));
    if (std::wstring(argv[3]) == L"--msg" && argc >= 5) {
        const auto message = static_cast<UINT>(std::wcstoul(argv[4], nullptr, 10));
        return static_cast<int>(SendMessageW(window, message, wParam, 0));
    }
    if (argc >= 6 && std::wstring(argv[4]) == L"--flood") {
        return flood(window, wParam, argv[3], std::wcstoull(argv[5], nullptr, 10));
    }
    const long count = argc >= 5 ? std::wcstol(argv[4], nullptr, 10) : 1;
    const bool distinct = argc >= 6 && std::wstring(argv[5]) == L"--distinct";
    LRESULT result = 0;
    for (long i = 0; i < count; ++i) {
        result = sendText(window, wParam, distinct ? argv[3] + std::to_wstring(i) : argv[3]);
    }
    return static_cast<int>(result);
}
