// A video encoder core (one of up to four, register blocks 0, 64, 128 and
// 192, all on interrupt 0). Started with 1 in lane 0 of register 0, it reads
// the picture programmed in registers 3 to 8 from raw video memory and codes
// the slices that its control word names as SpeedHQ slices into its share
// of the output chunk (speedhq_coder).
//
// Registers:
//   0   the job handshake of job_core: 1 in lane 0 starts, a word write of 0
//       stops; lane 2 enables the events, 0xC0 in lane 3 clears them
//   2   table port: regs::quant_word(slot, entry, value) loads one of the 64
//       entries (raster order) of one of the core's own eight slots; the
//       core holds 16-bit values
//   3   control word, regs::encoder_control: table slot, first and last
//       slice (of 4), 4:2:0 source, 4:2:2 width not a multiple of 64
//   4   physical address of the source picture (never translated)
//   5   core-visible address of the core's share of the output chunk
//       (fpga::bus_to_physical gives the physical one)
//   6   coded width: a multiple of 16, of 64 for 4:2:0, at most 4096
//   7   height, 1 to 4096 (at least 2 for 4:2:0)
//   8   line pitch of the source
//   11 + s  read: length in bytes of slice s as coded by this core
//   15  read: 1, the core is present
//
// Output: the slices one after another from the share's start, each a
// SpeedHQ slice (24-bit little-endian length that counts itself, then the
// bit-stream of macroblock rows s, s + 4, ...) padded with zero bytes to a
// multiple of 4, so that the next one starts word-aligned; the length word
// and the reported length both include the padding. The share holds
// regs::encoder_slice_room bytes for each slice the core codes (the rule by
// which the program carves its chunks). A real core never writes beyond its
// share: a slice that does not fit is cut at the share's end and reported
// with the length it needed, at least the share plus 4 bytes, so that the
// overflow shows against the share; the core's later slices of that picture
// are not coded and report 0.
//
// Interrupt: the cores share one line. It is asserted while a core has
// events pending and enabled, no core of the group is still coding, and the
// cores with events pending have coded all four slices of the picture
// between them: so it rises once every started core has finished, and a
// core that finishes before the program has started the others (a model's
// coding can be quick, a program's thread preempted) does not raise it
// early. It falls when the events are cleared.
//
// Time: a core codes 200 million pixels a second (one pixel a clock at
// 200 MHz: a 1080p picture in 10.4 ms on one core, 2.6 ms on four), counted
// over the macroblock rows of its slices; see job_core for the clock modes.
//
// Guest errors (each refuses the start; the core then finishes at once with
// all slice lengths 0): a start without a programmed picture (registers 3
// to 8 not all written since reset), with a table slot not fully loaded, a
// width, height or line pitch the core cannot code, a source or output
// outside memory, a control word with reserved bits or bad slices; also a
// table-port word for a slot above 7 or a value above 16 bits, and a write
// to a register the core does not have or a read-only one (the register
// map refuses those). Table-port words without bit 31 are reported as
// unimplemented.
//
// Fault injection for tests, the board setting "encoder_fault":
//   KIND[:CORE[:EVERY]]   KIND hang or overflow, CORE 0-3 (default 0),
//                          EVERY n: starts n, 2n, ... of that core (default 1)
// hang: the start never finishes (the core stays busy, ignoring starts,
// until stopped with a word write of 0); overflow: the core codes as usual
// but reports its first slice as its share plus 4 bytes long.
//
// All state is guarded by the board's mutex, except the coder, which only
// the core's worker uses.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hw/registers.h"
#include "sim/cores/speedhq_coder.h"
#include "sim/fpga/job_core.h"

namespace vfpga {

class encoder_core;

// The cores that share the encoder interrupt.
class encoder_group {
public:
    void join(const encoder_core* core) { cores.push_back(core); }
    // No core codes, and those with events pending coded the whole picture.
    bool picture_done() const;

private:
    std::vector<const encoder_core*> cores;
};

struct encoder_fault {
    enum class kind { none, hang, overflow };
    kind what = kind::none;
    unsigned core = 0;
    uint64_t every = 1;

    // The board setting; throws std::runtime_error on a bad one.
    static encoder_fault parse(const std::string& text, int cores);
};

class encoder_core : public job_core {
public:
    static constexpr uint64_t pixels_per_second = 200'000'000;
    static constexpr uint32_t max_width = 4096;
    static constexpr uint32_t max_height = 4096;

    encoder_core(fpga& host, unsigned core, std::shared_ptr<encoder_group> cores);

    // The bytes the core may write for each slice it codes.
    static uint32_t slice_room(uint32_t width, uint32_t height) { return regs::encoder_slice_room(width, height); }

    bool irq_asserted() const override;
    // The slices (one bit each) of the job whose events are pending.
    uint32_t finished_slices() const { return events_pending() ? coded_slices : 0; }
    // Power-on state: registers, tables and slice lengths cleared, nothing
    // programmed, no job.
    void reset() override;

protected:
    task begin(const job& started) override;
    void write_other(unsigned reg, uint32_t value, uint32_t mask) override;

private:
    static constexpr unsigned slots = regs::encoder_table_slots;
    static constexpr unsigned slices = regs::encoder_slices;

    // What a checked start codes.
    struct coding {
        coder_picture picture;
        uint8_t* out = nullptr;   // the share
        uint32_t share = 0;
        unsigned first = 0, last = 0;
        std::array<uint16_t, regs::encoder_table_entries> table{};
        bool overflow_fault = false;
    };
    // Reports what is wrong with a start; nullopt when it is refused.
    std::optional<coding> check(const std::vector<uint32_t>& registers);
    void load_table_entry(uint32_t word);
    // Registers 11 to 14.
    void report_lengths(const std::array<uint32_t, slices>& coded);

    const unsigned index;
    const std::shared_ptr<encoder_group> group;
    const encoder_fault fault;
    uint16_t tables[slots][regs::encoder_table_entries] = {};
    uint64_t loaded[slots] = {};   // entries written, one bit each
    uint32_t programmed = 0;       // registers written since reset, one bit each
    uint32_t coded_slices = 0;     // of the last job, one bit each
    uint64_t starts = 0;
    speedhq_coder coder;   // the worker's
};

}   // namespace vfpga
