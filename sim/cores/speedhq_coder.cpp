#include "sim/cores/speedhq_coder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

extern "C" {
#include <libavcodec/avdct.h>
#include <libavutil/mem.h>
}

namespace vfpga {

static_assert(std::endian::native == std::endian::little, "the bit writer stores little-endian words");

namespace {

struct code {
    uint32_t bits = 0;   // LSB first: the first bit sent is bit 0
    uint8_t length = 0;
};

// A code written in transmission order ("1110") as an LSB-first integer.
constexpr code sent_as(const char* text)
{
    code c;
    for (; text[c.length]; ++c.length)
        if (text[c.length] == '1')
            c.bits |= 1u << c.length;
    return c;
}

// DC size codes, by size 0-11.
constexpr std::array<code, 12> dc_luma = {
    sent_as("100"),     sent_as("00"),       sent_as("01"),        sent_as("101"),
    sent_as("110"),     sent_as("1110"),     sent_as("11110"),     sent_as("111110"),
    sent_as("1111110"), sent_as("11111110"), sent_as("111111110"), sent_as("111111111"),
};
constexpr std::array<code, 12> dc_chroma = {
    sent_as("00"),       sent_as("01"),        sent_as("10"),         sent_as("110"),
    sent_as("1110"),     sent_as("11110"),     sent_as("111110"),     sent_as("1111110"),
    sent_as("11111110"), sent_as("111111110"), sent_as("1111111110"), sent_as("1111111111"),
};

constexpr code end_of_block = sent_as("0110");
constexpr uint32_t escape = 0x20;   // 000001, then run (6 bits) and level + 2048 (12 bits)
constexpr unsigned escape_length = 24;

// The codec's run/level codes (LSB-first values and lengths; the sign bit
// follows each), by run and then level from 1.
constexpr unsigned runs = 32, max_level = 40;
constexpr code ac_codes[runs][max_level] = {
    /* run  0 */ {{0x0001, 2},  {0x0003, 3},  {0x000E, 4},  {0x0007, 5},  {0x0017, 5},  {0x0028, 6},  {0x0008, 6},
                  {0x006F, 7},  {0x001F, 7},  {0x00C4, 8},  {0x0044, 8},  {0x005F, 8},  {0x00DF, 8},  {0x007F, 8},
                  {0x00FF, 8},  {0x3E00, 14}, {0x1E00, 14}, {0x2E00, 14}, {0x0E00, 14}, {0x3600, 14}, {0x1600, 14},
                  {0x2600, 14}, {0x0600, 14}, {0x3A00, 14}, {0x1A00, 14}, {0x2A00, 14}, {0x0A00, 14}, {0x3200, 14},
                  {0x1200, 14}, {0x2200, 14}, {0x0200, 14}, {0x0C00, 15}, {0x7400, 15}, {0x3400, 15}, {0x5400, 15},
                  {0x1400, 15}, {0x6400, 15}, {0x2400, 15}, {0x4400, 15}, {0x0400, 15}},
    /* run  1 */ {{0x0002, 3},  {0x000C, 5},  {0x004F, 7},  {0x00E4, 8},  {0x0004, 8},  {0x0D00, 13}, {0x1500, 13},
                  {0x7C00, 15}, {0x3C00, 15}, {0x5C00, 15}, {0x1C00, 15}, {0x6C00, 15}, {0x2C00, 15}, {0x4C00, 15},
                  {0xC800, 16}, {0x4800, 16}, {0x8800, 16}, {0x0800, 16}, {0x0300, 13}, {0x1D00, 13}},
    /* run  2 */
    {{0x0014, 5},
     {0x0070, 7},
     {0x003F, 8},
     {0x00C0, 10},
     {0x0500, 13},
     {0x0180, 12},
     {0x0280, 12},
     {0x0C80, 12},
     {0x0080, 12},
     {0x0B00, 13},
     {0x1300, 13}},
    /* run  3 */ {{0x001C, 5}, {0x0064, 8}, {0x0380, 12}, {0x1900, 13}, {0x0D80, 12}},
    /* run  4 */ {{0x0018, 6}, {0x00BF, 8}, {0x0480, 12}, {0x0B80, 12}},
    /* run  5 */ {{0x0038, 6}, {0x0040, 9}, {0x0900, 13}},
    /* run  6 */ {{0x0030, 7}, {0x0780, 12}, {0x2800, 16}},
    /* run  7 */ {{0x0010, 7}, {0x0A80, 12}},
    /* run  8 */ {{0x0050, 7}, {0x0880, 12}},
    /* run  9 */ {{0x000F, 7}, {0x1100, 13}},
    /* run 10 */ {{0x002F, 7}, {0x0100, 13}},
    /* run 11 */ {{0x0084, 8}, {0x5800, 16}},
    /* run 12 */ {{0x00A4, 8}, {0x9800, 16}},
    /* run 13 */ {{0x0024, 8}, {0x1800, 16}},
    /* run 14 */ {{0x0140, 9}, {0xE800, 16}},
    /* run 15 */ {{0x01C0, 9}, {0x6800, 16}},
    /* run 16 */ {{0x02C0, 10}, {0xA800, 16}},
    /* run 17 */ {{0x0F80, 12}},
    /* run 18 */ {{0x0580, 12}},
    /* run 19 */ {{0x0980, 12}},
    /* run 20 */ {{0x0E80, 12}},
    /* run 21 */ {{0x0680, 12}},
    /* run 22 */ {{0x1F00, 13}},
    /* run 23 */ {{0x0F00, 13}},
    /* run 24 */ {{0x1700, 13}},
    /* run 25 */ {{0x0700, 13}},
    /* run 26 */ {{0x1B00, 13}},
    /* run 27 */ {{0xF800, 16}},
    /* run 28 */ {{0x7800, 16}},
    /* run 29 */ {{0xB800, 16}},
    /* run 30 */ {{0x3800, 16}},
    /* run 31 */ {{0xD800, 16}},
};

// Scan index -> raster position (row * 8 + column).
constexpr uint8_t zigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// Turns a mask of non-zero levels in raster order into one in scan order,
// a byte of the raster mask at a time.
struct scan_order_masks {
    uint64_t of_byte[8][256] = {};

