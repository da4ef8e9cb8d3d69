// orvpres-send: hands a presence to the running orvpresd, as the front end
// does. Usage: orvpres-send "details=...|state=...|gameicon=..."
#include "presence/front_end_contract.h"
#include "utility/window_ipc.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

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
    if (!FindWindowW(frontend::kIpcWindowClass, nullptr)) {
        (void)std::fwprintf(stderr, L"orvpres-send: orvpresd is not running\n");
        return 1;
    }
    const utility::CopyDataSent sent =
        utility::sendCopyData(frontend::kIpcWindowClass, frontend::kPresenceMessage, text, kTimeoutMs);
    if (sent == utility::CopyDataSent::RefusedBySystem) {
        // "When a message is blocked by UIPI the last error, retrieved with
        // GetLastError, is set to 5 (access denied)" (SendMessage): the
        // daemon runs at a higher integrity level than this program.
        // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-sendmessage
        (void)std::fwprintf(stderr, L"orvpres-send: Windows refused to deliver the presence (error 5): orvpresd "
                                    L"runs elevated (as administrator) and this program does not; run "
                                    L"orvpres-send as administrator too, or restart orvpresd without elevation\n");
        return 4;
    }
    if (sent == utility::CopyDataSent::NoWindow) {
        (void)std::fwprintf(stderr, L"orvpres-send: orvpresd is not running\n");
        return 1;
    }
    if (sent != utility::CopyDataSent::Taken) {
        (void)std::fwprintf(stderr, L"orvpres-send: orvpresd did not take the presence (error %lu)\n", GetLastError());
        return 3;
    }
    return 0;
}
