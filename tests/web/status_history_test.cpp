// The status history: status lines in, the page's figures and plots out.
#include "web/status_history.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string line(int sent, int dropped, const char* q = "88")
{
    return "status signal=1920x1080p59.94 full_captured=" + std::to_string(sent + dropped) +
        " full_sent=" + std::to_string(sent) + " full_dropped=" + std::to_string(dropped) + " full_q=" + q +
        " full_mbps=120.5 preview_sent=" + std::to_string(sent / 2) + " audio_sent=" + std::to_string(sent) +
        " audio_dropped=0 receivers=2 tally=program\n";
}

TEST(status_history, keeps_only_status_lines_and_their_pairs)
{
    status_history h;
    EXPECT_FALSE(h.add(1, "video_in 1920x1080p59.94\n"));
    EXPECT_FALSE(h.add(1, "statusx a=1\n"));
    EXPECT_FALSE(h.add(1, "status " + std::string(3000, 'a') + "=1\n"));
    EXPECT_TRUE(h.add(1, "status\n"));   // a program with nothing to say yet
    EXPECT_TRUE(h.add(2, "status signal=none  =x novalue full_q=- tally=off\n"));
    ASSERT_EQ(h.size(), 2u);
    const auto* last = h.latest();
    ASSERT_EQ(last->fields.size(), 3u);   // "=x" and "novalue" are no pairs
    EXPECT_EQ(*last->text("signal"), "none");
    EXPECT_FALSE(last->number("full_q"));   // "-": no picture coded yet
    EXPECT_FALSE(last->number("signal"));
}

TEST(status_history, rates_come_from_counters_between_lines)
{
    status_history h;
    h.add(100.0, line(0, 0));
    h.add(100.5, line(30, 2));   // half a second: 60 pictures a second, 4 drops
    const std::string json = h.latest_json();
    EXPECT_NE(json.find("\"full_fps\":60"), std::string::npos) << json;
    EXPECT_NE(json.find("\"preview_fps\":30"), std::string::npos) << json;
    EXPECT_NE(json.find("\"drops\":4"), std::string::npos) << json;
    EXPECT_NE(json.find("\"tally\":\"program\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"time\":100.5,"), std::string::npos) << json;
}

TEST(status_history, a_restarted_program_gives_no_rate_rather_than_a_negative_one)
{
    status_history h;
    h.add(1, line(6000, 10));
    h.add(2, line(60, 0));
    const std::string json = h.latest_json();
    EXPECT_NE(json.find("\"full_fps\":null"), std::string::npos) << json;
    EXPECT_NE(json.find("\"drops\":null"), std::string::npos) << json;
}

TEST(status_history, keeps_ten_minutes_and_gives_columns_after_a_time)
{
    status_history h;
    EXPECT_EQ(h.latest_json(), "null");
    for (int i = 0; i <= 700; ++i)
        h.add(1000 + i, line(60 * i, i, i % 2 ? "-" : "90"));
    EXPECT_EQ(h.size(), status_history::capacity);
    EXPECT_EQ(h.latest()->time, 1700);

    const std::string all = h.history_json(0);
    EXPECT_EQ(all.find("\"time\":[1101,1102,"), 1u) << all.substr(0, 80);
    const std::string recent = h.history_json(1698);
    EXPECT_NE(recent.find("\"time\":[1699,1700]"), std::string::npos) << recent;
    EXPECT_NE(recent.find("\"full_q\":[null,90]"), std::string::npos) << recent;
    EXPECT_NE(recent.find("\"full_fps\":[60,60]"), std::string::npos) << recent;
    EXPECT_NE(recent.find("\"drops\":[1,1]"), std::string::npos) << recent;
    EXPECT_EQ(h.history_json(1700),
              "{\"time\":[],\"full_mbps\":[],\"preview_mbps\":[],\"full_q\":[],"
              "\"preview_q\":[],\"full_fps\":[],\"preview_fps\":[],\"audio_bps\":[],"
              "\"drops\":[],\"receivers\":[]}");
}

TEST(status_history, whatever_a_line_holds_the_json_stays_json)
{
    status_history h;
    h.add(1, std::string("status sig\"nal=a\\b\x01\xff x=\"</script>\n"));
    const std::string json = h.latest_json();
    EXPECT_NE(json.find("\"sig\\\"nal\":\"a\\\\b\\u0001\\u00ff\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"x\":\"\\\"</script>\""), std::string::npos) << json;
}

}   // namespace
