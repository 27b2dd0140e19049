// The video compressor: the encoder cores, rate control and the four bounded
// queues that connect its threads.
//
//   capture thread -> input_queue -> "vidcomp" (compress_frames)
//     -> compressed_queue -> "vidcomp:copy" (copy_frames)
//     -> full_queue -> "send_full", preview_queue -> "send_prvw"
//
// One, two or four identical cores code every picture together, each its
// share of the four slices, into a chunk of the encoder output ring (region
// 0 of the reserved memory). The quality factor Q of each stream comes from
// the NDI runtime's rate control; the quantiser tables derived from it are
// cached in the cores' eight table slots.
//
// Every queue keeps at most three entries after a push, dropping the oldest
// (visible in the debug log at the default level), so a slow consumer never
// holds up its producer. An empty reference is the stop marker of the
// queue's consumer; the destructor pushes one into each queue, upstream
// first, and joins each consumer before the next marker.
//
// Cores that have not answered a picture within half a second are taken
// for hung: "vidcomp" resets them as at its start, forgets the tables it
// had loaded, drops that picture and goes on with the next one.
//
// Threads: each queue has its own lock (see frame_queue); `running` is the
// input queue's gate, guarded by its lock. The ring cursor, the table slots,
// the stream formats and the Q values belong to "vidcomp" alone (and, before
// the threads start, to the constructor); no lock guards them. "vidcomp" is
// also the only thread that touches the encoder registers after
// construction. The records travel between the threads and are changed only
// by the thread that holds them. The counters are relaxed atomics that any
// thread may read.
//
// The output ring hands out chunks in order. A chunk is in use from
// allocate_chunk until "vidcomp:copy" has assembled its pictures into
// buffers of their own (the send threads hand those to NDI, not the ring):
// as the copy thread takes a picture it publishes where that picture's
// chunk starts (oldest_chunk), every chunk before it being read, so the
// chunks in use run from there to the cursor. allocate_chunk refuses a
// chunk that would reach into them, and that picture is dropped rather than
// coded over live data. The constructor refuses a ring too small for the
// chunks that the queues let be in flight.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "base/frame_queue.h"
#include "hw/registers.h"
#include "ndi/coded_picture.h"
#include "ndi/ndi_lib.h"
#include "video/video_capture.h"

class hardware;
class network_send;

class video_compress {
public:
    // One coded picture of one stream: its description for NDI (the
    // coded_picture part: coded width, height, rate, code, timestamp,
    // field, the assembled bytes) and where the cores put its slices.
    struct frame_t : coded_picture {
        int32_t stream = 0;                  // 0 full resolution, 1 preview
        int32_t format = 0;                  // 1 for a 4:2:0 source, else 0
        int32_t width_partial = 0;           // 4:2:2 width not a multiple of 64
        uint32_t stride = 0;                 // source line pitch
        int32_t q = 0;                       // quality the picture is coded with
        int32_t q_slot = 0;                  // quantiser-table slot holding q's table
        uint32_t address = no_chunk;         // chunk offset in the reserved memory
        uint32_t core_bytes = 0;             // bytes of the chunk per encoder core
        uint32_t slice_size[4] = {};         // trimmed slice lengths
        uint32_t header = 0;                 // written before the slices
        uint32_t trailer = 0;                // written after them
        const uint8_t* slice_data[4] = {};   // slices in the mapped output region
    };

    static constexpr uint32_t no_chunk = 0xFFFFFFFF;
    // Chunks in use at once: the picture being coded, those queued for
    // copying and the one being copied.
    static constexpr uint32_t chunks_in_flight = 1 + frame_queue<frame_t>::bound + 1;
    static constexpr int table_slots = int(regs::encoder_table_slots);
    static constexpr int searched_slots = 5;   // the most recently loaded
    // The four-character codes by chroma format and stream.
    static constexpr int32_t fourcc_full_420 = NDIlib_FourCC_video_type_SHQ0;
    static constexpr int32_t fourcc_full_422 = NDIlib_FourCC_video_type_SHQ2;
    static constexpr int32_t fourcc_preview_420 = NDIlib_FourCC_video_type_shq0;
    static constexpr int32_t fourcc_preview_422 = NDIlib_FourCC_video_type_shq2;
    static int32_t fourcc_of(int32_t format, int32_t stream);

    // Counts the cores, takes the output ring and starts the four threads.
    // Throws std::runtime_error when the ring cannot hold the chunks of the
    // largest picture that can be in flight.
    video_compress(std::shared_ptr<::hardware> hardware, std::shared_ptr<::network_send> network_send);
    // Stops the threads in pipeline order, each after the pictures queued
    // before its stop marker; a core that never answers holds this up by at
    // most one interrupt-wait slice.
    ~video_compress();
    video_compress(const video_compress&) = delete;
    video_compress& operator=(const video_compress&) = delete;

    // Opens the input queue; pairs pushed before are discarded. Called once
    // by main when the whole video path is built.
    void enable();

    // The hand-offs; none of them waits for the consumer. An empty
    // reference is the stop marker (push_send's reaches both send queues).
    void push_frame(std::shared_ptr<video_capture::frame_pair_t> pair);
    void push_compressed(std::shared_ptr<frame_t> frame);
    void push_send(std::shared_ptr<frame_t> frame);

    // Copies header, the four slices and trailer into a new data buffer of
    // the frame, replacing the old one.
    static void assemble(frame_t& frame);

