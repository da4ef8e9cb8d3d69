// The IPC client against the Discord-side test peer, over real Unix sockets.
#include "peer.h"
#include "sdk/memory_transport.h"
#include "sdk/ipc_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <random>
#include <unistd.h>
#include <filesystem>
#include <future>
#include <mutex>

namespace {

using discordpeer::Peer;
using nlohmann::json;
using orvsdk::IpcClient;
using namespace std::chrono_literals;

// A private runtime folder, where the client looks for Discord.
class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/orvsdk-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("XDG_RUNTIME_DIR", m_dir.c_str(), 1);
    }

    void TearDown() override
    {
        m_client.reset();
        if (m_peer) {
            m_peer->stop();
        }
        std::filesystem::remove_all(m_dir);
    }

    void startPeer(discordpeer::Options options = {}, const std::string& folder = "")
    {
        if (options.endpoint.empty()) {
            std::filesystem::create_directories(m_dir + "/" + folder);
            options.endpoint = m_dir + "/" + folder + "discord-ipc-0";
        }
        m_peer = std::make_unique<Peer>(options);
        ASSERT_TRUE(m_peer->start());
    }

    orvsdk::ClientOptions options()
    {
        orvsdk::ClientOptions o;
        o.clientId = 1447226862545010708;
        o.pid = 4321;
        o.readyTimeout = 2s;
        o.clock = [this] {
            std::lock_guard<std::mutex> lock(m_clockMutex);
            return m_now;
        };
        return o;
    }

    EDiscordResult connect(orvsdk::ClientOptions o) { return IpcClient::connect(std::move(o), m_client); }
    EDiscordResult connect() { return connect(options()); }

    void advanceClock(std::chrono::milliseconds by)
    {
        {
            std::lock_guard<std::mutex> lock(m_clockMutex);
            m_now += by;
        }
        m_client->poke();
    }

    std::vector<json> setActivities() const
    {
        std::vector<json> frames;
        for (const json& f : discordpeer::framesWithOpcode(m_peer->records(), 1)) {
            if (f.contains("json") && f["json"].value("cmd", "") == "SET_ACTIVITY") {
                frames.push_back(f["json"]);
            }
        }
        return frames;
    }

    bool waitForSetActivities(size_t count)
    {
        return m_peer->waitFor(
            [count](const std::vector<json>& records) {
                size_t n = 0;
                for (const json& r : records) {
                    n += r.contains("json") && r["json"].value("cmd", "") == "SET_ACTIVITY";
                }
                return n >= count;
            },
            5s);
    }

    // Runs callbacks until `done` holds or time runs out; the last result.
    EDiscordResult runUntil(const std::function<bool()>& done)
    {
        EDiscordResult result = DiscordResult_Ok;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            result = m_client->runCallbacks();
            if (done()) {
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        return result;
    }

    // A record with these details, and the activity object Discord gets for it.
    static DiscordActivity activity(const std::string& details, const std::string& state = "")
    {
        DiscordActivity record{};
        details.copy(record.details, sizeof record.details - 1);
        state.copy(record.state, sizeof record.state - 1);
        return record;
    }
    static json shown(const std::string& details) { return json{{"details", details}}; }
    void setActivity(const DiscordActivity& record, orvsdk::Completion done)
    {
        m_client->setActivity(&record, std::move(done));
    }

    std::string m_dir;
    std::unique_ptr<Peer> m_peer;
    std::unique_ptr<IpcClient> m_client;
    std::mutex m_clockMutex;
    std::chrono::steady_clock::time_point m_now = std::chrono::steady_clock::time_point{} + 1000s;
};

TEST_F(ProtocolTest, NoListenerIsNotRunning)
{
    EXPECT_EQ(connect(), DiscordResult_NotRunning);
    EXPECT_EQ(m_client, nullptr);
}

TEST_F(ProtocolTest, HandshakeCarriesVersionAndApplicationIdThenReadyConnects)
{
    startPeer();
    ASSERT_EQ(connect(), DiscordResult_Ok);
    ASSERT_NE(m_client, nullptr);
    const auto handshakes = discordpeer::framesWithOpcode(m_peer->records(), 0);
    ASSERT_EQ(handshakes.size(), 1u);
    EXPECT_EQ(handshakes[0]["json"], json::parse(R"({"v":1,"client_id":"1447226862545010708"})"));
}

TEST_F(ProtocolTest, SandboxedClientsAreFoundInTheirFolders)
{
    for (const char* folder : {".flatpak/com.discordapp.Discord/xdg-run/", "app/com.discordapp.DiscordCanary/",
                               ".flatpak/dev.vencord.Vesktop/xdg-run/"}) {
        SCOPED_TRACE(folder);
        startPeer({}, folder);
        EXPECT_EQ(connect(), DiscordResult_Ok);
        m_client.reset();
        m_peer->stop();
        std::filesystem::remove_all(m_dir + "/" + folder);
    }
}

