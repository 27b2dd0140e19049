// A first-in-first-out hand-off of shared records between two threads,
// favouring the newest: a producer never waits, and after each push the
// oldest entries are dropped until at most `bound` remain. An empty
// reference is the consumer's stop marker.
//
// Threads: any number of producers, one consumer. mutex guards entries and
// running; every operation holds it only for its own few steps, and the
// trace marks are written under it so that they appear in queue order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "base/debug_log.h"

template <class T>
class frame_queue {
public:
    using entry = std::shared_ptr<T>;

    static constexpr size_t bound = 3;

    // A queue made not running ignores pushes until run() is called.
    explicit frame_queue(bool run_at_once = true) : running(run_at_once) {}
    frame_queue(const frame_queue&) = delete;
    frame_queue& operator=(const frame_queue&) = delete;

    void run()
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = true;
    }

    // Appends e and writes mark (level > 4; none when 0), then drops the
    // oldest entries down to the bound, writing drop_mark (level > 1) for
    // each. Returns false, doing nothing, while the queue is not running.
    bool push(entry e, char mark, char drop_mark)
    {
        return push(std::move(e), mark, drop_mark, [](const entry&) {});
    }

    // The same, showing each dropped entry to dropped(const entry&) before
    // it is released. It runs under the lock: a count, nothing more.
    template <class Dropped>
    bool push(entry e, char mark, char drop_mark, Dropped&& dropped)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!running)
                return false;
            entries.push_back(std::move(e));
            if (mark)
                debug_mark(4, mark);
            while (entries.size() > bound) {
                dropped(std::as_const(entries.front()));
                entries.pop_front();
                debug_mark(1, drop_mark);
            }
        }
        ready.notify_one();
        return true;
    }

    // Appends past the bound: for stop markers, which must not cost a
    // queued picture.
    void push_unbounded(entry e, char mark)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            entries.push_back(std::move(e));
            if (mark)
                debug_mark(4, mark);
        }
        ready.notify_one();
    }

    // Waits for an entry and removes it from the front, writing mark
    // (level > 4; none when 0) for every entry, the stop marker included.
    entry take(char mark = 0)
    {
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait(lock, [this] { return !entries.empty(); });
        entry front = std::move(entries.front());
        entries.pop_front();
        if (mark)
            debug_mark(4, mark);
        return front;
    }

private:
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<entry> entries;
    bool running;
};
