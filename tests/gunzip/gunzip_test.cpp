// The gzip decoder against real tool output and against members damaged on
// purpose, one fault per case.
#include "gunzip.h"

#include <gtest/gtest.h>
#include <kp28/crc32.h>

#include <algorithm>

#include "gzip_builder.h"

using namespace gztest;
using fwupdate::gunzip;

namespace {

constexpr std::uint8_t kGuard = 0xA5;
constexpr std::size_t kGuardSize = 64;

// Decodes into a buffer of `capacity` bytes followed by guard bytes, and
// fails the test if anything was stored past the buffer.
struct Decoded {
    fwupdate::Unpacked result;
    Bytes output;
};
Decoded decode(std::span<const std::uint8_t> input, std::size_t capacity) {
    Bytes buffer(capacity + kGuardSize, kGuard);
    std::vector<std::string> hooked;
    Decoded d;
    d.result = gunzip(input, std::span(buffer).first(capacity),
                      [&](std::string_view t) { hooked.emplace_back(t); });
    EXPECT_EQ(hooked, d.result.messages) << "the hook sees every message, in order";
    EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(capacity), buffer.end(),
                            [](std::uint8_t b) { return b == kGuard; }))
        << "stored past the end of the output buffer";
    d.output.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(
                                                         std::min(d.result.total, capacity)));
    return d;
}

// First block type of a member without optional fields: 0 stored, 1 fixed, 2 dynamic.
unsigned first_block_type(const Bytes& gz) {
    return (gz.at(10) >> 1) & 3;
}

struct ToolCase;
void PrintTo(const ToolCase& c, std::ostream* os);
struct ToolCase {
    const char* name;
    const char* tool;
    const char* data;  // "elf", "text", "random", "short"
    std::size_t size;
    int block_type;  // expected type of the first block, -1: not checked
};
void PrintTo(const ToolCase& c, std::ostream* os) {
    *os << c.name;
}

Bytes sample(const std::string& kind, std::size_t size) {
    if (kind == "elf") return elf_sample(size);
    if (kind == "text") return text_sample(size);
    if (kind == "random") return random_bytes(size, 11);
    return Bytes(text_sample(size));
}

class RealToolOutput : public ::testing::TestWithParam<ToolCase> {};

TEST_P(RealToolOutput, DecodesToTheOriginalBytes) {
    const auto& c = GetParam();
    const std::string tool = std::string(c.tool).substr(0, std::string(c.tool).find(' '));
    if (!have_tool(tool)) GTEST_SKIP() << tool << " not installed";
    TempDir dir;
    const Bytes original = sample(c.data, c.size);
    Bytes gz = compress_with(dir, c.tool, original);
    if (c.block_type >= 0) {
        ASSERT_EQ(first_block_type(gz), static_cast<unsigned>(c.block_type))
            << "input not as meant";
    }
    gz.insert(gz.end(), {1, 2, 3});  // bytes after the member are not read

    const auto d = decode(gz, fwupdate::kUnpackBufferSize);
    ASSERT_TRUE(d.result.ok()) << (d.result.messages.empty() ? "" : d.result.messages.back());
    EXPECT_TRUE(d.result.messages.empty());
    EXPECT_EQ(d.result.total, original.size());
    EXPECT_TRUE(d.output == original) << "output differs";
    EXPECT_EQ(d.result.consumed, gz.size() - 3);
}

