#include "listener.h"

#include <windows.h>

#include <sddl.h>

namespace discordpeer {
namespace {

void closeQuietly(HANDLE handle)
{
    if (handle && handle != INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
    }
}

std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());  // pipe names are ASCII
}

class PipeListener : public Listener {
public:
    PipeListener(const PipeListener&) = delete;  // one owner per handle
    PipeListener& operator=(const PipeListener&) = delete;
    PipeListener(std::wstring name, const std::string& securityDescriptor) : m_name(std::move(name))
    {
        if (!securityDescriptor.empty()) {
            ConvertStringSecurityDescriptorToSecurityDescriptorW(widen(securityDescriptor).c_str(), SDDL_REVISION_1,
                                                                 &m_descriptor, nullptr);
        }
    }

    std::unique_ptr<orvsdk::Transport> accept(std::chrono::milliseconds timeout) override
    {
        if (m_waiting == INVALID_HANDLE_VALUE && !createInstance()) {
            return nullptr;
        }
        if (!m_connecting) {
            m_connect = {};
            m_connect.hEvent = m_connected;
            ResetEvent(m_connected);
            if (ConnectNamedPipe(m_waiting, &m_connect)) {
                return handOver();
            }
            const DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED) {
                return handOver();
            }
            if (error != ERROR_IO_PENDING) {
                return nullptr;
            }
            m_connecting = true;
        }
        if (WaitForSingleObject(m_connected, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
            return nullptr;
        }
        m_connecting = false;
        return handOver();
    }

    ~PipeListener() override
    {
        if (m_connecting) {
            CancelIoEx(m_waiting, &m_connect);
            DWORD ignored = 0;
            GetOverlappedResult(m_waiting, &m_connect, &ignored, TRUE);
        }
        closeQuietly(m_waiting);
        closeQuietly(m_connected);
        LocalFree(m_descriptor);
    }

    bool createInstance()
    {
        if (!m_connected) {
            m_connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, m_descriptor, FALSE};
        m_waiting = CreateNamedPipeW(m_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                     4096, 4096, 0, m_descriptor ? &attributes : nullptr);
        return m_waiting != INVALID_HANDLE_VALUE && m_connected;
    }

private:
    std::unique_ptr<orvsdk::Transport> handOver()
    {
        HANDLE pipe = m_waiting;
        m_waiting = INVALID_HANDLE_VALUE;
        return orvsdk::pipeTransport(pipe);
    }

    std::wstring m_name;
    HANDLE m_waiting = INVALID_HANDLE_VALUE;
    HANDLE m_connected = nullptr;
    OVERLAPPED m_connect = {};
    bool m_connecting = false;
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
};

}  // namespace

std::unique_ptr<Listener> listenOn(const std::string& endpoint, const std::string& securityDescriptor)
{
    auto listener = std::make_unique<PipeListener>(widen(endpoint), securityDescriptor);
    if (!listener->createInstance()) {
        return nullptr;
    }
    return listener;
}

}  // namespace discordpeer
