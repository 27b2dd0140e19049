#include "ptz/reply_limiter.h"

bool reply_limiter::allow(clock::time_point now)
{
    if (count == per_second && now - sent[next] < std::chrono::seconds(1))
        return false;
    sent[next] = now;
    next = (next + 1) % per_second;
    if (count < per_second)
        ++count;
    return true;
}
