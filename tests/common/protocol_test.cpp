// Every frame and reply the tools and the printer exchange, built and parsed
// by the same library: what one side writes, the other reads back, and what
// the tools must refuse (short, foreign or misclassed replies) is refused.
#include <gtest/gtest.h>
#include <kp28/protocol/commands.h>
#include <kp28/protocol/setup.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using kp28::Command;

// The payload of a complete frame that fills bytes exactly (trailing bytes
// allowed where the frame carries uncounted ones).
Bytes payload_of(const Bytes& frame, bool trailing_allowed = false) {
    const auto f = kp28::find_frame(frame);
    EXPECT_EQ(f.status, kp28::FrameSearch::kComplete);
    EXPECT_EQ(f.start, 0u);
    if (!trailing_allowed) {
        EXPECT_EQ(f.end, frame.size());
    }
    return Bytes(frame.begin() + static_cast<std::ptrdiff_t>(f.payload_begin),
                 frame.begin() + static_cast<std::ptrdiff_t>(f.end));
}

kp28::ImageHeader sample_header() {
    kp28::ImageHeader h{};
    for (std::size_t i = 0; i < h.size(); ++i) h[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return h;
}

TEST(CommandFrames, EachBuilderParsesBackToItsCommand) {
    namespace frames = kp28::frames;
    const auto header = sample_header();
    const struct {
        const char* what;
        Bytes frame;
        Command::Kind kind;
        std::uint8_t token;
    } cases[] = {
        {"product name query", frames::product_name_query(), Command::kProductNameQuery, 0},
        {"firmware version query", frames::firmware_version_query(), Command::kFirmwareVersionQuery,
         0},
        {"enter DLL mode", frames::enter_dll_mode(), Command::kEnterDllMode, 0},
        {"leave DLL mode", frames::leave_dll_mode(0x5A), Command::kLeaveDllMode, 0x5A},
        {"image size", frames::image_size(0x07, 0x00123456, nullptr), Command::kImageSize, 0x07},
        {"image size with header", frames::image_size(0x08, 20000, &header), Command::kImageSize,
         0x08},
        {"image data", frames::image_data(0x09), Command::kImageData, 0x09},
        {"write flash", frames::write_flash(0x0A), Command::kWriteFlash, 0x0A},
        {"reboot", frames::reboot(0xFF), Command::kReboot, 0xFF},
        {"enter USB-ID mode", frames::enter_usb_id_mode(), Command::kEnterUsbIdMode, 0},
        {"leave USB-ID mode", frames::leave_usb_id_mode(0x33), Command::kLeaveUsbIdMode, 0x33},
        {"read USB identifier", frames::read_usb_id(0x34), Command::kReadUsbId, 0x34},
        {"write USB identifier", frames::write_usb_id(0x35, "AB%d"), Command::kWriteUsbId, 0x35},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool uncounted = c.kind == Command::kWriteUsbId;
        const auto cmd = kp28::parse_command(payload_of(c.frame, uncounted));
        ASSERT_TRUE(cmd.has_value());
        EXPECT_EQ(cmd->kind, c.kind);
        EXPECT_EQ(cmd->token, c.token);
    }
    const auto plain =
        kp28::parse_command(payload_of(frames::image_size(0x07, 0x00123456, nullptr)));
    EXPECT_EQ(plain->image_size, 0x00123456u);
    EXPECT_FALSE(plain->header.has_value());
    const auto with = kp28::parse_command(payload_of(frames::image_size(0x08, 20000, &header)));
    EXPECT_EQ(with->image_size, 20000u);
    ASSERT_TRUE(with->header.has_value());
    EXPECT_EQ(*with->header, header);
}

TEST(CommandFrames, TheWriteIdentifierTextFollowsUncountedAndReadsBackToItsZero) {
    const Bytes frame = kp28::frames::write_usb_id(0x35, "KP28-ID");
    const auto f = kp28::find_frame(frame);
    ASSERT_EQ(f.status, kp28::FrameSearch::kComplete);
    EXPECT_EQ(f.end - f.payload_begin, 3u) << "the length counts the three command bytes only";
    const auto text = kp28::parse_usb_id_text(std::span(frame).subspan(f.end));
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->identifier, "KP28-ID");
    EXPECT_EQ(text->consumed, frame.size() - f.end);
    // Without its zero the text is not complete yet.
    EXPECT_FALSE(kp28::parse_usb_id_text(std::span(frame).subspan(f.end, 4)).has_value());
}

TEST(CommandFrames, ShapesThatAreNoCommandAreNotParsed) {
    const struct {
        const char* what;
        Bytes payload;
    } cases[] = {
        {"empty", {}},
        {"identity query with a tail", {0x01, 0x00}},
        {"DLL class alone", {0x1C}},
        {"unknown DLL operation", {0x1C, 0x07, 0x05}},
        {"image size without its number", {0x1C, 0x07, 0x01}},
        {"image data with extra bytes", {0x1C, 0x07, 0x02, 0x00}},
        {"unknown USB-ID operation", {0x1D, 0x07, 0x03}},
        {"USB-ID command with extra bytes", {0x1D, 0x07, 0x02, 0x00}},
        {"unknown class", {0x42}},
    };
    for (const auto& c : cases) EXPECT_FALSE(kp28::parse_command(c.payload).has_value()) << c.what;
}

