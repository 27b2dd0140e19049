#include "ptz/metadata_interpreter.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <string>
#include <vector>

#include "tests/ptz/reference/requests_reference.h"
#include "tests/support/debug_capture.h"

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

std::string nested(int depth, const std::string& inner = "")
{
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "<a>";
    text += inner;
    for (int i = 0; i < depth; ++i)
        text += "</a>";
    return text;
}

TEST(metadata_interpreter, refuses_a_document_too_long_or_too_deep_before_parsing_it)
{
    const std::string zoom = R"(<qrn_ptz_zoom zoom="0.5"/>)";
    std::string padded = zoom + std::string(max_metadata_length - zoom.size(), ' ');
    EXPECT_TRUE(interpret(padded));
    EXPECT_FALSE(interpret(padded + " "));

    const std::string four = R"(<qrn_ptz_zoom zoom="0.5"><a><b><c>text<d/></c></b></a></qrn_ptz_zoom>)";
    EXPECT_TRUE(interpret(four));
    EXPECT_FALSE(interpret(R"(<qrn_ptz_zoom zoom="0.5">)" + nested(4) + "</qrn_ptz_zoom>"));

    std::string log;
    {
        debug_capture capture(2);
        EXPECT_FALSE(interpret(nested(20000)));   // 140 KiB
        EXPECT_FALSE(interpret(nested(300)));     // 2 KiB
        EXPECT_FALSE(interpret(nested(100)));     // 700 bytes
        log = capture.text();
    }
    EXPECT_EQ(log,
              "PTZ metadata longer than 1024 bytes dropped\n"
              "PTZ metadata longer than 1024 bytes dropped\n"
              "PTZ metadata nested deeper than 4 dropped\n");
}

TEST(metadata_interpreter, counts_depth_as_the_parser_meets_elements)
{
    struct depth_row {
        std::string text;
        bool deeper_than_2;
    };
    for (const depth_row& r : std::vector<depth_row>{
             {"<a><b/><b/><b/></a>", false},
             {"<a><b><c/></b></a>", false},
             {"<a><b><c></c></b></a>", true},
             {"<a><b></b><b></b><b></b></a>", false},
             {"<a><!-- <b><c><d> --></a>", false},
             {"<a><![CDATA[<b><c><d>]]></a>", false},
             {"<?pi <b><c><d>?><a/>", false},
             {"<!DOCTYPE a [<!ELEMENT a ANY>]><a><b/></a>", false},
             {R"(<a x="/>" y='<b>'><b z=">"><c>)", true},
             {"<a></a></a></a><b><c><d>", true},   // closing tags never go below the top
             {"<a>text > more</a>", false},
             {"<", false},
             {"", false},
         })
        EXPECT_EQ(nested_deeper_than(r.text.c_str(), 2), r.deeper_than_2) << r.text;
}

// Every kind of node the scan skips, against what rapidxml itself makes of
// the document: the scan says deeper than 2 exactly when rapidxml's tree
// has an element three levels into contents.
TEST(metadata_interpreter, skips_each_node_kind_as_rapidxml_does)
{
    for (const std::string skipped : {
             "<!-- <x><y> -->",
             "<!-- a > b -- c -->",
             "<![CDATA[<x><y>]]>",
             "<![CDATA[ ] > ]]>",
             "<?pi <x><y> ?>",
             "<?xml-stylesheet href='a'?>",
             "<!DOCTYPE a [<!ELEMENT a ANY> <!ENTITY e '<x>'>]>",
             "<!DOCTYPE a SYSTEM 'a.dtd'>",
             "<!DOCTYPE\ta [ [ ] ] >",
             "<!x[>",
             "<!ELEMENT a [[[>",
             "<!DOCTYPEx[>",
             "<!- [ >",
             "<![CDATA x[>",
         }) {
        for (const std::string& text : {"<a>" + skipped + "<b><c></c></b></a>", "<a>" + skipped + "<b><c/></b></a>",
                                        skipped + "<a><b><c>text</c></b></a>", "<a><b>" + skipped + "</b></a>"}) {
            const std::optional<int> depth = reference::element_depth(text);
            ASSERT_TRUE(depth) << text << " is well-formed";
            EXPECT_EQ(nested_deeper_than(text.c_str(), 2), *depth > 2) << text;
        }
    }
}

// Quotes count only around attribute values, as rapidxml reads a tag.
TEST(metadata_interpreter, reads_start_tags_as_rapidxml_does)
{
    for (const std::string text : {
             R"(<a"><b><c></c></b></a">)",
             R"(<a><o><"><7></></></></>)",
             R"(<a x = 'y"' z="'"><b><c/></b></a>)",
             R"(<a x="1"y="2"><b><c></c></b></a>)",
             "<a\x0b\x0c><b><c></c></b></a>",
             R"(<a/><b><c><d></d></c></b>)",
         }) {
        const std::optional<int> depth = reference::element_depth(text);
        ASSERT_TRUE(depth) << text << " is well-formed";
        EXPECT_EQ(nested_deeper_than(text.c_str(), 2), *depth > 2) << text;
    }
}

// A document of any size or depth leaves the program running on the 1 MiB
// stacks of the board's threads.
TEST(metadata_interpreter, survives_any_depth_on_a_small_stack)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 1 << 20);
    static const std::vector<std::string> documents = {nested(20000), nested(340), nested(4, "<b/>"),
                                                       std::string(60 * 1024, '<')};
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void*) -> void* {
                      for (std::string text : documents)
                          interpret_metadata(text.data());
                      return nullptr;
                  },
                  nullptr),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

}   // namespace
