// A compressor that keeps every pair video_capture hands it, neither queued
// nor coded nor dropped: the product's own, whose input is never opened,
// with the one call the capture makes overridden.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "video/video_capture.h"
#include "video/video_compress.h"

class pushed_pairs : public video_compress {
public:
    using pair_ptr = std::shared_ptr<video_capture::frame_pair_t>;

    explicit pushed_pairs(std::shared_ptr<::hardware> hardware) : video_compress(std::move(hardware), nullptr) {}

    void push_frame(pair_ptr pair) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (pair)
            pushed.push_back(std::move(pair));
    }

    std::vector<pair_ptr> pairs()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return pushed;
    }

    // One letter a pair: P with a preview, - without.
    std::string previews()
    {
        std::string letters;
        for (const auto& pair : pairs())
            letters += pair->preview ? 'P' : '-';
        return letters;
    }

private:
    std::mutex mutex;
    std::vector<pair_ptr> pushed;
};
