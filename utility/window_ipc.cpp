#include "utility/window_ipc.h"

#include "common/log.h"

namespace {

utility::WindowIpcCalls g_calls;

// UIPI keeps a process from sending to a window of a process of higher
// integrity: a daemon that a front end run as administrator started elevated
// would hear none of its senders that are not (orvpres-send from a normal
// console, a later front end, a second start's offer). WM_COPYDATA alone is
// let through, for this window alone: "MSGFLT_ALLOW: Allows the message
// through the filter. This enables the message to be received by hWnd,
// regardless of the source of the message, even it comes from a lower
// privileged process" (ChangeWindowMessageFilterEx, Windows 7 and later;
// "processes at or below SECURITY_MANDATORY_LOW_RID are not allowed to change
// the message filter", it then fails with ERROR_ACCESS_DENIED).
// https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-changewindowmessagefilterex
// The payload is read with its bounds checked whoever sent it; nothing above
// WM_USER is let through.
void letCopyDataThrough(HWND window)
{
    if (!g_calls.allowMessage(window, WM_COPYDATA, MSGFLT_ALLOW, nullptr)) {
        ORV_LOG("utility::WindowIpcEndpoint::create",
                L"WM_COPYDATA cannot be let through to this window (ChangeWindowMessageFilterEx, error %d): while this "
                L"program runs as administrator, programs that do not cannot send it a presence",
                static_cast<int>(GetLastError()));
    }
}

}  // namespace

namespace utility {

void setWindowIpcCallsForTest(const WindowIpcCalls& calls)
{
    g_calls = calls;
}

bool WindowIpcEndpoint::create(const std::wstring& className, IWindowIPCHandle* handler)
{
    const HINSTANCE module = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = &ipcWndProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = className.c_str();
    RegisterClassW(&windowClass);

    // Top-level, so that a sender's search by class name finds it; WS_POPUP
    // alone, so that it is never visible.
    CreateWindowExW(0, className.c_str(), L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, module, this);
    if (!m_window) {
        return false;
    }
    letCopyDataThrough(m_window);
    m_handler = handler;
    return true;
}

void WindowIpcEndpoint::destroy()
{
    if (m_window) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        DestroyWindow(m_window);
        m_window = nullptr;
    }
}

LRESULT CALLBACK ipcWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* endpoint = static_cast<WindowIpcEndpoint*>(create->lpCreateParams);
        if (endpoint) {
            endpoint->m_window = window;
        }
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(endpoint));
        return DefWindowProcW(window, message, wParam, lParam);
    }
    // A close never destroys the window (DefWindowProcW would): it goes only
    // through destroy(). Closes and the ends of the session are the
    // handler's to act on, as is what senders bring.
    const bool forwarded = message == WM_COPYDATA || message > WM_USER || message == WM_CLOSE ||
                           message == WM_QUERYENDSESSION || message == WM_ENDSESSION;
    if (forwarded) {
        auto* endpoint = reinterpret_cast<WindowIpcEndpoint*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (!endpoint || endpoint->m_window != window) {
            return message == WM_QUERYENDSESSION ? TRUE : 0;
        }
        if (endpoint->m_handler) {
            try {
                return endpoint->m_handler->onHandleWindowIPC(message, wParam, lParam);
            } catch (...) {
                // a message that failed is one not taken
            }
        }
        return message == WM_QUERYENDSESSION ? TRUE : 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// SendMessageTimeoutW: "When a message is blocked by UIPI the last error,
// retrieved with GetLastError, is set to 5 (access denied)" (SendMessage).
// https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-sendmessagetimeoutw
// https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-sendmessage
CopyDataSent sendCopyData(const std::wstring& className, WPARAM wParam, std::wstring_view text, UINT timeoutMs)
{
    HWND receiver = FindWindowW(className.c_str(), nullptr);
    if (!receiver) {
        return CopyDataSent::NoWindow;
    }
    if (text.size() > MAXDWORD / sizeof(wchar_t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return CopyDataSent::NotTaken;
    }
    std::wstring copy(text);  // COPYDATASTRUCT wants a mutable buffer
    COPYDATASTRUCT data = {};
    data.cbData = static_cast<DWORD>(copy.size() * sizeof(wchar_t));
    data.lpData = copy.data();
    DWORD_PTR answer = 0;
    if (!g_calls.send(receiver, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, timeoutMs,
                      &answer)) {
        return GetLastError() == ERROR_ACCESS_DENIED ? CopyDataSent::RefusedBySystem : CopyDataSent::NotTaken;
    }
    return answer == TRUE ? CopyDataSent::Taken : CopyDataSent::NotTaken;
}

}  // namespace utility
