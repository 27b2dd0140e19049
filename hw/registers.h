// The register map of the programmable-logic cores, declared once and used
// by the program and by the virtual board's core models alike.
//
// A register is named by its core's block (the core's first register index
// in the 64 KiB ndi_regs window) and a register number within the block.
// Byte lane 0 is the least significant byte of a 32-bit register.
//
// Access, where a register has a rule of its own: "read-only" (a write is
// refused), "write-only" (a read tells nothing the program may use),
// "write 0xC0 to clear" (the bits read back are cleared by writing them).
// The other facts of the board (its devices, memory, platforms) are in
// hw/soc.h.
#pragma once

#include <cstdint>

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

// Video input cores.
constexpr uint32_t video_in_block = 0x200;
constexpr uint32_t preview_in_block = 0x210;
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

}   // namespace regs

static_assert(regs::quant_word(3, 1, 655) == 0x8C10028F);
static_assert(regs::encoder_control(3, 2, 2, false, false) == 0x2203);