// Without a variable naming a runtime folder, the user's own comes first.
TEST_F(ProtocolTest, WithoutAVariableTheUsersRunFolderComesBeforeTmp)
{
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char* variable : {"XDG_RUNTIME_DIR", "TMPDIR", "TMP", "TEMP"}) {
        if (const char* value = std::getenv(variable)) {
            saved.emplace_back(variable, value);
        }
        unsetenv(variable);
    }
    const std::vector<std::string> endpoints = orvsdk::discordEndpoints();
    for (const auto& [variable, value] : saved) {
        setenv(variable.c_str(), value.c_str(), 1);
    }
    ASSERT_FALSE(endpoints.empty());
    EXPECT_EQ(endpoints[0], "/run/user/" + std::to_string(geteuid()) + "/discord-ipc-0");
    EXPECT_NE(std::find(endpoints.begin(), endpoints.end(), "/tmp/discord-ipc-0"), endpoints.end());
}

// An endpoint that fails during the handshake is given up, with its reason in
// the log, and the next one gets the time that is left.
TEST_F(ProtocolTest, AnEndpointThatFailsTheHandshakeGivesWayToTheNext)
{
    struct Case {
        const char* name;
        discordpeer::Options options;
        const char* reason;
    };
    std::vector<Case> cases(3);
    cases[0] = {"closes", {}, "closed the connection during the handshake"};
    cases[0].options.dropAfter = 1;
    cases[1] = {"refuses", {}, "Invalid Client ID"};
    cases[1].options.closeHandshakeCode = 4000;
    cases[2] = {"bad frame", {}, "bad frame during the handshake"};
    cases[2].options.garbageHandshake = true;
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.options.endpoint = m_dir + "/discord-ipc-0";
        startPeer(c.options);
        discordpeer::Options good;
        good.endpoint = m_dir + "/discord-ipc-1";
        Peer next(good);
        ASSERT_TRUE(next.start());
        std::vector<std::string> logs;
        std::mutex logMutex;
        auto o = options();
        o.log = [&](EDiscordLogLevel, const std::string& text) {
            std::lock_guard<std::mutex> lock(logMutex);
            logs.push_back(text);
        };
        EXPECT_EQ(connect(o), DiscordResult_Ok);
        EXPECT_EQ(discordpeer::framesWithOpcode(next.records(), 0).size(), 1u);
        {
            std::lock_guard<std::mutex> lock(logMutex);
            EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [&](const std::string& l) {
                return l.find("discord-ipc-0 given up") != std::string::npos && l.find(c.reason) != std::string::npos;
            })) << ::testing::PrintToString(logs);
        }
        m_client.reset();
        next.stop();
        m_peer->stop();
        m_peer.reset();
    }
}

// The strict peer refuses as Discord does: all or nothing, in Discord's words.
TEST(StrictPeer, RefusesWhatDiscordRefuses)
{
    const std::pair<const char*, const char*> table[] = {
        {R"({"pid":4321})", ""},
        {R"({"pid":4321,"activity":null})", ""},
        {R"({"pid":4321,"activity":{"details":"ab","state":"\u00e9\u200b","timestamps":{"start":1},"party":{"id":"p","size":[1,1]},"type":5}})", ""},
        {R"({"pid":9})", R"(child "pid" fails because ["pid" must be larger than or equal to 10])"},
        {R"({"activity":{"details":"ab"}})", R"("pid" is required)"},
        {R"({"pid":4321,"extra":1})", R"("extra" is not allowed)"},
        {R"({"pid":4321,"activity":{}})", R"(child "activity" fails because ["activity" must have at least 1 children])"},
        {R"({"pid":4321,"activity":{"details":"a"}})", R"(child "activity" fails because [child "details" fails because ["details" length must be at least 2 characters long]])"},
        {R"({"pid":4321,"activity":{"state":""}})", R"("state" is not allowed to be empty)"},
        {R"({"pid":4321,"activity":{"details":"\ud83d\ude00"}})", ""},
        {R"({"pid":4321,"activity":{"assets":{"large_text":"x"}}})", R"("large_text" length must be at least 2)"},
        {R"({"pid":4321,"activity":{"timestamps":{"start":0}}})", R"("start" must be larger than or equal to 1)"},
        {R"({"pid":4321,"activity":{"timestamps":{"end":-5}}})", R"("end" must be larger than or equal to 1)"},
        {R"({"pid":4321,"activity":{"party":{"size":[0,4]}}})", R"(child "size")"},
        {R"({"pid":4321,"activity":{"party":{"size":[3,2]}}})", R"(child "size")"},
        {R"({"pid":4321,"activity":{"type":1}})", R"("type" must be one of [0, 2, 3, 5])"},
        {R"({"pid":4321,"activity":{"buttons":[]}})", R"("buttons" is not allowed)"},
    };
    for (const auto& [args, expected] : table) {
        SCOPED_TRACE(args);
        const std::string why = discordpeer::refusal(json::parse(args));
        if (*expected == '\0') {
            EXPECT_EQ(why, "");
        } else {
            EXPECT_NE(why.find(expected), std::string::npos) << why;
        }
    }
    const std::string details(129, 'x');
    EXPECT_NE(discordpeer::refusal(json{{"pid", 10}, {"activity", {{"details", details}}}}).find("less than or equal to 128"),
              std::string::npos);
}

