#include "sdk/ipc_client.h"

#include "sdk/activity_json.h"

#include <algorithm>
#include <cstdint>

namespace orvsdk {
namespace {

constexpr std::chrono::milliseconds kIdleWait{60000};
// Far beyond anything Discord sends. Deeper trees would be copied, dumped and
// compared by recursion, so they are refused before any is built.
constexpr size_t kMaxNesting = 64;
// Diagnostics quote what Discord sent; the log gets a bounded part of it.
constexpr size_t kMaxLogText = 4096;
// Of Discord's words in a refusal, which may come many at a time.
constexpr size_t kMaxRefusalWords = 200;

using Json = nlohmann::json;

// Whether arrays and objects nest no deeper than the limit. Brackets within
// strings do not count; whether the text is JSON at all is the parser's call.
bool nestingWithin(const std::string& text, size_t limit)
{
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return false;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

std::optional<Json> parseJson(const std::string& text)
{
    if (!nestingWithin(text, kMaxNesting)) {
        return std::nullopt;
    }
    Json value = Json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

std::string stringField(const Json& object, const char* key)
{
    if (object.is_object()) {
        auto it = object.find(key);
        if (it != object.end() && it->is_string()) {
            return it->get<std::string>();
        }
    }
    return std::string();
}

int intField(const Json& object, const char* key, int fallback)
{
    if (object.is_object()) {
        auto it = object.find(key);
        if (it != object.end() && it->is_number_integer()) {
            const auto value = it->get<int64_t>();
            if (value >= INT32_MIN && value <= INT32_MAX) {
                return static_cast<int>(value);
            }
        }
    }
    return fallback;
}

// At most limit bytes, cut before a UTF-8 sequence rather than in it.
std::string bounded(const std::string& text, size_t limit = kMaxLogText)
{
    if (text.size() <= limit) {
        return text;
    }
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut) + "...";
}

// A Discord listens, and the system would not let us talk to it: the user
// must read why nothing shows, and what to do.
std::string deniedAccessFailure(const std::vector<std::string>& endpoints)
{
    std::string text = "no Discord client could be used: the system refused this program access to";
    for (size_t i = 0; i < endpoints.size(); ++i) {
        text += i == 0 ? " " : ", ";
        text += endpoints[i];
    }
    text += "; ";
    text += accessDeniedCause();
    return text;
}

}  // namespace

EDiscordResult IpcClient::connect(ClientOptions options, std::unique_ptr<IpcClient>& client)
{
    const auto deadline = std::chrono::steady_clock::now() + options.readyTimeout;
    if (options.endpoints.empty()) {
        options.endpoints = discordEndpoints();
    }
    auto logIt = [&options](EDiscordLogLevel level, const std::string& text) {
        if (options.log) {
            options.log(level, bounded(text));
        }
    };
    ConnectPolicy trust = options.trust;
    if (!trust.warn && options.log) {
        trust.warn = [&logIt](const std::string& text) { logIt(DiscordLogLevel_Warn, text); };
    }
    // An endpoint that closes, refuses or talks nonsense during the handshake
    // (a stale bridge, a Discord that is ending) is given up for the next
    // one, in the time that is left.
    std::optional<EDiscordResult> refused;
    std::vector<std::string> deniedAccess;
    const std::vector<std::string> endpoints = options.endpoints;
    for (const std::string& endpoint : endpoints) {
        std::unique_ptr<Transport> transport = connectTransport({endpoint}, trust, deadline, &deniedAccess);
        if (!transport) {
            if (timeLeft(deadline).count() <= 0) {
                break;
            }
            continue;
        }
        std::string why;
        const EDiscordResult result = shakeHands(options, std::move(transport), client, deadline, why);
        if (result == DiscordResult_Ok) {
            return result;
        }
        std::string gaveUp = endpoint;
        gaveUp += " given up: ";
        gaveUp += why;
        logIt(DiscordLogLevel_Error, gaveUp);
        if (!refused) {
            refused = result;
        }
    }
    if (!refused && !deniedAccess.empty()) {
        logIt(DiscordLogLevel_Error, deniedAccessFailure(deniedAccess));
        return DiscordResult_NotRunning;
    }
    if (!refused) {
        logIt(DiscordLogLevel_Info, "no Discord client is listening");
        return DiscordResult_NotRunning;
    }
    return *refused;
}

EDiscordResult IpcClient::connect(ClientOptions options, std::unique_ptr<Transport> transport,
                                  std::unique_ptr<IpcClient>& client)
{
    const auto deadline = std::chrono::steady_clock::now() + options.readyTimeout;
    std::string why;
    LogFunction log = options.log;
    const EDiscordResult result = shakeHands(std::move(options), std::move(transport), client, deadline, why);
    if (result != DiscordResult_Ok && log) {
        log(DiscordLogLevel_Error, bounded(why));
    }
    return result;
}

EDiscordResult IpcClient::shakeHands(ClientOptions options, std::unique_ptr<Transport> transport,
                                     std::unique_ptr<IpcClient>& client, TimePoint deadline, std::string& why)
{
    const Json handshake = {{"v", 1}, {"client_id", std::to_string(options.clientId)}};
    const std::string bytes = encodeFrame(Opcode::Handshake, handshake.dump());
    if (!transport->send(bytes.data(), bytes.size(), timeLeft(deadline))) {
        why = "Discord did not take the handshake in time";
        return DiscordResult_ServiceUnavailable;
    }
    FrameDecoder decoder;
    const EDiscordResult ready = awaitReady(*transport, decoder, options, deadline, why);
    if (ready != DiscordResult_Ok) {
        return ready;
    }
    client.reset(new IpcClient(std::move(options), std::move(transport)));
    client->m_decoder = std::move(decoder);
    client->m_thread = std::thread(&IpcClient::run, client.get());
    return DiscordResult_Ok;
}

EDiscordResult IpcClient::awaitReady(Transport& transport, FrameDecoder& decoder, const ClientOptions& options,
                                     TimePoint deadline, std::string& why)
{
    char buffer[4096];
    for (;;) {
        Frame frame;
        FrameDecoder::Status status = FrameDecoder::Status::NeedMore;
        while ((status = decoder.next(frame)) == FrameDecoder::Status::Ready) {
            if (frame.opcode == Opcode::Close) {
                const std::optional<Json> close = parseJson(frame.payload);
                const int code = close ? intField(*close, "code", 0) : 0;
                why = "Discord refused the handshake: " + frame.payload;
                return resultForCloseCode(code);
            }
            if (frame.opcode == Opcode::Ping) {
                const std::string pong = encodeFrame(Opcode::Pong, frame.payload);
                // A Discord that pings and never reads fills the pipe: the
                // answer, too, gets only the time that is left.
                if (!transport.send(pong.data(), pong.size(), timeLeft(deadline))) {
                    why = "the connection broke during the handshake, or Discord stopped reading";
                    return DiscordResult_ServiceUnavailable;
                }
                continue;
            }
            const std::optional<Json> message = parseJson(frame.payload);
            if (frame.opcode == Opcode::Frame && message && stringField(*message, "evt") == "READY") {
                if (options.log) {
                    options.log(DiscordLogLevel_Info, "connected to Discord");
                }
                return DiscordResult_Ok;
            }
        }
        if (status == FrameDecoder::Status::Error) {
            why = "bad frame during the handshake: " + decoder.error();
            return DiscordResult_ServiceUnavailable;
        }
        const auto left = timeLeft(deadline);
        if (left.count() <= 0) {
            why = "Discord did not answer the handshake in time";
            return DiscordResult_ServiceUnavailable;
        }
        const int got = transport.receive(buffer, sizeof buffer, left);
        if (got == Transport::kClosed) {
            why = "Discord closed the connection during the handshake";
            return DiscordResult_ServiceUnavailable;
        }
        decoder.feed(buffer, static_cast<size_t>(got));
    }
}

IpcClient::IpcClient(ClientOptions options, std::unique_ptr<Transport> transport)
    : m_options(std::move(options)),
      m_transport(std::move(transport)),
      m_pacer(m_options.paceLimit, m_options.paceWindow)
{
}

IpcClient::~IpcClient()
{
    m_stopping = true;
    m_transport->shutdown();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        lost = m_lost;
        m_lost = true;
    }
    // What the pace still holds, if the window allows it as it would a
    // clear (a sixth frame in 20 s would be dropped), then a polite goodbye,
    // if the connection still stands and takes them at once: a Discord that
    // stopped reading gets neither, and the caller never waits. The held
    // update stays in its slot and completes with NotRunning: no answer
    // will come.
    if (!lost) {
        try {
            bool clean = true;
            std::optional<Update> held;
            {
                std::lock_guard<std::mutex> lock(m_slotMutex);
                if (m_next && m_pacer.allowsUrgent(now())) {
                    held.emplace();
                    held->clear = m_next->clear;
                    held->activity = m_next->activity;
                }
            }
            if (held) {
                std::optional<Json> activity;
                if (!held->clear) {
                    Json object = activityToJson(held->activity);
                    if (!object.empty()) {
                        activity = std::move(object);
                    }
                }
                const std::string nonce = std::to_string(m_options.pid) + "-" + std::to_string(m_nonceCounter + 1);
                const std::string frame =
                    encodeFrame(Opcode::Frame, setActivityCommand(m_options.pid, activity ? &*activity : nullptr, nonce));
                clean = m_transport->sendWithoutWaiting(frame.data(), frame.size());
            }
            if (clean) {
                const std::string close = encodeFrame(Opcode::Close, "{}");
                m_transport->sendWithoutWaiting(close.data(), close.size());
            }
        } catch (...) {
        }
    }
    try {
        runCallbacks();
    } catch (...) {
        // Out of memory at the very end: what is pending cannot be told.
    }
}

std::chrono::steady_clock::time_point IpcClient::now() const
{
    return m_options.clock ? m_options.clock() : std::chrono::steady_clock::now();
}

void IpcClient::log(EDiscordLogLevel level, const std::string& message) const noexcept
{
    if (!m_options.log) {
        return;
    }
    try {
        m_options.log(level, bounded(message));
    } catch (...) {
        // A diagnostic that cannot be recorded is dropped.
    }
}

void IpcClient::setActivity(const DiscordActivity* activity, Completion done)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        // The one allocation comes first: if it fails, nothing was taken.
        if (m_handedBack.size() == m_handedBack.capacity()) {
            m_handedBack.reserve(std::max<size_t>(8, 2 * m_handedBack.capacity()));
        }
        if (m_lost) {
            m_handedBack.emplace_back(std::move(done), DiscordResult_NotRunning);
            return;
        }
        if (!m_next) {
            m_next.emplace();
        } else if (m_next->done) {
            m_handedBack.emplace_back(std::move(m_next->done), DiscordResult_TransactionAborted);
        }
        m_next->clear = activity == nullptr;
        if (activity) {
            m_next->activity = *activity;
        }
        m_next->done = std::move(done);
        // Otherwise the thread looks at the slot when its wait ends anyway;
        // a clear may go before the pace allows.
        wake = m_idle || activity == nullptr;
        m_idle = false;
    }
    if (wake) {
        m_transport->wake();
    }
}

