#include "discord/fake_sdk.h"
#include "common/kept_texts.h"
#include "presence/orv_discord_manager.h"
#include "support/kept_text.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// The numbers as the log's %d shows them.
constexpr int kPresence = static_cast<int>(frontend::kPresenceMessage);
constexpr int kOffer = static_cast<int>(frontend::kOfferMessage);

class MessageHandler : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakesdk::reset();
        ASSERT_EQ(discord::Core::Create(1, 1, &m_core), discord::Result::Ok);
        m_manager.setCoreForTest(std::unique_ptr<discord::Core>(m_core));
        m_manager.parseCmd(L"details=before|state=before|gameicon=icon");
        m_log.clear();  // the phase set by the test's core
    }

    LRESULT send(WPARAM wParam, const void* data, DWORD bytes, ULONG_PTR dwData = 0)
    {
        COPYDATASTRUCT copy = {};
        copy.dwData = dwData;
        copy.cbData = bytes;
        copy.lpData = const_cast<void*>(data);
        return m_manager.onHandleWindowIPC(WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&copy));
    }

    LRESULT send(WPARAM wParam, const std::wstring& text)
    {
        return send(wParam, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
    }

    discord::Core* m_core = nullptr;  // the manager's
    OrvDiscordManager m_manager;
    testsupport::LogCapture m_log;
};

TEST_F(MessageHandler, PresenceMessageReplacesAllThreeTextsAndPublishes)
{
    EXPECT_EQ(send(frontend::kPresenceMessage, L"details=Lobby|state=Waiting"), TRUE)
        << "taken while running: it will be published";
    EXPECT_EQ(m_manager.details(), L"Lobby");
    EXPECT_EQ(m_manager.state(), L"Waiting");
    EXPECT_EQ(m_manager.gameIcon(), L"");
    ASSERT_EQ(fakesdk::state().activities.size(), 1u);
    EXPECT_STREQ(fakesdk::state().activities[0].details, "Lobby");

    const std::vector<std::wstring> messages = m_log.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], testsupport::keptText(kept::kWindowMessage, 74));
    EXPECT_EQ(messages[1], testsupport::keptText(kept::kCopyData, kPresence, L"details=Lobby|state=Waiting"));
    EXPECT_EQ(m_log.entries()[0].function, "OrvDiscordManager::onHandleWindowIPC");
}

TEST_F(MessageHandler, OtherWParamIsLoggedAndDropped)
{
    EXPECT_EQ(send(0, L"details=x"), 0);
    EXPECT_EQ(send(9991, L"details=x"), 0);
    EXPECT_EQ(m_manager.details(), L"before");
    EXPECT_TRUE(fakesdk::state().activities.empty());
    EXPECT_EQ(m_log.messages().size(), 4u);
    EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kCopyData, 9991, L"details=x")));
}

TEST_F(MessageHandler, EmptyNullAndOddPayloads)
{
    EXPECT_EQ(send(frontend::kPresenceMessage, nullptr, 0), TRUE);
    EXPECT_EQ(m_manager.details(), L"");
    EXPECT_EQ(m_manager.gameIcon(), L"");
    EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kUpdateDetails, L""))) << "the update runs for an empty text";

    m_manager.parseCmd(L"details=kept");
    EXPECT_EQ(send(frontend::kPresenceMessage, nullptr, 4096), TRUE) << "a null lpData is an empty text";
    EXPECT_EQ(m_manager.details(), L"");

    const std::wstring text = L"details=abc";
    EXPECT_EQ(send(frontend::kPresenceMessage, text.data(), static_cast<DWORD>(text.size() * 2 + 1)), TRUE);
    EXPECT_EQ(m_manager.details(), L"abc") << "the odd last byte is dropped";
}

TEST_F(MessageHandler, PayloadCountedWithItsNulKeepsItButTheLogStopsThere)
{
    const wchar_t text[] = L"details=d|state=s";
    EXPECT_EQ(send(frontend::kPresenceMessage, text, sizeof text, 12345), TRUE);
    EXPECT_EQ(m_manager.state(), std::wstring(L"s\0", 2));
    EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kCopyData, kPresence, L"details=d|state=s")));
}

TEST_F(MessageHandler, APayloadOver64KiBIsRefusedUnreadAndLogged)
{
    const std::wstring largest = L"details=" + std::wstring(32 * 1024 - 8, L'x');
    ASSERT_EQ(largest.size() * sizeof(wchar_t), 64u * 1024);
    EXPECT_EQ(send(frontend::kPresenceMessage, largest), TRUE);
    EXPECT_EQ(m_manager.details(), largest.substr(8));

    const std::wstring over = L"details=over" + std::wstring(32 * 1024 - 11, L'x');
    ASSERT_EQ(over.size() * sizeof(wchar_t), 64u * 1024 + 2);
    EXPECT_EQ(send(frontend::kPresenceMessage, over), 0);
    EXPECT_EQ(send(frontend::kOfferMessage, presence::makeOffer(presence::now(), over)), 0);
    EXPECT_EQ(m_manager.details(), largest.substr(8));
    EXPECT_TRUE(m_log.contains(L"onCopyData msg = " + std::to_wstring(kPresence) + L", 65538 bytes: too large, ignored"));
    EXPECT_TRUE(m_log.contains(L"onCopyData msg = " + std::to_wstring(kOffer) + L", 65546 bytes: too large, ignored"));
    EXPECT_FALSE(m_log.contains(L"data = details=over")) << "a refused payload is not read";
}

