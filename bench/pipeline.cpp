// bench-pipeline [--seconds 60] [--signal 1080p59.94] [--encoders 4]
//
// What the program costs the processor per picture: the appliance runs on
// the virtual board with a receiver on the LAN; after a warm-up, the CPU
// time of every thread of its process is taken over the window and divided
// by the pictures captured in it. The program's threads are listed by
// name; the stand-ins that share its process (the virtual cores' workers,
// the NDI runtime's threads) are listed apart, since the board has neither,
// and so is what the program's threads spend inside the stand-in libraries.
// Then what passed through the pipeline, and FFmpeg's software SpeedHQ
// encoder on the same pictures for comparison. Needs root.
#include <algorithm>
#include <cstdio>
#include <exception>

#include "bench/board_run.h"
#include "bench/pipeline_run.h"
#include "bench/progress.h"
#include "bench/text_table.h"
#include "sim/call_cost/call_cost.h"

using namespace bench;

namespace {

const char* usage =
    "usage: bench-pipeline [--seconds N] [--signal FORMAT] [--encoders 1|2|4]\n"
    "  the appliance on the virtual board for a warm-up and N seconds (default 60) of\n"
    "  FORMAT (default 1080p59.94); CPU per picture of each thread, pictures counted\n";

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
    text_table table({"thread", "threads", "CPU s", "per picture", "in stand-in calls", "switches per picture",
                      "of one CPU"});
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
                (unsigned long long)r.sent_full, (unsigned long long)r.sent_preview,
                (unsigned long long)r.sent_audio, (unsigned long long)r.dropped());
    if (!r.monitor) {
        std::printf("The receiver gave no summary.\n");
        return;
    }
    std::printf("The receiver, over its whole connection:");
    for (const ndi_monitor::video_report& v : r.monitor->video)
        std::printf(" %s %llu pictures, %.1f Mbit/s, Q %d-%d;", v.name().c_str(),
                    (unsigned long long)v.pictures, v.mbit_per_second, v.q_low, v.q_high);
    std::printf(" %llu audio blocks; dropped %llu, late %llu\n",
                (unsigned long long)(r.monitor->audio ? r.monitor->audio->blocks : 0),
                (unsigned long long)r.monitor->dropped, (unsigned long long)r.monitor->late);
}

}  // namespace

int main(int argc, char** argv)
{
    const arguments args(argc, argv, {{"seconds", "60"}, {"signal", "1080p59.94"}, {"encoders", "4"}}, usage);
    prepare_to_run_boards("bench-pipeline");
    const pipeline_config config = pipeline_config::from(args);
    try {
        const pipeline_result r = run_pipeline(config);
        std::printf("Pipeline cost: %s, %.1f s measured after a %.0f s warm-up\n%s\n\n", config.label().c_str(),
                    r.window_seconds, config.warm_up, machine_description().c_str());
        print_threads(r);
        print_own(r);
        print_pictures(r);
        const double program_ms = r.per_picture_ns(r.own_ns()) / 1e6;
        say("FFmpeg's encoder on the same pictures");
        const double ffmpeg_ms = ffmpeg_peer_ns(r) / 1e6;
        if (ffmpeg_ms > 0)
            std::printf("\nFFmpeg's software SpeedHQ encoder, one thread, on the input's pictures at Q %d: %.3f ms CPU "
                        "per picture, %.1f times the program's own %.3f ms\n",
                        r.monitor->stream(false)->q_last, ffmpeg_ms, ffmpeg_ms / program_ms, program_ms);
        else
            std::printf("\nFFmpeg's encoder: not measured (no coded picture, or no SpeedHQ encoder)\n");
        print_guest_errors(r.guest_errors);
        std::printf("\nTarget: program CPU at most 0.3 ms per picture (its own, without the stand-ins' calls): "
                    "%.3f ms, %s\n",
                    program_ms,
                    r.captured == 0 ? "not measured (nothing captured)" : program_ms <= 0.3 ? "met" : "missed");
        if (ffmpeg_ms > 0)
            std::printf("Target: at least 10 times below FFmpeg's encoder: %.1f times, %s\n", ffmpeg_ms / program_ms,
                        ffmpeg_ms / program_ms >= 10 ? "met" : "missed");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-pipeline: %s\n", e.what());
        return interrupted() ? 130 : 1;
    }
    return 0;
}
