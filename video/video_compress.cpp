#include "video/video_compress.h"

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "base/buffer_ring.h"
#include "base/debug_log.h"
#include "base/utilities.h"
#include "hw/hardware.h"
#include "hw/registers.h"
#include "ndi/network_send.h"

namespace {

// The default intra quantiser matrix, raster order. Entry 0 is never used:
// the DC value is not quantised.
constexpr uint8_t intra_matrix[regs::encoder_table_entries] = {
    8,  16, 19, 22, 26, 27, 29, 34,   //
    16, 16, 22, 24, 27, 29, 34, 37,   //
    19, 22, 26, 27, 29, 34, 34, 38,   //
    22, 22, 26, 27, 29, 34, 37, 40,   //
    22, 26, 27, 29, 32, 35, 40, 48,   //
    26, 27, 29, 32, 35, 40, 48, 58,   //
    26, 27, 29, 34, 38, 46, 56, 69,   //
    27, 29, 35, 38, 46, 56, 69, 83,
};

constexpr uint16_t reciprocal_one = 0x8000;   // 1.0 in the cores' fixed point

// The largest picture the tracker reports, for sizing the ring.
constexpr uint32_t largest_width = 1920;
constexpr uint32_t largest_height = 1080;

// The interrupt wait of "vidcomp" is cut into slices so that a stop request
// reaches a wait for cores that never answer.
constexpr long wait_slice_us = 200000;

// Four cores code a 1080p picture in under 3 ms, one core in about 10 ms:
// cores silent for half a second have hung. Recovering within it keeps the
// gap in the stream under a second.
constexpr auto answer_bound = std::chrono::milliseconds(500);

// Drop marks, written like the queues' (level > 1), for pictures dropped
// before they reach a queue.
constexpr char overflow_mark = '%';    // a core overflowed its share
constexpr char ring_full_mark = '&';   // the next chunk of the ring was still in use

int stream_index(int32_t stream)
{
    return stream != regs::stream_full ? 1 : 0;
}

void put_le32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

uint32_t get_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void join(std::thread& thread)
{
    if (thread.joinable())
        thread.join();
}

// A slice's length once its trailing zero bytes are cut off. One zero byte
// stays after a last byte whose top bit is set: the bit-stream is packed from
// the least significant bit, so the code that ends in that bit may go on
// into the following byte's zero bits.
uint32_t trimmed_length(const uint8_t* slice, uint32_t length)
{
    uint32_t end = length;
    while (end > 0 && slice[end - 1] == 0)
        --end;
    if (end == 0)
        return 0;
    if (end < length && (slice[end - 1] & 0x80))
        ++end;
    return end;
}

}   // namespace

int32_t video_compress::fourcc_of(int32_t format, int32_t stream)
{
    const bool yuv420 = format == 1;
    if (stream == regs::stream_preview)
        return yuv420 ? fourcc_preview_420 : fourcc_preview_422;
    return yuv420 ? fourcc_full_420 : fourcc_full_422;
}

uint32_t video_compress::slice_bytes(uint32_t width, uint32_t height)
{
    return regs::encoder_slice_room(width, height);
}

uint32_t video_compress::chunk_bytes(uint32_t width, uint32_t height)
{
    return (4 * slice_bytes(width, height) + 4095) & ~4095u;
}

int video_compress::clamp_q(int q)
{
    return std::clamp(q, 0, 99);
}

