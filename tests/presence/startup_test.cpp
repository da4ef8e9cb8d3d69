// The manager's start-up and its watchdog. Start-up failures wait 3 seconds
// each, as the program does, so the failing cases are few and grouped.
#include "discord/fake_sdk.h"
#include "common/kept_texts.h"
#include "presence/front_end_contract.h"
#include "presence/hand_over.h"
#include "presence/instance_security.h"
#include "presence/orv_discord_manager.h"
#include "support/child_process.h"
#include "support/kept_text.h"
#include "support/log_capture.h"
#include "support/message_pump.h"
#include "utility/window_ipc.h"

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring uniqueInstanceName()
{
    static int counter = 0;
    return L"{orvpresd-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + L"}";
}

bool mutexExists(const std::wstring& name)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex) {
        CloseHandle(mutex);
    }
    return mutex != nullptr;
}

bool takeQuitMessage(WPARAM* code = nullptr)
{
    MSG message;
    if (!PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        return false;
    }
    if (code) {
        *code = message.wParam;
    }
    return true;
}

// Another instance, as far as the mutex tells: a thread that holds it until
// it ends, leaving it abandoned. With a DACL, one that runs with other rights.
class MutexHolder {
public:
    explicit MutexHolder(const std::wstring& name, const wchar_t* sddl = nullptr)
        : m_thread([this, name, sddl] {
              SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
              if (sddl) {
                  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                       &attributes.lpSecurityDescriptor, nullptr);
              }
              HANDLE mutex = CreateMutexW(sddl ? &attributes : nullptr, TRUE, name.c_str());
              LocalFree(attributes.lpSecurityDescriptor);
              SetEvent(m_held);
              WaitForSingleObject(m_end, INFINITE);
              CloseHandle(mutex);  // still owned: the mutex is abandoned
          })
    {
        WaitForSingleObject(m_held, INFINITE);
    }
    ~MutexHolder() { end(); }
    void end()
    {
        SetEvent(m_end);
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    HANDLE m_held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE m_end = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread m_thread;
};

struct TimerCall {
    UINT period;
    size_t activitiesSent;
};
std::vector<TimerCall> g_timerCalls;

UINT_PTR WINAPI recordingSetTimer(HWND window, UINT_PTR id, UINT period, TIMERPROC proc)
{
    g_timerCalls.push_back({period, fakesdk::state().activities.size()});
    return SetTimer(window, id, period, proc);
}

class Startup : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MainThreadDispatcher::createInstance(); }

    void SetUp() override
    {
        fakesdk::reset();
        g_timerCalls.clear();
        while (takeQuitMessage()) {
        }
    }

    // Ends the other instance only once the start waits for it, whatever
    // the machine's speed.
    std::thread endOnceTheStartWaits(MutexHolder& other)
    {
        return std::thread([this, &other] {
            const ULONGLONG deadline = GetTickCount64() + 60000;
            while (!m_log.contains(L"the running instance does not take cmd yet: waiting for it to run or to end") &&
                   GetTickCount64() < deadline) {
                Sleep(10);
            }
            other.end();
        });
    }

    // The records but those of the phase's changes.
    std::vector<testsupport::LogCapture::Entry> records() const
    {
        std::vector<testsupport::LogCapture::Entry> kept;
        for (auto& entry : m_log.entries()) {
            if (entry.function != "OrvDiscordManager::enter") {
                kept.push_back(entry);
            }
        }
        return kept;
    }

    testsupport::LogCapture m_log;
};

