// ndi-monitor as a person runs it, against a sender on the stand-in driven
// from this test on loopback; the recording is checked with ffprobe and
// ffmpeg, not with our own reading of Matroska.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ndi/ndi_lib.h"
#include "sim/ndi/ndi_sim.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr const char* loopback_config = R"({"tcp":{"port":0,"address":"127.0.0.1"}})";
constexpr const char* capabilities = R"(<ndi_capabilities qrn_ptz="true" web_control="http://192.168.5.20"/>)";

// A child process with its standard output and error in files.
class child_process {
public:
    child_process(std::vector<std::string> arguments, const std::filesystem::path& output)
        : output_path(output)
    {
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~child_process()
    {
        if (pid > 0 && status < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // The exit status, or -1 when it did not end within timeout.
    int wait(std::chrono::milliseconds timeout)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (status < 0) {
            int raw = 0;
            if (waitpid(pid, &raw, WNOHANG) == pid) {
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            std::this_thread::sleep_for(20ms);
        }
        return status;
    }

    std::string output() const
    {
        std::ifstream in(output_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    pid_t pid = -1;

private:
    std::filesystem::path output_path;
    int status = -1;
};

std::string run(const std::string& command)
{
    std::string result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        result.append(chunk, got);
    pclose(pipe);
    return result;
}

// ffprobe's key=value lines, one map per stream, plus the format's.
std::vector<std::map<std::string, std::string>> probe(const std::filesystem::path& file)
{
    std::string text = run("ffprobe -v error -show_entries "
                           "stream=codec_type,codec_name,codec_tag_string,sample_rate,channels,width,height:"
                           "stream_tags=title:format=duration -of default=nw=0 '" +
                           file.string() + "'");
    std::vector<std::map<std::string, std::string>> sections;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "[STREAM]" || line == "[FORMAT]")
            sections.emplace_back();
        else if (auto equals = line.find('='); equals != std::string::npos && !sections.empty())
            sections.back()[line.substr(0, equals)] = line.substr(equals + 1);   // tags as TAG:title
    }
    return sections;
}

class monitor_run : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::system("command -v ffprobe >/dev/null && command -v ffmpeg >/dev/null") != 0)
            GTEST_SKIP() << "ffprobe and ffmpeg are needed to check recordings";
        directory = std::filesystem::temp_directory_path() /
                    ("ndi-monitor-test-" + std::to_string(getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(directory);

        NDIlib_send_create_t settings{"PTZ", nullptr, false, false};
        instance = NDIlib_send_create_v2(&settings, loopback_config);
        ASSERT_NE(instance, nullptr);
        port = NDIsim_send_get_port(instance);
    }

    void TearDown() override
    {
        if (instance)
            NDIlib_send_destroy(instance);
        if (!HasFailure() && !directory.empty())
            std::filesystem::remove_all(directory);
    }

    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port); }

    std::filesystem::path directory;
    NDIlib_send_instance_t instance = nullptr;
    int port = 0;
};

