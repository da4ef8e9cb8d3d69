// orvpres-send: hands a presence to the running orvpresd, as the front end
// does. Usage: orvpres-send "details=...|state=...|gameicon=..."
#include <windows.h>

#include <cstdio>
#include <limits>
#include <string>

namespace {

const wchar_t kDaemonClass[] = L"{057D7EB3-7F15-4FAA-A2E5-252F34D3DA7A}";
constexpr WPARAM kPresenceMessage = 9990;
constexpr UINT kTimeoutMs = 5000;

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2 || std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"/?") {
        (void)std::fwprintf(stderr, L"usage: orvpres-send \"details=...|state=...|gameicon=...\"\n");
        return 2;
    }
    std::wstring text = argv[1];
    for (int i = 2; i < argc; ++i) {
        text += L' ';
        text += argv[i];
    }
    if (text.size() > std::numeric_limits<DWORD>::max() / sizeof(wchar_t)) {
        (void)std::fwprintf(stderr, L"orvpres-send: the presence is too long\n");
        return 2;
    }

    HWND daemon = FindWindowW(kDaemonClass, nullptr);
    if (!daemon) {
        (void)std::fwprintf(stderr, L"orvpres-send: orvpresd is not running\n");
        return 1;
    }
    COPYDATASTRUCT data = {};
    data.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    data.lpData = text.data();
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(daemon, WM_COPYDATA, kPresenceMessage, reinterpret_cast<LPARAM>(&data),
                             SMTO_ABORTIFHUNG | SMTO_BLOCK, kTimeoutMs, &result)) {
        const DWORD error = GetLastError();
        // "When a message is blocked by UIPI the last error, retrieved with
        // GetLastError, is set to 5 (access denied)" (SendMessage): the
        // daemon runs at a higher integrity level than this program.
        // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-sendmessage
        if (error == ERROR_ACCESS_DENIED) {
            (void)std::fwprintf(stderr, L"orvpres-send: Windows refused to deliver the presence (error 5): orvpresd "
                                        L"runs elevated (as administrator) and this program does not; run "
                                        L"orvpres-send as administrator too, or restart orvpresd without elevation\n");
            return 4;
        }
        (void)std::fwprintf(stderr, L"orvpres-send: orvpresd did not answer (error %lu)\n", error);
        return 3;
    }
    return 0;
}