TEST_F(Startup, FailuresLogTheirReasonWaitAndLeaveNoCore)
{
    {
        SCOPED_TRACE("empty command line");
        OrvDiscordManager manager;
        const std::wstring name = uniqueInstanceName();
        manager.setInstanceName(name);
        const ULONGLONG start = GetTickCount64();
        EXPECT_FALSE(manager.init(L""));
        EXPECT_GE(GetTickCount64() - start, 2900u);
        EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kNoCommand)));
        EXPECT_FALSE(mutexExists(name));
        EXPECT_EQ(FindWindowW(name.c_str(), nullptr), nullptr);
        EXPECT_EQ(fakesdk::state().createCalls, 0);
        EXPECT_EQ(manager.core(), nullptr);
    }
    {
        SCOPED_TRACE("another instance holds the mutex, never takes the presence and never ends");
        m_log.clear();
        const std::wstring name = uniqueInstanceName();
        MutexHolder other(name);
        OrvDiscordManager manager;
        manager.setInstanceName(name);
        manager.setTakeOverPatience(600);
        EXPECT_FALSE(manager.init(L"details=d"));
        EXPECT_TRUE(m_log.contains(L"cmd not handed over: the running instance neither took it nor ended in 600 ms"));
        EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kInstanceExists)));
        EXPECT_EQ(FindWindowW(name.c_str(), nullptr), nullptr);
        EXPECT_EQ(fakesdk::state().createCalls, 0);
    }
    {
        SCOPED_TRACE("the SDK fails; then it answers Ok without a core");
        const std::pair<EDiscordResult, bool> outcomes[] = {{DiscordResult_NotRunning, false},
                                                            {DiscordResult_Ok, false}};
        for (const auto& [result, core] : outcomes) {
            m_log.clear();
            fakesdk::reset();
            fakesdk::state().createResult = result;
            fakesdk::state().handOutCore = core;
            const std::wstring name = uniqueInstanceName();
            bool windowAtCreate = false;
            fakesdk::state().onCreate = [&] { windowAtCreate = FindWindowW(name.c_str(), nullptr) != nullptr; };
            OrvDiscordManager manager;
            manager.setInstanceName(name);
            EXPECT_FALSE(manager.init(L"details=d"));
            EXPECT_TRUE(windowAtCreate) << "the IPC window comes before the core";
            EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kInitError, static_cast<int>(result))));
            EXPECT_EQ(manager.core(), nullptr);
            EXPECT_TRUE(fakesdk::state().activities.empty());
        }
    }
}

