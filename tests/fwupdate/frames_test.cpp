// The command frames as they must appear on the wire, including the two that
// carry more bytes than their length field counts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "printer_channel.h"
#include "printer_commands.h"

namespace fwupdate {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes with_tail(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

ImageHeader sample_header() {
    ImageHeader h{};
    for (std::size_t i = 0; i < h.size(); ++i) h[i] = static_cast<std::uint8_t>(i * 7);
    return h;
}

TEST(Frames, MatchTheWireLayout) {
    const ImageHeader header = sample_header();
    const struct {
        const char* what;
        Bytes got;
        Bytes want;
    } cases[] = {
        {"product name query",
         frames::product_name_query(),
         {0x14, 0x14, 0x1B, 0x14, 0x01, 0x00, 0x01}},
        {"firmware version query",
         frames::firmware_version_query(),
         {0x14, 0x14, 0x1B, 0x14, 0x01, 0x00, 0x02}},
        {"enter DLL mode",
         frames::enter_dll_mode(),
         {0x14, 0x14, 0x1B, 0x14, 0x02, 0x00, 0x1C, 0x00}},
        {"leave DLL mode",
         frames::leave_dll_mode(0x5A),
         {0x14, 0x14, 0x1B, 0x14, 0x02, 0x00, 0x1C, 0x5A}},
        {"image size",
         frames::image_size(0x07, 0x00123456, nullptr),
         {0x14, 0x14, 0x1B, 0x14, 0x07, 0x00, 0x1C, 0x07, 0x01, 0x56, 0x34, 0x12, 0x00}},
        {"image size with header", frames::image_size(0x07, 20000, &header),
         with_tail({0x14, 0x14, 0x1B, 0x14, 0x07, 0x01, 0x1C, 0x07, 0x01, 0x20, 0x4E, 0x00, 0x00},
                   Bytes(header.begin(), header.end()))},
        {"image data",
         frames::image_data(0x07),
         {0x14, 0x14, 0x1B, 0x14, 0x03, 0x00, 0x1C, 0x07, 0x02}},
        {"write flash",
         frames::write_flash(0x07),
         {0x14, 0x14, 0x1B, 0x14, 0x03, 0x00, 0x1C, 0x07, 0x03}},
        {"reboot", frames::reboot(0x07), {0x14, 0x14, 0x1B, 0x14, 0x03, 0x00, 0x1C, 0x07, 0x04}},
        {"enter USB-ID mode",
         frames::enter_usb_id_mode(),
         {0x14, 0x14, 0x1B, 0x14, 0x02, 0x00, 0x1D, 0x00}},
        {"leave USB-ID mode",
         frames::leave_usb_id_mode(0x33),
         {0x14, 0x14, 0x1B, 0x14, 0x02, 0x00, 0x1D, 0x33}},
        {"read USB identifier",
         frames::read_usb_id(0x33),
         {0x14, 0x14, 0x1B, 0x14, 0x03, 0x00, 0x1D, 0x33, 0x02}},
        {"write USB identifier",
         frames::write_usb_id(0x33, "AB%d"),
         {0x14, 0x14, 0x1B, 0x14, 0x03, 0x00, 0x1D, 0x33, 0x01, 'A', 'B', '%', 'd', 0x00}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(UsbIdFeature, NameDecidesAtItsFeaturePosition) {
    const struct {
        const char* name;
        bool supported;
        bool says_so;
    } cases[] = {
        {"KP28plus", true, false},  // by its prefix, silently
        {"KP28plusXXXXXXXXX", true, false},
        {"KP28PLUS XYZ", false, false},  // the prefix is case-sensitive; no U at 10
        {"KP28-SIM-AU", true, true},     // U at 10
        {"KP28-SIM-Au", false, false},
        {"VORKA-KP28-2024-U", true, true},  // U at 16 after VORKA
        {"VORKA-KP28U", false, false},      // a U at 10 does not count after VORKA
        {"KP28", false, false},             // too short to have position 10
        {"", false, false},
    };
    for (const auto& c : cases) {
        bool says = false;
        EXPECT_EQ(usb_id_feature(c.name, says), c.supported) << c.name;
        EXPECT_EQ(says, c.says_so) << c.name;
    }
}

}  // namespace
}  // namespace fwupdate

namespace fwupdate {
namespace {

// The product's waits stay as they are unless a setting replaces them, and a
// setting that is not a positive number changes nothing.
TEST(ChannelTimings, DefaultsHoldAndOnlyValidSettingsReplaceThem) {
    const char* names[] = {"KP28FW_QUERY_TIMEOUT_MS", "KP28FW_ACK_TIMEOUT_MS",
                           "KP28FW_LEAVE_TIMEOUT_MS", "KP28FW_REBOOT_PERIOD_MS",
                           "KP28FW_REBOOT_LIMIT_MS"};
    for (const char* n : names) ::unsetenv(n);
    ChannelTimings t = ChannelTimings::from_environment();
    EXPECT_EQ(t.query_ms, 10000);
    EXPECT_EQ(t.ack_ms, 180000);
    EXPECT_EQ(t.leave_ack_ms, 2000);
    EXPECT_EQ(t.reboot_period_ms, 5000);
    EXPECT_EQ(t.reboot_limit_ms, 180000);

    ::setenv("KP28FW_QUERY_TIMEOUT_MS", "1500", 1);
    ::setenv("KP28FW_ACK_TIMEOUT_MS", "0", 1);
    ::setenv("KP28FW_LEAVE_TIMEOUT_MS", "-5", 1);
    ::setenv("KP28FW_REBOOT_PERIOD_MS", "12ms", 1);
    ::setenv("KP28FW_REBOOT_LIMIT_MS", "", 1);
    t = ChannelTimings::from_environment();
    EXPECT_EQ(t.query_ms, 1500);
    EXPECT_EQ(t.ack_ms, 180000);
    EXPECT_EQ(t.leave_ack_ms, 2000);
    EXPECT_EQ(t.reboot_period_ms, 5000);
    EXPECT_EQ(t.reboot_limit_ms, 180000);
    for (const char* n : names) ::unsetenv(n);
}

}  // namespace
}  // namespace fwupdate
