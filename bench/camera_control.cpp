// bench-camera [--commands 1000]
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
// camera (virtual-board --camera-timing). Needs root.
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>

#include "bench/board_run.h"
#include "bench/camera_paths.h"
#include "bench/pipeline_run.h"
#include "bench/progress.h"
#include "bench/text_table.h"

using namespace bench;

namespace {

const char* usage =
    "usage: bench-camera [--commands N]\n"
    "  N (default 1000, at most 1024) PTZ metadata documents, then N VISCA-over-IP\n"
    "  commands, from the LAN to the virtual board's camera\n";

void add_row(text_table& table, const std::string& path, const std::string& count, sample_set& samples)
{
    table.add({path, count, ms_cell(samples.median()), ms_cell(samples.percentile(0.99))});
}

std::string verdict(sample_set& samples, double limit_ms)
{
    if (samples.count() == 0)
        return "not measured";
    const double median = samples.median() / 1e6;
    return format("%.3f ms, %s", median, median <= limit_ms ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv)
{
    const arguments args(argc, argv, {{"commands", "1000"}}, usage);
    prepare_to_run_boards("bench-camera");
    const int commands = int(args.number("commands"));
    try {
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
        camera_paths paths = match_camera_paths(read_peer_log(run.file("peer.log")),
                                                read_camera_timing(run.file("camera.log")));

        std::printf("Camera control: %d commands each way, the whole appliance running (1080p59.94, 4 encoder "
                    "cores, audio)\n%s\n\n",
                    commands, machine_description().c_str());
        text_table table({"path", "measured", "median", "99th percentile"});
        add_row(table, "NDI metadata -> serial line",
                format("%zu of %zu", paths.metadata_to_serial.count(), paths.metadata_sent), paths.metadata_to_serial);
        add_row(table, "VISCA over IP -> serial line",
                format("%zu of %zu", paths.visca_to_serial.count(), paths.visca_sent), paths.visca_to_serial);
        add_row(table, "camera reply -> controller",
                format("%zu of %zu", paths.reply_to_controller.count(), paths.replies_written),
                paths.reply_to_controller);
        std::printf("%s\n", table.text().c_str());
        std::printf("Target: metadata -> serial at most 5 ms median: %s\n", verdict(paths.metadata_to_serial, 5).c_str());
        std::printf("Target: VISCA over IP -> serial at most 1 ms median: %s\n",
                    verdict(paths.visca_to_serial, 1).c_str());
        print_guest_errors(run.guest_errors());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-camera: %s\n", e.what());
        return interrupted() ? 130 : 1;
    }
    return 0;
}