class RecordingHandler : public utility::IWindowIPCHandle {
public:
    LRESULT onHandleWindowIPC(UINT message, WPARAM, LPARAM lParam) override
    {
        if (message == WM_COPYDATA) {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            payloads.emplace_back(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
        }
        return TRUE;
    }
    std::vector<std::wstring> payloads;
};

// Discord not back yet when the newest start connects, while an older start
// waits to run in its place: the older one may connect, and must show the
// newest presence, not its own.
TEST_F(Startup, AStartWhoseConnectFailsPassesItsPresenceToTheStartThatWaits)
{
    fakesdk::state().createResult = DiscordResult_NotRunning;
    const std::wstring name = uniqueInstanceName();
    std::thread olderStart([&] {
        const ULONGLONG deadline = GetTickCount64() + 60000;
        while (!m_log.contains(L"phase connecting -> giving up: no connection to Discord") &&
               GetTickCount64() < deadline) {
            Sleep(10);
        }
        utility::sendCopyData(name, frontend::kOfferMessage, presence::makeOffer(1, L"details=older"), 5000);
    });
    OrvDiscordManager manager;
    manager.setInstanceName(name);
    const bool running = manager.init(L"details=newest|state=s");
    olderStart.join();
    ASSERT_FALSE(running);
    RecordingHandler recorder;
    utility::WindowIpcEndpoint olderWindow;  // the older start, once it runs
    ASSERT_TRUE(olderWindow.create(name, &recorder));
    manager.passOn();
    ASSERT_EQ(recorder.payloads.size(), 1u) << "nothing passed on";
    presence::Stamp stamp = 0;
    std::wstring_view text;
    ASSERT_TRUE(presence::readOffer(recorder.payloads[0], stamp, text));
    EXPECT_EQ(text, L"details=newest|state=s");
    EXPECT_GT(stamp, 1u) << "stamped when this start began: newer than the waiting start's";
}

TEST_F(Startup, SuccessTakesMutexWindowCoreThenPublishesThenSchedulesTheWatchdog)
{
    const std::wstring name = uniqueInstanceName();
    bool mutexAtCreate = false;
    bool windowAtCreate = false;
    fakesdk::state().onCreate = [&] {
        mutexAtCreate = mutexExists(name);
        windowAtCreate = FindWindowW(name.c_str(), nullptr) != nullptr;
    };
    MainThreadDispatcher::instance()->setTimerFunction(&recordingSetTimer);
    OrvDiscordManager manager;
    manager.setInstanceName(name);
    ASSERT_TRUE(manager.init(L"details=Lobby|state=Waiting"));
    MainThreadDispatcher::instance()->setTimerFunction(&SetTimer);

    EXPECT_TRUE(mutexAtCreate);
    EXPECT_TRUE(windowAtCreate);
    EXPECT_EQ(fakesdk::state().createParams.client_id, static_cast<int64_t>(ORVPRESD_DISCORD_APPLICATION_ID));
    EXPECT_EQ(fakesdk::state().createParams.flags, 1u);
    ASSERT_NE(manager.core(), nullptr);
    ASSERT_EQ(fakesdk::state().activities.size(), 1u);
    EXPECT_STREQ(fakesdk::state().activities[0].details, "Lobby");
    ASSERT_EQ(g_timerCalls.size(), 1u);
    EXPECT_EQ(g_timerCalls[0].period, 1000u);
    EXPECT_EQ(g_timerCalls[0].activitiesSent, 1u) << "the first presence goes before the watchdog is scheduled";
    EXPECT_NE(manager.timer().id(), 0u);

    const auto log = records();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0].message, kept::kDiscordInit);
    EXPECT_EQ(log[1].message, testsupport::keptText(kept::kCommandLine, L"details=Lobby|state=Waiting"));
    EXPECT_EQ(log[2].message, testsupport::keptText(kept::kInitSuccess));
    EXPECT_EQ(log[3].message, testsupport::keptText(kept::kUpdateDetails, L"Lobby"));

    // The entry point's second update finds nothing new.
    manager.update();
    EXPECT_EQ(fakesdk::state().activities.size(), 1u);
    EXPECT_EQ(m_log.messages().back(), testsupport::keptText(kept::kSameInfo));

    // A second start in the same machine fails at the mutex.
    m_log.clear();
    OrvDiscordManager second;
    second.setInstanceName(name);
    EXPECT_FALSE(second.init(L"details=x"));
    EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kInstanceExists)));
    EXPECT_EQ(FindWindowW(name.c_str(), nullptr), manager.ipcWindow());

    // With no front end, the scheduled watchdog ends the message loop.
    WPARAM code = 99;
    EXPECT_TRUE(testsupport::pumpUntil([&] { return takeQuitMessage(&code); }, 10000));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kFrontEndGone)));

    // The way out lets go of the window, the core and the mutex: released,
    // not left for the next start to find abandoned or still held.
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());  // keeps it in being
    manager.passOn();
    EXPECT_EQ(manager.core(), nullptr);
    EXPECT_EQ(FindWindowW(name.c_str(), nullptr), nullptr);
    DWORD taken = WAIT_FAILED;
    std::thread([&] { taken = WaitForSingleObject(mutex, 0); }).join();  // ends owning it: abandoned
    EXPECT_EQ(taken, WAIT_OBJECT_0);
    CloseHandle(mutex);
}

TEST_F(Startup, ASecondStartRunsInPlaceOfAnInstanceThatEndsWithoutTakingItsPresence)
{
    const std::wstring name = uniqueInstanceName();
    MutexHolder other(name);
    std::thread ending = endOnceTheStartWaits(other);
    OrvDiscordManager manager;
    manager.setInstanceName(name);
    const bool running = manager.init(L"details=mine");
    ending.join();
    ASSERT_TRUE(running);
    EXPECT_TRUE(m_log.contains(L"the running instance has ended: this start runs in its place"));
    ASSERT_EQ(fakesdk::state().activities.size(), 1u);
    EXPECT_STREQ(fakesdk::state().activities[0].details, "mine");
    EXPECT_EQ(FindWindowW(name.c_str(), nullptr), manager.ipcWindow());
}

