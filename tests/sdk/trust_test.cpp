// Whom the library connects to: only a server of its own user.
#include "listener.h"
#include "sdk/ipc_client.h"
#include "sdk/transport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;
using orvsdk::ServerOwner;

// The first of the endpoints that opens, tried in turn as the connect does.
std::unique_ptr<orvsdk::Transport> firstOpened(const std::vector<std::string>& endpoints,
                                               const orvsdk::ConnectPolicy& policy,
                                               std::vector<std::string>* denied = nullptr)
{
    for (const std::string& endpoint : endpoints) {
        orvsdk::OpenedEndpoint opened = orvsdk::openEndpoint(endpoint, policy);
        if (opened.deniedAccess && denied) {
            denied->push_back(endpoint);
        }
        if (opened.transport) {
            return std::move(opened.transport);
        }
    }
    return nullptr;
}

// Two endpoints with a listener each; which of them a connection reached.
class TrustTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        const std::string base = "\\\\.\\pipe\\orv-trust-" + std::to_string(GetCurrentProcessId()) + "-";
#else
        char pattern[] = "/tmp/orvsdk-trust-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        const std::string base = m_dir + "/discord-ipc-";
#endif
        for (int n = 0; n < 2; ++n) {
            m_endpoints.push_back(base + std::to_string(n));
        }
        listen();
    }

    // Fresh listeners: a pipe instance serves one client only.
    void listen()
    {
        m_listeners.clear();
        for (const std::string& endpoint : m_endpoints) {
            m_listeners.push_back(discordpeer::listenOn(endpoint));
            ASSERT_NE(m_listeners.back(), nullptr);
        }
    }

#ifndef _WIN32
    void TearDown() override
    {
        m_listeners.clear();
        std::filesystem::remove_all(m_dir);
    }
#endif

    // The listener index that got the connection, -1 for none.
    int reached()
    {
        for (size_t n = 0; n < m_listeners.size(); ++n) {
            if (m_listeners[n]->accept(200ms)) {
                return static_cast<int>(n);
            }
        }
        return -1;
    }

    std::string m_dir;
    std::vector<std::string> m_endpoints;
    std::vector<std::unique_ptr<discordpeer::Listener>> m_listeners;
};

TEST_F(TrustTest, AnotherUsersServerIsRefusedAndTheNextEndpointUsed)
{
    std::vector<std::string> warnings;
    int asked = 0;
    orvsdk::ConnectPolicy policy;
    policy.serverOwner = [&](intptr_t) { return ++asked == 1 ? ServerOwner::OtherUser : ServerOwner::SameUser; };
    policy.warn = [&](const std::string& text) { warnings.push_back(text); };
    EXPECT_NE(firstOpened(m_endpoints, policy), nullptr);
    EXPECT_EQ(asked, 2);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("another user"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find(m_endpoints[0]), std::string::npos);

    // A server whose user cannot be told is used, with a warning.
    listen();
    warnings.clear();
    policy.serverOwner = [](intptr_t) { return ServerOwner::Unknown; };
    EXPECT_NE(firstOpened(m_endpoints, policy), nullptr);
    EXPECT_EQ(warnings.size(), 1u);
    // Refused everywhere: no connection at all.
    listen();
    policy.serverOwner = [](intptr_t) { return ServerOwner::OtherUser; };
    EXPECT_EQ(firstOpened(m_endpoints, policy), nullptr);
}

TEST_F(TrustTest, TheSystemsAnswerForOurOwnServerIsSameUser)
{
    std::vector<std::string> warnings;
    orvsdk::ConnectPolicy policy;
    policy.warn = [&](const std::string& text) { warnings.push_back(text); };
    const auto transport = firstOpened(m_endpoints, policy);  // held while the server looks
    EXPECT_NE(transport, nullptr);
    EXPECT_EQ(reached(), 0);
    EXPECT_TRUE(warnings.empty()) << warnings[0];
}