TEST(Replies, EachBuilderParsesBackOnTheToolsSide) {
    namespace replies = kp28::replies;
    EXPECT_EQ(kp28::parse_ack(replies::ack(0x1C, 0x07), 0x1C), std::optional<std::uint8_t>(0x07));
    EXPECT_EQ(kp28::parse_ack(replies::ack(0x1D, 0x00), 0x1D), std::optional<std::uint8_t>(0x00));
    EXPECT_EQ(kp28::parse_product_name(replies::product_name("KP28plus PB U2")),
              std::optional<std::string>("KP28plus PB U2"));
    // Seventeen characters fill the name: no terminating zero is sent.
    const Bytes full = replies::product_name("ABCDEFGHIJKLMNOPQ");
    EXPECT_EQ(full.size(), 5u + 17u);
    EXPECT_EQ(kp28::parse_product_name(full), std::optional<std::string>("ABCDEFGHIJKLMNOPQ"));
    const auto version = kp28::parse_firmware_version(replies::firmware_version("1.09A"));
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ(std::string(version->data(), version->size()), "1.09A");
    const auto id = kp28::parse_usb_id_reply(replies::usb_id(0x07, "KP28SIM"));
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->token, 0x07);
    EXPECT_EQ(id->identifier, "KP28SIM");
    EXPECT_EQ(replies::usb_id(0x07, "KP28SIM").size(), kp28::kUsbIdReplySize);
    const std::string longest(32, 'X');
    EXPECT_EQ(kp28::parse_usb_id_reply(replies::usb_id(0x07, longest))->identifier, longest);
}

TEST(Replies, TheToolsRefuseShortForeignAndMisclassedReplies) {
    const Bytes ack = kp28::replies::ack(0x1C, 0x07);
    Bytes foreign = ack;
    foreign[2] = 0x1C;
    Bytes long_ack = ack;
    long_ack.push_back(0);
    EXPECT_FALSE(kp28::parse_ack(Bytes(ack.begin(), ack.end() - 1), 0x1C));
    EXPECT_FALSE(kp28::parse_ack(long_ack, 0x1C));
    EXPECT_FALSE(kp28::parse_ack(foreign, 0x1C));
    EXPECT_FALSE(kp28::parse_ack(ack, 0x1D));

    const Bytes version = kp28::replies::firmware_version("1.00A");
    EXPECT_FALSE(kp28::parse_firmware_version(Bytes(version.begin(), version.end() - 1)));
    EXPECT_FALSE(kp28::parse_firmware_version(kp28::replies::product_name("1.00A")));
    const Bytes id = kp28::replies::usb_id(0x07, "X");
    EXPECT_FALSE(kp28::parse_usb_id_reply(Bytes(id.begin(), id.end() - 1)));
    EXPECT_FALSE(kp28::parse_product_name(Bytes{0x14, 0x14, 0x1B, 0x14}));
    // The name reply may end early: what arrived is the name.
    EXPECT_EQ(kp28::parse_product_name(Bytes{0x14, 0x14, 0x1B, 0x14, 0x01, 'K', 'P'}),
              std::optional<std::string>("KP"));
}

TEST(FrameSearch, FindsFramesAmongPrintDataAndWaitsForTheRest) {
    const Bytes frame = kp28::frames::read_usb_id(0x07);
    Bytes stream = {'H', 'i', 0x14};
    stream.insert(stream.end(), frame.begin(), frame.end());
    auto f = kp28::find_frame(stream);
    ASSERT_EQ(f.status, kp28::FrameSearch::kComplete);
    EXPECT_EQ(f.start, 3u);
    EXPECT_EQ(f.end, stream.size());
    // Cut anywhere inside the frame: the prefix is found, the frame is not complete.
    for (std::size_t cut = 3 + 4; cut < stream.size(); ++cut) {
        f = kp28::find_frame(std::span(stream).first(cut));
        EXPECT_EQ(f.status, kp28::FrameSearch::kIncomplete) << cut;
        EXPECT_EQ(f.start, 3u);
    }
    // Cut inside the prefix: nothing yet, but the prefix's beginning is kept.
    for (std::size_t keep = 1; keep <= 3; ++keep) {
        Bytes partial = {'x', 'y'};
        partial.insert(partial.end(), frame.begin(),
                       frame.begin() + static_cast<std::ptrdiff_t>(keep));
        f = kp28::find_frame(partial);
        EXPECT_EQ(f.status, kp28::FrameSearch::kNone);
        EXPECT_EQ(f.start, 2u) << keep;
    }
    EXPECT_EQ(kp28::find_frame(Bytes{'a', 'b', 'c'}).start, 3u);
}

