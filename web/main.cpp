// ndi-encoder-web: the appliance's web control page. It supervises the
// program over its control pipes (asks "status" once a second and keeps ten
// minutes of the answers), serves the page and a JSON interface, and drives
// the camera as a local VISCA-over-IP client. A process of its own at
// normal priority: whatever its clients do, the program never waits on it.
//
//   ndi-encoder-web [--options FILE] [--command-pipe PATH] [--reply-pipe PATH]
//                   [--address IPV4] [--port N] [--camera-port N] [--reply-port N]
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/file_descriptor.h"
#include "web/program_link.h"
#include "web/web_server.h"

namespace {

double now_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// NAME=value and NAME="value" lines of a shell-style options file; nothing
// is expanded or run.
std::map<std::string, std::string> read_options(const std::string& path)
{
    std::map<std::string, std::string> values;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        const size_t equals = line.find('=', start);
        if (equals == std::string::npos)
            continue;
        std::string value = line.substr(equals + 1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
            value.pop_back();
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        values[line.substr(start, equals - start)] = value;
    }
    return values;
}

// The word after flag in the program's options ("-I /run/ndi-encoder/command").
std::string option_word(const std::string& options, const std::string& flag)
{
    std::istringstream words(options);
    for (std::string word; words >> word;)
        if (word == flag && words >> word)
            return word;
    return "";
}

void usage()
{
    fprintf(stderr,
            "usage: ndi-encoder-web [--options FILE] [--command-pipe PATH] [--reply-pipe PATH]\n"
            "                       [--address IPV4] [--port N] [--camera-port N] [--reply-port N]\n");
    exit(2);
}

}   // namespace

int main(int argc, char** argv)
{
    std::string options_file = "/etc/default/ndi-encoder";
    std::string command_pipe, reply_pipe;
    web_server::settings http;
    int camera_port = 52385, reply_port = 52386;
    bool port_given = false;

    static const option long_options[] = {{"options", required_argument, nullptr, 'o'},
                                          {"command-pipe", required_argument, nullptr, 'I'},
                                          {"reply-pipe", required_argument, nullptr, 'O'},
                                          {"address", required_argument, nullptr, 'a'},
                                          {"port", required_argument, nullptr, 'p'},
                                          {"camera-port", required_argument, nullptr, 'c'},
                                          {"reply-port", required_argument, nullptr, 'r'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "o:I:O:a:p:c:r:h", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'o': options_file = optarg; break;
        case 'I': command_pipe = optarg; break;
        case 'O': reply_pipe = optarg; break;
        case 'a': http.address = optarg; break;
        case 'p':
            http.port = uint16_t(atoi(optarg));
            port_given = true;
            break;
        case 'c': camera_port = atoi(optarg); break;
        case 'r': reply_port = atoi(optarg); break;
        default: usage();
        }
    }
    if (optind != argc)
        usage();

    // The pipes are the program's own -I and -O, from the one options file
    // both read; the password guards the camera and every command.
    auto values = read_options(options_file);
    if (command_pipe.empty())
        command_pipe = option_word(values["NDI_ENCODER_OPTIONS"], "-I");
    if (reply_pipe.empty())
        reply_pipe = option_word(values["NDI_ENCODER_OPTIONS"], "-O");
    if (!values["NDI_ENCODER_WEB_USER"].empty())
        http.user = values["NDI_ENCODER_WEB_USER"];
    http.password = values["NDI_ENCODER_WEB_PASSWORD"];
    if (!port_given && !values["NDI_ENCODER_WEB_PORT"].empty())
        http.port = uint16_t(atoi(values["NDI_ENCODER_WEB_PORT"].c_str()));
    if (command_pipe.empty() || reply_pipe.empty()) {
        fprintf(stderr, "ndi-encoder-web: no control pipes: give -I and -O in NDI_ENCODER_OPTIONS of %s\n",
                options_file.c_str());
        return 1;
    }

    // SIGTERM and SIGINT end the loop below; SIGPIPE is a write error.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);   // the HTTP thread, made below, inherits it
    signal(SIGPIPE, SIG_IGN);
    const file_descriptor stop_signals(signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC));

    try {
        web_state state;
        program_link program(command_pipe, reply_pipe);
        state.camera = std::make_unique<camera_link>(uint16_t(camera_port), uint16_t(reply_port));
        web_server server(state, http);
        printf("ndi-encoder-web: serving http://%s:%u/, pipes %s and %s\n", http.address.c_str(), http.port,
               command_pipe.c_str(), reply_pipe.c_str());
        fflush(stdout);

        double next_status = now_seconds();
        for (;;) {
            double now = now_seconds();
            double wake = next_status;
            {
                std::lock_guard<std::mutex> hold(state.lock);
                const double camera_deadline = state.camera->next_deadline();
                if (camera_deadline >= 0 && camera_deadline < wake)
                    wake = camera_deadline;
            }
            pollfd watch[] = {{stop_signals.get(), POLLIN, 0},
                              {program.reply_descriptor(), POLLIN, 0},
                              {state.camera->descriptor(), POLLIN, 0}};
            const int timeout = int(std::ceil(std::max(0.0, wake - now) * 1000));
            poll(watch, 3, timeout);
            if (watch[0].revents & POLLIN)
                break;
            now = now_seconds();

            std::vector<std::string> lines;
            if (watch[1].revents & POLLIN)
                lines = program.read_replies(now);
            bool ask = false;
            if (now >= next_status) {
                // On the second's grid, not drifting with each late wake.
                next_status = std::max(next_status + 1.0, std::floor(now));
                ask = true;
            }
            const bool reached = ask ? program.ask_status(now) : program.command_pipe_open();

            std::lock_guard<std::mutex> hold(state.lock);
            for (const auto& line : lines)
                if (state.history.add(now, line))
                    state.last_status_time = now;
            state.program_reached = reached;
            state.program_answering = program.answering(now);
            state.camera->receive(now);
            state.camera->check_drives(now);
        }
        // Leave the camera still, as a released button would.
        std::lock_guard<std::mutex> hold(state.lock);
        state.camera->check_drives(INFINITY);
    } catch (const std::exception& e) {
        fprintf(stderr, "ndi-encoder-web: %s\n", e.what());
        return 1;
    }
    return 0;
}
