// Gzip member decoder (RFC 1952 container, RFC 1951 deflate data).
//
// Why it is built this way:
//  - The whole unpacked image lives in the caller's buffer, so that buffer is
//    also the deflate window: matches copy straight from earlier output and no
//    32 KiB window is flushed or copied. A match may not reach back before the
//    first byte of output, and nothing is ever stored past the buffer's end.
//  - Input is a bounded cursor [in, end). Bits are kept in a 64-bit buffer that
//    is topped up to at least 56 bits before each length/distance pair or run
//    of literals: with enough bytes left by one unaligned load, nearer the end
//    a byte at a time. Past the end
//    the byte-wise refill supplies zero bytes and counts them (`overread_`);
//    the moment a counted zero bit is actually consumed the run ends with
//    "ran out of input data\n", and any other failure met after padding was
//    consumed is reported as that too, so truncated input always says so.
//  - 56 bits cover the longest step of the main loop: a literal/length code
//    (15 bits) with its extra bits (5) and a distance code (15) with its extra
//    bits (13), 48 bits in all, so one refill serves a whole match.
//  - Codes are decoded with one table lookup for all codes up to the table's
//    bit width and a second lookup in a subtable for longer ones. Each entry
//    carries everything needed: literal byte or length/distance base, the
//    number of extra bits and the total bits to drop, so a length comes out as
//    base + (bits >> code length) without a second table.
//  - Two decode loops: a fast one that runs while at least 16 input bytes and
//    a longest match's worth of output room remain, and so needs no bounds
//    checks inside, and a careful one that checks every byte at the ends of
//    the input and of the output. The fast loop is also built for BMI2, where
//    shifts by a register amount and masks by a bit count are single
//    instructions, and picked at run time; and in a second form for output
//    past the first 32 KiB, where no match can reach before the start and
//    distances need no check.
//  - Tables are built per block by a walk over the symbols grouped by code
//    length, doubling the filled part of the table as the length grows (see
//    build_table), so a short block does not pay for entries one at a time.
//    The symbols are grouped while their lengths are read, so no pass over
//    all of them (nor a sort) remains; the fixed code's tables are built once
//    per process.
//  - Stored blocks need no decoding: once LEN and NLEN agree and the run fits
//    both the input left and the output room, it is copied whole. A run of
//    4 KiB or more (a level-0 stream is nearly all runs of 64 KiB) is copied
//    and folded into the CRC in the same pass (kp28::crc32_copy): its bytes
//    are read once, and the carry-less folding costs a fraction of an
//    instruction per byte, where a separate copy and CRC would read them
//    twice. Shorter runs are copied and left to the pending CRC piece.
//  - Failures leave through one place (`fail`), which records the reason; the
//    decode loops only test the condition.
//  - All state belongs to one call (the tables, some 55 KiB, are allocated per
//    call); nothing is shared between calls but the fixed code's tables, which
//    are only read once built.
#include "gunzip.h"

#include <kp28/crc32.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace fwupdate {
namespace {

// The fast loop is compiled for two instruction sets (see fast_loop); what it
// calls must be inlined into each so that it is compiled for both as well.
#define KP28_ALWAYS_INLINE inline __attribute__((always_inline))

// Literal/length primary table width: 2^11 entries of 4 bytes (8 KiB) sit in
// the first-level cache and resolve all but the rarest symbols of real data in
// one lookup; 9 bits would force subtable lookups for common literals in
// compressed code. The width is fixed, so that the decode loops mask with a
// constant and keep a register free, and a table is built by doubling copies
// of its filled part (see build_table): a block pays one store per code and
// at most 8 KiB of memcpy, some hundreds of cycles, however many entries its
// short codes stand for. The fixed code's tables are built once.
constexpr unsigned kLitlenTableBits = 11;
// Distance primary table width: distance codes are at most 15 bits, but in
// practice rarely over 8, and only 30 symbols exist; 256 entries (1 KiB) are
// quick to build even for the short blocks of a frequently flushed stream.
constexpr unsigned kDistTableBits = 8;
// Code-length codes are at most 7 bits: a single level always suffices.
constexpr unsigned kCodelenTableBits = 7;

constexpr unsigned kMaxCodeBits = 15;  // longest Huffman code in deflate
// Literal/length symbols: 0-255 literals, 256 end of block, 257-287 lengths
// (286 and 287 invalid).
constexpr unsigned kNumLitlenSyms = 288;
constexpr unsigned kNumDistSyms = 32;  // 0-29 distances (30, 31 invalid)
constexpr unsigned kNumCodelenSyms = 19;
constexpr unsigned kMaxLitlenCodes = 286;  // largest HLIT + 257 a block may declare
constexpr unsigned kMaxDistCodes = 30;     // largest HDIST + 1 a block may declare

// Table capacity: the primary table plus subtables. Every subtable belongs to
// a primary entry that is the prefix of at least one longer code and has at
// most 2^(15 - table bits) entries, so "number of symbols times the largest
// subtable" is a safe bound (not a tight one; memory is not the concern).
constexpr std::size_t table_capacity(unsigned table_bits, unsigned num_syms) {
    return (std::size_t{1} << table_bits) +
           num_syms * (std::size_t{1} << (kMaxCodeBits - table_bits));
}
constexpr std::size_t kLitlenCapacity = table_capacity(kLitlenTableBits, kNumLitlenSyms);
constexpr std::size_t kDistCapacity = table_capacity(kDistTableBits, kNumDistSyms);
constexpr std::size_t kCodelenCapacity = std::size_t{1} << kCodelenTableBits;

// Decode table entry, 32 bits:
//   bits 0-7   bits to drop: code length plus extra bits (a link: the primary width)
//   bits 8-11  code length (a link: the subtable's width); extra bits follow the code
//   bit  12    literal
//   bit  13    exceptional: end of block, link or invalid symbol
//   bit  14    link to a subtable
//   bit  15    end of block
//   bits 16-31 literal byte, length or distance base, code-length symbol, or subtable start
constexpr std::uint32_t kLiteral = 1u << 12;
constexpr std::uint32_t kExceptional = 1u << 13;
constexpr std::uint32_t kLink = 1u << 14;
constexpr std::uint32_t kEndOfBlock = 1u << 15;
constexpr std::uint32_t kInvalid = kExceptional;

// Per-symbol entry before the code length is added: value, flags, extra bits.
constexpr std::uint32_t symbol_entry(std::uint32_t value, std::uint32_t extra) {
    return (value << 16) | extra;
}

// RFC 1951 3.2.5: length symbols 257-285 and distance symbols 0-29.
constexpr std::array<std::uint16_t, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                       15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint16_t, 30> kDistBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, 30> kDistExtra = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                     4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                     9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

constexpr std::array<std::uint32_t, kNumLitlenSyms> make_litlen_entries() {
    std::array<std::uint32_t, kNumLitlenSyms> e{};
    for (std::uint32_t s = 0; s < 256; ++s) e[s] = symbol_entry(s, 0) | kLiteral;
    e[256] = kExceptional | kEndOfBlock;
    for (std::uint32_t s = 257; s < 286; ++s)
        e[s] = symbol_entry(kLengthBase[s - 257], kLengthExtra[s - 257]);
    e[286] = e[287] = kInvalid;
    return e;
}
constexpr std::array<std::uint32_t, kNumDistSyms> make_dist_entries() {
    std::array<std::uint32_t, kNumDistSyms> e{};
    for (std::uint32_t s = 0; s < 30; ++s) e[s] = symbol_entry(kDistBase[s], kDistExtra[s]);
    e[30] = e[31] = kInvalid;
    return e;
}
constexpr std::array<std::uint32_t, kNumCodelenSyms> make_codelen_entries() {
    std::array<std::uint32_t, kNumCodelenSyms> e{};
    for (std::uint32_t s = 0; s < kNumCodelenSyms; ++s) e[s] = symbol_entry(s, 0);
    return e;
}
constexpr auto kLitlenEntries = make_litlen_entries();
constexpr auto kDistEntries = make_dist_entries();
constexpr auto kCodelenEntries = make_codelen_entries();

// Order in which a dynamic block lists the code-length code lengths.
constexpr std::array<std::uint8_t, kNumCodelenSyms> kCodelenOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Output is fed to the CRC in pieces of at least this size: well inside the
// second-level cache, so the bytes are read from it, not from memory.
constexpr std::size_t kCrcPiece = 32768;
// A stored run at least this long is copied and folded into the CRC in one
// pass (kp28::crc32_copy), after the CRC has been brought up to its start.
// Shorter runs (the empty blocks of a sync flush, the short ones some
// packers write) are only copied and join the pending piece: bringing the
// CRC up to date costs a call and a tail of some hundred instructions, which
// a run of 4 KiB repays many times over.
constexpr std::size_t kStoredFoldRun = 4096;

// Inflate's own result codes, as the failure text shows them.
enum InflateError : int {
    // Incomplete code set, invalid symbol, bad stored length, code lengths
    // past their count.
    kErrBadData = 1,
    kErrOversubscribed = 2,  // over-subscribed code set or block type 3
    kErrNoMemory = 3,
};

enum class Failure { None, Message, Inflate, RanOut, Overflow };

enum class Build { Ok, Incomplete, Oversubscribed };

constexpr std::array<std::uint8_t, 256> make_byte_reversal() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i)
        for (unsigned b = 0; b < 8; ++b)
            t[i] |= static_cast<std::uint8_t>(((i >> b) & 1u) << (7 - b));
    return t;
}
constexpr auto kByteReversal = make_byte_reversal();

