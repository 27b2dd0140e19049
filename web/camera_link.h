// The camera as a local process reaches it: VISCA-over-IP datagrams to the
// program's loop port (127.0.0.1:52385, camera address 2), replies on
// 127.0.0.1:52386, matched to their command by sequence number.
//
// Drives (pan-tilt, zoom) are held: a page repeats its drive while the
// button is down, and a drive that no page has repeated for drive_lease is
// stopped here, so that a closed page or a lost connection never leaves the
// camera moving.
//
// Called from the HTTP thread (commands) and the main thread (replies,
// lease checks); its owner (web_state) holds the lock around every call.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "base/file_descriptor.h"

class camera_link {
public:
    static constexpr double drive_lease = 0.8;    // seconds a drive stays without being held again
    static constexpr double reply_within = 3.0;   // then a command is marked "no reply"
    static constexpr size_t log_size = 32;

    using bytes = std::vector<uint8_t>;

    struct command {
        uint64_t id = 0;
        uint32_t sequence = 0;
        std::string name;
        std::string state;   // "sent", "acknowledged", "completed", "error ...", "no reply", "not sent"
        double sent = 0;
        double settled = 0;   // when it completed or failed
    };

    // Binds the reply port on 127.0.0.1; throws when it cannot.
    camera_link(uint16_t camera_port, uint16_t reply_port);

    int descriptor() const { return socket.get(); }

    // Sends one VISCA message (camera address 2 included); its id.
    uint64_t send(const std::string& name, const bytes& visca, double now);

    // A drive of kind ("pan-tilt", "zoom") held by a page: sent when it
    // differs from the one under way, otherwise only its lease renewed.
    uint64_t hold_drive(const std::string& kind, const std::string& name, const bytes& drive, const bytes& stop,
                        double now);
    // Stops the drive of kind at once (a released button).
    uint64_t release_drive(const std::string& kind, double now);

    // Reads the replies that have come; marks commands that never got one.
    void receive(double now);
    // Stops drives nobody holds any more; true while a drive is under way.
    bool check_drives(double now);
    // When check_drives next has something to do (seconds from the epoch),
    // or a negative number when nothing waits.
    double next_deadline() const;

    std::string log_json() const;

private:
    struct drive {
        std::string kind;
        bytes moving, stop;
        double held_until = 0;
    };

    command& record(const std::string& name, double now);

    file_descriptor socket;
    uint16_t camera_port;
    uint32_t next_sequence = 1;
    uint64_t next_id = 1;
    std::deque<command> log;
    std::vector<drive> drives;
};

// The messages the page sends, camera address 2 (0x82) first.
namespace visca_commands {
// pan, tilt: -1, 0 or 1 (left/down, none, right/up); speed 1..24 (tilt up to 23).
camera_link::bytes pan_tilt(int pan, int tilt, int speed);
camera_link::bytes pan_tilt_stop();
// direction 1: in (tele), -1: out (wide); speed 0..7.
camera_link::bytes zoom(int direction, int speed);
camera_link::bytes zoom_stop();
camera_link::bytes home();
// preset 1..8 is camera memory 0..7.
camera_link::bytes preset_recall(int preset);
camera_link::bytes preset_store(int preset);
camera_link::bytes white_balance_one_push_mode();
camera_link::bytes white_balance_one_push_trigger();
}   // namespace visca_commands
