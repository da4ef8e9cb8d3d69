#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvsdk {

// One connection to the Discord client. send and receive are called from one
// thread; wake and shutdown from any.
class Transport {
public:
    static constexpr int kClosed = -1;

    virtual ~Transport() = default;

    // Writes everything within timeout; false once the connection is gone or
    // shut down, or when the time ran out. A send cut short may have written
    // part of the bytes: the stream is then useless and is to be dropped.
    virtual bool send(const char* data, size_t size, std::chrono::milliseconds timeout) = 0;

    // Writes what the connection takes at once and never waits; also after
    // shutdown. Only for a stream no send was cut short on (the caller knows:
    // that send failed). True when all went.
    virtual bool sendWithoutWaiting(const char* data, size_t size) = 0;

    // Waits up to timeout for bytes: their count, 0 on timeout or wake, or
    // kClosed once the connection is gone.
    virtual int receive(char* buffer, size_t capacity, std::chrono::milliseconds timeout) = 0;

    // Ends the current (or next) receive wait early.
    virtual void wake() = 0;

    // Ends every wait and every later call: the connection is done.
    virtual void shutdown() = 0;
};

#ifdef _WIN32
// Takes over a connected pipe opened for overlapped I/O; null (the pipe
// closed) when the transport cannot be made.
std::unique_ptr<Transport> pipeTransport(void* pipe);
#else
// Takes over a connected stream socket; null (the socket closed) when the
// transport cannot be made.
std::unique_ptr<Transport> socketTransport(int socket);
#endif

// Where the Discord client may listen, in the order to try them.
std::vector<std::string> discordEndpoints();

// Whose process serves an endpoint, as far as the system can tell.
enum class ServerOwner { SameUser, OtherUser, Unknown };

// What the system tells of a pipe's server, as far as it can: gathered on
// Windows, judged the same everywhere.
struct ServerFacts {
    enum class Owner { Unknown, OurUser, Administrators, Other };
    enum class Session { Unknown, Ours, Other };
    // The pipe object's owner. The server cannot forge it: another user
    // cannot make an object ours. Unknown only where the system reports none
    // (Wine, for a pipe made without a security descriptor).
    Owner pipeOwner = Owner::Unknown;
    bool weAreAdministrators = false;  // our token holds the group, enabled or for deny only
    Session session = Session::Unknown;  // the server's session against ours
    ServerOwner processUser = ServerOwner::Unknown;  // the server process token's user, if it can be read
};

struct TrustVerdict {
    ServerOwner owner;
    const char* reason;  // why, for the log; empty for our own user's server
};

// The pipe's owner decides where there is one: ours is trusted; Administrators
// (an elevated Discord of our own user) only when we are an administrator and
// the server runs in our session; anyone else is refused. A server in another
// session is refused whatever else is known. Without an owner, the server
// process's user decides, as far as it can be read.
TrustVerdict judgeServer(const ServerFacts& facts);

// How connecting decides whom to trust: only a server of our own user gets
// our presence. A server proven to be another user's is refused and the
// next endpoint tried; one whose user cannot be told is taken, with a
// warning (so that a Discord running elevated works with this program
// elevated too; one not elevated is refused such a Discord's pipe by the
// system, see accessDeniedCause). Empty parts ask the system; tests replace
// them.
struct ConnectPolicy {
    // The user behind a connected endpoint: given the pipe's HANDLE on
    // Windows, the socket's descriptor elsewhere.
    std::function<ServerOwner(intptr_t connection)> serverOwner;
#ifdef _WIN32
    // Opens a pipe by name with these CreateFileW flags and attributes.
    std::function<void*(const wchar_t* name, unsigned long flags)> openPipe;
#endif
    // Refused and unverified endpoints, and those the system would not let
    // us open, for the log.
    std::function<void(const std::string&)> warn;
};

// Why the system most likely refused us an endpoint that is there, and what
// the user can do about it: for the log.
const char* accessDeniedCause();

// What became of one endpoint.
struct OpenedEndpoint {
    std::unique_ptr<Transport> transport;  // null: absent, refused, or not trusted
    bool deniedAccess = false;             // the system refused us access to it
};

// Connects to one endpoint, if it answers before the deadline and the policy
// trusts its server. An endpoint the system refuses to open, or whose server
// the policy refuses, is warned of by name (a refusal by the system with
// accessDeniedCause).
OpenedEndpoint openEndpoint(
    const std::string& endpoint, const ConnectPolicy& policy = ConnectPolicy(),
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

// The milliseconds left until deadline, rounded up; 0 once it has passed, and
// never more than a wait of the system's can take.
inline std::chrono::milliseconds timeLeft(std::chrono::steady_clock::time_point deadline)
{
    constexpr std::chrono::milliseconds kLongest{0x7FFFFFFE};
    const auto now = std::chrono::steady_clock::now();
    if (deadline <= now) {
        return std::chrono::milliseconds(0);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    return left < kLongest ? left : kLongest;
}

}  // namespace orvsdk