// The low `len` bits of `code` (len <= 15) in reverse order: Huffman codes are
// sent most significant bit first, the bit buffer is read from the bottom.
std::uint32_t reverse_bits(std::uint32_t code, unsigned len) {
    const std::uint32_t r16 =
        (std::uint32_t{kByteReversal[code & 0xFF]} << 8) | kByteReversal[(code >> 8) & 0xFF];
    return r16 >> (16 - len);
}

KP28_ALWAYS_INLINE constexpr std::uint64_t low_bits(unsigned n) {
    return (std::uint64_t{1} << n) - 1;
}

// Every 11-bit value reversed: a primary-table code (at most 11 bits) comes
// out reversed with one lookup, as the top bits of an 11-bit value.
constexpr std::array<std::uint16_t, 2048> make_reversal11() {
    std::array<std::uint16_t, 2048> t{};
    for (unsigned i = 0; i < 2048; ++i)
        for (unsigned b = 0; b < 11; ++b)
            t[i] = static_cast<std::uint16_t>(t[i] | (((i >> b) & 1u) << (10 - b)));
    return t;
}
constexpr auto kReversal11 = make_reversal11();
static_assert(kLitlenTableBits <= 11 && kDistTableBits <= 11 && kCodelenTableBits <= 11);

// Builds a decode table from code lengths, with a primary table of
// `table_bits`.
//
// Primary entries are written by a walk over the symbols in canonical order,
// shortest codes first: each code of length `len` is stored once, at its
// bit-reversed position below 2^len, and before the next length the filled
// part is doubled with one memcpy. The doubling lays down every replica a
// shorter code needs, and positions not yet written belong to longer codes,
// which write them later. So a table costs one store per code plus block
// copies of 2^table_bits entries at most, instead of a store per replica.
// Longer codes go to subtables behind a link entry.
//
// The symbols come grouped by code length: `by_len[len]` lists the `count[len]`
// symbols of that length in increasing order, which is the canonical order
// within a length (count[0] is ignored). The decoder groups them as it reads
// the lengths of a block, where a run of unused symbols is one repeat code,
// so that no pass over all symbols is left for here; build_table_from_lengths
// groups them for the tables built once.
// `sparse_ok`: a set with no codes, or a single code of one bit, is accepted
// (RFC 1951 3.2.7 allows it for the distance code of a block with one distance
// or none); its unused entries decode as invalid.
Build build_table(std::uint32_t* table, std::size_t capacity, unsigned table_bits,
                  const unsigned* counted, const std::uint16_t* const* by_len,
                  const std::uint32_t* entries, bool sparse_ok) {
    unsigned count[kMaxCodeBits + 1];
    std::copy(counted, counted + kMaxCodeBits + 1, count);
    count[0] = 0;
    int left = 1;
    unsigned codes = 0, max_len = 0;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        left = (left << 1) - static_cast<int>(count[len]);
        if (left < 0) return Build::Oversubscribed;
        codes += count[len];
        if (count[len] != 0) max_len = len;
    }
    if (left > 0) {
        if (!sparse_ok || codes > 1 || (codes == 1 && count[1] != 1)) return Build::Incomplete;
        // An unused code still takes its first bit, so that running out of
        // input is noticed before the invalid symbol is.
        table[0] = table[1] = kInvalid + 1;
        if (codes == 1) table[0] = entries[by_len[1][0]] + 1 + (1u << 8);
        for (std::size_t filled = 2; filled < (std::size_t{1} << table_bits); filled <<= 1)
            std::memcpy(table + filled, table, filled * sizeof *table);
        return Build::Ok;
    }

    std::uint32_t code = 0;
    std::size_t filled = 0;  // entries valid for all codes so far: 2^len once codes began
    unsigned len = 1;
    for (; len <= std::min(table_bits, max_len); ++len, code <<= 1) {
        if (filled != 0) {
            std::memcpy(table + filled, table, filled * sizeof *table);
            filled <<= 1;
        } else if (count[len] != 0) {
            filled = std::size_t{1} << len;
        }
        const std::uint32_t extra = len + (len << 8);
        for (unsigned n = 0; n < count[len]; ++n, ++code)
            table[kReversal11[code << (11 - len)]] = entries[by_len[len][n]] + extra;
    }
    if (len > max_len) {
        // All codes fit: replicate up to the full width.
        for (; filled < (std::size_t{1} << table_bits); filled <<= 1)
            std::memcpy(table + filled, table, filled * sizeof *table);
        return Build::Ok;
    }

    // Codes longer than the primary width. Their prefixes are positions the
    // walk above left for them.
    unsigned remaining[kMaxCodeBits + 1];
    std::copy(std::begin(count), std::end(count), remaining);
    const std::size_t primary = std::size_t{1} << table_bits;
    std::size_t next_free = primary;
    std::uint32_t current_prefix = ~0u, sub_start = 0, sub_bits = 0;
    for (; len <= max_len; ++len, code <<= 1) {
        for (unsigned n = 0; n < count[len]; ++n, ++code, --remaining[len]) {
            const unsigned sym = by_len[len][n];
            const std::uint32_t rev = reverse_bits(code, len);
            const std::uint32_t prefix = rev & static_cast<std::uint32_t>(primary - 1);
            if (prefix != current_prefix) {
                // A new subtable: wide enough for the longest code under this
                // prefix. The codes under it follow one another in canonical
                // order, so count down the space they fill, length by length.
                sub_bits = len - table_bits;
                int space = (1 << sub_bits) - static_cast<int>(remaining[len]);
                while (space > 0 && table_bits + sub_bits < kMaxCodeBits) {
                    ++sub_bits;
                    space = (space << 1) - static_cast<int>(remaining[table_bits + sub_bits]);
                }
                if (next_free + (std::size_t{1} << sub_bits) > capacity)
                    return Build::Oversubscribed;
                current_prefix = prefix;
                sub_start = static_cast<std::uint32_t>(next_free);
                next_free += std::size_t{1} << sub_bits;
                table[prefix] =
                    kExceptional | kLink | (sub_start << 16) | (sub_bits << 8) | table_bits;
            }
            // Subtables are at most 2^(15 - table bits) entries: replicating
            // by stride is cheap there.
            const unsigned rest = len - table_bits;
            const std::uint32_t e = entries[sym] + rest + (rest << 8);
            for (std::size_t i = rev >> table_bits; i < (std::size_t{1} << sub_bits);
                 i += std::size_t{1} << rest)
                table[sub_start + i] = e;
        }
    }
    return Build::Ok;
}

