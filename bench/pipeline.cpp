// bench-pipeline [--seconds 60] [--signal 1080p59.94] [--encoders 4] [--repeat 1]
//
// What the program costs the processor per picture: the appliance runs on
// the virtual board with a receiver on the LAN; after a warm-up, the CPU
// time of every thread of its process is taken over the window and divided
// by the pictures captured in it. The program's threads are listed by
// name; the stand-ins that share its process (the virtual cores' workers,
// the NDI runtime's threads) are listed apart, since the board has neither,
// and so is what the program's threads spend inside the stand-in libraries.
// Then what passed through the pipeline, and FFmpeg's software SpeedHQ
// encoder on the same pictures for comparison. With --repeat, each run on
// a board of its own: the targets are judged on the worst run, on the raw
// CPU and on the CPU less the stand-ins' calls. Needs root.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

#include "bench/board_run.h"
#include "bench/pipeline_run.h"
#include "bench/progress.h"
#include "bench/target.h"
#include "bench/text_table.h"
#include "sim/call_cost/call_cost.h"

using namespace bench;

namespace {

const char* usage = "usage: bench-pipeline [--seconds N] [--signal FORMAT] [--encoders 1|2|4] [--repeat RUNS]\n"
                    "  the appliance on the virtual board for a warm-up and N seconds (default 60) of\n"
                    "  FORMAT (default 1080p59.94); CPU per picture of each thread, pictures counted;\n"
                    "  RUNS runs (default 1), each on a board of its own, the targets judged on the worst\n";

const char* owner_name(thread_owner owner)
{
    switch (owner) {
    case thread_owner::program: return "program";
    case thread_owner::virtual_cores: return "virtual cores (stand-in)";
    case thread_owner::ndi_runtime: return "NDI runtime (stand-in)";
    case thread_owner::other: break;
    }
    return "other (stand-in)";
}

void print_threads(const pipeline_result& r)
{
    text_table table(
        {"thread", "threads", "CPU s", "per picture", "in stand-in calls", "switches per picture", "of one CPU"});
    auto row = [&](const std::string& name, const thread_group& g) {
        const double pictures = double(std::max<uint64_t>(r.captured, 1));
        table.add({name, g.threads ? std::to_string(g.threads) : "-", format("%.3f", double(g.cpu_ns) / 1e9),
                   ms_cell(r.per_picture_ns(g.cpu_ns)),
                   g.owner == thread_owner::program ? ms_cell(r.per_picture_ns(g.stand_in_ns)) : "-",
                   format("%.1f", double(g.switches) / pictures),
                   format("%.2f %%", 100.0 * double(g.cpu_ns) / 1e9 / r.window_seconds)});
    };
    for (thread_owner owner :
         {thread_owner::program, thread_owner::virtual_cores, thread_owner::ndi_runtime, thread_owner::other}) {
        bool any = false;
        for (const thread_group& g : r.threads) {
            if (g.owner != owner)
                continue;
            if (!any)
                table.add({std::string(owner_name(owner)) + ":"});
            any = true;
            row("  " + g.name, g);
        }
        if (any)
            row(std::string("  all of the ") + (owner == thread_owner::program ? "program" : "group"),
                total_of(r.threads, owner));
    }
    std::printf("%s", table.text().c_str());
    if (r.vanished_threads)
        std::printf("(%d threads ended within the window; their CPU is not counted)\n", r.vanished_threads);
    std::printf("(in stand-in calls: the CPU a program thread spends in calls into the stand-in libraries, one "
                "call in %u measured; switches: voluntary and involuntary context switches)\n",
                sim::call_cost::one_in);
}

// What the program costs without the stand-ins, which the board does not
// have: on it a register access is a bus cycle, not a model run under a
// mutex that may wake a worker thread.
void print_own(const pipeline_result& r)
{
    std::printf("\nThe program's threads: %s per picture, of which %s in calls into the stand-ins (the virtual "
                "board's libuio %s, the NDI runtime's %s, with the measuring): the program's own %s\n",
                ms_cell(r.per_picture_ns(r.program_ns())).c_str(), ms_cell(r.per_picture_ns(r.stand_in_ns())).c_str(),
                ms_cell(r.per_picture_ns(r.library_ns("uio"))).c_str(),
                ms_cell(r.per_picture_ns(r.library_ns("ndi"))).c_str(), ms_cell(r.per_picture_ns(r.own_ns())).c_str());
}

void print_pictures(const pipeline_result& r)
{
    const double s = r.window_seconds;
    std::printf("\nIn the window: %llu pictures captured (%.2f a second), %llu encoder runs, sent %llu full, "
                "%llu preview, %llu audio blocks; %llu captured pictures not sent\n",
                (unsigned long long)r.captured, double(r.captured) / s, (unsigned long long)r.coded,
                (unsigned long long)r.sent_full, (unsigned long long)r.sent_preview, (unsigned long long)r.sent_audio,
                (unsigned long long)r.dropped());
    if (!r.monitor) {
        std::printf("The receiver gave no summary.\n");
        return;
    }
    std::printf("The receiver, over its whole connection:");
    for (const ndi_monitor::video_report& v : r.monitor->video)
        std::printf(" %s %llu pictures, %.1f Mbit/s, Q %d-%d;", v.name().c_str(), (unsigned long long)v.pictures,
                    v.mbit_per_second, v.q_low, v.q_high);
    std::printf(" %llu audio blocks; dropped %llu, late %llu\n",
                (unsigned long long)(r.monitor->audio ? r.monitor->audio->blocks : 0),
                (unsigned long long)r.monitor->dropped, (unsigned long long)r.monitor->late);
}

void print_runs(const std::vector<pipeline_result>& runs, const std::vector<double>& ffmpeg_ms)
{
    text_table table({"run", "captured", "not sent", "program (raw)", "in stand-in calls", "own (adjusted)", "FFmpeg",
                      "load average"});
    for (size_t i = 0; i < runs.size(); ++i) {
        const pipeline_result& r = runs[i];
        table.add({std::to_string(i + 1), std::to_string(r.captured), std::to_string(r.dropped()),
                   ms_cell(r.per_picture_ns(r.program_ns())), ms_cell(r.per_picture_ns(r.stand_in_ns())),
                   ms_cell(r.per_picture_ns(r.own_ns())), ffmpeg_ms[i] > 0 ? format("%.3f ms", ffmpeg_ms[i]) : "-",
                   format("%.2f", r.load_average)});
    }
    std::printf("\nEach run (CPU per picture):\n%s", table.text().c_str());
}

// Raw: all the CPU of the program's threads, the stand-ins' calls with it;
// adjusted: less those calls, as sampled. The board's figure lies between:
// its calls are bus cycles, not free, and the sampled estimate runs high.
void print_targets(const std::vector<pipeline_result>& runs, const std::vector<double>& ffmpeg_ms)
{
    sample_set raw, adjusted, raw_ratio, adjusted_ratio;
    for (size_t i = 0; i < runs.size(); ++i) {
        const pipeline_result& r = runs[i];
        if (r.captured == 0)
            continue;
        const double raw_ms = r.per_picture_ns(r.program_ns()) / 1e6;
        const double own_ms = r.per_picture_ns(r.own_ns()) / 1e6;
        raw.add(raw_ms);
        adjusted.add(own_ms);
        if (ffmpeg_ms[i] > 0) {
            raw_ratio.add(ffmpeg_ms[i] / raw_ms);
            adjusted_ratio.add(ffmpeg_ms[i] / own_ms);
        }
    }
    const target cpu(target::bound::at_most, 0.3), below_ffmpeg(target::bound::at_least, 10);
    std::printf("\nTarget: program CPU at most 0.3 ms per picture, in every run\n"
                "  raw, all its threads' CPU:                   %s: %s\n"
                "  adjusted, less its calls into the stand-ins: %s: %s\n",
                spread_text(raw, "%.3f ms").c_str(), cpu.verdict(raw).c_str(), spread_text(adjusted, "%.3f ms").c_str(),
                cpu.verdict(adjusted).c_str());
    std::printf("Target: at least 10 times below FFmpeg's encoder, in every run\n"
                "  raw:      %s: %s\n"
                "  adjusted: %s: %s\n",
                spread_text(raw_ratio, "%.1f times").c_str(), below_ffmpeg.verdict(raw_ratio).c_str(),
                spread_text(adjusted_ratio, "%.1f times").c_str(), below_ffmpeg.verdict(adjusted_ratio).c_str());
}

}   // namespace

