// The register map of the programmable-logic cores, declared once and used
// by the program and by the virtual board's core models alike.
//
// A register is named by its core's block (the core's first register index
// in the 64 KiB ndi_regs window) and a register number within the block.
// Byte lane 0 is the least significant byte of a 32-bit register.
//
// Each core kind's registers stand in one table at the end of this file
// (core_map): which registers the core decodes, what the bus may do with
// each, how many bits it holds and its value after reset. The program keeps
// to the tables; the virtual cores refuse anything else as a guest error.
// The event lanes of register 0 are "write 0xC0 to clear": the bits read
// back are cleared by writing them. The other facts of the board (its
// devices, memory, platforms) are in hw/soc.h.
#pragma once

#include <cstdint>
#include <span>

namespace regs {

// Register 0 of every core: control in, state and events out. Reads return
// the state in bits 0-1 and the events in lane 3, not what was written.
constexpr unsigned control = 0;
constexpr unsigned lane_command = 0;   // write 1 arms a capture core or starts an encoder, 0x80 resets
constexpr unsigned lane_mode = 1;      // format code / preview mode / audio control byte; field bit on read
constexpr unsigned lane_enable = 2;    // 0xC0 enables the core's events
constexpr unsigned lane_events = 3;    // read: pending event bits; write 0xC0 to clear them

constexpr uint8_t command_arm = 1;
constexpr uint8_t command_reset = 0x80;
constexpr uint8_t events_enable = 0xC0;
constexpr uint8_t events_clear = 0xC0;
constexpr uint8_t events_mask = 0xC0;

constexpr uint32_t state_mask = 0x3;   // bits 0-1 of register 0, read-only
constexpr uint32_t state_idle = 0;
constexpr uint32_t state_busy = 1;   // the state in which a second read is made

// Encoder cores 0-3, one block each, all on interrupt 0.
constexpr uint32_t encoder_block(unsigned core)
{
    return 64 * core;
}
constexpr unsigned encoder_quant_port = 2;     // quantiser-table port, write-only
constexpr unsigned encoder_control_word = 3;   // slot, slices, format, partial width
constexpr unsigned encoder_source = 4;         // physical address of the source picture
constexpr unsigned encoder_output = 5;         // core-visible address of the output share
constexpr unsigned encoder_width = 6;
constexpr unsigned encoder_height = 7;
constexpr unsigned encoder_stride = 8;
constexpr unsigned encoder_slice_length = 11;   // 11 + s: coded length of slice s, read-only
constexpr unsigned encoder_present = 15;        // non-zero when the core exists, read-only
constexpr unsigned encoder_count_max = 4;
constexpr unsigned encoder_slices = 4;   // slices of every coded picture, over all cores
constexpr unsigned encoder_table_slots = 8;
constexpr unsigned encoder_table_entries = 64;   // one per coefficient, raster order

// The output room of each slice a core codes: its share of a picture's chunk
// is this times its slices, and a core never writes beyond its share.
constexpr uint32_t encoder_slice_room(uint32_t width, uint32_t height)
{
    return (width + 16) * (height + 16) / 2;
}

// A table-port word loads one entry of one slot: bit 31 set, the slot in
// bits 26-30, the entry in bits 20-25, the value in bits 0-19.
constexpr uint32_t quant_write = 0x80000000u;
constexpr unsigned quant_slot_shift = 26;
constexpr uint32_t quant_slot_mask = 0x1F;
constexpr unsigned quant_entry_shift = 20;
constexpr uint32_t quant_entry_mask = 0x3F;
constexpr uint32_t quant_value_mask = 0xFFFFF;
constexpr uint32_t quant_word(unsigned slot, unsigned entry, uint32_t value)
{
    return quant_write | (slot & quant_slot_mask) << quant_slot_shift |
        (entry & quant_entry_mask) << quant_entry_shift | (value & quant_value_mask);
}

// The control word: table slot in bits 0-7, first and last slice the core
// codes in bits 8-11 and 12-15, bit 16 a 4:2:0 source, bit 17 a 4:2:2 width
// that is not a multiple of 64.
constexpr uint32_t control_slot_mask = 0xFF;
constexpr unsigned control_first_slice_shift = 8;
constexpr unsigned control_last_slice_shift = 12;
constexpr uint32_t control_slice_mask = 0xF;
constexpr uint32_t control_yuv420 = 1u << 16;
constexpr uint32_t control_width_partial = 1u << 17;
constexpr uint32_t encoder_control(unsigned slot, unsigned first_slice, unsigned last_slice, bool yuv420,
                                   bool width_partial)
{
    return (slot & control_slot_mask) | (first_slice & control_slice_mask) << control_first_slice_shift |
        (last_slice & control_slice_mask) << control_last_slice_shift | (yuv420 ? control_yuv420 : 0) |
        (width_partial ? control_width_partial : 0);
}

// Video input cores: stream 0 is captured by vid_in at full resolution,
// stream 1 by pvw_in scaled down.
constexpr uint32_t video_in_block = 0x200;
constexpr uint32_t preview_in_block = 0x210;
enum stream : int32_t {
    stream_full = 0,
    stream_preview = 1,
};
constexpr unsigned video_buffer = 2;           // physical address of the next buffer
constexpr uint8_t video_field_bit = 0x08;      // lane 1 of register 0 (vid_in), read: first field
constexpr uint8_t video_reset_enable = 0xC0;   // lane 2 of vid_in register 0 at start

// Audio input core.
constexpr uint32_t audio_in_block = 0x220;
constexpr unsigned audio_channel_control = 1;   // channel << 24 | mode << 16 | param
constexpr unsigned audio_buffer = 2;            // core-side address of the next block
constexpr unsigned audio_samples = 3;           // samples per channel in the block

// Signal-tracking core. Register 0 reads the status word (read-only: the
// geometry bits below and the period); lane 0 takes the control byte.
constexpr uint32_t track_block = 0x230;
constexpr uint8_t track_start = 3;         // lane 0 when the tracker starts
constexpr uint8_t track_acknowledge = 7;   // lane 0 after each interrupt
constexpr uint8_t track_stop = 0;          // lane 0 when the tracker ends
constexpr uint32_t track_1080p = 0x80;
constexpr uint32_t track_1080i = 0x40;   // reported as 1920 x 540 fields
constexpr uint32_t track_720p = 0x20;
constexpr unsigned track_period_shift = 16;   // bits 16-31: picture period in microseconds

// Identification words, read-only: the last two words of the first 4 KiB of
// the window.
constexpr uint32_t platform_id_offset = 0xFFC;   // ANDed with the window mask
constexpr uint32_t date_offset = 0xFF8;

// Interrupt lines, by core number (index of the UIO device).
enum irq : int {
    irq_encoders = 0,     // ndi_enc
    irq_video_in = 1,     // vid_in
    irq_preview_in = 2,   // pvw_in
    irq_audio_in = 3,     // aud_in
    irq_track = 4,        // vid_track
    irq_decoder = 5,      // ndi_dec
    irq_video_out = 6,    // vid_out
    irq_audio_out = 7,    // aud_out
};

// The register contract.
enum class access : uint8_t {
    read_write,
    read_only,    // a write is refused
    write_only,   // a read tells nothing the program may use
};

struct register_field {
    unsigned reg;   // number within the core's block
    const char* name;
    access how;
    uint8_t width;     // bits held from bit 0; a write setting a bit above is refused
    bool whole_word;   // only a 32-bit write is taken
    uint32_t reset;    // value after reset
};

// The registers between the first of one core's block and the next core's;
// the bus decodes a whole block for each core the logic has.
constexpr unsigned block_span = 16;

struct core_map {
    const char* device;   // the userspace-I/O device (soc::uio_devices)
    int irq;
    uint32_t block;       // first register (of encoder core 0)
    unsigned registers;   // registers the core decodes from its block
    std::span<const register_field> fields;

