// CRC-32 (ISO 3309 / RFC 1952).
//
// Two ways through the data, both producing exactly the byte-by-byte value:
//  - carry-less multiplication (x86-64 PCLMULQDQ, checked at run time): the
//    data is folded 64 bytes per round into four 128-bit accumulators (with
//    VPCLMULQDQ, 128 bytes into eight, two to a 256-bit register), which
//    are then folded into one; the last 16-byte remainder goes through the
//    table. Folding multiplies an accumulator by x^D mod P (D = the distance in
//    bits to the block it is added to), which keeps the polynomial residue and
//    so the CRC unchanged. Using the table for the final 16 bytes avoids the
//    Barrett reduction and its extra constants.
//  - through tables: four lanes, each a quarter of a stretch of data (32 KiB,
//    then 4 KiB), step eight bytes per round through eight 256-entry tables
//    ("slicing") and are then joined into one register. A single register
//    would wait for its own table loads every round; four independent ones
//    keep the loads in flight, which is what limits a table CRC. Joining
//    shifts a lane's register over the bytes of the lanes after it, a linear
//    map applied by four more lookups. Less than 4 KiB goes sixteen bytes per
//    round through sixteen tables, the rest one byte at a time.
// The 128-bit folding is built twice: with the legacy SSE encodings, and with
// the AVX (VEX) ones where the processor has them. VEX carry-less multiplies
// and XORs take three operands and unaligned memory operands, so 16 bytes cost
// four instructions instead of six or seven (no register copies, no separate
// loads).
// crc32_copy() folds while it copies: each 16 bytes are loaded once, stored to
// the destination and folded, so a stored deflate block costs one pass over
// its bytes instead of a copy and a second read for the CRC.
// Every constant is computed at compile time from the polynomial, so nothing
// here is a magic number to be trusted.
#include "kp28/crc32.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KP28_CRC_CLMUL 1
#include <immintrin.h>
#endif