TEST(LoadSetupFrame, LengthCountsClassImageAndChecksum) {
    const kp28::NvmChecksum crc = {0xA1, 0xB2, 0xC3, 0xD4};
    const struct {
        std::size_t n;
        std::uint8_t lo, hi;
    } cases[] = {{2048, 0x05, 0x08}, {251, 0x00, 0x01}, {0, 0x05, 0x00}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        Bytes image(c.n);
        for (std::size_t i = 0; i < c.n; ++i) image[i] = static_cast<std::uint8_t>(i * 13);
        const Bytes frame = kp28::load_setup_frame(image, crc);
        ASSERT_EQ(frame.size(), c.n + 11);
        EXPECT_EQ(frame[4], c.lo);
        EXPECT_EQ(frame[5], c.hi);
        EXPECT_EQ(frame[6], 0x0D);
        const auto back = kp28::parse_load_setup_frame(frame);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->image, image);
        EXPECT_EQ(back->checksum, crc);
        // A file with a byte more or less is no load-setup frame.
        Bytes longer = frame;
        longer.push_back(0);
        EXPECT_FALSE(kp28::parse_load_setup_frame(longer));
        EXPECT_FALSE(kp28::parse_load_setup_frame(Bytes(frame.begin(), frame.end() - 1)));
    }
}

TEST(LoadSetupFrame, TheChecksumFollowsTheModelsByteOrder) {
    const Bytes image(kp28::kNvmSize, 0x5A);
    const Bytes plus = kp28::load_setup_frame(kp28::Model::KP28Plus, image);
    const Bytes std28 = kp28::load_setup_frame(kp28::Model::KP28, image);
    const auto p = kp28::parse_load_setup_frame(plus), s = kp28::parse_load_setup_frame(std28);
    ASSERT_TRUE(p && s);
    const kp28::NvmChecksum reversed = {s->checksum[3], s->checksum[2], s->checksum[1],
                                        s->checksum[0]};
    EXPECT_EQ(p->checksum, reversed);
    EXPECT_EQ(p->checksum, kp28::model_nvm_checksum(kp28::Model::KP28Plus, image));
}

TEST(SetupDialogue, NvmTransfersReadBackInBothModels) {
    Bytes image(kp28::kNvmSize);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    for (const auto model : {kp28::Model::KP28, kp28::Model::KP28Plus}) {
        SCOPED_TRACE(std::string(kp28::model_name(model)));
        const auto crc = kp28::model_nvm_checksum(model, image);
        const Bytes reply = kp28::nvm_read_reply(model, image, crc);
        ASSERT_EQ(reply.size(), 2 + image.size() + 4);
        // 2048 = 0x0800 in the model's order.
        EXPECT_EQ(reply[0], model == kp28::Model::KP28Plus ? 0x00 : 0x08);
        EXPECT_EQ(reply[1], model == kp28::Model::KP28Plus ? 0x08 : 0x00);
        const auto back = kp28::parse_nvm_read_reply(model, reply);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->image, image);
        EXPECT_EQ(back->checksum, crc);
        EXPECT_FALSE(kp28::parse_nvm_read_reply(model, Bytes(reply.begin(), reply.end() - 1)));

        const Bytes body = kp28::nvm_write_body(image, crc);
        const auto written = kp28::parse_nvm_write_body(body);
        ASSERT_TRUE(written.has_value());
        EXPECT_EQ(written->image, image);
        EXPECT_EQ(written->checksum, crc);
    }
    // Read with the other model's order, the length is not the one announced.
    const Bytes plus_reply = kp28::nvm_read_reply(kp28::Model::KP28Plus, image, {});
    EXPECT_FALSE(kp28::parse_nvm_read_reply(kp28::Model::KP28, plus_reply));
}

TEST(SetupDialogue, ModelNameReplyIsElevenCharactersBlankPadded) {
    EXPECT_EQ(kp28::model_name_reply("KP28plus PB U2"), "KP28plus PB");
    EXPECT_EQ(kp28::model_name_reply("KP28"), "KP28       ");
    EXPECT_EQ(kp28::model_name_reply(""), std::string(11, ' '));
}

TEST(ModelByteOrder, TwoByteValuesRoundTripInEachOrder) {
    std::uint8_t b[2];
    kp28::put_model_u16(kp28::Model::KP28Plus, b, 0x1234);
    EXPECT_EQ(b[0], 0x34);
    EXPECT_EQ(b[1], 0x12);
    EXPECT_EQ(kp28::get_model_u16(kp28::Model::KP28Plus, b), 0x1234);
    kp28::put_model_u16(kp28::Model::KP28, b, 0x1234);
    EXPECT_EQ(b[0], 0x12);
    EXPECT_EQ(b[1], 0x34);
    EXPECT_EQ(kp28::get_model_u16(kp28::Model::KP28, b), 0x1234);
}

}  // namespace
