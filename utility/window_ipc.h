#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace utility {

// Where the IPC window hands its messages.
class IWindowIPCHandle {
public:
    virtual LRESULT onHandleWindowIPC(UINT message, WPARAM wParam, LPARAM lParam) = 0;

protected:
    ~IWindowIPCHandle() = default;
};

// A hidden top-level window, found by other processes through its class name,
// that forwards WM_COPYDATA, every message above WM_USER, WM_CLOSE and the
// session's WM_QUERYENDSESSION and WM_ENDSESSION to its handler and answers
// with the handler's result (0 when there is none). Only destroy() ends it.
class WindowIpcEndpoint {
public:
    WindowIpcEndpoint() = default;
    ~WindowIpcEndpoint() { destroy(); }
    WindowIpcEndpoint(const WindowIpcEndpoint&) = delete;
    WindowIpcEndpoint& operator=(const WindowIpcEndpoint&) = delete;
    bool create(const std::wstring& className, IWindowIPCHandle* handler);
    HWND window() const { return m_window; }
    // From now on nobody finds it; what is on its way to it is answered 0.
    void destroy();

private:
    friend LRESULT CALLBACK ipcWndProc(HWND, UINT, WPARAM, LPARAM) noexcept;

    HWND m_window = nullptr;
    IWindowIPCHandle* m_handler = nullptr;
};

LRESULT CALLBACK ipcWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// What became of a WM_COPYDATA sent to another process's window.
enum class CopyDataSent {
    Taken,     // the receiver answered TRUE
    NoWindow,  // no window of that class
    NotTaken,  // it answered otherwise, hung, did not answer in time, or went
    // The system would not deliver it (UIPI, error 5): the receiver runs
    // elevated, as administrator, and this process does not. Trying again
    // changes nothing.
    RefusedBySystem,
};

// Sends text as WM_COPYDATA with wParam to the window of class className,
// giving up on a hung receiver or after timeoutMs (text too long for one
// message is not sent: NotTaken).
CopyDataSent sendCopyData(const std::wstring& className, WPARAM wParam, std::wstring_view text, UINT timeoutMs);

// The system calls that only Windows gives their meaning (Wine has no UIPI),
// replaced by tests.
struct WindowIpcCalls {
    decltype(&ChangeWindowMessageFilterEx) allowMessage = &ChangeWindowMessageFilterEx;
    decltype(&SendMessageTimeoutW) send = &SendMessageTimeoutW;
};
void setWindowIpcCallsForTest(const WindowIpcCalls& calls);

}  // namespace utility