    constexpr scan_order_masks()
    {
        uint8_t scan_index[64] = {};
        for (unsigned i = 0; i < 64; ++i)
            scan_index[zigzag[i]] = uint8_t(i);
        for (unsigned k = 0; k < 8; ++k)
            for (unsigned b = 0; b < 256; ++b)
                for (unsigned j = 0; j < 8; ++j)
                    if (b >> j & 1)
                        of_byte[k][b] |= uint64_t(1) << scan_index[8 * k + j];
    }

    uint64_t operator()(uint64_t raster) const
    {
        uint64_t scan = 0;
        for (unsigned k = 0; k < 8; ++k)
            scan |= of_byte[k][(raster >> (8 * k)) & 0xFF];
        return scan;
    }
};
constexpr scan_order_masks scan_order;

constexpr int max_level_value = 2047;   // the escape's 12-bit range

// Quantises one block in raster order: level = round(|F8| * v / 2^18) with
// the sign of F8 (F8 = 8 F, so this is round(F * v / 2^15)), capped at the
// escape's range. The 16 x 16-bit high product is exact here:
// floor((hi * 2^16 + lo + 2^17) / 2^18) = (hi + 2) >> 2. Returns the mask of
// non-zero levels.
uint64_t quantise(const int16_t* coefficients, const uint16_t* reciprocal, int16_t* levels)
{
#ifdef __SSE2__
    const __m128i two = _mm_set1_epi16(2), cap = _mm_set1_epi16(max_level_value), zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (unsigned k = 0; k < 64; k += 16) {
        __m128i out[2];
        for (unsigned half = 0; half < 2; ++half) {
            const __m128i f = _mm_load_si128(reinterpret_cast<const __m128i*>(coefficients + k + 8 * half));
            const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(reciprocal + k + 8 * half));
            const __m128i sign = _mm_srai_epi16(f, 15);
            const __m128i magnitude = _mm_sub_epi16(_mm_xor_si128(f, sign), sign);
            __m128i level = _mm_srli_epi16(_mm_add_epi16(_mm_mulhi_epu16(magnitude, v), two), 2);
            level = _mm_min_epi16(level, cap);
            out[half] = _mm_sub_epi16(_mm_xor_si128(level, sign), sign);
            _mm_store_si128(reinterpret_cast<__m128i*>(levels + k + 8 * half), out[half]);
        }
        const __m128i is_zero = _mm_cmpeq_epi8(_mm_packs_epi16(out[0], out[1]), zero);
        zeros |= uint64_t(uint32_t(_mm_movemask_epi8(is_zero))) << k;
    }
    return ~zeros;
#else
    uint64_t nonzero = 0;
    for (unsigned p = 0; p < 64; ++p) {
        const int f = coefficients[p];
        const uint32_t magnitude = uint32_t(f < 0 ? -f : f);
        const int level = std::min(int(((magnitude * reciprocal[p] >> 16) + 2) >> 2), max_level_value);
        levels[p] = int16_t(f < 0 ? -level : level);
        nonzero |= uint64_t(level != 0) << p;
    }
    return nonzero;
#endif
}

// Gathers one macroblock of a 4:2:2 UYVY picture: Y0 Y1 Y2 Y3, then Cb and
// Cr of the top half, then of the bottom half (the order of the stream).
void gather_422(const uint8_t* const* lines, uint32_t x0, int16_t (*blocks)[64])
{
    for (unsigned r = 0; r < 16; ++r) {
        const uint8_t* p = lines[r] + 2 * x0;
        int16_t* luma = blocks[2 * (r / 8)] + 8 * (r % 8);     // Y0 or Y2; Y1 or Y3 follows
        int16_t* cb = blocks[4 + 2 * (r / 8)] + 8 * (r % 8);   // Cr follows
#ifdef __SSE2__
        const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        // As 16-bit lanes a pixel is chroma | luma << 8.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(luma), _mm_srli_epi16(left, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(luma + 64), _mm_srli_epi16(right, 8));
        // As 32-bit lanes a pixel pair's chroma is U | V << 16.
        const __m128i low_bytes = _mm_set1_epi16(0x00FF);
        const __m128i a = _mm_and_si128(left, low_bytes), b = _mm_and_si128(right, low_bytes);
        const __m128i u =
            _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16), _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
        const __m128i v = _mm_packs_epi32(_mm_srli_epi32(a, 16), _mm_srli_epi32(b, 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cb), u);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + 64), v);