TEST_F(ProtocolTest, CloseOnHandshakeGivesAFittingFailureAndNoClient)
{
    discordpeer::Options o;
    o.closeHandshakeCode = 4000;
    startPeer(o);
    EXPECT_EQ(connect(), DiscordResult_ApplicationMismatch);
    EXPECT_EQ(m_client, nullptr);
}

// The whole connect ends within its deadline, also against a Discord side
// that pings with large payloads and never reads: the answers fill the
// socket and a write without a bound would wait for ever.
TEST_F(ProtocolTest, ConnectEndsWithinItsDeadlineWhateverDiscordDoes)
{
    for (const bool flood : {false, true}) {
        SCOPED_TRACE(flood ? "PING flood, never reading" : "no READY");
        discordpeer::Options o;
        o.noReady = !flood;
        o.pingFlood = flood;
        startPeer(o);
        auto opts = options();
        opts.readyTimeout = 300ms;
        auto connecting = std::async(std::launch::async, [&] { return connect(opts); });
        if (connecting.wait_for(30s) != std::future_status::ready) {
            std::fprintf(stderr, "connect still blocked after 30 s\n");
            std::abort();  // the future would wait for it
        }
        EXPECT_EQ(connecting.get(), DiscordResult_ServiceUnavailable);
        EXPECT_EQ(m_client, nullptr);
        m_peer->stop();
        m_peer.reset();
    }
}

TEST_F(ProtocolTest, UpdateIsAnsweredByNonceAndCompletesInRunCallbacks)
{
    startPeer();
    ASSERT_EQ(connect(), DiscordResult_Ok);
    std::vector<EDiscordResult> results;
    setActivity(activity("Lobby"), [&](EDiscordResult r) { results.push_back(r); });
    ASSERT_TRUE(waitForSetActivities(1));
    EXPECT_EQ(runUntil([&] { return !results.empty(); }), DiscordResult_Ok);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], DiscordResult_Ok);

    const json sent = setActivities()[0];
    EXPECT_EQ(sent["args"]["pid"], 4321);
    EXPECT_EQ(sent["args"]["activity"], shown("Lobby"));
    ASSERT_TRUE(sent["nonce"].is_string());

    m_client->setActivity(nullptr, [&](EDiscordResult r) { results.push_back(r); });
    advanceClock(5s);  // past the pace's spacing
    ASSERT_TRUE(waitForSetActivities(2));
    runUntil([&] { return results.size() == 2; });
    EXPECT_FALSE(setActivities()[1]["args"].contains("activity")) << "a clear carries no activity";
    EXPECT_NE(setActivities()[1]["nonce"], sent["nonce"]);
}

TEST_F(ProtocolTest, ErrorAnswerMapsToItsResult)
{
    discordpeer::Options o;
    o.errorCode = 4000;
    startPeer(o);
    ASSERT_EQ(connect(), DiscordResult_Ok);
    std::vector<EDiscordResult> results;
    setActivity(activity("x"), [&](EDiscordResult r) { results.push_back(r); });
    runUntil([&] { return !results.empty(); });
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], DiscordResult_InvalidPayload);
    EXPECT_EQ(m_client->runCallbacks(), DiscordResult_Ok) << "an ERROR answer is no lost connection";
}

TEST_F(ProtocolTest, PingIsAnsweredWithPongCarryingTheSamePayload)
{
    discordpeer::Options o;
    o.ping = true;  // READY and PING arrive in one write
    startPeer(o);
    ASSERT_EQ(connect(), DiscordResult_Ok);
    ASSERT_TRUE(m_peer->waitFor([](const auto& r) { return !discordpeer::framesWithOpcode(r, 4).empty(); }, 5s));
    EXPECT_EQ(discordpeer::framesWithOpcode(m_peer->records(), 4)[0]["json"], json::parse(R"({"probe":1})"));
}

TEST_F(ProtocolTest, FramesSplitIntoSingleBytesStillWork)
{
    discordpeer::Options o;
    o.split = true;
    startPeer(o);
    ASSERT_EQ(connect(), DiscordResult_Ok);
    std::vector<EDiscordResult> results;
    setActivity(activity("split"), [&](EDiscordResult r) { results.push_back(r); });
    runUntil([&] { return !results.empty(); });
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], DiscordResult_Ok);
}

