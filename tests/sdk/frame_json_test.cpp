// The wire format and the activity object, without any connection.
#include "sdk/activity_json.h"
#include "sdk/burst_repeat.h"
#include "sdk/diagnostics.h"
#include "sdk/frame.h"
#include "sdk/pacer.h"
#include "sdk/transport.h"
#include "text/utf8_cut.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using nlohmann::json;
using orvsdk::FrameDecoder;
using orvsdk::Opcode;

TEST(Frame, HeaderIsLittleEndianOpcodeThenLength)
{
    const std::string bytes = orvsdk::encodeFrame(Opcode::Handshake, R"({"v":1,"client_id":"42"})");
    ASSERT_EQ(bytes.size(), 8u + 24u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x00\x00\x00\x00\x18\x00\x00\x00", 8));
    EXPECT_EQ(orvsdk::encodeFrame(Opcode::Pong, std::string(300, 'x')).substr(0, 8),
              std::string("\x04\x00\x00\x00\x2C\x01\x00\x00", 8));
}

TEST(Frame, DecoderReassemblesSplitFramesAndSeparatesJoinedOnes)
{
    const std::string stream = orvsdk::encodeFrame(Opcode::Frame, "{\"a\":1}") +
                               orvsdk::encodeFrame(Opcode::Ping, "{}") + orvsdk::encodeFrame(Opcode::Close, "");
    FrameDecoder decoder;
    std::vector<orvsdk::Frame> frames;
    for (char byte : stream) {  // one byte per read
        decoder.feed(&byte, 1);
        orvsdk::Frame frame;
        while (decoder.next(frame) == FrameDecoder::Status::Ready) {
            frames.push_back(frame);
        }
    }
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].payload, "{\"a\":1}");
    EXPECT_EQ(frames[1].opcode, Opcode::Ping);
    EXPECT_EQ(frames[2].payload, "");

    FrameDecoder together;  // all in one read
    together.feed(stream.data(), stream.size());
    orvsdk::Frame frame;
    int count = 0;
    while (together.next(frame) == FrameDecoder::Status::Ready) {
        ++count;
    }
    EXPECT_EQ(count, 3);
}

TEST(Frame, OversizedOrUnknownFramesAreErrorsWithoutWaitingForTheirBody)
{
    FrameDecoder oversized;
    oversized.feed("\x01\x00\x00\x00\x01\x00\x01\x00", 8);  // 65537 bytes announced
    orvsdk::Frame frame;
    EXPECT_EQ(oversized.next(frame), FrameDecoder::Status::Error);
    EXPECT_EQ(oversized.next(frame), FrameDecoder::Status::Error);

    FrameDecoder capped;
    const std::string atCap = orvsdk::encodeFrame(Opcode::Frame, std::string(orvsdk::kMaxPayload, ' '));
    capped.feed(atCap.data(), atCap.size());
    EXPECT_EQ(capped.next(frame), FrameDecoder::Status::Ready);

    FrameDecoder unknown;
    unknown.feed("\x05\x00\x00\x00\x00\x00\x00\x00", 8);
    EXPECT_EQ(unknown.next(frame), FrameDecoder::Status::Error);
}

TEST(Frame, DecoderHoldsAtMostOneFrameAndOneReadWhenReadsNeverEndOnAFrame)
{
    // Every read ends one byte into the next frame, so the decoder never sees
    // its buffer consumed to the end.
    const std::string frame = orvsdk::encodeFrame(Opcode::Frame, std::string(90, 'f'));
    FrameDecoder decoder;
    decoder.feed(frame.data(), 1);
    size_t most = 0;
    int frames = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string read = frame.substr(1) + frame.substr(0, 1);
        decoder.feed(read.data(), read.size());
        most = std::max(most, decoder.buffered());
        orvsdk::Frame out;
        while (decoder.next(out) == FrameDecoder::Status::Ready) {
            ++frames;
        }
    }
    EXPECT_EQ(frames, 20000);
    EXPECT_LE(most, orvsdk::kHeaderSize + orvsdk::kMaxPayload + frame.size());
}

#ifdef _WIN32
TEST(Endpoints, PipesAreNamedInTheFormWaitNamedPipeIsDocumentedFor)
{
    const std::vector<std::string> endpoints = orvsdk::discordEndpoints();
    ASSERT_EQ(endpoints.size(), 10u);
    EXPECT_EQ(endpoints[0], "\\\\.\\pipe\\discord-ipc-0");
    EXPECT_EQ(endpoints[9], "\\\\.\\pipe\\discord-ipc-9");
}
#endif

