// What the HTTP thread and the main thread share: the status history, the
// camera link, whether the program answers, and the request budgets. One
// mutex guards all of it; nothing slow happens under it (no waits, only
// non-blocking sends and formatting a few kilobytes).
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "web/camera_link.h"
#include "web/status_history.h"

// A refill-per-second bucket: take() is false once the burst is spent.
class token_bucket {
public:
    token_bucket(double per_second, double most) : rate(per_second), burst(most), tokens(most) {}
    bool take(double now)
    {
        tokens = std::min(burst, tokens + (now - last) * rate);
        last = now;
        if (tokens < 1)
            return false;
        tokens -= 1;
        return true;
    }
    double last_use() const { return last; }

private:
    double rate, burst, tokens;
    double last = 0;
};

struct web_state {
    // Per client address, and for all camera commands together: the camera
    // takes a few commands a second, the program's queue 63.
    static constexpr double requests_per_second = 40, request_burst = 80;
    static constexpr double camera_per_second = 25, camera_burst = 50;
    static constexpr size_t most_clients = 256;

    std::mutex lock;
    status_history history;                                        // guarded by lock
    std::unique_ptr<camera_link> camera;                           // guarded by lock
    bool program_answering = false;                                // guarded by lock
    bool program_reached = false;                                  // guarded by lock: its command pipe is open
    double last_status_time = 0;                                   // guarded by lock
    std::map<uint32_t, token_bucket> clients;                      // guarded by lock
    token_bucket camera_budget{camera_per_second, camera_burst};   // guarded by lock

    // Under lock: may this client make another request now?
    bool admit(uint32_t client, double now)
    {
        auto found = clients.find(client);
        if (found == clients.end()) {
            if (clients.size() >= most_clients) {
                // Forget the client that has been quiet longest.
                auto quiet = clients.begin();
                for (auto c = clients.begin(); c != clients.end(); ++c)
                    if (c->second.last_use() < quiet->second.last_use())
                        quiet = c;
                clients.erase(quiet);
            }
            found = clients.emplace(client, token_bucket(requests_per_second, request_burst)).first;
        }
        return found->second.take(now);
    }
};
