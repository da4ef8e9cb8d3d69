#include "peer.h"

#include "listener.h"

#include "sdk/frame.h"
#include "sdk/transport.h"

#include <algorithm>
#include <memory>
#include <optional>

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

// Unix milliseconds that never step: the wall clock read once, then the
// steady clock's progress, so that intervals between records stay true when
// the machine's clock is set meanwhile.
int64_t unixMillis()
{
    using namespace std::chrono;
    static const auto wallBase = system_clock::now();
    static const auto steadyBase = steady_clock::now();
    return duration_cast<milliseconds>((wallBase + (steady_clock::now() - steadyBase)).time_since_epoch()).count();
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

// ERRORs for nonces never sent, with long words, not all of them ASCII: what
// a hostile side sends to fill a log.
template <typename Send>
void sendErrorFlood(Send& send, int count)
{
    std::string words = "child \"activity\" fails because [\"activity\" is not allowed]";
    while (words.size() < 600) {
        words += " \xC3\xA9tat refus\xC3\xA9";
    }
    for (int i = 0; i < count; ++i) {
        const json error = {{"cmd", "SET_ACTIVITY"},
                            {"data", {{"code", 4000}, {"message", words}}},
                            {"evt", "ERROR"},
                            {"nonce", "never-sent-" + std::to_string(i)}};
        send(Opcode::Frame, error.dump());
    }
}

// Characters as JavaScript counts them: UTF-16 units.
size_t utf16Length(const std::string& text)
{
    size_t units = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80) {
            continue;
        }
        units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

// Joi's words for a failure inside nested keys, as Discord quotes them.
std::string within(const std::vector<std::string>& path, const std::string& inner)
{
    std::string text = inner;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        text = "child \"" + *it + "\" fails because [" + text + "]";
    }
    return text;
}

std::string quoted(const std::string& key) { return "\"" + key + "\""; }

// The first rule an object breaks: only `allowed` keys, no empty object.
std::string checkKeys(const json& object, std::initializer_list<const char*> allowed, const std::string& name)
{
    if (!object.is_object()) {
        return quoted(name) + " must be an object";
    }
    if (object.empty()) {
        return quoted(name) + " must have at least 1 children";
    }
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (std::find_if(allowed.begin(), allowed.end(), [&](const char* k) { return it.key() == k; }) == allowed.end()) {
            return quoted(it.key()) + " is not allowed";
        }
    }
    return std::string();
}

std::string checkString(const json& value, const std::string& key, size_t min, size_t max)
{
    if (!value.is_string()) {
        return quoted(key) + " must be a string";
    }
    const size_t length = utf16Length(value.get<std::string>());
    if (length == 0) {
        return quoted(key) + " is not allowed to be empty";
    }
    if (length < min) {
        return quoted(key) + " length must be at least " + std::to_string(min) + " characters long";
    }
    if (length > max) {
        return quoted(key) + " length must be less than or equal to " + std::to_string(max) + " characters long";
    }
    return std::string();
}

std::string checkActivity(const json& activity)
{
    std::string why = checkKeys(activity, {"details", "state", "timestamps", "assets", "party", "secrets", "instance", "type"},
                                "activity");
    if (!why.empty()) {
        return why;
    }
    for (const char* key : {"details", "state"}) {
        if (activity.contains(key) && !(why = checkString(activity[key], key, 2, 128)).empty()) {
            return within({key}, why);
        }
    }
    if (activity.contains("timestamps")) {
        const json& t = activity["timestamps"];
        if (!(why = checkKeys(t, {"start", "end"}, "timestamps")).empty()) {
            return within({"timestamps"}, why);
        }
        for (auto it = t.begin(); it != t.end(); ++it) {
            if (!it->is_number_integer()) {
                return within({"timestamps", it.key()}, quoted(it.key()) + " must be a number");
            }
            if (it->get<int64_t>() < 1) {
                return within({"timestamps", it.key()}, quoted(it.key()) + " must be larger than or equal to 1");
            }
        }
    }
    if (activity.contains("assets")) {
        const json& a = activity["assets"];
        if (!(why = checkKeys(a, {"large_image", "large_text", "small_image", "small_text"}, "assets")).empty()) {
            return within({"assets"}, why);
        }
        for (auto it = a.begin(); it != a.end(); ++it) {
            const bool text = it.key() == "large_text" || it.key() == "small_text";
            if (!(why = checkString(*it, it.key(), text ? 2 : 1, text ? 128 : 256)).empty()) {
                return within({"assets", it.key()}, why);
            }
        }
    }
    if (activity.contains("party")) {
        const json& p = activity["party"];
        if (!(why = checkKeys(p, {"id", "size"}, "party")).empty()) {
            return within({"party"}, why);
        }
        if (p.contains("id") && !(why = checkString(p["id"], "id", 1, 128)).empty()) {
            return within({"party", "id"}, why);
        }
        if (p.contains("size")) {
            const json& size = p["size"];
            if (!size.is_array() || size.size() != 2 || !size[0].is_number_integer() || !size[1].is_number_integer()) {
                return within({"party", "size"}, "\"size\" must be an array of two numbers");
            }
            if (size[0].get<int64_t>() < 1) {
                return within({"party", "size"}, "\"0\" must be larger than or equal to 1");
            }
            if (size[1].get<int64_t>() < size[0].get<int64_t>()) {
                return within({"party", "size"}, "\"1\" must be larger than or equal to ref:0");
            }
        }
    }
    if (activity.contains("secrets")) {
        const json& s = activity["secrets"];
        if (!(why = checkKeys(s, {"match", "join", "spectate"}, "secrets")).empty()) {
            return within({"secrets"}, why);
        }
        for (auto it = s.begin(); it != s.end(); ++it) {
            if (!(why = checkString(*it, it.key(), 1, 128)).empty()) {
                return within({"secrets", it.key()}, why);
            }
        }
    }
    if (activity.contains("instance") && !activity["instance"].is_boolean()) {
        return within({"instance"}, "\"instance\" must be a boolean");
    }
    if (activity.contains("type")) {
        const json& type = activity["type"];
        if (!type.is_number_integer() || (type != 0 && type != 2 && type != 3 && type != 5)) {
            return within({"type"}, "\"type\" must be one of [0, 2, 3, 5]");
        }
    }
    return std::string();
}

}  // namespace

