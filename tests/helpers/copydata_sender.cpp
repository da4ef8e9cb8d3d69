// Test helper: finds a top-level window by class name and sends it one
// message from this process, as the front end does.
//   copydata_sender CLASS WPARAM TEXT        WM_COPYDATA with TEXT in UTF-16
//   copydata_sender CLASS WPARAM --msg N     message N with lParam 0
// Exit code: the SendMessage result, or 200 + a reason when nothing was sent.
#include <windows.h>

#include <cwchar>
#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t** argv)
{
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
    const std::wstring text = argv[3];
    COPYDATASTRUCT data = {};
    data.dwData = 0x5A5A;
    data.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(text.data());
    return static_cast<int>(SendMessageW(window, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&data)));
}
