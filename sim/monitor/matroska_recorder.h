// Records what a receiver gets into a Matroska file through libavformat:
// audio as 32-bit PCM, each video format as its own SpeedHQ track. The codec
// tag is the sender's four-character code in the upper-case form decoders
// know ("shq2" is tagged SHQ2), and the track's title is the code exactly as
// sent, so the full and the preview stream stay apart. Times come from the
// NDI timecodes (100 ns units), counted from the earliest one recorded.
// Matroska keeps times in milliseconds, and a track's times must go
// forward, so two pictures stamped within one millisecond (a capture that
// catches up after a stall) are written a millisecond apart. The exact
// timecode of every video packet goes to FILE.timecodes beside the file,
// one line per packet in the order written: the track's index in the file
// and the timecode. A reader that pairs a preview with its full picture by
// timecode needs them exact.
// Interlaced input arrives as field pictures (NDI frame format types 2 and
// 3, each coded on its own): each field is a picture of its track, timed by
// its own timecode at the field rate that the sender gives, and the track
// says which field its first picture is, so that a reader can weave them.
//
// A Matroska header lists every track, so the first hold_time of media is
// held back to learn which streams there are; a stream that first appears
// after that is counted and left out. Audio whose rate or channel count
// differs from the first audio block's is left out likewise.
//
// Thread rules: none; the monitor's one thread owns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sim/ndi/wire.h"

struct AVFormatContext;
struct AVStream;

namespace ndi_monitor {

class matroska_recorder {
public:
    using clock = std::chrono::steady_clock;

    explicit matroska_recorder(std::string path, std::chrono::milliseconds hold_time = std::chrono::milliseconds(1000));
    ~matroska_recorder();

    matroska_recorder(const matroska_recorder&) = delete;
    matroska_recorder& operator=(const matroska_recorder&) = delete;

    void add_video(const ndi_wire::video_fields& video, const uint8_t* data, size_t size,
                   clock::time_point now = clock::now());
    void add_audio(const ndi_wire::audio_fields& audio, const uint8_t* data, size_t size,
                   clock::time_point now = clock::now());

    // Starts the file once the hold time has passed; call now and then.
    void tick(clock::time_point now = clock::now());

    // Writes what is held and the trailer. False when the file could not be
    // written (the reason is in error()). With nothing received no file is
    // made, and that is no failure.
    bool finish();

    const std::string& path() const { return file_path; }
    const std::string& error() const { return failure; }
    uint64_t packets_written() const { return written; }
    uint64_t packets_left_out() const { return left_out; }
    bool recorded_anything() const { return header_written; }
    std::string describe_tracks() const;   // "audio pcm_s32le 48000 Hz 2 ch, video SHQ2 1920x1080"

private:
    // What makes a track: audio, or one video code at one size.
    struct track_key {
        bool audio = false;
        uint32_t fourcc = 0;
        int32_t width = 0;
        int32_t height = 0;
        auto operator<=>(const track_key&) const = default;
    };
    struct track {
        AVStream* stream = nullptr;
        ndi_wire::video_fields video{};   // first picture, for the codec parameters
        ndi_wire::audio_fields audio{};   // first block
        int64_t last_dts = INT64_MIN;     // in the stream's time base
        // Pictures of the stream come every rate_divisor-th period of the
        // rate they are sent with: a preview that rides with every second
        // picture is described with the input's rate.
        int rate_divisor = 1;
    };
    struct held_packet {
        track_key key;
        int64_t timecode;
        int64_t duration_100ns;
        std::vector<uint8_t> data;
    };

    void add(const track_key& key, int64_t timecode, int64_t duration_100ns, const uint8_t* data, size_t size,
             clock::time_point now);
    bool start_file();
    // The rate divisor of a video track, from the pictures held back.
    int cadence(const track_key& key, const ndi_wire::video_fields& video) const;
    bool write_packet(const track_key& key, int64_t timecode, int64_t duration_100ns, const uint8_t* data, size_t size);
    void fail(const std::string& what, int av_error);

    const std::string file_path;
    const std::chrono::milliseconds hold_time;
    AVFormatContext* context = nullptr;
    std::FILE* timecodes = nullptr;   // FILE.timecodes
    bool started = false;
    bool header_written = false;
    bool finished = false;
    bool failed = false;
    std::string failure;
    clock::time_point first_arrival{};
    bool any_arrival = false;
    int64_t base_timecode = 0;
    std::map<track_key, track> tracks;
    std::deque<held_packet> held;
    uint64_t written = 0;
    uint64_t left_out = 0;
};

}   // namespace ndi_monitor
