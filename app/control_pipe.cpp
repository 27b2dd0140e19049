#include "app/control_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr size_t command_size = 200;
constexpr int max_arguments = 4;

volatile sig_atomic_t stop_signal = 0;
sigset_t blocked_while_working;

void on_stop_signal(int)
{
    stop_signal = 1;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    char scratch[100];
    va_list args;
    va_start(args, fmt);
    vsnprintf(scratch, sizeof scratch, fmt, args);
    va_end(args);
    return scratch;
}

std::string on_off(int argc, char** argv, bool state)
{
    if (argc == 0)
        return state ? " on\n" : " off\n";
    if (strcmp(argv[0], "on") == 0)
        return " on\n";
    if (strcmp(argv[0], "off") == 0)
        return " off\n";
    return "";
}

// Reads what the supervisor wrote, waiting (without spinning) for input or a
// stop signal. After the last writer of a pipe has gone, the loop holds a
// write end of its own so that reads block until a new writer speaks instead
// of returning end-of-file at once, forever.
class command_source {
public:
    explicit command_source(int descriptor) : fd(descriptor) {}
    ~command_source()
    {
        if (keeper >= 0)
            close(keeper);
    }

    // One read into buffer (NUL-terminated); false when a stop was requested.
    bool read_command(char* buffer, size_t size, bool whole_lines)
    {
        for (;;) {
            if (whole_lines && take_line(buffer, size))
                return true;
            if (!wait_readable())
                return false;
            char chunk[command_size];
            const ssize_t got = read(fd, chunk, whole_lines ? sizeof chunk : size - 1);
            if (got > 0) {
                if (!whole_lines) {
                    memcpy(buffer, chunk, size_t(got));
                    buffer[got] = '\0';
                    return true;
                }
                pending.insert(pending.end(), chunk, chunk + got);
                continue;
            }
            if (got == 0)
                at_end_of_file();
            else if (errno != EINTR && errno != EAGAIN)
                idle_pause();
            if (whole_lines && got == 0 && !pending.empty()) {
                // A last line without a newline still counts.
                pending.push_back('\n');
            }
        }
    }

private:
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

    bool wait_readable()
    {
        pollfd watch{fd, POLLIN, 0};
        sigset_t during_wait;
        pthread_sigmask(SIG_SETMASK, nullptr, &during_wait);
        sigdelset(&during_wait, SIGTERM);
        sigdelset(&during_wait, SIGINT);
        for (;;) {
            if (stop_signal)
                return false;
            const int ready = ppoll(&watch, 1, nullptr, &during_wait);
            if (stop_signal)
                return false;
            if (ready > 0)
                return true;
        }
    }

    void at_end_of_file()
    {
        struct stat info{};
        if (keeper < 0 && fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode)) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            keeper = open(self.c_str(), O_WRONLY | O_NONBLOCK);
            if (keeper >= 0)
                return;
        }
        if (keeper < 0)
            idle_pause();   // a file or a terminal at its end: look again later
    }

    void idle_pause()
    {
        timespec pause{0, 200 * 1000 * 1000};
        sigset_t during_wait;
        pthread_sigmask(SIG_SETMASK, nullptr, &during_wait);
        sigdelset(&during_wait, SIGTERM);
        sigdelset(&during_wait, SIGINT);
        ppoll(nullptr, 0, &pause, &during_wait);
    }

    const int fd;
    int keeper = -1;
    std::vector<char> pending;
};

}  // namespace

void install_stop_signals()
{
    struct sigaction action{};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A reply to a supervisor that has gone is lost, not fatal.
    signal(SIGPIPE, SIG_IGN);
    sigemptyset(&blocked_while_working);
    sigaddset(&blocked_while_working, SIGTERM);
    sigaddset(&blocked_while_working, SIGINT);
    pthread_sigmask(SIG_BLOCK, &blocked_while_working, nullptr);
}

bool stop_requested()
{
    return stop_signal != 0;
}

command_reply interpret_command(std::string_view input, const signal_info* video, const audio_config* audio)
{
    char command[command_size] = {};
    const size_t length = std::min(input.size(), command_size - 1);
    memcpy(command, input.data(), length);

    command_reply result;
    char* save = nullptr;
    const char* word = strtok_r(command, " \n", &save);
    if (!word)
        return result;
    char* argv[max_arguments] = {};
    int argc = 0;
    while (argc < max_arguments && (argv[argc] = strtok_r(nullptr, " \n", &save)))
        ++argc;

    std::string& reply = result.text;
    reply = word;
    if (strcmp(word, "video_in") == 0) {
        if (!video)
            return reply += " none\n", result;
        uint32_t height = video->height;
        uint32_t rate_n = video->frame_rate_n;
        if (video->interlaced) {
            height *= 2;
            rate_n *= 2;
        }
        const float rate = video->frame_rate_d ? float(rate_n) / float(video->frame_rate_d) : 0.0f;
        reply += format(" %d", int(video->width));
        reply += format("x%d", int(height));
        reply += video->interlaced ? "i" : "p";
        reply += format("%2.2f\n", double(rate));
    } else if (strcmp(word, "video_out") == 0) {
        reply += "\n";
    } else if (strcmp(word, "audio_in") == 0) {
        if (!audio)
            return reply += " none\n", result;
        reply += format(" %dHz", int(audio->sample_rate));
        reply += audio->channels == 2 ? " Stereo\n" : " Mono\n";
    } else if (strcmp(word, "audio_out") == 0) {
        if (!audio)
            return reply += " none\n", result;
        reply += on_off(argc, argv, audio->enabled);
    } else if (strcmp(word, "tally") == 0) {
        reply += on_off(argc, argv, false);
    } else if (strcmp(word, "exit") == 0) {
        reply.clear();
        result.exit = true;
    } else {
        reply.clear();
        result.unknown = true;
    }
    return result;
}

void do_command(const std::shared_ptr<video_capture>& video, const std::shared_ptr<audio_capture>& audio,
                int fd_pipe_in, int fd_pipe_out)
{
    const bool pipe_mode = fd_pipe_in >= 0 && fd_pipe_out >= 0;
    if (pipe_mode) {
        printf("do_command() fd_pipe_in = %d, fd_pipe_out = %d\n", fd_pipe_in, fd_pipe_out);
        fflush(stdout);
    }
    command_source source(pipe_mode ? fd_pipe_in : STDIN_FILENO);
    char command[command_size];
    for (;;) {
        memset(command, 0, sizeof command);
        if (!source.read_command(command, sizeof command, !pipe_mode))
            return;

        signal_info status;
        audio_config config{};
        if (video)
            video->get_status(status);
        if (audio)
            audio->get_config(config);
        const command_reply reply = interpret_command(command, video ? &status : nullptr,
                                                      audio ? &config : nullptr);
        if (reply.exit)
            return;
        if (reply.unknown) {
            puts("unknow_command\n");
            fflush(stdout);
            continue;
        }
        if (reply.text.empty())
            continue;
        if (pipe_mode) {
            ssize_t ignored = write(fd_pipe_out, reply.text.data(), reply.text.size());
            (void)ignored;
        } else {
            puts(reply.text.c_str());
            fflush(stdout);
        }
    }
}