TEST_F(monitor_run, records_audio_and_both_video_streams_the_way_they_were_sent)
{
    NDIlib_metadata_frame_t metadata{0, NDIlib_send_timecode_synthesize, const_cast<char*>(capabilities)};
    NDIlib_send_add_connection_metadata(instance, &metadata);

    auto recording = directory / "recording.mkv";
    child_process monitor({NDI_MONITOR_PATH, "--connect", endpoint(), "--record", recording.string(), "--tally",
                           "program", "--ptz", R"(<ptzZoom zoom="0.5"/>)", "--quiet"},
                          directory / "monitor.txt");
    ASSERT_GT(monitor.pid, 0);

    // The monitor is connected once its tally and its PTZ document are here.
    NDIlib_tally_t tally{};
    ASSERT_TRUE(NDIlib_send_get_tally(instance, &tally, 10000)) << monitor.output();
    EXPECT_TRUE(tally.on_program);
    EXPECT_FALSE(tally.on_preview);
    NDIlib_metadata_frame_t ptz{};
    ASSERT_EQ(NDIlib_send_capture(instance, &ptz, 5000), NDIlib_frame_type_metadata);
    EXPECT_STREQ(ptz.p_data, R"(<ptzZoom zoom="0.5"/>)");
    NDIlib_send_free_metadata(instance, &ptz);

    // Two seconds of media, sent over about one and a half, so that the
    // monitor's first second is held back and the rest written live.
    const int64_t start = 17000000000000000;   // 100 ns units, as the program's clock gives
    std::vector<int32_t> sent_audio;
    std::vector<uint8_t> full(40000), preview(9000);
    int blocks = 0, full_pictures = 0, preview_pictures = 0;
    for (int tick = 0; tick < 125; ++tick) {
        std::vector<int32_t> block(2 * 768);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = int32_t((sent_audio.size() + i) * 2654435761u);
        sent_audio.insert(sent_audio.end(), block.begin(), block.end());
        NDIlib_audio_frame_interleaved_32s_t audio{48000, 2, 768, start + int64_t(blocks) * 160000, 20, block.data()};
        NDIlib_util_send_send_audio_interleaved_32s(instance, &audio);
        ++blocks;

        int64_t now = int64_t(blocks) * 160000;
        while (int64_t(full_pictures) * 10000000 / 30 < now) {
            std::fill(full.begin(), full.end(), uint8_t(full_pictures));
            NDIlib_video_frame_v2_t frame{};
            frame.xres = 1920;
            frame.yres = 1080;
            frame.FourCC = NDIlib_FourCC_video_type_SHQ2;
            frame.frame_rate_N = 30000;
            frame.frame_rate_D = 1000;
            frame.picture_aspect_ratio = 16.0f / 9.0f;
            frame.frame_format_type = NDIlib_frame_format_type_progressive;
            frame.timecode = start + int64_t(full_pictures) * 10000000 / 30;
            frame.p_data = full.data();
            frame.data_size_in_bytes = int(full.size());
            NDIlib_send_send_video_async_v2(instance, &frame);
            ++full_pictures;
            if (full_pictures % 2 == 0) {
                frame.xres = 960;
                frame.yres = 540;
                frame.FourCC = NDIlib_FourCC_video_type_shq2;
                frame.frame_rate_N = 15000;
                frame.p_data = preview.data();
                frame.data_size_in_bytes = int(preview.size());
                NDIlib_send_send_video_async_v2(instance, &frame);
                ++preview_pictures;
            }
        }
        std::this_thread::sleep_for(12ms);
    }
    NDIlib_send_destroy(instance);   // the monitor sees the sender close
    instance = nullptr;

    ASSERT_EQ(monitor.wait(20s), 0) << monitor.output();
    std::string output = monitor.output();
    EXPECT_NE(output.find(std::string("\n") + capabilities + "\n"), std::string::npos) << output;
    EXPECT_NE(output.find("tally sent: on program"), std::string::npos) << output;
    EXPECT_NE(output.find("the sender closed the connection"), std::string::npos) << output;
    EXPECT_NE(output.find("125 blocks"), std::string::npos) << output;
    EXPECT_NE(output.find("0 timecode jumps"), std::string::npos) << output;
    EXPECT_NE(output.find("recorded " + recording.string()), std::string::npos) << output;

    auto sections = probe(recording);
    ASSERT_EQ(sections.size(), 4u) << run("ffprobe -hide_banner '" + recording.string() + "' 2>&1");
    std::map<std::string, std::map<std::string, std::string>> by_kind;
    for (auto& section : sections) {
        if (section.count("codec_type") == 0)
            by_kind["format"] = section;
        else if (section["codec_type"] == "audio")
            by_kind["audio"] = section;
        else
            by_kind[section["TAG:title"]] = section;
    }
    EXPECT_EQ(by_kind["audio"]["codec_name"], "pcm_s32le");
    EXPECT_EQ(by_kind["audio"]["sample_rate"], "48000");
    EXPECT_EQ(by_kind["audio"]["channels"], "2");
    EXPECT_EQ(by_kind["SHQ2"]["codec_name"], "speedhq");
    EXPECT_EQ(by_kind["SHQ2"]["codec_tag_string"], "SHQ2");
    EXPECT_EQ(by_kind["SHQ2"]["width"], "1920");
    EXPECT_EQ(by_kind["SHQ2"]["height"], "1080");
    EXPECT_EQ(by_kind["shq2"]["codec_name"], "speedhq");
    EXPECT_EQ(by_kind["shq2"]["codec_tag_string"], "SHQ2");   // what decoders know; the title keeps "shq2"
    EXPECT_EQ(by_kind["shq2"]["width"], "960");
    EXPECT_NEAR(std::stod(by_kind["format"]["duration"]), 2.0, 0.1);

    // The samples come back exactly, in order, without gaps or repeats.
    std::string samples = run("ffmpeg -v error -i '" + recording.string() + "' -map 0:a -f s32le -");
    ASSERT_EQ(samples.size(), sent_audio.size() * 4);
    EXPECT_EQ(std::memcmp(samples.data(), sent_audio.data(), samples.size()), 0);

    std::string pictures = run("ffprobe -v error -select_streams v -count_packets -show_entries "
                               "stream=nb_read_packets:stream_tags=title -of csv=p=0 '" +
                               recording.string() + "'");
    EXPECT_NE(pictures.find(std::to_string(full_pictures) + ",SHQ2"), std::string::npos) << pictures;
    EXPECT_NE(pictures.find(std::to_string(preview_pictures) + ",shq2"), std::string::npos) << pictures;
}

TEST_F(monitor_run, stops_on_time_or_signal_and_says_so)
{
    child_process timed({NDI_MONITOR_PATH, "--connect", endpoint(), "--seconds", "1"}, directory / "timed.txt");
    ASSERT_EQ(timed.wait(10s), 0) << timed.output();
    EXPECT_NE(timed.output().find("time is up"), std::string::npos) << timed.output();
    EXPECT_NE(timed.output().find("no media"), std::string::npos) << timed.output();

    child_process stopped({NDI_MONITOR_PATH, "--connect", endpoint(), "--quiet", "--ptz", "<ready/>"},
                          directory / "stopped.txt");
    NDIlib_metadata_frame_t ready{};
    ASSERT_EQ(NDIlib_send_capture(instance, &ready, 10000), NDIlib_frame_type_metadata) << stopped.output();
    NDIlib_send_free_metadata(instance, &ready);
    kill(stopped.pid, SIGTERM);
    NDIlib_tally_t tally{};
    ASSERT_EQ(stopped.wait(10s), 0) << stopped.output();
    EXPECT_NE(stopped.output().find("stopped by SIGTERM"), std::string::npos) << stopped.output();
    EXPECT_FALSE(NDIlib_send_get_tally(instance, &tally, 10));   // it told no tally
}

TEST_F(monitor_run, fails_when_nobody_listens)
{
    NDIlib_send_destroy(instance);   // frees the port: nobody listens there now
    instance = nullptr;
    child_process monitor({NDI_MONITOR_PATH, "--connect", endpoint()}, directory / "refused.txt");
    EXPECT_EQ(monitor.wait(10s), 1) << monitor.output();
    EXPECT_NE(monitor.output().find("cannot connect to " + endpoint()), std::string::npos) << monitor.output();

    child_process usage({NDI_MONITOR_PATH, "--record", "x.mkv"}, directory / "usage.txt");
    EXPECT_EQ(usage.wait(10s), 2);
}

}  // namespace
