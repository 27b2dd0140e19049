// virtual-camera: the VISCA camera of the virtual board, on a
// pseudo-terminal whose slave stands in for the board's /dev/ttyS1.
//
//   virtual-camera --link PATH [--log FILE] [--timing FILE] [--noise] [--seed N]
//
// --link   makes PATH a symbolic link to the terminal's slave (replacing
//          what is there) and removes it on the way out
// --log    writes every message received, tag included, one line each, as
//          upper-case hex bytes separated by spaces
// --timing writes every message received, every reply sent and every burst
//          of line noise, one line each, with the wall-clock time at which
//          it was read off the line or about to be written to it:
//              1712345678.123456789 in 0F A0 A0 A0 05 05 05 05 82 01 ... FF
//              1712345678.123470001 out 0F A0 A0 A0 05 05 05 05 A0 41 FF
//              1712345678.180000000 noise 3C 00 17 ...
// --noise  a camera on a bad line: now and then it sends a burst of random
//          bytes (seeded by --seed, else by the clock; the seed is printed)
//
// It runs until SIGTERM or SIGINT.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "sim/camera/visca_camera.h"

using namespace virtual_camera;
using steady = std::chrono::steady_clock;

namespace {

struct options {
    std::string link;
    std::string log;
    std::string timing;
    bool noise = false;
    std::optional<uint64_t> seed;
};

void usage(const char* program)
{
    std::fprintf(stderr, "Usage: %s --link PATH [--log FILE] [--timing FILE] [--noise] [--seed N]\n", program);
}

std::optional<options> parse_options(int argc, char** argv)
{
    static const option long_options[] = {
        {"link", required_argument, nullptr, 'l'},   {"log", required_argument, nullptr, 'g'},
        {"noise", no_argument, nullptr, 'n'},        {"seed", required_argument, nullptr, 's'},
        {"timing", required_argument, nullptr, 't'}, {nullptr, 0, nullptr, 0},
    };
    options result;
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (c) {
        case 'l': result.link = optarg; break;
        case 'g': result.log = optarg; break;
        case 't': result.timing = optarg; break;
        case 'n': result.noise = true; break;
        case 's': result.seed = std::strtoull(optarg, nullptr, 0); break;
        default: return std::nullopt;
        }
    }
    if (result.link.empty() || optind != argc)
        return std::nullopt;
    return result;
}