// An instance that runs elevated grants a start without elevation less than
// the full access CreateMutexW asks for: here SYNCHRONIZE alone, as an
// explicit DACL (Wine honours it).
const wchar_t kSynchronizeOnly[] = L"D:(A;;0x00100000;;;WD)";

TEST_F(Startup, ASecondStartWithFewerRightsWaitsForTheInstanceAndRunsInItsPlace)
{
    const std::wstring name = uniqueInstanceName();
    MutexHolder other(name, kSynchronizeOnly);
    ASSERT_EQ(CreateMutexW(nullptr, FALSE, name.c_str()), nullptr);
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    std::thread ending = endOnceTheStartWaits(other);
    OrvDiscordManager manager;
    manager.setInstanceName(name);
    const bool running = manager.init(L"details=mine");
    ending.join();
    ASSERT_TRUE(running) << "the start ended as if the instance had taken its presence";
    EXPECT_TRUE(m_log.contains(L"the running instance does not take cmd yet: waiting for it to run or to end"));
    EXPECT_TRUE(m_log.contains(L"the running instance has ended: this start runs in its place"));
    ASSERT_EQ(fakesdk::state().activities.size(), 1u);
    EXPECT_STREQ(fakesdk::state().activities[0].details, "mine");
}

// Windows refuses even SYNCHRONIZE where the DACL grants nothing to this
// start; Wine grants it to the mutex's owner, so the open is made to fail.
HANDLE WINAPI deniedOpen(DWORD, BOOL, LPCWSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

MutexHolder* g_endsWhenOpened = nullptr;

HANDLE WINAPI openAfterTheInstanceEnded(DWORD, BOOL, LPCWSTR)
{
    g_endsWhenOpened->end();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

TEST_F(Startup, AMutexThatCannotBeOpenedIsOfferedForThePatienceAndThenEndsTheStart)
{
    {
        SCOPED_TRACE("not even SYNCHRONIZE");
        const std::wstring name = uniqueInstanceName();
        MutexHolder other(name, kSynchronizeOnly);
        OrvDiscordManager manager;
        manager.setInstanceName(name);
        manager.setTakeOverPatience(600);
        manager.setOpenMutexForTest(&deniedOpen);
        EXPECT_FALSE(manager.init(L"details=d"));
        EXPECT_TRUE(m_log.contains(L"the running instance runs with other rights (as administrator?): its mutex cannot "
                                   L"be opened (error 5), so this start offers cmd and looks for the mutex again "
                                   L"while it does"));
        EXPECT_TRUE(m_log.contains(L"cmd not handed over: the running instance neither took it nor ended in 600 ms"));
        EXPECT_TRUE(m_log.contains(testsupport::keptText(kept::kInstanceExists)));
        EXPECT_EQ(fakesdk::state().createCalls, 0);
    }
    {
        SCOPED_TRACE("the instance ended between CreateMutexW and OpenMutexW");
        m_log.clear();
        const std::wstring name = uniqueInstanceName();
        MutexHolder other(name, kSynchronizeOnly);
        g_endsWhenOpened = &other;
        OrvDiscordManager manager;
        manager.setInstanceName(name);
        manager.setOpenMutexForTest(&openAfterTheInstanceEnded);
        EXPECT_TRUE(manager.init(L"details=d"));
        EXPECT_FALSE(m_log.contains(testsupport::keptText(kept::kInstanceExists)));
    }
}

// Refused both opens, the start never waits on nothing: it makes the mutex
// anew once the instance has ended, and runs in its place.
TEST_F(Startup, AStartRefusedTheMutexRunsOnceTheInstanceEnds)
{
    const std::wstring name = uniqueInstanceName();
    MutexHolder other(name, kSynchronizeOnly);
    std::thread ending = endOnceTheStartWaits(other);
    OrvDiscordManager manager;
    manager.setInstanceName(name);
    manager.setTakeOverPatience(120000);
    manager.setOpenMutexForTest(&deniedOpen);
    const bool running = manager.init(L"details=mine");
    ending.join();
    ASSERT_TRUE(running) << "the start did not run in place of the instance that ended";
    EXPECT_TRUE(m_log.contains(L"the running instance has ended: this start runs in its place"));
    ASSERT_EQ(fakesdk::state().activities.size(), 1u);
    EXPECT_STREQ(fakesdk::state().activities[0].details, "mine");
}

int g_uipiSends = 0;
LRESULT WINAPI sendBlockedByUipi(HWND, UINT, WPARAM, LPARAM, UINT, UINT, PDWORD_PTR)
{
    ++g_uipiSends;
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

class NoHandler : public utility::IWindowIPCHandle {
public:
    LRESULT onHandleWindowIPC(UINT, WPARAM, LPARAM) override { return 0; }
};

// An elevated instance that does not let this start's offers through: the
// first refusal says why, no offer is made again, and the start still runs
// in the instance's place once it ends.
TEST_F(Startup, AnOfferTheSystemRefusesIsMadeOnceSaysWhyAndTheStartStillRunsInItsPlace)
{
    const std::wstring name = uniqueInstanceName();
    MutexHolder other(name);
    NoHandler nobody;
    utility::WindowIpcEndpoint window;
    ASSERT_TRUE(window.create(name, &nobody));
    utility::WindowIpcCalls calls;
    calls.send = &sendBlockedByUipi;
    utility::setWindowIpcCallsForTest(calls);
    g_uipiSends = 0;
    const std::wstring refused =
        L"cmd not handed over: Windows refused to deliver it (error 5): the other instance runs elevated (as "
        L"administrator) and this one does not, and that instance does not let such programs send to it. Start the "
        L"front end the same way each time (as administrator, or not), or end the elevated instance; this start "
        L"runs in its place if it ends meanwhile";
    std::thread ending([&] {
        const ULONGLONG deadline = GetTickCount64() + 60000;
        while (!m_log.contains(refused) && GetTickCount64() < deadline) {
            Sleep(10);
        }
        Sleep(600);  // a few of the start's looks: none may offer again
        other.end();
    });
    OrvDiscordManager manager;
    manager.setInstanceName(name);
    manager.setTakeOverPatience(120000);
    const bool running = manager.init(L"details=d");
    ending.join();
    utility::setWindowIpcCallsForTest(utility::WindowIpcCalls());
    EXPECT_TRUE(running);
    EXPECT_TRUE(m_log.contains(refused));
    EXPECT_EQ(g_uipiSends, 1) << "a refused offer is never delivered: it is not made again";
    EXPECT_TRUE(m_log.contains(L"the running instance has ended: this start runs in its place"));
    EXPECT_EQ(fakesdk::state().createCalls, 1);
}

std::wstring tokenUserSid()
{
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    alignas(TOKEN_USER) BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
    CloseHandle(token);
    LPWSTR text = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text));
    std::wstring sid = text ? text : L"";
    LocalFree(text);
    return sid;
}

TEST(InstanceMutexSecurity, GrantsThisUserSystemAndAdministratorsWithAMediumLabel)
{
    const std::wstring sid = tokenUserSid();
    ASSERT_EQ(sid.rfind(L"S-1-5-", 0), 0u) << std::string(sid.begin(), sid.end());
    EXPECT_EQ(presence::processUserSid(), sid);
    EXPECT_EQ(presence::instanceMutexSddl(presence::processUserSid()),
              L"D:P(A;;GA;;;" + sid + L")(A;;GA;;;SY)(A;;GA;;;BA)S:(ML;;NW;;;ME)");
}

// The mutex a start makes bears that descriptor, and another process of this
// user opens it with every right CreateMutexW asks for.
TEST(InstanceMutexSecurity, TheMutexMadeWithItOpensInAnotherProcess)
{
    const std::wstring name = uniqueInstanceName();
    presence::MutexSearch search;
    ASSERT_NE(search.security.attributes(), nullptr);
    ASSERT_EQ(presence::findTheMutex(name, search), presence::MutexFound::Created);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(search.mutex.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 3u);
    void* first = nullptr;
    LPWSTR firstSid = nullptr;
    if (GetAce(dacl, 0, &first) &&
        ConvertSidToStringSidW(reinterpret_cast<PSID>(&static_cast<ACCESS_ALLOWED_ACE*>(first)->SidStart), &firstSid)) {
        EXPECT_EQ(std::wstring(firstSid), tokenUserSid());
        LocalFree(firstSid);
    } else {
        ADD_FAILURE() << "the DACL's first entry cannot be read";
    }
    LocalFree(descriptor);

    testsupport::ChildProcess opener;
    ASSERT_TRUE(opener.start(L"\"" + testsupport::programDir() + L"copydata_sender.exe\" --open-mutex \"" + name +
                             L"\""));
    EXPECT_EQ(opener.wait(60000), 0u);
}

TEST_F(Startup, WatchdogChecksTheFrontEndFirstThenDrivesTheSdk)
{
    const auto running = [] {
        discord::Core* core = nullptr;
        EXPECT_EQ(discord::Core::Create(1, 1, &core), discord::Result::Ok);
        auto manager = std::make_unique<OrvDiscordManager>();
        manager->setCoreForTest(std::unique_ptr<discord::Core>(core));
        return manager;
    };
    std::unique_ptr<OrvDiscordManager> manager = running();
    m_log.clear();
    manager->checkLiveness();  // no front end
    EXPECT_TRUE(takeQuitMessage());
    EXPECT_EQ(fakesdk::state().runCallbacksCalls, 0);
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].message, testsupport::keptText(kept::kFrontEndGone));
    EXPECT_EQ(records()[0].function.rfind("OrvDiscordManager::init", 0), 0u);

    testsupport::ChildProcess frontEnd;
    ASSERT_TRUE(frontEnd.start(L"\"" + testsupport::programDir() + L"orvhost.exe\" 60"));
    manager = running();
    m_log.clear();
    manager->checkLiveness();
    manager->checkLiveness();
    EXPECT_FALSE(takeQuitMessage());
    EXPECT_EQ(fakesdk::state().runCallbacksCalls, 2);
    EXPECT_TRUE(m_log.messages().empty());

    fakesdk::state().runCallbacksResult = DiscordResult_NotRunning;
    manager->checkLiveness();
    EXPECT_TRUE(takeQuitMessage());
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].message, testsupport::keptText(kept::kCoreNotOk, 27));
}