void IpcClient::collectDue(std::vector<std::pair<Completion, EDiscordResult>>& due)
{
    const auto current = now();
    std::lock_guard<std::mutex> lock(m_mutex);
    {
        std::lock_guard<std::mutex> slot(m_slotMutex);
        // Room for all first, so that nothing is dropped between the moves.
        due.reserve(m_due.size() + m_inFlight.size() + m_handedBack.size() + 1);
        for (auto& entry : m_handedBack) {
            due.push_back(std::move(entry));
        }
        m_handedBack.clear();  // its room is kept for the next ones
        if (m_lost && m_next) {
            due.emplace_back(std::move(m_next->done), DiscordResult_NotRunning);
            m_next.reset();
        }
    }
    for (auto& entry : m_due) {
        due.push_back(std::move(entry));
    }
    m_due.clear();
    for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
        if (m_lost || current >= it->second.deadline) {
            due.emplace_back(std::move(it->second.done),
                             m_lost ? DiscordResult_NotRunning : DiscordResult_ServiceUnavailable);
            it = m_inFlight.erase(it);
        } else {
            ++it;
        }
    }
}

EDiscordResult IpcClient::runCallbacks()
{
    std::vector<std::pair<Completion, EDiscordResult>> due;
    collectDue(due);
    for (auto& [done, result] : due) {
        if (done) {
            done(result);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lost ? DiscordResult_NotRunning : DiscordResult_Ok;
}

void IpcClient::poke()
{
    m_transport->wake();
}

bool IpcClient::mayGo(const Update& update, TimePoint current) const
{
    return update.clear ? m_pacer.allowsUrgent(current) : m_pacer.allows(current);
}

std::chrono::milliseconds IpcClient::nextWait()
{
    const auto current = now();
    const auto allowed = m_pacer.nextAllowed(current);
    TimePoint target = allowed;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        // Until the pace allows a send, an update that comes needs no wake: the
        // thread looks at the slot then. Only past that does it idle, until
        // the repeat is due, if one is.
        m_idle = false;
        if (m_next) {
            target = m_next->clear ? m_pacer.nextUrgent(current) : allowed;
        } else if (allowed <= current) {
            m_idle = true;
            if (!m_repeatAt) {
                return kIdleWait;
            }
            target = *m_repeatAt;
        }
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(target - current);
    return std::clamp(wait + std::chrono::milliseconds(1), std::chrono::milliseconds(1), kIdleWait);
}

bool IpcClient::sendDueUpdate()
{
    const auto current = now();
    if (m_lost) {
        return true;
    }
    {
        // Room for the completion, before the update leaves the slot: if
        // anything below fails, it is completed rather than dropped.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_due.size() == m_due.capacity()) {
            m_due.reserve(std::max<size_t>(8, 2 * m_due.capacity()));
        }
    }
    std::optional<Update> update;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        if (m_next && mayGo(*m_next, current)) {
            update.swap(m_next);
        }
    }
    if (!update) {
        if (m_repeatAt && m_lastRefused) {
            m_repeatAt.reset();  // Discord would refuse it again
        }
        if (m_repeatAt && current >= *m_repeatAt && m_pacer.allows(current)) {
            m_repeatAt.reset();
            const DiscordActivity newest = m_lastRecord;
            return sendCommand(m_lastClear, newest, Completion(), current);
        }
        return true;
    }
    // A frame less than repeatAfter after the one before is a burst's: the
    // newest goes once more, that long after the burst's last frame. Discord
    // measures when it gets to a frame, not when it was sent: a margin of a
    // fortieth (0.4 s on 15 s) keeps its jitter on the right side.
    const auto repeatAfter = m_options.repeatAfter + m_options.repeatAfter / 40;
    const bool burst = m_lastFrame && current - *m_lastFrame < repeatAfter;
    const bool sent = sendCommand(update->clear, update->activity, std::move(update->done), current);
    if (burst && m_options.repeatAfter.count() > 0) {
        m_repeatAt = current + repeatAfter;
    } else {
        m_repeatAt.reset();
    }
    return sent;
}

