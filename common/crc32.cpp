// CRC-32 (ISO 3309 / RFC 1952).
//
// Two ways through the data, both producing exactly the byte-by-byte value:
//  - carry-less multiplication (x86-64 PCLMULQDQ, checked at run time): the
//    data is folded 64 bytes per round into four 128-bit accumulators, which
//    are then folded into one; the last 16-byte remainder goes through the
//    table. Folding multiplies an accumulator by x^D mod P (D = the distance in
//    bits to the block it is added to), which keeps the polynomial residue and
//    so the CRC unchanged. Using the table for the final 16 bytes avoids the
//    Barrett reduction and its extra constants.
//  - sixteen bytes per round through sixteen 256-entry tables ("slicing"),
//    the rest one byte at a time.
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

std::uint64_t load_le64(const std::uint8_t* p) {
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

bool have_clmul() {
    static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return yes;
}

#endif

}  // namespace

std::uint32_t crc32_portable(std::uint32_t previous, const void* bytes, std::size_t length) {
    if (length == 0) return previous;
    return ~update_sliced(~previous, static_cast<const std::uint8_t*>(bytes), length);
}

std::uint32_t crc32(std::uint32_t previous, const void* bytes, std::size_t length) {
#ifdef KP28_CRC_CLMUL
    if (length >= 64 && have_clmul())
        return ~update_clmul(~previous, static_cast<const std::uint8_t*>(bytes), length);
#endif
    return crc32_portable(previous, bytes, length);
}

const std::array<std::uint32_t, 256>& crc_table() {
    return kTables[0];
}

}  // namespace kp28
