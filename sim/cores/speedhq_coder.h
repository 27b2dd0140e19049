// The SpeedHQ slice coder of the virtual encoder cores, apart from any bus:
// one slice of a 4:2:0 or 4:2:2 picture (no alpha) read from raw video
// memory in the layouts of PIXEL_LAYOUT.md, coded as FFmpeg's speedhq
// decoder reads it.
//
// Per 8 x 8 block: FFmpeg's forward DCT (libavcodec's public AVDCT, whose
// output is 8 times the orthonormal coefficient F), quantisation by a
// core's reciprocal table (level = round(F * v / 2^15), so v = 0x8000
// leaves a coefficient as it is: what the DC term wants), zigzag scan, the
// codec's DC size and run/level codes, LSB-first bit packing. DC predictors
// start at 1024 on every macroblock row; rows and columns below and right of
// the picture repeat its last line and column.
//
// A coder is used by one thread at a time (each core's worker has its own).
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/registers.h"
#include "sim/cores/video_pattern.h"

struct AVDCT;

namespace vfpga {

// A source picture as a core reads it.
struct coder_picture {
    const uint8_t* data = nullptr;   // first byte of line 0
    uint32_t stride = 0;             // bytes from one line to the next
    uint32_t width = 0;              // coded width, a multiple of 16
    uint32_t height = 0;
    pixel_layout layout = pixel_layout::yuv422;
};

class speedhq_coder {
public:
    // As the cores' registers have them.
    static constexpr unsigned slices = regs::encoder_slices;
    static constexpr unsigned table_entries = regs::encoder_table_entries;

    speedhq_coder();
    ~speedhq_coder();
    speedhq_coder(const speedhq_coder&) = delete;
    speedhq_coder& operator=(const speedhq_coder&) = delete;

    // Macroblock rows of a picture, and of slice s (rows s, s + 4, ...).
    static uint32_t rows(uint32_t height) { return (height + 15) / 16; }
    static uint32_t rows_of_slice(uint32_t height, unsigned slice);

    // Codes slice (0-3) of picture with table (64 reciprocals in raster
    // order) into out: its 24-bit little-endian length (which counts
    // itself), the bit-stream, then zero bytes up to a multiple of 4.
    // Writes at most room bytes; returns the slice's whole length, which is
    // larger than room when it did not fit (the rest was not written).
    uint32_t code_slice(const coder_picture& picture, unsigned slice, const uint16_t* table, uint8_t* out, size_t room);

private:
    class bit_writer;

    void code_row(const coder_picture& picture, uint32_t row, bit_writer& bits);
    void code_block(const int16_t* coefficients, int& predictor, bool chroma, bit_writer& bits);

    AVDCT* dct;
    alignas(16) uint16_t reciprocal[table_entries];   // the table of the slice being coded
    alignas(16) int16_t blocks[8][64];                // one macroblock
    alignas(16) int16_t levels[64];                   // one block, quantised, raster order
};

}   // namespace vfpga