namespace kp28 {
namespace {

constexpr std::uint32_t kReflectedPoly = 0xEDB88320u;  // x^32 + x^26 + ... + 1, bit-reversed
constexpr std::uint64_t kPoly = 0x104C11DB7ull;        // the same, most significant bit first

// Sixteen tables: sixteen independent lookups per round keep more loads in
// flight than eight, which is what limits table CRCs.
constexpr std::size_t kSlices = 16;
using Tables = std::array<std::array<std::uint32_t, 256>, kSlices>;

// tables[0] is the byte-wise table; tables[k][b] is the register after byte b
// followed by k zero bytes, which lets the bytes of a round be looked up
// independently.
constexpr Tables make_tables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ kReflectedPoly : r >> 1;
        t[0][i] = r;
    }
    for (std::size_t k = 1; k < kSlices; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr Tables kTables = make_tables();
static_assert(kTables[0][1] == 0x77073096u, "first table entry of the gzip CRC");

#define KP28_CRC_INLINE inline __attribute__((always_inline))

KP28_CRC_INLINE std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// reg is the raw register (not complemented).
std::uint32_t update_bytes(std::uint32_t reg, const std::uint8_t* p, std::size_t n) {
    for (; n != 0; --n, ++p) reg = kTables[0][(reg ^ *p) & 0xFF] ^ (reg >> 8);
    return reg;
}

// Eight bytes through one lane: the register is folded into the first four.
KP28_CRC_INLINE std::uint32_t step8(std::uint32_t reg, const std::uint8_t* p) {
    // Two 32-bit halves: their bytes come out with fewer shifts and copies.
    const std::uint64_t a = load_le64(p) ^ reg;
    const auto lo = static_cast<std::uint32_t>(a), hi = static_cast<std::uint32_t>(a >> 32);
    return kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
           kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
           kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
}

constexpr std::size_t kLanes = 4;

// The register after `lane_bytes` zero bytes, as a function of the register
// before: linear over GF(2), so tables of it for each of the four bytes of the
// register combine by XOR. The map is a 32x32 bit matrix (the images of the
// single bits); one zero byte squared log2(lane_bytes) times gives it, few
// enough steps for any compiler's constant evaluation.
struct BitMatrix {
    std::uint32_t image[32];
};
constexpr std::uint32_t apply(const BitMatrix& m, std::uint32_t v) {
    std::uint32_t r = 0;
    for (int b = 0; b < 32; ++b)
        if (v & (1u << b)) r ^= m.image[b];
    return r;
}
using ShiftTables = std::array<std::array<std::uint32_t, 256>, 4>;
constexpr ShiftTables make_shift_tables(std::size_t lane_bytes) {
    BitMatrix m{};
    for (int b = 0; b < 32; ++b) {
        const std::uint32_t r = 1u << b;
        m.image[b] = kTables[0][r & 0xFF] ^ (r >> 8);  // one zero byte
    }
    for (std::size_t n = 1; n < lane_bytes; n *= 2) {
        BitMatrix twice{};
        for (int b = 0; b < 32; ++b) twice.image[b] = apply(m, m.image[b]);
        m = twice;
    }
    ShiftTables t{};
    for (int k = 0; k < 4; ++k)
        for (unsigned v = 0; v < 256; ++v) t[k][v] = apply(m, v << (8 * k));
    return t;
}
template <std::size_t kLaneBytes>
constexpr ShiftTables kShift = make_shift_tables(kLaneBytes);

template <std::size_t kLaneBytes>
KP28_CRC_INLINE std::uint32_t shift_lane(std::uint32_t reg) {
    static_assert(std::has_single_bit(kLaneBytes), "the shift is built by squaring");
    const ShiftTables& t = kShift<kLaneBytes>;
    return t[0][reg & 0xFF] ^ t[1][(reg >> 8) & 0xFF] ^ t[2][(reg >> 16) & 0xFF] ^ t[3][reg >> 24];
}

std::uint32_t update_sliced(std::uint32_t reg, const std::uint8_t* p, std::size_t n) {
    for (; n >= 16; n -= 16, p += 16) {
        const std::uint64_t a = load_le64(p) ^ reg;
        const std::uint64_t b = load_le64(p + 8);
        reg = kTables[15][a & 0xFF] ^ kTables[14][(a >> 8) & 0xFF] ^ kTables[13][(a >> 16) & 0xFF] ^
              kTables[12][(a >> 24) & 0xFF] ^ kTables[11][(a >> 32) & 0xFF] ^
              kTables[10][(a >> 40) & 0xFF] ^ kTables[9][(a >> 48) & 0xFF] ^ kTables[8][a >> 56] ^
              kTables[7][b & 0xFF] ^ kTables[6][(b >> 8) & 0xFF] ^ kTables[5][(b >> 16) & 0xFF] ^
              kTables[4][(b >> 24) & 0xFF] ^ kTables[3][(b >> 32) & 0xFF] ^
              kTables[2][(b >> 40) & 0xFF] ^ kTables[1][(b >> 48) & 0xFF] ^ kTables[0][b >> 56];
    }
    return update_bytes(reg, p, n);
}

// Whole stretches of four lanes of kLaneBytes; returns the register and
// advances `p` and `n` past them.
template <std::size_t kLaneBytes>
std::uint32_t update_lanes(std::uint32_t reg, const std::uint8_t*& p, std::size_t& n) {
    for (; n >= kLanes * kLaneBytes; n -= kLanes * kLaneBytes, p += kLanes * kLaneBytes) {
        // Lanes 1-3 start from a cleared register: the CRC of the whole is
        // the shifted register of the part before XOR that of the part after.
        std::uint32_t r0 = reg, r1 = 0, r2 = 0, r3 = 0;
        for (std::size_t i = 0; i < kLaneBytes; i += 8) {
            r0 = step8(r0, p + i);
            r1 = step8(r1, p + kLaneBytes + i);
            r2 = step8(r2, p + 2 * kLaneBytes + i);
            r3 = step8(r3, p + 3 * kLaneBytes + i);
        }
        reg = shift_lane<kLaneBytes>(shift_lane<kLaneBytes>(shift_lane<kLaneBytes>(r0) ^ r1) ^ r2) ^
              r3;
    }
    return reg;
}

// Lanes of 8 KiB for long data (measured faster here than 1 or 4 KiB, the
// joining then costing next to nothing), of 1 KiB for what is left of 4 KiB
// or more, sixteen bytes at a time below that.
std::uint32_t update_tables(std::uint32_t reg, const std::uint8_t* p, std::size_t n) {
    reg = update_lanes<8192>(reg, p, n);
    reg = update_lanes<1024>(reg, p, n);
    return update_sliced(reg, p, n);
}

#ifdef KP28_CRC_CLMUL

// x^n mod P, most significant bit first.
constexpr std::uint32_t x_pow_mod(unsigned n) {
    std::uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & (1ull << 32)) r ^= kPoly;
    }
    return static_cast<std::uint32_t>(r);
}

