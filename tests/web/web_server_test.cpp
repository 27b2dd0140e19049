// The routing of the page and the interface: what each request gets, the
// password, and the request budgets. answer() is called as the library's
// callback calls it; the server itself listens on a port of the system's
// choosing.
#include "web/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "base/file_descriptor.h"

namespace {

struct arguments : query {
    arguments() = default;
    arguments(std::map<std::string, std::string> given) : values(std::move(given)) {}
    std::map<std::string, std::string> values;
    const char* get(const char* name) const override
    {
        const auto found = values.find(name);
        return found == values.end() ? nullptr : found->second.c_str();
    }
};

struct server : ::testing::Test {
    file_descriptor program{socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    web_state state;
    std::unique_ptr<web_server> http;
    double now = 1000;
    uint32_t client = 0xC0A80507;   // 192.168.5.7

    void SetUp() override
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(program.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        getsockname(program.get(), reinterpret_cast<sockaddr*>(&address), &size);
        state.camera = std::make_unique<camera_link>(ntohs(address.sin_port), 0);
        web_server::settings settings;
        settings.address = "127.0.0.1";
        settings.port = 0;
        http = std::make_unique<web_server>(state, settings);
    }
    web_server::reply ask(const std::string& method, const std::string& url, arguments args = {},
                          bool authorised = true)
    {
        return http->answer(method, url, client, authorised, now, args);
    }
    int camera_datagrams()
    {
        int count = 0;
        char buffer[64];
        while (recv(program.get(), buffer, sizeof buffer, 0) > 0)
            ++count;
        return count;
    }
};

TEST_F(server, serves_its_assets_and_interface_and_nothing_else)
{
    const auto page = ask("GET", "/");
    EXPECT_EQ(page.status, 200u);
    EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
    ASSERT_NE(page.fixed, nullptr);
    EXPECT_NE(std::string(reinterpret_cast<const char*>(page.fixed), page.fixed_size).find("/app.js"),
              std::string::npos);
    EXPECT_EQ(ask("GET", "/app.js").content_type, "text/javascript; charset=utf-8");
    EXPECT_EQ(ask("HEAD", "/style.css").content_type, "text/css; charset=utf-8");
    for (const char* url : {"/index.html/", "/../web/main.cpp", "//app.js", "/etc/passwd", "/api", "/api/statu",
                            "/api/camera/home", "/APP.JS", ""})
        EXPECT_EQ(ask("GET", url).status, 404u) << url;
    EXPECT_EQ(ask("POST", "/app.js").status, 404u);
    EXPECT_EQ(ask("POST", "/api/camera/reboot").status, 404u);
    for (const char* method : {"PUT", "DELETE", "OPTIONS", "TRACE", "get"})
        EXPECT_EQ(ask(method, "/").status, 405u) << method;

    const auto status = ask("GET", "/api/status");
    EXPECT_EQ(status.content_type, "application/json");
    EXPECT_EQ(status.body.find("{\"program\":\"gone\","), 0u) << status.body;
    EXPECT_NE(status.body.find("\"status\":null"), std::string::npos) << status.body;
    state.history.add(now, "status signal=none receivers=1\n");
    state.program_answering = state.program_reached = true;
    EXPECT_NE(ask("GET", "/api/status").body.find("\"program\":\"answering\""), std::string::npos);
    EXPECT_NE(ask("GET", "/api/history").body.find("\"receivers\":[1]"), std::string::npos);
    EXPECT_NE(ask("GET", "/api/history", {{{"since", "2000"}}}).body.find("\"receivers\":[]"), std::string::npos);
}

TEST_F(server, camera_commands_check_their_arguments)
{
    EXPECT_EQ(ask("POST", "/api/camera/home").body, "{\"id\":1}");
    EXPECT_EQ(ask("POST", "/api/camera/pan-tilt", {{{"pan", "1"}, {"tilt", "-1"}, {"speed", "24"}}}).status, 200u);
    EXPECT_EQ(ask("POST", "/api/camera/zoom", {{{"direction", "in"}}}).status, 200u);
    EXPECT_EQ(ask("POST", "/api/camera/preset", {{{"number", "8"}, {"action", "store"}}}).status, 200u);
    EXPECT_EQ(ask("POST", "/api/camera/preset", {{{"number", "3"}}}).status, 200u);   // recall
    EXPECT_EQ(ask("POST", "/api/camera/white-balance").status, 200u);                 // mode and trigger
    EXPECT_EQ(ask("POST", "/api/camera/stop", {{{"drive", "zoom"}}}).status, 200u);
    EXPECT_EQ(camera_datagrams(), 8);

    const std::map<std::string, std::string> refused[] = {{{"pan", "0"}, {"tilt", "0"}},
                                                          {{"pan", "2"}},
                                                          {{"pan", "x"}, {"tilt", "1"}},
                                                          {{"tilt", "-2"}},
                                                          {{"pan", "0.5"}},
                                                          {{"pan", "1"}, {"speed", "25"}},
                                                          {{"pan", "1"}, {"speed", "nan"}},
                                                          {{"pan", "1e400"}}};
    for (const auto& values : refused)
        EXPECT_EQ(ask("POST", "/api/camera/pan-tilt", {values}).status, 400u);
    EXPECT_EQ(ask("POST", "/api/camera/zoom", {{{"direction", "sideways"}}}).status, 400u);
    EXPECT_EQ(ask("POST", "/api/camera/zoom", {{{"direction", "in"}, {"speed", "8"}}}).status, 400u);
    EXPECT_EQ(ask("POST", "/api/camera/preset", {{{"number", "0"}}}).status, 400u);
    EXPECT_EQ(ask("POST", "/api/camera/preset", {{{"number", "9"}}}).status, 400u);
    EXPECT_EQ(ask("POST", "/api/camera/preset", {{{"number", "1"}, {"action", "erase"}}}).status, 400u);
    EXPECT_EQ(ask("POST", "/api/camera/stop", {{{"drive", "focus"}}}).status, 400u);
    EXPECT_EQ(camera_datagrams(), 0);
}

TEST_F(server, without_the_password_nothing_reaches_the_camera)
{
    const auto refused = ask("POST", "/api/camera/home", {}, false);
    EXPECT_EQ(refused.status, 401u);
    EXPECT_TRUE(refused.ask_password);
    EXPECT_EQ(ask("POST", "/api/camera/stop", {{{"drive", "zoom"}}}, false).status, 401u);
    EXPECT_EQ(camera_datagrams(), 0);
    // Looking needs none.
    EXPECT_EQ(ask("GET", "/api/status", {}, false).status, 200u);
    EXPECT_EQ(ask("GET", "/", {}, false).status, 200u);
}

TEST_F(server, a_flooding_client_is_refused_alone)
{
    int refused = 0;
    for (int i = 0; i < 200; ++i)
        refused += ask("GET", "/api/status").status == 429;
    EXPECT_EQ(refused, 200 - int(web_state::request_burst));
    const uint32_t flooder = client;
    client = 0xC0A80508;
    EXPECT_EQ(ask("GET", "/api/status").status, 200u);
    // A second later the flooder has a second's worth again.
    client = flooder;
    now += 1;
    int served = 0;
    for (int i = 0; i < 100; ++i)
        served += ask("GET", "/api/status").status == 200;
    EXPECT_EQ(served, int(web_state::requests_per_second));
}

TEST_F(server, camera_commands_have_a_budget_but_stops_always_go)
{
    int sent = 0;
    for (int i = 0; i < 70; ++i) {
        client = 0x0A000000 + uint32_t(i);   // many clients: the camera's budget is the daemon's
        sent += ask("POST", "/api/camera/home").status == 200;
    }
    EXPECT_EQ(sent, int(web_state::camera_burst));
    EXPECT_EQ(ask("POST", "/api/camera/zoom", {{{"direction", "out"}}}).status, 429u);
    EXPECT_EQ(ask("POST", "/api/camera/stop", {{{"drive", "pan-tilt"}}}).status, 200u);
    EXPECT_EQ(camera_datagrams(), sent + 1);
}

}   // namespace