TEST_F(ProtocolTest, LostConnectionCompletesWhatIsPendingAndStaysLost)
{
    struct Case {
        const char* name;
        discordpeer::Options options;
    };
    std::vector<Case> cases(4);
    cases[3].name = "closed right after READY";
    cases[3].options.closeAfterReady = true;
    cases[0].name = "dropped";
    cases[0].options.hangAfter = -1;
    cases[0].options.dropAfter = 2;  // the handshake and one update
    cases[1].name = "malformed";
    cases[1].options.malformed = true;
    cases[2].name = "oversized";
    cases[2].options.oversized = true;
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        startPeer(c.options);
        ASSERT_EQ(connect(), DiscordResult_Ok);
        std::vector<EDiscordResult> results;
        setActivity(activity("one"), [&](EDiscordResult r) { results.push_back(r); });
        EXPECT_EQ(runUntil([&] { return !results.empty(); }), DiscordResult_NotRunning);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0], DiscordResult_NotRunning);
        setActivity(activity("after"), [&](EDiscordResult r) { results.push_back(r); });
        EXPECT_EQ(m_client->runCallbacks(), DiscordResult_NotRunning);
        EXPECT_EQ(results.size(), 2u);
        EXPECT_EQ(results.back(), DiscordResult_NotRunning);
        m_client.reset();
        m_peer->stop();
        m_peer.reset();
    }
}

TEST_F(ProtocolTest, OverThePaceOnlyTheNewestWaitsAndArrivesWhenThePaceAllows)
{
    startPeer();
    ASSERT_EQ(connect(), DiscordResult_Ok);
    std::map<std::string, EDiscordResult> results;
    auto record = [&](const std::string& name) { return [&results, name](EDiscordResult r) { results[name] = r; }; };

    setActivity(activity("first"), record("first"));
    ASSERT_TRUE(waitForSetActivities(1)) << "the first goes at once";
    setActivity(activity("late-1"), record("late-1"));
    setActivity(activity("late-2"), record("late-2"));
    setActivity(activity("late-3"), record("late-3"));
    advanceClock(4099ms);  // just short of the spacing
    runUntil([&] { return results.size() >= 3; });
    EXPECT_EQ(results["first"], DiscordResult_Ok);
    EXPECT_EQ(results["late-1"], DiscordResult_TransactionAborted);
    EXPECT_EQ(results["late-2"], DiscordResult_TransactionAborted);
    EXPECT_EQ(results.count("late-3"), 0u);
    EXPECT_EQ(setActivities().size(), 1u);

    advanceClock(1ms);
    ASSERT_TRUE(waitForSetActivities(2));
    EXPECT_EQ(setActivities()[1]["args"]["activity"], shown("late-3"));
    runUntil([&] { return results.count("late-3") == 1; });
    EXPECT_EQ(results["late-3"], DiscordResult_Ok);

    advanceClock(15375ms);  // late-3 ended a burst: 15 s and a fortieth later it goes once more, without a completion
    ASSERT_TRUE(waitForSetActivities(3));
    EXPECT_EQ(setActivities()[2]["args"]["activity"], shown("late-3"));
    EXPECT_NE(setActivities()[2]["nonce"], setActivities()[1]["nonce"]);

    advanceClock(60s);  // after a quiet spell a presence goes at once
    setActivity(activity("after a pause"), record("after a pause"));
    ASSERT_TRUE(waitForSetActivities(4));
    runUntil([&] { return results.size() == 5; });
    EXPECT_EQ(results.size(), 5u) << "every update completes exactly once";
}

// One short run on the real clock, with a window scaled down: what is sent
// never outruns the pace however late the thread runs, and the newest
// presence arrives. (The even spacing is checked on the fake clock below.)
TEST_F(ProtocolTest, ASteadyStreamOnTheRealClockStaysWithinThePaceAndEndsWithTheNewest)
{
    startPeer();
    auto opts = options();
    opts.clock = nullptr;
    opts.paceWindow = 2s;
    opts.repeatAfter = 0ms;
    ASSERT_EQ(connect(opts), DiscordResult_Ok);
    const auto start = std::chrono::steady_clock::now();
    int sent = 0;
    while (std::chrono::steady_clock::now() - start < 3s) {
        setActivity(activity("p" + std::to_string(++sent)), nullptr);
        m_client->runCallbacks();
        std::this_thread::sleep_for(20ms);
    }
    const json newest = shown("p" + std::to_string(sent));
    // Generous: a loaded machine may run the client's thread late.
    ASSERT_TRUE(m_peer->waitFor(
        [&](const std::vector<json>& records) {
            const auto frames = discordpeer::framesWithOpcode(records, 1);
            return !frames.empty() && frames.back()["json"]["args"].value("activity", json()) == newest;
        },
        60s));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const size_t windows = static_cast<size_t>(elapsed / opts.paceWindow) + 1;
    EXPECT_GE(setActivities().size(), 2u);
    EXPECT_LE(setActivities().size(), opts.paceLimit * windows) << "more frames than the pace allows";
}

