#include "utility/task_dispatcher.h"

namespace {

MainThreadDispatcher* g_dispatcher = nullptr;

class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& section) : m_section(section) { EnterCriticalSection(&m_section); }
    ~CriticalSectionLock() { LeaveCriticalSection(&m_section); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& m_section;
};

}  // namespace

bool TaskTimer::start(uint32_t periodMs, Runable* task)
{
    if (periodMs == 0 || !task) {
        return false;
    }
    m_id = MainThreadDispatcher::instance()->addTimer(periodMs, task);
    return m_id != 0;
}

void MainThreadDispatcher::createInstance()
{
    if (g_dispatcher) {
        return;
    }
    g_dispatcher = new MainThreadDispatcher();
    g_dispatcher->createWindow();
}

MainThreadDispatcher* MainThreadDispatcher::instance()
{
    return g_dispatcher;
}

MainThreadDispatcher::MainThreadDispatcher()
{
    InitializeCriticalSection(&m_lock);
}

MainThreadDispatcher::~MainThreadDispatcher()
{
    if (m_window) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        DestroyWindow(m_window);
    }
    for (auto& [id, task] : m_periodicTasks) {
        task->release();
    }
    for (Runable* task : m_postedTasks) {
        task->release();
    }
    DeleteCriticalSection(&m_lock);
}

bool MainThreadDispatcher::createWindow()
{
    m_ownerThreadId = GetCurrentThreadId();
    m_window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!m_window) {
        return false;
    }
    SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    // Everything the dispatcher does not handle goes to DefWindowProcW, not
    // to the static control's procedure.
    SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&dispatcherWndProc));
    return true;
}

uint32_t MainThreadDispatcher::addTimer(uint32_t periodMs, Runable* task)
{
    const auto id = static_cast<UINT_PTR>(static_cast<uint32_t>(++m_lastTimerId));
    const UINT_PTR timer = m_setTimer(m_window, id, periodMs, nullptr);
    if (timer != 0) {
        m_periodicTasks[timer] = task;
    }
    return static_cast<uint32_t>(timer);
}

void MainThreadDispatcher::setRunLimit(uint32_t key, int32_t runs)
{
    CriticalSectionLock lock(m_lock);
    m_postedRuns[key] = runs;
}

bool MainThreadDispatcher::postTask(uint32_t key, Runable* task)
{
    if (!task) {
        return false;
    }
    {
        CriticalSectionLock lock(m_lock);
        m_postedTasks.insert(task);
    }
    if (PostMessageW(m_window, kRunTaskMessage, static_cast<WPARAM>(key), reinterpret_cast<LPARAM>(task))) {
        return true;
    }
    {
        CriticalSectionLock lock(m_lock);
        m_postedTasks.erase(task);
    }
    task->release();
    return false;
}

void MainThreadDispatcher::onTimer(UINT_PTR timerId)
{
    auto it = m_periodicTasks.find(timerId);
    if (it != m_periodicTasks.end()) {
        it->second->run();
    }
}

void MainThreadDispatcher::onRunTask(WPARAM key, LPARAM taskValue)
{
    // Message 8888 can come from any process with any lParam: only a task
    // this dispatcher posted, and has not yet released, is ever touched.
    auto* task = reinterpret_cast<Runable*>(taskValue);
    bool allowed = false;
    {
        CriticalSectionLock lock(m_lock);
        if (m_postedTasks.erase(task) == 0) {
            return;
        }
        auto it = m_postedRuns.find(static_cast<uint32_t>(key));
        if (it != m_postedRuns.end() && it->second >= 0) {
            --it->second;
            allowed = true;
        }
    }
    if (allowed) {
        try {
            task->run();
        } catch (...) {
            // a task's failure must not escape into the message loop
        }
    }
    task->release();
}

LRESULT CALLBACK dispatcherWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    auto* dispatcher = reinterpret_cast<MainThreadDispatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!dispatcher) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    try {
        if (message == MainThreadDispatcher::kRunTaskMessage) {
            dispatcher->onRunTask(wParam, lParam);
            return 0;
        }
        if (message == WM_TIMER) {
            dispatcher->onTimer(static_cast<UINT_PTR>(wParam));
            return 0;
        }
    } catch (...) {
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