// The same from a list of code lengths (at most kNumLitlenSyms), grouped here.
Build build_table_from_lengths(std::uint32_t* table, std::size_t capacity, unsigned table_bits,
                               const std::uint8_t* lens, unsigned num_lens,
                               const std::uint32_t* entries) {
    unsigned count[kMaxCodeBits + 1] = {};
    for (unsigned s = 0; s < num_lens; ++s) ++count[lens[s]];
    std::uint16_t sorted[kNumLitlenSyms];
    const std::uint16_t* by_len[kMaxCodeBits + 1];
    unsigned offset[kMaxCodeBits + 1];
    for (unsigned len = 0, at = 0; len <= kMaxCodeBits; at += count[len++]) {
        offset[len] = at;
        by_len[len] = sorted + at;
    }
    for (unsigned s = 0; s < num_lens; ++s)
        sorted[offset[lens[s]]++] = static_cast<std::uint16_t>(s);
    return build_table(table, capacity, table_bits, count, by_len, entries, false);
}

// Symbols grouped by code length as a dynamic header is read: a fixed row of
// room per length, so that a symbol can be placed before the counts are
// known (row 0 takes the unused symbols that are not part of a run, and is
// never read).
struct SymbolsByLength {
    std::uint16_t litlen[kMaxCodeBits + 1][kMaxLitlenCodes];
    std::uint16_t dist[kMaxCodeBits + 1][kMaxDistCodes];
};

struct Tables {
    std::uint32_t litlen[kLitlenCapacity];
    std::uint32_t dist[kDistCapacity];
    std::uint32_t codelen[kCodelenCapacity];
    SymbolsByLength symbols;
};

// The tables a Huffman block decodes with: its own or the fixed ones.
struct BlockCodes {
    const std::uint32_t* litlen;
    const std::uint32_t* dist;
};

// The fixed codes never change: built once per process (the first fixed block
// builds them; the initialisation of a function's static is thread-safe) and
// only read afterwards. Their longest codes are 9 and 5 bits: no subtables.
struct FixedTables {
    std::uint32_t litlen[std::size_t{1} << kLitlenTableBits];
    std::uint32_t dist[std::size_t{1} << kDistTableBits];

    FixedTables() {
        std::uint8_t lens[kNumLitlenSyms];
        std::fill(lens, lens + 144, 8);
        std::fill(lens + 144, lens + 256, 9);
        std::fill(lens + 256, lens + 280, 7);
        std::fill(lens + 280, lens + 288, 8);
        build_table_from_lengths(litlen, std::size(litlen), kLitlenTableBits, lens, kNumLitlenSyms,
                                 kLitlenEntries.data());
        // All 32 distance codes of five bits: a complete set whose symbols 30
        // and 31 decode as invalid.
        std::fill(lens, lens + kNumDistSyms, 5);
        build_table_from_lengths(dist, std::size(dist), kDistTableBits, lens, kNumDistSyms,
                                 kDistEntries.data());
    }
};

