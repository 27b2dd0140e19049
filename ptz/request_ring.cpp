#include "ptz/request_ring.h"

namespace {

int next(int index)
{
    return (index + 1) % request_ring::slots;
}

}  // namespace

void request_ring::push(const ptz_request& request)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if ((head - tail + slots) % slots == capacity)
            tail = next(tail);
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