std::string refusal(const json& args)
{
    std::string why = checkKeys(args, {"pid", "activity"}, "args");
    if (!why.empty()) {
        return why;
    }
    if (!args.contains("pid") || !args["pid"].is_number_integer()) {
        return within({"pid"}, "\"pid\" is required");
    }
    if (args["pid"].get<int64_t>() < 10) {
        return within({"pid"}, "\"pid\" must be larger than or equal to 10");
    }
    if (args.contains("activity") && !args["activity"].is_null()) {
        why = checkActivity(args["activity"]);
        if (!why.empty()) {
            return within({"activity"}, why);
        }
    }
    return std::string();
}

struct Peer::Impl {
    std::unique_ptr<Listener> listener;
};

Peer::Peer(Options options) : m_options(std::move(options)), m_impl(new Impl) {}

Peer::~Peer()
{
    stop();
    delete m_impl;
}

bool Peer::start()
{
    m_impl->listener = listenOn(m_options.endpoint, m_options.securityDescriptor);
    if (!m_impl->listener) {
        return false;
    }
    m_thread = std::thread(&Peer::serveLoop, this);
    return true;
}

bool Peer::run()
{
    m_impl->listener = listenOn(m_options.endpoint, m_options.securityDescriptor);
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

json Peer::shown() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shown;
}

bool Peer::waitForShown(const json& expected, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_shown == expected; });
}

bool Peer::waitForAnswered(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_answered >= count; });
}

std::chrono::steady_clock::time_point Peer::now() const
{
    return m_options.clock ? m_options.clock() : std::chrono::steady_clock::now();
}

void Peer::show(const json& activity)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shown == activity) {
            return;
        }
        m_shown = activity;
    }
    record({{"shown", activity}});
}

bool Peer::waitFor(const std::function<bool(const std::vector<json>&)>& test, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return test(m_records); });
}

void Peer::record(json entry)
{
    entry["time"] = unixMillis();
    if (m_options.clock) {
        entry["clock"] = std::chrono::duration_cast<std::chrono::milliseconds>(m_options.clock().time_since_epoch()).count();
    }
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
        int answered = 0;
        std::optional<std::chrono::steady_clock::time_point> lastShown;
        bool open = true;
        bool hanging = false;
        std::optional<std::chrono::steady_clock::time_point> floodDue;
        // Then the ERRORs for nonces never sent, and the close.
        auto floodIfDue = [&] {
            if (!floodDue || std::chrono::steady_clock::now() < *floodDue) {
                return false;
            }
            sendErrorFlood(send, m_options.errorFlood);
            open = false;
            return true;
        };
        while (open && !m_stop) {
            if (floodIfDue()) {
                break;
            }
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
                    if (m_options.garbageHandshake) {
                        const std::string bad("\x63\x00\x00\x00\x02\x00\x00\x00{}", 10);
                        client->send(bad.data(), bad.size(), kSendPatience);
                        continue;
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
                        const std::string bad("\x63\x00\x00\x00\x02\x00\x00\x00{}", 10);
                        client->send(bad.data(), bad.size(), kSendPatience);
                    }
                    if (m_options.oversized) {
                        const std::string huge = std::string("\x01\x00\x00\x00", 4) + std::string("\x00\x00\xA0\x00", 4);
                        client->send(huge.data(), huge.size(), kSendPatience);
                    }
                    if (m_options.flood > 0) {
                        sendFlood(*client, m_options.flood);
                    }
                    if (m_options.closeAfterReady) {
                        open = false;
                        break;
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
                    const json args = body.value("args", json());
                    const std::string why = m_options.strict ? refusal(args) : std::string();
                    if (m_options.errorCode) {
                        answer["evt"] = "ERROR";
                        answer["data"] = {{"code", m_options.errorCode}, {"message", "peer refuses"}};
                    } else if (!why.empty()) {
                        answer["evt"] = "ERROR";
                        answer["data"] = {{"code", 4000}, {"message", why}};
                    } else {
                        const json activity = args.is_object() ? args.value("activity", json()) : json();
                        answer["evt"] = nullptr;
                        answer["data"] = activity;
                        const auto current = now();
                        if (m_options.dropWithinMs <= 0 || !lastShown ||
                            current - *lastShown >= std::chrono::milliseconds(m_options.dropWithinMs)) {
                            lastShown = current;
                            show(activity);
                        }
                    }
                    send(Opcode::Frame, answer.dump(-1, ' ', false, json::error_handler_t::replace));
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        ++m_answered;
                    }
                    m_changed.notify_all();
                    if (m_options.errorFlood > 0 && ++answered == 1) {
                        const std::chrono::milliseconds after(m_options.errorFloodAfterMs);
                        floodDue = std::chrono::steady_clock::now() + after;
                    }
                    if (floodIfDue()) {
                        break;
                    }
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
        if (!m_options.keepShownAfterClose) {
            show(json());
        }
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