video_compress::video_compress(std::shared_ptr<::hardware> hardware, std::shared_ptr<::network_send> network_send)
    : hw(std::move(hardware)), sender(std::move(network_send))
{
    debug_print(3, "video_compress Constructor\n");

    const memory_region ring = hw->get_region(encoder_output_region);
    dma_base = ring.address;
    dma_size = ring.size;
    dma_cursor = dma_base;
    oldest_chunk = dma_base;
    std::fill(std::begin(slot_q), std::end(slot_q), -1);
    q_factor[0] = q_factor[1] = 99;

    if (hw->read_reg32(regs::encoder_block(3), regs::encoder_present) != 0)
        core_count = 4;
    else if (hw->read_reg32(regs::encoder_block(1), regs::encoder_present) != 0)
        core_count = 2;
    else
        core_count = 1;
    debug_print(3, "Found %i encoder cores\n", core_count);

    // The tail that a wrap leaves unused can cost up to one more chunk.
    const uint64_t needed = uint64_t(chunks_in_flight + 1) * chunk_bytes(largest_width, largest_height);
    if (dma_size < needed) {
        char text[200];
        snprintf(text, sizeof text,
                 "video_compress: encoder output memory of %u bytes cannot hold the %u chunks of %ux%u pictures "
                 "that can be in use at once (%llu bytes)!",
                 dma_size, chunks_in_flight + 1, largest_width, largest_height, (unsigned long long)needed);
        throw std::runtime_error(text);
    }

    compress_thread = std::thread([this] { compress_frames(); });
    copy_thread = std::thread([this] { copy_frames(); });
    full_send_thread = std::thread([this] { send_frames(full_queue, 0, "send_full", 's'); });
    preview_send_thread = std::thread([this] { send_frames(preview_queue, 1, "send_prvw", 'S'); });
}

video_compress::~video_compress()
{
    debug_print(3, "\n video_compress Destructor\n");
    fflush(stdout);
    stopping = true;
    // A compressor that was never enabled (a later object of the start-up
    // failed) must take its stop marker too, or "vidcomp" waits for ever.
    input_queue.run();
    // Each marker goes in only once the thread upstream of its queue has
    // ended, so nothing is queued behind it.
    push_frame(nullptr);
    join(compress_thread);
    push_compressed(nullptr);
    join(copy_thread);
    push_send(nullptr);
    join(full_send_thread);
    join(preview_send_thread);
}

void video_compress::enable()
{
    input_queue.run();
}

void video_compress::push_frame(std::shared_ptr<video_capture::frame_pair_t> pair)
{
    const char mark = !pair ? 0 : pair->preview ? 'b' : 'q';
    input_queue.push(std::move(pair), mark, '!', [this](const auto& dropped) {
        if (dropped) {
            count_dropped(0, dropped->full ? 1 : 0);
            count_dropped(1, dropped->preview ? 1 : 0);
        }
    });
}

void video_compress::push_compressed(std::shared_ptr<frame_t> frame)
{
    compressed_queue.push(std::move(frame), 'n', '@', [this](const auto& dropped) {
        if (dropped)
            count_dropped(dropped->stream);
    });
}

void video_compress::push_send(std::shared_ptr<frame_t> frame)
{
    if (!frame) {
        full_queue.push_unbounded(nullptr, 'x');
        preview_queue.push_unbounded(nullptr, 'X');
    } else if (frame->stream != regs::stream_full) {
        preview_queue.push(std::move(frame), 'F', '$', [this](const auto&) { count_dropped(1); });
    } else {
        full_queue.push(std::move(frame), 'f', '#', [this](const auto&) { count_dropped(0); });
    }
}

void video_compress::count_dropped(int32_t stream, uint64_t pictures)
{
    counts[stream_index(stream)].dropped.fetch_add(pictures, std::memory_order_relaxed);
}

video_compress::counters_t video_compress::counters() const
{
    counters_t c;
    for (int s = 0; s < 2; ++s) {
        c.stream[s].sent = counts[s].sent.load(std::memory_order_relaxed);
        c.stream[s].dropped = counts[s].dropped.load(std::memory_order_relaxed);
        c.stream[s].bytes_sent = counts[s].bytes_sent.load(std::memory_order_relaxed);
        c.stream[s].q = counts[s].q.load(std::memory_order_relaxed);
    }
    c.encoder_resets = resets.load(std::memory_order_relaxed);
    return c;
}