TEST_F(MessageHandler, AnOfferIsTakenOnlyWhenNewerThanThePresenceHeld)
{
    const presence::Stamp started = presence::now();  // before the front end's presence below
    EXPECT_EQ(send(frontend::kPresenceMessage, L"details=front"), TRUE);
    const struct {
        presence::Stamp stamp;
        const wchar_t* text;
        const wchar_t* held;
    } offers[] = {
        {started, L"older", L"front"},           // began before the front end's presence: not taken
        {presence::now() + 1, L"newer", L"newer"},  // began after it
        {started, L"older", L"newer"},           // older than the offer held
        {~0ULL, L"future", L"future"},           // read as now, so that it blocks no later start
        {0, L"later", L"later"},                 // stamped now, below
    };
    for (const auto& offer : offers) {
        // The clock moves in ticks (about 16 ms): each row comes a tick later,
        // waited for with a generous deadline, as a loaded machine may be slow.
        const presence::Stamp before = presence::now();
        const ULONGLONG deadline = GetTickCount64() + 60000;
        while (presence::now() == before && GetTickCount64() < deadline) {
            Sleep(1);
        }
        ASSERT_NE(presence::now(), before) << "the clock did not move";
        const presence::Stamp stamp = offer.stamp ? offer.stamp : presence::now();
        const std::wstring payload = presence::makeOffer(stamp, std::wstring(L"details=") + offer.text);
        EXPECT_EQ(send(frontend::kOfferMessage, payload), TRUE) << "taken or superseded: the second start may end";
        EXPECT_EQ(m_manager.details(), offer.held);
    }
    EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kCopyData, kOffer, L"details=later")));
    EXPECT_TRUE(m_log.contains(L"an offer older than the presence held, not taken"));
    EXPECT_EQ(send(frontend::kOfferMessage, L"abc"), 0) << "too short to carry a stamp";
    EXPECT_EQ(send(frontend::kPresenceMessage, L"details=front again"), TRUE)
        << "the front end's presence is always the newest";
    EXPECT_EQ(m_manager.details(), L"front again");
}

TEST_F(MessageHandler, ALostConnectionEndsItAndPromisesNothing)
{
    fakesdk::state().runCallbacksResult = DiscordResult_NotRunning;
    EXPECT_EQ(send(frontend::kOfferMessage, presence::makeOffer(presence::now(), L"details=offer")), 0);
    EXPECT_EQ(m_manager.details(), L"before");
    EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kCoreNotOk, 27)));
    EXPECT_FALSE(m_manager.running());
    fakesdk::state().runCallbacksResult = DiscordResult_Ok;
    EXPECT_EQ(send(frontend::kPresenceMessage, L"details=late"), 0) << "ending is final";
    EXPECT_EQ(m_manager.details(), L"before");
    MSG quit;
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

// The IPC window is a top-level window every sender can find: a close and
// an update's Restart Manager end the process there as at the main window,
// each with its reason; what only asks, or calls an end off, changes nothing.
TEST_F(MessageHandler, ClosesAndTheEndsOfTheSessionAtTheIpcWindow)
{
    struct Case {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        LRESULT answer;
        const wchar_t* logged;  // the reason it ends, or null: it runs on
    };
    const Case cases[] = {
        {WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, TRUE, nullptr},
        {WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP, 0, nullptr},
        {WM_CLOSE, 0, 0, 0, L"told to end: the IPC window is asked to close"},
        {WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, 0,
         L"told to end: Windows asks this program to close (at the IPC window) for an update or a restart of "
         L"applications (Restart Manager)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "message " << c.message << " " << c.wParam << " " << c.lParam);
        OrvDiscordManager manager;
        discord::Core* core = nullptr;
        ASSERT_EQ(discord::Core::Create(1, 1, &core), discord::Result::Ok);
        manager.setCoreForTest(std::unique_ptr<discord::Core>(core));
        m_log.clear();
        EXPECT_EQ(manager.onHandleWindowIPC(c.message, c.wParam, c.lParam), c.answer);
        MSG quit;
        EXPECT_EQ(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE, c.logged != nullptr);
        EXPECT_EQ(manager.running(), c.logged == nullptr);
        if (c.logged) {
            EXPECT_TRUE(m_log.contains(c.logged)) << "the reason it ends";
        }
    }
}

TEST_F(MessageHandler, HighMessagesOnlyLogTheirNumber)
{
    EXPECT_EQ(m_manager.onHandleWindowIPC(1025, frontend::kPresenceMessage, 0), 0);
    EXPECT_EQ(m_log.messages(), std::vector<std::wstring>{testsupport::keptText(kept::kWindowMessage, 1025)});
    EXPECT_EQ(m_manager.details(), L"before");
}

}  // namespace
