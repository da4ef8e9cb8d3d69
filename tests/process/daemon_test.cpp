// The finished daemon: start-up, presence, single instance, its ends.
#include "process/daemon_fixture.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace daemontest;
using Daemon = DaemonFixture;

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

    HWND main = waitForWindow(frontend::kMainWindowClass, frontend::kMainWindowTitle);
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

    // A second instance hands its presence over, ends, and leaves the first working.
    ChildProcess second;
    ASSERT_TRUE(startDaemon(second, L"details=Second|state=x"));
    EXPECT_EQ(second.wait(kPatienceMs), 0u);
    EXPECT_TRUE(daemon.running());
    ASSERT_TRUE(waitForActivities(4));
    EXPECT_EQ(activities()[3]["details"], "Second");
    EXPECT_EQ(sendPresence(L"details=Still|state=here"), 0u);
    ASSERT_TRUE(waitForActivities(5));
    EXPECT_EQ(activities()[4]["details"], "Still");

    m_frontEnd.kill();
    EXPECT_EQ(daemon.wait(15000), 0u) << "the daemon outlived its front end";
    const std::vector<json> frames = activities();
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(), [](const json& a) { return !a.is_null(); }), 5)
        << "no presence after the front end ended, at most a clear";

    const std::string text = log();
    EXPECT_NE(text.find(testsupport::keptBytes(kept::kInitSuccess)), std::string::npos);
    EXPECT_NE(text.find(testsupport::keptBytes(kept::kInstanceExists)), std::string::npos);
    EXPECT_NE(text.find(testsupport::keptBytes(kept::kFrontEndGone)), std::string::npos) << text;
    EXPECT_NE(text.find(testsupport::keptBytes(kept::kSameInfo)), std::string::npos);
    EXPECT_TRUE(testsupport::directoryExists(m_dir.file(L"log")));
}

// The emulator closed and at once opened again while Discord is slow to
// confirm (here: never): the daemon that ends waits for its clear, the new
// start waits for it, and the new front end's presence reaches the one that
// ends. It goes on to the new start.
TEST_F(Daemon, APresenceSentWhileItEndsGoesToTheStartInItsPlace)
{
    startPeer(L"--silent");
    startFrontEnd();
    ChildProcess ending;
    ASSERT_TRUE(startDaemon(ending, L"details=Old|state=s"));
    ASSERT_TRUE(waitForActivities(1));
    HWND ipc = FindWindowW(kIpcClass, nullptr);
    ASSERT_TRUE(sendText(ipc, L"details=Older|state=s"));  // the clear's wait then counts from now
    m_frontEnd.kill();
    ASSERT_TRUE(waitForLog(testsupport::keptBytes(kept::kFrontEndGone)));

    ChildProcess frontEnd;
    ASSERT_TRUE(frontEnd.start(quoted(testsupport::programDir() + L"orvhost.exe") + L" 120"));
    ChildProcess next;
    ASSERT_TRUE(startDaemon(next, L"details=Next|state=s"));
    // its offer, answered 0
    ASSERT_TRUE(waitForLog(testsupport::keptPrefix(kept::kCopyData) + std::to_string(frontend::kOfferMessage))) << log();
    DWORD owner = 0;
    GetWindowThreadProcessId(ipc, &owner);
    ASSERT_EQ(owner, ending.pid()) << "ended before the test could send";
    DWORD_PTR answer = 1;
    ASSERT_TRUE(sendText(ipc, L"details=Newest|state=s", kSendTimeoutMs, &answer));
    EXPECT_EQ(answer, 0u);

    EXPECT_EQ(ending.wait(kPatienceMs), 0u);
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::vector<json> frames = activities();
            return !frames.empty() && frames.back().is_object() && frames.back().value("details", "") == "Newest";
        },
        kPatienceMs))
        << log();
    EXPECT_TRUE(next.running());
    frontEnd.kill();
    EXPECT_EQ(next.wait(30000), 0u);
}

TEST_F(Daemon, EmptyCommandLineOrNoDiscordEndWithoutAMessageLoop)
{
    startFrontEnd();
    ChildProcess empty;
    ASSERT_TRUE(startDaemon(empty, L""));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(empty.wait(kPatienceMs), 0u);
    EXPECT_GE(GetTickCount64() - start, 2500u);
    EXPECT_EQ(FindWindowW(kIpcClass, nullptr), nullptr);
    EXPECT_NE(log().find(testsupport::keptBytes(kept::kNoCommand)), std::string::npos);

    ChildProcess noDiscord;  // nobody listens on the pipe
    ASSERT_TRUE(startDaemon(noDiscord, L"details=d|state=s"));
    EXPECT_EQ(noDiscord.wait(kPatienceMs), 0u);
    EXPECT_NE(log().find(testsupport::keptBytes(kept::kInitError, 27)), std::string::npos) << log();
}

TEST_F(Daemon, DiscordGoingAwayEndsIt)
{
    startPeer();
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=d|state=s"));
    ASSERT_TRUE(waitForActivities(1));
    m_peer.kill();
    EXPECT_EQ(daemon.wait(15000), 0u);
    EXPECT_NE(log().find(testsupport::keptBytes(kept::kCoreNotOk, 27)), std::string::npos) << log();
}

