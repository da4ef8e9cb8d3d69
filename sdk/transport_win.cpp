#include "sdk/transport.h"

#include "handles/unique_handle.h"
#include "sdk/endpoint_address.h"

#include <windows.h>

#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

namespace orvsdk {
namespace {

// A named pipe in overlapped mode, so that every wait can be ended by a wake
// or a shutdown from another thread.
class PipeTransport : public Transport {
public:
    PipeTransport(const PipeTransport&) = delete;  // one owner per handle
    PipeTransport& operator=(const PipeTransport&) = delete;
    explicit PipeTransport(handles::UniqueFileHandle pipe)
        : m_pipe(std::move(pipe)),
          m_readDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_writeDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }

    // A read still pending writes into m_readBuffer: it ends before the
    // handles close.
    ~PipeTransport() override
    {
        shutdown();
        if (m_readPending) {
            CancelIoEx(m_pipe.get(), &m_read);
            DWORD ignored = 0;
            GetOverlappedResult(m_pipe.get(), &m_read, &ignored, TRUE);
        }
    }

    bool valid() const { return m_pipe && m_readDone && m_writeDone && m_wake && m_stop; }

    bool send(const char* data, size_t size, std::chrono::milliseconds timeout) override
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        size_t done = 0;
        while (done < size) {
            if (m_shutdown) {
                return false;
            }
            OVERLAPPED write = {};
            write.hEvent = m_writeDone.get();
            ResetEvent(m_writeDone.get());
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 16));
            DWORD written = 0;
            if (!WriteFile(m_pipe.get(), data + done, chunk, &written, &write)) {
                if (GetLastError() != ERROR_IO_PENDING) {
                    return false;
                }
                // Past the deadline Discord has taken nothing for the whole
                // time: the write is taken back and the send fails.
                HANDLE waits[2] = {m_writeDone.get(), m_stop.get()};
                const auto left = static_cast<DWORD>(timeLeft(deadline).count());
                if (WaitForMultipleObjects(2, waits, FALSE, left) != WAIT_OBJECT_0) {
                    CancelIoEx(m_pipe.get(), &write);
                    GetOverlappedResult(m_pipe.get(), &write, &written, TRUE);
                    return false;
                }
                if (!GetOverlappedResult(m_pipe.get(), &write, &written, FALSE)) {
                    return false;
                }
            }
            done += written;
        }
        return true;
    }

    bool sendWithoutWaiting(const char* data, size_t size) override
    {
        if (size > MAXDWORD) {
            return false;
        }
        OVERLAPPED write = {};
        write.hEvent = m_writeDone.get();
        ResetEvent(m_writeDone.get());
        DWORD written = 0;
        if (WriteFile(m_pipe.get(), data, static_cast<DWORD>(size), &written, &write)) {
            return written == size;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        // The pipe is full: Discord does not read. Take the write back.
        CancelIoEx(m_pipe.get(), &write);
        GetOverlappedResult(m_pipe.get(), &write, &written, TRUE);
        return false;
    }

    int receive(char* buffer, size_t capacity, std::chrono::milliseconds timeout) override
    {
        if (m_shutdown) {
            return kClosed;
        }
        if (!m_readPending) {
            m_read = {};
            m_read.hEvent = m_readDone.get();
            ResetEvent(m_readDone.get());
            m_readSize = static_cast<DWORD>(std::min<size_t>(capacity, sizeof m_readBuffer));
            if (!ReadFile(m_pipe.get(), m_readBuffer, m_readSize, nullptr, &m_read) &&
                GetLastError() != ERROR_IO_PENDING) {
                return kClosed;
            }
            m_readPending = true;
        }
        HANDLE waits[3] = {m_readDone.get(), m_wake.get(), m_stop.get()};
        const DWORD waited = WaitForMultipleObjects(3, waits, FALSE, static_cast<DWORD>(timeout.count()));
        if (waited == WAIT_OBJECT_0 + 2 || m_shutdown) {
            return kClosed;
        }
        if (waited != WAIT_OBJECT_0) {
            return waited == WAIT_FAILED ? kClosed : 0;
        }
        m_readPending = false;
        DWORD got = 0;
        if (!GetOverlappedResult(m_pipe.get(), &m_read, &got, FALSE)) {
            return GetLastError() == ERROR_MORE_DATA ? copyOut(buffer, capacity, got) : kClosed;
        }
        return got == 0 ? 0 : copyOut(buffer, capacity, got);
    }

    // An auto-reset event "remains signaled until a single waiting thread is
    // released" and stays so while none waits (Event Objects): a wake set
    // before receive begins its wait ends that wait at once, never lost.
    void wake() override { SetEvent(m_wake.get()); }

    void shutdown() override
    {
        m_shutdown = true;
        SetEvent(m_stop.get());
    }

private:
    int copyOut(char* buffer, size_t capacity, DWORD got)
    {
        const size_t size = std::min<size_t>(got, capacity);
        std::copy(m_readBuffer, m_readBuffer + size, buffer);
        return static_cast<int>(size);
    }

    handles::UniqueFileHandle m_pipe;
    handles::UniqueHandle m_readDone;
    handles::UniqueHandle m_writeDone;
    handles::UniqueHandle m_wake;
    handles::UniqueHandle m_stop;
    OVERLAPPED m_read = {};
    bool m_readPending = false;
    DWORD m_readSize = 0;
    char m_readBuffer[16384] = {};
    std::atomic<bool> m_shutdown{false};
};

