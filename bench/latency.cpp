// bench-latency [--seconds 30] [--signal 1080p59.94] [--encoders 4] [--repeat 1]
//
// How long a picture takes through the appliance, per stream, as median
// and 99th percentile: from the capture core's interrupt to the program's
// NDI send call (from the board's core log and the NDI stand-in's send
// log), split for the full-resolution stream into its steps (the capture
// thread waking, the wait for the encoder cores, the coding itself, and
// what follows it), and from capture to a receiver on the LAN, as
// ndi-monitor reports it from the timecodes. With --repeat, each run on a
// board of its own: the table holds every run's pictures, and the target
// is judged on the worst run's median. Needs root.
#include <cstdio>
#include <exception>
#include <map>
#include <vector>

#include "bench/board_run.h"
#include "bench/picture_timing.h"
#include "bench/pipeline_run.h"
#include "bench/progress.h"
#include "bench/sample_set.h"
#include "bench/target.h"
#include "bench/text_table.h"

using namespace bench;

namespace {

const char* usage = "usage: bench-latency [--seconds N] [--signal FORMAT] [--encoders 1|2|4] [--repeat RUNS]\n"
                    "  the appliance on the virtual board for a warm-up and N seconds (default 30);\n"
                    "  capture-to-send and capture-to-receiver latency per stream; RUNS runs (default 1),\n"
                    "  each on a board of its own, the target judged on the worst\n";

struct stream_latency {
    sample_set to_send, wake, to_coding, coding, after_coding, beyond_coding;
    size_t unmatched = 0;
    void add_all(const stream_latency& other)
    {
        for (auto member : {&stream_latency::to_send, &stream_latency::wake, &stream_latency::to_coding,
                            &stream_latency::coding, &stream_latency::after_coding, &stream_latency::beyond_coding})
            (this->*member).add_all(other.*member);
        unmatched += other.unmatched;
    }
};

void add_row(text_table& table, const std::string& name, sample_set& samples)
{
    if (samples.count() == 0)
        return;
    table.add({name, std::to_string(samples.count()), ms_cell(samples.median()), ms_cell(samples.percentile(0.99))});
}

// Each stream's pictures in one run, step by step.
std::map<std::string, stream_latency> latencies_of(const pipeline_result& r)
{
    std::map<std::string, stream_latency> streams;
    for (const picture_timing& p : match_pictures(r.core_events, r.sends, r.window_start_ns, r.window_end_ns)) {
        stream_latency& s = streams[p.stream];
        if (p.capture_irq < 0) {
            ++s.unmatched;
            continue;
        }
        s.to_send.add(double(p.send_call - p.capture_irq));
        s.wake.add(double(p.stamp - p.capture_irq));
        if (p.coded_known()) {
            s.to_coding.add(double(p.coding_start - p.stamp));
            s.coding.add(double(p.coding_end - p.coding_start));
            s.after_coding.add(double(p.send_call - p.coding_end));
            s.beyond_coding.add(double(p.send_call - p.capture_irq - (p.coding_end - p.coding_start)));
        }
    }
    return streams;
}

}   // namespace

int main(int argc, char** argv)
{
    const arguments args(argc, argv, {{"seconds", "30"}, {"signal", "1080p59.94"}, {"encoders", "4"}, {"repeat", "1"}},
                         usage);
    prepare_to_run_boards("bench-latency");
    const pipeline_config config = pipeline_config::from(args);
    const int repeat = run_count(args.number("repeat"), usage);
    try {
        std::vector<pipeline_result> runs;
        std::map<std::string, stream_latency> streams;      // every run's pictures together
        std::map<std::string, sample_set> beyond_medians;   // each run's median beyond coding, per stream
        for (int i = 0; i < repeat; ++i) {
            if (repeat > 1)
                say(format("run %d of %d", i + 1, repeat));
            runs.push_back(run_pipeline(config));
            for (auto& [code, s] : latencies_of(runs.back())) {
                streams[code].add_all(s);
                if (s.beyond_coding.count())
                    beyond_medians[code].add(s.beyond_coding.median() / 1e6);
            }
        }

        std::printf("Latency: %s, %.1f s measured after a %.0f s warm-up%s\n%s\n\n", config.label().c_str(),
                    runs.back().window_seconds, config.warm_up,
                    repeat > 1 ? format(", %d runs; the table holds them all", repeat).c_str() : "",
                    machine_description().c_str());
        text_table table({"stream and step", "pictures", "median", "99th percentile"});
        for (auto& [code, s] : streams) {
            table.add({code + (s.unmatched ? format(" (%zu pictures without a capture interrupt)", s.unmatched) : "")});
            add_row(table, "  capture interrupt -> NDI send call", s.to_send);
            if (s.coding.count()) {
                add_row(table, "    interrupt -> capture stamp", s.wake);
                add_row(table, "    stamp -> encoder cores started", s.to_coding);
                add_row(table, "    coding by the cores", s.coding);
                add_row(table, "    cores done -> NDI send call", s.after_coding);
                add_row(table, "    all but the coding", s.beyond_coding);
            }
            for (size_t i = 0; i < runs.size(); ++i) {
                const ndi_monitor::video_report* seen = runs[i].monitor ? runs[i].monitor->find(code) : nullptr;
                if (seen && seen->has_latency)
                    table.add({"  capture -> receiver (ndi-monitor, whole run" +
                                   (repeat > 1 ? format(" %zu", i + 1) : std::string()) + ")",
                               std::to_string(seen->pictures), format("%.1f ms", seen->latency_median_ms),
                               format("%.1f ms", seen->latency_p99_ms)});
            }
        }
        std::printf("%s", table.text().c_str());
        for (const pipeline_result& r : runs)
            print_guest_errors(r.guest_errors);
        if (streams.empty()) {
            std::printf("No picture was sent: nothing to measure.\n");
            return 0;
        }
        const target within(target::bound::at_most, 1);
        for (auto& [code, medians] : beyond_medians)
            std::printf("\nTarget: capture -> send at most 1 ms median beyond coding (%s), in every run: %s: %s\n",
                        code.c_str(), spread_text(medians, "%.3f ms").c_str(), within.verdict(medians).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-latency: %s\n", e.what());
        return interrupted() ? 130 : 1;
    }
    return 0;
}
