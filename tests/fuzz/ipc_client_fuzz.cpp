// The IPC client after the handshake, with a Discord side that replays the
// input: raw bytes, whole frames and answers, interleaved with the caller's
// updates, callback runs and the clock's steps. Every update completes
// exactly once, and nothing crashes, hangs or leaks.
#include "sdk/ipc_client.h"
#include "sdk/memory_transport.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

namespace {

using namespace std::chrono_literals;

enum Step { RawBytes, WholeFrame, Answer, Update, Clear, RunCallbacks, Tick, kSteps };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    auto link = std::make_shared<sdktest::MemoryLink>();
    link->push(orvsdk::encodeFrame(orvsdk::Opcode::Frame, R"({"cmd":"DISPATCH","evt":"READY","nonce":null})"));

    auto now = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::time_point{} + 1000s);
    auto clockMutex = std::make_shared<std::mutex>();
    orvsdk::ClientOptions options;
    options.clientId = 1;
    options.pid = 7;
    options.clock = [now, clockMutex] {
        std::lock_guard<std::mutex> lock(*clockMutex);
        return *now;
    };
    options.log = [](EDiscordLogLevel, const std::string&) {};

    std::unique_ptr<orvsdk::IpcClient> client;
    if (orvsdk::IpcClient::connect(options, std::make_unique<sdktest::MemoryTransport>(link), client) !=
        DiscordResult_Ok) {
        std::abort();
    }
    int started = 0;
    int completed = 0;
    auto done = [&completed](EDiscordResult) { ++completed; };
    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange<int>(0, kSteps - 1)) {
        case RawBytes:
            link->push(input.ConsumeBytesAsString(input.ConsumeIntegralInRange<size_t>(1, 512)));
            break;
        case WholeFrame: {
            const auto opcode = static_cast<orvsdk::Opcode>(input.ConsumeIntegralInRange<uint32_t>(0, 4));
            link->push(orvsdk::encodeFrame(opcode, input.ConsumeRandomLengthString(2048)));
            break;
        }
        case Answer: {
            const int nonce = input.ConsumeIntegralInRange<int>(0, started + 1);
            link->push(orvsdk::encodeFrame(orvsdk::Opcode::Frame,
                                           R"({"cmd":"SET_ACTIVITY","nonce":"7-)" + std::to_string(nonce) +
                                               R"(","evt":)" + input.ConsumeRandomLengthString(300) + "}"));
            break;
        }
        case Update:
            ++started;
        {
            DiscordActivity record{};
            input.ConsumeRandomLengthString(sizeof record.details - 1).copy(record.details, sizeof record.details - 1);
            client->setActivity(&record, done);
        }
            break;
        case Clear:
            ++started;
            client->setActivity(nullptr, done);
            break;
        case RunCallbacks:
            client->runCallbacks();
            break;
        case Tick: {
            std::lock_guard<std::mutex> lock(*clockMutex);
            *now += std::chrono::milliseconds(input.ConsumeIntegralInRange<int>(0, 30000));
        }
            client->poke();
            break;
        }
        if (!link->waitIdle(5s)) {
            std::abort();  // the connection's thread hangs
        }
    }
    client.reset();
    if (completed != started) {
        std::abort();
    }
    return 0;
}
