// The parameter editor model: where rows land, what the build shows and
// leaves untouched, how edits reach the image in both byte orders, what a
// malformed description still builds, and the description fetch over the
// session's link.
#include <gtest/gtest.h>
#include <kp28/protocol/description.h>
#include <kp28setup/editor.h>
#include <kp28setup/value_encoding.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "session_rig.h"

namespace setuptest {
namespace {

using kp28setup::Editor;
using kp28setup::ElementState;
using kp28setup::Family;
using kp28setup::ParameterSlot;
using kp28setup::RowKind;
using Image = std::array<std::uint8_t, kp28setup::kNvmSize>;

std::string lines(std::initializer_list<std::string> ls) {
    std::string out;
    for (const auto& l : ls) out += l + "\r\n";
    return out;
}

struct Recorder : kp28setup::EditorObserver {
    std::vector<std::pair<Family, int>> created;
    int changes = 0;
    int event_points = 0;
    std::vector<int> heights;
    int builds_started = 0;
    int builds_finished = 0;
    void element_created(Family f, int i) override { created.emplace_back(f, i); }
    void element_changed(Family, int, unsigned, const ElementState&) override { ++changes; }
    void content_changed(const kp28setup::ContentState& c) override { heights.push_back(c.height); }
    void build_started() override { ++builds_started; }
    void build_finished(int, const std::vector<std::string>&) override { ++builds_finished; }
    void process_events() override { ++event_points; }
};

std::vector<int> tops(const Editor& ed) {
    std::vector<int> out;
    for (const auto& r : ed.rows()) out.push_back(r.top);
    return out;
}

// --- layout ---

struct LayoutCase {
    const char* name;
    std::string description;
    std::vector<int> tops;
    int height;
};

TEST(EditorLayout, RowsAndGaps) {
    const std::string z = "Z\t";
    const std::string e = "E\tE\t1\t0\t1\tx\t", m = "M\tM\t1\t1\t0\t9\t0\t", s = "S\tS\t4\t2\t",
                      i = "I\tI\t4\t8\t", t = "T\tT\t";
    const LayoutCase cases[] = {
        {"one title and three kinds", lines({t, e, m, s, z}), {0, 500, 1000, 1500}, 2000},
        {"two titles in a row", lines({t, t, z}), {0, 500}, 1000},
        {"title after a parameter", lines({e, t, z}), {0, 800}, 1300},
        {"first line a title", lines({t, i, z}), {0, 500}, 1000},
        {"unknown line between parameter and title", lines({e, "X\t", t, z}), {0, 800}, 1300},
        {"empty line between parameter and title", lines({e, "", t, z}), {0, 800}, 1300},
        {"empty line between two titles", lines({t, "", t, z}), {0, 800}, 1300},
        {"end line keeps the title state", lines({t, z, t}), {0, 500}, 1000},
        {"lower-case letter is an unknown line", lines({"t\tlow\t", t, z}), {300}, 800},
        {"lower-case parameter letter builds nothing", lines({"e\tx\t1\t0\t0\t", z}), {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Editor ed;
        ed.build_from_description(c.description);
        EXPECT_EQ(tops(ed), c.tops);
        EXPECT_EQ(ed.RowTop(), c.height);
        EXPECT_EQ(ed.content().height, c.height);
    }
}

TEST(EditorLayout, LargeStepIsAFifthOfTheRangeRounded) {
    struct Case {
        int min, max, step;
    };
    for (const Case c : {Case{0, 12, 2}, Case{10, 23, 3}, Case{0, 25, 5}, Case{-40, 40, 16},
                         Case{0, 2, 1}, Case{7, 7, 1}}) {
        SCOPED_TRACE(std::to_string(c.min) + ".." + std::to_string(c.max));
        Editor ed;
        ed.build_from_description(
            lines({"M\tr\t1\t0\t" + std::to_string(c.min) + "\t" + std::to_string(c.max) + "\t0\t",
                   "Z\t"}));
        const ElementState s = ed.element(Family::MinMax, 0);
        EXPECT_EQ(s.large_step, c.step);
        EXPECT_EQ(s.small_step, 1);
        EXPECT_EQ(s.slider_min, c.min);
        EXPECT_EQ(s.slider_max, c.max);
    }
}

TEST(EditorLayout, ScrollingMovesTheContentByItsOverhang) {
    std::string d;
    for (int k = 0; k < 20; ++k) d += "E\te\t1\t0\t1\tx\t\r\n";  // RowTop 10000
    Editor ed;
    ed.build_from_description(d + "Z\t\r\n");
    EXPECT_EQ(ed.VScroll1_Change(kp28setup::kVScroll1Max), -(10000 - 7100));
    EXPECT_EQ(ed.VScroll1_Change(0), 0);
    EXPECT_EQ(ed.VScroll1_Change(50, 100), -1450);
    // Content shorter than the viewport does not move.
    Editor small;
    small.build_from_description(lines({"T\tt\t", "Z\t"}));
    EXPECT_EQ(small.VScroll1_Change(100, 100), 0);
}

TEST(EditorLayout, DesignGeometry) {
    EXPECT_EQ(kp28setup::design_geometry(Family::MainTitle).width, 1455);
    EXPECT_EQ(kp28setup::design_geometry(Family::MinMax, 1).left, 5880);
    int lefts[4];
    for (int k = 0; k < 4; ++k) lefts[k] = kp28setup::design_geometry(Family::IP, k).left;
    EXPECT_EQ(std::vector<int>(lefts, lefts + 4), (std::vector<int>{2880, 3720, 4560, 5400}));
}

// --- families ---

TEST(EditorFamilies, ASecondSmallerBuildHidesAndReusesElements) {
    Recorder rec;
    Editor ed(&rec);
    const std::string big =
        lines({"T\ta\t", "E\te1\t1\t0\t2\tx\ty\t", "E\te2\t1\t1\t1\tz\t", "M\tm\t1\t2\t0\t9\t0\t",
               "S\ts\t4\t3\t", "I\ti\t4\t8\t", "T\tb\t", "Z\t"});
    ed.build_from_description(big);
    EXPECT_EQ(ed.created_count(Family::MainTitle), 1);
    EXPECT_EQ(ed.created_count(Family::ItemTitle), 4);
    EXPECT_EQ(ed.created_count(Family::Enum), 1);
    EXPECT_EQ(ed.created_count(Family::MinMax), 0);
    const auto created_first = rec.created.size();
    EXPECT_EQ(created_first, 1u + 4u + 1u);

    ed.build_from_description(lines({"E\tonly\t1\t5\t1\tq\t", "Z\t"}));
    EXPECT_EQ(rec.created.size(), created_first);  // nothing new
    EXPECT_EQ(ed.created_count(Family::ItemTitle), 4);
    // Only the new row is visible; every other element is hidden.
    for (Family f : kp28setup::kFamilies)
        for (int i = 0; i <= ed.created_count(f); ++i) {
            const bool want = (f == Family::ItemTitle || f == Family::Enum) && i == 0;
            EXPECT_EQ(ed.element(f, i).visible, want) << kp28setup::family_name(f) << " " << i;
        }
    EXPECT_EQ(ed.element(Family::Enum, 0).items, (std::vector<std::string>{"q"}));
    EXPECT_EQ(ed.element(Family::ItemTitle, 0).caption, "only");
    EXPECT_EQ(rec.builds_started, 2);
    EXPECT_EQ(rec.builds_finished, 2);
    EXPECT_EQ(rec.event_points, 8 + 2);  // once per line
}

TEST(EditorFamilies, ClearAtLoadLeavesElementZeroHidden) {
    Editor ed;
    ed.clear_editor();
    for (Family f : kp28setup::kFamilies) {
        EXPECT_EQ(ed.created_count(f), 0);
        EXPECT_TRUE(ed.element(f, 0).exists);
        EXPECT_FALSE(ed.element(f, 0).visible);
        EXPECT_FALSE(ed.element(f, 1).exists);
    }
}

// --- encodings ---

struct NumberCase {
    const char* name;
    int size;
    std::vector<std::uint8_t> bytes;
    bool plus;
    int value;
};

TEST(ValueEncoding, NumbersInBothByteOrders) {
    namespace enc = kp28setup::encoding;
    for (const NumberCase& c : {
             NumberCase{"0x01 0x2C KP28Plus", 2, {0x01, 0x2C}, true, 11265},
             NumberCase{"0x01 0x2C KP28", 2, {0x01, 0x2C}, false, 300},
             NumberCase{"300 KP28Plus", 2, {44, 1}, true, 300},
             NumberCase{"300 KP28", 2, {1, 44}, false, 300},
             NumberCase{"high byte 0x80 KP28", 2, {0x80, 0x00}, false, 32768},
             NumberCase{"high byte 0xFF KP28Plus", 2, {0xFF, 0xFF}, true, 65535},
             NumberCase{"one byte", 1, {200}, true, 200},
         }) {
        SCOPED_TRACE(c.name);
        Image img{};
        std::copy(c.bytes.begin(), c.bytes.end(), img.begin() + 100);
        const ParameterSlot slot{static_cast<std::int16_t>(c.size), 100};
        EXPECT_EQ(enc::read_number(img, slot, c.plus), c.value);
        Image out{};
        ASSERT_TRUE(enc::write_number(out, slot, c.value, c.plus));
        EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 100, out.begin() + 100 + c.size),
                  c.bytes);
    }
    Image img{};
    EXPECT_FALSE(enc::write_number(img, {1, 0}, 256, true));
    EXPECT_FALSE(enc::write_number(img, {2, 0}, -1, true));
    EXPECT_FALSE(enc::write_number(img, {2, 2047}, 5, true));
    EXPECT_EQ(enc::read_number(img, {2, 2047}, true), std::nullopt);
    // Other sizes are read as two bytes and written as one.
    img[10] = 7;
    img[11] = 1;
    EXPECT_EQ(enc::read_number(img, {3, 10}, false), 7 * 256 + 1);
    ASSERT_TRUE(enc::write_number(img, {3, 10}, 9, false));
    EXPECT_EQ(img[10], 9);
    EXPECT_EQ(img[11], 1);
}

TEST(ValueEncoding, OctetTexts) {
    namespace enc = kp28setup::encoding;
    EXPECT_EQ(enc::octet_value(""), 0);
    EXPECT_EQ(enc::octet_value("7"), 7);
    EXPECT_EQ(enc::octet_value("255"), 255);
    for (const char* bad : {"256", "-1", "x", "1 ", "+1", "0255", "99999999999"})
        EXPECT_EQ(enc::octet_value(bad), std::nullopt) << bad;
}

TEST(ValueEncoding, SingleByteText) {
    EXPECT_EQ(kp28setup::utf8_to_cp1252("A\xC3\xA9\xE2\x82\xAC"), std::string("A\xE9\x80"));
    EXPECT_EQ(kp28setup::utf8_to_cp1252("\xC2\x81"), std::string("\x81"));  // undefined in CP1252
    EXPECT_EQ(kp28setup::utf8_to_cp1252("\xCE\xA9"), std::nullopt);         // Greek omega
    EXPECT_EQ(kp28setup::utf8_to_cp1252("\xE2\x82"), std::nullopt);         // cut short
    EXPECT_EQ(kp28setup::utf8_to_cp1252("\xC1\x81"), std::nullopt);         // overlong
    for (int b = 1; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        EXPECT_EQ(kp28setup::utf8_to_cp1252(kp28setup::cp1252_to_utf8(one)), one) << b;
    }
}

// --- rows over an image, and the change handlers ---

Editor built(const std::string& description, const Image& img, bool plus) {
    Editor ed;
    ed.set_image(img, plus);
    ed.build_from_description(description);
    return ed;
}

TEST(EditorRows, RangeWithBiasInBothOrders) {
    for (bool plus : {true, false}) {
        SCOPED_TRACE(plus ? "KP28Plus" : "KP28");
        Image img{};
        img[5] = 65;
        Editor ed =
            built(lines({"M\tt\t1\t5\t0\t60\t40\t", "M\tw\t2\t10\t0\t600\t0\t", "Z\t"}), img, plus);
        EXPECT_EQ(ed.element(Family::MinMax, 0).slider_value, 25);
        EXPECT_EQ(ed.element(Family::MinMax, 0).value_caption, "25");
        EXPECT_TRUE(ed.hsr_MinMax_Scroll(0, 30).accepted);
        EXPECT_EQ(ed.image()[5], 70);
        EXPECT_EQ(ed.element(Family::MinMax, 0).value_caption, "30");
        EXPECT_TRUE(ed.hsr_MinMax_Change(1, 300).accepted);
        EXPECT_EQ(ed.image()[10], plus ? 44 : 1);
        EXPECT_EQ(ed.image()[11], plus ? 1 : 44);
        EXPECT_EQ(ed.rows()[1].value, "300");
        // Outside the slider, or beyond what the byte holds: refused, unchanged.
        EXPECT_FALSE(ed.hsr_MinMax_Change(0, 61).accepted);
        EXPECT_EQ(ed.image()[5], 70);
        EXPECT_FALSE(ed.hsr_MinMax_Change(7, 1).accepted);
    }
}

TEST(EditorRows, RangeStoredValueTheByteCannotHoldIsRefused) {
    Image img{};
    Editor ed = built(lines({"M\tb\t1\t0\t0\t100\t200\t", "Z\t"}), img, true);
    const auto r = ed.hsr_MinMax_Change(0, 60);  // 260
    EXPECT_FALSE(r.accepted);
    EXPECT_NE(r.message.find("260"), std::string::npos);
    EXPECT_EQ(ed.image()[0], 0);
    EXPECT_TRUE(ed.hsr_MinMax_Change(0, 55).accepted);
    EXPECT_EQ(ed.image()[0], 255);
}

TEST(EditorRows, EnumerationChoices) {
    Image img{};
    img[3] = 2;
    img[4] = 7;
    Editor ed =
        built(lines({"E\tpick\t1\t3\t3\tfirst\t\tthird item\t", "E\tbad\t1\t4\t2\ta\tb\t", "Z\t"}),
              img, true);
    EXPECT_EQ(ed.element(Family::Enum, 0).selected, 2);
    EXPECT_EQ(ed.element(Family::Enum, 0).items,
              (std::vector<std::string>{"first", "", "third item"}));
    EXPECT_EQ(ed.rows()[0].value, "third item");
    EXPECT_TRUE(ed.cmb_Enum_Click(0, 0).accepted);
    EXPECT_EQ(ed.image()[3], 0);
    // A stored number that names no item: no choice shown, byte kept.
    EXPECT_EQ(ed.element(Family::Enum, 1).selected, -1);
    EXPECT_EQ(ed.rows()[1].index, -1);
    EXPECT_EQ(ed.rows()[1].stored, 7);
    EXPECT_FALSE(ed.cmb_Enum_Click(1, 2).accepted);
    EXPECT_FALSE(ed.cmb_Enum_Click(1, -1).accepted);
    EXPECT_EQ(ed.image()[4], 7);
}

TEST(EditorRows, EnumerationOfTwoBytesIsWrittenAsOneByteAtItsOffset) {
    for (bool plus : {true, false}) {
        Image img{};
        img[20] = plus ? 1 : 0;
        img[21] = plus ? 0 : 1;
        Editor ed = built(lines({"E\tw\t2\t20\t3\ta\tb\tc\t", "Z\t"}), img, plus);
        EXPECT_EQ(ed.element(Family::Enum, 0).selected, 1);
        EXPECT_TRUE(ed.cmb_Enum_Click(0, 2).accepted);
        EXPECT_EQ(ed.image()[20], 2);
        EXPECT_EQ(ed.image()[21], plus ? 0 : 1);
    }
}

TEST(EditorRows, StringFieldKeepsTheBytesAfterItsEndMark) {
    Image img{};
    const std::uint8_t field[8] = {'A', 'B', 0, 'X', 'Y', 'Z', 0, 0};
    std::copy(field, field + 8, img.begin() + 40);
    img[48] = 0x5A;
    Editor ed = built(lines({"S\ttext\t8\t40\t", "Z\t"}), img, true);
    EXPECT_EQ(ed.element(Family::String, 0).text, "AB");
    EXPECT_EQ(ed.element(Family::String, 0).max_length, 8);
    EXPECT_TRUE(ed.txt_string_Change(0, "ABC").accepted);
    const std::uint8_t want[9] = {'A', 'B', 'C', 0, 'Y', 'Z', 0, 0, 0x5A};
    EXPECT_TRUE(std::equal(want, want + 9, ed.image().begin() + 40));
    // Filling the field writes no end mark past it.
    EXPECT_TRUE(ed.txt_string_Change(0, "12345678").accepted);
    EXPECT_EQ(ed.image()[48], 0x5A);
    EXPECT_EQ(ed.rows()[0].value, "12345678");
    const auto too_long = ed.txt_string_Change(0, "123456789");
    EXPECT_FALSE(too_long.accepted);
    EXPECT_EQ(too_long.restored_text, "12345678");
    EXPECT_FALSE(ed.txt_string_Change(0, "\xCE\xA9").accepted);
    EXPECT_TRUE(ed.txt_string_Change(0, "\xE2\x82\xAC").accepted);  // the euro sign
    EXPECT_EQ(ed.image()[40], 0x80);
    EXPECT_EQ(ed.image()[41], 0);
}

TEST(EditorRows, FullWidthStringIsShownWhole) {
    Image img{};
    for (int k = 0; k < 4; ++k)
        img[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>('a' + k);
    img[4] = 'z';
    Editor ed = built(lines({"S\ts\t4\t0\t", "Z\t"}), img, true);
    EXPECT_EQ(ed.element(Family::String, 0).text, "abcd");
}

TEST(EditorRows, IpOctetsAreCheckedAndRestored) {
    Image img{};
    const std::uint8_t ip[4] = {192, 168, 0, 100};
    std::copy(ip, ip + 4, img.begin() + 36);
    Editor ed = built(lines({"I\tip\t0\t36\t", "Z\t"}), img, true);
    EXPECT_EQ(ed.element(Family::IP, 0).octets,
              (std::array<std::string, 4>{"192", "168", "0", "100"}));
    auto r = ed.txt_IP2_Change(0, "256");
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.restored_text, "168");
    EXPECT_EQ(ed.element(Family::IP, 0).octets[1], "168");
    EXPECT_EQ(ed.image()[37], 168);
    EXPECT_TRUE(ed.txt_IP4_Change(0, "7").accepted);
    EXPECT_EQ(ed.image()[39], 7);
    EXPECT_TRUE(ed.txt_IP1_Change(0, "").accepted);
    EXPECT_EQ(ed.image()[36], 0);
    EXPECT_EQ(ed.element(Family::IP, 0).octets[0], "");
    r = ed.txt_IP3_Change(0, "ab");
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.restored_text, "0");
    EXPECT_EQ(ed.rows()[0].value, "0.168.0.7");
}

// Odd records and odd stored values are shown as well as the row allows;
// the build itself writes nothing.
TEST(EditorRows, BuildingChangesNoByte) {
    std::mt19937 rng(28);
    for (bool plus : {true, false}) {
        Image img{};
        for (auto& b : img) b = static_cast<std::uint8_t>(rng());
        const std::uint8_t full[6] = {'F', 'U', 'L', 'L', 'X', 'Y'};
        std::copy(full, full + 6, img.begin() + 200);
        img[300] = 0xF0;  // two-byte value above 32767 in either order
        img[301] = 0xF0;
        img[400] = 250;  // outside the range below
        img[500] = 9;    // no such item
        const std::string d =
            lines({"T\tt\t", "E\tenum\t1\t500\t2\ta\tb\t", "E\tenum2\t2\t501\t2\ta\tb\t",
                   "M\tout of range\t1\t400\t0\t10\t0\t", "M\tbig\t2\t300\t0\t100\t0\t",
                   "O\tsize 3\t3\t302\t0\t5\t0\t", "S\tfull\t4\t200\t", "S\tempty\t0\t210\t",
                   "I\tip\t4\t2044\t", "S\twhole\t2048\t0\t", "Z\t"});
        Editor ed = built(d, img, plus);
        EXPECT_EQ(ed.image(), img);
        EXPECT_TRUE(ed.warnings().empty());
        const auto rows = ed.rows();
        ASSERT_EQ(rows.size(), 10u);
        EXPECT_EQ(rows[3].value, "250");  // shown as held, the slider at its end
        EXPECT_EQ(ed.element(Family::MinMax, 0).slider_value, 10);
        EXPECT_EQ(rows[4].value, "61680");
        EXPECT_EQ(rows[6].value, "FULL");
        EXPECT_EQ(rows[1].index, -1);
    }
}

// --- malformed descriptions ---

struct MalformedCase {
    const char* name;
    std::string line;
};

TEST(EditorMalformed, EachBadRecordIsSkippedWithAWarningAndTheRestIsBuilt) {
    for (const MalformedCase& c : {
             MalformedCase{"title without TAB", "T\tno tab"},
             MalformedCase{"letter alone", "E"},
             MalformedCase{"missing offset", "E\tx\t1\t"},
             MalformedCase{"not a number", "M\tx\t1\tten\t0\t5\t0\t"},
             MalformedCase{"number out of range", "M\tx\t1\t70000\t0\t5\t0\t"},
             MalformedCase{"missing bias", "O\tx\t1\t1\t0\t5\t"},
             MalformedCase{"fewer items than counted", "E\tx\t1\t1\t3\ta\tb\t"},
             MalformedCase{"negative count", "E\tx\t1\t1\t-1\t"},
             MalformedCase{"negative offset", "S\tx\t4\t-1\t"},
             MalformedCase{"offset past the image", "I\tx\t4\t2048\t"},
             MalformedCase{"two bytes at the last byte", "M\tx\t2\t2047\t0\t5\t0\t"},
             MalformedCase{"enumeration read past the image", "E\tx\t2\t2047\t1\ta\t"},
             MalformedCase{"string past the image", "S\tx\t10\t2040\t"},
             MalformedCase{"IP address past the image", "I\tx\t4\t2045\t"},
             MalformedCase{"negative string size", "S\tx\t-3\t10\t"},
             MalformedCase{"number of no bytes", "M\tx\t0\t10\t0\t5\t0\t"},
             MalformedCase{"maximum below minimum", "M\tx\t1\t10\t9\t5\t0\t"},
         }) {
        SCOPED_TRACE(c.name);
        Image img{};
        img[1] = 1;
        Editor ed = built(lines({"E\tgood\t1\t1\t2\ta\tb\t", c.line, "S\tafter\t4\t8\t", "Z\t"}),
                          img, true);
        EXPECT_EQ(ed.image(), img);
        const auto rows = ed.rows();
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].label, "good");
        EXPECT_EQ(rows[1].label, "after");
        EXPECT_EQ(rows[1].row, 1);    // the skipped record took no row number
        EXPECT_EQ(rows[1].top, 500);  // nor any room
        ASSERT_EQ(ed.warnings().size(), 1u);
        EXPECT_EQ(ed.warnings()[0].rfind("line 2", 0), 0u) << ed.warnings()[0];
    }
}

