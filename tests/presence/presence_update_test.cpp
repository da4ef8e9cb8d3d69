#include "discord/fake_sdk.h"
#include "common/kept_texts.h"
#include "presence/orv_discord_manager.h"
#include "support/kept_text.h"
#include "support/log_capture.h"
#include "text/utf8_cut.h"
#include "utility/ustring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace {

constexpr char kIconUrl[] = "https://orvpresd.example.com/player_files/en/img/discord/orvapp_icon100.png";

// A manager whose core runs on the SDK double, as after a successful start.
class PresenceUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakesdk::reset();
        ASSERT_EQ(discord::Core::Create(1, 1, &m_core), discord::Result::Ok);
        m_manager.setCoreForTest(std::unique_ptr<discord::Core>(m_core));
        m_log.clear();  // the phase set by the test's core
    }

    void publish(const std::wstring& command)
    {
        m_manager.parseCmd(command);
        m_manager.update();
    }

    const std::vector<DiscordActivity>& sent() const { return fakesdk::state().activities; }

    discord::Core* m_core = nullptr;  // the manager's
    OrvDiscordManager m_manager;
    testsupport::LogCapture m_log;
};

TEST_F(PresenceUpdate, ActivityRecordCarriesTheTextsIconsTypeAndStartTime)
{
    const long long before = _time64(nullptr);
    publish(L"details=Racer|state=Lap 2|gameicon=https://example.com/racer.png");
    const long long after = _time64(nullptr);
    ASSERT_EQ(sent().size(), 1u);
    const DiscordActivity& a = sent()[0];
    EXPECT_EQ(a.type, DiscordActivityType_Playing);
    EXPECT_STREQ(a.details, "Racer");
    EXPECT_STREQ(a.state, "Lap 2");
    EXPECT_STREQ(a.assets.large_image, "https://example.com/racer.png");
    EXPECT_STREQ(a.assets.small_image, kIconUrl);
    EXPECT_GE(a.timestamps.start, before);
    EXPECT_LE(a.timestamps.start, after);

    // Everything else is zero.
    auto allZero = [](const void* data, size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        return std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; });
    };
    EXPECT_EQ(a.application_id, 0);
    EXPECT_TRUE(allZero(a.name, sizeof a.name));
    EXPECT_EQ(a.timestamps.end, 0);
    EXPECT_TRUE(allZero(a.assets.large_text, sizeof a.assets.large_text));
    EXPECT_TRUE(allZero(a.assets.small_text, sizeof a.assets.small_text));
    EXPECT_TRUE(allZero(&a.party, sizeof a.party));
    EXPECT_TRUE(allZero(&a.secrets, sizeof a.secrets));
    EXPECT_FALSE(a.instance);
    // Texts are terminated and zero-filled after their end.
    EXPECT_TRUE(allZero(a.details + 5, sizeof a.details - 5));
}

TEST_F(PresenceUpdate, NonAsciiTextsAreUtf8AndLongOnesAreCutAtACharacterBoundary)
{
    publish(std::wstring(L"details=") + std::wstring(200, L'a') + L"|state=" + std::wstring(50, L'\x4E2D'));
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(std::string(sent()[0].details), std::string(127, 'a'));
    // 50 three-byte characters: 42 fit in 127 bytes (126), the 43rd would not.
    std::string expected;
    for (int i = 0; i < 42; ++i) {
        expected += "\xE4\xB8\xAD";
    }
    EXPECT_EQ(std::string(sent()[0].state), expected);
}

TEST_F(PresenceUpdate, AnIconAddressGoesWholeOrNotAtAll)
{
    const std::wstring host = L"https://example.com/";
    const struct {
        std::wstring icon;
        bool sent;
    } cases[] = {
        {host + std::wstring(127 - host.size(), L'a'), true},       // 127 bytes
        {host + std::wstring(128 - host.size(), L'a'), false},      // 128 bytes
        {host + std::wstring(190, L'a'), false},                    // 210 bytes
        {host + std::wstring(35, L'\x4E2D'), true},                 // 20 + 105 bytes
        {host + std::wstring(36, L'\x4E2D'), false},                // 20 + 108 bytes in 56 units
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.icon.size());
        publish(L"details=d" + std::to_wstring(++round) + L"|gameicon=" + c.icon);
        ASSERT_EQ(sent().size(), static_cast<size_t>(round));
        const std::string image = sent().back().assets.large_image;
        EXPECT_EQ(image.empty(), !c.sent) << image;
        if (c.sent) {
            EXPECT_EQ(utility::ustring::fromUtf8(image.c_str()), c.icon);
        }
    }
    EXPECT_TRUE(m_log.contains(L"icon longer than 127 bytes: not sent"));
}

