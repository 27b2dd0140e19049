// bench-memory [--seconds 60] [--signal 1080p59.94] [--encoders 4]
//
// The program's resident memory while it runs, video, audio and camera
// control, with a receiver on the LAN: read from /proc/PID/smaps at a few
// moments and at the end. The board's memory file (the DMA memory, which
// the program maps from /dev/mem and the virtual FPGA maps as well) is
// counted apart and left out of the figure that matters. The heap is the
// brk heap and the other anonymous memory (malloc's per-thread arenas,
// large allocations, thread stacks): what the process allocated. The
// stand-ins share the process (the NDI runtime's receiver queues, the
// models' buffers), and from outside their allocations cannot be told
// from the program's, so the heap is an upper bound for the program's.
// Needs root.
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <vector>

#include "bench/board_run.h"
#include "bench/memory_use.h"
#include "bench/progress.h"
#include "bench/text_table.h"
#include "bench/thread_times.h"

using namespace bench;

namespace {

const char* usage = "usage: bench-memory [--seconds N] [--signal FORMAT] [--encoders 1|2|4]\n"
                    "  the appliance on the virtual board for N seconds (default 60); its resident memory\n";

std::string mib(int64_t kib)
{
    return format("%.1f MiB", double(kib) / 1024);
}

}   // namespace

int main(int argc, char** argv)
{
    const arguments args(argc, argv, {{"seconds", "60"}, {"signal", "1080p59.94"}, {"encoders", "4"}}, usage);
    prepare_to_run_boards("bench-memory");
    const double seconds = args.number("seconds");
    try {
        board_run_options options;
        options.signal = args.text("signal");
        options.encoders = int(args.number("encoders"));
        options.lan = {"ndi-monitor --connect 192.168.5.20 --wait 30 --quiet"};
        board_run run(options);
        const pid_t program = run.program();

        text_table table({"after", "RSS", "board memory (DMA)", "RSS without DMA", "brk heap", "other anonymous",
                          "files", "threads"});
        double done = 0;
        for (double mark : {10.0, seconds / 2, seconds}) {
            if (mark <= done || mark > seconds)
                continue;
            if (!wait_showing("running", mark - done))
                throw std::runtime_error("interrupted");
            done = mark;
            if (run.finished())
                throw std::runtime_error("the appliance ended during the run:\n" + run.output());
            const memory_use m = read_memory_use(program, run.root());
            table.add({format("%.0f s", mark), mib(m.rss_kib), mib(m.dma_kib), mib(m.without_dma()), mib(m.heap_kib),
                       mib(m.anonymous_kib), mib(m.file_kib), std::to_string(read_thread_times(program).size())});
        }
        run.stop();
        const std::string errors = run.guest_errors();
        std::printf("Memory of the program: %s, %s, receiver connected\n%s\n\n", options.signal.c_str(),
                    format("%d encoder cores", options.encoders).c_str(), machine_description().c_str());
        std::printf("%s", table.text().c_str());
        std::printf("\nThe heap (brk heap and other anonymous memory) holds the stand-ins' allocations too.\n");
        print_guest_errors(errors);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-memory: %s\n", e.what());
        return interrupted() ? 130 : 1;
    }
    return 0;
}
