#include "web/web_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "web/json_text.h"

namespace {

// Bounds on what a client may hold or send (the library enforces them).
constexpr unsigned most_connections = 512;
constexpr unsigned most_connections_per_address = 300;
constexpr unsigned idle_seconds = 15;
constexpr size_t memory_per_connection = 16 * 1024;   // request line and headers included
constexpr size_t longest_url = 512;

// A number from the query: fallback when absent, NaN when not a number
// (which every range check below refuses).
double argument(const query& args, const char* name, double fallback)
{
    const char* text = args.get(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const double value = strtod(text, &end);
    return *end == '\0' && std::isfinite(value) ? value : std::nan("");
}

// A whole number within [low, high], or nothing.
std::optional<int> whole(const query& args, const char* name, int fallback, int low, int high)
{
    const double value = argument(args, name, fallback);
    if (!(value >= low && value <= high) || value != std::floor(value))
        return std::nullopt;
    return int(value);
}

web_server::reply json(unsigned status, std::string body)
{
    web_server::reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

web_server::reply error(unsigned status, const char* message)
{
    std::string body = "{\"error\":";
    append_json_string(body, message);
    body += "}";
    return json(status, body);
}

web_server::reply command_sent(uint64_t id)
{
    return json(200, "{\"id\":" + std::to_string(id) + "}");
}

class connection_query : public query {
public:
    explicit connection_query(MHD_Connection* c) : connection(c) {}
    const char* get(const char* name) const override
    {
        return MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
    }

private:
    MHD_Connection* connection;
};

double now_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}   // namespace

// The library's callback, beside the class so that it may reach in.
struct web_server_glue {
    static MHD_Result on_request(void* self, MHD_Connection* connection, const char* url, const char* method,
                                 const char* /*version*/, const char* /*upload_data*/, size_t* /*upload_size*/,
                                 void** /*context*/)
    {
        auto& server = *static_cast<web_server*>(self);
        uint32_t client = 0;
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (info && info->client_addr && info->client_addr->sa_family == AF_INET)
            client = ntohl(reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr.s_addr);

        bool authorised = server.config.password.empty();
        if (!authorised) {
            char* password = nullptr;
            char* user = MHD_basic_auth_get_username_password(connection, &password);
            authorised = user && password && server.config.user == user && server.config.password == password;
            if (user)
                MHD_free(user);
            if (password)
                MHD_free(password);
        }

        // Answered on the first call, before any body: bodies are never read
        // (the library then closes the connection instead of reading one).
        const connection_query args(connection);
        const web_server::reply r = strlen(url) > longest_url
            ? error(414, "address too long")
            : server.answer(method, url, client, authorised, now_seconds(), args);
        MHD_Response* response = r.fixed
            ? MHD_create_response_from_buffer(r.fixed_size, const_cast<unsigned char*>(r.fixed), MHD_RESPMEM_PERSISTENT)
            : MHD_create_response_from_buffer(r.body.size(), const_cast<char*>(r.body.data()), MHD_RESPMEM_MUST_COPY);
        if (!response)
            return MHD_NO;
        MHD_add_response_header(response, "Content-Type", r.content_type.c_str());
        MHD_add_response_header(response, "Cache-Control", "no-store");
        MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
        MHD_add_response_header(response, "Content-Security-Policy",
                                "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
        MHD_Result queued;
        if (r.ask_password)
            queued = MHD_queue_basic_auth_fail_response(connection, "ndi-encoder", response);
        else
            queued = MHD_queue_response(connection, r.status, response);
        MHD_destroy_response(response);
        return queued;
    }
};

web_server::web_server(web_state& shared, settings given) : state(shared), config(std::move(given))
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config.port);
    if (inet_pton(AF_INET, config.address.c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + config.address);
    daemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, config.port, nullptr, nullptr,
                              &web_server_glue::on_request, this, MHD_OPTION_SOCK_ADDR, &address,
                              MHD_OPTION_CONNECTION_LIMIT, most_connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                              most_connections_per_address, MHD_OPTION_CONNECTION_TIMEOUT, idle_seconds,
                              MHD_OPTION_CONNECTION_MEMORY_LIMIT, memory_per_connection,
                              MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, MHD_OPTION_END);
    if (!daemon)
        throw std::runtime_error("cannot serve HTTP on " + config.address + ":" + std::to_string(config.port));
}

web_server::~web_server()
{
    if (daemon)
        MHD_stop_daemon(daemon);
}

web_server::reply web_server::answer(const std::string& method, const std::string& url, uint32_t client,
                                     bool authorised, double now, const query& args)
{
    const bool get = method == "GET" || method == "HEAD";
    const bool post = method == "POST";
    if (!get && !post)
        return error(405, "GET, HEAD or POST only");

    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.admit(client, now))
        return error(429, "too many requests");

