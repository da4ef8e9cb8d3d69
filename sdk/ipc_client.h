#pragma once

#include "discord/discord_game_sdk.h"
#include "discord/sdk_timing.h"
#include "sdk/burst_repeat.h"
#include "sdk/client_options.h"
#include "sdk/frame.h"
#include "sdk/pacer.h"
#include "sdk/ready_connection.h"
#include "sdk/transport.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvsdk {

using Completion = std::function<void(EDiscordResult)>;

// An update as a caller handed it over: a copy of its record, or a clear.
struct HandedOverUpdate {
    bool clear = false;
    DiscordActivity activity{};
    Completion done;
};

// One live connection to the Discord client. Input and output run on a
// thread of its own; callers hand activities over and never wait on Discord.
// Completions run only inside runCallbacks, on the caller's thread, each
// exactly once. Whatever Discord's side sends, the client holds at most one
// frame and one read of it, and its thread ends no other way than by a lost
// connection or the client's end.
class IpcClient {
public:
    // Connects, shakes hands and waits for READY: all of it, writes included,
    // within readyTimeout.
    static EDiscordResult connect(ClientOptions options, std::unique_ptr<IpcClient>& client);
    // The same over a connection made elsewhere, such as an in-memory one;
    // readyTimeout counts from this call.
    static EDiscordResult connect(ClientOptions options, std::unique_ptr<Transport> transport,
                                  std::unique_ptr<IpcClient>& client);

    ~IpcClient();
    IpcClient(const IpcClient&) = delete;
    IpcClient& operator=(const IpcClient&) = delete;

    // Publishes the activity (null clears the presence, as does one with
    // nothing to show), paced: when over the pace only the newest waits, and
    // an update it replaces completes with TransactionAborted. A clear (null)
    // skips the even spacing: it waits only when paceLimit frames went in the
    // last paceWindow, as a further frame would be dropped. The caller's
    // whole cost is a copy of the record under a lock that no one holds
    // longer than such a copy; serialising, pacing and completions happen on
    // the connection's thread, which is woken only when it idles. Nothing is
    // allocated unless more updates were replaced since the last
    // runCallbacks than ever before. Never blocks on the connection.
    void setActivity(const DiscordActivity* activity, Completion done);

    // Runs the completions that are due, those of updates Discord left
    // unanswered past replyTimeout among them (ServiceUnavailable); Ok while
    // the connection lives, NotRunning once it is lost.
    EDiscordResult runCallbacks();

    // Makes the connection's thread look at the clock again now.
    void poke();

private:
    using Update = HandedOverUpdate;
    struct Pending {
        Completion done;
        std::chrono::steady_clock::time_point deadline;
    };

    using TimePoint = std::chrono::steady_clock::time_point;

    IpcClient(ClientOptions options, std::unique_ptr<Transport> transport);
    // Makes the client of a connection that is ready and starts its thread.
    static void start(ClientOptions options, ReadyConnection connection, std::unique_ptr<IpcClient>& client);

    std::chrono::steady_clock::time_point now() const;
    void log(EDiscordLogLevel level, const std::string& message) const noexcept;
    void run() noexcept;
    void serve();
    bool sendDueUpdate();
    bool mayGo(const Update& update, TimePoint current) const;
    bool sendCommand(const DiscordActivity* record, Completion done, TimePoint current, bool repeat);
    void sayGoodbye() noexcept;
    bool handleFrame(const Frame& frame);
    void lose(const char* why, const std::string& detail = std::string()) noexcept;
    void collectDue(std::vector<std::pair<Completion, EDiscordResult>>& due);
    std::chrono::milliseconds nextWait();

    ClientOptions m_options;
    std::unique_ptr<Transport> m_transport;
    FrameDecoder m_decoder;
    Pacer m_pacer;
    uint64_t m_nonceCounter = 0;
    BurstRepeat m_repeat;  // the connection thread's own

    // The hand-over from callers: held only to copy a record in or out.
    std::mutex m_slotMutex;  // guards the three below
    std::optional<Update> m_next;
    std::vector<std::pair<Completion, EDiscordResult>> m_handedBack;  // replaced, or refused once lost
    bool m_idle = false;  // the thread waits without a deadline: a new update must wake it

    // Lock order: m_mutex before m_slotMutex, never the other way round.
    std::mutex m_mutex;  // guards the two below
    std::map<std::string, Pending> m_inFlight;
    std::vector<std::pair<Completion, EDiscordResult>> m_due;
    // Set under m_mutex, read anywhere: what is pending then completes with
    // NotRunning.
    std::atomic<bool> m_lost{false};

    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

}  // namespace orvsdk
