// The frame decoder over arbitrary bytes in arbitrary reads: every frame it
// gives back re-encodes to exactly the bytes it came from, an error is final,
// and it never holds more than one frame and one read.
#include "sdk/frame.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    orvsdk::FrameDecoder decoder;
    std::string stream;
    std::string decoded;
    bool failed = false;
    while (input.remaining_bytes() > 0) {
        const size_t readSize = input.ConsumeIntegralInRange<size_t>(1, 20000);
        // A read may repeat its bytes, so that many frames fit in a small input.
        const std::string piece = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<size_t>(1, 64));
        const size_t repeat = input.ConsumeIntegralInRange<size_t>(1, 300);
        std::string read;
        while (read.size() < readSize && !piece.empty()) {
            read += piece;
            if (read.size() >= piece.size() * repeat) {
                break;
            }
        }
        stream += read;
        decoder.feed(read.data(), read.size());
        if (decoder.buffered() > orvsdk::kHeaderSize + orvsdk::kMaxPayload + read.size()) {
            std::abort();
        }
        orvsdk::Frame frame;
        orvsdk::FrameDecoder::Status status;
        while ((status = decoder.next(frame)) == orvsdk::FrameDecoder::Status::Ready) {
            if (failed) {
                std::abort();
            }
            decoded += orvsdk::encodeFrame(frame.opcode, frame.payload);
        }
        if (status == orvsdk::FrameDecoder::Status::Error) {
            failed = true;
        }
    }
    if (stream.compare(0, decoded.size(), decoded) != 0) {
        std::abort();
    }
    return 0;
}
