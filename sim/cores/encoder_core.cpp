#include "sim/cores/encoder_core.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "hw/registers.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

namespace {

constexpr uint32_t picture_registers = 1u << regs::encoder_control_word | 1u << regs::encoder_source |
    1u << regs::encoder_output | 1u << regs::encoder_width | 1u << regs::encoder_height | 1u << regs::encoder_stride;
constexpr uint64_t every_entry = ~uint64_t(0);
constexpr uint32_t control_reserved =
    ~((regs::control_slot_mask) | regs::control_slice_mask << regs::control_first_slice_shift |
      regs::control_slice_mask << regs::control_last_slice_shift | regs::control_yuv420 | regs::control_width_partial);

}   // namespace

bool encoder_group::picture_done() const
{
    uint32_t slices = 0;
    for (const encoder_core* core : cores) {
        if (core->busy())
            return false;
        slices |= core->finished_slices();
    }
    return slices == (1u << regs::encoder_slices) - 1;
}

encoder_fault encoder_fault::parse(const std::string& text, int cores)
{
    encoder_fault fault;
    if (text.empty())
        return fault;
    auto bad = [&]() -> encoder_fault {
        throw std::runtime_error("board.conf: encoder_fault must be hang or overflow[:CORE[:EVERY]], not " + text);
    };
    const size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    if (kind == "hang")
        fault.what = kind::hang;
    else if (kind == "overflow")
        fault.what = kind::overflow;
    else
        return bad();
    if (colon == std::string::npos)
        return fault;
    unsigned core = 0;
    unsigned long long every = 1;
    int used = 0;
    const std::string rest = text.substr(colon + 1);
    const int fields = sscanf(rest.c_str(), "%u%n:%llu%n", &core, &used, &every, &used);
    if (fields < 1 || size_t(used) != rest.size() || every == 0 || core >= unsigned(cores))
        return bad();
    fault.core = core;
    fault.every = every;
    return fault;
}

encoder_core::encoder_core(fpga& host, unsigned core, std::shared_ptr<encoder_group> cores)
    : job_core(host, "encoder" + std::to_string(core), regs::encoder_map, regs::encoder_block(core)), index(core),
      group(std::move(cores)),
      fault(encoder_fault::parse(host.config().setting("encoder_fault"), host.config().encoders))
{
    group->join(this);
    if (fault.what != encoder_fault::kind::none && fault.core == index)
        fprintf(stderr, "virtual board: %s will %s on one start in %llu\n", name().c_str(),
                fault.what == encoder_fault::kind::hang ? "hang" : "overflow", (unsigned long long)fault.every);
}

void encoder_core::reset()
{
    job_core::reset();
    for (auto& table : tables)
        std::fill(std::begin(table), std::end(table), 0);
    std::fill(std::begin(loaded), std::end(loaded), 0);
    programmed = 0;
    coded_slices = 0;
    starts = 0;
}

bool encoder_core::irq_asserted() const
{
    return job_core::irq_asserted() && group->picture_done();
}

void encoder_core::write_other(unsigned r, uint32_t value, uint32_t mask)
{
    switch (r) {
    case regs::encoder_quant_port: load_table_entry(value); return;
    case regs::encoder_control_word:
    case regs::encoder_source:
    case regs::encoder_output:
    case regs::encoder_width:
    case regs::encoder_height:
    case regs::encoder_stride:
        programmed |= 1u << r;   // checked at the start
        return;
    default: core_model::write_other(r, value, mask);
    }
}

void encoder_core::load_table_entry(uint32_t word)
{
    if (!(word & regs::quant_write)) {
        unimplemented("table-port word 0x%08x without bit 31", word);
        return;
    }
    const unsigned slot = (word >> regs::quant_slot_shift) & regs::quant_slot_mask;
    const unsigned entry = (word >> regs::quant_entry_shift) & regs::quant_entry_mask;
    uint32_t value = word & regs::quant_value_mask;
    if (slot >= slots) {
        guest_error("table-port word 0x%08x loads slot %u of %u", word, slot, slots);
        return;
    }
    if (value > 0xFFFF) {
        guest_error("table-port word 0x%08x: value 0x%x does not fit the core's 16-bit entries", word, value);
        value = 0xFFFF;
    }
    tables[slot][entry] = uint16_t(value);
    loaded[slot] |= uint64_t(1) << entry;
}

