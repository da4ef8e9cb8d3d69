#pragma once

#include "sdk/frame.h"
#include "sdk/transport.h"

#include <memory>

namespace orvsdk {

// A connection on which Discord answered the handshake with READY. The decoder
// holds whatever came after READY in the same read.
struct ReadyConnection {
    std::unique_ptr<Transport> transport;
    FrameDecoder decoder;
};

}  // namespace orvsdk
