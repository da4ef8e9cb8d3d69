#include "sdk/transport.h"

#include "sdk/endpoint_address.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace orvsdk {
namespace {

class UnixTransport : public Transport {
public:
    UnixTransport(int socket, int wakeRead, int wakeWrite)
        : m_socket(socket), m_wakeRead(wakeRead), m_wakeWrite(wakeWrite)
    {
    }

    ~UnixTransport() override
    {
        close(m_socket);
        close(m_wakeRead);
        close(m_wakeWrite);
    }

    bool send(const char* data, size_t size, std::chrono::milliseconds timeout) override
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        size_t done = 0;
        while (done < size) {
            pollfd fds[2] = {{m_socket, POLLOUT, 0}, {m_wakeRead, POLLIN, 0}};
            const int ready = poll(fds, 2, static_cast<int>(timeLeft(deadline).count()));
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            if (ready == 0) {
                return false;  // Discord took nothing for the whole time
            }
            // Drained before the flag is read: shutdown sets the flag before it
            // wakes, so a wake drained here cannot hide it.
            if (fds[1].revents & POLLIN) {
                drainWake();
            }
            if (m_shutdown) {
                return false;
            }
            if (!(fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
                continue;
            }
            const ssize_t written = ::send(m_socket, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (written < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    continue;
                }
                return false;
            }
            done += static_cast<size_t>(written);
        }
        return true;
    }

    bool sendWithoutWaiting(const char* data, size_t size) override
    {
        const ssize_t written = ::send(m_socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        return written == static_cast<ssize_t>(size);
    }

    int receive(char* buffer, size_t capacity, std::chrono::milliseconds timeout) override
    {
        if (m_shutdown) {
            return kClosed;
        }
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(timeout.count()));
        if (m_shutdown) {
            return kClosed;
        }
        if (ready <= 0) {
            return ready < 0 && errno != EINTR ? kClosed : 0;
        }
        if (fds[1].revents & POLLIN) {
            drainWake();
        }
        if (!(fds[0].revents & (POLLIN | POLLERR | POLLHUP))) {
            return 0;
        }
        const ssize_t got = recv(m_socket, buffer, capacity, MSG_DONTWAIT);
        if (got > 0) {
            return static_cast<int>(got);
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return 0;
        }
        return kClosed;
    }

    void wake() override
    {
        const char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(m_wakeWrite, &byte, 1);
    }

    void shutdown() override
    {
        // The socket stays open until the transport goes, so that a goodbye
        // can still be written once the waits have ended.
        m_shutdown = true;
        wake();
    }

private:
    void drainWake()
    {
        char bytes[64];
        while (read(m_wakeRead, bytes, sizeof bytes) > 0) {
        }
    }

    int m_socket;
    int m_wakeRead;
    int m_wakeWrite;
    std::atomic<bool> m_shutdown{false};
};

// The user of the process at the socket's other end, against ours.
ServerOwner socketPeerOwner(int fd)
{
#if defined(__linux__)
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return ServerOwner::Unknown;
    }
    const uid_t peer = credentials.uid;
#elif defined(__APPLE__) || defined(__FreeBSD__)
    uid_t peer = 0;
    gid_t group = 0;
    if (getpeereid(fd, &peer, &group) != 0) {
        return ServerOwner::Unknown;
    }
#else
    (void)fd;
    return ServerOwner::Unknown;
#endif
    return peer == geteuid() ? ServerOwner::SameUser : ServerOwner::OtherUser;
}

// A Unix socket's connect either completes at once or, with the listener's
// backlog full, fails with EAGAIN; a few systems answer EINPROGRESS instead.
bool connectWithin(int fd, const sockaddr_un& address, std::chrono::steady_clock::time_point deadline)
{
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return false;
    }
    pollfd fds[1] = {{fd, POLLOUT, 0}};
    if (poll(fds, 1, static_cast<int>(timeLeft(deadline).count())) != 1) {
        return false;
    }
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

std::unique_ptr<Transport> socketTransport(int socket)
{
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(socket);
        return nullptr;
    }
    return std::make_unique<UnixTransport>(socket, wake[0], wake[1]);
}

std::vector<std::string> discordEndpoints()
{
    // The runtime folder as other clients find it: the first variable that
    // names one; else the user's /run/user/<uid>, then /tmp.
    std::vector<std::string> bases;
    for (const char* variable : {"XDG_RUNTIME_DIR", "TMPDIR", "TMP", "TEMP"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            bases.push_back(value);
            break;
        }
    }
    if (bases.empty()) {
        bases.push_back("/run/user/" + std::to_string(geteuid()));
        bases.push_back("/tmp");
    }
    const char* folders[] = {"",
                             "app/com.discordapp.Discord/",
                             "app/com.discordapp.DiscordCanary/",
                             ".flatpak/com.discordapp.Discord/xdg-run/",
                             "snap.discord/",
                             "snap.discord-canary/",
                             "app/dev.vencord.Vesktop/",
                             ".flatpak/dev.vencord.Vesktop/xdg-run/"};
    std::vector<std::string> endpoints;
    for (std::string base : bases) {
        if (base.back() != '/') {
            base += '/';
        }
        for (const char* folder : folders) {
            for (int n = 0; n < 10; ++n) {
                endpoints.push_back(base + folder + "discord-ipc-" + std::to_string(n));
            }
        }
    }
    return endpoints;
}

const char* accessDeniedCause()
{
    return "most likely Discord runs as another user: run both as the same user";
}

// A socket that is not ours is refused before connecting, so the system's
// refusal is never met.
OpenedEndpoint openEndpoint(const std::string& path, const ConnectPolicy& policy,
                            std::chrono::steady_clock::time_point deadline)
{
    auto warn = [&policy](const std::string& text) {
        if (policy.warn) {
            policy.warn(text);
        }
    };
    OpenedEndpoint opened;
    sockaddr_un address;
    if (!addressFor(path, address)) {
        return opened;
    }
    // In a folder others can write to (/tmp), anyone may have made it.
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        return opened;
    }
    if (!S_ISSOCK(status.st_mode) || status.st_uid != geteuid()) {
        warn(path + " is not a socket of this user: not used");
        return opened;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
        return opened;
    }
    // Non-blocking: a listener that never accepts fills its backlog, and a
    // blocking connect would then wait for ever.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return opened;
    }
    if (!connectWithin(fd, address, deadline)) {
        close(fd);
        return opened;
    }
    const ServerOwner owner = policy.serverOwner ? policy.serverOwner(fd) : socketPeerOwner(fd);
    if (owner == ServerOwner::OtherUser) {
        warn(path + " is served by another user's process: not used");
        close(fd);
        return opened;
    }
    if (owner == ServerOwner::Unknown) {
        warn("the user serving " + path + " cannot be told; it is used all the same");
    }
    opened.transport = socketTransport(fd);
    return opened;
}

}  // namespace orvsdk
