#include "ptz/request_ring.h"

namespace {

int next(int index)
{
    return (index + 1) % request_ring::slots;
}

int previous(int index)
{
    return (index + request_ring::slots - 1) % request_ring::slots;
}

bool is_stop(int32_t code)
{
    return code == ptz_code::pan_tilt_stop || code == ptz_code::zoom_stop || code == ptz_code::stop_queue;
}

}   // namespace

int request_ring::slot_to_drop() const
{
    for (int i = tail; i != head; i = next(i))
        if (!is_stop(ring[size_t(i)].code))
            return i;
    // All stops: the oldest that a later stop of its kind stands for. Of 63
    // stops of three kinds, some kind has two, so one always exists.
    for (int i = tail; i != head; i = next(i))
        for (int later = next(i); later != head; later = next(later))
            if (ring[size_t(later)].code == ring[size_t(i)].code)
                return i;
    return tail;
}

void request_ring::drop_one()
{
    const int dropped = slot_to_drop();
    // Close the gap: the requests older than the dropped one move up.
    for (int i = dropped; i != tail; i = previous(i))
        ring[size_t(i)] = ring[size_t(previous(i))];
    tail = next(tail);
}

void request_ring::push(const ptz_request& request)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if ((head - tail + slots) % slots == capacity)
            drop_one();
        ring[size_t(head)] = request;
        head = next(head);
    }
    ready.notify_one();
}

ptz_request request_ring::take()
{
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [this] { return head != tail; });
    ptz_request taken = ring[size_t(tail)];
    tail = next(tail);
    while (head != tail && ring[size_t(tail)].code == taken.code) {
        taken = ring[size_t(tail)];
        tail = next(tail);
    }
    return taken;
}

int request_ring::size()
{
    std::lock_guard<std::mutex> lock(mutex);
    return (head - tail + slots) % slots;
}