int main(int argc, char** argv)
{
    const arguments args(argc, argv, {{"seconds", "60"}, {"signal", "1080p59.94"}, {"encoders", "4"}, {"repeat", "1"}},
                         usage);
    prepare_to_run_boards("bench-pipeline");
    const pipeline_config config = pipeline_config::from(args);
    const int repeat = run_count(args.number("repeat"), usage);
    try {
        std::vector<pipeline_result> runs;
        std::vector<double> ffmpeg_ms;   // measured after each run, under the load of its time
        for (int i = 0; i < repeat; ++i) {
            if (repeat > 1)
                say(format("run %d of %d", i + 1, repeat));
            runs.push_back(run_pipeline(config));
            say("FFmpeg's encoder on the same pictures");
            ffmpeg_ms.push_back(ffmpeg_peer_ns(runs.back()) / 1e6);
        }
        const size_t shown = median_run(runs);
        const pipeline_result& r = runs[shown];
        std::printf("Pipeline cost: %s, %.1f s measured after a %.0f s warm-up%s\n%s\n", config.label().c_str(),
                    r.window_seconds, config.warm_up, repeat > 1 ? format(", %d runs", repeat).c_str() : "",
                    machine_description().c_str());
        if (repeat > 1) {
            print_runs(runs, ffmpeg_ms);
            std::printf("\nRun %zu, whose own cost is the median:\n", shown + 1);
        }
        std::printf("\n");
        print_threads(r);
        print_own(r);
        print_pictures(r);
        const double program_ms = r.per_picture_ns(r.own_ns()) / 1e6;
        if (ffmpeg_ms[shown] > 0)
            std::printf("\nFFmpeg's software SpeedHQ encoder, one thread, on the input's pictures at Q %d: %.3f ms CPU "
                        "per picture, %.1f times the program's own %.3f ms\n",
                        r.monitor->stream(false)->q_last, ffmpeg_ms[shown], ffmpeg_ms[shown] / program_ms, program_ms);
        else
            std::printf("\nFFmpeg's encoder: not measured (no coded picture, or no SpeedHQ encoder)\n");
        for (const pipeline_result& run : runs)
            print_guest_errors(run.guest_errors);
        print_targets(runs, ffmpeg_ms);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-pipeline: %s\n", e.what());
        return interrupted() ? 130 : 1;
    }
    return 0;
}