TEST(EditorMalformed, MoreThan1001ParameterRows) {
    std::string d;
    for (int k = 0; k < 1005; ++k) d += "E\tp" + std::to_string(k) + "\t1\t0\t1\tx\t\r\n";
    Editor ed;
    ed.build_from_description(d + "Z\t\r\n");
    EXPECT_EQ(ed.rows().size(), 1001u);
    EXPECT_EQ(ed.rows().back().row, 1000);
    EXPECT_EQ(ed.warnings().size(), 4u);
    EXPECT_EQ(ed.created_count(Family::ItemTitle), 1000);
    EXPECT_EQ(ed.RowTop(), 1001 * 500);
}

TEST(EditorMalformed, DescriptionWithoutEndLineIsBuiltAndNamed) {
    Editor ed;
    ed.build_from_description("T\tonly\t\r\nE\tcut\t1\t0");
    EXPECT_FALSE(ed.complete());
    EXPECT_EQ(ed.rows().size(), 1u);
    EXPECT_EQ(ed.warnings().size(), 2u);
}

// --- through the session ---

struct EditorRig {
    SessionRig rig;
    Editor editor;
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kp28_editor_test_" + std::to_string(::getpid()));

    EditorRig() {
        std::filesystem::create_directories(dir);
        rig.modules_path = (dir / "modules.txt").string();
        rig.editor = &editor;
    }
    ~EditorRig() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    kp28setup::Session& start() { return rig.start(); }
};

