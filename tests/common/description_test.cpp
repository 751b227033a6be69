// The parameter description: the writer's lines, the parser's tolerance (as
// wide as the setup tool's field readers, no wider) and the records a
// malformed line cannot become.
#include <gtest/gtest.h>
#include <kp28/protocol/description.h>

#include <string>
#include <vector>

namespace {

using namespace kp28;

const std::vector<DescriptionRecord> kEveryKind = {
    TitleRecord{"COMMUNICATION"},
    EnumRecord{"Parity", 1, 33, {"None", "Even", "Odd"}},
    EnumRecord{"Spaced and empty items", 1, 12, {"one item", "", "  "}},
    RangeRecord{'M', "TCP port", 2, 48, 1, 32767, 0},
    RangeRecord{'O', "Head temperature offset", 2, 128, -40, 40, 40},
    StringRecord{"Header text", 20, 80},
    IpRecord{"IP address", 4, 36},
    TitleRecord{""},
    EndRecord{},
};

TEST(DescriptionFormat, WriterLinesEndEveryFieldWithATab) {
    EXPECT_EQ(format_record(TitleRecord{"PRINTING"}), "T\tPRINTING\t\r\n");
    EXPECT_EQ(format_record(EnumRecord{"Parity", 1, 33, {"None", "Even", "Odd"}}),
              "E\tParity\t1\t33\t3\tNone\tEven\tOdd\t\r\n");
    EXPECT_EQ(format_record(RangeRecord{'O', "Density", 1, 64, -5, 5, 5}),
              "O\tDensity\t1\t64\t-5\t5\t5\t\r\n");
    EXPECT_EQ(format_record(StringRecord{"Branch", 8, 120}), "S\tBranch\t8\t120\t\r\n");
    EXPECT_EQ(format_record(IpRecord{"Gateway", 4, 44}), "I\tGateway\t4\t44\t\r\n");
    EXPECT_EQ(format_record(EndRecord{}), "Z\t\r\n");
}

TEST(DescriptionFormat, ParserReadsBackWhatTheWriterWrote) {
    const std::string text = format_description(kEveryKind);
    const ParsedDescription parsed = parse_description(text);
    EXPECT_TRUE(parsed.complete);
    EXPECT_TRUE(parsed.skipped.empty());
    EXPECT_EQ(parsed.records, kEveryKind);
}

TEST(DescriptionFormat, ParserIsAsTolerantAsTheFieldReaders) {
    const struct {
        const char* what;
        std::string line;
        DescriptionRecord want;
    } cases[] = {
        {"character 2 is not looked at", "EXLabel\t1\t5\t1\tA\t", EnumRecord{"Label", 1, 5, {"A"}}},
        {"text after the last TAB is ignored", "S\tName\t8\t120\ttrailing words",
         StringRecord{"Name", 8, 120}},
        {"blanks around numbers", "M\tM\t 2\t100 \t  0\t600\t -3 \t",
         RangeRecord{'M', "M", 2, 100, 0, 600, -3}},
        {"a plus sign", "M\tM\t+2\t1\t0\t6\t0\t", RangeRecord{'M', "M", 2, 1, 0, 6, 0}},
        {"empty label", "I\t\t4\t36\t", IpRecord{"", 4, 36}},
        {"the extremes of 16 bits", "O\tX\t2\t0\t-32768\t32767\t0\t",
         RangeRecord{'O', "X", 2, 0, -32768, 32767, 0}},
        {"a trailing CR", "T\tTitle\t\r", TitleRecord{"Title"}},
        {"the end record needs no fields", "Z", EndRecord{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ParsedLine p = parse_record(c.line);
        ASSERT_EQ(p.kind, ParsedLine::kRecord) << p.problem;
        EXPECT_EQ(*p.record, c.want);
    }
}

TEST(DescriptionFormat, UnknownLinesAreIgnoredAndBrokenRecordsAreMalformed) {
    const struct {
        const char* what;
        std::string line;
        ParsedLine::Kind kind;
    } cases[] = {
        {"empty line", "", ParsedLine::kIgnored},
        {"lower-case letter", "t\tTitle\t", ParsedLine::kIgnored},
        {"unknown letter", "X\tWhat\t1\t2\t", ParsedLine::kIgnored},
        {"title without its TAB", "T\tTitle", ParsedLine::kMalformed},
        {"letter alone", "E", ParsedLine::kMalformed},
        {"offset missing", "S\tName\t8\t", ParsedLine::kMalformed},
        {"offset not a number", "S\tName\t8\tten\t", ParsedLine::kMalformed},
        {"number with a unit", "S\tName\t8\t10px\t", ParsedLine::kMalformed},
        {"number past 16 bits", "S\tName\t8\t32768\t", ParsedLine::kMalformed},
        {"empty number", "S\tName\t\t10\t", ParsedLine::kMalformed},
        {"fewer items than counted", "E\tParity\t1\t33\t3\tNone\tEven\t", ParsedLine::kMalformed},
        {"negative count", "E\tParity\t1\t33\t-1\t", ParsedLine::kMalformed},
        {"range without its bias", "M\tX\t2\t100\t0\t600\t", ParsedLine::kMalformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ParsedLine p = parse_record(c.line);
        EXPECT_EQ(p.kind, c.kind);
        EXPECT_FALSE(p.record.has_value());
        if (c.kind == ParsedLine::kMalformed) {
            EXPECT_FALSE(p.problem.empty());
        }
    }
}

TEST(DescriptionFormat, SkippedLinesAreCountedAndTheRestStillParses) {
    const std::string text = "T\tA\t\r\n\r\nS\tbroken\t8\t\r\nq\t\r\nS\tok\t8\t0\t\r\nZ\t\r\n";
    const ParsedDescription p = parse_description(text);
    ASSERT_EQ(p.records.size(), 3u);
    EXPECT_EQ(p.records[1], DescriptionRecord(StringRecord{"ok", 8, 0}));
    EXPECT_TRUE(p.complete);
    ASSERT_EQ(p.skipped.size(), 3u);
    EXPECT_EQ(p.skipped[0].line, 2u);
    EXPECT_EQ(p.skipped[0].kind, ParsedLine::kIgnored);
    EXPECT_EQ(p.skipped[1].line, 3u);
    EXPECT_EQ(p.skipped[1].kind, ParsedLine::kMalformed);
    EXPECT_EQ(p.skipped[2].line, 4u);
    // A description cut before its end record is not complete.
    EXPECT_FALSE(parse_description("T\tA\t\r\nS\tok\t8\t0\t\r\n").complete);
}

TEST(DescriptionFieldReader, CursorStandsOnTheTabThatEndedTheField) {
    FieldReader f("E\tAB\t1\t12\t");
    EXPECT_EQ(f.field_cursor(), 0);
    EXPECT_EQ(f.label(), std::optional<std::string_view>("AB"));
    EXPECT_EQ(f.field_cursor(), 5);  // 1-based: E, TAB, A, B, TAB
    EXPECT_EQ(f.next_number(), std::optional<std::int16_t>(1));
    EXPECT_EQ(f.field_cursor(), 7);
    EXPECT_EQ(f.next(), std::optional<std::string_view>("12"));
    EXPECT_EQ(f.field_cursor(), 10);
    EXPECT_FALSE(f.next().has_value());
}

TEST(DescriptionBounds, RecordsMustReferToBytesInsideTheImage) {
    const struct {
        DescriptionRecord r;
        bool fits;
    } cases[] = {
        {StringRecord{"s", 8, 2040}, true},
        {StringRecord{"s", 9, 2040}, false},
        {IpRecord{"i", 1, 2044}, true},  // the address has four bytes whatever size says
        {IpRecord{"i", 4, 2045}, false},
        {RangeRecord{'M', "m", 2, 2046, 0, 1, 0}, true},
        {RangeRecord{'M', "m", 2, 2047, 0, 1, 0}, false},
        {EnumRecord{"e", 1, 2047, {"a"}}, true},
        {EnumRecord{"e", 1, -1, {"a"}}, false},
        {TitleRecord{"t"}, true},
    };
    for (const auto& c : cases) EXPECT_EQ(record_fits(c.r, 2048), c.fits) << format_record(c.r);
}

}  // namespace
