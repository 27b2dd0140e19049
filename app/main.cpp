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

    auto hw = std::make_shared<hardware>();
    if (!hw->is_ready()) {
        fprintf(stderr, "Could not initialize hardware\n");
        return 0;
    }
    auto platform = std::make_unique<platform_info>(hw->get_platform_info());
    debug_print(3, "Platform: %s\n", platform->name.c_str());
    debug_print(3, "Version : %i.%i.%i\n", platform->major, platform->minor, platform->patch);
    debug_print(3, "Date    : %08x\n", platform->date);
    hw->translate_addresses = true;

    std::shared_ptr<network_send> sender;
    std::shared_ptr<ptz> camera_control;
    std::shared_ptr<video_compress> video_out;
    std::shared_ptr<video_capture> video_in;
    std::shared_ptr<audio_compress> audio_out;
    std::shared_ptr<audio_capture> audio_in;
    std::shared_ptr<track> tracker;
    status_report::sources_t status{};

    // Making everything takes a while on a busy board: a stop signal that
    // comes meanwhile ends the making after the object at hand, and the
    // teardown below releases what was made.
    const bool made = [&] {
        sender = std::make_shared<network_send>(ndi_configuration(), capabilities, "PTZ");
        if (stop_requested())
            return false;
        camera_control = std::make_shared<ptz>(sender, program_version);
        status.sender = sender;
        status.camera = camera_control;
        if (stop_requested())
            return false;

        if (opts.video) {
            video_out = std::make_shared<video_compress>(hw, sender);
            video_in = std::make_shared<video_capture>(hw, 0, video_out, &opts.full_only);
            video_in->start_thread();
            if (stop_requested())
                return false;
        }
        if (opts.audio) {
            audio_out = std::make_shared<audio_compress>(hw, sender);
            audio_in = std::make_shared<audio_capture>(hw, audio_out);
            audio_config config{};
            audio_in->get_config(config);
            config.enabled = true;
            audio_in->set_config(config);
            if (stop_requested())
                return false;
        }
        if (opts.video)
            tracker = std::make_shared<track>(hw, video_in, audio_in);

        status.video_out = video_out;
        status.audio_out = audio_out;
        if (opts.video) {
            video_out->enable();
            video_out.reset();   // the capture keeps it alive
            video_in->start();
        }
        if (opts.audio) {
            audio_out->enable();
            audio_out.reset();   // the audio capture keeps it alive
        }
        return true;
    }();

    if (made)
        do_command(video_in, audio_in, opts.command_fd, opts.reply_fd, std::move(status));

    video_out.reset();   // still held only when a stop cut the making short
    audio_out.reset();
    video_in.reset();
    audio_in.reset();
    tracker.reset();
    camera_control.reset();
    sender.reset();
    platform.reset();
    hw.reset();
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