KP28_ALWAYS_INLINE std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

class Inflater {
  public:
    Inflater(std::span<const std::uint8_t> input, std::span<std::uint8_t> output, Tables& tables)
        : in_(input.data()),
          end_(input.data() + input.size()),
          out_begin_(output.data()),
          out_(output.data()),
          out_end_(output.data() + output.size()),
          t_(tables) {}

    // Whole deflate stream, then the position just after its last byte.
    bool inflate();
    const std::uint8_t* position() const { return in_; }
    std::size_t total() const { return static_cast<std::size_t>(out_ - out_begin_); }
    std::uint32_t crc() const { return crc_; }
    Failure failure() const { return failure_; }
    int error_code() const { return error_; }
    const char* tree_message() const { return tree_message_; }

  private:
    // Every failure goes through here. Once zero padding has been consumed the
    // real cause is the missing input, whatever the symptom.
    bool fail(Failure f, int error = 0) {
        if (padding_consumed()) {
            f = Failure::RanOut;
            tree_message_ = nullptr;
        }
        failure_ = f;
        error_ = error;
        return false;
    }
    bool padding_consumed() const { return overread_ * 8 > bitsleft_; }

    // Tops the bit buffer up to at least 56 bits. Bits above `bitsleft_` are
    // either zero or already the next input bits, so OR-ing them in again is
    // harmless.
    bool refill() {
        if (end_ - in_ >= 8) {
            bitbuf_ |= load_le64(in_) << bitsleft_;
            in_ += (63 - bitsleft_) >> 3;
            bitsleft_ |= 56;
            return true;
        }
        if (padding_consumed()) return fail(Failure::RanOut);
        while (bitsleft_ < 56) {
            if (in_ != end_)
                bitbuf_ |= std::uint64_t{*in_++} << bitsleft_;
            else
                ++overread_;
            bitsleft_ += 8;
        }
        return true;
    }
    std::uint32_t take(unsigned n) {  // n <= bitsleft_
        const auto v = static_cast<std::uint32_t>(bitbuf_ & low_bits(n));
        drop(n);
        return v;
    }
    void drop(unsigned n) {
        bitbuf_ >>= n;
        bitsleft_ -= n;
    }
    // Hands back the whole bytes held in the bit buffer; the cursor then points
    // at the first byte not yet consumed. The buffer must be byte-aligned.
    void give_back() {
        const unsigned held = bitsleft_ >> 3;
        in_ -= held - overread_;
        overread_ = 0;
        bitbuf_ = 0;
        bitsleft_ = 0;
    }

    bool stored_block();
    bool fixed_tables();
    bool dynamic_tables();
    bool huffman_block();
    void copy_match(std::uint8_t* dst, std::size_t dist, std::size_t length);

    const std::uint8_t* in_;
    const std::uint8_t* end_;
    std::uint8_t* out_begin_;
    std::uint8_t* out_;
    std::uint8_t* out_end_;
    Tables& t_;
    BlockCodes codes_{};  // the current block's
    std::uint64_t bitbuf_ = 0;
    unsigned bitsleft_ = 0;
    unsigned overread_ = 0;  // zero bytes supplied past the end of the input
    std::uint32_t crc_ = 0;
    const std::uint8_t* crc_done_ = out_begin_;  // output up to here is in crc_
    Failure failure_ = Failure::None;
    int error_ = 0;
    const char* tree_message_ = nullptr;
};

bool Inflater::inflate() {
    for (;;) {
        if (!refill()) return false;
        const bool last = take(1) != 0;
        const unsigned type = take(2);
        bool ok;
        switch (type) {
            case 0:
                ok = stored_block();
                break;
            case 1:
                ok = fixed_tables() && huffman_block();
                break;
            case 2:
                ok = dynamic_tables() && huffman_block();
                break;
            default:
                ok = fail(Failure::Inflate, kErrOversubscribed);
                break;
        }
        if (!ok) return false;
        // The CRC follows the output while it is still in cache, in pieces of
        // at least kCrcPiece: small blocks (a frequently flushed stream)
        // would otherwise pay the call and the tail of the fast CRC each.
        if (last || static_cast<std::size_t>(out_ - crc_done_) >= kCrcPiece) {
            crc_ = kp28::crc32(crc_, crc_done_, static_cast<std::size_t>(out_ - crc_done_));
            crc_done_ = out_;
        }
        if (last) break;
    }
    if (padding_consumed()) return fail(Failure::RanOut);
    drop(bitsleft_ & 7);  // the rest of the last byte is padding
    give_back();
    return true;
}

bool Inflater::stored_block() {
    drop(bitsleft_ & 7);
    if (!refill()) return false;  // refill keeps whole bytes, the buffer stays aligned
    const std::uint32_t len = take(16);
    const std::uint32_t nlen = take(16);
    if (padding_consumed()) return fail(Failure::RanOut);
    if (len != (~nlen & 0xFFFF)) return fail(Failure::Inflate, kErrBadData);
    give_back();
    if (static_cast<std::size_t>(end_ - in_) < len) return fail(Failure::RanOut);
    if (static_cast<std::size_t>(out_end_ - out_) < len) return fail(Failure::Overflow);
    if (len >= kStoredFoldRun) {
        crc_ = kp28::crc32(crc_, crc_done_, static_cast<std::size_t>(out_ - crc_done_));
        crc_ = kp28::crc32_copy(crc_, out_, in_, len);
        crc_done_ = out_ + len;
    } else {
        std::memcpy(out_, in_, len);
    }
    out_ += len;
    in_ += len;
    return true;
}

bool Inflater::fixed_tables() {
    static const FixedTables fixed;
    codes_ = {fixed.litlen, fixed.dist};
    return true;
}