// Overlapped, so that every wait can end early; and the server may learn who
// we are but never act as us: without these flags a pipe's server can
// impersonate its client.
constexpr DWORD kPipeOpenFlags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// On failure (empty), error is why the last open failed.
handles::UniqueFileHandle openPipe(const std::wstring& name, const ConnectPolicy& policy,
                                   std::chrono::steady_clock::time_point deadline, DWORD& error)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        HANDLE pipe = policy.openPipe ? static_cast<HANDLE>(policy.openPipe(name.c_str(), kPipeOpenFlags))
                                      : CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                    OPEN_EXISTING, kPipeOpenFlags, nullptr);
        if (pipe != INVALID_HANDLE_VALUE && pipe != nullptr) {
            return handles::UniqueFileHandle(pipe);
        }
        error = GetLastError();
        // A busy pipe exists: its client is about to get a fresh instance.
        const auto wait = std::min<DWORD>(1000, static_cast<DWORD>(timeLeft(deadline).count()));
        if (error != ERROR_PIPE_BUSY || wait == 0 || !WaitNamedPipeW(name.c_str(), wait)) {
            break;
        }
    }
    return handles::UniqueFileHandle();
}

// The user of a process token: its SID, in a buffer of its own.
std::vector<BYTE> tokenUser(HANDLE token)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) {
        return {};
    }
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        return {};
    }
    return buffer;
}

std::vector<BYTE> processUser(HANDLE process)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        return {};
    }
    const handles::UniqueHandle owned(token);
    return tokenUser(owned.get());
}

const std::vector<BYTE>& ourUser();

// Compares the pipe server's user with ours. Access denied (a server running
// elevated, or as a service) or a missing function leaves it Unknown.
ServerOwner pipeServerOwner(HANDLE pipe)
{
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid)) {
        return ServerOwner::Unknown;
    }
    const handles::UniqueHandle server(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!server) {
        return ServerOwner::Unknown;
    }
    const std::vector<BYTE> theirs = processUser(server.get());
    const std::vector<BYTE>& ours = ourUser();
    if (theirs.empty() || ours.empty()) {
        return ServerOwner::Unknown;
    }
    const auto* theirUser = reinterpret_cast<const TOKEN_USER*>(theirs.data());
    const auto* ourUser = reinterpret_cast<const TOKEN_USER*>(ours.data());
    return EqualSid(theirUser->User.Sid, ourUser->User.Sid) ? ServerOwner::SameUser : ServerOwner::OtherUser;
}

const std::vector<BYTE>& ourUser()
{
    static const std::vector<BYTE> user = processUser(GetCurrentProcess());  // it does not change
    return user;
}

// Whether our token holds Administrators, enabled (elevated) or for deny
// only (the filtered token of an administrator who did not elevate).
bool weAreAdministrators()
{
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
        return false;
    }
    const handles::UniqueHandle owned(opened);
    HANDLE token = owned.get();
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    bool found = false;
    if (size && GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) {
        const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
        for (DWORD i = 0; i < groups->GroupCount && !found; ++i) {
            const SID_AND_ATTRIBUTES& group = groups->Groups[i];
            found = IsWellKnownSid(group.Sid, WinBuiltinAdministratorsSid) &&
                    (group.Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY)) != 0;
        }
    }
    return found;
}

