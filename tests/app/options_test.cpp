#include "app/options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/utilities.h"
#include "tests/support/open_descriptors.h"

namespace {

struct parsed {
    std::optional<int> status;
    options opts;
    int level;
    bool flush;
    std::string out, err;
};

parsed parse(std::vector<std::string> args)
{
    debug_level = 2;
    debug_flush = false;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    parsed result;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result.status = parse_options(int(args.size()), argv.data(), result.opts);
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    result.level = debug_level;
    result.flush = debug_flush;
    debug_level = 2;
    debug_flush = false;
    return result;
}

const char* usage = "Usage: ndi-encoder [-AB] [-d <percent>] [-hlp] [-147] [-xX] [-vqfi]\n"
                    "  -1 Set Video format to 1080p60\n"
                    "  -7 Set Video format to 720p60\n"
                    "  -P Use video pattern generator\n"
                    "  -X Disable Video capture\n"
                    "  -x Disable Audio capture\n"
                    "  -F Full resolution video capture only\n"
                    "  -p Increase debugging output level\n"
                    "  -q Decrease debugging output level\n"
                    "  -f fflush() after each debug message\n"
                    "  -v Version info\n";

}   // namespace

TEST(options, defaults_and_flags)
{
    parsed p = parse({"ndi-encoder"});
    EXPECT_FALSE(p.status);
    EXPECT_TRUE(p.opts.video);
    EXPECT_TRUE(p.opts.audio);
    EXPECT_FALSE(p.opts.full_only);
    EXPECT_EQ(p.opts.command_fd, -1);
    EXPECT_EQ(p.opts.reply_fd, -1);
    EXPECT_EQ(p.level, 2);

    p = parse({"ndi-encoder", "-X", "-x", "-F", "-f", "-p", "-p", "-p"});
    EXPECT_FALSE(p.status);
    EXPECT_FALSE(p.opts.video);
    EXPECT_FALSE(p.opts.audio);
    EXPECT_TRUE(p.opts.full_only);
    EXPECT_TRUE(p.flush);
    EXPECT_EQ(p.level, 5);
}

TEST(options, quiet_never_goes_below_zero)
{
    EXPECT_EQ(parse({"ndi-encoder", "-q", "-q"}).level, 0);
    EXPECT_EQ(parse({"ndi-encoder", "-q", "-q", "-q"}).level, 0);
    EXPECT_EQ(parse({"ndi-encoder", "-qqq", "-p"}).level, 1);
}

TEST(options, version_stops_before_the_rest)
{
    parsed p = parse({"ndi-encoder", "-v", "-h", "-I"});
    ASSERT_TRUE(p.status);
    EXPECT_EQ(*p.status, 0);
    EXPECT_EQ(p.out, std::string("v") + program_version + "\n");
    EXPECT_EQ(p.out, "v1.5.0\n");
    EXPECT_EQ(p.err, "");
}

TEST(options, unknown_letters_print_the_usage_and_fail)
{
    for (const char* bad : {"-1", "-7", "-P", "-h", "-A", "-d"}) {
        parsed p = parse({"ndi-encoder", bad});
        ASSERT_TRUE(p.status) << bad;
        EXPECT_EQ(*p.status, 1) << bad;
        EXPECT_EQ(p.err, usage) << bad;
        EXPECT_EQ(p.out, "") << bad;
    }
    parsed missing = parse({"ndi-encoder", "-p", "-I"});
    ASSERT_TRUE(missing.status);
    EXPECT_EQ(*missing.status, 1);
    EXPECT_EQ(missing.err, usage);
}

TEST(options, pipes_are_opened_and_announced)
{
    const std::string path = testing::TempDir() + "options_pipe_in";
    FILE* file = fopen(path.c_str(), "w");
    fclose(file);
    parsed p = parse({"ndi-encoder", "-I", path, "-O", path + "/not-there"});
    EXPECT_FALSE(p.status);
    EXPECT_GE(p.opts.command_fd, 0);
    EXPECT_EQ(p.opts.reply_fd, -1);
    EXPECT_EQ(p.out,
              "PIPE_IN " + std::to_string(p.opts.command_fd) + " = " + path + "\nPIPE_OUT -1 = " + path +
                  "/not-there\n");
    close(p.opts.command_fd);
    std::remove(path.c_str());
}

// The supervisor's pipes are the program's alone: a child it ran would
// otherwise hold the command pipe open (no end-of-file when the supervisor
// goes) or write into the reply pipe.
TEST(options, pipes_close_on_exec)
{
    const std::string path = testing::TempDir() + "options_fifo";
    std::remove(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    parsed p = parse({"ndi-encoder", "-I", path, "-O", path});   // the -I end is the -O end's reader
    ASSERT_GE(p.opts.command_fd, 0);
    ASSERT_GE(p.opts.reply_fd, 0);
    EXPECT_TRUE(closes_on_exec(p.opts.command_fd));
    EXPECT_TRUE(closes_on_exec(p.opts.reply_fd));
    close(p.opts.command_fd);
    close(p.opts.reply_fd);
    std::remove(path.c_str());
}

// A pipe named twice: the later one is used and the earlier one closed, not
// held for the life of the program.
TEST(options, a_pipe_named_again_replaces_the_one_before)
{
    const std::string path = testing::TempDir() + "options_fifo_twice";
    std::remove(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const std::set<int> before = open_descriptors();
    parsed p = parse({"ndi-encoder", "-I", path, "-O", path, "-I", path, "-O", path});
    ASSERT_GE(p.opts.command_fd, 0);
    ASSERT_GE(p.opts.reply_fd, 0);
    std::set<int> opened;
    for (int fd : open_descriptors())
        if (!before.count(fd))
            opened.insert(fd);
    EXPECT_EQ(opened, (std::set<int>{p.opts.command_fd, p.opts.reply_fd}));
    close(p.opts.command_fd);
    close(p.opts.reply_fd);
    std::remove(path.c_str());
}