void video_compress::assemble(frame_t& frame)
{
    // Sized from the slice table itself, so that a stale size can never
    // let the copy run past the new buffer.
    uint32_t total = 8;
    for (uint32_t length : frame.slice_size)
        total += length;
    auto data = std::make_unique_for_overwrite<uint8_t[]>(total);
    uint8_t* p = data.get();
    put_le32(p, frame.header);
    p += 4;
    for (int i = 0; i < 4; ++i) {
        if (frame.slice_size[i]) {
            memcpy(p, frame.slice_data[i], frame.slice_size[i]);
            p += frame.slice_size[i];
        }
    }
    put_le32(p, frame.trailer);
    frame.data = std::move(data);
    frame.size = total;
}

std::shared_ptr<video_compress::frame_t> video_compress::make_compressed_frame(const video_capture::frame_t& source)
{
    auto frame = std::make_shared<frame_t>();
    frame->address = no_chunk;
    frame->stream = source.stream;
    if (source.format == 1) {
        frame->format = 1;
        frame->width_partial = 0;
        frame->width = source.width & ~63u;
    } else {
        frame->format = 0;
        if (source.width % 64 == 0) {
            frame->width = source.width;
            frame->width_partial = 0;
        } else {
            frame->width = source.width & ~15u;
            frame->width_partial = 1;
        }
    }
    frame->fourcc = fourcc_of(source.format, source.stream);
    frame->height = source.height;
    frame->stride = source.stride;
    frame->frame_rate_n = source.frame_rate_n;
    frame->frame_rate_d = source.frame_rate_d;
    frame->timestamp = source.timestamp;
    frame->field = source.field;
    return frame;
}

void video_compress::query_frame_size(const video_capture::frame_t& source)
{
    NDIlib_video_frame_v2_t record{};
    record.xres = int(source.width);
    record.yres = int(source.height);
    record.FourCC = NDIlib_FourCC_video_type_e(fourcc_of(source.format, source.stream));
    record.frame_rate_N = int(source.frame_rate_n);
    record.frame_rate_D = int(source.frame_rate_d);
    record.picture_aspect_ratio = 0;
    record.frame_format_type = NDIlib_frame_format_type_progressive;
    record.timecode = NDIlib_send_timecode_synthesize;
    const int size = NDIlib_send_get_target_frame_size(sender->sender(), &record);
    stream_format_t& known = stream_format[source.stream == regs::stream_preview ? 1 : 0];
    known = {source.width, source.height, source.frame_rate_n, source.frame_rate_d};
    debug_print(3, "Frame size: %i\n", size);
}

bool video_compress::allocate_chunk(frame_t& frame)
{
    const uint32_t slice = slice_bytes(frame.width, frame.height);
    frame.core_bytes = uint32_t(4 / core_count) * slice;
    const uint32_t chunk = chunk_bytes(frame.width, frame.height);
    const uint32_t start = ring_place(dma_base, dma_size, dma_cursor, chunk);
    if (chunks_out == 0) {
        // Nothing in use, and nothing the copy thread could publish over
        // this: the chunks in use begin here.
        oldest_chunk.store(start, std::memory_order_relaxed);
    } else if (!chunk_is_free(start, chunk)) {
        return false;
    }
    frame.address = ring_take(dma_base, dma_size, dma_cursor, chunk);
    ++chunks_out;
    return true;
}

bool video_compress::chunk_is_free(uint32_t start, uint32_t bytes) const
{
    // The chunks in use run from the oldest to the cursor, wrapped or not;
    // what lies beyond the cursor, up to the oldest, is free. The acquire
    // orders the copy thread's reads of the chunks before it ahead of the
    // cores' writes that this lets in.
    const uint32_t oldest = oldest_chunk.load(std::memory_order_acquire);
    const bool wrapped = oldest >= dma_cursor;
    if (start != dma_cursor)   // wrapping to the base: over the oldest, unless still before it
        return !wrapped && uint64_t(start) + bytes <= oldest;
    return !wrapped || uint64_t(start) + bytes <= oldest;
}

void video_compress::give_back_chunk(const frame_t& frame)
{
    if (frame.address == no_chunk)
        return;
    dma_cursor = frame.address;
    --chunks_out;
}

void video_compress::release_chunks_before(const frame_t& frame)
{
    if (frame.address != no_chunk)
        oldest_chunk.store(frame.address, std::memory_order_release);
}

