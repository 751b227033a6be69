// What the virtual printer holds and computes before any link is involved:
// the NVM checksum (worked values and its edge rules), the factory image and
// its description, the identifier feature check and the version rule.
#include <gtest/gtest.h>
#include <kp28/nvm_crc.h>
#include <kp28sim/virtual_printer.h>

#include <array>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace kp28sim;
using Bytes = std::vector<std::uint8_t>;

namespace {

TEST(NvmCrc, MatchesTheWorkedValuesInBothByteOrders) {
    struct Case {
        Bytes image;
        bool plus;
        std::uint32_t value;
        std::array<std::uint8_t, 4> line;
    };
    const Case cases[] = {
        {{'a', 'b', 'c', 'd'}, true, 0x839C9D9Cu, {0x9C, 0x9D, 0x9C, 0x83}},
        {{'a', 'b', 'c', 'd'}, false, 0x869D9C99u, {0x86, 0x9D, 0x9C, 0x99}},
        {{0, 0, 0, 0}, true, 0xE7FFFFFDu, {0xFD, 0xFF, 0xFF, 0xE7}},
        {{0, 0, 0, 0}, false, 0xE7FFFFFDu, {0xE7, 0xFF, 0xFF, 0xFD}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kp28::nvm_crc_value(c.image, c.image.size(), c.plus), c.value);
        EXPECT_EQ(kp28::nvm_crc(c.image, c.image.size(), c.plus), c.line);
    }
}

TEST(NvmCrc, LeavesTheLastByteOfA4kPlus1ImageUncoveredAndReadsZerosPastTheBuffer) {
    const Bytes four{1, 2, 3, 4}, five{1, 2, 3, 4, 0xAA};
    EXPECT_EQ(kp28::nvm_crc_value(five, 5, true), kp28::nvm_crc_value(four, 4, true));
    // n = 6: the second word reaches two bytes past the image.
    const Bytes six{1, 2, 3, 4, 5, 6}, eight{1, 2, 3, 4, 5, 6, 0, 0};
    EXPECT_EQ(kp28::nvm_crc_value(six, 6, false), kp28::nvm_crc_value(eight, 8, false));
    // An empty image still takes one word.
    EXPECT_EQ(kp28::nvm_crc_value({}, 0, true), 0xE7FFFFFDu);
}

TEST(NvmCrc, AWholeImageDependsOnItsLastWord) {
    Bytes img = default_nvm(Model::KP28Plus);
    const auto before = kp28::nvm_crc_value(img, kNvmSize, true);
    img[kNvmSize - 1] ^= 1;
    EXPECT_NE(kp28::nvm_crc_value(img, kNvmSize, true), before);
}

std::vector<std::vector<std::string>> records(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find("\r\n", pos);
        EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
        if (end == std::string::npos) break;
        const std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        EXPECT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\t') << "every field is TAB-terminated: " << line;
        std::vector<std::string> fields;
        std::size_t f = 0;
        for (std::size_t t; (t = line.find('\t', f)) != std::string::npos; f = t + 1)
            fields.push_back(line.substr(f, t - f));
        out.push_back(fields);
    }
    return out;
}

TEST(Description, UsesEveryRecordKindInsideTheImageAndEndsWithZ) {
    for (Model model : {Model::KP28, Model::KP28Plus}) {
        const std::string d = default_description(model);
        ASSERT_GE(d.size(), 4u);
        EXPECT_EQ(d.substr(d.size() - 4), "Z\t\r\n");
        std::set<std::string> kinds;
        for (const auto& r : records(d)) {
            ASSERT_FALSE(r.empty());
            kinds.insert(r[0]);
            const std::string& k = r[0];
            if (k == "T" || k == "Z") continue;
            ASSERT_GE(r.size(), 4u) << k;
            const int size = std::stoi(r[2]), offset = std::stoi(r[3]);
            const int span = k == "I" ? 4 : size;
            EXPECT_GE(offset, 24) << "parameters stay clear of the identification texts";
            EXPECT_LE(offset + span, static_cast<int>(kNvmSize)) << r[1];
            if (k == "E") {
                EXPECT_EQ(r.size(), 5u + std::stoul(r[4])) << r[1];
                for (std::size_t i = 5; i < r.size(); ++i)
                    EXPECT_FALSE(r[i].empty()) << "item " << i - 5 << " of " << r[1];
            }
            if (k == "M" || k == "O") {
                EXPECT_EQ(r.size(), 7u) << r[1];
                EXPECT_LE(std::stoi(r[4]), std::stoi(r[5])) << r[1];
            }
        }
        EXPECT_EQ(kinds, (std::set<std::string>{"T", "E", "M", "O", "S", "I", "Z"}));
    }
}