    if (get) {
        const std::string path = url == "/" ? "/index.html" : url;
        for (const web_asset* a = web_assets; a->path; ++a) {
            if (path == a->path) {
                reply r;
                r.content_type = a->content_type;
                r.fixed = a->data;
                r.fixed_size = a->size;
                return r;
            }
        }
        if (url == "/api/status") {
            std::string body = "{\"program\":";
            body += state.program_answering ? "\"answering\"" : state.program_reached ? "\"silent\"" : "\"gone\"";
            body += ",\"now\":";
            append_json_number(body, now);
            body += ",\"status\":" + state.history.latest_json();
            body += ",\"camera\":" + state.camera->log_json() + "}";
            return json(200, body);
        }
        if (url == "/api/history")
            return json(200, state.history.history_json(argument(args, "since", 0)));
        if (url == "/api/camera")
            return json(200, state.camera->log_json());
        return error(404, "no such page");
    }

    const std::string camera_prefix = "/api/camera/";
    if (url.rfind(camera_prefix, 0) != 0)
        return error(404, "no such command");
    if (!authorised) {
        reply r = error(401, "password needed");
        r.ask_password = true;
        return r;
    }
    const std::string action = url.substr(camera_prefix.size());
    camera_link& camera = *state.camera;

    // Holding a drive costs the camera nothing while it does not change.
    if (action == "pan-tilt") {
        const auto pan = whole(args, "pan", 0, -1, 1), tilt = whole(args, "tilt", 0, -1, 1);
        const auto speed = whole(args, "speed", 8, 1, 24);
        if (!pan || !tilt || (*pan == 0 && *tilt == 0))
            return error(400, "pan and tilt are -1, 0 or 1, not both 0");
        if (!speed)
            return error(400, "speed is 1 to 24");
        const auto drive = visca_commands::pan_tilt(*pan, *tilt, *speed);
        const std::string name = "pan-tilt " + std::to_string(*pan) + " " + std::to_string(*tilt) + " speed " +
            std::to_string(int(drive[4]));
        if (!state.camera_budget.take(now))
            return error(429, "too many camera commands");
        return command_sent(camera.hold_drive("pan-tilt", name, drive, visca_commands::pan_tilt_stop(), now));
    }
    if (action == "zoom") {
        const std::string direction = args.get("direction") ? args.get("direction") : "";
        if (direction != "in" && direction != "out")
            return error(400, "direction is in or out");
        const auto zoom_speed = whole(args, "speed", 4, 0, 7);
        if (!zoom_speed)
            return error(400, "speed is 0 to 7");
        const auto drive = visca_commands::zoom(direction == "in" ? 1 : -1, *zoom_speed);
        if (!state.camera_budget.take(now))
            return error(429, "too many camera commands");
        return command_sent(camera.hold_drive("zoom", "zoom " + direction + " speed " + std::to_string(*zoom_speed),
                                              drive, visca_commands::zoom_stop(), now));
    }
    if (action == "stop") {
        const std::string drive = args.get("drive") ? args.get("drive") : "";
        if (drive != "pan-tilt" && drive != "zoom")
            return error(400, "drive is pan-tilt or zoom");
        // A stop is always sent, whatever the budget says.
        state.camera_budget.take(now);
        return command_sent(camera.release_drive(drive, now));
    }
    if (!state.camera_budget.take(now))
        return error(429, "too many camera commands");
    if (action == "home")
        return command_sent(camera.send("home", visca_commands::home(), now));
    if (action == "preset") {
        const auto preset = whole(args, "number", 0, 1, 8);
        if (!preset)
            return error(400, "number is 1 to 8");
        const int number = *preset;
        const std::string what = args.get("action") ? args.get("action") : "recall";
        if (what == "recall")
            return command_sent(camera.send("preset " + std::to_string(number) + " recall",
                                            visca_commands::preset_recall(number), now));
        if (what == "store")
            return command_sent(
                camera.send("preset " + std::to_string(number) + " store", visca_commands::preset_store(number), now));
        return error(400, "action is recall or store");
    }
    if (action == "white-balance") {
        // The trigger is refused outside one-push mode: the mode first.
        camera.send("white balance one-push mode", visca_commands::white_balance_one_push_mode(), now);
        return command_sent(
            camera.send("white balance one-push trigger", visca_commands::white_balance_one_push_trigger(), now));
    }
    return error(404, "no such command");
}
