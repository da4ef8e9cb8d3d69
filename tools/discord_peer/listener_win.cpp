#include "listener.h"

#include "handles/unique_handle.h"
#include "sdk/endpoint_address.h"

#include <windows.h>

#include <sddl.h>

namespace discordpeer {
namespace {

class PipeListener : public Listener {
public:
    PipeListener(const PipeListener&) = delete;  // one owner per handle
    PipeListener& operator=(const PipeListener&) = delete;
    PipeListener(std::wstring name, const std::string& securityDescriptor) : m_name(std::move(name))
    {
        if (!securityDescriptor.empty()) {
            ConvertStringSecurityDescriptorToSecurityDescriptorW(orvsdk::widen(securityDescriptor).c_str(),
                                                                 SDDL_REVISION_1, &m_descriptor, nullptr);
        }
    }

    std::unique_ptr<orvsdk::Transport> accept(std::chrono::milliseconds timeout) override
    {
        if (!m_waiting && !createInstance()) {
            return nullptr;
        }
        if (!m_connecting) {
            m_connect = {};
            m_connect.hEvent = m_connected.get();
            ResetEvent(m_connected.get());
            if (ConnectNamedPipe(m_waiting.get(), &m_connect)) {
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
        if (WaitForSingleObject(m_connected.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
            return nullptr;
        }
        m_connecting = false;
        return handOver();
    }

    ~PipeListener() override
    {
        if (m_connecting) {
            CancelIoEx(m_waiting.get(), &m_connect);
            DWORD ignored = 0;
            GetOverlappedResult(m_waiting.get(), &m_connect, &ignored, TRUE);
        }
        LocalFree(m_descriptor);
    }

    bool createInstance()
    {
        if (!m_connected) {
            m_connected.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        }
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, m_descriptor, FALSE};
        m_waiting.reset(CreateNamedPipeW(m_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                     4096, 4096, 0, m_descriptor ? &attributes : nullptr));
        return m_waiting && m_connected;
    }

private:
    std::unique_ptr<orvsdk::Transport> handOver()
    {
        return orvsdk::pipeTransport(m_waiting.release());
    }

    std::wstring m_name;
    handles::UniqueFileHandle m_waiting;
    handles::UniqueHandle m_connected;
    OVERLAPPED m_connect = {};
    bool m_connecting = false;
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
};

}  // namespace

std::unique_ptr<Listener> listenOn(const std::string& endpoint, const std::string& securityDescriptor)
{
    auto listener = std::make_unique<PipeListener>(orvsdk::widen(endpoint), securityDescriptor);
    if (!listener->createInstance()) {
        return nullptr;
    }
    return listener;
}

}  // namespace discordpeer