TEST(FactoryImage, HoldsIdentificationTextsAndTwoByteNumbersInTheModelsOrder) {
    const Bytes plus = default_nvm(Model::KP28Plus), kp28 = default_nvm(Model::KP28);
    ASSERT_EQ(plus.size(), kNvmSize);
    ASSERT_EQ(kp28.size(), kNvmSize);
    for (std::size_t i = 0; i < 24; ++i) {
        EXPECT_TRUE(plus[i] >= 0x20 && plus[i] < 0x7F) << i;
        EXPECT_TRUE(kp28[i] >= 0x20 && kp28[i] < 0x7F) << i;
    }
    // The TCP port parameter (offset 48) holds 9100 = 0x238C.
    EXPECT_EQ(plus[48], 0x8C);
    EXPECT_EQ(plus[49], 0x23);
    EXPECT_EQ(kp28[48], 0x23);
    EXPECT_EQ(kp28[49], 0x8C);
}

TEST(UsbIdFeatureCheck, FollowsThePositionRules) {
    const struct {
        std::string name;
        bool passes;
    } cases[] = {
        {"KP28plus", true},
        {"KP28plus anything", true},
        {"KP28 PB-I U2", true},
        {"KP28 PB-I S2", false},
        {"KP28 PB-I u2", false},
        {"VORKA12345678901U", true},
        {"VORKA12345U", false},
        {"KP28", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(passes_usb_id_check(c.name), c.passes) << c.name;
    EXPECT_TRUE(passes_usb_id_check(default_product_name(Model::KP28, true)));
    EXPECT_FALSE(passes_usb_id_check(default_product_name(Model::KP28, false)));
    EXPECT_EQ(default_product_name(Model::KP28Plus, false).rfind("KP28plus", 0), 0u);
}

TEST(VersionRule, TakesTheMarkedVersionOrIncrements) {
    auto image = [](const std::string& header, const std::string& data) {
        LoadedImage img;
        if (!header.empty()) {
            img.header.emplace();
            img.header->fill(0);
            std::copy(header.begin(), header.end(), img.header->begin());
        }
        img.data.assign(data.begin(), data.end());
        img.complete = true;
        return img;
    };
    const struct {
        VersionRule rule;
        std::string old, header, data, expected;
    } cases[] = {
        {VersionRule::FromImage, "1.00A", "", "ELF..KP28FW:2.31B..", "2.31B"},
        {VersionRule::FromImage, "1.00A", "hdr KP28FW:4.00A", "KP28FW:9.99Z", "4.00A"},
        {VersionRule::FromImage, "1.00A", "", "KP28FW:\x01\x02xyz KP28FW:3.00C", "3.00C"},
        {VersionRule::FromImage, "1.00A", "", "no marker here", "1.01A"},
        {VersionRule::FromImage, "1.00A", "", "cut KP28FW:1.2", "1.01A"},
        {VersionRule::Increment, "1.09A", "", "KP28FW:7.77X", "1.10A"},
        {VersionRule::Increment, "9.99Z", "", "", "0.00Z"},
        {VersionRule::Increment, "ABCDE", "", "", "ABCDF"},
        {VersionRule::Keep, "1.00A", "", "KP28FW:7.77X", "1.00A"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(version_after_load(c.rule, c.old, image(c.header, c.data)), c.expected) << c.data;
}

TEST(TranscriptLine, ShowsTimeLinkDirectionSpeedAndHex) {
    TranscriptEntry e;
    e.seconds = 1.5;
    e.kind = LinkKind::Serial;
    e.link = "serial:ttyS0";
    e.direction = Direction::FromPrinter;
    e.speed = 19200;
    e.bytes = {0x00, 0x08, 0xAB};
    EXPECT_EQ(format_transcript_line(e), "1.500000 serial:ttyS0 out @19200 00 08 AB");
    e.kind = LinkKind::Usb;
    e.link = "usb:lp0";
    e.direction = Direction::ToPrinter;
    e.bytes = {0x14};
    EXPECT_EQ(format_transcript_line(e), "1.500000 usb:lp0 in 14");
}

}  // namespace