// Every outcome of the rule, from the facts the system gives.
TEST(TrustRule, ThePipesOwnerDecidesThenTheSessionThenTheServersUser)
{
    using Owner = orvsdk::ServerFacts::Owner;
    using Session = orvsdk::ServerFacts::Session;
    struct Case {
        Owner owner;
        bool administrator;
        Session session;
        ServerOwner processUser;
        ServerOwner verdict;
    };
    const Case cases[] = {
        // A pipe we own is ours, whatever the process route says.
        {Owner::OurUser, false, Session::Ours, ServerOwner::Unknown, ServerOwner::SameUser},
        {Owner::OurUser, false, Session::Unknown, ServerOwner::OtherUser, ServerOwner::SameUser},
        // Another owner is refused, even where the process route says ours.
        {Owner::Other, false, Session::Ours, ServerOwner::SameUser, ServerOwner::OtherUser},
        {Owner::Other, true, Session::Ours, ServerOwner::Unknown, ServerOwner::OtherUser},
        // Administrators: an elevated Discord of ours, only for an
        // administrator, and only in our session.
        {Owner::Administrators, true, Session::Ours, ServerOwner::Unknown, ServerOwner::SameUser},
        {Owner::Administrators, false, Session::Ours, ServerOwner::SameUser, ServerOwner::OtherUser},
        {Owner::Administrators, true, Session::Unknown, ServerOwner::Unknown, ServerOwner::OtherUser},
        {Owner::Administrators, true, Session::Other, ServerOwner::Unknown, ServerOwner::OtherUser},
        // Another session is refused whoever owns the pipe.
        {Owner::OurUser, false, Session::Other, ServerOwner::SameUser, ServerOwner::OtherUser},
        {Owner::Unknown, false, Session::Other, ServerOwner::SameUser, ServerOwner::OtherUser},
        // No owner (Wine): the process route, as far as it goes.
        {Owner::Unknown, false, Session::Ours, ServerOwner::SameUser, ServerOwner::SameUser},
        {Owner::Unknown, false, Session::Ours, ServerOwner::OtherUser, ServerOwner::OtherUser},
        {Owner::Unknown, true, Session::Unknown, ServerOwner::Unknown, ServerOwner::Unknown},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        orvsdk::ServerFacts facts;
        facts.pipeOwner = c.owner;
        facts.weAreAdministrators = c.administrator;
        facts.session = c.session;
        facts.processUser = c.processUser;
        const orvsdk::TrustVerdict verdict = orvsdk::judgeServer(facts);
        EXPECT_EQ(verdict.owner, c.verdict) << "case " << i;
        EXPECT_EQ(std::string(verdict.reason).empty(), c.verdict == ServerOwner::SameUser) << "case " << i;
    }
}

#ifdef _WIN32
// The system's own answer: a pipe owned by SYSTEM (as another user's would be
// owned by that user) is refused, and the next endpoint, ours, is used.
TEST_F(TrustTest, APipeOwnedByAnotherAccountIsRefusedByItsOwner)
{
    m_listeners[0] = discordpeer::listenOn(m_endpoints[0] + "-system", "O:SYD:(A;;GA;;;WD)");
    ASSERT_NE(m_listeners[0], nullptr);
    std::vector<std::string> warnings;
    orvsdk::ConnectPolicy policy;
    policy.warn = [&](const std::string& text) { warnings.push_back(text); };
    const auto transport = firstOpened({m_endpoints[0] + "-system", m_endpoints[1]}, policy);
    EXPECT_NE(transport, nullptr);
    EXPECT_EQ(reached(), 1);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("owned by another user"), std::string::npos) << warnings[0];
}