#else
        for (unsigned i = 0; i < 8; ++i) {
            luma[i] = p[2 * i + 1];
            luma[64 + i] = p[16 + 2 * i + 1];
            cb[i] = p[4 * i];
            cb[64 + i] = p[4 * i + 2];
        }
#endif
    }
}

// Eight samples of a line into a block row.
void gather_8(const uint8_t* p, int16_t* row)
{
#ifdef __SSE2__
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
#else
    for (unsigned i = 0; i < 8; ++i)
        row[i] = p[i];
#endif
}

// Gathers one macroblock of a 4:2:0 picture: Y0 Y1 Y2 Y3, Cb, Cr.
void gather_420(const uint8_t* const* luma, const uint8_t* const* cb, const uint8_t* const* cr, uint32_t x0,
                int16_t (*blocks)[64])
{
    for (unsigned r = 0; r < 16; ++r) {
        int16_t* row = blocks[2 * (r / 8)] + 8 * (r % 8);
        gather_8(luma[r] + x0, row);
        gather_8(luma[r] + x0 + 8, row + 64);
    }
    for (unsigned k = 0; k < 8; ++k) {
        gather_8(cb[k] + x0 / 2, blocks[4] + 8 * k);
        gather_8(cr[k] + x0 / 2, blocks[5] + 8 * k);
    }
}

}   // namespace

// Packs codes LSB first into out[0, room); counts on past room without
// writing, so that a slice that does not fit still learns its length.
class speedhq_coder::bit_writer {
public:
    bit_writer(uint8_t* bytes, size_t limit, size_t start) : out(bytes), room(limit), position(start) {}

    // bits holds nothing above its length (at most 32 bits).
    void put(uint32_t bits, unsigned length)
    {
        pending |= uint64_t(bits) << used;
        used += length;
        if (used >= 32) {
            store(uint32_t(pending));
            pending >>= 32;
            used -= 32;
        }
    }

    // Fills the last byte with 0 bits; returns where the stream ends.
    size_t finish()
    {
        for (; used > 0; used = used > 8 ? used - 8 : 0, pending >>= 8)
            byte(uint8_t(pending));
        return position;
    }

    void zeros_until(size_t end)
    {
        while (position < end)
            byte(0);
    }

private:
    void store(uint32_t word)
    {
        if (position + 4 <= room) {
            memcpy(out + position, &word, 4);
            position += 4;
            return;
        }
        for (unsigned i = 0; i < 4; ++i)
            byte(uint8_t(word >> (8 * i)));
    }

    void byte(uint8_t value)
    {
        if (position < room)
            out[position] = value;
        ++position;
    }

    uint8_t* const out;
    const size_t room;
    size_t position;
    uint64_t pending = 0;
    unsigned used = 0;
};

speedhq_coder::speedhq_coder() : dct(avcodec_dct_alloc())
{
    if (!dct || avcodec_dct_init(dct) < 0 || !dct->fdct) {
        av_free(dct);
        throw std::runtime_error("virtual board: FFmpeg's forward DCT is not available");
    }
}

speedhq_coder::~speedhq_coder()
{
    av_free(dct);
}

uint32_t speedhq_coder::rows_of_slice(uint32_t height, unsigned slice)
{
    const uint32_t all = rows(height);
    return all / slices + (slice < all % slices ? 1 : 0);
}