void video_compress::build_reciprocals(int scale, uint16_t (&values)[regs::encoder_table_entries])
{
    values[0] = reciprocal_one;
    for (int i = 1; i < int(regs::encoder_table_entries); ++i) {
        const int32_t m = scale * intra_matrix[i];
        const int32_t r = (m / 2 + 0x80000) / m;
        values[i] = r >= reciprocal_one ? reciprocal_one : uint16_t(r);
    }
}

void video_compress::load_quant_table(int slot, const uint16_t (&values)[regs::encoder_table_entries])
{
    for (int i = 0; i < int(regs::encoder_table_entries); ++i)
        for (int core = 0; core < core_count; ++core)
            hw->write_reg32(regs::encoder_block(core), regs::encoder_quant_port,
                            regs::quant_word(unsigned(slot), unsigned(i), values[i]));
}

void video_compress::select_quant_slot(frame_t& frame, int q)
{
    frame.q = q;
    // The five most recently loaded slots, oldest first.
    for (int k = table_slots - searched_slots; k < table_slots; ++k) {
        const int slot = (next_slot + k) % table_slots;
        if (slot_q[slot] == q) {
            frame.q_slot = slot;
            return;
        }
    }
    uint16_t values[regs::encoder_table_entries];
    build_reciprocals(100 - q, values);
    load_quant_table(next_slot, values);
    frame.q_slot = next_slot;
    slot_q[next_slot] = q;
    next_slot = (next_slot + 1) % table_slots;
    debug_print(2, "Q%i:%i", q, frame.q_slot);
}

void video_compress::program_cores(const frame_t& frame, uint32_t source_address)
{
    const uint32_t output = hw->bus_address(frame.address);
    const int per_core = 4 / core_count;
    for (int core = 0; core < core_count; ++core) {
        const uint32_t block = regs::encoder_block(unsigned(core));
        const unsigned first = unsigned(per_core * core);
        const unsigned last = unsigned(per_core * (core + 1) - 1);
        hw->write_reg32(
            block, regs::encoder_control_word,
            regs::encoder_control(unsigned(frame.q_slot), first, last, frame.format == 1, frame.width_partial != 0));
        hw->write_reg32(block, regs::encoder_source, source_address);
        hw->write_reg32(block, regs::encoder_output, output + uint32_t(core) * frame.core_bytes);
        hw->write_reg32(block, regs::encoder_width, frame.width);
        hw->write_reg32(block, regs::encoder_height, frame.height);
        hw->write_reg32(block, regs::encoder_stride, frame.stride);
    }
}

std::shared_ptr<video_compress::frame_t> video_compress::prepare_frame(const video_capture::frame_t& source)
{
    const int s = source.stream == regs::stream_preview ? 1 : 0;
    const stream_format_t& known = stream_format[s];
    if (source.width != known.width || source.height != known.height || source.frame_rate_n != known.frame_rate_n ||
        source.frame_rate_d != known.frame_rate_d)
        query_frame_size(source);

    std::shared_ptr<frame_t> frame = make_compressed_frame(source);
    if (!allocate_chunk(*frame))
        return nullptr;

    // A second field is coded with the Q of its first field: the runtime
    // is asked once per picture.
    if (frame->field == 0 || frame->field == 2) {
        NDIlib_video_frame_v2_t record{};
        record.xres = int(frame->width);
        record.yres = int(frame->height);
        record.FourCC = NDIlib_FourCC_video_type_e(frame->fourcc);
        record.frame_rate_N = int(frame->frame_rate_n);
        record.frame_rate_D = int(frame->frame_rate_d);
        record.picture_aspect_ratio = 16.0f / 9.0f;
        record.frame_format_type = NDIlib_frame_format_type_progressive;
        record.timecode = frame->timestamp;
        // A scale of 100 - Q must stay within 1..100: a Q of 100 or more
        // would divide by zero, and decoders refuse it.
        q_factor[s] = clamp_q(NDIlib_send_get_q_factor(sender->sender(), &record));
    }
    select_quant_slot(*frame, q_factor[s]);
    program_cores(*frame, source.address);
    return frame;
}