TEST_F(ProtocolTest, HandingOverNeverWaitsForAPeerThatStoppedReading)
{
    discordpeer::Options o;
    o.hangAfter = 1;  // reads the handshake, then nothing more
    startPeer(o);
    auto opts = options();
    opts.paceLimit = 1000000;  // let the thread fill the socket until it blocks
    ASSERT_EQ(connect(opts), DiscordResult_Ok);
    int completed = 0;
    const std::string big(120, 'w');
    for (int i = 0; i < 5000; ++i) {
        setActivity(activity(big + std::to_string(i), big),
                    [&](EDiscordResult) { ++completed; });
        if (i % 500 == 0) {
            advanceClock(1ms);
        }
    }
    m_client->runCallbacks();
    EXPECT_GT(completed, 0) << "superseded updates complete";
    m_client.reset();  // must not hang on the blocked send
    EXPECT_EQ(completed, 5000);
}


// A socket to the peer whose use the test can follow: when the client's
// thread is back in a wait after the clock moved, it has done everything
// that time asked for.
class WatchedTransport : public orvsdk::Transport {
public:
    explicit WatchedTransport(std::unique_ptr<orvsdk::Transport> inner) : m_inner(std::move(inner)) {}

    bool send(const char* data, size_t size, std::chrono::milliseconds timeout) override
    {
        if (std::string(data, size).find("SET_ACTIVITY") != std::string::npos) {
            ++commands;
        }
        return m_inner->send(data, size, timeout);
    }
    bool sendWithoutWaiting(const char* data, size_t size) override { return m_inner->sendWithoutWaiting(data, size); }
    int receive(char* buffer, size_t capacity, std::chrono::milliseconds timeout) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            enteredAfter = returns;
            inside = true;
        }
        changed.notify_all();
        const int got = m_inner->receive(buffer, capacity, timeout);
        std::lock_guard<std::mutex> lock(mutex);
        inside = false;
        ++returns;
        return got;
    }
    void wake() override { m_inner->wake(); }
    void shutdown() override { m_inner->shutdown(); }

    std::mutex mutex;
    std::condition_variable changed;
    long returns = 0;       // receives that ended
    long enteredAfter = -1;  // how many had ended when the current one began
    bool inside = false;
    std::atomic<int> commands{0};

private:
    std::unique_ptr<orvsdk::Transport> m_inner;
};

class PaceTest : public ProtocolTest {
protected:
    void connectWatched(discordpeer::Options peerOptions)
    {
        peerOptions.clock = [this] {
            std::lock_guard<std::mutex> lock(m_clockMutex);
            return m_now;
        };
        startPeer(peerOptions);
        auto transport = orvsdk::openEndpoint(m_dir + "/discord-ipc-0").transport;
        ASSERT_NE(transport, nullptr);
        auto watched = std::make_unique<WatchedTransport>(std::move(transport));
        m_watched = watched.get();
        ASSERT_EQ(IpcClient::connect(options(), std::move(watched), m_client), DiscordResult_Ok);
    }

    // Moves the clock on and waits until the client has done what that time
    // asks and the peer has read all of it.
    void step(std::chrono::milliseconds by)
    {
        long before = 0;
        {
            std::lock_guard<std::mutex> lock(m_watched->mutex);
            std::lock_guard<std::mutex> clock(m_clockMutex);
            m_now += by;
            before = m_watched->returns;
        }
        settle(before);
    }

    void settle(long before)
    {
        m_client->poke();
        {
            std::unique_lock<std::mutex> lock(m_watched->mutex);
            ASSERT_TRUE(m_watched->changed.wait_for(lock, 30s, [&] {
                return m_watched->inside && m_watched->enteredAfter > before;
            }));
        }
        ASSERT_TRUE(m_peer->waitForAnswered(static_cast<size_t>(m_watched->commands.load()), 30s));
    }

    // Hands an update (or, with null, a clear) over and lets the client act on it.
    void handOver(const DiscordActivity* record)
    {
        long before = 0;
        {
            std::lock_guard<std::mutex> lock(m_watched->mutex);
            before = m_watched->returns;
        }
        m_client->setActivity(record, [this](EDiscordResult) { ++m_completions; });
        settle(before);
    }

    // The peer's clock at each SET_ACTIVITY it received, in milliseconds.
    std::vector<int64_t> frameTimes() const
    {
        std::vector<int64_t> times;
        for (const json& r : discordpeer::framesWithOpcode(m_peer->records(), 1)) {
            if (r["json"].value("cmd", "") == "SET_ACTIVITY") {
                times.push_back(r["clock"].get<int64_t>());
            }
        }
        return times;
    }

    static std::string tail(const std::vector<json>& records)
    {
        std::string text;
        for (size_t i = records.size() > 40 ? records.size() - 40 : 0; i < records.size(); ++i) {
            text += records[i].dump() + "\n";
        }
        return text;
    }

    WatchedTransport* m_watched = nullptr;
    int m_completions = 0;
};

