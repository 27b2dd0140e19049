// ndi-monitor: the receiver a person points at the appliance (or at anything
// running on the stand-in runtime) to see and record what it sends.
//
//   ndi-monitor --connect HOST[:PORT] [--record FILE.mkv] [--snapshot FILE.png]
//               [--seconds N] [--tally program|preview|off] [--ptz XML]...
//               [--wait N] [--quiet] [--summary-format prose|kv]
//
// Exit status: 0 when it connected (whatever came after), 1 when it could
// not connect, 2 for a bad command line, 3 when the recording or the
// snapshot could not be written.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/monitor/matroska_recorder.h"
#include "sim/monitor/png_snapshot.h"
#include "sim/monitor/receiver_link.h"
#include "sim/monitor/stream_statistics.h"

using namespace ndi_monitor;
using clock_type = std::chrono::steady_clock;

namespace {

enum class tally_request { none, program, preview, off };

struct options {
    endpoint where;
    std::string record_path;
    std::string snapshot_path;
    double seconds = 0;   // 0: until the sender closes or a signal
    double wait = 0;      // keep trying to connect this long
    tally_request tally = tally_request::none;
    std::vector<std::string> ptz;
    bool quiet = false;
    bool key_values = false;   // the lines a second and the summary for programs
};

void usage(const char* program)
{
    std::fprintf(stderr,
                 "Usage: %s --connect HOST[:PORT] [--record FILE.mkv] [--snapshot FILE.png]\n"
                 "          [--seconds N] [--tally program|preview|off] [--ptz XML]... [--wait N] [--quiet]\n"
                 "          [--summary-format prose|kv]\n"
                 "  --connect  the sender to receive from (port 5960 unless given)\n"
                 "  --record   record audio and video into a Matroska file, and the pictures'\n"
                 "             exact timecodes into FILE.mkv.timecodes\n"
                 "  --snapshot at the end, write the last full-stream picture as a PNG\n"
                 "  --seconds  stop after N seconds (default: when the sender closes, or on SIGINT/SIGTERM)\n"
                 "  --tally    tell the sender this receiver is on program, on preview, or neither\n"
                 "  --ptz      send this XML document as metadata after connecting (repeatable)\n"
                 "  --wait     keep trying to connect for N seconds\n"
                 "  --quiet    no line a second; metadata and the summary only\n"
                 "  --summary-format  prose (default) for people, or kv: the line a second and the summary\n"
                 "             each as one line of key=value words, for programs\n",
                 program);
}

bool parse_seconds(const char* text, double& out)
{
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 0))
        return false;
    out = value;
    return true;
}

std::optional<options> parse_options(int argc, char** argv)
{
    static const option long_options[] = {
        {"connect", required_argument, nullptr, 'c'},
        {"record", required_argument, nullptr, 'r'},
        {"seconds", required_argument, nullptr, 's'},
        {"tally", required_argument, nullptr, 't'},
        {"ptz", required_argument, nullptr, 'p'},
        {"wait", required_argument, nullptr, 'w'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {"snapshot", required_argument, nullptr, 'n'},
        {"summary-format", required_argument, nullptr, 'f'},
        {nullptr, 0, nullptr, 0},
    };
    options result;
    bool connect_given = false;
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (c) {
        case 'c': {
            auto where = endpoint::parse(optarg);
            if (!where) {
                std::fprintf(stderr, "%s: not a HOST[:PORT]: %s\n", argv[0], optarg);
                return std::nullopt;
            }
            result.where = *where;
            connect_given = true;
            break;
        }
        case 'r': result.record_path = optarg; break;
        case 'n': result.snapshot_path = optarg; break;
        case 's':
            if (!parse_seconds(optarg, result.seconds)) {
                std::fprintf(stderr, "%s: not a number of seconds: %s\n", argv[0], optarg);
                return std::nullopt;
            }
            break;
        case 'w':
            if (!parse_seconds(optarg, result.wait)) {
                std::fprintf(stderr, "%s: not a number of seconds: %s\n", argv[0], optarg);
                return std::nullopt;
            }
            break;
        case 't':
            if (std::strcmp(optarg, "program") == 0)
                result.tally = tally_request::program;
            else if (std::strcmp(optarg, "preview") == 0)
                result.tally = tally_request::preview;
            else if (std::strcmp(optarg, "off") == 0)
                result.tally = tally_request::off;
            else {
                std::fprintf(stderr, "%s: --tally takes program, preview or off\n", argv[0]);
                return std::nullopt;
            }
            break;
        case 'p': result.ptz.emplace_back(optarg); break;
        case 'q': result.quiet = true; break;
        case 'f':
            if (std::strcmp(optarg, "kv") == 0)
                result.key_values = true;
            else if (std::strcmp(optarg, "prose") != 0) {
                std::fprintf(stderr, "%s: --summary-format takes prose or kv\n", argv[0]);
                return std::nullopt;
            }
            break;
        default: return std::nullopt;
        }
    }
    if (!connect_given || optind != argc)
        return std::nullopt;
    return result;
}