// Sends one SET_ACTIVITY (a clear carries no activity) and records it with
// the pace; the completion waits for Discord's answer. Room in m_due was
// made by the caller.
bool IpcClient::sendCommand(bool clear, const DiscordActivity& record, Completion done, TimePoint current)
{
    std::string command;
    std::string nonce;
    try {
        nonce = std::to_string(m_options.pid) + "-" + std::to_string(m_nonceCounter + 1);
        std::optional<Json> activity;
        if (!clear) {
            Json object = activityToJson(record);
            if (!object.empty()) {
                activity = std::move(object);
            }
        }
        command = setActivityCommand(m_options.pid, activity ? &*activity : nullptr, nonce);
        std::lock_guard<std::mutex> lock(m_mutex);
        auto slot = m_inFlight.emplace(nonce, Pending{}).first;
        slot->second = Pending{std::move(done), current + m_options.replyTimeout};
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_due.emplace_back(std::move(done), DiscordResult_InternalError);
        throw;
    }
    m_pacer.record(current);
    m_lastFrame = current;
    m_lastNonce = std::move(nonce);
    m_lastRefused = false;
    m_lastClear = clear;
    m_lastRecord = record;
    ++m_nonceCounter;
    const std::string bytes = encodeFrame(Opcode::Frame, command);
    log(DiscordLogLevel_Debug, "sending " + command);
    if (!m_transport->send(bytes.data(), bytes.size(), m_options.writeTimeout)) {
        lose("the connection to Discord broke while sending, or Discord stopped reading");
        return false;
    }
    return true;
}

