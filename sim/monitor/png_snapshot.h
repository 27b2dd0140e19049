// The last whole picture of the full stream (upper-case "SHQn"), kept as it
// was received and written as a PNG when the monitor ends: FFmpeg's SpeedHQ
// decoder, swscale to RGB (BT.709 for HD pictures, BT.601 below 720 lines,
// limited range in, full range out), FFmpeg's PNG encoder.
//
// Interlaced input arrives as field pictures. A first field (frame format
// type 2) and the second field (type 3) that follows it within one and a half
// field periods make one frame: they are woven, the first field on the even
// lines. When no such pair of the stream's current format has arrived, the
// last field alone is scaled to the frame's height.
//
// Keeping a picture copies nothing: the message body it came in is taken
// over, and a spare buffer handed back in its place for the next message.
//
// Thread rules: none; the monitor's one thread owns it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/ndi/wire.h"

namespace ndi_monitor {

class png_snapshot {
public:
    explicit png_snapshot(std::string path) : file_path(std::move(path)) {}

    // The coded picture is body[offset...]. Preview and non-SpeedHQ
    // pictures are ignored and body left alone.
    void keep(const ndi_wire::video_fields& video, std::vector<uint8_t>& body, size_t offset);

    bool has_picture() const { return whole_count > 0 || lone_field.present; }

    // Writes the file. False when there was a picture but it could not be
    // decoded or written (the reason is in error()); with no picture no file
    // is made, and that is no failure.
    bool write();

    const std::string& path() const { return file_path; }
    const std::string& error() const { return failure; }
    // After write(): "1920x1080 from two SHQ2 1920x540 fields".
    const std::string& description() const { return described; }

private:
    struct kept_picture {
        ndi_wire::video_fields video{};
        std::vector<uint8_t> body;
        size_t offset = 0;
        bool present = false;
        const uint8_t* data() const { return body.data() + offset; }
        size_t size() const { return body.size() - offset; }
    };

    static void take(kept_picture& into, const ndi_wire::video_fields& video, std::vector<uint8_t>& body,
                     size_t offset);
    static bool same_format(const ndi_wire::video_fields& a, const ndi_wire::video_fields& b);
    bool fail(const std::string& what, int av_error);

    const std::string file_path;
    kept_picture whole[2];   // a progressive picture, or the first and the second field
    int whole_count = 0;
    kept_picture lone_field;   // a field whose partner has not (yet) come
    std::string failure;
    std::string described;
};

}   // namespace ndi_monitor
