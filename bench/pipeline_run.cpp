#include "bench/pipeline_run.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "bench/board_run.h"
#include "bench/ffmpeg_speedhq.h"
#include "bench/progress.h"
#include "bench/text_table.h"

namespace bench {

namespace {

uint64_t count_within(const std::vector<int64_t>& times, int64_t start, int64_t end)
{
    uint64_t n = 0;
    for (int64_t t : times)
        n += t >= start && t < end;
    return n;
}

}   // namespace

std::string pipeline_config::label() const
{
    return signal + ", " + std::to_string(encoders) + (encoders == 1 ? " encoder core" : " encoder cores");
}

pipeline_config pipeline_config::from(const arguments& args)
{
    pipeline_config config;
    config.signal = args.text("signal");
    config.encoders = int(args.number("encoders"));
    config.seconds = args.number("seconds");
    return config;
}

int64_t pipeline_result::library_ns(const std::string& library) const
{
    // Only the program's threads call the libraries' entry points.
    return call_cost_ns(stand_in_calls, 0, library, window_start_ns, window_end_ns);
}

size_t median_run(const std::vector<pipeline_result>& runs)
{
    std::vector<size_t> order(runs.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return runs[a].per_picture_ns(runs[a].own_ns()) < runs[b].per_picture_ns(runs[b].own_ns());
    });
    return order.empty() ? 0 : order[(order.size() - 1) / 2];
}

std::string ms_cell(double ns)
{
    return format("%.3f ms", ns / 1e6);
}

pipeline_result run_pipeline(const pipeline_config& config)
{
    board_run_options options;
    options.signal = config.signal;
    options.encoders = config.encoders;
    options.core_log = true;
    options.send_log = true;
    options.call_cost = true;
    options.lan = {"ndi-monitor --connect 192.168.5.20 --wait 30 --quiet --summary-format kv"};
    board_run run(options);
    const pid_t program = run.program();

    pipeline_result result;
    result.config = config;
    if (!wait_showing(config.label() + ", warming up", config.warm_up))
        throw std::runtime_error("interrupted");
    const std::vector<thread_time> start = read_thread_times(program);
    result.window_start_ns = wall_clock_ns();
    const auto started = std::chrono::steady_clock::now();
    if (!wait_showing(config.label() + ", measuring", config.seconds))
        throw std::runtime_error("interrupted");
    const std::vector<thread_time> end = read_thread_times(program);
    result.window_end_ns = wall_clock_ns();
    result.window_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double load[1] = {};
    getloadavg(load, 1);
    result.load_average = load[0];
    if (run.finished())
        throw std::runtime_error("the appliance ended during the run:\n" + run.output());
    run.stop();

    thread_delta delta = thread_time_delta(start, end);
    result.core_events = read_core_log(run.file("core.log"));
    result.sends = read_send_log(run.file("send.log"));
    result.stand_in_calls = read_call_cost(run.file("call-cost.log"));
    for (thread_time& t : delta.threads)
        t.stand_in_ns = call_cost_ns(result.stand_in_calls, t.tid, "", result.window_start_ns, result.window_end_ns);
    result.threads = group_threads(program, delta.threads);
    result.vanished_threads = delta.vanished;
    result.monitor = ndi_monitor::last_summary(run.output());
    result.guest_errors = run.guest_errors();

    const int64_t a = result.window_start_ns, b = result.window_end_ns;
    result.captured = count_within(times_of(result.core_events, "vid_in", "irq"), a, b);
    result.coded = count_within(times_of(result.core_events, "ndi_enc", "irq"), a, b);
    for (const send_call& call : result.sends) {
        const int64_t captured_at = call.timecode * 100;
        if (captured_at < a || captured_at >= b)
            continue;
        if (!call.video())
            ++result.sent_audio;
        else if (call.preview())
            ++result.sent_preview;
        else
            ++result.sent_full;
    }
    return result;
}

}   // namespace bench

namespace bench {

double ffmpeg_peer_ns(const pipeline_result& result)
{
    const ndi_monitor::video_report* full = result.monitor ? result.monitor->stream(false) : nullptr;
    if (!full || full->q_last < 0)
        return -1;
    // Pictures of their own, so that a cache cannot make one picture cheap.
    const std::vector<yuv_planes> pictures = input_pictures(result.config.signal, 30);
    return ffmpeg_speedhq_ms(pictures, false, full->q_last, 120) * 1e6;
}

}   // namespace bench
