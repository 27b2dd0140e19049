// Test helpers for threaded code: the debug log captured to a file, and a
// poll for what another thread brings about.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

// The debug log captured at the given level, flushed after every message,
// so that a test can read the marks while the threads write them. Threads
// read the level and the stream without a lock, so a capture is made before
// the threads it listens to start and ends after they have ended. Each
// message and each mark reaches the capture as one write of its own, so
// marks are told from messages however the threads interleave them.
class debug_capture {
public:
    explicit debug_capture(int level);
    ~debug_capture();
    debug_capture(const debug_capture&) = delete;
    debug_capture& operator=(const debug_capture&) = delete;

    std::string text() const;
    // The text without the messages that equal one of these: notes whose
    // presence depends on the run, not on what the test does (a thread
    // priority that an ordinary user may not raise, say).
    std::string text_without(const std::vector<std::string>& left_out) const;
    // Forgets what was captured so far (a start-up's messages).
    void clear();
    // The marks written so far that are in alphabet (messages left out).
    std::string marks(const std::string& alphabet) const;
    size_t count(char mark) const { return marks(std::string(1, mark)).size(); }

private:
    static ssize_t on_write(void* cookie, const char* data, size_t size);

    mutable std::mutex mutex;
    std::vector<std::string> writes;   // one entry per flushed message or mark
    FILE* file;
    FILE* saved_stream;
    int saved_level;
    bool saved_flush;
};

// Polls for what another thread brings about; false after the limit.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));
