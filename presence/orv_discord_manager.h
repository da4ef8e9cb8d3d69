#pragma once

#include "discord/core.h"
#include "discord/sdk_timing.h"
#include "handles/unique_handle.h"
#include "presence/front_end_contract.h"
#include "presence/hand_over.h"
#include "presence/lifecycle.h"
#include "utility/process.h"
#include "utility/task_dispatcher.h"
#include "utility/window_ipc.h"

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

// Ties the program together: the Discord core, the watchdog, the IPC window
// the front end sends presences to, and the current presence texts. One per
// process, used on the main thread only. Its phase changes in enter() alone.
class OrvDiscordManager final : public utility::IWindowIPCHandle {
public:
    using Phase = presence::Phase;
    static constexpr uint32_t kWatchdogPeriodMs = 1000;

    OrvDiscordManager() = default;
    virtual ~OrvDiscordManager() = default;  // a class with virtual functions
    OrvDiscordManager(const OrvDiscordManager&) = delete;
    OrvDiscordManager& operator=(const OrvDiscordManager&) = delete;

    // Single instance, IPC window, Discord core, first presence, watchdog.
    // False when the process is to end (the reason is logged; a start that
    // does not run has then answered senders for a while). Presences sent
    // while the core connects are taken, and the newest of them wins over
    // the command line's. Told to end meanwhile, it publishes nothing.
    bool init(const wchar_t* commandLine);

    // Ends the message loop; from now on no presence is taken. Final, from
    // any loop: the ending hook closes whatever modal loop runs meanwhile.
    void quit(const wchar_t* why = L"told to end");

    // A request to end from outside, at either window (which names it in the
    // log). A close for an update ends within the time the Restart Manager
    // allows; the end of the Windows session also writes what the log holds
    // at once (the system may end the process any time after).
    void askedToEnd(presence::EndRequest request, const wchar_t* window);

    // Called whenever the process is told to end, so that a modal loop (the
    // about box) ends with it and the quit reaches the main loop.
    void setEndingHook(void (*hook)()) { m_endingHook = hook; }
    bool ending() const { return m_phase >= Phase::Ending; }

    // After the message loop: while Discord is still connected, clears the
    // presence and waits for Discord to confirm, answering senders: at most a
    // second beyond when the SDK's pace lets the clear go. Then passOn().
    void finish();

    // The end of every run, after the clear if any: the IPC window, the
    // connection and the mutex go, in that order. A front-end presence kept
    // while it ended then goes to a second start that waits to run.
    void passOn();

    // Started up and not ending: the only time an about box may open.
    bool running() const { return m_phase == Phase::Running; }

    // Publishes details, state and icon, unless details and state are those
    // of the last update that got through.
    void update();

    // Replaces all three presence texts from a presence command string.
    void parseCmd(std::wstring_view text);

    // WM_COPYDATA with frontend::kPresenceMessage carries a presence command
    // string, new when it arrives; with frontend::kOfferMessage a second start's, stamped
    // when that start began. What it does and answers depends on the phase
    // alone (presence::judge); a connection found lost ends it first.
    LRESULT onHandleWindowIPC(UINT message, WPARAM wParam, LPARAM lParam) override;

    // One watchdog tick: ends the message loop when the front end is gone or
    // the Discord core has failed.
    void checkLiveness();

    const std::wstring& details() const { return m_details; }
    const std::wstring& state() const { return m_state; }
    const std::wstring& gameIcon() const { return m_gameIcon; }
    discord::Core* core() const { return m_core.get(); }
    const TaskTimer& timer() const { return m_timer; }
    HWND ipcWindow() const { return m_ipc.window(); }

    // For tests: a manager that runs with a core made elsewhere.
    void setCoreForTest(std::unique_ptr<discord::Core> core);

    // The window that receives WM_CLOSE and WM_COMMAND exitCommand, looked at
    // for posted ones while starting up.
    void setMainWindow(HWND window, WORD exitCommand)
    {
        m_mainWindow = window;
        m_exitCommand = exitCommand;
    }

    // The name of the single-instance mutex and of the IPC window's class.
    void setInstanceName(const std::wstring& name) { m_instanceName = name; }

    // How long a second start offers its presence to the running instance.
    void setTakeOverPatience(DWORD milliseconds) { m_takeOverPatienceMs = milliseconds; }

    // How a second start opens the running instance's mutex when it may not
    // have full access to it: a test makes it fail, as Windows does where
    // the mutex's DACL grants not even SYNCHRONIZE.
    void setOpenMutexForTest(decltype(&OpenMutexW) open) { m_openMutex = open; }

private:
    bool enter(Phase next, const wchar_t* why);
    bool becomeTheInstance(const std::wstring& cmd, presence::Stamp stamp);
    bool toldToEnd();
    std::unique_ptr<discord::Core> connectCore();
    void giveUp(const wchar_t* why);
    void holdTheNewest(const std::wstring& cmd, presence::Stamp cmdStamp);
    bool connected(const char* function);
    ULONGLONG hurried(ULONGLONG deadline) const;
    void take(std::wstring_view text, presence::Stamp stamp);
    void clear();

    // Let go of in the reverse order: the window, the connection, the mutex.
    handles::OwnedMutex m_mutex;  // the single-instance mutex, from start-up to the end
    std::unique_ptr<discord::Core> m_core;  // set once running
    TaskTimer m_timer;
    utility::WindowIpcEndpoint m_ipc;
    std::wstring m_details;
    std::wstring m_state;
    std::wstring m_gameIcon;
    HWND m_mainWindow = nullptr;
    WORD m_exitCommand = 0;
    presence::Stamp m_stamp = 0;  // when the presence held came into being
    Phase m_phase = Phase::Starting;
    decltype(&OpenMutexW) m_openMutex = &OpenMutexW;
    // A front-end presence that came while this process ended, with its
    // stamp, and whether a second start offered one meanwhile (it waits to
    // run in this one's place).
    std::wstring m_heldWhileEnding;
    presence::Stamp m_heldStamp = 0;
    bool m_successorWaits = false;
    // Set when Windows allows the way out only so long (an update's Restart
    // Manager): GetTickCount64 by which it is done.
    ULONGLONG m_hurryUntil = 0;
    void (*m_endingHook)() = nullptr;
    // Beyond the longest start-up of the running instance (its connect, its
    // wait after a failure), with room for a slow machine.
    DWORD m_takeOverPatienceMs = static_cast<DWORD>(discord::timing::kConnect.count()) + presence::kGiveUpDelayMs + 9000;

    // The details and state of the last update that passed the duplicate test.
    std::wstring m_lastDetails;
    std::wstring m_lastState;
    ULONGLONG m_lastPublished = 0;  // GetTickCount64 of the last activity handed to the SDK
    std::wstring m_instanceName = frontend::kIpcWindowClass;
    // The front end, checked every second without a snapshot while it runs.
    utility::process::ProcessWatch m_frontEnd{frontend::kFrontEndProcess};
};