INSTANTIATE_TEST_SUITE_P(
    GzipAndPigz, RealToolOutput,
    ::testing::Values(ToolCase{"gzip1_elf", "gzip -1 -n", "elf", 600000, 2},
                      ToolCase{"gzip6_elf", "gzip -6 -n", "elf", 600000, 2},
                      ToolCase{"gzip9_elf", "gzip -9 -n", "elf", 3000000, 2},
                      ToolCase{"gzip9_text", "gzip -9 -n", "text", 200000, 2},
                      ToolCase{"gzip1_random_stored", "gzip -1 -n", "random", 200000, 0},
                      ToolCase{"gzip9_short_fixed", "gzip -9 -n", "short", 40, 1},
                      ToolCase{"gzip_empty", "gzip -n", "short", 0, 1},
                      ToolCase{"pigz1_elf", "pigz -1 -n", "elf", 600000, -1},
                      ToolCase{"pigz6_text", "pigz -6 -n", "text", 300000, -1},
                      ToolCase{"pigz9_elf", "pigz -9 -n", "elf", 1000000, -1},
                      ToolCase{"pigz11_elf", "pigz -11 -n", "elf", 60000, -1},
                      ToolCase{"pigz0_stored", "pigz -0 -n", "text", 100000, 0},
                      ToolCase{"pigz9_random", "pigz -9 -n", "random", 100000, -1},
                      ToolCase{"full_buffer", "gzip -9 -n", "elf", fwupdate::kUnpackBufferSize, 2}),
    [](const auto& tp) { return std::string(tp.param.name); });

// Optional header fields are skipped whatever they hold.
struct HeaderCase;
void PrintTo(const HeaderCase& c, std::ostream* os);
struct HeaderCase {
    const char* name;
    MemberOptions options;
};
void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class HeaderFields : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderFields, AreSkipped) {
    TempDir dir;
    const Bytes original = text_sample(5000);
    const Bytes gz = member_for(GetParam().options,
                                raw_deflate(compress_with(dir, "gzip -6 -n", original)), original);
    const auto d = decode(gz, 8192);
    ASSERT_TRUE(d.result.ok()) << d.result.messages.back();
    EXPECT_TRUE(d.output == original);
    EXPECT_EQ(d.result.consumed, gz.size());
}

MemberOptions opts(std::uint8_t flags, Bytes extra = {}, std::string name = {},
                   std::string comment = {}, std::uint8_t id2 = 0x8B) {
    MemberOptions o;
    o.flags = flags;
    o.extra = std::move(extra);
    o.name = std::move(name);
    o.comment = std::move(comment);
    o.id2 = id2;
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Members, HeaderFields,
    ::testing::Values(HeaderCase{"none", opts(0)}, HeaderCase{"text_flag_ignored", opts(0x01)},
                      HeaderCase{"name", opts(0x08, {}, "kp28.bin")},
                      HeaderCase{"empty_name", opts(0x08, {}, "")},
                      HeaderCase{"comment", opts(0x10, {}, {}, "built by hand")},
                      HeaderCase{"extra", opts(0x04, Bytes{'K', 'P', 4, 0, 1, 2, 3, 4})},
                      HeaderCase{"empty_extra", opts(0x04)},
                      HeaderCase{"large_extra_with_zeros", opts(0x04, Bytes(3000, 0))},
                      HeaderCase{"all_fields", opts(0x1D, Bytes{9, 9}, "n", "c")},
                      HeaderCase{"id2_9e", opts(0x08, {}, "old", {}, 0x9E)}),
    [](const auto& tp) { return std::string(tp.param.name); });

// ---- damaged members ----

Bytes fixed_block_hello() {
    // "hello" in one fixed block: literals 0-143 have 8-bit codes 0x30 + value.
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    for (char ch : std::string("hello")) w.code(0x30 + static_cast<std::uint8_t>(ch), 8);
    w.code(0, 7);  // end of block
    return w.finish();
}
const Bytes kHello = {'h', 'e', 'l', 'l', 'o'};

Bytes with_fixed_symbols(const std::vector<std::pair<std::uint32_t, unsigned>>& codes) {
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    for (auto [c, len] : codes) w.code(c, len);
    w.code(0, 7);
    return w.finish();
}

Bytes stored_block(std::uint16_t len, std::uint16_t nlen, const Bytes& data) {
    BitWriter w;
    w.bits(1, 1);
    w.bits(0, 2);
    w.align();
    w.bits(len, 16);
    w.bits(nlen, 16);
    w.bytes(data);
    return w.finish();
}