TEST_F(Daemon, CloseAndExitCommandToTheHiddenWindowEndIt)
{
    startPeer();
    startFrontEnd();
    for (const bool viaCommand : {false, true}) {
        SCOPED_TRACE(viaCommand ? "WM_COMMAND exit" : "WM_CLOSE");
        ChildProcess daemon;
        ASSERT_TRUE(startDaemon(daemon, L"details=d|state=s"));
        HWND main = waitForWindow(frontend::kMainWindowClass, frontend::kMainWindowTitle);
        ASSERT_NE(main, nullptr);
        ASSERT_NE(waitForWindow(kIpcClass, nullptr), nullptr);
        if (viaCommand) {
            PostMessageW(main, WM_COMMAND, frontend::kExitCommand, 0);
        } else {
            PostMessageW(main, WM_CLOSE, 0, 0);
        }
        EXPECT_EQ(daemon.wait(15000), 0u);
        waitUntil([] { return FindWindowW(frontend::kMainWindowClass, frontend::kMainWindowTitle) == nullptr; }, 5000);
    }
}

TEST_F(Daemon, AboutBoxOpensModallyFromTheHiddenWindowAndCloses)
{
    startPeer();
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=d|state=s"));
    HWND main = waitForWindow(frontend::kMainWindowClass, frontend::kMainWindowTitle);
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(waitForActivities(1));  // running: before that an about command is ignored
    for (const WPARAM close : {static_cast<WPARAM>(IDOK), static_cast<WPARAM>(IDCANCEL)}) {
        PostMessageW(main, WM_COMMAND, frontend::kAboutCommand, 0);
        HWND about = waitForWindow(L"#32770", L"\x5173\x4E8E orvpresd");  // "关于 orvpresd"
        ASSERT_NE(about, nullptr) << "no about box";
        EXPECT_EQ(GetWindow(about, GW_OWNER), main);
        PostMessageW(about, WM_COMMAND, close, 0);
        EXPECT_TRUE(waitUntil([] { return FindWindowW(L"#32770", L"\x5173\x4E8E orvpresd") == nullptr; }, 5000));
    }
    EXPECT_TRUE(daemon.running());
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(daemon.wait(15000), 0u);
}

// The resources a user's tools see: ids, languages and contents.
TEST(DaemonResources, StringsIconsMenuAcceleratorsDialogAndManifest)
{
    const std::wstring exe = testsupport::programDir() + L"orvpresd.exe";
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    constexpr WORD kChinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
    constexpr WORD kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    EXPECT_EQ(kChinese, 2052);
    auto has = [&](LPCWSTR type, WORD id, WORD language) {
        return FindResourceExW(module, type, MAKEINTRESOURCEW(id), language) != nullptr;
    };
    EXPECT_TRUE(has(RT_STRING, 103 / 16 + 1, kChinese));
    EXPECT_TRUE(has(RT_GROUP_ICON, 107, kChinese));
    EXPECT_TRUE(has(RT_GROUP_ICON, 108, kChinese));
    EXPECT_TRUE(has(RT_MENU, 109, kChinese));
    EXPECT_TRUE(has(RT_ACCELERATOR, 109, kChinese));
    EXPECT_TRUE(has(RT_DIALOG, 103, kChinese));
    EXPECT_TRUE(has(RT_MANIFEST, 1, kEnglish));
    EXPECT_FALSE(has(RT_GROUP_ICON, 128, kChinese)) << "the about box's icon 128 is not among the resources";

    wchar_t text[100] = {};
    EXPECT_GT(LoadStringW(module, 103, text, 100), 0);
    EXPECT_STREQ(text, frontend::kMainWindowTitle);
    EXPECT_GT(LoadStringW(module, 109, text, 100), 0);
    EXPECT_STREQ(text, frontend::kMainWindowClass);

    // Each icon group holds the nine images: 256, 48, 32, 16 px at 8 bits and
    // 256, 64, 48, 32, 16 px at 32 bits.
    for (WORD group : {107, 108}) {
        HRSRC found = FindResourceExW(module, RT_GROUP_ICON, MAKEINTRESOURCEW(group), kChinese);
        ASSERT_NE(found, nullptr);
        const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
        ASSERT_NE(bytes, nullptr);
        const WORD count = *reinterpret_cast<const WORD*>(bytes + 4);
        ASSERT_EQ(count, 9);
        std::vector<std::pair<int, int>> images;
        for (int i = 0; i < count; ++i) {
            const BYTE* entry = bytes + 6 + 14 * i;  // GRPICONDIRENTRY
            const int size = entry[0] == 0 ? 256 : entry[0];
            images.emplace_back(size, *reinterpret_cast<const WORD*>(entry + 6));
        }
        const std::vector<std::pair<int, int>> expected = {{256, 8}, {48, 8},  {32, 8},  {16, 8}, {256, 32},
                                                           {64, 32}, {48, 32}, {32, 32}, {16, 32}};
        EXPECT_EQ(images, expected);
    }

    HRSRC manifest = FindResourceExW(module, RT_MANIFEST, MAKEINTRESOURCEW(1), kEnglish);
    ASSERT_NE(manifest, nullptr);
    const std::string xml(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                          SizeofResource(module, manifest));
    EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(xml.find("uiAccess=\"false\""), std::string::npos);
    FreeLibrary(module);
}

}  // namespace
