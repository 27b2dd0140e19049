// What video_capture hands to its compressor. The capture tests link this
// stand-in for video_compress in place of the real one, so that they see
// every pair as it was pushed, neither queued nor coded nor dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "video/video_capture.h"

class pushed_pairs {
public:
    using pair_ptr = std::shared_ptr<video_capture::frame_pair_t>;

    static pushed_pairs& log();

    void clear();
    std::vector<pair_ptr> pairs();
    // Waits until at least count pairs were pushed; false after limit.
    bool wait_for(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // One letter a pair: P with a preview, - without.
    std::string previews();

    void record(pair_ptr pair);

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<pair_ptr> pushed;
};
