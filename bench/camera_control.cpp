// bench-camera [--commands 1000] [--repeat 1]
//
// How fast control reaches the camera: the whole appliance runs on the
// virtual board (video, audio, camera control), and bench-camera-peer on
// the LAN, a receiver of its source, sends the commands and takes the
// replies (camera_paths.h). Measured, median and 99th percentile:
//   NDI metadata sent -> the VISCA command read off the serial line (each
//     document finds the command queue idle, so its 30 ms pause after the
//     previous command is not in it);
//   VISCA-over-IP datagram sent -> read off the serial line;
//   camera reply written to the line -> the controller got it.
// The commands' times come from the peer; the line's from the virtual
// camera (virtual-board --camera-timing). With --repeat, each run on a
// board of its own: the table holds every run's samples, and each target is
// judged on the worst run's median. Needs root.
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bench/board_run.h"
#include "bench/camera_paths.h"
#include "bench/pipeline_run.h"
#include "bench/progress.h"
#include "bench/target.h"
#include "bench/text_table.h"

using namespace bench;

namespace {

const char* usage = "usage: bench-camera [--commands N] [--repeat RUNS]\n"
                    "  N (default 1000, at most 1024) PTZ metadata documents, then N VISCA-over-IP\n"
                    "  commands, from the LAN to the virtual board's camera; RUNS runs (default 1),\n"
                    "  each on a board of its own, the targets judged on the worst\n";

void add_row(text_table& table, const std::string& path, const std::string& count, sample_set& samples)
{
    table.add({path, count, ms_cell(samples.median()), ms_cell(samples.percentile(0.99))});
}

// One run: a board of its own, the peer's commands, the records matched.
camera_paths run_once(int commands)
{
    board_run_options options;
    options.camera_timing = true;
    options.lan = {format("bench-camera-peer --commands %d --out \"$BENCH_RUN_DIR/peer.log\"", commands)};
    board_run run(options);
    run.program();
    // The peer settles for 2 s, then sends for about 45 ms and 22.5 ms a command.
    const double expected = 2.7 + commands * 0.0675;
    if (!wait_showing("commands", expected + 30, [&] { return run.finished(); }))
        throw std::runtime_error("interrupted");
    if (!run.finished())
        throw std::runtime_error("the peer did not finish:\n" + run.output());
    print_guest_errors(run.guest_errors());
    return match_camera_paths(read_peer_log(run.file("peer.log")), read_camera_timing(run.file("camera.log")));
}

// Each run's median of one path, judged on the worst.
void print_target(const char* path, double limit_ms, std::vector<camera_paths>& runs, sample_set camera_paths::*samples)
{
    sample_set medians;
    for (camera_paths& run : runs)
        if ((run.*samples).count())
            medians.add((run.*samples).median() / 1e6);
    std::printf("Target: %s at most %g ms median, in every run: %s: %s\n", path, limit_ms,
                spread_text(medians, "%.3f ms").c_str(),
                target(target::bound::at_most, limit_ms).verdict(medians).c_str());
}

}   // namespace

int main(int argc, char** argv)
{
    const arguments args(argc, argv, {{"commands", "1000"}, {"repeat", "1"}}, usage);
    prepare_to_run_boards("bench-camera");
    const int commands = int(args.number("commands"));
    const int repeat = run_count(args.number("repeat"), usage);
    try {
        std::vector<camera_paths> runs;
        camera_paths all;   // every run's samples together
        for (int i = 0; i < repeat; ++i) {
            if (repeat > 1)
                say(format("run %d of %d", i + 1, repeat));
            runs.push_back(run_once(commands));
            const camera_paths& r = runs.back();
            all.metadata_to_serial.add_all(r.metadata_to_serial);
            all.visca_to_serial.add_all(r.visca_to_serial);
            all.reply_to_controller.add_all(r.reply_to_controller);
            all.metadata_sent += r.metadata_sent;
            all.visca_sent += r.visca_sent;
            all.replies_written += r.replies_written;
        }

        std::printf("Camera control: %d commands each way, the whole appliance running (1080p59.94, 4 encoder "
                    "cores, audio)%s\n%s\n\n",
                    commands, repeat > 1 ? format("; %d runs, the table holds them all", repeat).c_str() : "",
                    machine_description().c_str());
        text_table table({"path", "measured", "median", "99th percentile"});
        add_row(table, "NDI metadata -> serial line",
                format("%zu of %zu", all.metadata_to_serial.count(), all.metadata_sent), all.metadata_to_serial);
        add_row(table, "VISCA over IP -> serial line",
                format("%zu of %zu", all.visca_to_serial.count(), all.visca_sent), all.visca_to_serial);
        add_row(table, "camera reply -> controller",
                format("%zu of %zu", all.reply_to_controller.count(), all.replies_written), all.reply_to_controller);
        std::printf("%s\n", table.text().c_str());
        print_target("metadata -> serial", 5, runs, &camera_paths::metadata_to_serial);
        print_target("VISCA over IP -> serial", 1, runs, &camera_paths::visca_to_serial);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-camera: %s\n", e.what());
        return interrupted() ? 130 : 1;
    }
    return 0;
}
