#include "ptz/metadata_interpreter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::optional<ptz_request> interpret(std::string text)
{
    return interpret_metadata(text.data());
}

struct row {
    const char* xml;
    int32_t code;
    float value1;
    float value2;
};

TEST(metadata_interpreter, turns_each_element_into_its_request)
{
    const std::vector<row> table = {
        {R"(<qrn_ptz_pan_tilt_speed pan_speed="0" tilt_speed="0"/>)", 0x102, 0, 0},
        {R"(<qrn_ptz_pan_tilt_speed pan_speed="0.5"/>)", 0x100, 0.5f, 0},
        {R"(<qrn_ptz_pan_tilt_speed pan_speed="2.5" tilt_speed="-3"/>)", 0x100, 1.0f, -1.0f},
        {R"(<qrn_ptz_pan_tilt_speed/>)", 0x102, 0, 0},
        {R"(<qrn_ptz_zoom_speed zoom_speed="0.0"/>)", 0x202, 0, 0},
        {R"(<qrn_ptz_zoom_speed/>)", 0x202, 0, 0},
        {R"(<qrn_ptz_zoom_speed zoom_speed="-0.4"/>)", 0x200, -0.4f, 0},
        {R"(<qrn_ptz_zoom_speed zoom_speed="1e-60"/>)", 0x202, 0, 0},
        {R"(<qrn_ptz_zoom zoom="-0.2"/>)", 0x204, 0, 0},
        {R"(<qrn_ptz_zoom zoom="1.7"/>)", 0x204, 1.0f, 0},
        {R"(<qrn_ptz_zoom/>)", 0x204, 0, 0},
        {R"(<qrn_ptz_pan_tilt pan="-0.25" tilt="9"/>)", 0x104, -0.25f, 1.0f},
        {R"(<qrn_ptz_pan_tilt/>)", 0x104, 0, 0},
        {R"(<qrn_ptz_store_preset index="99"/>)", 0x600, 99.0f, 0},
        {R"(<qrn_ptz_store_preset index="100"/>)", 0, 0, 0},
        {R"(<qrn_ptz_store_preset index="-1"/>)", 0, 0, 0},
        {R"(<qrn_ptz_store_preset index="7abc"/>)", 0x600, 7.0f, 0},
        {R"(<qrn_ptz_store_preset index="99999999999999999999"/>)", 0, 0, 0},
        {R"(<qrn_ptz_store_preset/>)", 0x600, 0, 0},
        {R"(<qrn_ptz_recall_preset index="3"/>)", 0x602, 3.0f, 1.0f},
        {R"(<qrn_ptz_recall_preset index="3" speed="-2"/>)", 0x602, 3.0f, 0},
        {R"(<qrn_ptz_recall_preset index="300" speed="0.5"/>)", 0, 0, 0},
        {R"(<qrn_ptz_flip enabled="TRUE"/>)", 0x700, 1.0f, 0},
        {R"(<qrn_ptz_flip enabled="1"/>)", 0x700, 0, 0},
        {R"(<qrn_ptz_flip/>)", 0x700, 0, 0},
        {R"(<qrn_ptz_focus mode="auto" distance="0.3"/>)", 0x400, 0, 0},
        {R"(<qrn_ptz_focus mode="manual"/>)", 0x402, 0.5f, 0},
        {R"(<qrn_ptz_focus mode="Manual" distance="3"/>)", 0x402, 1.0f, 0},
        {R"(<qrn_ptz_focus mode="near"/>)", 0, 0, 0},
        {R"(<qrn_ptz_focus/>)", 0, 0, 0},
        {R"(<qrn_ptz_focus_speed speed="1"/>)", 0, 0, 0},
        {R"(<qrn_ptz_white_balance mode="auto"/>)", 0x300, 0, 0},
        {R"(<qrn_ptz_white_balance mode="INDOOR"/>)", 0x302, 0, 0},
        {R"(<qrn_ptz_white_balance mode="outdoor"/>)", 0x304, 0, 0},
        {R"(<qrn_ptz_white_balance mode="one_shot"/>)", 0x306, 0, 0},
        {R"(<qrn_ptz_white_balance mode="Manual"/>)", 0x308, 0.5f, 0.5f},
        {R"(<qrn_ptz_white_balance mode="manual" red="0.25" blue="7"/>)", 0x308, 0.25f, 1.0f},
        {R"(<qrn_ptz_white_balance mode="sunset"/>)", 0, 0, 0},
        {R"(<qrn_ptz_exposure mode="auto" value="0.2"/>)", 0x500, 0, 0},
        {R"(<qrn_ptz_exposure mode="manual"/>)", 0x502, 0.5f, 0},
        {R"(<qrn_ptz_exposure mode="manual" value="-1"/>)", 0x502, 0, 0},
        {R"(<qrn_ptz_exposure/>)", 0, 0, 0},
        {R"(<something_else zoom="1"/>)", 0, 0, 0},
    };
    for (const auto& r : table) {
        const auto request = interpret(r.xml);
        ASSERT_TRUE(request) << r.xml;
        EXPECT_EQ(request->code, r.code) << r.xml;
        EXPECT_EQ(request->value1, r.value1) << r.xml;
        EXPECT_EQ(request->value2, r.value2) << r.xml;
    }
}

