// The program against the reference beside the tests: on the documented
// examples they agree byte for byte with the plain algorithm; each declared
// mend is the only thing that sets them apart; random documents and runs of
// requests agree with the reference and its mends.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/ptz/hex.h"
#include "tests/ptz/reference/requests_differential.h"
#include "tests/ptz/reference/requests_reference.h"

namespace {

using differential::product_request;
using differential::product_serve;
using differential::same;
using reference::request;

const reference::mends plain{};

std::vector<std::string> lines(const reference::trace& t)
{
    std::vector<std::string> out;
    for (const auto& command : t)
        out.push_back(command.empty() ? "pause" : hex(command));
    return out;
}

TEST(requests_reference, agrees_on_the_documented_documents)
{
    for (const std::string text : {
             R"(<qrn_ptz_pan_tilt_speed pan_speed="0" tilt_speed="0"/>)",
             R"(<qrn_ptz_pan_tilt_speed pan_speed="0.5"/>)",
             R"(<qrn_ptz_pan_tilt_speed pan_speed="2.5" tilt_speed="-3"/>)",
             R"(<qrn_ptz_zoom_speed zoom_speed="0.0"/>)",
             R"(<qrn_ptz_zoom_speed/>)",
             R"(<qrn_ptz_zoom zoom="-0.2"/>)",
             R"(<qrn_ptz_zoom zoom="1.7"/>)",
             R"(<qrn_ptz_store_preset index="100"/>)",
             R"(<qrn_ptz_store_preset index="-1"/>)",
             R"(<qrn_ptz_store_preset index="99"/>)",
             R"(<qrn_ptz_store_preset index="7abc"/>)",
             R"(<qrn_ptz_recall_preset index="3"/>)",
             R"(<qrn_ptz_flip enabled="TRUE"/>)",
             R"(<qrn_ptz_flip enabled="1"/>)",
             R"(<qrn_ptz_white_balance mode="Manual"/>)",
             R"(<QRN_PTZ_ZOOM zoom="0.5"/>)",
             R"(<qrn_ptz_zoom ZOOM="0.5"/>)",
             R"(<qrn_ptz_focus_speed speed="1"/>)",
             R"(<qrn_ptz_tilt/>)",
             "\xEF\xBB\xBF<?xml version=\"1.0\"?><qrn_ptz_zoom zoom=\"0.5\"/>",
             R"(<qrn_ptz_zoom zoom="0.5"/><qrn_ptz_flip enabled="true"/>)",
             R"(<qrn_ptz_focus mode="manual" distance="0.25"/>)",
             R"(<qrn_ptz_exposure mode="manual" value="0.5"/>)",
             "not xml",
             "",
         }) {
        const auto expected = reference::metadata_request(text, plain);
        EXPECT_TRUE(same(product_request(text), expected)) << text;
        if (expected) {
            EXPECT_EQ(lines(product_serve({*expected})), lines(reference::serve({*expected}, plain))) << text;
        }
    }
}

TEST(requests_reference, agrees_on_the_documented_command_runs)
{
    const std::vector<std::vector<request>> runs = {
        {{0x100, 0.5f, 0}, {0x100, -1, -1}, {0x100, 0.03f, 0}},
        {{0x200, 0.3f, 0}, {0x202, 0, 0}, {0x200, -1, 0}, {0x200, 0.05f, 0}},
        {{0x204, 1, 0}, {0x204, 0.5f, 0}},
        {{0x402, 0, 0}, {0x400, 0, 0}, {0x402, 1, 0}},
        {{0x502, 1, 0}, {0x500, 0, 0}, {0x502, 0.5f, 0}},
        {{0x308, 0.5f, 0.5f}, {0x300, 0, 0}, {0x308, 0.5f, 0.25f}},
        {{0x600, 12, 0}, {0x602, 12, 1}},
        {{0x306, 0, 0}, {0x0, 0, 0}, {0x306, 0, 0}, {0x306, 0, 0}},
        {{0x700, 1, 0}, {0x700, 0, 0}, {0x999, 1, 1}},
    };
    for (const auto& run : runs)
        EXPECT_EQ(lines(product_serve(run)), lines(reference::serve(run, plain)));

    std::vector<request> joystick;
    for (int i = 1; i <= 10; ++i)
        joystick.push_back({0x100, float(i) / 10, 0});
    EXPECT_EQ(lines(product_serve(joystick)), lines(reference::serve(joystick, plain)));
}

// Each mend: the plain reference differs, the program does what the mend
// says and nothing else.
TEST(requests_reference, departs_only_by_the_declared_mends)
{
    const auto mended_only = [](const std::string& text) {
        const auto ours = product_request(text);
        EXPECT_FALSE(same(ours, reference::metadata_request(text, plain))) << text;
        EXPECT_TRUE(same(ours, reference::metadata_request(text, reference::all_mends))) << text;
    };
    mended_only(R"(<qrn_ptz_pan_tilt_speed pan_speed="nan" tilt_speed="0"/>)");
    mended_only(R"(<qrn_ptz_zoom zoom="0.5">)" + std::string(1024, ' ') + "</qrn_ptz_zoom>");
    mended_only(R"(<qrn_ptz_zoom zoom="0.5"><a><b><c><d></d></c></b></a></qrn_ptz_zoom>)");

    // A zoom stop, 62 pan-tilt stops, then a drive: the zoom stop stays.
    std::vector<request> stops{{0x202, 0, 0}};
    for (int i = 0; i < 62; ++i)
        stops.push_back({0x102, 0, 0});
    stops.push_back({0x100, 1, 0});
    const reference::trace ours = product_serve(stops);
    EXPECT_NE(lines(ours), lines(reference::serve(stops, plain)));
    EXPECT_EQ(lines(ours), lines(reference::serve(stops, reference::all_mends)));
    EXPECT_EQ(hex(ours.front()), "82 01 04 07 00 FF");
}

std::string random_number(std::mt19937& random)
{
    static const std::vector<std::string> forms = {"0",     "-0",  "1",   "-1",     "0.5",   "1e-60",      "1e39",
                                                   "-1e39", "nan", "inf", "0x1p-2", " 0.25", "7abc",       "",
                                                   "99",    "100", "-3",  "2.5",    "1e400", "0.999999999"};
    if (random() % 3 == 0) {
        std::uniform_real_distribution<double> any(-3.0, 3.0);
        return std::to_string(any(random));
    }
    return forms[random() % forms.size()];
}

std::string random_document(std::mt19937& random)
{
    static const std::vector<std::string> names = {"qrn_ptz_zoom",
                                                   "qrn_ptz_zoom_speed",
                                                   "qrn_ptz_pan_tilt_speed",
                                                   "qrn_ptz_pan_tilt",
                                                   "qrn_ptz_store_preset",
                                                   "qrn_ptz_recall_preset",
                                                   "qrn_ptz_flip",
                                                   "qrn_ptz_focus",
                                                   "qrn_ptz_focus_speed",
                                                   "qrn_ptz_white_balance",
                                                   "qrn_ptz_exposure",
                                                   "QRN_PTZ_Zoom",
                                                   "other"};
    static const std::vector<std::string> attributes = {"zoom",     "zoom_speed", "pan_speed", "tilt_speed", "pan",
                                                        "tilt",     "index",      "speed",     "enabled",    "mode",
                                                        "distance", "red",        "blue",      "value",      "ZOOM"};
    static const std::vector<std::string> words = {"auto",     "manual", "Manual", "indoor", "outdoor",
                                                   "one_shot", "true",   "TRUE",   "1",      "near"};
    std::string text = random() % 4 == 0 ? "<?xml version=\"1.0\"?>" : "";
    text += "<" + names[random() % names.size()];
    for (int n = int(random() % 4); n > 0; --n) {
        text += " " + attributes[random() % attributes.size()] + "=\"";
        text += random() % 3 == 0 ? words[random() % words.size()] : random_number(random);
        text += "\"";
    }
    text += "/>";
    return text;
}

TEST(requests_reference, agrees_on_random_documents_and_runs)
{
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    std::vector<request> run;
    for (int i = 0; i < 3000; ++i) {
        const std::string text = random_document(random);
        const auto ours = product_request(text);
        ASSERT_TRUE(same(ours, reference::metadata_request(text, reference::all_mends))) << text << " seed " << seed;
        if (ours)
            run.push_back(*ours);
        if (run.size() == size_t(random() % 80 + 1)) {
            ASSERT_EQ(lines(product_serve(run)), lines(reference::serve(run, reference::all_mends))) << "seed " << seed;
            run.clear();
        }
    }
}

}   // namespace
