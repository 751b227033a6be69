// The printer's dialogues in-process: bytes into an engine, replies and
// events out, exactly as the links would carry them, split anywhere.
#include <gtest/gtest.h>
#include <kp28/protocol/commands.h>
#include <kp28/protocol/description.h>
#include <kp28/protocol/setup.h>
#include <kp28sim/engine.h>

#include <string>
#include <vector>

namespace {

using namespace kp28sim;
using Bytes = std::vector<std::uint8_t>;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes joined(const EngineOutput& out) {
    Bytes all;
    for (const auto& r : out.replies) all.insert(all.end(), r.begin(), r.end());
    return all;
}

struct SetupRig {
    explicit SetupRig(Model model = Model::KP28Plus) : state(make(model)), engine(state) {}
    static PrinterConfig make(Model model) {
        PrinterConfig c;
        c.model = model;
        c.start_in_setup_mode = true;
        return complete_config(c);
    }
    EngineOutput send(const Bytes& bytes) {
        EngineOutput out;
        engine.input(channel, bytes, out);
        return out;
    }
    PrinterState state;
    SetupEngine engine;
    SetupEngine::Channel channel;
};

TEST(SetupEngine, ReadsTheImageAndChecksumTheToolExpects) {
    for (Model model : {Model::KP28, Model::KP28Plus}) {
        SCOPED_TRACE(std::string(kp28::model_name(model)));
        SetupRig rig(model);
        const auto out = rig.send(text("r"));
        ASSERT_EQ(out.replies.size(), 1u);
        const auto t = kp28::parse_nvm_read_reply(model, out.replies[0]);
        ASSERT_TRUE(t.has_value());
        EXPECT_EQ(t->image, rig.state.nvm);
        EXPECT_EQ(t->checksum, kp28::model_nvm_checksum(model, t->image));
    }
}

TEST(SetupEngine, WriteArrivingByteByByteIsStoredAndEchoed) {
    SetupRig rig;
    Bytes image(kNvmSize, 0x11);
    image[7] = 0x77;
    const auto crc = kp28::model_nvm_checksum(Model::KP28Plus, image);
    Bytes all = text("w");
    const Bytes body = kp28::nvm_write_body(image, crc);
    all.insert(all.end(), body.begin(), body.end());
    Bytes echo;
    for (std::uint8_t b : all) {
        const auto out = rig.send({b});
        const Bytes got = joined(out);
        echo.insert(echo.end(), got.begin(), got.end());
    }
    EXPECT_EQ(echo, Bytes(crc.begin(), crc.end()));
    EXPECT_EQ(rig.state.nvm, image);
    EXPECT_EQ(rig.state.nvm_writes, 1);
}

TEST(SetupEngine, WriteWithAWrongChecksumIsAnsweredWithThePrintersOwn) {
    SetupRig rig;
    const Bytes before = rig.state.nvm;
    const Bytes image(kNvmSize, 0x22);
    const auto crc = kp28::model_nvm_checksum(Model::KP28Plus, image);
    kp28::NvmChecksum wrong = crc;
    wrong[2] ^= 1;
    Bytes all = text("w");
    const Bytes body = kp28::nvm_write_body(image, wrong);
    all.insert(all.end(), body.begin(), body.end());
    const auto out = rig.send(all);
    EXPECT_EQ(joined(out), Bytes(crc.begin(), crc.end()));
    EXPECT_EQ(rig.state.nvm, before);
    EXPECT_EQ(rig.state.nvm_writes, 0);
}

TEST(SetupEngine, DescriptionParsesIntoEveryRecordAndEndsTheDialogueOnG) {
    SetupRig rig;
    const auto out = rig.send(text("nmgr"));
    ASSERT_EQ(out.replies.size(), 2u) << "nothing after g is a setup letter";
    EXPECT_EQ(std::string(out.replies[0].begin(), out.replies[0].end()), "KP28plus PB");
    const std::string d(out.replies[1].begin(), out.replies[1].end());
    const auto parsed = kp28::parse_description(d);
    EXPECT_TRUE(parsed.complete);
    EXPECT_TRUE(parsed.skipped.empty());
    EXPECT_EQ(kp28::format_description(parsed.records), d);
    for (const auto& r : parsed.records)
        EXPECT_TRUE(kp28::record_fits(r, kNvmSize)) << kp28::format_record(r);
    EXPECT_FALSE(rig.state.setup_mode);
}

TEST(SetupEngine, RestoreTakesTheFactoryImage) {
    SetupRig rig;
    ASSERT_NE(rig.state.nvm, rig.state.mfg);
    EXPECT_TRUE(rig.send(text("R")).replies.empty());
    EXPECT_EQ(rig.state.nvm, rig.state.mfg);
}

struct NormalRig {
    NormalRig() : state(complete_config({})), engine(state) {}
    EngineOutput send(const Bytes& bytes) {
        EngineOutput out;
        engine.input(channel, bytes, out);
        return out;
    }
    // Byte by byte, as a slow link would deliver them.
    EngineOutput trickle(const Bytes& bytes) {
        EngineOutput all;
        for (std::uint8_t b : bytes) {
            auto out = send({b});
            for (auto& r : out.replies) all.replies.push_back(std::move(r));
            for (auto& e : out.events) all.events.push_back(std::move(e));
            if (out.restart) all.restart = out.restart;
        }
        return all;
    }
    PrinterState state;
    NormalEngine engine;
    NormalEngine::Channel channel;
};

TEST(NormalEngine, AnswersQueriesAmongPrintDataSplitAnywhere) {
    NormalRig rig;
    Bytes stream = text("print data \x14\x14");
    const Bytes q1 = kp28::frames::product_name_query(),
                q2 = kp28::frames::firmware_version_query();
    stream.insert(stream.end(), q1.begin(), q1.end());
    stream.insert(stream.end(), q2.begin(), q2.end());
    const auto out = rig.trickle(stream);
    ASSERT_EQ(out.replies.size(), 2u);
    EXPECT_EQ(kp28::parse_product_name(out.replies[0]), std::optional<std::string>(rig.state.name));
    const auto v = kp28::parse_firmware_version(out.replies[1]);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(std::string(v->data(), v->size()), "1.00A");
}

TEST(NormalEngine, ModeTokensAreHandedOutCheckedAndRefused) {
    NormalRig rig;
    auto out = rig.send(kp28::frames::enter_dll_mode());
    ASSERT_EQ(out.replies.size(), 1u);
    EXPECT_EQ(kp28::parse_ack(out.replies[0], kp28::kClassDllMode),
              std::optional<std::uint8_t>(0x07));
    // A wrong token is answered with the printer's own and nothing is done.
    out = rig.send(kp28::frames::image_size(0x08, 100, nullptr));
    ASSERT_EQ(out.replies.size(), 1u);
    EXPECT_EQ(kp28::parse_ack(out.replies[0], kp28::kClassDllMode),
              std::optional<std::uint8_t>(0x07));
    EXPECT_FALSE(rig.state.size_known);
    // The right one: size, data, acknowledgement after the last byte.
    out = rig.send(kp28::frames::image_size(0x07, 3, nullptr));
    EXPECT_EQ(kp28::parse_ack(out.replies.at(0), kp28::kClassDllMode),
              std::optional<std::uint8_t>(0x07));
    Bytes data = kp28::frames::image_data(0x07);
    data.insert(data.end(), {'a', 'b', 'c'});
    out = rig.trickle(data);
    ASSERT_EQ(out.replies.size(), 1u);
    EXPECT_TRUE(rig.state.image.complete);
    EXPECT_EQ(rig.state.image.data, text("abc"));
    // Write flash restarts the printer; what follows in the same input is dropped.
    Bytes tail = kp28::frames::write_flash(0x07);
    const Bytes query = kp28::frames::product_name_query();
    tail.insert(tail.end(), query.begin(), query.end());
    out = rig.send(tail);
    ASSERT_TRUE(out.restart.has_value());
    EXPECT_EQ(out.restart->why, "write flash");
    EXPECT_TRUE(out.replies.empty());
    EXPECT_TRUE(rig.channel.in.empty());
}

TEST(NormalEngine, UsbIdentifierIsWrittenAndReadBack) {
    NormalRig rig;
    const auto token = kp28::parse_ack(rig.send(kp28::frames::enter_usb_id_mode()).replies.at(0),
                                       kp28::kClassUsbIdMode);
    ASSERT_TRUE(token.has_value());
    auto out = rig.trickle(kp28::frames::write_usb_id(*token, "NEW-ID"));
    ASSERT_EQ(out.replies.size(), 1u);
    EXPECT_EQ(kp28::parse_ack(out.replies[0], kp28::kClassUsbIdMode), token);
    out = rig.send(kp28::frames::read_usb_id(*token));
    const auto id = kp28::parse_usb_id_reply(out.replies.at(0));
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->identifier, "NEW-ID");
    EXPECT_EQ(id->token, *token);
}

