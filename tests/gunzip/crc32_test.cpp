// The CRC-32 of gzip and the boot-image header: known values, the
// continuation property, and the fast path against a bit-at-a-time reference.
#include <gtest/gtest.h>
#include <kp28/crc32.h>

#include <algorithm>
#include <string>

#include "gzip_builder.h"

namespace {

// Straight from the definition, one bit at a time.
std::uint32_t reference_crc(const std::uint8_t* p, std::size_t n) {
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        reg ^= p[i];
        for (int b = 0; b < 8; ++b) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

struct KnownValue {
    std::string data;
    std::uint32_t crc;
};

class Crc32Known : public ::testing::TestWithParam<KnownValue> {};

TEST_P(Crc32Known, MatchesThePublishedValue) {
    const auto& c = GetParam();
    EXPECT_EQ(kp28::crc32(0, c.data.data(), c.data.size()), c.crc);
    EXPECT_EQ(kp28::crc32_portable(0, c.data.data(), c.data.size()), c.crc);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Crc32Known,
    ::testing::Values(KnownValue{"", 0u}, KnownValue{"a", 0xE8B7BE43u},
                      KnownValue{"abc", 0x352441C2u}, KnownValue{"123456789", 0xCBF43926u},
                      KnownValue{"The quick brown fox jumps over the lazy dog", 0x414FA339u},
                      KnownValue{std::string(64, '\0'), 0x758D6336u},
                      KnownValue{std::string(1000, 'a'),
                                 reference_crc(reinterpret_cast<const std::uint8_t*>(
                                                   std::string(1000, 'a').data()),
                                               1000)}));

TEST(Crc32, NoBytesLeavesThePreviousValue) {
    EXPECT_EQ(kp28::crc32(0, nullptr, 0), 0u);
    EXPECT_EQ(kp28::crc32(0xDEADBEEFu, nullptr, 0), 0xDEADBEEFu);
}

TEST(Crc32, EveryLengthAndAlignmentMatchesTheBitwiseDefinition) {
    const auto data = gztest::random_bytes(5000, 3);
    for (std::size_t offset = 0; offset < 16; ++offset)
        for (std::size_t n = 0; n + offset <= 600; ++n)
            ASSERT_EQ(kp28::crc32(0, data.data() + offset, n),
                      reference_crc(data.data() + offset, n))
                << "offset " << offset << " length " << n;
    EXPECT_EQ(kp28::crc32(0, data.data(), data.size()), reference_crc(data.data(), data.size()));
    EXPECT_EQ(kp28::crc32_portable(0, data.data(), data.size()),
              reference_crc(data.data(), data.size()));
}

// The table path works on 32 KiB and 4 KiB stretches in lanes and joins
// them: lengths around whole stretches, from a previous value, show the
// joining is exact.
TEST(Crc32, TablePathMatchesTheDefinitionAroundWholeStretches) {
    const auto data = gztest::random_bytes(2 * 32768 + 3 * 4096 + 100, 11);
    for (std::size_t n : {4095, 4096, 4097, 8192 + 13, 3 * 4096 + 99, 32767, 32768,
                          32768 + 4096 + 5, 2 * 32768 + 3 * 4096 + 97}) {
        for (std::size_t offset : {0, 3}) {
            const std::uint32_t first = reference_crc(data.data(), offset);
            EXPECT_EQ(kp28::crc32_portable(first, data.data() + offset, n),
                      reference_crc(data.data(), offset + n))
                << "offset " << offset << " length " << n;
        }
    }
}

TEST(Crc32, ContinuingFromAPreviousResultEqualsOneCallOverTheJoinedData) {
    const auto data = gztest::random_bytes(3000, 5);
    const std::uint32_t whole = kp28::crc32(0, data.data(), data.size());
    for (std::size_t split : {0, 1, 7, 8, 15, 16, 63, 64, 65, 200, 1024, 2999, 3000}) {
        const std::uint32_t first = kp28::crc32(0, data.data(), split);
        EXPECT_EQ(kp28::crc32(first, data.data() + split, data.size() - split), whole) << split;
        EXPECT_EQ(kp28::crc32_portable(first, data.data() + split, data.size() - split), whole)
            << split;
    }
}

// The copy that stored blocks use: for every length around the folding
// widths (16, 64 and 128 bytes), at several alignments of both sides, from a
// previous value, it gives the bytes and the checksum of a plain copy and
// CRC, and writes nothing outside the copy.
TEST(Crc32, CopyGivesTheBytesAndTheChecksumAndNothingElse) {
    const auto data = gztest::random_bytes(70000, 17);
    const std::uint32_t previous = reference_crc(data.data(), 5);
    constexpr std::uint8_t kGuard = 0xA5;
    for (std::size_t n : {0, 1, 15, 16, 17, 63, 64, 65, 79, 127, 128, 129, 143, 144, 191, 1000,
                          4096, 65535, 69000}) {
        for (std::size_t from : {0, 1, 13}) {
            for (std::size_t to : {0, 7, 32}) {
                std::vector<std::uint8_t> out(n + 96, kGuard);
                const std::uint32_t crc =
                    kp28::crc32_copy(previous, out.data() + to, data.data() + from, n);
                ASSERT_EQ(crc, kp28::crc32_portable(previous, data.data() + from, n))
                    << "length " << n << " from +" << from << " to +" << to;
                ASSERT_TRUE(std::equal(data.begin() + static_cast<std::ptrdiff_t>(from),
                                       data.begin() + static_cast<std::ptrdiff_t>(from + n),
                                       out.begin() + static_cast<std::ptrdiff_t>(to)))
                    << "length " << n;
                for (std::size_t i = 0; i < out.size(); ++i) {
                    if (i < to || i >= to + n) {
                        ASSERT_EQ(out[i], kGuard) << "byte " << i;
                    }
                }
            }
        }
    }
}

TEST(Crc32, TableStepsARawRegister) {
    const auto& t = kp28::crc_table();
    const std::string s = "123456789";
    std::uint32_t reg = 0xFFFFFFFFu;
    for (unsigned char c : s) reg = t[(reg ^ c) & 0xFF] ^ (reg >> 8);
    EXPECT_EQ(~reg, 0xCBF43926u);
}

}  // namespace