// One connection from start to summary.
class monitor_session {
public:
    monitor_session(const options& given, receiver_link connected) : settings(given), link(std::move(connected))
    {
        if (!settings.record_path.empty())
            recorder = std::make_unique<matroska_recorder>(settings.record_path);
        if (!settings.snapshot_path.empty())
            snapshot = std::make_unique<png_snapshot>(settings.snapshot_path);
    }

    // Returns the exit status.
    int run(int signal_fd)
    {
        std::printf("connected to %s\n", settings.where.text().c_str());

        auto started = clock_type::now();
        stats.begin(started);
        auto next_tick = started + std::chrono::seconds(1);
        std::optional<clock_type::time_point> deadline;
        if (settings.seconds > 0)
            deadline = started +
                std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(settings.seconds));

        std::string reason;
        while (reason.empty()) {
            auto wake = deadline ? std::min(next_tick, *deadline) : next_tick;
            auto wait_ms = std::chrono::ceil<std::chrono::milliseconds>(wake - clock_type::now()).count();
            pollfd watched[2] = {{link.fd(), POLLIN, 0}, {signal_fd, POLLIN, 0}};
            int ready = poll(watched, 2, int(std::max<long long>(wait_ms, 0)));
            if (ready < 0 && errno != EINTR) {
                reason = std::string("poll: ") + std::strerror(errno);
                break;
            }
            if (ready > 0 && (watched[1].revents & POLLIN)) {
                signalfd_siginfo info{};
                (void)!read(signal_fd, &info, sizeof info);
                reason = info.ssi_signo == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM";
            }
            if (reason.empty() && ready > 0 && (watched[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                bool open = link.read_into(stream);
                reason = take_messages();
                if (reason.empty() && !open)
                    reason = "the sender closed the connection";
            }

            auto now = clock_type::now();
            if (recorder)
                recorder->tick(now);
            if (now >= next_tick) {
                monitor_report second = stats.interval(now);
                if (!settings.quiet)
                    std::printf("%s\n", settings.key_values ? second.key_values().c_str() : second.prose().c_str());
                next_tick += std::chrono::seconds(1);
                if (next_tick <= now)
                    next_tick = now + std::chrono::seconds(1);
            }
            if (reason.empty() && deadline && now >= *deadline)
                reason = "time is up";
        }

        double connected = std::chrono::duration<double>(clock_type::now() - started).count();
        return finish(reason, connected);
    }

private:
    void announce_upstream()
    {
        switch (settings.tally) {
        case tally_request::none: break;
        case tally_request::program:
            link.send_tally(true, false);
            std::printf("tally sent: on program\n");
            break;
        case tally_request::preview:
            link.send_tally(false, true);
            std::printf("tally sent: on preview\n");
            break;
        case tally_request::off:
            link.send_tally(false, false);
            std::printf("tally sent: off\n");
            break;
        }
        for (const auto& document : settings.ptz) {
            link.send_metadata(document);
            std::printf("metadata sent: %s\n", document.c_str());
        }
    }

    // Handles every whole message received; a reason to stop, or empty.
    std::string take_messages()
    {
        for (;;) {
            switch (stream.next(incoming)) {
            case message_stream::result::need_more: return {};
            case message_stream::result::garbage: return "the sender sent something that is not the protocol";
            case message_stream::result::message:
                if (!handle(incoming))
                    return "the sender sent a malformed message";
                break;
            }
        }
    }

    // The message's body may be taken over (by the snapshot).
    bool handle(received_message& message)
    {
        ndi_wire::reader r(message.body.data(), message.body.size());
        switch (message.header.type) {
        case ndi_wire::message_type::hello: {
            r.u32();
            std::string name(reinterpret_cast<const char*>(r.current()), r.remaining());
            std::printf("source \"%s\"\n", name.c_str());
            source_name = name;
            if (r.failed())
                return false;
            // Only once greeted: from the hello on the sender counts us for
            // every frame, so whoever sees our tally or metadata knows that
            // we get what it sends next.
            announce_upstream();
            return true;
        }
        case ndi_wire::message_type::connection_metadata: {
            r.i64();
            if (r.failed())
                return false;
            std::printf("%.*s\n", int(r.remaining()), reinterpret_cast<const char*>(r.current()));
            return true;
        }
        case ndi_wire::message_type::video: {
            auto video = ndi_wire::get_video_fields(r);
            if (r.failed())
                return false;
            stats.video(video, r.current(), r.remaining(), message.header.dropped);
            if (recorder)
                recorder->add_video(video, r.current(), r.remaining());
            if (snapshot)
                snapshot->keep(video, message.body, size_t(r.current() - message.body.data()));
            return true;
        }
        case ndi_wire::message_type::audio: {
            auto audio = ndi_wire::get_audio_fields(r);
            if (r.failed() || audio.channels <= 0 || audio.samples <= 0 ||
                r.remaining() != size_t(audio.channels) * size_t(audio.samples) * 4)
                return false;
            stats.audio(audio, message.header.dropped);
            if (recorder)
                recorder->add_audio(audio, r.current(), r.remaining());
            return true;
        }
        default: return true;   // a newer sender's message we do not know: skip it
        }
    }

    int finish(const std::string& reason, double connected)
    {
        std::printf("%s\n", reason.c_str());
        const monitor_report summary = stats.summary(connected);
        if (settings.key_values)
            std::printf("%s\n", summary.key_values().c_str());
        else
            std::printf("source \"%s\" at %s %s", source_name.c_str(), settings.where.text().c_str(),
                        summary.prose().c_str());
        int status = 0;
        if (recorder) {
            bool ok = recorder->finish();
            if (!ok) {
                std::fprintf(stderr, "ndi-monitor: recording failed: %s\n", recorder->error().c_str());
                status = 3;
            } else if (recorder->recorded_anything()) {
                std::printf("recorded %s: %s", recorder->path().c_str(), recorder->describe_tracks().c_str());
                if (recorder->packets_left_out() > 0)
                    std::printf(" (%llu frames left out: format not known when the file began)",
                                (unsigned long long)recorder->packets_left_out());
                std::printf("\n");
            } else {
                std::printf("nothing to record, no file written\n");
            }
        }
        if (snapshot) {
            if (!snapshot->write()) {
                std::fprintf(stderr, "ndi-monitor: snapshot failed: %s\n", snapshot->error().c_str());
                status = 3;
            } else if (snapshot->has_picture()) {
                std::printf("snapshot %s: %s\n", snapshot->path().c_str(), snapshot->description().c_str());
            } else {
                std::printf("no full-stream picture, no snapshot written\n");
            }
        }
        std::fflush(stdout);
        return status;
    }

    const options& settings;
    receiver_link link;
    message_stream stream;
    stream_statistics stats;
    std::unique_ptr<matroska_recorder> recorder;
    std::unique_ptr<png_snapshot> snapshot;
    received_message incoming;   // reused: its buffer outlives one message
    std::string source_name;
};

}   // namespace

int main(int argc, char** argv)
{
    auto settings = parse_options(argc, argv);
    if (!settings) {
        usage(argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Signals arrive through a descriptor, so the loop stops cleanly between
    // two messages and the recording is finished properly.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);

    // The sender may still be starting: try again every 50 ms while --wait
    // lasts, and give up at once on a stop signal.
    std::string error;
    auto give_up = clock_type::now() +
        std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(settings->wait));
    auto link = receiver_link::connect(settings->where, error);
    while (!link && clock_type::now() < give_up) {
        pollfd watched{signal_fd, POLLIN, 0};
        if (poll(&watched, 1, 50) > 0)
            break;
        link = receiver_link::connect(settings->where, error);
    }
    if (!link) {
        std::fprintf(stderr, "ndi-monitor: cannot connect to %s: %s\n", settings->where.text().c_str(), error.c_str());
        return 1;
    }

    monitor_session session(*settings, std::move(*link));
    int status = session.run(signal_fd);
    close(signal_fd);
    return status;
}
