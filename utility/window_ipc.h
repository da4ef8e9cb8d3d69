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
// that forwards WM_COPYDATA and every message above WM_USER to its handler and
// answers with the handler's result (0 when there is none).
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

// Sends text as WM_COPYDATA with wParam to the window of class className,
// giving up on a hung receiver or after timeoutMs. True when it answered
// TRUE; false when there is no such window or text is too long for one.
bool sendCopyData(const std::wstring& className, WPARAM wParam, std::wstring_view text, UINT timeoutMs);

}  // namespace utility