DiscordActivity fullActivity()
{
    DiscordActivity a{};
    a.type = DiscordActivityType_Playing;
    std::strcpy(a.details, "Racing");
    std::strcpy(a.state, "Lap 2 of 3");
    a.timestamps.start = 1700000000;
    a.timestamps.end = 1700003600;
    std::strcpy(a.assets.large_image, "https://example.com/racer.png");
    std::strcpy(a.assets.large_text, "Racer");
    std::strcpy(a.assets.small_image, "icon");
    std::strcpy(a.assets.small_text, "orv");
    std::strcpy(a.party.id, "party-1");
    a.party.size = {2, 4};
    std::strcpy(a.secrets.join, "join-secret");
    a.instance = true;
    return a;
}

TEST(ActivityJson, FullRecord)
{
    EXPECT_EQ(orvsdk::activityToJson(fullActivity()), json::parse(R"({
        "details": "Racing", "state": "Lap 2 of 3",
        "timestamps": {"start": 1700000000, "end": 1700003600},
        "assets": {"large_image": "https://example.com/racer.png", "large_text": "Racer",
                   "small_image": "icon", "small_text": "orv"},
        "party": {"id": "party-1", "size": [2, 4]},
        "secrets": {"join": "join-secret"},
        "instance": true})"));
}

TEST(ActivityJson, SparseRecordLeavesOutEmptyTextsZeroNumbersAndEmptyObjects)
{
    DiscordActivity a{};
    std::strcpy(a.details, "Lobby");
    a.timestamps.start = 5;
    EXPECT_EQ(orvsdk::activityToJson(a), json::parse(R"({"details":"Lobby","timestamps":{"start":5}})"));
    EXPECT_TRUE(orvsdk::activityToJson(DiscordActivity{}).empty());

    a = DiscordActivity{};
    a.type = DiscordActivityType_Watching;  // not sent, as the vendor's SDK discards it
    std::strcpy(a.state, "   ");  // blank: Discord would refuse the whole update
    EXPECT_TRUE(orvsdk::activityToJson(a).empty());
}

TEST(ActivityJson, TextsEndAtTheirNulOrTheirFieldAndOneCharacterIsPadded)
{
    DiscordActivity a{};
    std::memcpy(a.details, "ab\0garbage", 10);
    std::memset(a.state, 'x', sizeof a.state);  // no terminator at all
    std::strcpy(a.assets.large_text, "\xE4\xB8\xAD");  // one CJK character
    const json j = orvsdk::activityToJson(a);
    EXPECT_EQ(j["details"], "ab");
    EXPECT_EQ(j["state"], std::string(128, 'x'));
    EXPECT_EQ(j["assets"]["large_text"], "\xE4\xB8\xAD\xE2\x80\x8B");
}

TEST(ActivityJson, InvalidUtf8IsReplacedNeverThrown)
{
    DiscordActivity a{};
    std::strcpy(a.details, "ok\xC3");            // cut sequence
    std::strcpy(a.state, "\xFF\xFE bad \xED\xA0\x80 lead");  // invalid bytes, a surrogate
    json j;
    ASSERT_NO_THROW(j = orvsdk::activityToJson(a));
    EXPECT_EQ(j["details"], "ok\xEF\xBF\xBD");
    EXPECT_EQ(j["state"], "\xEF\xBF\xBD\xEF\xBF\xBD bad \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD lead");
    EXPECT_NO_THROW(orvsdk::setActivityCommand(1, &j, "n").size());
}

TEST(ActivityJson, SetActivityCommandCarriesPidNonceAndOptionalActivity)
{
    const json activity = {{"details", "d1"}};
    EXPECT_EQ(json::parse(orvsdk::setActivityCommand(77, &activity, "n-1")),
              json::parse(R"({"cmd":"SET_ACTIVITY","args":{"pid":77,"activity":{"details":"d1"}},"nonce":"n-1"})"));
    EXPECT_EQ(json::parse(orvsdk::setActivityCommand(77, nullptr, "n-2")),
              json::parse(R"({"cmd":"SET_ACTIVITY","args":{"pid":77},"nonce":"n-2"})"));
}

TEST(ResultMapping, ErrorAndCloseCodes)
{
    EXPECT_EQ(orvsdk::resultForErrorCode(4000), DiscordResult_InvalidPayload);
    EXPECT_EQ(orvsdk::resultForErrorCode(4002), DiscordResult_InvalidCommand);
    EXPECT_EQ(orvsdk::resultForErrorCode(4006), DiscordResult_InvalidPermissions);
    EXPECT_EQ(orvsdk::resultForErrorCode(5000), DiscordResult_OAuth2Error);
    EXPECT_EQ(orvsdk::resultForErrorCode(1000), DiscordResult_InternalError);
    EXPECT_EQ(orvsdk::resultForErrorCode(-3), DiscordResult_InternalError);
    EXPECT_EQ(orvsdk::resultForCloseCode(4000), DiscordResult_ApplicationMismatch);
    EXPECT_EQ(orvsdk::resultForCloseCode(4002), DiscordResult_RateLimited);
    EXPECT_EQ(orvsdk::resultForCloseCode(1), DiscordResult_ServiceUnavailable);
}

