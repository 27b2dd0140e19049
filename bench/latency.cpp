// bench-latency [--seconds 30] [--signal 1080p59.94] [--encoders 4]
//
// How long a picture takes through the appliance, per stream, as median
// and 99th percentile: from the capture core's interrupt to the program's
// NDI send call (from the board's core log and the NDI stand-in's send
// log), split for the full-resolution stream into its steps (the capture
// thread waking, the wait for the encoder cores, the coding itself, and
// what follows it), and from capture to a receiver on the LAN, as
// ndi-monitor reports it from the timecodes. Needs root.
#include <cstdio>
#include <exception>
#include <map>

#include "bench/board_run.h"
#include "bench/picture_timing.h"
#include "bench/pipeline_run.h"
#include "bench/progress.h"
#include "bench/sample_set.h"
#include "bench/text_table.h"

using namespace bench;

namespace {

const char* usage =
    "usage: bench-latency [--seconds N] [--signal FORMAT] [--encoders 1|2|4]\n"
    "  the appliance on the virtual board for a warm-up and N seconds (default 30);\n"
    "  capture-to-send and capture-to-receiver latency per stream\n";

struct stream_latency {
    sample_set to_send, wake, to_coding, coding, after_coding, beyond_coding;
    size_t unmatched = 0;
};

void add_row(text_table& table, const std::string& name, sample_set& samples)
{
    if (samples.count() == 0)
        return;
    table.add({name, std::to_string(samples.count()), ms_cell(samples.median()), ms_cell(samples.percentile(0.99))});
}

}  // namespace

int main(int argc, char** argv)
{
    const arguments args(argc, argv, {{"seconds", "30"}, {"signal", "1080p59.94"}, {"encoders", "4"}}, usage);
    prepare_to_run_boards("bench-latency");
    const pipeline_config config = pipeline_config::from(args);
    try {
        pipeline_result r = run_pipeline(config);
        std::map<std::string, stream_latency> streams;
        for (const picture_timing& p :
             match_pictures(r.core_events, r.sends, r.window_start_ns, r.window_end_ns)) {
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

        std::printf("Latency: %s, %.1f s measured after a %.0f s warm-up\n%s\n\n", config.label().c_str(),
                    r.window_seconds, config.warm_up, machine_description().c_str());
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
            const ndi_monitor::video_report* seen = r.monitor ? r.monitor->find(code) : nullptr;
            if (seen && seen->has_latency)
                table.add({"  capture -> receiver (ndi-monitor, whole run)", std::to_string(seen->pictures),
                           format("%.1f ms", seen->latency_median_ms), format("%.1f ms", seen->latency_p99_ms)});
        }
        std::printf("%s", table.text().c_str());
        print_guest_errors(r.guest_errors);
        if (streams.empty()) {
            std::printf("No picture was sent: nothing to measure.\n");
            return 0;
        }
        for (auto& [code, s] : streams) {
            if (s.beyond_coding.count() == 0)
                continue;
            const double median = s.beyond_coding.median() / 1e6;
            std::printf("\nTarget: capture -> send at most 1 ms median beyond coding (%s): %.3f ms, %s\n",
                        code.c_str(), median, median <= 1 ? "met" : "missed");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-latency: %s\n", e.what());
        return interrupted() ? 130 : 1;
    }
    return 0;
}