TEST_F(PresenceUpdate, UnchangedDetailsAndStateAreNotSentAgainWhateverTheIcon)
{
    publish(L"details=A|state=B|gameicon=x");
    publish(L"details=A|state=B|gameicon=y");
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_STREQ(sent()[0].assets.large_image, "x");
    EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kSameInfo)));

    publish(L"details=a|state=B");  // case matters
    EXPECT_EQ(sent().size(), 2u);
}

TEST_F(PresenceUpdate, FirstEmptyUpdateIsDroppedAndTheRememberedValuesAdvanceBeforeTheSdk)
{
    publish(L"gameicon=only-an-icon");
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kSameInfo)));

    fakesdk::state().completeInline = true;  // the update "fails" at once, all the same
    publish(L"details=D|state=S");
    publish(L"details=D|state=S");
    EXPECT_EQ(sent().size(), 1u) << "an update is not sent again whatever the SDK did with it";
}

TEST_F(PresenceUpdate, LogsTheThreeTextsInOrderOnEveryCall)
{
    publish(L"details=d1|state=s1|gameicon=i1");
    publish(L"details=d1|state=s1|gameicon=i1");
    const std::wstring once[] = {testsupport::keptText(kept::kUpdateDetails, L"d1"),
                                 testsupport::keptText(kept::kUpdateState, L"s1"),
                                 testsupport::keptText(kept::kUpdateIcon, L"i1")};
    const std::vector<std::wstring> expected = {once[0], once[1], once[2], once[0], once[1], once[2],
                                                testsupport::keptText(kept::kSameInfo)};
    EXPECT_EQ(m_log.messages(), expected);
    for (const auto& entry : m_log.entries()) {
        EXPECT_EQ(entry.function, "OrvDiscordManager::update");
    }
}

TEST_F(PresenceUpdate, CompletionIsHeldBySdkAndFreedWhenItCompletes)
{
    publish(L"details=d|state=s");
    EXPECT_EQ(fakesdk::state().pending.size(), 1u);
    m_core->RunCallbacks();
    EXPECT_TRUE(fakesdk::state().pending.empty());
}

TEST(PresenceUpdateWithoutCore, NothingIsSentAndThePresenceWaitsForTheCore)
{
    fakesdk::reset();
    testsupport::LogCapture log;
    OrvDiscordManager manager;
    manager.parseCmd(L"details=early|state=s");
    manager.update();
    EXPECT_TRUE(fakesdk::state().activities.empty());
    EXPECT_TRUE(log.contains(L"no discord core yet, update deferred"));

    discord::Core* core = nullptr;
    ASSERT_EQ(discord::Core::Create(1, 1, &core), discord::Result::Ok);
    manager.setCoreForTest(std::unique_ptr<discord::Core>(core));
    manager.update();
    ASSERT_EQ(fakesdk::state().activities.size(), 1u) << "the deferred presence was lost";
    EXPECT_STREQ(fakesdk::state().activities[0].details, "early");
}

TEST(CopyField, CutsAtTheLastWholeCharacterAndAlwaysTerminates)
{
    char field[8];
    text::copyField(field, "abcdefghij");
    EXPECT_STREQ(field, "abcdefg");
    text::copyField(field, "ab\xE4\xB8\xAD\xE4\xB8\xAD");  // 2 + 3 + 3 bytes, 7 fit
    EXPECT_STREQ(field, "ab\xE4\xB8\xAD");
    text::copyField(field, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80");  // two four-byte characters
    EXPECT_STREQ(field, "\xF0\x9F\x98\x80");
    text::copyField(field, "");
    EXPECT_STREQ(field, "");
}

}  // namespace
