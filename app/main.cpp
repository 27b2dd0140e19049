// The appliance's resident program: makes the long-lived objects in order,
// serves the control pipe, and releases everything in order on "exit".
#include <malloc.h>

#include <cstdio>
#include <exception>
#include <memory>

#include "app/control_pipe.h"
#include "app/options.h"
#include "app/stop_signals.h"
#include "audio/audio_capture.h"
#include "audio/audio_compress.h"
#include "base/debug_log.h"
#include "base/file_descriptor.h"
#include "base/utilities.h"
#include "hw/hardware.h"
#include "ndi/network_send.h"
#include "ptz/ptz.h"
#include "video/track.h"
#include "video/video_capture.h"
#include "video/video_compress.h"

namespace {

// Coded pictures of a few hundred KB are allocated and freed at the picture
// rate, by different threads. With glibc's defaults the freed pages go back
// to the kernel and are faulted in again for the next picture, some fifteen
// faults a picture. Fixed limits keep them: pictures come from the heap
// (below the largest mmap threshold the platform accepts) and a heap keeps
// up to 16 MiB free at its top.
void keep_picture_pages()
{
    if (!mallopt(M_MMAP_THRESHOLD, 4 << 20))
        mallopt(M_MMAP_THRESHOLD, 512 << 10);   // a 32-bit heap's limit
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
}

// The long-lived objects of the program, each held by shared ownership.
struct appliance {
    std::shared_ptr<hardware> hw;
    std::unique_ptr<platform_info> platform;
    std::shared_ptr<network_send> sender;
    std::shared_ptr<ptz> camera_control;
    std::shared_ptr<video_compress> video_out;
    std::shared_ptr<video_capture> video_in;
    std::shared_ptr<audio_compress> audio_out;
    std::shared_ptr<audio_capture> audio_in;
    std::shared_ptr<track> tracker;
    status_report::sources_t status{};
};

// The hardware, its platform named in the log, and every bus address given
// to a core translated from here on; false when it is not ready.
bool open_hardware(appliance& a)
{
    a.hw = std::make_shared<hardware>();
    if (!a.hw->is_ready()) {
        fprintf(stderr, "Could not initialize hardware\n");
        return false;
    }
    a.platform = std::make_unique<platform_info>(a.hw->get_platform_info());
    debug_print(3, "Platform: %s\n", a.platform->name.c_str());
    debug_print(3, "Version : %i.%i.%i\n", a.platform->major, a.platform->minor, a.platform->patch);
    debug_print(3, "Date    : %08x\n", a.platform->date);
    a.hw->translate_addresses = true;
    return true;
}

// The compressor, then the capture that feeds it, whose thread resets the
// input cores and waits for start().
void make_video_path(appliance& a, const options& opts)
{
    a.video_out = std::make_shared<video_compress>(a.hw, a.sender);
    a.video_in = std::make_shared<video_capture>(a.hw, 0, a.video_out, &opts.full_only);
    a.video_in->start_thread();
}

// The sender, then the capture, switched on as the control pipe reads it.
void make_audio_path(appliance& a)
{
    a.audio_out = std::make_shared<audio_compress>(a.hw, a.sender);
    a.audio_in = std::make_shared<audio_capture>(a.hw, a.audio_out);
    audio_config config{};
    a.audio_in->get_config(config);
    config.enabled = true;
    a.audio_in->set_config(config);
}

// Opens the compressors' inputs and starts the video capture; each capture
// keeps its compressor alive from here on.
void start_paths(appliance& a, const options& opts)
{
    a.status.video_out = a.video_out;
    a.status.audio_out = a.audio_out;
    if (opts.video) {
        a.video_out->enable();
        a.video_out.reset();
        a.video_in->start();
    }
    if (opts.audio) {
        a.audio_out->enable();
        a.audio_out.reset();
    }
}

// Makes everything after the hardware, in order. Making takes a while on a
// busy board: a stop signal that comes meanwhile ends the making after the
// object at hand (false), and release() lets go of what was made.
bool make_objects(appliance& a, const options& opts, const char* capabilities)
{
    a.sender = std::make_shared<network_send>(ndi_configuration(), capabilities, "PTZ");
    if (stop_requested())
        return false;
    a.camera_control = std::make_shared<ptz>(a.sender, program_version);
    a.status.sender = a.sender;
    a.status.camera = a.camera_control;
    if (stop_requested())
        return false;
    if (opts.video) {
        make_video_path(a, opts);
        if (stop_requested())
            return false;
    }
    if (opts.audio) {
        make_audio_path(a);
        if (stop_requested())
            return false;
    }
    if (opts.video)
        a.tracker = std::make_shared<track>(a.hw, a.video_in, a.audio_in);
    start_paths(a, opts);
    return true;
}

// Lets go of the objects in the order that stops each thread while what it
// feeds still exists: the network sender and the hardware last.
void release(appliance& a)
{
    a.video_out.reset();   // still held only when a stop cut the making short
    a.audio_out.reset();
    a.video_in.reset();
    a.audio_in.reset();
    a.tracker.reset();
    a.camera_control.reset();
    a.sender.reset();
    a.platform.reset();
    a.hw.reset();
}

int run(int argc, char** argv)
{
    // From here on SIGTERM and SIGINT are taken only where the main thread
    // waits (for the supervisor's pipes, for a command); every thread made
    // below inherits them blocked.
    install_stop_signals();
    options opts;
    const auto status_now = parse_options(argc, argv, opts);
    // The supervisor's pipes are held until the very end: the supervisor
    // sees them close only once everything else has gone.
    const file_descriptor command_pipe(opts.command_fd);
    const file_descriptor reply_pipe(opts.reply_fd);
    if (status_now)
        return *status_now;
    if (stop_requested())
        return 0;   // stopped while waiting for the supervisor's pipes
    keep_picture_pages();

    char capabilities[capabilities_size] = {};
    make_capabilities(true, capabilities);

    appliance a;
    if (!open_hardware(a))
        return 0;
    if (make_objects(a, opts, capabilities))
        do_command(a.video_in, a.audio_in, opts.command_fd, opts.reply_fd, std::move(a.status));
    release(a);
    return 0;
}

}   // namespace

int main(int argc, char** argv)
{
    // A failed start ends with its message and status 1, without a core dump,
    // so that a supervisor can tell it from a clean stop.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