// A seeded schedule of bursts, single updates, clears and quiet spells,
// against a Discord that drops updates within 15 s of the one it shows and
// one that does not: no 20 s at Discord hold more than 5 frames, a clear goes
// at once unless 5 frames went in the last 20 s, and 20 s after the last
// update Discord shows the newest.
TEST_F(PaceTest, TheNewestIsShownUnderEitherRateModelAndNoTwentySecondsHoldMoreThanFive)
{
    for (const int drop : {15000, 0}) {
        for (const unsigned seed : {1u, 2u, 3u}) {
            SCOPED_TRACE("drop " + std::to_string(drop) + " seed " + std::to_string(seed));
            discordpeer::Options o;
            o.strict = true;
            o.dropWithinMs = drop;
            connectWatched(o);
            std::mt19937 random(seed);
            int handed = 0;
            json newest;
            for (int phase = 0; phase < 12; ++phase) {
                const int updates = std::uniform_int_distribution<int>(1, 12)(random);
                for (int i = 0; i < updates; ++i) {
                    step(std::chrono::milliseconds(250 * std::uniform_int_distribution<int>(0, 12)(random)));
                    if (std::uniform_int_distribution<int>(0, 9)(random) == 0) {
                        const auto before = frameTimes();
                        handOver(nullptr);
                        newest = json();
                        const int64_t now = frameTimes().empty() ? 0 : frameTimes().back();
                        const bool windowFull =
                            before.size() >= 5 && now - before[before.size() - 5] < 20100;
                        if (!windowFull) {
                            ASSERT_EQ(frameTimes().size(), before.size() + 1) << "the clear was held";
                            EXPECT_FALSE(setActivities().back()["args"].contains("activity"));
                        }
                    } else {
                        const std::string name = "p" + std::to_string(handed);
                        const DiscordActivity record = activity(name);
                        handOver(&record);
                        newest = shown(name);
                    }
                    ++handed;
                    m_client->runCallbacks();
                }
                // A quiet spell: short ones run into the next burst. Steps of
                // 250 ms, so that the clock is late by no more than that.
                const int quiet = 4 * std::uniform_int_distribution<int>(0, 30)(random);
                for (int t = 0; t < quiet; ++t) {
                    step(250ms);
                    if (t + 1 == 80) {
                        ASSERT_EQ(m_peer->shown(), newest) << "20 s after the last update, phase " << phase << "\n"
                                                           << tail(m_peer->records());
                    }
                }
            }
            for (int t = 0; t < 20; ++t) {
                step(1s);
            }
            EXPECT_EQ(m_peer->shown(), newest) << "20 s after the stream stopped";
            const std::vector<int64_t> times = frameTimes();
            for (size_t i = 5; i < times.size(); ++i) {
                EXPECT_GT(times[i] - times[i - 5], 20000) << "six frames within 20 s, ending with frame " << i;
            }
            EXPECT_TRUE(runUntil([&] { return m_completions == handed; }) == DiscordResult_Ok);
            EXPECT_EQ(m_completions, handed) << "each update completes once, the repeats none";
            m_client.reset();
            m_peer->stop();
            m_peer.reset();
            m_completions = 0;
        }
    }
}

// Presences a user may well hand over, each of which Discord would refuse
// if sent as the record has it: all are taken by a strict Discord.
TEST_F(PaceTest, AwkwardPresencesPassDiscordsValidation)
{
    discordpeer::Options o;
    o.strict = true;
    connectWatched(o);
    std::vector<DiscordActivity> table;
    auto add = [&](const std::function<void(DiscordActivity&)>& change) {
        DiscordActivity a = activity("Racing", "Lap 1");
        change(a);
        table.push_back(a);
    };
    add([](DiscordActivity& a) { a.timestamps.start = -5; });
    add([](DiscordActivity& a) { a.timestamps.end = -1; a.timestamps.start = 1700000000; });
    add([](DiscordActivity& a) { a.party.size = {0, 4}; });
    add([](DiscordActivity& a) { a.party.size = {3, 2}; });
    add([](DiscordActivity& a) { a.party.size = {-1, -1}; std::strcpy(a.party.id, "p"); });
    add([](DiscordActivity& a) { a.type = DiscordActivityType_Listening; });
    add([](DiscordActivity& a) { a.type = DiscordActivityType_Watching; });
    add([](DiscordActivity& a) { a.type = DiscordActivityType_Streaming; });
    add([](DiscordActivity& a) { a.type = static_cast<EDiscordActivityType>(77); });
    add([](DiscordActivity& a) { std::strcpy(a.details, "x"); std::strcpy(a.state, " "); });
    add([](DiscordActivity& a) { std::strcpy(a.details, "\xC3\xA9"); std::strcpy(a.assets.large_text, "\xF0\x9F\x98\x80"); });
    add([](DiscordActivity& a) { std::memset(a.details, 'w', sizeof a.details - 1); std::strcpy(a.assets.small_text, "s"); });
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        EDiscordResult result = DiscordResult_InternalError;
        long before = 0;
        {
            std::lock_guard<std::mutex> lock(m_watched->mutex);
            before = m_watched->returns;
        }
        m_client->setActivity(&table[i], [&](EDiscordResult r) { result = r; });
        settle(before);  // answered at this time, before the clock passes its deadline
        step(30s);
        runUntil([&] { return result != DiscordResult_InternalError; });
        EXPECT_EQ(result, DiscordResult_Ok) << setActivities().back().dump();
        EXPECT_EQ(m_peer->shown(), setActivities().back()["args"]["activity"]);
    }
}

