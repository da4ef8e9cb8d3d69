#pragma once

// How an endpoint's name becomes the system's address for it: shared by the
// client transports and the test peer's listeners, which must agree.
#include <string>

#ifdef _WIN32

namespace orvsdk {

// Pipe names and the SDDL the test peer uses are ASCII.
inline std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

}  // namespace orvsdk

#else

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>

namespace orvsdk {

// False when path does not fit a socket address.
inline bool addressFor(const std::string& path, sockaddr_un& address)
{
    address = sockaddr_un{};
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace orvsdk

#endif
