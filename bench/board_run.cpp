#include "bench/board_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/board_root.h"
#include "bench/progress.h"

namespace bench {

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The board's physical memory is a file: in memory when we can.
std::string scratch_folder()
{
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/bench.XXXXXX" : "/tmp/bench.XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a scratch folder");
    return std::filesystem::canonical(pattern).string();   // as /proc shows its files
}

// The ndi-encoder whose environment names this board root.
pid_t find_program(const std::string& root)
{
    const std::string wanted = std::string(board_root_variable) + "=" + root;
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        const pid_t pid = pid_t(atoi(entry->d_name));
        if (pid <= 0)
            continue;
        const std::string dir = std::string("/proc/") + entry->d_name;
        if (read_file(dir + "/comm") != "ndi-encoder\n")
            continue;
        std::istringstream environment(read_file(dir + "/environ"));
        for (std::string variable; std::getline(environment, variable, '\0');)
            if (variable == wanted)
                found = pid;
        if (found > 0)
            break;
    }
    if (proc)
        closedir(proc);
    return found;
}

}   // namespace

std::string board_run::tool_dir()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

void prepare_to_run_boards(const char* program)
{
    if (geteuid() != 0) {
        std::fprintf(stderr, "%s: needs root, for the virtual board's network namespaces\n", program);
        std::exit(77);
    }
    catch_interrupts();
}

board_run::board_run(const board_run_options& options) : scratch(scratch_folder()), board_root(scratch + "/board")
{
    std::vector<std::string> args = {tool_dir() + "/virtual-board",
                                     "--root",
                                     board_root,
                                     "--signal",
                                     options.signal,
                                     "--encoders",
                                     std::to_string(options.encoders),
                                     "--guest-errors",
                                     file("guest-errors"),
                                     "--no-web"};
    if (options.core_log)
        args.insert(args.end(), {"--core-log", file("core.log")});
    if (options.send_log)
        args.insert(args.end(), {"--send-log", file("send.log")});
    if (options.call_cost)
        args.insert(args.end(), {"--call-cost", file("call-cost.log")});
    if (options.camera_timing)
        args.insert(args.end(), {"--camera-timing", file("camera.log")});
    for (const std::string& command : options.lan)
        args.insert(args.end(), {"--lan", command});
    args.insert(args.end(), {"--", "ndi-encoder"});
    args.insert(args.end(), options.program.begin(), options.program.end());

    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string output_path = file("output");
    launcher = fork();
    if (launcher < 0)
        throw std::runtime_error("cannot start virtual-board");
    if (launcher == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        setenv("BENCH_RUN_DIR", scratch.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

board_run::~board_run()
{
    if (!finished())
        stop();
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

pid_t board_run::program()
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (program_pid <= 0) {
        program_pid = find_program(board_root);
        if (program_pid > 0)
            break;
        if (finished() || std::chrono::steady_clock::now() > give_up)
            throw std::runtime_error("the appliance did not start:\n" + output());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return program_pid;
}

bool board_run::finished()
{
    if (launcher <= 0)
        return true;
    int result = 0;
    if (waitpid(launcher, &result, WNOHANG) != launcher)
        return false;
    status = WIFEXITED(result) ? WEXITSTATUS(result) : 128 + WTERMSIG(result);
    launcher = -1;
    return true;
}

int board_run::stop()
{
    if (launcher > 0)
        kill(launcher, SIGTERM);
    return wait();
}

int board_run::wait()
{
    if (launcher > 0) {
        int result = 0;
        while (waitpid(launcher, &result, 0) < 0 && errno == EINTR) {
        }
        status = WIFEXITED(result) ? WEXITSTATUS(result) : 128 + WTERMSIG(result);
        launcher = -1;
    }
    return status;
}

std::string board_run::output() const
{
    return read_file(file("output"));
}

std::string board_run::guest_errors() const
{
    return read_file(file("guest-errors"));
}

}   // namespace bench
