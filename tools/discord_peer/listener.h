#pragma once

#include "sdk/transport.h"

#include <chrono>
#include <memory>
#include <string>

namespace discordpeer {

// The Discord side of the protocol: listens on one endpoint. Server code of
// the test peers only, never in the library a user installs.
class Listener {
public:
    virtual ~Listener() = default;
    // The next client, or null when none came within timeout.
    virtual std::unique_ptr<orvsdk::Transport> accept(std::chrono::milliseconds timeout) = 0;
};

// Null when the endpoint cannot be listened on. On Windows the pipe gets the
// security descriptor given in SDDL, if any (a test peer posing as another
// user's server); elsewhere it is ignored.
std::unique_ptr<Listener> listenOn(const std::string& endpoint, const std::string& securityDescriptor = "");

}  // namespace discordpeer
