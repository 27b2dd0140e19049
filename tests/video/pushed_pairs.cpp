#include "tests/video/pushed_pairs.h"

#include "video/video_compress.h"

pushed_pairs& pushed_pairs::log()
{
    static pushed_pairs the_log;
    return the_log;
}

void pushed_pairs::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    pushed.clear();
}

std::vector<pushed_pairs::pair_ptr> pushed_pairs::pairs()
{
    std::lock_guard<std::mutex> lock(mutex);
    return pushed;
}

bool pushed_pairs::wait_for(size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return pushed.size() >= count; });
}

std::string pushed_pairs::previews()
{
    std::string letters;
    for (const auto& pair : pairs())
        letters += pair->preview ? 'P' : '-';
    return letters;
}

void pushed_pairs::record(pair_ptr pair)
{
    std::lock_guard<std::mutex> lock(mutex);
    pushed.push_back(std::move(pair));
    changed.notify_all();
}

// The stand-in compressor: what video_capture calls of it.
video_compress::video_compress(std::shared_ptr<::hardware> hardware, std::shared_ptr<::network_send> network)
    : hw(std::move(hardware)), sender(std::move(network))
{
}

video_compress::~video_compress() = default;

void video_compress::enable() {}

void video_compress::push_frame(std::shared_ptr<video_capture::frame_pair_t> pair)
{
    if (pair)
        pushed_pairs::log().record(std::move(pair));
}
