#include "peer.h"

#include "sdk/frame.h"
#include "sdk/transport.h"

#include <algorithm>
#include <memory>

namespace discordpeer {
namespace {

using nlohmann::json;
using orvsdk::Frame;
using orvsdk::FrameDecoder;
using orvsdk::Opcode;
using orvsdk::Transport;
using namespace std::chrono_literals;

// A client that reads nothing for this long is not waited for.
constexpr std::chrono::milliseconds kSendPatience = 30s;

int64_t unixMillis()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const json kReady = {
    {"cmd", "DISPATCH"},
    {"evt", "READY"},
    {"data",
     {{"v", 1},
      {"config", {{"cdn_host", "cdn.discordapp.com"}, {"api_endpoint", "//discord.com/api"}, {"environment", "production"}}},
      {"user", {{"id", "1"}, {"username", "peer"}, {"discriminator", "0"}, {"bot", false}}}}},
    {"nonce", nullptr}};

// Frames the client must read and ignore, 4 KiB each, written so that every
// write ends one byte into a frame. Reads then end one byte past a frame's
// start whether they take whole writes or the pipe's 4 KiB pieces: a reader
// that keeps up never sees a frame's end at the end of a read.
bool sendFlood(Transport& client, int count)
{
    constexpr size_t kFrameSize = 4096;
    json event = {{"cmd", "DISPATCH"}, {"evt", "ACTIVITY_JOIN"}, {"data", {{"secret", ""}}}};
    const size_t bare = event.dump().size();
    event["data"]["secret"] = std::string(kFrameSize - orvsdk::kHeaderSize - bare, 'f');
    const std::string frame = orvsdk::encodeFrame(Opcode::Frame, event.dump());
    std::string stream;
    for (int i = 0; i < count; ++i) {
        stream += frame;
    }
    constexpr size_t kFramesPerWrite = 4;
    size_t at = 0;
    while (at < stream.size()) {
        const size_t end = std::min(stream.size(), at + kFramesPerWrite * frame.size() + (at == 0 ? 1 : 0));
        if (!client.send(stream.data() + at, end - at, kSendPatience)) {
            return false;
        }
        at = end;
    }
    return true;
}

// PINGs of 64 KiB, sent without ever reading again, until the client goes
// or the peer stops: a client that answers each one on the same pipe fills
// it and must not wait for ever.
void pingFlood(Transport& client, const std::atomic<bool>& stop)
{
    const std::string ping = orvsdk::encodeFrame(Opcode::Ping, json{{"pad", std::string(60000, 'p')}}.dump());
    while (!stop) {
        const auto start = std::chrono::steady_clock::now();
        if (!client.send(ping.data(), ping.size(), 200ms) && std::chrono::steady_clock::now() - start < 100ms) {
            return;  // failed at once: the client has gone
        }
    }
}

// An ERROR answer whose data is an array nested `depth` deep: valid JSON,
// well under the frame cap, and deep enough to overflow a recursive reader.
std::string deepError(const json& nonce, int depth)
{
    return R"({"cmd":"SET_ACTIVITY","evt":"ERROR","nonce":)" + nonce.dump() + R"(,"data":)" +
           std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']') + "}";
}

}  // namespace

struct Peer::Impl {
    std::unique_ptr<orvsdk::Listener> listener;
};

Peer::Peer(Options options) : m_options(std::move(options)), m_impl(new Impl) {}

Peer::~Peer()
{
    stop();
    delete m_impl;
}

bool Peer::start()
{
    m_impl->listener = orvsdk::listenOn(m_options.endpoint, m_options.securityDescriptor);
    if (!m_impl->listener) {
        return false;
    }
    m_thread = std::thread(&Peer::serveLoop, this);
    return true;
}

bool Peer::run()
{
    m_impl->listener = orvsdk::listenOn(m_options.endpoint, m_options.securityDescriptor);
    if (!m_impl->listener) {
        return false;
    }
    std::fprintf(stderr, "discord-peer: listening on %s\n", m_options.endpoint.c_str());
    std::fflush(stderr);
    serveLoop();
    return true;
}

void Peer::stop()
{
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::vector<json> Peer::records() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

bool Peer::waitFor(const std::function<bool(const std::vector<json>&)>& test, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return test(m_records); });
}

