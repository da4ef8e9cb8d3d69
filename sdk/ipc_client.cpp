#include "sdk/ipc_client.h"

#include "sdk/activity_json.h"
#include "sdk/diagnostics.h"
#include "sdk/discord_message.h"
#include "sdk/handshake.h"
#include "sdk/set_activity.h"

#include <algorithm>
#include <cstdint>

namespace orvsdk {
namespace {

constexpr std::chrono::milliseconds kIdleWait{60000};
// Of Discord's words in a refusal, which may come many at a time.
constexpr size_t kMaxRefusalWords = 200;

using Json = nlohmann::json;

}  // namespace

EDiscordResult IpcClient::connect(ClientOptions options, std::unique_ptr<IpcClient>& client)
{
    const auto deadline = std::chrono::steady_clock::now() + options.readyTimeout;
    ReadyConnection connection;
    const EDiscordResult result = connectFirstReady(options, deadline, connection);
    if (result == DiscordResult_Ok) {
        start(std::move(options), std::move(connection), client);
    }
    return result;
}

EDiscordResult IpcClient::connect(ClientOptions options, std::unique_ptr<Transport> transport,
                                  std::unique_ptr<IpcClient>& client)
{
    const auto deadline = std::chrono::steady_clock::now() + options.readyTimeout;
    ReadyConnection connection{std::move(transport), FrameDecoder()};
    std::string why;
    const EDiscordResult result = shakeHands(options, connection, deadline, why);
    if (result != DiscordResult_Ok) {
        if (options.log) {
            options.log(DiscordLogLevel_Error, bounded(why));
        }
        return result;
    }
    start(std::move(options), std::move(connection), client);
    return result;
}

void IpcClient::start(ClientOptions options, ReadyConnection connection, std::unique_ptr<IpcClient>& client)
{
    client.reset(new IpcClient(std::move(options), std::move(connection.transport)));
    client->m_decoder = std::move(connection.decoder);
    client->m_thread = std::thread(&IpcClient::run, client.get());
}

IpcClient::IpcClient(ClientOptions options, std::unique_ptr<Transport> transport)
    : m_options(std::move(options)),
      m_transport(std::move(transport)),
      m_pacer(m_options.paceLimit, m_options.paceWindow),
      m_repeat(m_options.repeatAfter)
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
    if (!lost) {
        sayGoodbye();
    }
    try {
        runCallbacks();
    } catch (...) {
        // Out of memory at the very end: what is pending cannot be told.
    }
}

// What the pace still holds, if the window allows it as it would a clear (a
// sixth frame in 20 s would be dropped), then a polite goodbye, if the
// connection still stands and takes them at once: a Discord that stopped
// reading gets neither, and the caller never waits. The held update stays in
// its slot and completes with NotRunning: no answer will come.
void IpcClient::sayGoodbye() noexcept
{
    try {
        std::optional<Update> held;
        {
            std::lock_guard<std::mutex> lock(m_slotMutex);
            if (m_next && m_pacer.allowsUrgent(now())) {
                held.emplace();
                held->clear = m_next->clear;
                held->activity = m_next->activity;
            }
        }
        bool clean = true;
        if (held) {
            const SetActivityFrame frame =
                buildSetActivity(m_options.pid, m_nonceCounter + 1, held->clear ? nullptr : &held->activity);
            clean = m_transport->sendWithoutWaiting(frame.bytes.data(), frame.bytes.size());
        }
        if (clean) {
            const std::string close = encodeFrame(Opcode::Close, "{}");
            m_transport->sendWithoutWaiting(close.data(), close.size());
        }
    } catch (...) {
        // Out of memory at the very end: no goodbye.
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
        //
        // No wake-up is lost. m_idle is written only under m_slotMutex: here,
        // and in setActivity, which puts the update in the slot, reads m_idle
        // and clears it in one hold of the lock. So either setActivity holds
        // the lock first, and this sees m_next and waits only as long as the
        // pace asks; or this holds it first and sets m_idle, and setActivity
        // then sees it and wakes the transport. That wake may come before the
        // thread is in receive: the transport keeps it (an event that stays
        // set, a byte in a pipe) until the next receive, which then returns at
        // once. A wake too many costs one turn of the loop, nothing more.
        m_idle = false;
        if (m_next) {
            target = m_next->clear ? m_pacer.nextUrgent(current) : allowed;
        } else if (allowed <= current) {
            m_idle = true;
            if (!m_repeat.dueAt()) {
                return kIdleWait;
            }
            target = *m_repeat.dueAt();
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
    if (update) {
        return sendCommand(update->clear ? nullptr : &update->activity, std::move(update->done), current, false);
    }
    if (m_repeat.isDue(current) && m_pacer.allows(current)) {
        return sendCommand(m_repeat.clear() ? nullptr : &m_repeat.record(), Completion(), current, true);
    }
    return true;
}

// Sends one SET_ACTIVITY (null: a clear) and records it with the pace and the
// repeat; the completion waits for Discord's answer. Room in m_due was made
// by the caller.
bool IpcClient::sendCommand(const DiscordActivity* record, Completion done, TimePoint current, bool repeat)
{
    SetActivityFrame frame;
    try {
        frame = buildSetActivity(m_options.pid, m_nonceCounter + 1, record);
        std::lock_guard<std::mutex> lock(m_mutex);
        auto slot = m_inFlight.emplace(frame.nonce, Pending{}).first;
        slot->second = Pending{std::move(done), current + m_options.replyTimeout};
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_due.emplace_back(std::move(done), DiscordResult_InternalError);
        throw;
    }
    m_pacer.record(current);
    if (repeat) {
        m_repeat.repeatSent(current, frame.nonce);
    } else {
        m_repeat.updateSent(current, record == nullptr, record ? *record : DiscordActivity{}, frame.nonce);
    }
    ++m_nonceCounter;
    log(DiscordLogLevel_Debug, "sending " + frame.command);
    if (!m_transport->send(frame.bytes.data(), frame.bytes.size(), m_options.writeTimeout)) {
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
    const std::optional<Json> message = parseMessage(frame.payload);
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
        m_repeat.refused(nonce);
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