bool Inflater::dynamic_tables() {
    if (!refill()) return false;
    const unsigned num_litlen = take(5) + 257;
    const unsigned num_dist = take(5) + 1;
    const unsigned num_codelen = take(4) + 4;
    if (num_litlen > kMaxLitlenCodes || num_dist > kMaxDistCodes)
        return fail(Failure::Inflate, kErrBadData);

    std::uint8_t codelen_lens[kNumCodelenSyms] = {};
    for (unsigned i = 0; i < num_codelen; ++i) {
        if (bitsleft_ < 3 && !refill()) return false;
        codelen_lens[kCodelenOrder[i]] = static_cast<std::uint8_t>(take(3));
    }
    switch (build_table_from_lengths(t_.codelen, kCodelenCapacity, kCodelenTableBits, codelen_lens,
                                     kNumCodelenSyms, kCodelenEntries.data())) {
        case Build::Ok:
            break;
        case Build::Incomplete:
            return fail(Failure::Inflate, kErrBadData);
        case Build::Oversubscribed:
            return fail(Failure::Inflate, kErrOversubscribed);
    }

    // Literal/length and distance lengths form one sequence; a repeat may run
    // from one into the other but not past the declared count. Each symbol is
    // placed in its length's row as its length is read; runs of unused
    // symbols cost nothing more than their repeat code.
    SymbolsByLength& by_len = t_.symbols;
    unsigned lit_count[kMaxCodeBits + 1] = {};
    unsigned dist_count[kMaxCodeBits + 1] = {};
    auto place = [&](unsigned at, unsigned len) {
        if (at < num_litlen)
            by_len.litlen[len][lit_count[len]++] = static_cast<std::uint16_t>(at);
        else
            by_len.dist[len][dist_count[len]++] = static_cast<std::uint16_t>(at - num_litlen);
    };
    const unsigned num = num_litlen + num_dist;
    unsigned i = 0;
    unsigned previous = 0;
    while (i < num) {
        if (bitsleft_ < kCodelenTableBits + 7 && !refill()) return false;
        const std::uint32_t e = t_.codelen[bitbuf_ & low_bits(kCodelenTableBits)];
        drop(e & 0xFF);
        const unsigned sym = e >> 16;
        if (sym < 16) {
            place(i++, sym);
            previous = sym;
            continue;
        }
        unsigned repeat;
        unsigned value = 0;
        if (sym == 16) {
            if (i == 0) return fail(Failure::Inflate, kErrBadData);  // no length to repeat
            repeat = 3 + take(2);
            value = previous;
        } else if (sym == 17) {
            repeat = 3 + take(3);
        } else {
            repeat = 11 + take(7);
        }
        if (repeat > num - i) return fail(Failure::Inflate, kErrBadData);
        if (value != 0)
            for (unsigned r = 0; r < repeat; ++r) place(i + r, value);
        i += repeat;
        previous = value;
    }
    const std::uint16_t* lit_rows[kMaxCodeBits + 1];
    const std::uint16_t* dist_rows[kMaxCodeBits + 1];
    for (unsigned len = 0; len <= kMaxCodeBits; ++len) {
        lit_rows[len] = by_len.litlen[len];
        dist_rows[len] = by_len.dist[len];
    }

    switch (build_table(t_.litlen, kLitlenCapacity, kLitlenTableBits, lit_count, lit_rows,
                        kLitlenEntries.data(), false)) {
        case Build::Ok:
            break;
        case Build::Incomplete:
            tree_message_ = " incomplete literal tree\n";
            return fail(Failure::Inflate, kErrBadData);
        case Build::Oversubscribed:
            return fail(Failure::Inflate, kErrOversubscribed);
    }
    switch (build_table(t_.dist, kDistCapacity, kDistTableBits, dist_count, dist_rows,
                        kDistEntries.data(), true)) {
        case Build::Ok:
            break;
        case Build::Incomplete:
            tree_message_ = " incomplete distance tree\n";
            return fail(Failure::Inflate, kErrBadData);
        case Build::Oversubscribed:
            return fail(Failure::Inflate, kErrOversubscribed);
    }
    codes_ = {t_.litlen, t_.dist};
    return true;
}

// Room for the word-at-a-time copies to run past the end of a match: they
// store 32 bytes at a time, so at most 31 bytes beyond it.
constexpr std::size_t kCopySlack = 32;

KP28_ALWAYS_INLINE void store_le64(std::uint8_t* p, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

// For a period of 2 to 7 bytes: the largest whole number of periods in a
// word, the step at which one word of the pattern repeats. It is at most 7:
// a round of four stores reaches 3 * 7 + 8 = 29 bytes past its start, and a
// round starts before the end of the match, so no store goes more than 28
// bytes past it (kCopySlack) ...
constexpr std::array<std::uint8_t, 8> kPeriodStep = {0, 0, 8, 6, 8, 5, 6, 7};
// ... and the factor that repeats the period's bytes across a word: a one at
// every multiple of the period, in bytes. The copies never overlap, so the
// product has no carries.
constexpr std::array<std::uint64_t, 8> make_period_spread() {
    std::array<std::uint64_t, 8> m{};
    for (unsigned d = 2; d < 8; ++d)
        for (unsigned at = 0; at < 8; at += d) m[d] |= std::uint64_t{1} << (8 * at);
    return m;
}
constexpr auto kPeriodSpread = make_period_spread();
static_assert(kPeriodSpread[3] == 0x0001000001000001ull);

// Copies a match of `length` bytes from `dist` bytes back. The caller
// guarantees length + kCopySlack bytes of room: whole words are copied and the
// last may run past the match end (those bytes are later overwritten or lie
// beyond the output).
KP28_ALWAYS_INLINE void copy_match_fast(std::uint8_t* dst, std::size_t dist, std::size_t length) {
    const std::uint8_t* src = dst - dist;
    std::uint8_t* const stop = dst + length;
    // Most matches are short: the first 32 bytes are copied whether needed or
    // not (the slack allows it), so that they cost no loop branch to mispredict.
    if (dist >= 16) {
        // Each load ends at or before the bytes the previous store wrote, so
        // overlapping matches repeat correctly.
        std::memcpy(dst, src, 16);
        std::memcpy(dst + 16, src + 16, 16);
        dst += 32;
        src += 32;
        while (dst < stop) {
            std::memcpy(dst, src, 16);
            std::memcpy(dst + 16, src + 16, 16);
            dst += 32;
            src += 32;
        }
    } else if (dist >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + 8, src + 8, 8);
        std::memcpy(dst + 16, src + 16, 8);
        std::memcpy(dst + 24, src + 24, 8);
        dst += 32;
        src += 32;
        while (dst < stop) {
            std::memcpy(dst, src, 8);
            std::memcpy(dst + 8, src + 8, 8);
            dst += 16;
            src += 16;
        }
    } else if (dist == 1) {  // a run of one byte value, common in padding and tables
        const std::uint64_t v = std::uint64_t{*src} * 0x0101010101010101ull;
        do {
            std::memcpy(dst, &v, 8);
            std::memcpy(dst + 8, &v, 8);
            std::memcpy(dst + 16, &v, 8);
            std::memcpy(dst + 24, &v, 8);
            dst += 32;
        } while (dst < stop);
    } else {
        // Period of 2 to 7 bytes. Copying from just behind would load bytes
        // that the previous store wrote, and wait for it to be forwarded; so
        // the first eight bytes of the match are built in a register from the
        // period's bytes and stored again at every whole number of periods
        // that fits in a word, with no load at all.
        const std::uint64_t word =
            (load_le64(src) & low_bits(8 * static_cast<unsigned>(dist))) * kPeriodSpread[dist];
        const std::size_t step = kPeriodStep[dist];
        do {
            store_le64(dst, word);
            store_le64(dst + step, word);
            store_le64(dst + 2 * step, word);
            store_le64(dst + 3 * step, word);
            dst += 4 * step;
        } while (dst < stop);
    }
}