// What the system tells of the pipe's server. The owner comes from the pipe
// object itself (we hold READ_CONTROL, as we opened it for reading), which
// its server cannot make ours if it is another user.
ServerFacts pipeServerFacts(HANDLE pipe)
{
    ServerFacts facts;
    facts.processUser = pipeServerOwner(pipe);
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) == ERROR_SUCCESS) {
        const std::vector<BYTE>& ours = ourUser();
        if (owner && IsValidSid(owner)) {
            if (!ours.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(ours.data())->User.Sid)) {
                facts.pipeOwner = ServerFacts::Owner::OurUser;
            } else if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
                facts.pipeOwner = ServerFacts::Owner::Administrators;
            } else {
                facts.pipeOwner = ServerFacts::Owner::Other;
            }
        }
        LocalFree(descriptor);
    }
    facts.weAreAdministrators = facts.pipeOwner == ServerFacts::Owner::Administrators && weAreAdministrators();
    ULONG theirs = 0;
    DWORD ourSession = 0;
    if (GetNamedPipeServerSessionId(pipe, &theirs) && ProcessIdToSessionId(GetCurrentProcessId(), &ourSession)) {
        facts.session = theirs == ourSession ? ServerFacts::Session::Ours : ServerFacts::Session::Other;
    }
    return facts;
}

}  // namespace

std::unique_ptr<Transport> pipeTransport(void* pipe)
{
    auto transport = std::make_unique<PipeTransport>(handles::UniqueFileHandle(static_cast<HANDLE>(pipe)));
    if (!transport->valid()) {
        return nullptr;
    }
    return transport;
}

std::vector<std::string> discordEndpoints()
{
    std::vector<std::string> endpoints;
    endpoints.reserve(10);
    for (int n = 0; n < 10; ++n) {
        endpoints.push_back("\\\\.\\pipe\\discord-ipc-" + std::to_string(n));
    }
    return endpoints;
}

// Two Discords refuse us their pipe. One started as administrator makes it
// with the default security descriptor of an elevated creator: its ACLs
// "grant full control to the LocalSystem account, administrators, and the
// creator owner" and "read access to members of the Everyone group and the
// anonymous account" (Named Pipe Security and Access Rights,
// https://learn.microsoft.com/windows/win32/ipc/named-pipe-security-and-access-rights);
// the creator owner is then Administrators, a deny-only group in the token of
// a program not elevated. The other is another signed-in user's: pipe names
// are not per session ("\\.\pipe\" is one namespace for the machine, so with
// fast user switching their discord-ipc-N stands beside ours), and the same
// default grants us, not its creator owner, only read. CreateFile, which asks
// for read and write, fails with ERROR_ACCESS_DENIED in both cases before any
// check of ours: the pipe is there, and no presence can be shown on it.
const char* accessDeniedCause()
{
    return "Discord runs as administrator, or it belongs to another signed-in user. If it is yours and runs as "
           "administrator, run this program the way Discord runs (both as administrator, or neither); if it is "
           "another signed-in user's, it is not ours to use: sign that user out or quit their Discord, and start "
           "Discord as yourself";
}

OpenedEndpoint openEndpoint(const std::string& endpoint, const ConnectPolicy& policy,
                            std::chrono::steady_clock::time_point deadline)
{
    OpenedEndpoint opened;
    if (std::chrono::steady_clock::now() >= deadline) {
        return opened;
    }
    DWORD error = ERROR_SUCCESS;
    handles::UniqueFileHandle pipe = openPipe(widen(endpoint), policy, deadline, error);
    if (!pipe) {
        if (error == ERROR_ACCESS_DENIED) {
            if (policy.warn) {
                policy.warn(endpoint + " is not used: Windows refused this program access to it; " +
                            accessDeniedCause());
            }
            opened.deniedAccess = true;
        }
        return opened;
    }
    const intptr_t connection = reinterpret_cast<intptr_t>(pipe.get());
    const TrustVerdict verdict = policy.serverOwner
                                     ? TrustVerdict{policy.serverOwner(connection), "its server is another user's"}
                                     : judgeServer(pipeServerFacts(pipe.get()));
    if (verdict.owner == ServerOwner::OtherUser) {
        if (policy.warn) {
            policy.warn(endpoint + " is not used: " + verdict.reason);
        }
        return opened;
    }
    if (verdict.owner == ServerOwner::Unknown && policy.warn) {
        policy.warn("the user serving " + endpoint + " cannot be told; it is used all the same");
    }
    opened.transport = pipeTransport(pipe.release());
    return opened;
}

}  // namespace orvsdk