// Writes all of data to the terminal's master; a reply is never cut.
void send_all(int fd, const bytes& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd writable{fd, POLLOUT, 0};
            poll(&writable, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

void write_hex(FILE* file, const bytes& message)
{
    for (size_t i = 0; i < message.size(); ++i)
        std::fprintf(file, i ? " %02X" : "%02X", message[i]);
    std::fputc('\n', file);
}

void log_message(FILE* log, const bytes& message)
{
    if (!log)
        return;
    write_hex(log, message);
    std::fflush(log);
}

int64_t wall_clock_ns()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The --timing file. Lines are written once the replies have gone, so that
// keeping the record never delays an answer.
class timing_log {
public:
    explicit timing_log(FILE* output) : file(output) {}

    void note(int64_t ns, const char* direction, const bytes& message)
    {
        if (file)
            pending.push_back({ns, direction, message});
    }

    void write()
    {
        for (const entry& e : pending) {
            std::fprintf(file, "%lld.%09lld %s ", (long long)(e.ns / 1000000000), (long long)(e.ns % 1000000000),
                         e.direction);
            write_hex(file, e.message);
        }
        if (!pending.empty())
            std::fflush(file);
        pending.clear();
    }

private:
    struct entry {
        int64_t ns;
        const char* direction;
        bytes message;
    };
    FILE* file;
    std::vector<entry> pending;
};

// Bursts of line noise: some with terminators, some without, some that
// look like tagged replies.
class line_noise {
public:
    explicit line_noise(uint64_t seed) : random(seed) {}

    duration next_gap() { return std::chrono::milliseconds(50 + random() % 250); }

    bytes burst()
    {
        bytes out(1 + random() % 300);
        for (auto& b : out)
            b = uint8_t(random());
        switch (random() % 4) {
        case 0:   // no terminator at all
            for (auto& b : out)
                if (b == 0xFF)
                    b = 0x00;
            break;
        case 1:   // a reply with a plausible tag and header
            out = {uint8_t(random() % 16),
                   uint8_t(random()),
                   uint8_t(random()),
                   uint8_t(random()),
                   0,
                   0,
                   0,
                   1,
                   uint8_t(random() % 2 ? 0x90 : 0xA0),
                   0x41,
                   0xFF};
            break;
        default: break;
        }
        return out;
    }

private:
    std::mt19937_64 random;
};

}   // namespace

int main(int argc, char** argv)
{
    const auto settings = parse_options(argc, argv);
    if (!settings) {
        usage(argv[0]);
        return 2;
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("virtual-camera: pseudo-terminal");
        return 1;
    }
    const char* slave_name = ptsname(master);
    // Holding the slave open keeps the master readable when the program
    // closes the line; raw until the program sets it up itself.
    const int slave = slave_name ? open(slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave < 0) {
        std::perror("virtual-camera: slave");
        return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    const std::string temporary = settings->link + ".new";
    unlink(temporary.c_str());
    if (symlink(slave_name, temporary.c_str()) != 0 || rename(temporary.c_str(), settings->link.c_str()) != 0) {
        std::fprintf(stderr, "virtual-camera: cannot link %s: %s\n", settings->link.c_str(), std::strerror(errno));
        return 1;
    }

    FILE* log = nullptr;
    if (!settings->log.empty() && !(log = std::fopen(settings->log.c_str(), "we"))) {
        std::fprintf(stderr, "virtual-camera: cannot write %s: %s\n", settings->log.c_str(), std::strerror(errno));
        unlink(settings->link.c_str());
        return 1;
    }
    FILE* timing_file = nullptr;
    if (!settings->timing.empty() && !(timing_file = std::fopen(settings->timing.c_str(), "we"))) {
        std::fprintf(stderr, "virtual-camera: cannot write %s: %s\n", settings->timing.c_str(), std::strerror(errno));
        unlink(settings->link.c_str());
        return 1;
    }
    timing_log timing(timing_file);

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);

    const steady::time_point start = steady::now();
    const auto now = [&] { return duration(steady::now() - start); };
    std::optional<line_noise> noise;
    duration next_noise = duration::max();
    if (settings->noise) {
        const uint64_t seed = settings->seed.value_or(uint64_t(steady::now().time_since_epoch().count()));
        std::fprintf(stderr, "virtual-camera: line noise, seed %llu\n", (unsigned long long)seed);
        noise.emplace(seed);
        next_noise = noise->next_gap();
    }

    visca_camera camera;
    message_framer framer;
    bytes message;
    for (;;) {
        duration wake = std::min(next_noise, camera.next_completion().value_or(duration::max()));
        int timeout = -1;
        if (wake != duration::max())
            timeout = int(std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(wake - now()).count()));
        pollfd watched[2] = {{master, POLLIN, 0}, {signal_fd, POLLIN, 0}};
        if (poll(watched, 2, timeout) < 0 && errno != EINTR)
            break;
        if (watched[1].revents & POLLIN)
            break;
        if (watched[0].revents & POLLIN) {
            uint8_t chunk[512];
            const ssize_t got = read(master, chunk, sizeof chunk);
            const int64_t read_at = wall_clock_ns();
            // The answers to the messages of one read leave together, as a
            // camera's transmitter sends what it has queued in one stream.
            bytes answers;
            for (ssize_t i = 0; i < got; ++i) {
                if (!framer.add(chunk[i], message))
                    continue;
                timing.note(read_at, "in", message);
                log_message(log, message);
                for (const bytes& reply : camera.receive(message, now())) {
                    timing.note(wall_clock_ns(), "out", reply);
                    answers.insert(answers.end(), reply.begin(), reply.end());
                }
            }
            send_all(master, answers);
        }
        bytes completions;
        for (const bytes& reply : camera.complete_due(now())) {
            timing.note(wall_clock_ns(), "out", reply);
            completions.insert(completions.end(), reply.begin(), reply.end());
        }
        send_all(master, completions);
        if (noise && now() >= next_noise) {
            const bytes burst = noise->burst();
            timing.note(wall_clock_ns(), "noise", burst);
            send_all(master, burst);
            next_noise = now() + noise->next_gap();
        }
        timing.write();
    }

    unlink(settings->link.c_str());
    if (log)
        std::fclose(log);
    if (timing_file)
        std::fclose(timing_file);
    close(slave);
    close(master);
    return 0;
}