void video_compress::start_cores()
{
    for (int core = 0; core < core_count; ++core)
        hw->write_reg8(regs::encoder_block(unsigned(core)), regs::control, regs::lane_command, regs::command_arm);
}

int video_compress::read_back(frame_t& frame)
{
    frame.header = uint32_t(uint8_t(frame.q)) | 4u << 8;
    frame.trailer = 0;
    frame.size = 4;
    int overflow = 0;
    const int per_core = 4 / core_count;
    uint8_t* base = hw->cpu_address(frame.address);
    uint8_t* p = base;
    for (int i = 0; i < 4; ++i) {
        const int core = i / per_core;
        uint32_t length = hw->read_reg32(regs::encoder_block(unsigned(core)), regs::encoder_slice_length + unsigned(i));
        // A length past the end of the core's share is an overflow: what
        // lies beyond belongs to another core or picture, so it is neither
        // read nor written.
        const uint32_t room = frame.core_bytes - uint32_t(p - base);
        if (length > room) {
            ++overflow;
            length = room;
        }
        const uint32_t n = trimmed_length(p, length);
        if (room >= 4)
            put_le32(p, (get_le32(p) & 0xFF000000u) | n);
        frame.slice_size[i] = n;
        frame.slice_data[i] = p;
        frame.size += n;
        if ((i + 1) % per_core != 0) {
            p += length;
        } else {
            base += frame.core_bytes;
            p = base;
        }
    }
    frame.size += 4;
    return overflow;
}

void video_compress::clear_core_events()
{
    for (int core = 0; core < core_count; ++core)
        hw->write_reg8(regs::encoder_block(unsigned(core)), regs::control, regs::lane_events, regs::events_clear);
}

void video_compress::reset_cores()
{
    clear_core_events();
    for (int core = 0; core < core_count; ++core)
        hw->write_reg32(regs::encoder_block(unsigned(core)), regs::control, 0);
    hw->enable_irq(regs::irq_encoders);
    for (int core = 0; core < core_count; ++core)
        hw->write_reg8(regs::encoder_block(unsigned(core)), regs::control, regs::lane_enable, regs::events_enable);
}

video_compress::answer video_compress::wait_for_cores()
{
    using clock = std::chrono::steady_clock;
    const clock::time_point limit = clock::now() + answer_bound;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(limit - clock::now()).count();
        timeval slice{0, std::clamp<long>(long(left), 1, wait_slice_us)};
        if (hw->wait_irq(regs::irq_encoders, &slice) >= 0)
            return answer::done;
        if (stopping)
            return answer::stopped;
        if (clock::now() >= limit)
            return answer::silent;
    }
}

void video_compress::recover_cores()
{
    reset_cores();
    // An answer that came after the bound but before the reset would be
    // taken for the next picture's: take it now, and clear what it left.
    timeval none{0, 0};
    if (hw->wait_irq(regs::irq_encoders, &none) >= 0) {
        clear_core_events();
        hw->enable_irq(regs::irq_encoders);
    }
    // A reset core may have lost its tables: the next picture loads its own.
    std::fill(std::begin(slot_q), std::end(slot_q), -1);
    resets.fetch_add(1, std::memory_order_relaxed);
}

std::shared_ptr<video_capture::frame_pair_t> video_compress::take_pair()
{
    std::shared_ptr<video_capture::frame_pair_t> pair = input_queue.take();
    if (pair)
        debug_mark(4, pair->preview ? 'P' : 'p');
    return pair;
}

video_compress::coding video_compress::code_picture(frame_t* frame)
{
    if (!frame) {
        debug_mark(1, ring_full_mark);
        return coding::dropped;
    }
    start_cores();
    debug_mark(4, 'C');
    switch (wait_for_cores()) {
    case answer::stopped: return coding::stopped;   // cores that never answered: nothing of theirs is read
    case answer::silent:
        recover_cores();
        debug_print(1,
                    "video_compress::compress_frames: the encoder cores do not answer! "
                    "Picture dropped, cores reset.\n");
        return coding::dropped;
    case answer::done: break;
    }
    clear_core_events();
    debug_mark(2, '+');
    hw->enable_irq(regs::irq_encoders);
    if (read_back(*frame) != 0) {
        debug_mark(1, overflow_mark);
        return coding::dropped;
    }
    return coding::coded;
}

