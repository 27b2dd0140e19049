#include "app/status_report.h"

void status_report::rate_meter::sample(clock::time_point now, uint64_t bytes)
{
    points.push_back({now, bytes});
    // Keep the newest point that is a window old, and everything after it.
    while (points.size() > 1 && now - points[1].when >= window)
        points.pop_front();
}

double status_report::rate_meter::mbps(clock::time_point now, uint64_t bytes) const
{
    if (points.empty())
        return 0;
    const point& from = points.front();
    const double seconds = std::chrono::duration<double>(now - from.when).count();
    if (seconds <= 0 || bytes < from.bytes)
        return 0;
    return double(bytes - from.bytes) * 8 / seconds / 1e6;
}

status_report::status_report(sources_t from) : sources(std::move(from)) {}

void status_report::sample(clock::time_point)
{
}

status_snapshot status_report::take(clock::time_point, uint64_t replies_dropped) const
{
    status_snapshot snapshot;
    if (sources.video) {
        snapshot.video = true;
        sources.video->get_status(snapshot.signal);
    }
    if (sources.sender) {
        snapshot.receivers = sources.sender->receivers();
        snapshot.tally = sources.sender->tally();
    }
    snapshot.replies_dropped = replies_dropped;
    return snapshot;
}

