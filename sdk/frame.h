#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvsdk {

// Discord's local IPC framing: little-endian opcode, little-endian length,
// then that many bytes of UTF-8 JSON.
enum class Opcode : uint32_t { Handshake = 0, Frame = 1, Close = 2, Ping = 3, Pong = 4 };

constexpr size_t kHeaderSize = 8;
constexpr uint32_t kMaxPayload = 64 * 1024;

std::string encodeFrame(Opcode opcode, const std::string& payload);

struct Frame {
    Opcode opcode = Opcode::Frame;
    std::string payload;
};

// Reassembles frames from a byte stream: a frame may arrive split across
// reads, several may arrive in one. An unknown opcode or a length over the cap
// is a protocol error, after which the stream is useless.
class FrameDecoder {
public:
    enum class Status { NeedMore, Ready, Error };

    void feed(const char* data, size_t size);
    Status next(Frame& frame);
    const std::string& error() const { return m_error; }
    // Bytes held, consumed or not: what the decoder costs in memory.
    size_t buffered() const { return m_buffer.size(); }

private:
    Status fail(std::string error);

    std::string m_buffer;
    size_t m_offset = 0;
    std::string m_error;
};

}  // namespace orvsdk