// Discord gets to a frame a little after it went: one sent 15 s after the one
// before can land within Discord's 15 s and be dropped, and the newest must
// still be shown.
TEST_F(PaceTest, AFrameFifteenSecondsAfterTheOneBeforeIsRepeatedForDiscordsJitter)
{
    discordpeer::Options o;
    o.strict = true;
    o.dropWithinMs = 15300;  // Discord's 15 s, measured 0.3 s late
    connectWatched(o);
    const DiscordActivity first = activity("first");
    handOver(&first);
    step(15000ms);
    const DiscordActivity second = activity("second");
    handOver(&second);
    ASSERT_EQ(frameTimes().size(), 2u);
    for (int t = 0; t < 20; ++t) {
        step(1s);
    }
    EXPECT_EQ(m_peer->shown(), shown("second")) << tail(m_peer->records());
    const std::vector<int64_t> times = frameTimes();
    ASSERT_EQ(times.size(), 3u);
    EXPECT_GT(times[2] - times[1], 15300) << "the repeat, too, keeps a margin";
}

// As Discord counts: under a steady stream its newest presence is never much
// older than the spacing, and no 20 s at its end hold more than 5 frames.
TEST_F(PaceTest, ASteadyStreamIsSpreadEvenlyWithinDiscordsLimit)
{
    connectWatched({});
    int sent = 0;
    for (int t = 0; t < 300; ++t) {  // 30 s, an update every 100 ms
        const DiscordActivity record = activity("p" + std::to_string(++sent));
        m_client->setActivity(&record, nullptr);
        step(100ms);
    }
    int64_t stopped = 0;
    {
        std::lock_guard<std::mutex> lock(m_clockMutex);
        stopped = std::chrono::duration_cast<std::chrono::milliseconds>(m_now.time_since_epoch()).count();
    }
    for (int t = 0; t < 50 && setActivities().back()["args"]["activity"] != shown("p" + std::to_string(sent)); ++t) {
        step(100ms);
    }
    const std::vector<int64_t> times = frameTimes();
    ASSERT_GE(times.size(), 7u);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_LE(times[i] - times[i - 1], 4500) << "between frames " << i - 1 << " and " << i;
    }
    for (size_t i = 5; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 5], 20000) << "six frames within 20 s, ending with frame " << i;
    }
    EXPECT_EQ(setActivities().back()["args"]["activity"], shown("p" + std::to_string(sent)));
    EXPECT_LE(times.back() - stopped, 4500) << "the newest presence came late";
}

// A burst's last update that Discord refused (ERROR) is not repeated: it
// would be refused again.
TEST_F(PaceTest, AnUpdateDiscordRefusedIsNotRepeated)
{
    discordpeer::Options o;
    o.errorCode = 4000;
    connectWatched(o);
    const DiscordActivity first = activity("first");
    const DiscordActivity second = activity("second");
    handOver(&first);
    handOver(&second);
    step(4100ms);
    ASSERT_EQ(frameTimes().size(), 2u) << "the burst";
    for (int t = 0; t < 20; ++t) {
        step(1s);
    }
    EXPECT_EQ(frameTimes().size(), 2u) << tail(m_peer->records());
}

// What the pace still holds goes before the CLOSE when a clear could go now:
// an update behind the spacing does, a clear or an update behind a full
// window does not (a sixth frame in 20 s would be dropped).
TEST_F(PaceTest, DestroySendsWhatThePaceHoldsBeforeTheCloseIfTheWindowAllows)
{
    struct Case {
        bool clear;
        int updates;  // sent before the held one, 4.1 s apart
        const char* shownAtTheEnd;
    };
    for (const Case c : {Case{false, 1, "held"}, Case{true, 5, "next 4"}, Case{false, 5, "next 4"}}) {
        SCOPED_TRACE(std::string(c.clear ? "clear" : "update") + " after " + std::to_string(c.updates));
        discordpeer::Options o;
        o.strict = true;
        o.keepShownAfterClose = true;
        connectWatched(o);
        const DiscordActivity first = activity("first");
        handOver(&first);
        for (int i = 1; i < c.updates; ++i) {
            step(4100ms);
            const DiscordActivity next = activity("next " + std::to_string(i));
            handOver(&next);
        }
        const DiscordActivity held = activity("held");
        handOver(c.clear ? nullptr : &held);
        ASSERT_EQ(setActivities().size(), static_cast<size_t>(c.updates)) << "nothing was held";
        m_client.reset();
        ASSERT_TRUE(m_peer->waitFor([](const auto& r) { return !discordpeer::framesWithOpcode(r, 2).empty(); }, 30s));
        EXPECT_EQ(m_peer->shown(), shown(c.shownAtTheEnd));
        const std::vector<int64_t> times = frameTimes();
        for (size_t i = 5; i < times.size(); ++i) {
            EXPECT_GT(times[i] - times[i - 5], 20000) << "six frames within 20 s";
        }
        m_peer->stop();
        m_peer.reset();
    }
}