constexpr std::uint32_t reverse32(std::uint32_t v) {
    std::uint32_t r = 0;
    for (int i = 0; i < 32; ++i) r |= ((v >> i) & 1u) << (31 - i);
    return r;
}

// Folding constant for a shift by x^n in the reflected (lowest bit = highest
// power) layout. A carry-less product of two reflected 64-bit operands comes
// out one bit too low in the 128-bit frame, and the accumulator's halves sit
// 64 bits apart; the constant for the first (low, higher-power) half is
// x^(D+32) and for the second x^(D-32), each placed as a 33-bit reflected
// value (bit 32 - j holds x^j), which together make the product x^D * A mod P.
constexpr std::uint64_t fold_constant(unsigned n) {
    return static_cast<std::uint64_t>(reverse32(x_pow_mod(n))) << 1;
}

constexpr std::uint64_t kFold512Lo = fold_constant(512 + 32), kFold512Hi = fold_constant(512 - 32);
constexpr std::uint64_t kFold128Lo = fold_constant(128 + 32), kFold128Hi = fold_constant(128 - 32);

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i acc, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11));
}

// n >= 64.
__attribute__((target("pclmul,sse2"))) std::uint32_t update_clmul(std::uint32_t reg,
                                                                  const std::uint8_t* p,
                                                                  std::size_t n) {
    auto load = [](const std::uint8_t* q) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    };
    const __m128i k512 =
        _mm_set_epi64x(static_cast<long long>(kFold512Hi), static_cast<long long>(kFold512Lo));
    const __m128i k128 =
        _mm_set_epi64x(static_cast<long long>(kFold128Hi), static_cast<long long>(kFold128Lo));

    // The register enters as an XOR over the first four message bytes.
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; n -= 64, p += 64) {
        x0 = _mm_xor_si128(fold(x0, k512), load(p));
        x1 = _mm_xor_si128(fold(x1, k512), load(p + 16));
        x2 = _mm_xor_si128(fold(x2, k512), load(p + 32));
        x3 = _mm_xor_si128(fold(x3, k512), load(p + 48));
    }
    __m128i x = _mm_xor_si128(fold(x0, k128), x1);
    x = _mm_xor_si128(fold(x, k128), x2);
    x = _mm_xor_si128(fold(x, k128), x3);
    for (; n >= 16; n -= 16, p += 16) x = _mm_xor_si128(fold(x, k128), load(p));

    // The accumulator is congruent to everything so far; its CRC from a
    // cleared register is the register for the whole prefix.
    alignas(16) std::uint8_t rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), x);
    reg = update_sliced(0, rest, 16);
    return update_bytes(reg, p, n);
}

// The AVX build of update_clmul; with kCopy each 16 bytes also go to `to`
// (loaded once, stored before the register is folded in). n >= 64.
__attribute__((target("pclmul,avx"))) inline __m128i fold_vex(__m128i acc, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11));
}
__attribute__((target("avx"))) inline __m128i load_vex(const std::uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}
__attribute__((target("avx"))) inline void store_vex(std::uint8_t* q, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), v);
}

