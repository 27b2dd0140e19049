#include "app/options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/stop_signals.h"
#include "base/debug_log.h"
#include "base/utilities.h"

namespace {

// The command pipe is opened without waiting for its writer: the loop waits
// for what comes through it, stop signals included.
int open_command_pipe(const char* path)
{
    return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// A FIFO cannot be opened for writing before it has a reader: the supervisor
// may still be on its way, so look again now and then, until it comes or a
// stop signal ends the wait (-1). The descriptor stays non-blocking.
int open_reply_pipe(const char* path)
{
    constexpr auto look_again = std::chrono::milliseconds(50);
    for (;;) {
        const int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || errno != ENXIO)
            return fd;
        pause_or_stop(look_again);
        if (stop_requested())
            return -1;
    }
}

void replace_descriptor(int& held, int opened)
{
    if (held >= 0)
        close(held);
    held = opened;
}

void print_usage(const char* program)
{
    fprintf(stderr,
            "Usage: %s [-AB] [-d <percent>] [-hlp] [-147] [-xX] [-vqfi]\n"
            "  -1 Set Video format to 1080p60\n"
            "  -7 Set Video format to 720p60\n"
            "  -P Use video pattern generator\n"
            "  -X Disable Video capture\n"
            "  -x Disable Audio capture\n"
            "  -F Full resolution video capture only\n"
            "  -p Increase debugging output level\n"
            "  -q Decrease debugging output level\n"
            "  -f fflush() after each debug message\n"
            "  -v Version info\n",
            program);
}

}   // namespace

std::optional<int> parse_options(int argc, char** argv, options& result)
{
    opterr = 0;   // the usage text says it all
    optind = 1;
    int option;
    while ((option = getopt(argc, argv, "I:O:XxpqfFv")) != -1) {
        switch (option) {
        // A pipe named again replaces the one before, which is closed:
        // nothing else would ever close it.
        case 'I':
            replace_descriptor(result.command_fd, open_command_pipe(optarg));
            printf("PIPE_IN %d = %s\n", result.command_fd, optarg);
            break;
        case 'O':
            replace_descriptor(result.reply_fd, open_reply_pipe(optarg));
            printf("PIPE_OUT %d = %s\n", result.reply_fd, optarg);
            break;
        case 'X': result.video = false; break;
        case 'x': result.audio = false; break;
        case 'F': result.full_only = true; break;
        case 'p': ++debug_level; break;
        case 'q':
            if (debug_level > 0)
                --debug_level;
            break;
        case 'f': debug_flush = true; break;
        case 'v': printf("v%s\n", program_version); return 0;
        default: print_usage(argv[0]); return 1;
        }
    }
    return std::nullopt;
}