// Discord sides that misbehave, as a stranger owning the endpoint might.
class HostileDiscordTest : public ProtocolTest {
protected:
    void connectInMemory(orvsdk::ClientOptions o)
    {
        m_link = std::make_shared<sdktest::MemoryLink>();
        m_link->push(orvsdk::encodeFrame(orvsdk::Opcode::Frame, R"({"cmd":"DISPATCH","evt":"READY","nonce":null})"));
        ASSERT_EQ(IpcClient::connect(std::move(o), std::make_unique<sdktest::MemoryTransport>(m_link), m_client),
                  DiscordResult_Ok);
    }

    std::shared_ptr<sdktest::MemoryLink> m_link;
};

TEST_F(HostileDiscordTest, DeeplyNestedAnswerIsRefusedWithoutRecursion)
{
    discordpeer::Options o;
    o.deepNesting = 30000;  // 60 KB of brackets: under the frame cap
    startPeer(o);
    ASSERT_EQ(connect(), DiscordResult_Ok);
    std::vector<EDiscordResult> results;
    setActivity(activity("deep"), [&](EDiscordResult r) { results.push_back(r); });
    EXPECT_EQ(runUntil([&] { return !results.empty(); }), DiscordResult_NotRunning);
    EXPECT_EQ(results, std::vector<EDiscordResult>{DiscordResult_NotRunning});
}

TEST_F(HostileDiscordTest, AnExceptionOnTheConnectionsThreadIsALostConnection)
{
    connectInMemory(options());
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        m_link->throwOnSend = true;
    }
    std::vector<EDiscordResult> results;
    setActivity(activity("x"), [&](EDiscordResult r) { results.push_back(r); });
    EXPECT_EQ(runUntil([&] { return !results.empty(); }), DiscordResult_NotRunning);
    EXPECT_EQ(results, std::vector<EDiscordResult>{DiscordResult_NotRunning});
}

// Handing over is a copy: the connection's thread is woken only when it
// idles, not by updates that come while the pace holds it back anyway.
TEST_F(HostileDiscordTest, OnlyAnUpdateThatFindsTheThreadIdleWakesIt)
{
    connectInMemory(options());
    ASSERT_TRUE(m_link->waitIdle(5s));
    setActivity(activity("first"), nullptr);
    ASSERT_TRUE(m_link->waitIdle(5s));
    ASSERT_NE(m_link->written().find("first"), std::string::npos);
    for (int i = 0; i < 50; ++i) {
        setActivity(activity("within the pace " + std::to_string(i)), nullptr);
    }
    std::lock_guard<std::mutex> lock(m_link->mutex);
    EXPECT_EQ(m_link->wakes, 1);
}

TEST_F(HostileDiscordTest, AnUnansweredUpdateFailsAtItsDeadlineExactlyOnce)
{
    auto o = options();
    o.replyTimeout = 20s;
    connectInMemory(o);
    std::vector<EDiscordResult> results;
    setActivity(activity("x"), [&](EDiscordResult r) { results.push_back(r); });
    ASSERT_TRUE(m_link->waitIdle(5s));
    ASSERT_NE(m_link->written().find("SET_ACTIVITY"), std::string::npos);

    advanceClock(19s);
    m_client->runCallbacks();
    EXPECT_TRUE(results.empty()) << "failed before its deadline";
    advanceClock(1s);
    m_client->runCallbacks();
    EXPECT_EQ(results, std::vector<EDiscordResult>{DiscordResult_ServiceUnavailable});

    // The late answer finds nothing to complete; the connection lives on.
    m_link->push(orvsdk::encodeFrame(orvsdk::Opcode::Frame, R"({"cmd":"SET_ACTIVITY","evt":null,"nonce":"4321-1"})"));
    ASSERT_TRUE(m_link->waitIdle(5s));
    EXPECT_EQ(m_client->runCallbacks(), DiscordResult_Ok);
    m_client.reset();
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(HostileDiscordTest, DestroyingSaysGoodbyeWithCloseAndNeverWaitsForIt)
{
    startPeer();
    ASSERT_EQ(connect(), DiscordResult_Ok);
    m_client.reset();
    ASSERT_TRUE(m_peer->waitFor([](const auto& r) { return !discordpeer::framesWithOpcode(r, 2).empty(); }, 5s))
        << "no CLOSE frame arrived";

    // A peer that stopped reading and whose socket is full gets none, and the
    // caller does not wait for it.
    m_peer->stop();
    m_peer.reset();
    discordpeer::Options o;
    o.hangAfter = 1;
    startPeer(o);
    auto opts = options();
    opts.paceLimit = 1000000;
    ASSERT_EQ(connect(opts), DiscordResult_Ok);
    for (int i = 0; i < 3000; ++i) {
        setActivity(activity(std::string(200, 'w') + std::to_string(i)), nullptr);
        advanceClock(1ms);
    }
    const auto start = std::chrono::steady_clock::now();
    m_client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

}  // namespace