// Dynamic block with the given lengths, data of literal 'A' (if coded) then
// end of block, using codes from the same lengths.
Bytes dynamic_block(const std::vector<unsigned>& litlen, const std::vector<unsigned>& dist) {
    BitWriter w;
    dynamic_header(w, true, static_cast<unsigned>(litlen.size()),
                   static_cast<unsigned>(dist.size()), flat_codelen_lengths(),
                   plain_sequence(litlen, dist));
    const auto codes = canonical_codes(litlen);
    if (codes['A'].length) w.code(codes['A'].bits, codes['A'].length);
    if (codes[256].length) w.code(codes[256].bits, codes[256].length);
    return w.finish();
}

std::vector<unsigned> litlen_lengths(std::initializer_list<std::pair<unsigned, unsigned>> set,
                                     unsigned count = 257) {
    std::vector<unsigned> l(count, 0);
    for (auto [sym, len] : set) l[sym] = len;
    return l;
}

Bytes gz_of(const Bytes& deflate, const Bytes& original) {
    return member_for(opts(0), deflate, original);
}

struct FaultCase;
void PrintTo(const FaultCase& c, std::ostream* os);
struct FaultCase {
    const char* name;
    Bytes input;
    std::vector<std::string> messages;
};
void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<FaultCase> fault_cases() {
    std::vector<FaultCase> cases;
    const Bytes good = gz_of(fixed_block_hello(), kHello);
    auto patched = [&](std::size_t at, std::uint8_t v) {
        Bytes b = good;
        b.at(at) = v;
        return b;
    };
    const std::string err1 = "invalid compressed format (err=1)";
    const std::string err2 = "invalid compressed format (err=2)";
    const std::string ran_out = "ran out of input data\n";

    cases.push_back({"bad_id1", patched(0, 0x1E), {"bad gzip magic numbers"}});
    cases.push_back({"bad_id2", patched(1, 0x8C), {"bad gzip magic numbers"}});
    cases.push_back({"method_7", patched(2, 7), {"invalid method"}});
    cases.push_back({"encrypted", patched(3, 0x20), {"Input is encrypted\n"}});
    cases.push_back(
        {"encrypted_checked_before_multipart", patched(3, 0x22), {"Input is encrypted\n"}});
    cases.push_back({"header_crc_flag_is_multipart", patched(3, 0x02), {"Multi part input\n"}});
    cases.push_back({"name_and_header_crc", patched(3, 0x0A), {"Multi part input\n"}});
    cases.push_back(
        {"multipart_checked_before_reserved", patched(3, 0xC2), {"Multi part input\n"}});
    cases.push_back({"reserved_0x40", patched(3, 0x40), {"Input has invalid flags\n"}});
    cases.push_back({"reserved_0x80", patched(3, 0x88), {"Input has invalid flags\n"}});

    cases.push_back(
        {"stored_bad_nlen", gz_of(stored_block(5, 0xFFFA ^ 1, kHello), kHello), {err1}});
    {
        BitWriter w;
        w.bits(1, 1);
        w.bits(3, 2);
        cases.push_back({"block_type_3", gz_of(w.finish(), {}), {err2}});
    }
    cases.push_back({"oversubscribed_literal_set",
                     gz_of(dynamic_block(litlen_lengths({{'A', 1}, {'B', 1}, {256, 1}}), {1}), {}),
                     {err2}});
    cases.push_back({"oversubscribed_distance_set",
                     gz_of(dynamic_block(litlen_lengths({{'A', 1}, {256, 1}}), {1, 1, 1}), {}),
                     {err2}});
    cases.push_back({"incomplete_literal_set",
                     gz_of(dynamic_block(litlen_lengths({{'A', 1}, {256, 2}}), {1}), {}),
                     {" incomplete literal tree\n", err1}});
    cases.push_back({"single_literal_code_is_incomplete",
                     gz_of(dynamic_block(litlen_lengths({{256, 1}}), {0}), {}),
                     {" incomplete literal tree\n", err1}});
    cases.push_back({"incomplete_distance_set",
                     gz_of(dynamic_block(litlen_lengths({{'A', 1}, {256, 1}}), {1, 2, 0}), {}),
                     {" incomplete distance tree\n", err1}});
    cases.push_back({"single_distance_code_of_two_bits",
                     gz_of(dynamic_block(litlen_lengths({{'A', 1}, {256, 1}}), {2}), {}),
                     {" incomplete distance tree\n", err1}});
    {
        // Code-length code with symbols 0-14 only: 15 of 16 four-bit codes.
        auto cl = flat_codelen_lengths();
        cl[15] = 0;
        BitWriter w;
        dynamic_header(w, true, 257, 1, cl,
                       plain_sequence(litlen_lengths({{'A', 1}, {256, 1}}), {1}));
        cases.push_back({"incomplete_code_length_set", gz_of(w.finish(), {}), {err1}});
        auto over = flat_codelen_lengths();
        over[16] = 4;
        BitWriter w2;
        dynamic_header(w2, true, 257, 1, over,
                       plain_sequence(litlen_lengths({{'A', 1}, {256, 1}}), {1}));
        cases.push_back({"oversubscribed_code_length_set", gz_of(w2.finish(), {}), {err2}});
    }
    {
        // 13 four-bit and 6 five-bit codes: all 19 code-length symbols. Two
        // runs of 138 zeros overshoot the 258 lengths declared.
        std::vector<unsigned> cl(19, 4);
        for (unsigned s = 13; s < 19; ++s) cl[s] = 5;
        BitWriter w;
        dynamic_header(w, true, 257, 1, cl, {{18, 127}, {18, 127}});
        cases.push_back({"repeat_past_the_count", gz_of(w.finish(), {}), {err1}});
    }
    {
        BitWriter w;
        w.bits(1, 1);
        w.bits(2, 2);
        w.bits(30, 5);  // 287 literal/length codes
        w.bits(0, 5);
        w.bits(0, 4);
        cases.push_back({"too_many_literal_codes", gz_of(w.finish(), {}), {err1}});
        BitWriter w2;
        w2.bits(1, 1);
        w2.bits(2, 2);
        w2.bits(0, 5);
        w2.bits(30, 5);  // 31 distance codes
        w2.bits(0, 4);
        cases.push_back({"too_many_distance_codes", gz_of(w2.finish(), {}), {err1}});
    }
    // Fixed codes: 280-287 are 8 bits from 0xC0, so 286 is 0xC6; distances are 5 bits.
    cases.push_back(
        {"length_symbol_286", gz_of(with_fixed_symbols({{0x30 + 'a', 8}, {0xC6, 8}}), {}), {err1}});
    cases.push_back({"distance_symbol_30",
                     gz_of(with_fixed_symbols({{0x30 + 'a', 8}, {1, 7}, {30, 5}}), {}),
                     {err1}});
    // One byte of output, then a match at distance 2.
    cases.push_back({"distance_before_the_output",
                     gz_of(with_fixed_symbols({{0x30 + 'a', 8}, {1, 7}, {1, 5}}), {}),
                     {err1}});

    {
        // Repeat code 16 as the first code length: there is no length to
        // repeat. The rest of the stream is sound (read as zeros, the six
        // lengths would give a valid block of "A"), so only that refusal fails it.
        const auto lit = litlen_lengths({{'A', 1}, {256, 1}});
        std::vector<LengthSymbol> seq = {{16, 3}};
        for (std::size_t s = 6; s < lit.size(); ++s) seq.push_back({lit[s]});
        seq.push_back({0});
        std::vector<unsigned> cl(19, 0);
        for (unsigned s = 0; s < 16; ++s) cl[s] = 4;
        cl[15] = 0;
        cl[16] = 4;
        BitWriter w;
        dynamic_header(w, true, 257, 1, cl, seq);
        const auto c = canonical_codes(lit);
        w.code(c['A'].bits, c['A'].length);
        w.code(c[256].bits, c[256].length);
        cases.push_back({"leading_repeat_of_nothing", gz_of(w.finish(), {'A'}), {err1}});
    }

    Bytes crc_off = good;
    crc_off[crc_off.size() - 8] ^= 0x01;
    cases.push_back({"crc_one_bit_off", crc_off, {"crc error"}});
    Bytes size_off = good;
    size_off[size_off.size() - 4] += 1;
    cases.push_back({"isize_off", size_off, {"length error"}});
    Bytes both_off = crc_off;
    both_off[both_off.size() - 4] += 1;
    cases.push_back({"crc_checked_before_isize", both_off, {"crc error"}});

    cases.push_back({"empty_input", {}, {ran_out}});
    cases.push_back({"cut_in_header", Bytes(good.begin(), good.begin() + 7), {ran_out}});
    cases.push_back({"name_without_end",
                     Bytes{0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 3, 'n', 'a', 'm', 'e'},
                     {ran_out}});
    {
        Bytes m = member(opts(0x04, Bytes(10, 1)), {}, 0, 0);
        m.resize(10 + 2 + 5);
        cases.push_back({"extra_cut_short", m, {ran_out}});
    }
    cases.push_back({"cut_in_deflate_data", Bytes(good.begin(), good.begin() + 13), {ran_out}});
    {
        Bytes stored = gz_of(stored_block(5, 0xFFFA, kHello), kHello);
        stored.resize(17);  // header, block header and two of the five bytes
        cases.push_back({"cut_in_stored_data", stored, {ran_out}});
    }
    cases.push_back({"cut_in_trailer", Bytes(good.begin(), good.end() - 1), {ran_out}});
    {
        BitWriter w;  // a block that is not the last, and nothing after it
        w.bits(0, 1);
        w.bits(1, 2);
        w.code(0, 7);
        cases.push_back({"no_last_block", w.finish(), {ran_out}});
        cases.back().input = gz_of(cases.back().input, {});
        cases.back().input.resize(cases.back().input.size() - 8);
    }
    return cases;
}