std::string file_text(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(EditorSession, ReadFetchesTheDescriptionStoresItAndBuilds) {
    EditorRig e;
    e.rig.printer.image[32] = 1;
    e.rig.printer.description = lines({"T\tCOMM\t", "E\tParity\t1\t32\t3\tN\tE\tO\t", "Z\t"});
    auto& s = e.start();
    s.cmd_readNVM_Click();
    EXPECT_EQ(e.rig.writes(), (std::vector<std::string>{"19200:n", "19200:r", "19200:m"}));
    EXPECT_EQ(file_text(e.dir / "modules.txt"), e.rig.printer.description);
    ASSERT_EQ(e.editor.rows().size(), 2u);
    EXPECT_EQ(e.editor.rows()[1].value, "E");
    EXPECT_TRUE(s.commands().enabled(Command::WriteNvm));
    EXPECT_TRUE(e.editor.complete());
    // An edit, then the write sends the edited image.
    EXPECT_TRUE(e.editor.cmb_Enum_Click(0, 2).accepted);
    EXPECT_TRUE(e.editor.row_edited(0));
    EXPECT_TRUE(s.run(Command::WriteNvm).done);
    ASSERT_EQ(e.rig.printer.written_image.size(), 2048u + 4);
    EXPECT_EQ(e.rig.printer.written_image[32], 2);
    // What the printer confirmed is no longer an edit.
    EXPECT_FALSE(e.editor.row_edited(0));
}

TEST(EditorSession, DescriptionWithoutEndLineTimesOutWithAReport) {
    EditorRig e;
    e.rig.printer.description = lines({"T\tCOMM\t", "E\tParity\t1\t32\t3\tN\tE\tO\t"});
    auto& s = e.start();
    s.cmd_readNVM_Click();
    EXPECT_FALSE(e.editor.complete());
    EXPECT_TRUE(e.editor.rows().empty());
    EXPECT_EQ(s.last_comm_error, "TimeOut");
    const auto texts = e.rig.message_texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back().rfind("COMM error(TimeOut): parameter description not received", 0), 0u)
        << texts.back();
    EXPECT_NE(s.status_label().find("not received"), std::string::npos);
}

TEST(EditorSession, UnwritableModulesFileIsReportedWithItsPathAndTheEditorIsBuilt) {
    EditorRig e;
    e.rig.modules_path = (e.dir / "no" / "such" / "modules.txt").string();
    e.rig.printer.description = lines({"S\tname\t4\t0\t", "Z\t"});
    auto& s = e.start();
    s.cmd_readNVM_Click();
    const auto texts = e.rig.message_texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_NE(texts.back().find((e.dir / "no" / "such" / "modules.txt").string()),
              std::string::npos);
    EXPECT_NE(texts.back().find("No such file or directory"), std::string::npos);
    EXPECT_EQ(e.editor.rows().size(), 1u);
    EXPECT_EQ(e.editor.warnings().size(), 1u);
}

}  // namespace
}  // namespace setuptest
