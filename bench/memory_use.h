// A process's resident memory from /proc/PID/smaps, split by what the
// pages are: the board's memory file (the DMA memory the program maps from
// /dev/mem, and the virtual FPGA maps for its cores), the brk heap, other
// anonymous memory (malloc's arenas for threads, large allocations, thread
// stacks) and pages of files (the program and its libraries).
//
// Thread rules: none.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace bench {

struct memory_use {
    int64_t rss_kib = 0;         // everything resident
    int64_t dma_kib = 0;         // mappings of files under the board root
    int64_t heap_kib = 0;        // [heap]
    int64_t anonymous_kib = 0;   // other mappings of no file
    int64_t file_kib = 0;        // other files
    int64_t without_dma() const { return rss_kib - dma_kib; }
};

// board_root: mappings of files below it are the board's memory.
memory_use parse_smaps(const std::string& smaps, const std::string& board_root);
memory_use read_memory_use(pid_t pid, const std::string& board_root);

}   // namespace bench
