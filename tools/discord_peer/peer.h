#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace discordpeer {

// How the Discord side behaves; the defaults are Discord's own behaviour.
struct Options {
    std::string endpoint;           // where to listen
    std::string securityDescriptor; // Windows: the pipe's, in SDDL (such as another user's owner)
    int closeHandshakeCode = 0;     // answer the handshake with CLOSE and this code
    bool noReady = false;           // never answer the handshake
    bool pingFlood = false;         // answer the handshake with large PINGs only, never reading again
    int readyDelayMs = 0;           // answer the handshake this late
    int errorCode = 0;              // answer SET_ACTIVITY with ERROR and this code
    int hangAfter = -1;             // stop reading after this many frames
    int dropAfter = -1;             // close the connection after this many frames
    bool malformed = false;         // after READY, send a frame with an unknown opcode
    bool oversized = false;         // after READY, announce a frame of 10 MiB
    bool ping = false;              // after READY, send a PING
    bool split = false;             // write every frame one byte at a time
    int flood = 0;                  // after READY, this many ignorable frames, no write ending on a frame's end
    int deepNesting = 0;            // answer SET_ACTIVITY with ERROR whose data is nested this deep
    bool silent = false;            // read everything, never answer SET_ACTIVITY
    bool once = false;              // serve one connection, then end
    std::FILE* out = nullptr;       // one JSON line per frame received, if set

    // As strict as Discord: SET_ACTIVITY is validated by Discord's rules, all
    // or nothing, and refused with Discord's ERROR shape,
    // {"cmd":"SET_ACTIVITY","data":{"code":4000,"message":"..."},"evt":"ERROR","nonce":...};
    // the presence shown then stays as it was.
    bool strict = false;
    int dropWithinMs = 0;           // an update this soon after the last one shown is answered as a success and dropped
    bool keepShownAfterClose = false;  // a closed connection leaves its presence shown
    bool closeAfterReady = false;   // close the connection right after READY
    bool garbageHandshake = false;  // answer the handshake with a frame of an unknown opcode
    int errorFlood = 0;             // answer the first SET_ACTIVITY, then this many ERRORs for nonces never sent, then close
    int errorFloodAfterMs = 0;      // the flood this long after that answer, serving on meanwhile
    // The time the drop counts with; empty: the steady clock.
    std::function<std::chrono::steady_clock::time_point()> clock;
};

// Records, one JSON object a line on `out` and in records(), each with
// "time" (unix milliseconds, steady: a clock set meanwhile moves no interval)
// and, with a clock given, "clock" (its
// milliseconds):
//   {"event":"connected"|"disconnected"|"bad-frame", ...}
//   {"op":N,"json":{...}} or {"op":N,"raw":"..."}   a frame received
//   {"shown":{...}|null}                          what Discord shows changed
//                                                 (null: nothing, after a
//                                                 clear or a close)

// A Discord-side IPC server that records every frame it receives.
class Peer {
public:
    explicit Peer(Options options);
    ~Peer();

    // Listens and serves on a thread of its own; false when it cannot listen.
    bool start();
    void stop();
    // Serves on the calling thread until stop() or, with `once`, the first
    // connection's end.
    bool run();

    std::vector<nlohmann::json> records() const;
    // What Discord would show now: the activity, or null.
    nlohmann::json shown() const;
    // Waits until shown() equals expected; false on timeout.
    bool waitForShown(const nlohmann::json& expected, std::chrono::milliseconds timeout) const;
    // Waits until this many SET_ACTIVITY were answered (shown() then tells
    // what they did); false on timeout.
    bool waitForAnswered(size_t count, std::chrono::milliseconds timeout) const;
    // Waits until the records satisfy the test; false on timeout.
    bool waitFor(const std::function<bool(const std::vector<nlohmann::json>&)>& test,
                 std::chrono::milliseconds timeout) const;

private:
    void record(nlohmann::json entry);
    void serveLoop();
    void show(const nlohmann::json& activity);
    std::chrono::steady_clock::time_point now() const;

    Options m_options;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<nlohmann::json> m_records;
    nlohmann::json m_shown;  // guarded by m_mutex
    size_t m_answered = 0;   // guarded by m_mutex
    struct Impl;
    Impl* m_impl = nullptr;
};

// Frames of one kind among the records: "op" equal to opcode.
std::vector<nlohmann::json> framesWithOpcode(const std::vector<nlohmann::json>& records, int opcode);

// Why Discord refuses this SET_ACTIVITY's args, in its words; empty when it
// takes them.
std::string refusal(const nlohmann::json& args);

}  // namespace discordpeer
