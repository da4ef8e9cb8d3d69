#include "utility/window_ipc.h"

namespace utility {

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
    if (message == WM_COPYDATA || message > WM_USER) {
        auto* endpoint = reinterpret_cast<WindowIpcEndpoint*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (!endpoint || endpoint->m_window != window) {
            return 0;
        }
        if (endpoint->m_handler) {
            try {
                return endpoint->m_handler->onHandleWindowIPC(message, wParam, lParam);
            } catch (...) {
                // a message that failed is one not taken
            }
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool sendCopyData(const std::wstring& className, WPARAM wParam, std::wstring_view text, UINT timeoutMs)
{
    HWND receiver = FindWindowW(className.c_str(), nullptr);
    if (!receiver) {
        return false;
    }
    if (text.size() > MAXDWORD / sizeof(wchar_t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring copy(text);  // COPYDATASTRUCT wants a mutable buffer
    COPYDATASTRUCT data = {};
    data.cbData = static_cast<DWORD>(copy.size() * sizeof(wchar_t));
    data.lpData = copy.data();
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(receiver, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                               timeoutMs, &answer) &&
           answer == TRUE;
}

}  // namespace utility
