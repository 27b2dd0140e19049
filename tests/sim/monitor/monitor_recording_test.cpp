// ndi-monitor as a person runs it, against a sender on the stand-in driven
// from this test on loopback, sending SpeedHQ pictures coded by FFmpeg's
// encoder the way the appliance sends its own; the recording and the
// snapshot are checked with ffprobe and ffmpeg, not with our own reading.
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

#include "monitor_checks.h"
#include "ndi/ndi_lib.h"
#include "sim/monitor/monitor_report.h"
#include "sim/ndi/ndi_sim.h"
#include "speedhq_pictures.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace ndi_test;
using ndi_monitor::monitor_report;
using ndi_monitor::video_report;

constexpr const char* loopback_config = R"({"tcp":{"port":0,"address":"127.0.0.1"}})";
constexpr const char* capabilities = R"(<ndi_capabilities qrn_ptz="true" web_control="http://192.168.5.20"/>)";

// A child process with its standard output and error in files.
class child_process {
public:
    child_process(std::vector<std::string> arguments, const std::filesystem::path& output) : output_path(output)
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

// ffprobe's key=value lines, one map per stream, plus the format's.
std::vector<std::map<std::string, std::string>> probe(const std::filesystem::path& file)
{
    // FIELDS as well: the field tracks say which field is first
    std::string text = run("ffprobe -v error -show_entries "
                           "stream=codec_type,codec_name,codec_tag_string,sample_rate,channels,width,height:"
                           "stream_tags=title,FIELDS:format=duration -of default=nw=0 '" +
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

// The probed sections by kind: "audio", "format", and each video track by
// its title.
std::map<std::string, std::map<std::string, std::string>> tracks_of(const std::filesystem::path& file)
{
    std::map<std::string, std::map<std::string, std::string>> by_kind;
    for (auto& section : probe(file)) {
        if (section.count("codec_type") == 0)
            by_kind["format"] = section;
        else if (section["codec_type"] == "audio")
            by_kind["audio"] = section;
        else
            by_kind[section["TAG:title"]] = section;
    }
    return by_kind;
}

// Decodes every picture of the track with that title: the number of
// pictures, and FFmpeg's complaints in errors.
int decoded_pictures(const std::filesystem::path& file, const std::string& title, std::string& errors)
{
    auto complaints = file.parent_path() / ("decoding-" + title + ".txt");
    std::string counted =
        run("ffprobe -v error -count_frames -select_streams v:m:title:" + title +
            " -show_entries stream=nb_read_frames -of csv=p=0 '" + file.string() + "' 2>'" + complaints.string() + "'");
    std::ifstream in(complaints);
    errors.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return std::atoi(counted.c_str());
}

int64_t wall_clock_100ns()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

class monitor_run : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!have_ffmpeg_tools())
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

    // A monitor that is connected when this returns: it has sent its
    // "<ready/>" document.
    std::unique_ptr<child_process> connected_monitor(std::vector<std::string> arguments, const std::string& name)
    {
        arguments.insert(arguments.begin(), {NDI_MONITOR_PATH, "--connect", endpoint(), "--ptz", "<ready/>"});
        auto monitor = std::make_unique<child_process>(arguments, directory / (name + ".txt"));
        NDIlib_metadata_frame_t ready{};
        EXPECT_EQ(NDIlib_send_capture(instance, &ready, 10000), NDIlib_frame_type_metadata) << monitor->output();
        NDIlib_send_free_metadata(instance, &ready);
        return monitor;
    }

    // One picture as the appliance sends it; coded stays readable until
    // the sender is destroyed.
    void send_picture(uint32_t fourcc, int width, int height, int rate_n, int rate_d, int format_type, int64_t timecode,
                      const std::vector<uint8_t>& coded)
    {
        NDIlib_video_frame_v2_t frame{};
        frame.xres = width;
        frame.yres = height;
        frame.FourCC = NDIlib_FourCC_video_type_e(fourcc);
        frame.frame_rate_N = rate_n;
        frame.frame_rate_D = rate_d;
        frame.picture_aspect_ratio = 16.0f / 9.0f;
        frame.frame_format_type = NDIlib_frame_format_type_e(format_type);
        frame.timecode = timecode;
        frame.timestamp = timecode;
        frame.p_data = const_cast<uint8_t*>(coded.data());
        frame.data_size_in_bytes = int(coded.size());
        NDIlib_send_send_video_async_v2(instance, &frame);
    }

    // The sender closes; the monitor sees it and ends.
    std::string closed_and_finished(child_process& monitor)
    {
        NDIlib_send_destroy(instance);
        instance = nullptr;
        EXPECT_EQ(monitor.wait(20s), 0) << monitor.output();
        return monitor.output();
    }

    std::filesystem::path directory;
    NDIlib_send_instance_t instance = nullptr;
    int port = 0;
};

TEST_F(monitor_run, records_audio_and_both_video_streams_the_way_they_were_sent)
{
    NDIlib_metadata_frame_t metadata{0, NDIlib_send_timecode_synthesize, const_cast<char*>(capabilities)};
    NDIlib_send_add_connection_metadata(instance, &metadata);

    auto recording = directory / "recording.mkv";
    auto snapshot = directory / "snapshot.png";
    child_process monitor({NDI_MONITOR_PATH, "--connect", endpoint(), "--record", recording.string(), "--snapshot",
                           snapshot.string(), "--tally", "program", "--ptz", R"(<ptzZoom zoom="0.5"/>)", "--quiet"},
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

    // The appliance's two streams: 1080p and its 640 x 360 preview, 4:2:2,
    // bars turned by one bar a picture.
    std::vector<std::vector<uint8_t>> full, preview;
    speedhq_encoder full_encoder(1920, 1080, false), preview_encoder(640, 360, false);
    for (int rotation = 0; rotation < 8; ++rotation) {
        full.push_back(full_encoder.encode(colour_bars(1920, 1080, false, rotation), 90 - 2 * rotation));
        preview.push_back(preview_encoder.encode(colour_bars(640, 360, false, rotation), 80));
    }

    // Two seconds of media, sent over about one and a half, so that the
    // monitor's first second is held back and the rest written live.
    const int64_t start = 17000000000000000;   // 100 ns units, as the program's clock gives
    std::vector<int32_t> sent_audio;
    int blocks = 0, full_pictures = 0, preview_pictures = 0;
    const auto begin = std::chrono::steady_clock::now();
    for (int tick = 0; tick < 125; ++tick) {
        // On a schedule of its own, so that a sender held up on a loaded
        // machine catches up instead of falling behind its timecodes.
        std::this_thread::sleep_until(begin + tick * 12ms);
        std::vector<int32_t> block(2 * 768);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = int32_t((sent_audio.size() + i) * 2654435761u);
        sent_audio.insert(sent_audio.end(), block.begin(), block.end());
        NDIlib_audio_frame_interleaved_32s_t audio{48000, 2, 768, start + int64_t(blocks) * 160000, 20, block.data()};
        NDIlib_util_send_send_audio_interleaved_32s(instance, &audio);
        ++blocks;

        int64_t now = int64_t(blocks) * 160000;
        while (int64_t(full_pictures) * 10000000 / 30 < now) {
            int64_t timecode = start + int64_t(full_pictures) * 10000000 / 30;
            send_picture(NDIlib_FourCC_video_type_SHQ2, 1920, 1080, 30000, 1000, 1, timecode,
                         full[size_t(full_pictures % 8)]);
            ++full_pictures;
            if (full_pictures % 2 == 0) {
                send_picture(NDIlib_FourCC_video_type_shq2, 640, 360, 15000, 1000, 1, timecode,
                             preview[size_t(preview_pictures % 8)]);
                ++preview_pictures;
            }
        }
    }
    std::string output = closed_and_finished(monitor);
    EXPECT_NE(output.find(std::string("\n") + capabilities + "\n"), std::string::npos) << output;
    EXPECT_NE(output.find("tally sent: on program"), std::string::npos) << output;
    EXPECT_NE(output.find("the sender closed the connection"), std::string::npos) << output;
    EXPECT_NE(output.find("125 blocks"), std::string::npos) << output;
    EXPECT_NE(output.find("0 timecode jumps"), std::string::npos) << output;
    EXPECT_NE(output.find("recorded " + recording.string()), std::string::npos) << output;
    // Every frame reached the recording; whether one came late is the
    // machine's load, not the monitor's doing.
    EXPECT_NE(output.find("dropped 0,"), std::string::npos) << output;

    auto by_kind = tracks_of(recording);
    ASSERT_EQ(by_kind.size(), 4u) << run("ffprobe -hide_banner '" + recording.string() + "' 2>&1");
    EXPECT_EQ(by_kind["audio"]["codec_name"], "pcm_s32le");
    EXPECT_EQ(by_kind["audio"]["sample_rate"], "48000");
    EXPECT_EQ(by_kind["audio"]["channels"], "2");
    EXPECT_EQ(by_kind["SHQ2"]["codec_name"], "speedhq");
    EXPECT_EQ(by_kind["SHQ2"]["codec_tag_string"], "SHQ2");
    EXPECT_EQ(by_kind["SHQ2"]["width"], "1920");
    EXPECT_EQ(by_kind["SHQ2"]["height"], "1080");
    EXPECT_EQ(by_kind["shq2"]["codec_name"], "speedhq");
    EXPECT_EQ(by_kind["shq2"]["codec_tag_string"], "SHQ2");   // what decoders know; the title keeps "shq2"
    EXPECT_EQ(by_kind["shq2"]["width"], "640");
    EXPECT_EQ(by_kind["shq2"]["height"], "360");
    EXPECT_EQ(by_kind["SHQ2"].count("TAG:FIELDS"), 0u);   // progressive
    EXPECT_NEAR(std::stod(by_kind["format"]["duration"]), 2.0, 0.1);

    // The samples come back exactly, in order, without gaps or repeats.
    std::string samples = run("ffmpeg -v error -i '" + recording.string() + "' -map 0:a -f s32le -");
    ASSERT_EQ(samples.size(), sent_audio.size() * 4);
    EXPECT_EQ(std::memcmp(samples.data(), sent_audio.data(), samples.size()), 0);

    // FFmpeg decodes every picture of both streams.
    std::string errors;
    EXPECT_EQ(decoded_pictures(recording, "SHQ2", errors), full_pictures);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(decoded_pictures(recording, "shq2", errors), preview_pictures);
    EXPECT_EQ(errors, "");

    // The snapshot is the last full picture.
    EXPECT_NE(output.find("snapshot " + snapshot.string() + ": 1920x1080 from one SHQ2 1920x1080 picture"),
              std::string::npos)
        << output;
    rgb_image image = read_image(snapshot);
    EXPECT_EQ(image.width, 1920);
    EXPECT_EQ(image.height, 1080);
    expect_bars(image, (full_pictures - 1) % 8);
}

TEST_F(monitor_run, records_interlaced_fields_as_pictures_of_their_tracks)
{
    // 1080i59.94 as the appliance sends it: every field a picture of
    // 1920 x 540, frame format type 2 then 3, each with its capture time,
    // and a 640 x 180 preview field beside each. First fields show the bars
    // turned by 0 to 2, second fields by 4 to 6.
    std::vector<std::vector<uint8_t>> full, preview;
    speedhq_encoder full_encoder(1920, 540, false), preview_encoder(640, 180, false);
    for (int rotation : {0, 1, 2, 4, 5, 6}) {
        full.push_back(full_encoder.encode(colour_bars(1920, 540, false, rotation), 92));
        preview.push_back(preview_encoder.encode(colour_bars(640, 180, false, rotation), 84));
    }
    auto recording = directory / "interlaced.mkv";
    auto snapshot = directory / "interlaced.png";
    auto monitor =
        connected_monitor({"--record", recording.string(), "--snapshot", snapshot.string(), "--quiet"}, "monitor");

    const int64_t start = 17000000000000000;
    const int fields = 90;
    for (int k = 0; k < fields; ++k) {
        int64_t timecode = start + int64_t(k) * 10010000 / 60;   // a field period of 1001/60000 s
        int format_type = k % 2 == 0 ? 2 : 3;
        size_t picture = size_t((k / 2) % 3 + (k % 2) * 3);
        send_picture(NDIlib_FourCC_video_type_SHQ2, 1920, 540, 60000, 1001, format_type, timecode, full[picture]);
        send_picture(NDIlib_FourCC_video_type_shq2, 640, 180, 60000, 1001, format_type, timecode, preview[picture]);
        std::this_thread::sleep_for(15ms);
    }
    std::string output = closed_and_finished(*monitor);
    EXPECT_NE(output.find("video SHQ2 1920x540 fields: 90 pictures"), std::string::npos) << output;

    auto by_kind = tracks_of(recording);
    ASSERT_EQ(by_kind.size(), 3u) << run("ffprobe -hide_banner '" + recording.string() + "' 2>&1");
    for (auto [title, width, height] : {std::tuple{"SHQ2", "1920", "540"}, std::tuple{"shq2", "640", "180"}}) {
        SCOPED_TRACE(title);
        EXPECT_EQ(by_kind[title]["codec_name"], "speedhq");
        EXPECT_EQ(by_kind[title]["codec_tag_string"], "SHQ2");
        EXPECT_EQ(by_kind[title]["width"], width);
        EXPECT_EQ(by_kind[title]["height"], height);
        EXPECT_EQ(by_kind[title]["TAG:FIELDS"], "one field a picture, the first picture field 0 (top)");
        std::string errors;
        EXPECT_EQ(decoded_pictures(recording, title, errors), fields);
        EXPECT_EQ(errors, "");
    }

    // Each field at its own time: one field period apart (the file keeps
    // milliseconds).
    std::istringstream times(run("ffprobe -v error -select_streams v:m:title:SHQ2 -show_entries packet=pts_time "
                                 "-of csv=p=0 '" +
                                 recording.string() + "'"));
    std::vector<double> pts;
    for (double t; times >> t;)
        pts.push_back(t);
    ASSERT_EQ(pts.size(), size_t(fields));
    for (size_t k = 1; k < pts.size(); ++k)
        EXPECT_NEAR(pts[k] - pts[k - 1], 1001.0 / 60000, 0.0011) << "field " << k;
    EXPECT_NEAR(pts.back() - pts.front(), (fields - 1) * 1001.0 / 60000, 0.0011);

    // The snapshot weaves the last two fields: 44 % 3 = 2 and 6.
    EXPECT_NE(output.find("1920x1080 from two SHQ2 1920x540 fields"), std::string::npos) << output;
    rgb_image image = read_image(snapshot);
    EXPECT_EQ(image.width, 1920);
    EXPECT_EQ(image.height, 1080);
    expect_bars(image, 2, 0);
    expect_bars(image, 6, 1);
}

TEST_F(monitor_run, reports_q_and_the_latency_from_the_timecodes)
{
    // Pictures stamped 40 ms (full) and 15 ms (preview) before they are
    // sent: the monitor's latency is that, plus the trip through loopback.
    speedhq_encoder full_encoder(640, 360, false), preview_encoder(320, 180, false);
    std::vector<std::vector<uint8_t>> full = {full_encoder.encode(colour_bars(640, 360, false, 0), 80),
                                              full_encoder.encode(colour_bars(640, 360, false, 1), 90)};
    std::vector<uint8_t> preview = preview_encoder.encode(colour_bars(320, 180, false, 2), 70);
    auto monitor = connected_monitor({"--summary-format", "kv"}, "monitor");

    // 2.2 s at 50 pictures a second, on a schedule of their own: a sender
    // held up on a loaded machine catches up instead of slowing the rate.
    const auto begin = std::chrono::steady_clock::now();
    for (int k = 0; k < 110; ++k) {
        std::this_thread::sleep_until(begin + k * 20ms);
        int64_t now = wall_clock_100ns();
        send_picture(NDIlib_FourCC_video_type_SHQ2, 640, 360, 50000, 1000, 1, now - 400000, full[size_t(k % 2)]);
        if (k % 2 == 0)
            send_picture(NDIlib_FourCC_video_type_shq2, 320, 180, 25000, 1000, 1, now - 150000, preview);
    }
    std::string output = closed_and_finished(*monitor);

    const auto summary = ndi_monitor::last_summary(output);
    ASSERT_TRUE(summary) << output;
    std::printf("%s", summary->prose().c_str());   // what the trip through the stand-in and loopback adds
    const video_report* full_stream = summary->find("SHQ2");
    ASSERT_NE(full_stream, nullptr) << output;
    EXPECT_EQ(full_stream->name(), "SHQ2 640x360");
    EXPECT_EQ(full_stream->q_low, 80);
    EXPECT_EQ(full_stream->q_high, 90);
    EXPECT_EQ(full_stream->q_last, 90);
    EXPECT_GE(full_stream->latency_median_ms, 39.5);
    // Above: what the trip through loopback adds on a loaded machine stays far
    // below what a wrong time base or a wrong clock would show.
    EXPECT_LT(full_stream->latency_median_ms, 40 + 100) << output;
    EXPECT_GE(full_stream->latency_p99_ms, full_stream->latency_median_ms);
    const video_report* preview_stream = summary->stream(true);
    ASSERT_NE(preview_stream, nullptr) << output;
    EXPECT_EQ(preview_stream->name(), "shq2 320x180");
    EXPECT_EQ(preview_stream->q_last, 70);
    EXPECT_EQ(preview_stream->q_low, 70);
    EXPECT_GE(preview_stream->latency_median_ms, 14.5);
    EXPECT_LT(preview_stream->latency_median_ms, 15 + 100) << output;

    // The once-a-second lines say it too, interval by interval; the first
    // second began before the pictures.
    const std::vector<monitor_report> seconds = ndi_monitor::interval_reports(output);
    ASSERT_GE(seconds.size(), 2u) << output;
    EXPECT_NEAR(seconds[1].seconds, 2, 0.5);
    const video_report* second = seconds[1].find("SHQ2");
    ASSERT_NE(second, nullptr) << output;
    // The rate is the interval's own (the test's pace is the machine's).
    ASSERT_GT(second->pictures, 0u) << output;
    EXPECT_NEAR(second->pictures_per_second, double(second->pictures) / (seconds[1].seconds - seconds[0].seconds),
                0.01 * second->pictures_per_second)
        << output;
    EXPECT_EQ(second->q_low, 80) << output;
    EXPECT_GE(second->latency_median_ms, 39.5) << output;
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

}   // namespace