TEST(NormalEngine, LoadSetupFrameIsAppliedOnlyWithItsChecksum) {
    NormalRig rig;
    Bytes image(kNvmSize, 0x42);
    auto out = rig.send(kp28::load_setup_frame(Model::KP28, image));  // the other model's order
    EXPECT_EQ(rig.state.setup_frames, 0);
    out = rig.send(kp28::load_setup_frame(Model::KP28Plus, image));
    EXPECT_TRUE(out.replies.empty()) << "a load-setup frame is never answered";
    EXPECT_EQ(rig.state.setup_frames, 1);
    EXPECT_EQ(rig.state.nvm, image);
    image.pop_back();
    rig.send(kp28::load_setup_frame(Model::KP28Plus, image));
    EXPECT_EQ(rig.state.setup_frames, 1) << "an image of another size is refused";
}

// The description the printer sends, byte for byte as the tools have always
// received it.
TEST(PrinterData, DefaultDescriptionKeepsItsBytes) {
    const std::string want =
        "T\tCOMMUNICATION\t\r\n"
        "E\tSerial speed\t1\t32\t5\t1200\t2400\t4800\t9600\t19200\t\r\n"
        "E\tParity\t1\t33\t3\tNone\tEven\tOdd\t\r\n"
        "E\tHandshake\t1\t34\t3\tNone\tRTS/CTS\tXON/XOFF\t\r\n"
        "I\tIP address\t4\t36\t\r\n"
        "I\tNet mask\t4\t40\t\r\n"
        "I\tGateway\t4\t44\t\r\n"
        "M\tTCP port\t2\t48\t1\t32767\t0\t\r\n"
        "T\tPRINTING\t\r\n"
        "M\tPrint density\t1\t64\t-5\t5\t5\t\r\n"
        "O\tLine spacing (1/720 in)\t2\t66\t0\t600\t0\t\r\n"
        "E\tCharacter set\t1\t68\t4\tPC 437\tPC 850\tISO 8859-1\tISO 8859-15\t\r\n"
        "E\tEmulation\t1\t69\t2\tNative\tPR2 compatible\t\r\n"
        "S\tHeader text\t20\t80\t\r\n"
        "T\tPASSBOOK\t\r\n"
        "M\tTop margin (1/720 in)\t2\t112\t0\t1000\t0\t\r\n"
        "M\tLeft margin (1/720 in)\t2\t114\t0\t1000\t0\t\r\n"
        "O\tMagnetic stripe retries\t1\t116\t0\t9\t0\t\r\n"
        "S\tBranch code\t8\t120\t\r\n"
        "O\tHead temperature offset\t2\t128\t-40\t40\t40\t\r\n"
        "Z\t\r\n";
    EXPECT_EQ(default_description(Model::KP28Plus), want);
    EXPECT_EQ(default_description(Model::KP28), want);
}

}  // namespace