void Inflater::copy_match(std::uint8_t* dst, std::size_t dist, std::size_t length) {
    if (static_cast<std::size_t>(out_end_ - dst) >= length + kCopySlack) {
        copy_match_fast(dst, dist, length);
        return;
    }
    for (const std::uint8_t* src = dst - dist; length != 0; --length) *dst++ = *src++;
}

// Output room below which the fast loop hands over to the careful one: three
// literals, the longest match and the copy slack.
constexpr std::size_t kFastOutRoom = 3 + 258 + kCopySlack;
// Input room the fast loop needs: up to two refills per round, each
// advancing at most 7 bytes and loading 8.
constexpr std::size_t kFastInRoom = 16;

// The decoder state the fast loop works on, copied into locals there: stores
// through the output pointer could otherwise alias the state and force it back
// to memory on every byte.
struct FastState {
    const std::uint8_t* in;
    const std::uint8_t* in_end;
    std::uint64_t bitbuf;
    unsigned bitsleft;
    std::uint8_t* out_begin;
    std::uint8_t* out;
    std::uint8_t* out_end;
    BlockCodes codes;
};

enum class FastExit { NoRoom, EndOfBlock, BadData };

// Fast loop: while kFastInRoom input and kFastOutRoom output bytes are left it
// refills with one load and stores without checks. Compiled twice (below):
// once for any x86-64 and once with BMI2, whose shifts by a register amount
// are single instructions; this loop shifts on every symbol.
// The low `entry & 0xFF` bits of `bits`. With BMI2 that is one instruction,
// which compilers do not reliably pick for the mask-and-shift form.
template <bool kBmi2>
KP28_ALWAYS_INLINE std::uint64_t low_bits_of(std::uint64_t bits, std::uint32_t entry) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if constexpr (kBmi2) {
        std::uint64_t r;
        asm("bzhi %2, %1, %0" : "=r"(r) : "r"(bits), "r"(std::uint64_t{entry}));
        return r;
    }
#endif
    return bits & low_bits(entry & 0xFF);
}

// Largest distance a match can have: once this much output exists, no match
// can reach before its start.
constexpr std::size_t kWindowSize = 32768;

