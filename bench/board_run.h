// One run of the appliance on the virtual board, as a benchmark drives it:
// virtual-board with a board root and records of its own in a scratch
// folder, the program's pid once it runs, and a stop as a service manager
// would make it (SIGTERM). Everything the run made is removed with it.
//
// Thread rules: one owner thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

struct board_run_options {
    std::string signal = "1080p59.94";
    int encoders = 4;
    bool core_log = false;        // core.log: core starts and interrupts
    bool send_log = false;        // send.log: the program's NDI send calls
    bool call_cost = false;       // call-cost.log: the stand-in libraries' calls, sampled
    bool camera_timing = false;   // camera.log: what the camera read and answered
    // Shell commands run on the LAN once the appliance is up; they find the
    // run's folder (file()) in $BENCH_RUN_DIR.
    std::vector<std::string> lan;
    std::vector<std::string> program;   // ndi-encoder's own options
};

class board_run {
public:
    // Throws std::runtime_error when virtual-board cannot be started.
    explicit board_run(const board_run_options& options);
    ~board_run();
    board_run(const board_run&) = delete;
    board_run& operator=(const board_run&) = delete;

    // The folder of the bench programs, virtual-board and the other tools.
    static std::string tool_dir();

    // The program's pid, waiting for it to start (throws after 30 s, or
    // when virtual-board ends first).
    pid_t program();
    // A file of the run: "core.log", "send.log", "camera.log",
    // "guest-errors", "output" (standard output and error of everything
    // virtual-board ran), or one of a tool's own.
    std::string file(const std::string& name) const { return scratch + "/" + name; }
    const std::string& root() const { return board_root; }

    // virtual-board has ended (its status is then kept).
    bool finished();
    // SIGTERM, then waits: virtual-board stops the program, which writes
    // its records as it goes. Returns the exit status.
    int stop();
    // Waits for virtual-board to end by itself (when its LAN commands end).
    int wait();
    std::string output() const;
    // The core models' guest errors so far: register writes the real cores
    // would refuse, which make a measurement worthless.
    std::string guest_errors() const;

private:
    std::string scratch;
    std::string board_root;
    pid_t launcher = -1;
    pid_t program_pid = -1;
    int status = -1;
};

// A benchmark's start: unless this process may make network namespaces
// (root), says so and ends with status 77; then catches Ctrl-C
// (progress.h).
void prepare_to_run_boards(const char* program);

}   // namespace bench
