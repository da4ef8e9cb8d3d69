#pragma once

#include "discord/core.h"
#include "presence/single_instance.h"
#include "utility/process.h"
#include "utility/task_dispatcher.h"
#include "utility/window_ipc.h"

#include <windows.h>

#include <string>
#include <string_view>

// Ties the program together: the Discord core, the watchdog, the IPC window
// the front end sends presences to, and the current presence texts. One per
// process, used on the main thread only.
class OrvDiscordManager final : public utility::IWindowIPCHandle {
    enum class Phase { Starting, Connecting, Running, Ending };

public:
    static constexpr WPARAM kPresenceMessage = 9990;
    // Between instances: a second start's presence, its stamp first.
    static constexpr WPARAM kOfferMessage = 9992;
    static constexpr uint32_t kWatchdogPeriodMs = 1000;

    OrvDiscordManager() = default;
    virtual ~OrvDiscordManager() = default;  // a class with virtual functions
    OrvDiscordManager(const OrvDiscordManager&) = delete;
    OrvDiscordManager& operator=(const OrvDiscordManager&) = delete;

    // Single instance, IPC window, Discord core, first presence, watchdog.
    // False when the process is to end (the reason is logged, after which it
    // has waited 3 seconds, answering sent messages). A second start hands
    // its presence to the running instance, and runs in its place if that
    // one ends instead of taking it. Presences sent while the core connects
    // are answered, and the newest of them wins over the command line's.
    // Told to end meanwhile (quit), it ends without publishing anything.
    bool init(const wchar_t* commandLine);

    // Ends the message loop; from now on no presence is taken. Final.
    void quit();

    // After the message loop: while Discord is still connected, clears the
    // presence and waits for Discord to confirm, answering senders: at most a
    // second beyond when the SDK's pace lets the clear go. Then, if a front-end
    // presence came while it ended and a second start waits to run in its
    // place, gives that start the presence once it runs.
    void finish();

    // The end of a start-up that failed after taking presences: a front-end
    // presence kept while it ended goes to a second start waiting to run.
    void passOn();

    // Started up and not ending: the only time an about box may open.
    bool running() const { return m_phase == Phase::Running; }

    // Publishes details, state and icon, unless details and state are those
    // of the last update that got through.
    void update();

    // Replaces all three presence texts from a presence command string.
    void parseCmd(std::wstring_view text);

    // WM_COPYDATA with wParam 9990 carries a presence command string, new
    // when it arrives; with 9992 a second start's, stamped when that start
    // began, which is taken only if newer than the presence held. The answer
    // is TRUE for a presence this process will publish (or has a newer one
    // than): one taken while it runs and Discord is connected. While it
    // connects it takes the presence but promises nothing (the connect may
    // fail); while it ends it publishes none, and keeps the front end's only
    // to pass it on; a connection found lost ends it.
    // Either way the answer is 0, and a second start then tries again.
    LRESULT onHandleWindowIPC(UINT message, WPARAM wParam, LPARAM lParam) override;

    // One watchdog tick: ends the message loop when the front end is gone or
    // the Discord core has failed.
    void checkLiveness();

    const std::wstring& details() const { return m_details; }
    const std::wstring& state() const { return m_state; }
    const std::wstring& gameIcon() const { return m_gameIcon; }
    discord::Core* core() const { return m_core; }
    const TaskTimer& timer() const { return m_timer; }
    HWND ipcWindow() const { return m_ipc.window(); }

    // For tests: a manager whose core was made elsewhere.
    void setCoreForTest(discord::Core* core)
    {
        m_core = core;
        m_phase = Phase::Running;
    }

    // The window that receives WM_CLOSE and 104/105, looked at for posted
    // ones while starting up.
    void setMainWindow(HWND window) { m_mainWindow = window; }

    // The name of the single-instance mutex and of the IPC window's class.
    void setInstanceName(const std::wstring& name) { m_instanceName = name; }

    // How long a second start offers its presence to the running instance.
    void setTakeOverPatience(DWORD milliseconds) { m_takeOverPatienceMs = milliseconds; }

    // How a second start opens the running instance's mutex when it may not
    // have full access to it: a test makes it fail, as Windows does where
    // the mutex's DACL grants not even SYNCHRONIZE.
    using OpenMutexFunction = decltype(&OpenMutexW);
    void setOpenMutexForTest(OpenMutexFunction open) { m_openMutex = open; }

private:

    bool becomeTheInstance(const std::wstring& cmd, presence::Stamp stamp);
    bool connectCore();
    void giveUp();
    bool connected(const char* function);
    void take(std::wstring_view text, presence::Stamp stamp);
    void clear();

    discord::Core* m_core = nullptr;
    bool m_ownsCore = false;  // made by connectCore, not given by a test
    TaskTimer m_timer;
    utility::WindowIpcEndpoint m_ipc;
    std::wstring m_details;
    std::wstring m_state;
    std::wstring m_gameIcon;
    HWND m_mainWindow = nullptr;
    presence::Stamp m_stamp = 0;  // when the presence held came into being
    Phase m_phase = Phase::Starting;
    HANDLE m_mutex = nullptr;  // the single-instance mutex, held from start-up to the end
    OpenMutexFunction m_openMutex = &OpenMutexW;
    // A front-end presence that came while this process ended, with its
    // stamp, and whether a second start offered one meanwhile (it waits to
    // run in this one's place).
    std::wstring m_heldWhileEnding;
    presence::Stamp m_heldStamp = 0;
    bool m_successorWaits = false;
    // How long a second start waits for the running instance to take its
    // presence or to end: beyond the longest start-up (a connect of 3 s, its
    // 3 s wait after a failure) with room for a slow machine.
    DWORD m_takeOverPatienceMs = 15000;

    // The details and state of the last update that passed the duplicate test.
    std::wstring m_lastDetails;
    std::wstring m_lastState;
    ULONGLONG m_lastPublished = 0;  // GetTickCount64 of the last activity handed to the SDK
    std::wstring m_instanceName = L"{057D7EB3-7F15-4FAA-A2E5-252F34D3DA7A}";
    // The front end, checked every second without a snapshot while it runs.
    utility::process::ProcessWatch m_frontEnd{L"orvhost.exe"};
};

namespace presence {

// Fills a fixed text field of the SDK: at most its size less one byte, cut at
// the last whole UTF-8 character that fits, always terminated.
template <size_t Size>
void copyField(char (&field)[Size], std::string_view utf8);

void copyField(char* field, size_t size, std::string_view utf8);

template <size_t Size>
void copyField(char (&field)[Size], std::string_view utf8)
{
    copyField(field, Size, utf8);
}

}  // namespace presence