// kNearStart: the output may still be shorter than kWindowSize, so every
// distance is checked against it; later nothing needs to be checked.
template <bool kBmi2, bool kNearStart>
KP28_ALWAYS_INLINE FastExit fast_loop(FastState& s) {
    if (s.in_end - s.in < static_cast<std::ptrdiff_t>(kFastInRoom) ||
        s.out_end - s.out < static_cast<std::ptrdiff_t>(kFastOutRoom))
        return FastExit::NoRoom;
    // Everything the loop reads lives in locals: the output stores are byte
    // stores, which may alias any memory, so fields of `s` would be loaded
    // again after each of them.
    const std::uint8_t* in = s.in;
    std::uint64_t bitbuf = s.bitbuf;
    // Only the low byte of `bits` counts the bits held: a symbol is consumed
    // by subtracting its whole entry, whose low byte is the number of bits,
    // which saves masking the entry on every symbol. The garbage above the
    // low byte never reaches it, since no more bits are consumed than held.
    std::uint32_t bits = s.bitsleft;
    std::uint8_t* out = s.out;
    const std::uint8_t* const out_begin = s.out_begin;
    // Loop while at least these much input and output remain.
    const std::uint8_t* const in_last = s.in_end - kFastInRoom;
    std::uint8_t* const out_last = s.out_end - kFastOutRoom;
    const std::uint32_t* const litlen = s.codes.litlen;
    const std::uint32_t* const dist = s.codes.dist;
    constexpr std::uint64_t litlen_mask = low_bits(kLitlenTableBits);
    constexpr std::uint64_t dist_mask = low_bits(kDistTableBits);
    FastExit exit = FastExit::NoRoom;

    // Shift counts are taken modulo 64 (the & 63 costs nothing on x86-64);
    // the low six bits of `bits` and of an entry are the true counts.
#define KP28_REFILL()                           \
    do {                                        \
        bitbuf |= load_le64(in) << (bits & 63); \
        in += 7 - ((bits >> 3) & 7);            \
        bits |= 56;                             \
    } while (0)
#define KP28_CONSUME(entry)      \
    do {                         \
        bitbuf >>= ((entry)&63); \
        bits -= (entry);         \
    } while (0)
// The value of an entry plus its extra bits, which follow the code in `from`
// (the bit buffer as it was before the entry's bits were dropped).
// Masks by the entry's low byte (a single instruction with BMI2) and shifts by
// bits 8-13: for length and distance entries bits 12 and 13 are clear.
#define KP28_VALUE(entry, from) \
    (((entry) >> 16) + (low_bits_of<kBmi2>((from), (entry)) >> (((entry) >> 8) & 63)))

    // At the top of each round the bit buffer holds at least 56 bits and `e`
    // is the literal/length entry they start with. The next entry is looked
    // up as soon as its bits are known, before the output work of the current
    // symbol, so that the table load overlaps with the copy and survives a
    // mispredicted branch in it.
    //
    // The chain that limits this loop runs from one table load to the next:
    // the entry's bit count shifts the buffer, whose low bits index the next
    // load. A refill placed on that chain adds its shift and OR to every
    // symbol, so the next entry is looked up before the refill wherever
    // enough bits are left (a refill only adds bits above those held, so the
    // entry stays right), and refills otherwise come while a load is in flight.
    // Bits held after each step, from the 56 at the top of a round:
    //   three primary literals, at most 33 bits:            23 left, >= 11
    //   a length (primary: 16 bits with its extra bits)
    //     and a distance (at most 15 + 13 = 28 bits):        12 left, >= 11
    //   a length from a subtable (20) and a primary distance
    //     (8 + 13 = 21):                                    15 left, >= 11
    // Only a length and a distance both from subtables could leave fewer, so a
    // length from a subtable refills first (that path is rare and already
    // branches).
    auto room = [&] { return in <= in_last && out <= out_last; };
    KP28_REFILL();
    std::uint32_t e = litlen[bitbuf & litlen_mask];
    while (room()) {
        if (e & kLiteral) {
            // Up to three literals from one refill (56 bits hold three primary
            // codes); literals dominate machine code. A refill leaves the low
            // bits, and so the entry that ends the run, unchanged.
            *out++ = static_cast<std::uint8_t>(e >> 16);
            KP28_CONSUME(e);
            e = litlen[bitbuf & litlen_mask];
            if (e & kLiteral) {
                *out++ = static_cast<std::uint8_t>(e >> 16);
                KP28_CONSUME(e);
                e = litlen[bitbuf & litlen_mask];
                if (e & kLiteral) {
                    *out++ = static_cast<std::uint8_t>(e >> 16);
                    KP28_CONSUME(e);
                    e = litlen[bitbuf & litlen_mask];
                    KP28_REFILL();
                    continue;
                }
            }
            KP28_REFILL();  // a length and a distance need up to 48 bits
        }
        if (e & kExceptional) {
            if (e & kLink) {
                KP28_CONSUME(e);
                e = litlen[(e >> 16) + (bitbuf & low_bits((e >> 8) & 0xF))];
                KP28_REFILL();  // see above: a length from here may need it
                if (e & kLiteral) {
                    *out++ = static_cast<std::uint8_t>(e >> 16);
                    KP28_CONSUME(e);
                    e = litlen[bitbuf & litlen_mask];
                    continue;
                }
            }
            if (e & kExceptional) {
                KP28_CONSUME(e);
                exit = (e & kEndOfBlock) ? FastExit::EndOfBlock
                                         : FastExit::BadData;  // else symbol 286 or 287
                break;
            }
        }
        const std::size_t length = KP28_VALUE(e, bitbuf);
        KP28_CONSUME(e);

        e = dist[bitbuf & dist_mask];
        if (e & kExceptional) {
            // A link, or symbol 30, 31 or an unused code.
            if (!(e & kLink)) {
                exit = FastExit::BadData;
                break;
            }
            KP28_CONSUME(e);
            e = dist[(e >> 16) + (bitbuf & low_bits((e >> 8) & 0xF))];
            if (e & kExceptional) {
                exit = FastExit::BadData;
                break;
            }
        }
        const std::size_t distance = KP28_VALUE(e, bitbuf);
        KP28_CONSUME(e);
        if (kNearStart && distance > static_cast<std::size_t>(out - out_begin)) {
            exit = FastExit::BadData;
            break;
        }
        e = litlen[bitbuf & litlen_mask];
        KP28_REFILL();
        copy_match_fast(out, distance, length);
        out += length;
    }
#undef KP28_REFILL
#undef KP28_CONSUME
#undef KP28_VALUE
    s.in = in;
    s.bitbuf = bitbuf;
    s.bitsleft = bits & 0xFF;
    s.out = out;
    return exit;
}

struct FastLoops {
    FastExit (*near_start)(FastState&);
    FastExit (*far)(FastState&);
};

FastExit fast_loop_generic_near(FastState& s) {
    return fast_loop<false, true>(s);
}
FastExit fast_loop_generic_far(FastState& s) {
    return fast_loop<false, false>(s);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("bmi2"))) FastExit fast_loop_bmi2_near(FastState& s) {
    return fast_loop<true, true>(s);
}
__attribute__((target("bmi2"))) FastExit fast_loop_bmi2_far(FastState& s) {
    return fast_loop<true, false>(s);
}

FastLoops pick_fast_loops() {
    if (__builtin_cpu_supports("bmi2")) return {fast_loop_bmi2_near, fast_loop_bmi2_far};
    return {fast_loop_generic_near, fast_loop_generic_far};
}
#else
FastLoops pick_fast_loops() {
    return {fast_loop_generic_near, fast_loop_generic_far};
}
#endif