TEST(metadata_interpreter, matches_element_names_without_case_and_attribute_names_with_it)
{
    auto r = interpret(R"(<QRN_PTZ_ZOOM zoom="0.5"/>)");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, 0x204);
    EXPECT_EQ(r->value1, 0.5f);

    r = interpret(R"(<qrn_ptz_zoom ZOOM="0.5"/>)");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, 0x204);
    EXPECT_EQ(r->value1, 0.0f);

    // The first attribute of a name counts; text after the number does not.
    r = interpret(R"(<qrn_ptz_pan_tilt_speed pan_speed=" 0.25rad" pan_speed="1"/>)");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->value1, 0.25f);
}

TEST(metadata_interpreter, skips_a_byte_order_mark_and_a_declaration_and_takes_the_first_element)
{
    auto r = interpret("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- joystick -->"
                       "<qrn_ptz_zoom_speed zoom_speed=\"-1\"/>");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, 0x200);
    EXPECT_EQ(r->value1, -1.0f);

    r = interpret(R"(<qrn_ptz_flip enabled="true"><qrn_ptz_zoom zoom="1"/></qrn_ptz_flip><qrn_ptz_zoom zoom="1"/>)");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, 0x700);
    EXPECT_EQ(r->value1, 1.0f);

    r = interpret(R"(<qrn_ptz_flip enabled="&#116;rue"/>)");   // entities are translated
    ASSERT_TRUE(r);
    EXPECT_EQ(r->value1, 1.0f);
}

TEST(metadata_interpreter, queues_nothing_for_text_that_is_not_an_element)
{
    for (const char* text : {"", "   ", "<", "<qrn_ptz_zoom zoom=\"1\"", "qrn_ptz_zoom", "<a><b></a>", "<?xml?>",
                             "<!-- only a comment -->", "\xEF\xBB\xBF", "<a b=c/>", "<a b=\"1\" b/>"})
        EXPECT_FALSE(interpret(text)) << text;
}

TEST(metadata_interpreter, never_lets_a_value_out_of_its_range)
{
    for (const char* value : {"nan", "-nan", "inf", "-inf", "1e400", "-1e400", "0x1p900", "garbage"}) {
        const std::string xml = std::string(R"(<qrn_ptz_pan_tilt pan=")") + value + R"(" tilt=")" + value + "\"/>";
        const auto r = interpret(xml);
        ASSERT_TRUE(r) << xml;
        EXPECT_TRUE(r->value1 >= -1.0f && r->value1 <= 1.0f) << xml << " gives " << r->value1;
        EXPECT_TRUE(r->value2 >= -1.0f && r->value2 <= 1.0f) << xml << " gives " << r->value2;
    }
}

}  // namespace
