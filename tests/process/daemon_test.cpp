// The finished daemon, started as a user's machine would start it: from a
// fresh folder holding orvpresd.exe and the SDK DLL, with the Discord-side
// peer and the stand-in front end as processes of their own.
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;
using testsupport::ChildProcess;

const wchar_t kIpcClass[] = L"{057D7EB3-7F15-4FAA-A2E5-252F34D3DA7A}";

std::wstring quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

bool waitUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(25);
    }
    return true;
}

class Daemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const wchar_t* file : {L"orvpresd.exe", L"discord_game_sdk.dll"}) {
            ASSERT_TRUE(CopyFileW((testsupport::programDir() + file).c_str(), m_dir.file(file).c_str(), FALSE));
        }
    }

    void startPeer(const std::wstring& options = L"")
    {
        ASSERT_TRUE(m_peer.start(quoted(testsupport::programDir() + L"discord-peer.exe") + L" --pipe 0 --out " +
                                 quoted(m_dir.file(L"peer.jsonl")) + L" " + options));
        ASSERT_TRUE(waitUntil([&] { return WaitNamedPipeW(L"\\\\.\\pipe\\discord-ipc-0", 0) ||
                                           GetLastError() == ERROR_SEM_TIMEOUT; },
                              10000))
            << "the peer never listened";
    }

    void startFrontEnd() { ASSERT_TRUE(m_frontEnd.start(quoted(testsupport::programDir() + L"orvhost.exe") + L" 120")); }

    bool startDaemon(ChildProcess& daemon, const std::wstring& commandLine)
    {
        return daemon.start(quoted(m_dir.file(L"orvpresd.exe")) + (commandLine.empty() ? L"" : L" " + commandLine),
                            m_dir.path());
    }

    std::string log() const { return testsupport::readFile(m_dir.file(L"log\\orvprs.log")); }

    std::vector<json> activities() const
    {
        std::vector<json> found;
        std::istringstream lines(testsupport::readFile(m_dir.file(L"peer.jsonl")));
        std::string line;
        while (std::getline(lines, line)) {
            const json record = json::parse(line, nullptr, false);
            if (record.contains("json") && record["json"].value("cmd", "") == "SET_ACTIVITY") {
                found.push_back(record["json"]["args"].value("activity", json()));
            }
        }
        return found;
    }

    bool waitForActivities(size_t count) const
    {
        return waitUntil([&] { return activities().size() >= count; }, 10000);
    }

    static DWORD sendPresence(const std::wstring& text)
    {
        ChildProcess sender;
        if (!sender.start(quoted(testsupport::programDir() + L"orvpres-send.exe") + L" " + quoted(text))) {
            return 0xFFFF;
        }
        return sender.wait(10000);
    }

    static HWND waitForWindow(const wchar_t* windowClass, const wchar_t* title)
    {
        HWND window = nullptr;
        waitUntil([&] { return (window = FindWindowW(windowClass, title)) != nullptr; }, 10000);
        return window;
    }

    testsupport::TempDir m_dir;
    ChildProcess m_peer;
    ChildProcess m_frontEnd;
};