template <bool kCopy>
__attribute__((target("pclmul,avx"))) std::uint32_t update_clmul_avx(std::uint32_t reg,
                                                                     const std::uint8_t* p,
                                                                     std::size_t n,
                                                                     std::uint8_t* to) {
    const __m128i k512 =
        _mm_set_epi64x(static_cast<long long>(kFold512Hi), static_cast<long long>(kFold512Lo));
    const __m128i k128 =
        _mm_set_epi64x(static_cast<long long>(kFold128Hi), static_cast<long long>(kFold128Lo));

    __m128i x0 = load_vex(p), x1 = load_vex(p + 16), x2 = load_vex(p + 32), x3 = load_vex(p + 48);
    if constexpr (kCopy) {
        store_vex(to, x0);
        store_vex(to + 16, x1);
        store_vex(to + 32, x2);
        store_vex(to + 48, x3);
        to += 64;
    }
    // The register enters as an XOR over the first four message bytes.
    x0 = _mm_xor_si128(x0, _mm_cvtsi32_si128(static_cast<int>(reg)));
    p += 64;
    n -= 64;
    for (; n >= 64; n -= 64, p += 64) {
        const __m128i a = load_vex(p), b = load_vex(p + 16), c = load_vex(p + 32),
                      d = load_vex(p + 48);
        if constexpr (kCopy) {
            store_vex(to, a);
            store_vex(to + 16, b);
            store_vex(to + 32, c);
            store_vex(to + 48, d);
            to += 64;
        }
        x0 = _mm_xor_si128(fold_vex(x0, k512), a);
        x1 = _mm_xor_si128(fold_vex(x1, k512), b);
        x2 = _mm_xor_si128(fold_vex(x2, k512), c);
        x3 = _mm_xor_si128(fold_vex(x3, k512), d);
    }
    __m128i x = _mm_xor_si128(fold_vex(x0, k128), x1);
    x = _mm_xor_si128(fold_vex(x, k128), x2);
    x = _mm_xor_si128(fold_vex(x, k128), x3);
    for (; n >= 16; n -= 16, p += 16) {
        const __m128i a = load_vex(p);
        if constexpr (kCopy) {
            store_vex(to, a);
            to += 16;
        }
        x = _mm_xor_si128(fold_vex(x, k128), a);
    }

    alignas(16) std::uint8_t rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), x);
    reg = update_sliced(0, rest, 16);
    if constexpr (kCopy) std::memcpy(to, p, n);
    return update_bytes(reg, p, n);
}

// The same with 256-bit registers (VPCLMULQDQ): four of them hold eight
// 128-bit accumulators, folded 128 bytes per round, so each instruction does
// the work of two. n >= 128.
constexpr std::uint64_t kFold1024Lo = fold_constant(1024 + 32),
                        kFold1024Hi = fold_constant(1024 - 32);

__attribute__((target("pclmul,vpclmulqdq,avx2"))) inline __m256i fold256(__m256i acc, __m256i k) {
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(acc, k, 0x00),
                            _mm256_clmulepi64_epi128(acc, k, 0x11));
}

__attribute__((target("avx2"))) inline __m256i load256(const std::uint8_t* q) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
}
__attribute__((target("avx2"))) inline void store256(std::uint8_t* q, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(q), v);
}