std::shared_ptr<video_compress::frame_t> video_compress::preview_of_full(const video_capture::frame_t& preview,
                                                                         const frame_t& full)
{
    std::shared_ptr<frame_t> frame = make_compressed_frame(preview);
    frame->q = full.q;
    frame->address = full.address;
    frame->core_bytes = full.core_bytes;
    std::copy(std::begin(full.slice_size), std::end(full.slice_size), frame->slice_size);
    frame->header = full.header;
    frame->trailer = full.trailer;
    std::copy(std::begin(full.slice_data), std::end(full.slice_data), frame->slice_data);
    frame->size = full.size;
    return frame;
}

void video_compress::compress_frames()
{
    set_thread_name("vidcomp");
    debug_print(3, "compress_frames thread\n");
    if (!set_thread_priority(0))
        debug_print(1, "video_compress::compress_frames: Could not set thread priority!\n");
    reset_cores();

    std::shared_ptr<video_capture::frame_pair_t> pair;
    for (;;) {
        if (!pair && !(pair = take_pair()))
            break;
        std::shared_ptr<video_capture::frame_t>& picture = pair->full ? pair->full : pair->preview;
        if (!picture) {
            pair.reset();   // nothing to code
            continue;
        }
        // A preview without a picture of its own is sent as the full
        // picture's slices under its own description: it goes where the
        // full picture goes.
        const bool reuses_full =
            picture == pair->full && pair->preview && pair->preview->address == video_capture::no_buffer;
        const int32_t stream = picture->stream;
        std::shared_ptr<frame_t> current = prepare_frame(*picture);
        picture.reset();

        const coding result = code_picture(current.get());
        if (result == coding::stopped)
            break;
        if (result == coding::coded) {
            // The preview is described before the full picture is handed
            // on: from then on "vidcomp:copy" owns that one.
            std::shared_ptr<frame_t> preview = reuses_full ? preview_of_full(*pair->preview, *current) : nullptr;
            push_compressed(current);
            if (preview)
                push_compressed(preview);
        } else {
            if (current)
                give_back_chunk(*current);   // nothing will read it, and no core writes it now
            count_dropped(stream);
            if (reuses_full)
                count_dropped(1);
        }
        if (reuses_full || !pair->preview)
            pair.reset();
    }
    debug_print(3, "compress_frames thread done!\n");
}

void video_compress::copy_frames()
{
    set_thread_name("vidcomp:copy");
    debug_print(3, "copy_frames thread\n");
    while (std::shared_ptr<frame_t> frame = compressed_queue.take('c')) {
        // The last read of the chunk: from here on the picture lives in its
        // own buffer, which the send thread hands to NDI unchanged. The
        // chunks before this one are read (or their pictures were dropped
        // from the queue), so the cores may reuse them.
        release_chunks_before(*frame);
        assemble(*frame);
        push_send(std::move(frame));
    }
    debug_print(3, "copy_frames thread done!\n");
}

void video_compress::send_frames(frame_queue<frame_t>& queue, int preview, const char* name, char mark)
{
    set_thread_name(name);
    debug_print(3, "%s thread\n", name);
    std::shared_ptr<frame_t> previous;
    stream_count& count = counts[preview];
    while (std::shared_ptr<frame_t> frame = queue.take(mark)) {
        const uint32_t bytes = frame->size;
        const int32_t q = frame->q;
        sender->send_video(frame, preview);
        count.sent.fetch_add(1, std::memory_order_relaxed);
        count.bytes_sent.fetch_add(bytes, std::memory_order_relaxed);
        count.q.store(q, std::memory_order_relaxed);
        // The runtime may read the previous picture until this send has
        // returned.
        previous = std::move(frame);
    }
    debug_print(3, "%s thread done!\n", name);
    previous.reset();
}
