// The input-signal tracker: watches the tracking core vid_track, turns its
// status word into a signal_info and hands it to the video capture, which
// does everything a new format requires. The tracker only detects, prints
// and publishes; it keeps no previous reading.
//
// Threads: the "track" thread owns the detection passes (read_signal). The
// owning thread constructs and destroys the object; running is the only
// member both touch after construction.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "video/signal_info.h"

class hardware;
class video_capture;
class audio_capture;

class track {
public:
    // Starts the tracking thread, which publishes the first description at
    // once. video may be empty; audio is only kept alive (main's teardown
    // relies on the tracker being the last holder of both captures).
    track(std::shared_ptr<::hardware> hardware, std::shared_ptr<video_capture> video,
          std::shared_ptr<audio_capture> audio);
    // Stops the thread within one 100 ms wait, then lets go of audio, video
    // and hardware, in that order.
    ~track();
    track(const track&) = delete;
    track& operator=(const track&) = delete;

    // One decoded status word: the description and the whole-number rate the
    // signal line shows (59 for 59.94, 23 for 23.976).
    struct reading_t {
        signal_info signal;
        int printed_rate = 0;
    };
    static reading_t decode(uint32_t status);

    // One detection pass: read, decode, print the signal line, publish.
    // Called by the tracking thread only.
    void read_signal();

private:
    void track_signal();   // body of the "track" thread

    // Declared in reverse order of release: the destructor joins the thread
    // first, then audio, video and hardware go as members are destroyed.
    std::shared_ptr<::hardware> hardware;
    std::shared_ptr<video_capture> video;
    std::shared_ptr<audio_capture> audio;
    std::thread thread;
    std::atomic<bool> running{false};
};