uint32_t speedhq_coder::code_slice(const coder_picture& picture, unsigned slice, const uint16_t* table, uint8_t* out,
                                   size_t room)
{
    memcpy(reciprocal, table, sizeof reciprocal);
    constexpr size_t length_bytes = 3;
    bit_writer bits(out, room, length_bytes);
    for (uint32_t row = slice; row < rows(picture.height); row += slices)
        code_row(picture, row, bits);
    // Zero bytes up to a word, so that the next slice starts aligned.
    const size_t length = (bits.finish() + 3) & ~size_t(3);
    bits.zeros_until(length);
    for (size_t i = 0; i < length_bytes && i < room; ++i)
        out[i] = uint8_t(length >> (8 * i));
    return uint32_t(length);
}

void speedhq_coder::code_row(const coder_picture& picture, uint32_t row, bit_writer& bits)
{
    // Lines below the picture repeat its last line.
    const uint32_t top = row * 16, last = picture.height - 1;
    auto line = [&](uint32_t y) { return picture.data + size_t(std::min(y, last)) * picture.stride; };
    const uint8_t* luma[16];
    for (unsigned r = 0; r < 16; ++r)
        luma[r] = line(top + r);

    int predictor[3] = {1024, 1024, 1024};   // Y, Cb, Cr, afresh on every row
    if (picture.layout == pixel_layout::yuv422) {
        constexpr bool chroma[8] = {false, false, false, false, true, true, true, true};
        constexpr unsigned component[8] = {0, 0, 0, 0, 1, 2, 1, 2};
        for (uint32_t x0 = 0; x0 < picture.width; x0 += 16) {
            gather_422(luma, x0, blocks);
            for (unsigned b = 0; b < 8; ++b) {
                dct->fdct(blocks[b]);
                code_block(blocks[b], predictor[component[b]], chroma[b], bits);
            }
        }
        return;
    }

    // 4:2:0: chroma row k of the macroblock row is U on line top + 2k, V on
    // line top + 2k + 1, each after the line's luma.
    const uint32_t offset = chroma_offset(picture.stride);
    const uint32_t last_u = last & ~1u, last_v = picture.height >= 2 ? (picture.height - 2) | 1 : 0;
    const uint8_t* cb[8];
    const uint8_t* cr[8];
    for (unsigned k = 0; k < 8; ++k) {
        cb[k] = line(std::min(top + 2 * k, last_u)) + offset;
        cr[k] = line(std::min(top + 2 * k + 1, last_v)) + offset;
    }
    constexpr unsigned component[6] = {0, 0, 0, 0, 1, 2};
    for (uint32_t x0 = 0; x0 < picture.width; x0 += 16) {
        gather_420(luma, cb, cr, x0, blocks);
        for (unsigned b = 0; b < 6; ++b) {
            dct->fdct(blocks[b]);
            code_block(blocks[b], predictor[component[b]], b >= 4, bits);
        }
    }
}

void speedhq_coder::code_block(const int16_t* coefficients, int& predictor, bool chroma, bit_writer& bits)
{
    // Flat blocks (DC alone) are common: skip the reordering for them.
    const uint64_t raster = quantise(coefficients, reciprocal, levels) & ~uint64_t(1);
    const uint64_t nonzero = raster ? scan_order(raster) : 0;

    // DC: the difference predictor - DC, as a size code and size bits (a
    // negative difference sent as difference + 2^size - 1).
    const int dc = std::max<int>(levels[0], 0);
    const int difference = predictor - dc;
    predictor = dc;
    const uint32_t magnitude = uint32_t(difference < 0 ? -difference : difference);
    const unsigned size = unsigned(std::bit_width(magnitude));
    const uint32_t extra = difference >= 0 ? uint32_t(difference) : uint32_t(difference + (1 << size) - 1);
    const code& size_code = (chroma ? dc_chroma : dc_luma)[size];
    bits.put(size_code.bits | extra << size_code.length, size_code.length + size);

    // AC: run and level of each non-zero level in scan order.
    unsigned previous = 0;
    for (uint64_t m = nonzero; m; m &= m - 1) {
        const unsigned i = unsigned(std::countr_zero(m));
        const unsigned run = i - previous - 1;
        previous = i;
        const int level = levels[zigzag[i]];
        const unsigned size_of_level = unsigned(level < 0 ? -level : level);
        if (run < runs && size_of_level <= max_level) {
            const code& c = ac_codes[run][size_of_level - 1];
            if (c.length) {
                bits.put(c.bits | uint32_t(level < 0) << c.length, c.length + 1u);
                continue;
            }
        }
        bits.put(escape | run << 6 | uint32_t(level + 2048) << 12, escape_length);
    }
    bits.put(end_of_block.bits, end_of_block.length);
}

}   // namespace vfpga
