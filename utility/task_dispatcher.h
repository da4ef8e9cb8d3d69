#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <utility>

// A unit of work run on the main thread. release() destroys it.
class Runable {
public:
    virtual void release() { delete this; }
    virtual ~Runable() = default;
    virtual void run() = 0;
};

// Adapts any callable to a task.
template <typename Function>
class FunctionRunable : public Runable {
public:
    explicit FunctionRunable(Function function) : m_function(std::move(function)) {}
    void run() override { m_function(); }

private:
    Function m_function;
};

template <typename Function>
FunctionRunable<Function>* makeRunable(Function function)
{
    return new FunctionRunable<Function>(std::move(function));
}

// The handle of one periodic task: its timer id, 0 while none is started.
class TaskTimer {
public:
    // Runs task every periodMs on the main thread from now on. A zero period
    // or a null task schedules nothing. On success the dispatcher owns task.
    bool start(uint32_t periodMs, Runable* task);
    uint32_t id() const { return m_id; }

private:
    uint32_t m_id = 0;
};

// Runs tasks on the thread that created it, through its message-only window:
// periodic tasks from WM_TIMER, posted tasks from message 8888.
class MainThreadDispatcher {
public:
    static constexpr UINT kRunTaskMessage = 8888;
    using SetTimerFunction = UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC);

    // Creates the process's dispatcher and its window, once.
    static void createInstance();
    static MainThreadDispatcher* instance();

    MainThreadDispatcher();
    ~MainThreadDispatcher();
    MainThreadDispatcher(const MainThreadDispatcher&) = delete;
    MainThreadDispatcher& operator=(const MainThreadDispatcher&) = delete;

    // Creates the message-only window on the calling thread.
    bool createWindow();
    HWND window() const { return m_window; }

    // Schedules task every periodMs; its timer id, or 0 when SetTimer failed
    // (the id is used up all the same, and the task stays the caller's).
    uint32_t addTimer(uint32_t periodMs, Runable* task);
    int32_t lastTimerId() const { return m_lastTimerId; }

    // Allows `runs` more runs of tasks posted under key (negative: none).
    void setRunLimit(uint32_t key, int32_t runs);
    // Posts task to run once on the owner thread under key's run limit. The
    // task belongs to the message from here on; a post that fails releases it.
    bool postTask(uint32_t key, Runable* task);

    void onTimer(UINT_PTR timerId);
    void onRunTask(WPARAM key, LPARAM task);

    // For tests: stands in for SetTimer.
    void setTimerFunction(SetTimerFunction function) { m_setTimer = function; }

private:
    CRITICAL_SECTION m_lock{};
    DWORD m_ownerThreadId = 0;
    HWND m_window = nullptr;
    std::map<UINT_PTR, Runable*> m_periodicTasks;
    int32_t m_lastTimerId = 0;
    std::map<uint32_t, int32_t> m_postedRuns;
    std::set<Runable*> m_postedTasks;  // posted by us and not yet released
    SetTimerFunction m_setTimer = &SetTimer;
};

LRESULT CALLBACK dispatcherWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
