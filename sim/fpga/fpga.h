// The virtual programmable logic: the ndi_regs register window routed to the
// core models, the interrupt lines of the userspace-I/O devices, and the
// physical memory (the board root's memory file) that the cores reach by DMA.
//
// One mutex guards the whole board: bus accesses from the program's threads,
// the models' worker threads and the levels of the interrupt lines all take
// it, so a model sees one access at a time, as on a real bus. A wait for an
// interrupt does not.
//
// The board setting "core_log" names a file that gets, when the board goes,
// one line for every start of a core (1 written to lane 0 of its register
// 0) and every rise of an interrupt line, on the wall clock:
//     1712345678.123456789 vid_in irq
//     1712345678.123498765 encoder0 start 4242 1037
// A start also names the thread that wrote it and that thread's calls into
// the bus side so far, the start's own included (register reads and writes,
// interrupt enables and waits): two starts of one thread whose counts differ
// by one were written back to back, with no call between them, however far
// apart their times (a host that held the thread between them).
// The events are kept in memory until then, so that recording them costs
// the thread that caused them next to nothing.
//
// The board setting "register_log" names a file that gets a line for every
// register access, on the board's clock, as it happens:
//        0.016683 read  reg 0x200 lane 0 word 0x00c00001
//        0.016690 write reg 0x202 lane 0 word 0x01000000
//        0.016702 write reg 0x200 lane 0 byte 0x01
// and "guest_errors" a file that gets a line for every guest error and
// every access to something no model models ("unimplemented: ..."),
// appended, so that one file gathers the errors of several runs.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/owned_file.h"
#include "hw/soc.h"
#include "sim/fpga/board_config.h"
#include "sim/fpga/core_model.h"
#include "sim/fpga/irq_line.h"
#include "sim/fpga/model_clock.h"
#include "sim/fpga/video_signal.h"

namespace vfpga {

// One register access as the bus saw it.
struct reg_write {
    uint32_t offset;   // byte offset in the window
    uint32_t value;    // the byte or the word written or read
    uint8_t width;     // 1 or 4

    uint32_t index() const { return offset / 4; }   // window register index
    unsigned lane() const { return offset % 4; }
};

// Unmaps the board's memory when the board goes.
struct memory_unmapper {
    size_t length = 0;
    void operator()(uint8_t* at) const;
};

class fpga {
public:
    // memory_file: the sparse file that stands in for physical memory
    // (empty: anonymous memory of the configured size, for tests).
    fpga(board_config config, const std::string& memory_file);
    ~fpga();
    fpga(const fpga&) = delete;
    fpga& operator=(const fpga&) = delete;

    // The board of this process: the one a test installed, else the one
    // described by board.conf in the board root (base/board_root.h), else
    // none.
    static std::shared_ptr<fpga> current();
    static void install(std::shared_ptr<fpga> board);
    static void uninstall();

    const board_config& config() const { return board; }
    model_clock& clock() { return time; }
    bool device_present(const std::string& name) const;

    // Bus side (takes the mutex).
    uint32_t read32(uint32_t offset);
    uint8_t read8(uint32_t offset);
    void write32(uint32_t offset, uint32_t value);
    void write8(uint32_t offset, uint8_t value);

    // Interrupts. wait returns false on timeout; a null timeout waits
    // without limit. seen is the waiter's last count.
    void enable_irq(int irq);
    bool wait_irq(int irq, uint32_t& seen, const struct timeval* timeout);
    uint32_t irq_count(int irq);

    // Model side, with the mutex held.
    std::mutex& mutex() { return bus; }
    void update_irq(int irq);
    // A register used in a way the real core would refuse; one line in
    // the board setting "guest_errors", on standard error and in
    // guest_errors().
    void report_guest_error(const std::string& text);
    // An access to something no model models (yet), or to a register no
    // core of the board has: listed with the guest errors as
    // "unimplemented: ...", so that a program relying on it fails its tests
    // instead of reading a made-up 0. (The blocks of cores the board lacks
    // read 0 and drop writes without a word, as such a board does.)
    void report_unimplemented(const std::string& text);
    // The video signal at the input; set_input tells every model.
    const video_signal& input() const { return input_signal; }
    void set_input(const video_signal& signal);

    // Physical memory as DMA sees it; null (and a guest error) when the range
    // lies outside the board's memory.
    uint8_t* dma(uint64_t physical, size_t length);
    // A core-side address back to physical (the Altera bridge sets bit 31).
    uint32_t bus_to_physical(uint32_t bus_address) const;

    // Tests: the models, the write log (with keep_writes), the clock.
    template <class T>
    T* model()
    {
        for (auto& m : models)
            if (auto* found = dynamic_cast<T*>(m.get()))
                return found;
        return nullptr;
    }
    std::vector<reg_write> writes();
    void clear_writes();
    // Sets a register no model owns, as logic the board has no model for
    // would show it (a presence word, say); a bus write there is dropped.
    void set_unowned(uint32_t index, uint32_t value);
    std::vector<std::string> guest_errors();
    // Advances a stepped clock and lets the models run.
    void step(model_clock::duration step);
    // Wakes the models after a change made from outside the bus.
    void notify_models();
    // The same with the mutex held.
    void wake_models();

    // Resets the model and routes its registers to it.
    void add_model(std::unique_ptr<core_model> model);

private:
    struct core_event {
        int64_t realtime_ns;
        const char* source;   // a model's name or a device's
        const char* what;     // start_event or "irq"
        pid_t thread;         // the thread that caused it
        uint64_t call;        // that thread's bus calls so far
    };
    static constexpr const char* start_event = "start";

    core_model* owner(uint32_t index, unsigned& reg);
    uint32_t load(uint32_t offset, uint8_t width);
    void store(uint32_t offset, uint32_t value, uint32_t mask, uint8_t width);
    // Whether the bus answers for a register no model owns without a word:
    // the identification words, and the blocks of cores the board lacks.
    bool answers_unowned(uint32_t index) const;
    // A line in the register log.
    void trace(const char* direction, const reg_write& access);
    void log_error(const std::string& line);
    void note(const char* source, const char* what);
    void write_core_log();

    static constexpr size_t write_log_limit = 1 << 20;

    using memory_mapping = std::unique_ptr<uint8_t, memory_unmapper>;
    static memory_mapping map_memory(const std::string& memory_file, size_t length);

    const board_config board;
    // Declared before the models, whose workers write into it.
    memory_mapping memory;
    owned_file register_log;      // board setting "register_log": every access as text
    owned_file guest_error_log;   // board setting "guest_errors": appended, one a line
    owned_file core_log;          // board setting "core_log"
    model_clock time;
    std::mutex bus;
    std::vector<uint32_t> plain;   // registers no model owns
    std::vector<std::unique_ptr<core_model>> models;
    std::vector<core_model*> owners;               // per window register
    std::array<irq_line, soc::core_count> lines;   // by core number
    std::deque<reg_write> write_log;
    std::vector<std::string> errors;
    video_signal input_signal;
    std::vector<core_event> core_events;
    bool models_started = false;
};

// Builds the core models of a board (one line per model kind).
void build_models(fpga& board);
// Throws std::runtime_error for a model setting the models would refuse, so
// that a launcher can say so before anything runs.
void check_model_settings(const board_config& config);

}   // namespace vfpga
