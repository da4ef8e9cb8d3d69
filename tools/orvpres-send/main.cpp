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
    if (!utility::sendCopyData(frontend::kIpcWindowClass, frontend::kPresenceMessage, text, kTimeoutMs)) {
        (void)std::fwprintf(stderr, L"orvpres-send: orvpresd did not take the presence (error %lu)\n",
                            GetLastError());
        return 3;
    }
    return 0;
}