// A modal loop may meet the quit message and not pass it on; the process,
// told to end, must end all the same: the next tick posts it again, with the
// front end and Discord both still there.
TEST_F(Startup, ATickAfterTheProcessWasToldToEndPostsTheQuitAgain)
{
    testsupport::ChildProcess frontEnd;
    ASSERT_TRUE(frontEnd.start(L"\"" + testsupport::programDir() + L"orvhost.exe\" 60"));
    discord::Core* core = nullptr;
    ASSERT_EQ(discord::Core::Create(1, 1, &core), discord::Result::Ok);
    OrvDiscordManager manager;
    manager.setCoreForTest(std::unique_ptr<discord::Core>(core));
    int hooked = 0;
    static int* s_hooked = nullptr;
    s_hooked = &hooked;
    manager.setEndingHook([] { ++*s_hooked; });

    manager.quit(L"a close from outside");
    EXPECT_EQ(hooked, 1) << "the modal loop that runs is told first";
    ASSERT_TRUE(takeQuitMessage());  // swallowed, as by a loop that does not post it again
    manager.checkLiveness();
    EXPECT_TRUE(takeQuitMessage()) << "told to end is final: the tick posts the quit again";
    EXPECT_EQ(fakesdk::state().runCallbacksCalls, 0) << "nothing more is asked of Discord once ending";
}

}  // namespace