TEST_F(Daemon, PublishesFollowsTheFrontEndAndEndsWithIt)
{
    startPeer();
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=Lobby|state=Waiting|gameicon=https://example.com/g.png"));

    ASSERT_TRUE(waitForActivities(1)) << log();
    const json first = activities()[0];
    EXPECT_EQ(first["details"], "Lobby");
    EXPECT_EQ(first["state"], "Waiting");
    EXPECT_EQ(first["assets"]["large_image"], "https://example.com/g.png");
    EXPECT_NE(first["assets"]["small_image"].get<std::string>().find("/player_files/en/img/discord/orvapp_icon100.png"),
              std::string::npos);
    EXPECT_GT(first["timestamps"]["start"].get<long long>(), 1700000000);

    HWND main = waitForWindow(L"ORVPRESD", L"orvpresd");
    ASSERT_NE(main, nullptr);
    EXPECT_FALSE(IsWindowVisible(main));
    HWND ipc = FindWindowW(kIpcClass, nullptr);
    ASSERT_NE(ipc, nullptr);
    EXPECT_FALSE(IsWindowVisible(ipc));

    EXPECT_EQ(sendPresence(L"details=Racing|state=Lap 1"), 0u);
    ASSERT_TRUE(waitForActivities(2));
    EXPECT_EQ(activities()[1]["details"], "Racing");
    EXPECT_FALSE(activities()[1].contains("assets") && activities()[1]["assets"].contains("large_image"));

    EXPECT_EQ(sendPresence(L"details=Racing|state=Lap 1|gameicon=other"), 0u);  // unchanged details and state
    EXPECT_EQ(sendPresence(L"details=Racing|state=Lap 2"), 0u);
    ASSERT_TRUE(waitForActivities(3));
    EXPECT_EQ(activities()[2]["state"], "Lap 2") << "the unchanged presence was sent again";

    // A second instance fails and leaves the first working.
    ChildProcess second;
    ASSERT_TRUE(startDaemon(second, L"details=Second|state=x"));
    EXPECT_EQ(second.wait(15000), 0u);
    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(sendPresence(L"details=Still|state=here"), 0u);
    ASSERT_TRUE(waitForActivities(4));
    EXPECT_EQ(activities()[3]["details"], "Still");

    m_frontEnd.kill();
    EXPECT_EQ(daemon.wait(5000), 0u) << "the daemon outlived its front end";
    EXPECT_EQ(activities().size(), 4u);

    const std::string text = log();
    EXPECT_NE(text.find("init sucess"), std::string::npos);
    EXPECT_NE(text.find("progress exist!"), std::string::npos);
    EXPECT_NE(text.find("orvhost not exist"), std::string::npos) << text;
    EXPECT_NE(text.find("same info"), std::string::npos);
    EXPECT_TRUE(testsupport::directoryExists(m_dir.file(L"log")));
}

TEST_F(Daemon, EmptyCommandLineOrNoDiscordEndWithoutAMessageLoop)
{
    startFrontEnd();
    ChildProcess empty;
    ASSERT_TRUE(startDaemon(empty, L""));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(empty.wait(15000), 0u);
    EXPECT_GE(GetTickCount64() - start, 2500u);
    EXPECT_EQ(FindWindowW(kIpcClass, nullptr), nullptr);
    EXPECT_NE(log().find("no cmd"), std::string::npos);

    ChildProcess noDiscord;  // nobody listens on the pipe
    ASSERT_TRUE(startDaemon(noDiscord, L"details=d|state=s"));
    EXPECT_EQ(noDiscord.wait(15000), 0u);
    EXPECT_NE(log().find("init error 27"), std::string::npos) << log();
}

TEST_F(Daemon, DiscordGoingAwayEndsIt)
{
    startPeer();
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=d|state=s"));
    ASSERT_TRUE(waitForActivities(1));
    m_peer.kill();
    EXPECT_EQ(daemon.wait(5000), 0u);
    EXPECT_NE(log().find("dicord core not ok 27"), std::string::npos) << log();
}

TEST_F(Daemon, CloseAndExitCommandToTheHiddenWindowEndIt)
{
    startPeer();
    startFrontEnd();
    for (const bool viaCommand : {false, true}) {
        SCOPED_TRACE(viaCommand ? "WM_COMMAND 105" : "WM_CLOSE");
        ChildProcess daemon;
        ASSERT_TRUE(startDaemon(daemon, L"details=d|state=s"));
        HWND main = waitForWindow(L"ORVPRESD", L"orvpresd");
        ASSERT_NE(main, nullptr);
        ASSERT_NE(waitForWindow(kIpcClass, nullptr), nullptr);
        if (viaCommand) {
            PostMessageW(main, WM_COMMAND, 105, 0);
        } else {
            PostMessageW(main, WM_CLOSE, 0, 0);
        }
        EXPECT_EQ(daemon.wait(5000), 0u);
        waitUntil([] { return FindWindowW(L"ORVPRESD", L"orvpresd") == nullptr; }, 5000);
    }
}

}  // namespace