void Peer::record(json entry)
{
    entry["time"] = unixMillis();
    if (m_options.out) {
        std::fprintf(m_options.out, "%s\n", entry.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
        std::fflush(m_options.out);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.push_back(std::move(entry));
    }
    m_changed.notify_all();
}

void Peer::serveLoop()
{
    while (!m_stop) {
        std::unique_ptr<Transport> client = m_impl->listener->accept(200ms);
        if (!client) {
            continue;
        }
        record({{"event", "connected"}});

        auto send = [&](Opcode opcode, const std::string& payload) {
            const std::string bytes = orvsdk::encodeFrame(opcode, payload);
            if (!m_options.split) {
                return client->send(bytes.data(), bytes.size(), kSendPatience);
            }
            for (char byte : bytes) {
                if (!client->send(&byte, 1, kSendPatience)) {
                    return false;
                }
                std::this_thread::sleep_for(1ms);
            }
            return true;
        };

        FrameDecoder decoder;
        char buffer[4096];
        int frames = 0;
        bool open = true;
        bool hanging = false;
        while (open && !m_stop) {
            if (hanging) {
                std::this_thread::sleep_for(50ms);
                continue;
            }
            const int got = client->receive(buffer, sizeof buffer, 100ms);
            if (got == Transport::kClosed) {
                break;
            }
            decoder.feed(buffer, static_cast<size_t>(got));
            Frame frame;
            FrameDecoder::Status status;
            while (open && (status = decoder.next(frame)) == FrameDecoder::Status::Ready) {
                ++frames;
                json entry = {{"op", static_cast<int>(frame.opcode)}};
                json body = json::parse(frame.payload, nullptr, false);
                if (body.is_discarded()) {
                    entry["raw"] = frame.payload;
                } else {
                    entry["json"] = body;
                }
                record(entry);
                if (m_options.dropAfter >= 0 && frames >= m_options.dropAfter) {
                    open = false;  // without answering this frame
                    break;
                }

                if (frame.opcode == Opcode::Handshake) {
                    if (m_options.closeHandshakeCode) {
                        send(Opcode::Close, json{{"code", m_options.closeHandshakeCode}, {"message", "Invalid Client ID"}}.dump());
                        open = false;
                        break;
                    }
                    if (m_options.noReady) {
                        continue;
                    }
                    if (m_options.pingFlood) {
                        pingFlood(*client, m_stop);
                        open = false;
                        break;
                    }
                    if (m_options.readyDelayMs > 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(m_options.readyDelayMs));
                    }
                    if (m_options.ping) {
                        // READY and a PING in one write: two frames in one read.
                        const std::string both = orvsdk::encodeFrame(Opcode::Frame, kReady.dump()) +
                                                 orvsdk::encodeFrame(Opcode::Ping, R"({"probe":1})");
                        client->send(both.data(), both.size(), kSendPatience);
                    } else {
                        send(Opcode::Frame, kReady.dump());
                    }
                    if (m_options.malformed) {
                        const std::string bad = "\x63\x00\x00\x00\x02\x00\x00\x00{}";
                        client->send(bad.data(), bad.size(), kSendPatience);
                    }
                    if (m_options.oversized) {
                        const std::string huge = std::string("\x01\x00\x00\x00", 4) + std::string("\x00\x00\xA0\x00", 4);
                        client->send(huge.data(), huge.size(), kSendPatience);
                    }
                    if (m_options.flood > 0) {
                        sendFlood(*client, m_options.flood);
                    }
                } else if (frame.opcode == Opcode::Ping) {
                    send(Opcode::Pong, frame.payload);
                } else if (frame.opcode == Opcode::Close) {
                    open = false;
                } else if (frame.opcode == Opcode::Frame && !body.is_discarded() && body.value("cmd", "") == "SET_ACTIVITY") {
                    if (m_options.silent) {
                        continue;
                    }
                    if (m_options.deepNesting > 0) {
                        send(Opcode::Frame, deepError(body.value("nonce", json()), m_options.deepNesting));
                        continue;
                    }
                    json answer = {{"cmd", "SET_ACTIVITY"}, {"nonce", body.value("nonce", json())}};
                    if (m_options.errorCode) {
                        answer["evt"] = "ERROR";
                        answer["data"] = {{"code", m_options.errorCode}, {"message", "peer refuses"}};
                    } else {
                        answer["evt"] = nullptr;
                        answer["data"] = body["args"].value("activity", json());
                    }
                    send(Opcode::Frame, answer.dump(-1, ' ', false, json::error_handler_t::replace));
                }
                if (m_options.hangAfter >= 0 && frames >= m_options.hangAfter) {
                    hanging = true;
                    break;
                }
            }
            if (open && status == FrameDecoder::Status::Error) {
                record({{"event", "bad-frame"}, {"error", decoder.error()}});
                break;
            }
        }
        client.reset();
        record({{"event", "disconnected"}});
        if (m_options.once) {
            return;
        }
    }
}

std::vector<json> framesWithOpcode(const std::vector<json>& records, int opcode)
{
    std::vector<json> frames;
    for (const json& entry : records) {
        if (entry.contains("op") && entry["op"] == opcode) {
            frames.push_back(entry);
        }
    }
    return frames;
}

}  // namespace discordpeer