// A Discord running as administrator, seen by a program that is not, or
// another signed-in user's Discord: the system refuses its pipe, and the
// warning names both causes with what to do in each. Wine does not enforce a pipe's DACL, so the seam
// plays the refusal; the absent and the available pipe are real.
TEST_F(TrustTest, APipeTheSystemRefusesIsNamedWithTheCauseAndTheNextOneTried)
{
    const std::vector<std::string> denied = {m_endpoints[0] + "-elevated", m_endpoints[1] + "-elevated"};
    const std::string absent = m_endpoints[0] + "-absent";
    std::vector<std::string> warnings;
    orvsdk::ConnectPolicy policy;
    policy.openPipe = [&](const wchar_t* name, unsigned long flags) -> void* {
        for (const std::string& endpoint : denied) {
            if (std::wstring(name) == std::wstring(endpoint.begin(), endpoint.end())) {
                SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
        }
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    };
    policy.warn = [&](const std::string& text) { warnings.push_back(text); };
    std::vector<std::string> refused;
    const auto transport = firstOpened({denied[0], absent, denied[1], m_endpoints[1]}, policy, &refused);
    EXPECT_NE(transport, nullptr);
    EXPECT_EQ(reached(), 1);
    EXPECT_EQ(refused, denied);
    ASSERT_EQ(warnings.size(), 2u);
    for (size_t n = 0; n < 2; ++n) {
        EXPECT_EQ(warnings[n].rfind(denied[n] + " is not used: Windows refused this program access", 0), 0u)
            << warnings[n];
        EXPECT_NE(warnings[n].find("Discord runs as administrator, or it belongs to another signed-in user"),
                  std::string::npos)
            << warnings[n];
        EXPECT_NE(warnings[n].find("run this program the way Discord runs"), std::string::npos) << warnings[n];
        EXPECT_NE(warnings[n].find("sign that user out or quit their Discord"), std::string::npos) << warnings[n];
    }

    // Nothing else there: the create's failure says why.
    orvsdk::ClientOptions options;
    options.endpoints = {denied[0], absent, denied[1]};
    options.trust.openPipe = policy.openPipe;
    std::vector<std::string> errors;
    options.log = [&](EDiscordLogLevel level, const std::string& text) {
        if (level == DiscordLogLevel_Error) {
            errors.push_back(text);
        }
    };
    std::unique_ptr<orvsdk::IpcClient> client;
    EXPECT_EQ(orvsdk::IpcClient::connect(options, client), DiscordResult_NotRunning);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "no Discord client could be used: the system refused this program access to " + denied[0] +
                             ", " + denied[1] + "; " + orvsdk::accessDeniedCause());
}

TEST_F(TrustTest, PipesAreOpenedForIdentificationOnly)
{
    std::vector<unsigned long> flags;
    orvsdk::ConnectPolicy policy;
    policy.openPipe = [&](const wchar_t* name, unsigned long flagsAndAttributes) -> void* {
        flags.push_back(flagsAndAttributes);
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flagsAndAttributes, nullptr);
    };
    ASSERT_NE(firstOpened(m_endpoints, policy), nullptr);
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_TRUE(flags[0] & SECURITY_SQOS_PRESENT);
    EXPECT_EQ(flags[0] & (SECURITY_CONTEXT_TRACKING | SECURITY_EFFECTIVE_ONLY | (3 << 16)), SECURITY_IDENTIFICATION);
    EXPECT_TRUE(flags[0] & FILE_FLAG_OVERLAPPED);
}
#else
TEST_F(TrustTest, ASocketOfAnotherUserOrNoSocketAtAllIsSkipped)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a socket to another user needs root";
    }
    ASSERT_EQ(chown(m_endpoints[0].c_str(), 12345, 12345), 0);
    std::vector<std::string> warnings;
    orvsdk::ConnectPolicy policy;
    policy.warn = [&](const std::string& text) { warnings.push_back(text); };
    auto transport = firstOpened(m_endpoints, policy);
    EXPECT_NE(transport, nullptr);
    EXPECT_EQ(reached(), 1);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(m_endpoints[0]), std::string::npos);

    // A file that is no socket, where one was expected.
    const std::string plain = m_dir + "/discord-ipc-7";
    std::ofstream(plain) << "x";
    transport = firstOpened({plain, m_endpoints[1]}, policy);
    EXPECT_NE(transport, nullptr);
    EXPECT_EQ(reached(), 1);
}
#endif

}  // namespace
