// The page and the JSON interface over HTTP, on libmicrohttpd: one internal
// thread on epoll serves every connection, so that idle or slow clients
// cost a descriptor and a little memory each, never a thread, and the
// library's own bounds (connections, per-address connections, memory per
// connection, time-out) hold what a client may send. Request bodies are
// never read: commands carry their few parameters in the query.
#pragma once

#include <string>

#include "web/web_assets.h"
#include "web/web_state.h"

struct MHD_Daemon;
struct MHD_Connection;

// The query arguments of one request.
struct query {
    virtual ~query() = default;
    // The argument's value, or nullptr.
    virtual const char* get(const char* name) const = 0;
};

class web_server {
public:
    struct settings {
        std::string address = "0.0.0.0";
        uint16_t port = 80;
        std::string user = "admin";
        std::string password;   // empty: commands need none
    };

    // Starts serving at once; throws when the port cannot be had.
    web_server(web_state& state, settings given);
    ~web_server();
    web_server(const web_server&) = delete;
    web_server& operator=(const web_server&) = delete;

    struct reply {
        unsigned status = 200;
        std::string content_type = "application/json";
        std::string body;
        const unsigned char* fixed = nullptr;   // a built-in asset instead of body
        size_t fixed_size = 0;
        bool ask_password = false;
    };

    // The whole routing, apart from the library: what a request gets.
    // client is the IPv4 address in host order; authorised says whether
    // the request carried the password (or none is set).
    reply answer(const std::string& method, const std::string& url, uint32_t client, bool authorised, double now,
                 const query& args);

private:
    web_state& state;
    settings config;
    MHD_Daemon* daemon = nullptr;

    friend struct web_server_glue;
};
