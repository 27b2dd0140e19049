// bench-scale [--seconds 20] [--repeat 1]
//
// How the program's cost grows with the work: the pipeline measurement of
// bench-pipeline for 1, 2 and 4 encoder cores at 1080p59.94, and for
// 720p50 and 1080i59.94 with 4 cores, side by side: one run each, or
// --repeat runs with the spread of the program's cost. Needs root.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <vector>

#include "bench/board_run.h"
#include "bench/pipeline_run.h"
#include "bench/progress.h"
#include "bench/sample_set.h"
#include "bench/target.h"
#include "bench/text_table.h"

using namespace bench;

namespace {

const char* usage = "usage: bench-scale [--seconds N] [--repeat RUNS]\n"
                    "  five runs of N seconds (default 20) each after a warm-up: 1, 2 and 4 encoder\n"
                    "  cores at 1080p59.94, then 720p50 and 1080i59.94 with 4; each RUNS times (default 1)\n";

int64_t cpu_of(const pipeline_result& r, std::initializer_list<const char*> names)
{
    int64_t total = 0;
    for (const thread_group& g : r.threads)
        for (const char* name : names)
            if (g.owner == thread_owner::program && g.name == name)
                total += g.cpu_ns;
    return total;
}

// "0.373 ms" for one run; "0.373 ms (0.361-0.392)" with the range of more.
std::string spread_cell(const std::vector<pipeline_result>& runs, int64_t (pipeline_result::*figure)() const,
                        double median_ns)
{
    if (runs.size() == 1)
        return ms_cell(median_ns);
    sample_set values;
    for (const pipeline_result& r : runs)
        values.add(r.per_picture_ns((r.*figure)()) / 1e6);
    return ms_cell(median_ns) + format(" (%.3f-%.3f)", values.lowest(), values.highest());
}

}   // namespace

int main(int argc, char** argv)
{
    const arguments args(argc, argv, {{"seconds", "20"}, {"repeat", "1"}}, usage);
    prepare_to_run_boards("bench-scale");
    const int repeat = run_count(args.number("repeat"), usage);
    const std::vector<std::pair<const char*, int>> configurations = {
        {"1080p59.94", 1}, {"1080p59.94", 2}, {"1080p59.94", 4}, {"720p50", 4}, {"1080i59.94", 4}};
    std::vector<std::vector<pipeline_result>> results;   // per configuration, its runs
    try {
        for (const auto& [signal, encoders] : configurations) {
            pipeline_config config;
            config.signal = signal;
            config.encoders = encoders;
            config.seconds = args.number("seconds");
            results.emplace_back();
            for (int i = 0; i < repeat; ++i) {
                if (repeat > 1)
                    say(format("%s: run %d of %d", config.label().c_str(), i + 1, repeat));
                results.back().push_back(run_pipeline(config));
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-scale: %s\n", e.what());
        return interrupted() ? 130 : 1;
    }

    std::printf("Scale: CPU per picture (per field for 1080i) as the work grows, %.0f s each%s\n%s\n\n",
                args.number("seconds"), repeat > 1 ? format(", %d runs each", repeat).c_str() : "",
                machine_description().c_str());
    text_table table({"input, encoder cores", "pictures/s", "program (raw)", "in stand-in calls", "own (adjusted)",
                      "vidcap", "vidcomp", "copy + send", "audio", "rest", "switches", "stand-ins", "FFmpeg",
                      "not sent"});
    std::map<std::string, double> ffmpeg_ns;   // by input: the cores' count does not change the pictures
    for (const std::vector<pipeline_result>& runs : results) {
        const pipeline_result& r = runs[median_run(runs)];
        if (!ffmpeg_ns.count(r.config.signal))
            ffmpeg_ns[r.config.signal] = ffmpeg_peer_ns(r);
        const double ffmpeg = ffmpeg_ns[r.config.signal];
        const int64_t program = r.program_ns();
        const int64_t capture = cpu_of(r, {"vidcap"}), compress = cpu_of(r, {"vidcomp"});
        const int64_t send = cpu_of(r, {"vidcomp:copy", "send_full", "send_prvw"});
        const int64_t audio = cpu_of(r, {"audcap", "audcomp"});
        const int64_t stand_ins = total_of(r.threads, thread_owner::virtual_cores).cpu_ns +
            total_of(r.threads, thread_owner::ndi_runtime).cpu_ns + total_of(r.threads, thread_owner::other).cpu_ns;
        table.add({r.config.label(), format("%.2f", double(r.captured) / r.window_seconds),
                   spread_cell(runs, &pipeline_result::program_ns, r.per_picture_ns(program)),
                   ms_cell(r.per_picture_ns(r.stand_in_ns())),
                   spread_cell(runs, &pipeline_result::own_ns, r.per_picture_ns(r.own_ns())),
                   ms_cell(r.per_picture_ns(capture)), ms_cell(r.per_picture_ns(compress)),
                   ms_cell(r.per_picture_ns(send)), ms_cell(r.per_picture_ns(audio)),
                   ms_cell(r.per_picture_ns(program - capture - compress - send - audio)),
                   format("%.1f",
                          double(total_of(r.threads, thread_owner::program).switches) /
                              double(std::max<uint64_t>(r.captured, 1))),
                   ms_cell(r.per_picture_ns(stand_ins)),
                   ffmpeg > 0 ? format("%.3f ms (%.1fx)", ffmpeg / 1e6, ffmpeg / r.per_picture_ns(r.own_ns())) : "-",
                   std::to_string(r.dropped())});
    }
    std::printf("%s", table.text().c_str());
    std::printf(
        "\nprogram (raw): its threads' CPU; in stand-in calls: of that, what they spent in calls into the\n"
        "stand-in libraries (sampled); own (adjusted): the rest, what the program itself costs. With more runs\n"
        "than one, each row is the run whose own cost is the median, program and own with the range of all\n"
        "runs in brackets. The threads' columns include their calls. switches: the program's context switches per "
        "picture. stand-ins: the virtual cores'\n"
        "and the NDI runtime's threads, which share the program's process here. FFmpeg: its software\n"
        "SpeedHQ encoder on the input's pictures at the program's last Q, and how many times the program's\n"
        "own CPU that is.\n");
    for (const std::vector<pipeline_result>& runs : results)
        for (const pipeline_result& r : runs)
            print_guest_errors(r.guest_errors);
    return 0;
}