// With kCopy each 32 bytes also go to `to`, as in update_clmul_avx. n >= 128.
template <bool kCopy>
__attribute__((target("pclmul,vpclmulqdq,avx2"))) std::uint32_t update_vclmul(std::uint32_t reg,
                                                                              const std::uint8_t* p,
                                                                              std::size_t n,
                                                                              std::uint8_t* to) {
    const __m256i k1024 =
        _mm256_set_epi64x(static_cast<long long>(kFold1024Hi), static_cast<long long>(kFold1024Lo),
                          static_cast<long long>(kFold1024Hi), static_cast<long long>(kFold1024Lo));
    const __m128i k128 =
        _mm_set_epi64x(static_cast<long long>(kFold128Hi), static_cast<long long>(kFold128Lo));

    __m256i y0 = load256(p), y1 = load256(p + 32), y2 = load256(p + 64), y3 = load256(p + 96);
    if constexpr (kCopy) {
        store256(to, y0);
        store256(to + 32, y1);
        store256(to + 64, y2);
        store256(to + 96, y3);
        to += 128;
    }
    // The register enters as an XOR over the first four message bytes.
    y0 = _mm256_xor_si256(y0, _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(reg))));
    p += 128;
    n -= 128;
    for (; n >= 128; n -= 128, p += 128) {
        const __m256i a = load256(p), b = load256(p + 32), c = load256(p + 64), d = load256(p + 96);
        if constexpr (kCopy) {
            store256(to, a);
            store256(to + 32, b);
            store256(to + 64, c);
            store256(to + 96, d);
            to += 128;
        }
        y0 = _mm256_xor_si256(fold256(y0, k1024), a);
        y1 = _mm256_xor_si256(fold256(y1, k1024), b);
        y2 = _mm256_xor_si256(fold256(y2, k1024), c);
        y3 = _mm256_xor_si256(fold256(y3, k1024), d);
    }
    // The eight accumulators in message order, folded into one.
    alignas(32) std::uint8_t acc[128];
    _mm256_store_si256(reinterpret_cast<__m256i*>(acc), y0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(acc + 32), y1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(acc + 64), y2);
    _mm256_store_si256(reinterpret_cast<__m256i*>(acc + 96), y3);
    __m128i z = _mm_load_si128(reinterpret_cast<const __m128i*>(acc));
    for (int i = 1; i < 8; ++i)
        z = _mm_xor_si128(fold(z, k128),
                          _mm_load_si128(reinterpret_cast<const __m128i*>(acc + 16 * i)));
    for (; n >= 16; n -= 16, p += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if constexpr (kCopy) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to), a);
            to += 16;
        }
        z = _mm_xor_si128(fold(z, k128), a);
    }

    alignas(16) std::uint8_t rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), z);
    reg = update_sliced(0, rest, 16);
    if constexpr (kCopy) std::memcpy(to, p, n);
    return update_bytes(reg, p, n);
}

bool have_vclmul() {
    static const bool yes = __builtin_cpu_supports("vpclmulqdq") &&
                            __builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul");
    return yes;
}

bool have_clmul() {
    static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return yes;
}

bool have_avx_clmul() {
    static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("avx");
    return yes;
}

#endif

}  // namespace

std::uint32_t crc32_portable(std::uint32_t previous, const void* bytes, std::size_t length) {
    if (length == 0) return previous;
    return ~update_tables(~previous, static_cast<const std::uint8_t*>(bytes), length);
}

std::uint32_t crc32(std::uint32_t previous, const void* bytes, std::size_t length) {
#ifdef KP28_CRC_CLMUL
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (length >= 128 && have_vclmul()) return ~update_vclmul<false>(~previous, p, length, nullptr);
    if (length >= 64 && have_avx_clmul())
        return ~update_clmul_avx<false>(~previous, p, length, nullptr);
    if (length >= 64 && have_clmul()) return ~update_clmul(~previous, p, length);
#endif
    return crc32_portable(previous, bytes, length);
}

std::uint32_t crc32_copy(std::uint32_t previous, void* to, const void* from, std::size_t length) {
#ifdef KP28_CRC_CLMUL
    const auto* p = static_cast<const std::uint8_t*>(from);
    auto* d = static_cast<std::uint8_t*>(to);
    if (length >= 128 && have_vclmul()) return ~update_vclmul<true>(~previous, p, length, d);
    if (length >= 64 && have_avx_clmul()) return ~update_clmul_avx<true>(~previous, p, length, d);
#endif
    if (length != 0) std::memcpy(to, from, length);
    return crc32(previous, to, length);
}

const std::array<std::uint32_t, 256>& crc_table() {
    return kTables[0];
}

}  // namespace kp28