    int cores() const { return core_count; }

    // What a supervisor reads of the video path. Each count is exact on its
    // own; together they are not one instant's.
    struct stream_counters_t {
        uint64_t sent = 0;      // pictures handed to NDI
        uint64_t dropped = 0;   // taken in, never to be sent: queue bounds, a full
                                // ring, overflows, cores that did not answer
        uint64_t bytes_sent = 0;
        int32_t q = 0;   // the quality of the last picture sent
    };
    struct counters_t {
        stream_counters_t stream[2];   // full, preview
        uint64_t encoder_resets = 0;   // resets of cores that did not answer
    };
    counters_t counters() const;

    // The steps of one picture on "vidcomp" (public for the tests, which
    // drive them by hand on a compressor whose input was never enabled).
    // prepare_frame gives no frame when the ring has no free chunk for it.
    std::shared_ptr<frame_t> prepare_frame(const video_capture::frame_t& source);
    static std::shared_ptr<frame_t> make_compressed_frame(const video_capture::frame_t& source);
    void query_frame_size(const video_capture::frame_t& source);
    // Gives the frame the next chunk of the ring; false, leaving it without
    // one, while that chunk is still in use.
    bool allocate_chunk(frame_t& frame);
    // Takes back the chunk last handed out, for a picture dropped before
    // anything read it.
    void give_back_chunk(const frame_t& frame);
    // The copy thread's word that it has taken this frame: every chunk
    // before the frame's own is read.
    void release_chunks_before(const frame_t& frame);
    void select_quant_slot(frame_t& frame, int q);
    static void build_reciprocals(int scale, uint16_t (&values)[regs::encoder_table_entries]);
    void load_quant_table(int slot, const uint16_t (&values)[regs::encoder_table_entries]);
    void program_cores(const frame_t& frame, uint32_t source_address);
    void start_cores();
    // Fills the frame's slice table from the lengths the cores report and
    // writes each slice's trimmed length into its first word; returns the
    // number of slices that overflowed their core's share.
    int read_back(frame_t& frame);

    // Chunk bytes of a picture of this coded size, and the share of one core.
    static uint32_t slice_bytes(uint32_t width, uint32_t height);
    static uint32_t chunk_bytes(uint32_t width, uint32_t height);

    // Q values outside what a coder accepts are brought into 0..99.
    static int clamp_q(int q);

    // Ring state, owned by "vidcomp" (see above) but for oldest_chunk.
    uint32_t dma_base = 0;
    uint32_t dma_size = 0;
    uint32_t dma_cursor = 0;
    uint64_t chunks_out = 0;                 // handed out and not given back
    std::atomic<uint32_t> oldest_chunk{0};   // the first chunk still in use
    int32_t slot_q[table_slots];
    int32_t next_slot = 0;
    struct stream_format_t {
        uint32_t width = 0, height = 0, frame_rate_n = 0, frame_rate_d = 0;
    };
    stream_format_t stream_format[2];
    int32_t q_factor[2] = {99, 99};

private:
    void compress_frames();   // body of "vidcomp"
    void copy_frames();       // body of "vidcomp:copy"
    void send_frames(frame_queue<frame_t>& queue, int preview, const char* name, char mark);
    // The steps of "vidcomp": a pair taken from the input queue (empty:
    // the stop marker), one picture coded, the preview record that reuses
    // the full picture's slices.
    std::shared_ptr<video_capture::frame_pair_t> take_pair();
    enum class coding { coded, dropped, stopped };
    // Runs the cores on a prepared frame (null: the ring had no chunk for
    // it) and reads back where they put its slices: coded, dropped (no
    // chunk, cores that did not answer, an overflow; said in the log), or
    // stopped while the cores were silent.
    coding code_picture(frame_t* frame);
    static std::shared_ptr<frame_t> preview_of_full(const video_capture::frame_t& preview, const frame_t& full);
    void clear_core_events();   // the acknowledgement, on every core
    void reset_cores();
    enum class answer { done, silent, stopped };
    // Waits for the cores' interrupt in slices, up to the bound for a
    // picture, or until a stop request.
    answer wait_for_cores();
    // After cores that did not answer: the reset of the thread's start, an
    // answer that came too late taken away, the table slots forgotten.
    void recover_cores();
    bool chunk_is_free(uint32_t start, uint32_t bytes) const;
    // A picture (and the preview that goes with it) that will not be sent.
    void count_dropped(int32_t stream, uint64_t pictures = 1);

    std::shared_ptr<::hardware> hw;
    std::shared_ptr<::network_send> sender;
    int core_count = 1;
    // Set by the destructor: a wait for cores that never answer gives up.
    std::atomic<bool> stopping{false};

    struct stream_count {
        std::atomic<uint64_t> sent{0}, dropped{0}, bytes_sent{0};
        std::atomic<int32_t> q{0};
    };
    stream_count counts[2];
    std::atomic<uint64_t> resets{0};

    frame_queue<video_capture::frame_pair_t> input_queue{false};   // running once enabled
    frame_queue<frame_t> compressed_queue;
    frame_queue<frame_t> full_queue;
    frame_queue<frame_t> preview_queue;

    // The consumers: "vidcomp", "vidcomp:copy", "send_full", "send_prvw"
    // (declared last: they start once everything above exists).
    std::thread compress_thread;
    std::thread copy_thread;
    std::thread full_send_thread;
    std::thread preview_send_thread;
};
