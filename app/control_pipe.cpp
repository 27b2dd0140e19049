#include "app/control_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/reply_channel.h"
#include "app/stop_signals.h"
#include "base/file_descriptor.h"

namespace {

// Reads what the supervisor wrote, waiting (without spinning) for input, a
// stop signal or the end of a slice. After the last writer of a pipe has
// gone, the loop holds a write end of its own so that reads block until a
// new writer speaks instead of returning end-of-file at once, forever.
class command_source {
public:
    enum class outcome { command, slice_over, stop };

    explicit command_source(int descriptor) : fd(descriptor) {}

    // One read into buffer (NUL-terminated), or slice_over when nothing came
    // within slice.
    outcome read_command(char* buffer, size_t size, bool whole_lines, std::chrono::milliseconds slice)
    {
        const auto end = std::chrono::steady_clock::now() + slice;
        for (;;) {
            if (whole_lines && take_line(buffer, size))
                return outcome::command;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd watch{fd, POLLIN, 0};
            const int ready = wait_or_stop(&watch, 1, std::max(left, std::chrono::milliseconds(0)));
            if (stop_requested())
                return outcome::stop;
            if (ready == 0)
                return outcome::slice_over;
            if (ready < 0)
                continue;   // another signal
            char chunk[command_size];
            const ssize_t got = read(fd, chunk, whole_lines ? sizeof chunk : size - 1);
            if (got > 0) {
                if (!whole_lines) {
                    memcpy(buffer, chunk, size_t(got));
                    buffer[got] = '\0';
                    return outcome::command;
                }
                pending.insert(pending.end(), chunk, chunk + got);
                continue;
            }
            if (got == 0)
                at_end_of_file();
            else if (errno != EINTR && errno != EAGAIN)
                pause_or_stop(idle_pause);
            if (whole_lines && got == 0 && !pending.empty()) {
                // A last line without a newline still counts.
                pending.push_back('\n');
            }
        }
    }

private:
    static constexpr auto idle_pause = std::chrono::milliseconds(200);

    // fgets semantics: up to size - 1 bytes, through the first newline.
    bool take_line(char* buffer, size_t size)
    {
        size_t length = 0;
        while (length < pending.size() && length < size - 1 && pending[length] != '\n')
            ++length;
        if (length < pending.size() && length < size - 1 && pending[length] == '\n')
            ++length;
        else if (length < size - 1)
            return false;   // no complete line yet
        memcpy(buffer, pending.data(), length);
        buffer[length] = '\0';
        pending.erase(pending.begin(), pending.begin() + long(length));
        return true;
    }

    void at_end_of_file()
    {
        struct stat info {};
        if (!keeper && fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode)) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            keeper.reset(open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            if (keeper)
                return;
        }
        if (!keeper)
            pause_or_stop(idle_pause);   // a file or a terminal at its end: look again later
    }

    const int fd;             // borrowed: the -I pipe or standard input
    file_descriptor keeper;   // our own write end, once the last writer has gone
    std::vector<char> pending;
};

}   // namespace

void do_command(const std::shared_ptr<video_capture>& video, const std::shared_ptr<audio_capture>& audio,
                int fd_pipe_in, int fd_pipe_out, status_report::sources_t status_sources)
{
    const bool pipe_mode = fd_pipe_in >= 0 && fd_pipe_out >= 0;
    if (pipe_mode) {
        printf("do_command() fd_pipe_in = %d, fd_pipe_out = %d\n", fd_pipe_in, fd_pipe_out);
        fflush(stdout);
    }
    command_source source(pipe_mode ? fd_pipe_in : STDIN_FILENO);
    // Standard output carries the console's replies and the loop's own
    // lines; neither may hold the loop.
    reply_channel console(STDOUT_FILENO, true);
    reply_channel replies(fd_pipe_out, false);
    reply_channel& answer = pipe_mode ? replies : console;

    status_sources.video = video;
    status_sources.audio = audio;
    status_report status(std::move(status_sources));
    auto next_sample = status_report::clock::now();

    char command[command_size];
    for (;;) {
        auto now = status_report::clock::now();
        if (now >= next_sample) {
            status.sample(now);
            next_sample = now + status_report::sample_period;
        }
        memset(command, 0, sizeof command);
        const auto slice =
            std::chrono::duration_cast<std::chrono::milliseconds>(next_sample - now) + std::chrono::milliseconds(1);
        const auto got = source.read_command(command, sizeof command, !pipe_mode, slice);
        if (got == command_source::outcome::stop)
            return;
        if (got == command_source::outcome::slice_over)
            continue;

        signal_info signal;
        audio_config config{};
        if (video)
            video->get_status(signal);
        if (audio)
            audio->get_config(config);
        now = status_report::clock::now();
        const command_reply reply = interpret_command(command, video ? &signal : nullptr, audio ? &config : nullptr,
                                                      status.take(now, answer.dropped()));
        if (reply.exit)
            return;
        if (reply.unknown)
            console.deliver("unknow_command\n\n");
        else if (pipe_mode && !reply.text.empty())
            replies.deliver(reply.text);
        else if (!reply.text.empty())
            console.deliver(reply.text + "\n");
    }
}
