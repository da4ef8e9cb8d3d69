#pragma once

// Starts the finished daemon as a user's machine would: from a fresh folder
// holding orvpresd.exe and the SDK DLL, with the Discord-side peer and the
// stand-in front end as processes of their own.
#include "common/kept_texts.h"
#include "presence/front_end_contract.h"
#include "support/child_process.h"
#include "support/kept_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace daemontest {

using nlohmann::json;
using testsupport::ChildProcess;

// Generous: a process's first start in a fresh Wine prefix, on a loaded
// machine, can take many seconds. Only failures wait this long.
constexpr DWORD kPatienceMs = 60000;

inline constexpr const wchar_t* kIpcClass = frontend::kIpcWindowClass;

constexpr UINT kSendTimeoutMs = 2000;

// Sends one WM_COPYDATA from this process; whether the daemon answered in
// time. Its answer, TRUE for a presence it will publish, goes to answer.
inline bool sendRaw(HWND window, WPARAM wParam, const void* data, DWORD bytes, UINT timeoutMs = kSendTimeoutMs,
                    DWORD_PTR* answer = nullptr)
{
    COPYDATASTRUCT copy = {};
    copy.cbData = bytes;
    copy.lpData = const_cast<void*>(data);
    DWORD_PTR result = 0;
    const bool answered = SendMessageTimeoutW(window, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&copy),
                                              SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
    if (answer) {
        *answer = result;
    }
    return answered;
}

// A presence, as the front end sends it.
inline bool sendText(HWND window, const std::wstring& text, UINT timeoutMs = kSendTimeoutMs,
                     DWORD_PTR* answer = nullptr)
{
    return sendRaw(window, frontend::kPresenceMessage, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                   timeoutMs, answer);
}

inline std::wstring quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

inline bool waitUntil(const std::function<bool()>& done, DWORD timeoutMs)
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

class DaemonFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const wchar_t* file : {L"orvpresd.exe", L"discord_game_sdk.dll"}) {
            ASSERT_TRUE(CopyFileW((testsupport::programDir() + file).c_str(), m_dir.file(file).c_str(), FALSE));
        }
    }

    void startPeer(const std::wstring& options = L"") { startPeerOn(m_peer, 0, options); }

    // A Discord side on discord-ipc-<pipe>, recording into the file named.
    void startPeerOn(ChildProcess& peer, int pipe, const std::wstring& options = L"",
                     const std::wstring& records = L"peer.jsonl")
    {
        const std::wstring name = L"\\\\.\\pipe\\discord-ipc-" + std::to_wstring(pipe);
        ASSERT_TRUE(peer.start(quoted(testsupport::programDir() + L"discord-peer.exe") + L" --pipe " +
                               std::to_wstring(pipe) + L" --out " + quoted(m_dir.file(records)) + L" " + options));
        ASSERT_TRUE(waitUntil([&] { return WaitNamedPipeW(name.c_str(), 0) || GetLastError() == ERROR_SEM_TIMEOUT; },
                              kPatienceMs))
            << "the peer never listened";
    }

    void startFrontEnd() { ASSERT_TRUE(m_frontEnd.start(quoted(testsupport::programDir() + L"orvhost.exe") + L" 120")); }

    // Discord, the front end and a daemon whose first presence has arrived;
    // ipc is its IPC window.
    void startPublishing(ChildProcess& daemon, HWND& ipc)
    {
        startPeer();
        startFrontEnd();
        ASSERT_TRUE(startDaemon(daemon, L"details=start|state=s"));
        ASSERT_TRUE(waitForActivities(1));
        ipc = FindWindowW(kIpcClass, nullptr);
        ASSERT_NE(ipc, nullptr);
    }

    bool startDaemon(ChildProcess& daemon, const std::wstring& commandLine)
    {
        return daemon.start(quoted(m_dir.file(L"orvpresd.exe")) + (commandLine.empty() ? L"" : L" " + commandLine),
                            m_dir.path());
    }

    std::string log() const { return testsupport::readFile(m_dir.file(L"log\\orvprs.log")); }

    // The log reaches its file in batches, up to half a second late.
    bool waitForLog(const std::string& text) const
    {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, kPatienceMs);
    }

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

    // What the peer shows now, as its last "shown" record in the file says
    // (null: nothing); none before the first.
    std::optional<json> shownNow(const std::wstring& records = L"peer.jsonl") const
    {
        std::optional<json> shown;
        std::istringstream lines(testsupport::readFile(m_dir.file(records)));
        std::string line;
        while (std::getline(lines, line)) {
            const json record = json::parse(line, nullptr, false);
            if (record.is_object() && record.contains("shown")) {
                shown = record["shown"];
            }
        }
        return shown;
    }

    // Whether the peer shows a presence with these details now.
    bool showing(const std::string& details, const std::wstring& records = L"peer.jsonl") const
    {
        const std::optional<json> shown = shownNow(records);
        return shown && shown->is_object() && shown->value("details", "") == details;
    }

    static size_t count(const std::string& text, const std::string& what)
    {
        size_t found = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++found;
        }
        return found;
    }

    bool waitForActivities(size_t count) const
    {
        return waitUntil([&] { return activities().size() >= count; }, kPatienceMs);
    }

    static DWORD sendPresence(const std::wstring& text)
    {
        ChildProcess sender;
        if (!sender.start(quoted(testsupport::programDir() + L"orvpres-send.exe") + L" " + quoted(text))) {
            return 0xFFFF;
        }
        return sender.wait(kPatienceMs);
    }

    static HWND waitForWindowOf(const wchar_t* windowClass) { return waitForWindow(windowClass, nullptr); }

    static HWND waitForWindow(const wchar_t* windowClass, const wchar_t* title)
    {
        HWND window = nullptr;
        waitUntil([&] { return (window = FindWindowW(windowClass, title)) != nullptr; }, kPatienceMs);
        return window;
    }

    testsupport::TempDir m_dir;
    ChildProcess m_peer;
    ChildProcess m_frontEnd;
};

}  // namespace daemontest