bool Inflater::huffman_block() {
    static const FastLoops loops = pick_fast_loops();
    FastState s{in_, end_, bitbuf_, bitsleft_, out_begin_, out_, out_end_, codes_};
    const FastExit exit =
        (static_cast<std::size_t>(out_ - out_begin_) >= kWindowSize ? loops.far
                                                                    : loops.near_start)(s);
    in_ = s.in;
    bitbuf_ = s.bitbuf;
    bitsleft_ = s.bitsleft;
    out_ = s.out;
    if (exit == FastExit::EndOfBlock) return true;
    if (exit == FastExit::BadData) return fail(Failure::Inflate, kErrBadData);

    const std::uint32_t* const litlen = codes_.litlen;
    const std::uint32_t* const dist = codes_.dist;
    // Careful loop for the last bytes of input or output: refills may run past
    // the end of the input and every store is checked.
    for (;;) {
        if (!refill()) return false;
        std::uint32_t e = litlen[bitbuf_ & low_bits(kLitlenTableBits)];
        if (e & kLink) {
            drop(e & 0xFF);
            e = litlen[(e >> 16) + (bitbuf_ & low_bits((e >> 8) & 0xF))];
        }
        // A symbol's bits are dropped before any check, so that a failure
        // knows whether the symbol reached past the end of the input.
        const std::uint64_t length_bits = bitbuf_;
        drop(e & 0xFF);
        if (e & kLiteral) {
            if (out_ == out_end_) return fail(Failure::Overflow);
            *out_++ = static_cast<std::uint8_t>(e >> 16);
            continue;
        }
        if (e & kExceptional) {
            if (e & kEndOfBlock) return true;
            return fail(Failure::Inflate, kErrBadData);  // length symbol 286 or 287
        }
        const std::size_t length =
            (e >> 16) + ((length_bits & low_bits(e & 0xFF)) >> ((e >> 8) & 0xF));

        e = dist[bitbuf_ & low_bits(kDistTableBits)];
        if (e & kLink) {
            drop(e & 0xFF);
            e = dist[(e >> 16) + (bitbuf_ & low_bits((e >> 8) & 0xF))];
        }
        const std::uint64_t dist_bits = bitbuf_;
        drop(e & 0xFF);
        if (e & kExceptional)
            return fail(Failure::Inflate, kErrBadData);  // symbol 30, 31 or unused
        const std::size_t distance =
            (e >> 16) + ((dist_bits & low_bits(e & 0xFF)) >> ((e >> 8) & 0xF));

        if (distance > static_cast<std::size_t>(out_ - out_begin_))
            return fail(Failure::Inflate, kErrBadData);
        if (length > static_cast<std::size_t>(out_end_ - out_)) return fail(Failure::Overflow);
        copy_match(out_, distance, length);
        out_ += length;
    }
}

class Run {
  public:
    Run(std::span<const std::uint8_t> member, const ReportHook& hook, Unpacked& result)
        : in_(member.data()), end_(member.data() + member.size()), hook_(hook), result_(result) {}

    // The failure path: the text goes to the hook and into the result.
    bool report(std::string text) {
        if (hook_) hook_(text);
        result_.result = failure(text);
        result_.messages.push_back(std::move(text));
        return false;
    }
    bool byte(std::uint8_t& b) {
        if (in_ == end_) return report("ran out of input data\n");
        b = *in_++;
        return true;
    }
    bool skip(std::size_t n) {
        if (static_cast<std::size_t>(end_ - in_) < n) {
            in_ = end_;
            return report("ran out of input data\n");
        }
        in_ += n;
        return true;
    }
    bool skip_to_zero() {
        const auto* z = static_cast<const std::uint8_t*>(
            std::memchr(in_, 0, static_cast<std::size_t>(end_ - in_)));
        if (z == nullptr) {
            in_ = end_;
            return report("ran out of input data\n");
        }
        in_ = z + 1;
        return true;
    }
    bool header();

    const std::uint8_t* in_;
    const std::uint8_t* end_;
    const ReportHook& hook_;
    Unpacked& result_;
};

// Flag bits of the member header, in the older gzip meaning that this format
// keeps: 0x02 marks a continued (multi-part) member and 0x20 an encrypted one.
constexpr std::uint8_t kFlagText = 0x01;  // ignored
constexpr std::uint8_t kFlagContinuation = 0x02;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;
constexpr std::uint8_t kFlagComment = 0x10;
constexpr std::uint8_t kFlagEncrypted = 0x20;
constexpr std::uint8_t kFlagReserved = 0xC0;
static_assert((kFlagText | kFlagContinuation | kFlagExtra | kFlagName | kFlagComment |
               kFlagEncrypted | kFlagReserved) == 0xFF);

bool Run::header() {
    std::uint8_t id1 = 0, id2 = 0, method = 0, flags = 0;
    if (!byte(id1) || !byte(id2)) return false;
    if (id1 != 0x1F || (id2 != 0x8B && id2 != 0x9E)) return report("bad gzip magic numbers");
    if (!byte(method)) return false;
    if (method != 8) return report("invalid method");
    if (!byte(flags)) return false;
    if (flags & kFlagEncrypted) return report("Input is encrypted\n");
    if (flags & kFlagContinuation) return report("Multi part input\n");
    if (flags & kFlagReserved) return report("Input has invalid flags\n");
    if (!skip(6)) return false;  // MTIME, XFL, OS
    if (flags & kFlagExtra) {
        std::uint8_t lo = 0, hi = 0;
        if (!byte(lo) || !byte(hi) || !skip(static_cast<std::size_t>(lo | (hi << 8)))) return false;
    }
    if ((flags & kFlagName) && !skip_to_zero()) return false;
    if ((flags & kFlagComment) && !skip_to_zero()) return false;
    return true;
}

}  // namespace

Unpacked gunzip(std::span<const std::uint8_t> member, std::span<std::uint8_t> out,
                const ReportHook& report) {
    Unpacked result;
    Run run(member, report, result);
    if (!run.header()) return result;

    std::unique_ptr<Tables> tables(new (std::nothrow) Tables);
    if (!tables) {
        run.report("out of memory");
        return result;
    }
    Inflater inflater({run.in_, run.end_}, out, *tables);
    const bool inflated = inflater.inflate();
    result.total = inflater.total();
    if (!inflated) {
        char text[64];
        switch (inflater.failure()) {
            case Failure::RanOut:
                run.report("ran out of input data\n");
                break;
            case Failure::Overflow:
                std::snprintf(text, sizeof text, "unpacked data exceeds the %zu-byte buffer",
                              out.size());
                run.report(text);
                break;
            default:
                if (inflater.error_code() == kErrNoMemory) {
                    run.report("out of memory");
                    break;
                }
                if (inflater.tree_message()) run.report(inflater.tree_message());
                std::snprintf(text, sizeof text, "invalid compressed format (err=%d)",
                              inflater.error_code());
                run.report(text);
                break;
        }
        return result;
    }

    run.in_ = inflater.position();
    std::uint8_t trailer[8] = {};
    for (auto& b : trailer)
        if (!run.byte(b)) return result;
    result.consumed = static_cast<std::size_t>(run.in_ - member.data());
    const std::uint32_t stored_crc = load_le32(trailer);
    const std::uint32_t stored_size = load_le32(trailer + 4);
    if (stored_crc != inflater.crc()) {
        run.report("crc error");
        return result;
    }
    // ISIZE is the length modulo 2^32.
    if (stored_size != static_cast<std::uint32_t>(result.total)) {
        run.report("length error");
        return result;
    }
    result.result = success();
    return result;
}

}  // namespace fwupdate
