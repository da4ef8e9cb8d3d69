#include "listener.h"

#include "sdk/endpoint_address.h"


#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace discordpeer {
namespace {

class UnixListener : public Listener {
public:
    UnixListener(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
    ~UnixListener() override
    {
        close(m_fd);
        unlink(m_path.c_str());
    }

    std::unique_ptr<orvsdk::Transport> accept(std::chrono::milliseconds timeout) override
    {
        pollfd fds[1] = {{m_fd, POLLIN, 0}};
        if (poll(fds, 1, static_cast<int>(timeout.count())) <= 0) {
            return nullptr;
        }
        const int client = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        return client < 0 ? nullptr : orvsdk::socketTransport(client);
    }

private:
    int m_fd;
    std::string m_path;
};

}  // namespace

std::unique_ptr<Listener> listenOn(const std::string& endpoint, const std::string& /*securityDescriptor*/)
{
    sockaddr_un address;
    if (!orvsdk::addressFor(endpoint, address)) {
        return nullptr;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    unlink(endpoint.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<UnixListener>(fd, endpoint);
}

}  // namespace discordpeer