std::optional<encoder_core::coding> encoder_core::check(const std::vector<uint32_t>& r)
{
    if ((programmed & picture_registers) != picture_registers) {
        std::string missing;
        for (unsigned i = regs::encoder_control_word; i <= regs::encoder_stride; ++i)
            if (!(programmed & 1u << i))
                missing += (missing.empty() ? "" : ", ") + std::to_string(i);
        guest_error("started without a programmed picture: register(s) %s never written", missing.c_str());
        return std::nullopt;
    }
    const uint32_t control = r[regs::encoder_control_word];
    coding c;
    c.first = (control >> regs::control_first_slice_shift) & regs::control_slice_mask;
    c.last = (control >> regs::control_last_slice_shift) & regs::control_slice_mask;
    const unsigned slot = control & regs::control_slot_mask;
    const bool yuv420 = control & regs::control_yuv420;
    const bool partial = control & regs::control_width_partial;
    const uint32_t width = r[regs::encoder_width], height = r[regs::encoder_height], stride = r[regs::encoder_stride];
    if (control & control_reserved) {
        guest_error("control word 0x%08x sets reserved bits", control);
        return std::nullopt;
    }
    if (c.first > c.last || c.last >= slices) {
        guest_error("control word 0x%08x names slices %u to %u of %u", control, c.first, c.last, slices);
        return std::nullopt;
    }
    if (slot >= slots || loaded[slot] != every_entry) {
        if (slot >= slots)
            guest_error("control word 0x%08x names table slot %u of %u", control, slot, slots);
        else if (!loaded[slot])
            guest_error("started with table slot %u, which was never loaded", slot);
        else
            guest_error("started with table slot %u, loaded in part (%d of %u entries)", slot,
                        std::popcount(loaded[slot]), regs::encoder_table_entries);
        return std::nullopt;
    }
    const char* width_fault = nullptr;
    if (width == 0 || width % 16)
        width_fault = "not a multiple of 16";
    else if (width > max_width)
        width_fault = "wider than the core's line buffers";
    else if (yuv420 && width % 64)
        width_fault = "4:2:0 is coded in multiples of 64";
    else if (partial != (!yuv420 && width % 64 != 0))
        width_fault = partial ? "the partial-width bit is set for a whole width" : "the partial-width bit is not set";
    if (width_fault) {
        guest_error("cannot code width %u: %s", width, width_fault);
        return std::nullopt;
    }
    if (height == 0 || height > max_height || (yuv420 && height < 2)) {
        guest_error("cannot code height %u", height);
        return std::nullopt;
    }
    const bool line_holds =
        yuv420 ? width <= chroma_offset(stride) && chroma_offset(stride) + width / 2 <= stride : 2 * width <= stride;
    if (!line_holds) {
        guest_error("a line pitch of %u bytes does not hold %u pixels of %s", stride, width,
                    yuv420 ? "4:2:0" : "4:2:2");
        return std::nullopt;
    }

    const uint64_t memory = board.config().memory_size();
    const uint32_t source = r[regs::encoder_source];
    const uint64_t source_bytes = uint64_t(stride) * height;
    if (source + source_bytes > memory) {
        guest_error("source picture at 0x%08x (%llu bytes) lies outside memory", source,
                    (unsigned long long)source_bytes);
        return std::nullopt;
    }
    c.share = (c.last - c.first + 1) * slice_room(width, height);
    const uint32_t output = board.bus_to_physical(r[regs::encoder_output]);
    if (uint64_t(output) + c.share > memory) {
        guest_error("output share at bus address 0x%08x (%u bytes) lies outside memory", r[regs::encoder_output],
                    c.share);
        return std::nullopt;
    }
    c.picture.data = board.dma(source, source_bytes);
    c.out = board.dma(output, c.share);
    if (!c.picture.data || !c.out)
        return std::nullopt;
    c.picture.stride = stride;
    c.picture.width = width;
    c.picture.height = height;
    c.picture.layout = yuv420 ? pixel_layout::yuv420 : pixel_layout::yuv422;
    std::copy(std::begin(tables[slot]), std::end(tables[slot]), c.table.begin());
    return c;
}

job_core::task encoder_core::begin(const job& started)
{
    ++starts;
    const bool faulty = fault.what != encoder_fault::kind::none && fault.core == index && starts % fault.every == 0;
    task t;
    if (faulty && fault.what == encoder_fault::kind::hang) {
        t.hangs = true;
        return t;
    }
    std::optional<coding> c = check(started.registers);
    if (!c) {
        // Refused: the program still gets its interrupt, with empty slices.
        t.work = [this] {
            return [this] {
                report_lengths({});
                coded_slices = (1u << slices) - 1;
            };
        };
        return t;
    }
    c->overflow_fault = faulty;

    uint64_t pixels = 0;
    for (unsigned s = c->first; s <= c->last; ++s)
        pixels += uint64_t(speedhq_coder::rows_of_slice(c->picture.height, s)) * 16 * c->picture.width;
    t.length = duration(pixels * 1'000'000'000 / pixels_per_second);

    t.work = [this, c = std::move(*c)]() -> completion {
        std::array<uint32_t, slices> coded{};
        uint8_t* out = c.out;
        size_t room = c.share;
        for (unsigned s = c.first; s <= c.last; ++s) {
            const uint32_t length = coder.code_slice(c.picture, s, c.table.data(), out, room);
            if (length > room) {
                coded[s] = std::max(length, c.share + 4);
                break;   // the later slices stay empty
            }
            coded[s] = length;
            out += length;
            room -= length;
        }
        if (c.overflow_fault)
            coded[c.first] = c.share + 4;
        return [this, coded, done = ((2u << c.last) - 1) & ~((1u << c.first) - 1)] {
            report_lengths(coded);
            coded_slices = done;
        };
    };
    return t;
}

void encoder_core::report_lengths(const std::array<uint32_t, slices>& coded)
{
    for (unsigned s = 0; s < slices; ++s)
        set_reg(regs::encoder_slice_length + s, coded[s]);
}

}   // namespace vfpga