bool IpcClient::handleFrame(const Frame& frame)
{
    switch (frame.opcode) {
    case Opcode::Ping: {
        const std::string pong = encodeFrame(Opcode::Pong, frame.payload);
        if (!m_transport->send(pong.data(), pong.size(), m_options.writeTimeout)) {
            lose("the connection to Discord broke while answering a ping, or Discord stopped reading");
            return false;
        }
        return true;
    }
    case Opcode::Close:
        lose("Discord closed the connection: ", frame.payload);
        return false;
    case Opcode::Frame:
        break;
    default:
        return true;
    }
    const std::optional<Json> message = parseJson(frame.payload);
    if (!message || !message->is_object()) {
        lose("Discord sent a frame that is not a JSON object, or one nested too deeply");
        return false;
    }
    const std::string nonce = stringField(*message, "nonce");
    EDiscordResult result = DiscordResult_Ok;
    if (stringField(*message, "evt") == "ERROR") {
        const Json data = message->value("data", Json::object());
        const int code = intField(data, "code", 0);
        result = resultForErrorCode(code);
        // Discord's own words, which say what it did not take.
        const std::string words = stringField(data, "message");
        if (!nonce.empty() && nonce == m_lastNonce) {
            m_lastRefused = true;
        }
        log(DiscordLogLevel_Warn,
            "Discord refused an update (" + std::to_string(code) + "): " +
                bounded(words.empty() ? data.dump(-1, ' ', false, Json::error_handler_t::replace) : words,
                        kMaxRefusalWords));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_inFlight.find(nonce);
    if (it != m_inFlight.end()) {
        if (m_due.size() == m_due.capacity()) {
            m_due.reserve(std::max<size_t>(8, 2 * m_due.capacity()));
        }
        m_due.emplace_back(std::move(it->second.done), result);
        m_inFlight.erase(it);
    }
    return true;
}

// Marks the connection lost and ends its waits. Its reason is queued for the
// log before the loss shows, so that whoever sees the loss finds the reason
// too. Allocates nothing that could fail but that message: what is pending is
// completed by the next runCallbacks.
void IpcClient::lose(const char* why, const std::string& detail) noexcept
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_lost && !m_stopping) {
            try {
                log(DiscordLogLevel_Error, why + detail);
            } catch (...) {
            }
        }
        m_lost = true;
    }
    try {
        m_transport->shutdown();
    } catch (...) {
    }
}

void IpcClient::run() noexcept
{
    try {
        serve();
    } catch (...) {
        // Out of memory, or a fault of ours: either way this connection is done.
        lose("the connection's thread failed; the connection is dropped");
    }
}

void IpcClient::serve()
{
    char buffer[16384];
    while (!m_stopping) {
        // Frames that came with READY are handled before anything is read.
        Frame frame;
        FrameDecoder::Status status = FrameDecoder::Status::NeedMore;
        while ((status = m_decoder.next(frame)) == FrameDecoder::Status::Ready) {
            if (!handleFrame(frame)) {
                return;
            }
        }
        if (status == FrameDecoder::Status::Error) {
            lose("Discord sent a bad frame: ", m_decoder.error());
            return;
        }
        if (!sendDueUpdate()) {
            return;
        }
        const int got = m_transport->receive(buffer, sizeof buffer, nextWait());
        if (m_stopping) {
            return;
        }
        if (got == Transport::kClosed) {
            lose("Discord closed the connection");
            return;
        }
        m_decoder.feed(buffer, static_cast<size_t>(got));
    }
}

}  // namespace orvsdk
