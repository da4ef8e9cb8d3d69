#include "sdk/frame.h"

namespace orvsdk {
namespace {

void putLittleEndian(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

uint32_t getLittleEndian(const char* in)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(in[i]);
    }
    return value;
}

}  // namespace

std::string encodeFrame(Opcode opcode, const std::string& payload)
{
    std::string out;
    out.reserve(kHeaderSize + payload.size());
    putLittleEndian(out, static_cast<uint32_t>(opcode));
    putLittleEndian(out, static_cast<uint32_t>(payload.size()));
    out += payload;
    return out;
}

void FrameDecoder::feed(const char* data, size_t size)
{
    if (!m_error.empty()) {
        return;  // the stream is useless: nothing more is kept
    }
    // What next() consumed goes before new bytes come: the buffer then holds
    // at most one unfinished frame and this read.
    if (m_offset > 0) {
        m_buffer.erase(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(data, size);
}

FrameDecoder::Status FrameDecoder::fail(std::string error)
{
    m_error = std::move(error);
    std::string().swap(m_buffer);
    m_offset = 0;
    return Status::Error;
}

FrameDecoder::Status FrameDecoder::next(Frame& frame)
{
    if (!m_error.empty()) {
        return Status::Error;
    }
    const size_t available = m_buffer.size() - m_offset;
    if (available < kHeaderSize) {
        return Status::NeedMore;
    }
    const char* header = m_buffer.data() + m_offset;
    const uint32_t opcode = getLittleEndian(header);
    const uint32_t length = getLittleEndian(header + 4);
    if (opcode > static_cast<uint32_t>(Opcode::Pong)) {
        return fail("unknown opcode " + std::to_string(opcode));
    }
    if (length > kMaxPayload) {
        return fail("frame of " + std::to_string(length) + " bytes is over the cap");
    }
    if (available < kHeaderSize + length) {
        return Status::NeedMore;
    }
    frame.opcode = static_cast<Opcode>(opcode);
    frame.payload.assign(header + kHeaderSize, length);
    m_offset += kHeaderSize + length;
    if (m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    }
    return Status::Ready;
}

}  // namespace orvsdk