class DamagedMember : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DamagedMember, FailsWithItsMessage) {
    const auto d = decode(GetParam().input, 4096);
    EXPECT_FALSE(d.result.ok());
    EXPECT_EQ(d.result.messages, GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(Faults, DamagedMember, ::testing::ValuesIn(fault_cases()),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST(DamagedMember, EveryTruncationOfARealMemberRunsOutOfInput) {
    TempDir dir;
    const Bytes original = elf_sample(8000);
    const Bytes gz = compress_with(dir, "gzip -9 -n", original);
    for (std::size_t cut = 0; cut < gz.size(); ++cut) {
        const auto d = decode(std::span(gz).first(cut), original.size());
        ASSERT_EQ(d.result.messages, std::vector<std::string>{"ran out of input data\n"})
            << "cut at " << cut;
    }
}

// ---- valid streams that strict decoders get wrong ----

struct ValidCase;
void PrintTo(const ValidCase& c, std::ostream* os);
struct ValidCase {
    const char* name;
    Bytes deflate;
    Bytes expected;
};
void PrintTo(const ValidCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<ValidCase> valid_cases() {
    std::vector<ValidCase> cases;
    {
        // One distance code of one bit: "A" then a copy of length 3 at distance 1.
        const auto lit = litlen_lengths({{'A', 1}, {256, 2}, {257, 2}}, 258);
        BitWriter w;
        dynamic_header(w, true, 258, 1, flat_codelen_lengths(), plain_sequence(lit, {1}));
        const auto c = canonical_codes(lit);
        w.code(c['A'].bits, c['A'].length);
        w.code(c[257].bits, c[257].length);
        w.code(0, 1);  // distance symbol 0: distance 1
        w.code(c[256].bits, c[256].length);
        cases.push_back({"single_distance_code", w.finish(), {'A', 'A', 'A', 'A'}});
    }
    {
        // No distance codes at all: literals only.
        const auto lit = litlen_lengths({{'A', 1}, {256, 1}});
        BitWriter w;
        dynamic_header(w, true, 257, 1, flat_codelen_lengths(), plain_sequence(lit, {0}));
        const auto c = canonical_codes(lit);
        for (int i = 0; i < 3; ++i) w.code(c['A'].bits, c['A'].length);
        w.code(c[256].bits, c[256].length);
        cases.push_back({"no_distance_codes", w.finish(), {'A', 'A', 'A'}});
    }
    {
        // A stored block, then a fixed one copying across the boundary, then an empty stored block.
        BitWriter w;
        w.bits(0, 1);
        w.bits(0, 2);
        w.align();
        w.bits(3, 16);
        w.bits(0xFFFC, 16);
        w.bytes(Bytes{'a', 'b', 'c'});
        w.bits(0, 1);
        w.bits(1, 2);
        w.code(3, 7);  // length 5
        w.code(2, 5);  // distance 3
        w.code(0, 7);
        w.bits(1, 1);
        w.bits(0, 2);
        w.align();
        w.bits(0, 16);
        w.bits(0xFFFF, 16);
        cases.push_back(
            {"stored_fixed_empty_stored", w.finish(), {'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b'}});
    }
    {
        // Repeat code 16 right after the first length repeats that length.
        const auto lit = litlen_lengths({{'A', 1}, {256, 1}});
        std::vector<LengthSymbol> seq = {{0}, {16, 2}};  // six zeros for symbols 0-5
        for (std::size_t s = 6; s < lit.size(); ++s) seq.push_back({lit[s]});
        seq.push_back({0});
        std::vector<unsigned> cl(19, 0);
        for (unsigned s = 0; s < 16; ++s) cl[s] = 4;
        cl[15] = 0;
        cl[16] = 4;
        BitWriter w;
        dynamic_header(w, true, 257, 1, cl, seq);
        const auto c = canonical_codes(lit);
        w.code(c['A'].bits, c['A'].length);
        w.code(c[256].bits, c[256].length);
        cases.push_back({"repeat_of_the_first_length", w.finish(), {'A'}});
    }
    {
        // A repeat that runs from the last literal/length length into the
        // distance lengths: symbol 256's length 2 repeated five times gives
        // 257 and all four distance codes two bits. "AAA", then a copy of
        // length 3 at distance 3 (distance symbol 2).
        const auto lit = litlen_lengths({{'A', 1}, {256, 2}, {257, 2}}, 258);
        std::vector<LengthSymbol> seq;
        for (std::size_t s = 0; s <= 256; ++s) seq.push_back({lit[s]});
        seq.push_back({16, 2});
        std::vector<unsigned> cl(19, 0);
        for (unsigned s = 0; s < 16; ++s) cl[s] = 4;
        cl[15] = 0;
        cl[16] = 4;
        BitWriter w;
        dynamic_header(w, true, 258, 4, cl, seq);
        const auto c = canonical_codes(lit);
        for (int i = 0; i < 3; ++i) w.code(c['A'].bits, c['A'].length);
        w.code(c[257].bits, c[257].length);
        w.code(2, 2);
        w.code(c[256].bits, c[256].length);
        cases.push_back({"repeat_across_into_distance_lengths", w.finish(), Bytes(6, 'A')});
    }
    return cases;
}

class ValidStream : public ::testing::TestWithParam<ValidCase> {};

TEST_P(ValidStream, Decodes) {
    const auto& c = GetParam();
    const auto d = decode(gz_of(c.deflate, c.expected), 4096);
    ASSERT_TRUE(d.result.ok()) << d.result.messages.back();
    EXPECT_EQ(d.output, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rfc1951, ValidStream, ::testing::ValuesIn(valid_cases()),
                         [](const auto& tp) { return std::string(tp.param.name); });

// ---- match copies ----

// Fixed-code symbols (RFC 1951 3.2.6), for streams whose matches are chosen
// one by one.
void fixed_literal(BitWriter& w, std::uint8_t v) {
    if (v < 144)
        w.code(0x30 + v, 8);
    else
        w.code(0x190 + (v - 144u), 9);
}
void fixed_match(BitWriter& w, unsigned length, unsigned distance) {
    static const unsigned kLenBase[] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                        15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                        67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const unsigned kLenExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    unsigned i = 28;
    while (kLenBase[i] > length) --i;
    const unsigned sym = 257 + i;
    if (sym < 280)
        w.code(sym - 256, 7);
    else
        w.code(0xC0 + (sym - 280), 8);
    w.bits(length - kLenBase[i], kLenExtra[i]);
    unsigned d = 0, base = 1, extra = 0;
    while (true) {  // distance symbols d: base grows by 2^extra, extra every second symbol
        const unsigned e = d < 4 ? 0 : d / 2 - 1;
        if (distance < base + (1u << e)) {
            extra = e;
            break;
        }
        base += 1u << e;
        ++d;
    }
    w.code(d, 5);
    w.bits(distance - base, extra);
}

// Stored runs on both sides of the length from which a run is copied and
// folded into the CRC in one pass, some after Huffman output whose CRC is
// still pending, some back to back, the last one ending the stream in an
// exact buffer: the trailer's CRC and size only check out if every byte was
// counted once and in order.
TEST(StoredBlocks, RunsAroundTheFoldLengthKeepTheChecksumInOrder) {
    const std::size_t runs[] = {0, 1, 4095, 4096, 4097, 40000, 65535, 65535, 4096};
    BitWriter w;
    Bytes expected;
    std::uint32_t seed = 20;
    for (std::size_t i = 0; i < std::size(runs); ++i) {
        const bool last = i + 1 == std::size(runs);
        if (i % 2 == 0) {
            w.bits(0, 1);
            w.bits(1, 2);
            for (std::uint8_t v : {'k', 'p', '2', '8'}) {
                fixed_literal(w, v);
                expected.push_back(v);
            }
            w.code(0, 7);
        }
        const Bytes run = random_bytes(runs[i], seed++);
        w.bits(last ? 1 : 0, 1);
        w.bits(0, 2);
        w.align();
        w.bits(static_cast<std::uint32_t>(runs[i]), 16);
        w.bits(static_cast<std::uint32_t>(~runs[i] & 0xFFFF), 16);
        w.bytes(run);
        expected.insert(expected.end(), run.begin(), run.end());
    }
    const Bytes gz = gz_of(w.finish(), expected);
    const auto d = decode(gz, expected.size());
    ASSERT_TRUE(d.result.ok()) << d.result.messages.back();
    EXPECT_EQ(d.output, expected);
    EXPECT_EQ(d.result.consumed, gz.size());
}

// Every distance up to 40 (the short periods that repeat inside a word, and
// the word and double-word copies just above them) with lengths that end
// inside, at and just past each word the copies store, each match followed by
// a literal that must not be overwritten. The expected bytes come from a
// byte-by-byte copy. Decoded into an exact buffer, so that the last matches
// run at its very end, and after 40000 stored bytes as well as at the start,
// so that both the checked and the unchecked distance paths see every case.
TEST(MatchCopies, EveryShortDistanceAndLengthCopiesByteByByte) {
    const std::vector<unsigned> lengths = {3,  4,  5,  6,  7,  8,  9,  13, 15,  16,  17, 23,
                                           24, 31, 32, 33, 40, 47, 63, 65, 130, 257, 258};
    for (std::size_t prefix : {std::size_t{0}, std::size_t{40000}}) {
        SCOPED_TRACE("after " + std::to_string(prefix) + " stored bytes");
        Bytes expected = random_bytes(prefix, 5);
        BitWriter w;
        if (prefix != 0) {
            w.bits(0, 1);
            w.bits(0, 2);
            w.align();
            w.bits(static_cast<std::uint32_t>(prefix), 16);
            w.bits(static_cast<std::uint32_t>(~prefix & 0xFFFF), 16);
            w.bytes(expected);
        }
        w.bits(1, 1);
        w.bits(1, 2);
        const Bytes seed = random_bytes(40, 9);
        for (std::uint8_t v : seed) {
            fixed_literal(w, v);
            expected.push_back(v);
        }
        std::uint8_t marker = 0;
        for (unsigned distance = 1; distance <= 40; ++distance) {
            for (unsigned length : lengths) {
                fixed_match(w, length, distance);
                for (unsigned i = 0; i < length; ++i)
                    expected.push_back(expected[expected.size() - distance]);
                fixed_literal(w, ++marker);
                expected.push_back(marker);
            }
        }
        w.code(0, 7);
        const Bytes gz = gz_of(w.finish(), expected);
        const auto d = decode(gz, expected.size());
        ASSERT_TRUE(d.result.ok()) << d.result.messages.back();
        ASSERT_EQ(d.output.size(), expected.size());
        const auto diff = std::mismatch(d.output.begin(), d.output.end(), expected.begin());
        EXPECT_TRUE(diff.first == d.output.end())
            << "first wrong byte at " << (diff.first - d.output.begin());
    }
}

// ---- the output buffer is the limit ----

struct OverflowCase;
void PrintTo(const OverflowCase& c, std::ostream* os);
struct OverflowCase {
    const char* name;
    const char* tool;
    const char* data;
    std::size_t size;
};
void PrintTo(const OverflowCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputLimit : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(OutputLimit, OneByteTooSmallIsRefusedAndExactFitDecodes) {
    const auto& c = GetParam();
    TempDir dir;
    const Bytes original = sample(c.data, c.size);
    const Bytes gz = compress_with(dir, c.tool, original);
    for (std::size_t room :
         {original.size() - 1, original.size() / 2, std::size_t{0}, std::size_t{300}}) {
        if (room >= original.size()) continue;
        const auto d = decode(gz, room);
        EXPECT_FALSE(d.result.ok()) << room;
        EXPECT_EQ(d.result.messages,
                  std::vector<std::string>{"unpacked data exceeds the " + std::to_string(room) +
                                           "-byte buffer"})
            << room;
        EXPECT_LE(d.result.total, room);
    }
    const auto d = decode(gz, original.size());
    ASSERT_TRUE(d.result.ok());
    EXPECT_TRUE(d.output == original);
}

INSTANTIATE_TEST_SUITE_P(Images, OutputLimit,
                         ::testing::Values(OverflowCase{"dynamic_matches", "gzip -9 -n", "elf",
                                                        100000},
                                           OverflowCase{"text", "gzip -9 -n", "text", 70000},
                                           OverflowCase{"stored", "gzip -1 -n", "random", 70000},
                                           OverflowCase{"small", "gzip -9 -n", "short", 600}),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST(OutputLimit, ImageLargerThanTheUnpackingBufferIsRefused) {
    // 8 MiB + 1 zero bytes: a few kilobytes compressed.
    TempDir dir;
    const Bytes zeros(fwupdate::kUnpackBufferSize + 1, 0);
    const Bytes gz = compress_with(dir, "gzip -9 -n", zeros);
    const auto d = decode(gz, fwupdate::kUnpackBufferSize);
    EXPECT_EQ(d.result.messages,
              std::vector<std::string>{"unpacked data exceeds the 8388608-byte buffer"});
}

}  // namespace
