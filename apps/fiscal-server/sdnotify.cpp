#include "sdnotify.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fiscal::server {

void notifySystemd(const std::string &state)
{
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof addr.sun_path)
        return;
    std::memcpy(addr.sun_path, path, length);
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0';   // an abstract socket
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const socklen_t size = socklen_t(offsetof(sockaddr_un, sun_path) + length);
    // A lost notice only makes systemd wait for its time-out; nothing to do about it here.
    const ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr *>(&addr), size);
    (void)sent;
    close(fd);
}

} // namespace fiscal::server
