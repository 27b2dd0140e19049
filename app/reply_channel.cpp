#include "app/reply_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>

reply_channel::reply_channel(int descriptor, bool shared) : fd(descriptor)
{
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0)
        return;
    if (!shared) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        return;
    }
    socket = S_ISSOCK(info.st_mode);
    if (S_ISFIFO(info.st_mode)) {
        // Fails when the pipe has no reader just now; deliver() then looks
        // before it writes.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        own = file_descriptor(open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    }
    look_first = !own && !socket;
}

bool reply_channel::deliver(std::string_view text)
{
    if (text.size() > pipe_atomic_bytes) {
        ++drops;
        return false;
    }
    ssize_t written = -1;
    if (socket) {
        written = send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } else if (look_first) {
        // A terminal or file: ready in practice; a pipe without a reader
        // fails at once anyway.
        pollfd room{fd, POLLOUT, 0};
        if (fd >= 0 && poll(&room, 1, 0) == 1 && (room.revents & POLLOUT))
            written = write(fd, text.data(), text.size());
    } else {
        written = write(own ? own.get() : fd, text.data(), text.size());
    }
    if (written == ssize_t(text.size()))
        return true;
    ++drops;
    return false;
}