TEST(Pacer, FiveInAnyTwentySecondsSpreadEvenlyWithAMargin)
{
    using namespace std::chrono_literals;
    orvsdk::Pacer pacer(5, 20s);
    EXPECT_EQ(pacer.spacing(), 4100ms);
    const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
    EXPECT_TRUE(pacer.allows(t0)) << "the first goes at once";
    pacer.record(t0);
    EXPECT_FALSE(pacer.allows(t0 + 4099ms));
    EXPECT_EQ(pacer.nextAllowed(t0 + 1s), t0 + 4100ms);
    EXPECT_TRUE(pacer.allows(t0 + 4100ms));
    // After a quiet spell the next goes at once, and spacing counts from it.
    EXPECT_EQ(pacer.nextAllowed(t0 + 60s), t0 + 60s);
    pacer.record(t0 + 60s);
    EXPECT_EQ(pacer.nextAllowed(t0 + 61s), t0 + 64100ms);
    // Sent as soon as allowed, six sends span more than the window.
    orvsdk::Pacer eager(5, 20s);
    auto at = t0;
    for (int i = 0; i < 6; ++i) {
        at = eager.nextAllowed(at);
        eager.record(at);
    }
    EXPECT_GT(at - t0, 20s);
}

// On a fake clock, without a peer: a frame less than 15 s and a fortieth
// after the one before is a burst's, whose newest goes once more that long
// after it; a refused one does not, nor does anything with the repeat off.
TEST(BurstRepeat, TheNewestOfABurstIsDueFifteenSecondsAndAFortiethAfterIt)
{
    using namespace std::chrono_literals;
    const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
    DiscordActivity record{};
    std::strcpy(record.details, "newest");
    orvsdk::BurstRepeat repeat(15000ms);
    repeat.updateSent(t0, false, record, "1");
    EXPECT_FALSE(repeat.dueAt()) << "a single frame is no burst";
    repeat.updateSent(t0 + 15374ms, false, record, "2");
    ASSERT_TRUE(repeat.dueAt());
    EXPECT_EQ(*repeat.dueAt(), t0 + 15374ms + 15375ms);
    EXPECT_FALSE(repeat.isDue(t0 + 30748ms));
    EXPECT_TRUE(repeat.isDue(t0 + 30749ms));
    EXPECT_STREQ(repeat.record().details, "newest");
    EXPECT_FALSE(repeat.clear());
    repeat.repeatSent(t0 + 30749ms, "3");
    EXPECT_FALSE(repeat.dueAt()) << "repeated once only";

    repeat.updateSent(t0 + 31s, true, DiscordActivity{}, "4");
    EXPECT_TRUE(repeat.clear() && repeat.dueAt()) << "a clear in a burst is repeated too";
    repeat.refused("3");
    EXPECT_TRUE(repeat.dueAt()) << "a refusal of an older frame changes nothing";
    repeat.refused("4");
    EXPECT_FALSE(repeat.dueAt()) << "Discord would refuse it again";

    repeat.updateSent(t0 + 60s, false, record, "5");
    EXPECT_FALSE(repeat.dueAt()) << "more than 15 s and a fortieth after the one before: no burst";

    orvsdk::BurstRepeat never(0ms);
    never.updateSent(t0, false, record, "1");
    never.updateSent(t0 + 1ms, false, record, "2");
    EXPECT_FALSE(never.dueAt());
}

TEST(Utf8Cut, NeverLeavesPartOfACharacterAtTheEnd)
{
    const std::string text = "a\xC3\xA9\xE8\xB5\x9B\xF0\x9F\x98\x80";  // a, é, 赛, 😀: 1 + 2 + 3 + 4 bytes
    const std::pair<size_t, size_t> table[] = {{0, 0}, {1, 1}, {2, 1}, {3, 3}, {4, 3}, {5, 3},
                                               {6, 6}, {7, 6}, {9, 6}, {10, 10}, {99, 10}};
    for (const auto& [limit, length] : table) {
        EXPECT_EQ(text::utf8CutLength(text, limit), length) << "limit " << limit;
    }
    EXPECT_EQ(orvsdk::bounded(text, 8), "a\xC3\xA9...");
    EXPECT_EQ(orvsdk::bounded(text, 10), text);
}

}  // namespace