    // The register's entry; null for one the core does not have.
    constexpr const register_field* field(unsigned reg) const
    {
        for (const register_field& f : fields)
            if (f.reg == reg)
                return &f;
        return nullptr;
    }
};

// Register 0 as every core but the tracker has it: the command, mode,
// enable and event lanes (above); its state bits read what the core is doing.
inline constexpr register_field control_field{control, "control", access::read_write, 32, false, 0};

inline constexpr register_field encoder_fields[] = {
    control_field,
    {encoder_quant_port, "table port", access::write_only, 32, true, 0},
    {encoder_control_word, "control word", access::read_write, 32, false, 0},
    {encoder_source, "source", access::read_write, 32, false, 0},
    {encoder_output, "output", access::read_write, 32, false, 0},
    {encoder_width, "width", access::read_write, 32, false, 0},
    {encoder_height, "height", access::read_write, 32, false, 0},
    {encoder_stride, "stride", access::read_write, 32, false, 0},
    {encoder_slice_length + 0, "slice 0 length", access::read_only, 32, false, 0},
    {encoder_slice_length + 1, "slice 1 length", access::read_only, 32, false, 0},
    {encoder_slice_length + 2, "slice 2 length", access::read_only, 32, false, 0},
    {encoder_slice_length + 3, "slice 3 length", access::read_only, 32, false, 0},
    {encoder_present, "present", access::read_only, 32, false, 1},
};
inline constexpr register_field video_fields[] = {
    control_field,
    {video_buffer, "buffer", access::read_write, 32, false, 0},
};
inline constexpr register_field audio_fields[] = {
    control_field,
    {audio_channel_control, "channel control", access::read_write, 32, false, 0},
    {audio_buffer, "buffer", access::read_write, 32, false, 0},
    {audio_samples, "samples", access::read_write, 32, false, 0},
};
// The tracker's register 0 reads the status word; only lane 0 is written.
inline constexpr register_field track_fields[] = {
    {control, "control", access::read_write, 8, false, 0},
};

inline constexpr core_map encoder_map{"ndi_enc", irq_encoders, encoder_block(0), block_span, encoder_fields};
inline constexpr core_map video_in_map{"vid_in", irq_video_in, video_in_block, block_span, video_fields};
inline constexpr core_map preview_in_map{"pvw_in", irq_preview_in, preview_in_block, block_span, video_fields};
inline constexpr core_map audio_in_map{"aud_in", irq_audio_in, audio_in_block, 4, audio_fields};
inline constexpr core_map track_map{"vid_track", irq_track, track_block, block_span, track_fields};

}   // namespace regs

static_assert(regs::encoder_map.field(regs::encoder_slice_length + regs::encoder_slices - 1)->how ==
              regs::access::read_only);
static_assert(regs::audio_in_map.field(regs::audio_samples)->how == regs::access::read_write);
static_assert(regs::preview_in_block == regs::video_in_block + regs::block_span &&
              regs::audio_in_block == regs::preview_in_block + regs::block_span &&
              regs::track_block == regs::audio_in_block + regs::block_span);
static_assert(regs::quant_word(3, 1, 655) == 0x8C10028F);
static_assert(regs::encoder_control(3, 2, 2, false, false) == 0x2203);
