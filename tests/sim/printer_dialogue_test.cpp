// The virtual printer's dialogues, byte for byte, over every link: identity
// queries, firmware download, reboot, the USB identifier, load-setup frames
// and the setup-mode letters; and the transcript that records them.
#include <fstream>

#include "printer_fixture.h"

namespace simtest {
namespace {

const char* kind_name(LinkKind k) {
    switch (k) {
        case LinkKind::Usb:
            return "usb";
        case LinkKind::Serial:
            return "serial";
        case LinkKind::Parallel:
            return "parallel";
        case LinkKind::Tcp:
            return "tcp";
    }
    return "?";
}

TEST_F(PrinterTest, AnswersIdentityQueriesOnEveryNormalModeLink) {
    start();
    for (LinkKind kind : {LinkKind::Usb, LinkKind::Serial, LinkKind::Parallel, LinkKind::Tcp}) {
        SCOPED_TRACE(kind_name(kind));
        RawPort p = open(kind);
        p.write_all(kNameQuery);
        EXPECT_EQ(p.read_n(name_reply().size()), name_reply());
        p.write_all(kVersionQuery);
        EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
        EXPECT_EQ(printer().bytes(kind, Direction::ToPrinter), kNameQuery + kVersionQuery);
        EXPECT_EQ(printer().bytes(kind, Direction::FromPrinter),
                  name_reply() + version_reply("1.00A"));
    }
}

TEST_F(PrinterTest, NormalModeIgnoresSerialTrafficAtOtherSpeedsAndSetupLetters) {
    start();
    RawPort p = serial(B19200);
    p.write_all(kNameQuery);
    ASSERT_TRUE(received(LinkKind::Serial, kNameQuery.size()));
    p.set_speed(B9600);
    p.write_all("nrm");
    p.write_all(kVersionQuery);
    // The first bytes back are the version: nothing answered the others.
    EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
    const auto t = printer().transcript();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.front().speed, 19200u);
    EXPECT_EQ(t.back().speed, 9600u);
}

struct LoadCase {
    const char* what;
    bool with_header;
    std::string header_text, data;
    kp28sim::VersionRule rule;
    std::string expected;
};

TEST_F(PrinterTest, FirmwareLoadTakesTheImageAndComesBackWithItsVersion) {
    const LoadCase cases[] = {
        {"marker in data", false, "",
         std::string(20000, 'x') + "KP28FW:3.10C" + std::string(100, 'y'),
         kp28sim::VersionRule::FromImage, "3.10C"},
        {"marker in header", true, "KP28FW:4.00A", "data KP28FW:9.99Z",
         kp28sim::VersionRule::FromImage, "4.00A"},
        {"no marker", false, "", std::string(16384, 'z'), kp28sim::VersionRule::FromImage, "1.01A"},
        {"keep rule", true, "", "KP28FW:5.55E", kp28sim::VersionRule::Keep, "1.00A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto cfg = config();
        cfg.version_rule = c.rule;
        start(cfg);
        RawPort p = usb();
        const std::uint8_t t = enter_dll(p);
        const Bytes data = bytes_of(c.data);
        Bytes header(256, 0);
        std::copy(c.header_text.begin(), c.header_text.end(), header.begin());
        header[252] = 0x87, header[253] = 0x28, header[254] = 0x89, header[255] = 0x09;
        Bytes size_cmd =
            frame({0x07, static_cast<std::uint8_t>(c.with_header ? 1 : 0), 0x1C, t, 0x01}) +
            le32(static_cast<std::uint32_t>(data.size()));
        if (c.with_header) size_cmd = size_cmd + header;
        p.write_all(size_cmd);
        EXPECT_EQ(p.read_n(6), ack(0x1C, t));
        // The data command, then the image in 8192-byte writes, no
        // acknowledgement until the last byte.
        p.write_all(frame({0x03, 0x00, 0x1C, t, 0x02}));
        for (std::size_t off = 0; off < data.size(); off += 8192)
            p.write_all(
                Bytes(data.begin() + off, data.begin() + std::min(data.size(), off + 8192)));
        EXPECT_EQ(p.read_n(6), ack(0x1C, t));
        const auto img = printer().last_image();
        EXPECT_TRUE(img.complete);
        EXPECT_EQ(img.size, data.size());
        EXPECT_EQ(img.data, data);
        EXPECT_EQ(img.header.has_value(), c.with_header);
        if (c.with_header) {
            EXPECT_EQ(Bytes(img.header->begin(), img.header->end()), header);
        }

        p.write_all(frame({0x03, 0x00, 0x1C, t, 0x03}));
        ASSERT_TRUE(printer().wait_until([&] { return printer().away(); }, kDeadline));
        ASSERT_TRUE(back_up(1));
        EXPECT_TRUE(root_.usb_node_present(0));
        RawPort again = usb();
        again.write_all(kVersionQuery);
        EXPECT_EQ(again.read_n(10), version_reply(c.expected));
        // The whole exchange, exactly as written.
        EXPECT_EQ(printer().bytes(LinkKind::Usb, Direction::ToPrinter),
                  kEnterDll + size_cmd + frame({0x03, 0x00, 0x1C, t, 0x02}) + data +
                      frame({0x03, 0x00, 0x1C, t, 0x03}) + kVersionQuery);
        printer_.reset();
    }
}

TEST_F(PrinterTest, RebootGoesAwayUnpluggedAndComesBackWithTheSameVersion) {
    start();
    RawPort p = usb();
    const std::uint8_t t = enter_dll(p);
    p.write_all(frame({0x03, 0x00, 0x1C, t, 0x04}));
    ASSERT_TRUE(printer().wait_until([&] { return !root_.usb_node_present(0); }, kDeadline));
    ASSERT_TRUE(back_up(1));
    EXPECT_TRUE(root_.usb_node_present(0));
    RawPort again = usb();
    again.write_all(kVersionQuery);
    EXPECT_EQ(again.read_n(10), version_reply("1.00A"));
    // The restart ended DLL mode: the old token opens nothing, and leaving
    // (as the updater does after a reboot) is simply acknowledged.
    again.write_all(frame({0x03, 0x00, 0x1C, t, 0x04}));
    again.write_all(frame({0x02, 0x00, 0x1C, t}));
    EXPECT_EQ(again.read_n(6), ack(0x1C, t));
    EXPECT_EQ(printer().restarts(), 1);
    again.write_all(kNameQuery);
    EXPECT_EQ(again.read_n(name_reply().size()), name_reply());
}

TEST_F(PrinterTest, RebootOverTcpClosesTheConnectionAndListensAgainWhenBack) {
    start();
    RawPort p = tcp();
    const std::uint8_t t = enter_dll(p);
    p.write_all(frame({0x03, 0x00, 0x1C, t, 0x04}));
    EXPECT_TRUE(p.read_n(1, kDeadline).empty()) << "the connection ends without an answer";
    ASSERT_TRUE(back_up(1));
    RawPort again = tcp();
    again.write_all(kVersionQuery);
    EXPECT_EQ(again.read_n(10), version_reply("1.00A"));
}

TEST_F(PrinterTest, APowerCycleDropsRepliesNobodyRead) {
    start();
    RawPort p = usb();
    p.write_all(kNameQuery);
    ASSERT_TRUE(printer().wait_until(
        [&] { return !printer().bytes(LinkKind::Usb, Direction::FromPrinter).empty(); },
        kDeadline));
    printer().power_cycle();
    ASSERT_TRUE(back_up(1));
    p.write_all(kVersionQuery);
    EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
}

TEST_F(PrinterTest, RefusesAWrongTokenWithItsOwnAndKeepsTheMode) {
    start();
    RawPort p = usb();
    const std::uint8_t t = enter_dll(p);
    const std::uint8_t wrong = static_cast<std::uint8_t>(t + 1);
    p.write_all(frame({0x02, 0x00, 0x1C, wrong}));  // leave, wrong token
    EXPECT_EQ(p.read_n(6), ack(0x1C, t));
    p.write_all(frame({0x07, 0x00, 0x1C, t, 0x01}) + le32(10));
    EXPECT_EQ(p.read_n(6), ack(0x1C, t));
    p.write_all(frame({0x02, 0x00, 0x1C, t}));
    EXPECT_EQ(p.read_n(6), ack(0x1C, t));
}

TEST_F(PrinterTest, CommandsOfAModeThatIsNotOpenGetNoAnswerButLeavingIsAcknowledged) {
    start();
    RawPort p = usb();
    p.write_all(frame({0x02, 0x00, 0x1C, 0x09}));  // leave DLL
    EXPECT_EQ(p.read_n(6), ack(0x1C, 0x09));
    p.write_all(frame({0x02, 0x00, 0x1D, 0x0A}));  // leave USB-ID
    EXPECT_EQ(p.read_n(6), ack(0x1D, 0x0A));
    p.write_all(frame({0x07, 0x00, 0x1C, 0x07, 0x01}) + le32(4));  // image size
    p.write_all(frame({0x03, 0x00, 0x1D, 0x07, 0x02}));            // read USB id
    p.write_all(frame({0x03, 0x00, 0x1C, 0x07, 0x04}));            // reboot
    p.write_all(Bytes{'n', 'r', 0x00, 0x14, 0x14});                // letters, noise
    p.write_all(kVersionQuery);
    EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
    EXPECT_EQ(printer().restarts(), 0);
    EXPECT_FALSE(printer().away());
}

TEST_F(PrinterTest, ReadsAndWritesTheUsbIdentifier) {
    start();
    RawPort p = usb();
    p.write_all(kEnterUsbId);
    const Bytes a = p.read_n(6);
    ASSERT_EQ(a.size(), 6u);
    const std::uint8_t t = a[5];
    EXPECT_NE(t, 0);
    EXPECT_EQ(a, ack(0x1D, t));
    auto id_reply = [&](std::string id) {
        id.resize(32, '\0');
        return frame({0x1D, t}) + bytes_of(id);
    };
    p.write_all(frame({0x03, 0x00, 0x1D, t, 0x02}));
    EXPECT_EQ(p.read_n(38), id_reply(printer().config().usb_id));
    // The length field stays 3; the identifier and its zero follow.
    const Bytes write_cmd = frame({0x03, 0x00, 0x1D, t, 0x01}) + bytes_of("BRANCH-042") + Bytes{0};
    p.write_all(write_cmd);
    EXPECT_EQ(p.read_n(6), ack(0x1D, t));
    p.write_all(frame({0x03, 0x00, 0x1D, t, 0x02}));
    EXPECT_EQ(p.read_n(38), id_reply("BRANCH-042"));
    p.write_all(frame({0x02, 0x00, 0x1D, t}));
    EXPECT_EQ(p.read_n(6), ack(0x1D, t));
    EXPECT_EQ(printer().usb_id(), "BRANCH-042");
    EXPECT_EQ(printer().bytes(LinkKind::Usb, Direction::ToPrinter),
              kEnterUsbId + frame({0x03, 0x00, 0x1D, t, 0x02}) + write_cmd +
                  frame({0x03, 0x00, 0x1D, t, 0x02}) + frame({0x02, 0x00, 0x1D, t}));
}

TEST_F(PrinterTest, RefusesAnIdentifierLongerThan32Characters) {
    start();
    RawPort p = usb();
    p.write_all(kEnterUsbId);
    const Bytes a = p.read_n(6);
    ASSERT_EQ(a.size(), 6u);
    const std::uint8_t t = a[5];
    p.write_all(frame({0x03, 0x00, 0x1D, t, 0x01}) + bytes_of(std::string(40, 'L')) + Bytes{0});
    p.write_all(kVersionQuery);
    EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
    EXPECT_EQ(printer().usb_id(), printer().config().usb_id);
}

TEST_F(PrinterTest, WithoutTheFeatureUsbIdModeIsNotAnswered) {
    auto c = config(Model::KP28);
    c.usb_id_feature = false;
    start(c);
    EXPECT_FALSE(kp28sim::passes_usb_id_check(printer().product_name()));
    RawPort p = usb();
    p.write_all(kEnterUsbId);
    p.write_all(kVersionQuery);
    EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
}

TEST_F(PrinterTest, AppliesLoadSetupFramesOnEveryLinkAndRefusesBadChecksums) {
    for (Model model : {Model::KP28, Model::KP28Plus}) {
        for (LinkKind kind : {LinkKind::Usb, LinkKind::Serial, LinkKind::Parallel, LinkKind::Tcp}) {
            SCOPED_TRACE(std::string(kind_name(kind)) +
                         (model == Model::KP28 ? " KP28" : " KP28Plus"));
            start(config(model));
            const bool plus = model == Model::KP28Plus;
            Bytes image = printer().nvm();
            image[80] = 'H', image[81] = 'I';
            Bytes bad = load_setup_frame(image, plus);
            bad[bad.size() - 1] ^= 0x01;
            // As the senders do: 512-byte pieces, the last one padded.
            Bytes file = bad + load_setup_frame(image, plus);
            file.resize((file.size() / 512 + 1) * 512, 0xEE);
            RawPort p = open(kind);
            p.write_all(file);
            ASSERT_TRUE(printer().wait_until([&] { return printer().setup_frames_applied() == 1; },
                                             kDeadline));
            EXPECT_TRUE(has_event("load-setup frame refused: checksum mismatch"));
            EXPECT_EQ(printer().nvm(), image);
            printer_.reset();
        }
    }
}

TEST_F(PrinterTest, SetupModeDialogueReadsWritesRestoresAndDescribes) {
    for (Model model : {Model::KP28, Model::KP28Plus}) {
        SCOPED_TRACE(model == Model::KP28 ? "KP28" : "KP28Plus");
        const bool plus = model == Model::KP28Plus;
        start(config(model));
        printer().enter_setup_mode();
        ASSERT_TRUE(printer().wait_until([&] { return printer().in_setup_mode(); }, kDeadline));

        // At 9600 a printer in setup mode is deaf.
        RawPort p = serial(B9600);
        p.write_all(kNameQuery);
        ASSERT_TRUE(received(LinkKind::Serial, kNameQuery.size()));
        p.set_speed(B19200);
        p.write_all("n");
        std::string model_text = printer().product_name().substr(0, 11);
        model_text.resize(11, ' ');
        EXPECT_EQ(p.read_n(11), bytes_of(model_text));

        // "r": length, image, checksum, all in the model's byte order.
        p.write_all("r");
        const Bytes r = p.read_n(2 + 2048 + 4);
        ASSERT_EQ(r.size(), 2054u);
        EXPECT_EQ((plus ? Bytes{0x00, 0x08} : Bytes{0x08, 0x00}), Bytes(r.begin(), r.begin() + 2));
        Bytes image(r.begin() + 2, r.begin() + 2050);
        EXPECT_EQ(image, printer().nvm());
        const auto crc = kp28::nvm_crc(image, 2048, plus);
        EXPECT_EQ(Bytes(r.begin() + 2050, r.end()), Bytes(crc.begin(), crc.end()));

        // "w": the image and its checksum, one byte per write; the echo.
        image[80] = 'Q';
        const auto new_crc = kp28::nvm_crc(image, 2048, plus);
        p.write_all("w");
        for (std::uint8_t b : image) p.write_all(Bytes{b});
        p.write_all(Bytes(new_crc.begin(), new_crc.end()));
        EXPECT_EQ(p.read_n(4), Bytes(new_crc.begin(), new_crc.end()));
        EXPECT_EQ(printer().nvm(), image);
        EXPECT_EQ(printer().nvm_writes(), 1);

        // A checksum that does not match: another echo, image not kept.
        Bytes other = image;
        other[81] = 'Z';
        p.write_all("w");
        p.write_all(other);
        p.write_all(Bytes(new_crc.begin(), new_crc.end()));
        const Bytes echo = p.read_n(4);
        EXPECT_EQ(echo.size(), 4u);
        EXPECT_NE(echo, Bytes(new_crc.begin(), new_crc.end()));
        EXPECT_EQ(printer().nvm(), image);

        // "R" restores the factory image, which the next "r" shows.
        p.write_all("Rr");
        const Bytes r2 = p.read_n(2054);
        ASSERT_EQ(r2.size(), 2054u);
        EXPECT_EQ(Bytes(r2.begin() + 2, r2.begin() + 2050), printer().config().mfg_defaults);

        p.write_all("m");
        const std::string d = printer().config().description;
        EXPECT_EQ(p.read_n(d.size()), bytes_of(d));

        // "g": back to normal mode, answering at 9600.
        p.write_all("g");
        ASSERT_TRUE(printer().wait_until([&] { return !printer().in_setup_mode(); }, kDeadline));
        p.set_speed(B9600);
        p.write_all(kVersionQuery);
        EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
        printer_.reset();
    }
}

TEST_F(PrinterTest, SetupModeIsSerialOnly) {
    auto c = config();
    c.start_in_setup_mode = true;
    start(c);
    EXPECT_TRUE(printer().in_setup_mode());
    RawPort u = usb();
    u.write_all(kNameQuery);
    ASSERT_TRUE(received(LinkKind::Usb, kNameQuery.size()));
    RawPort s = serial(B19200);
    s.write_all("n");
    EXPECT_EQ(s.read_n(11).size(), 11u);
    EXPECT_TRUE(printer().bytes(LinkKind::Usb, Direction::FromPrinter).empty());
}

TEST_F(PrinterTest, WritesTheTranscriptFileAsItHappens) {
    auto c = config();
    c.transcript_file = root_.path("transcript.txt");
    start(c);
    RawPort p = usb();
    p.write_all(kNameQuery);
    EXPECT_EQ(p.read_n(name_reply().size()), name_reply());
    ASSERT_TRUE(
        printer().wait_until([&] { return printer().transcript().size() >= 2; }, kDeadline));
    std::ifstream in(c.transcript_file);
    std::string l1, l2;
    std::getline(in, l1);
    std::getline(in, l2);
    EXPECT_NE(l1.find(" usb:lp0 in 14 14 1B 14 01 00 01"), std::string::npos) << l1;
    EXPECT_NE(l2.find(" usb:lp0 out 14 14 1B 14 01 4B 50 32 38 70 6C 75 73"), std::string::npos)
        << l2;
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

TEST_F(PrinterTest, TwoPrintersShareASysrootWhileOneRestarts) {
    auto a_cfg = config();
    a_cfg.reboot_downtime = 300ms;
    auto& a = start(a_cfg);
    a.power_cycle();
    ASSERT_TRUE(a.wait_until([&] { return a.away(); }, kDeadline));
    auto b_cfg = config(Model::KP28);
    b_cfg.usb_lp = 1;
    b_cfg.serial = "ttyS1";
    b_cfg.parallel_lp = 1;
    kp28sim::VirtualPrinter b(root_, b_cfg);
    b.start();
    ASSERT_TRUE(back_up(1));
    for (const auto& [node, name] :
         {std::pair{a.usb_node(), a.product_name()}, std::pair{b.usb_node(), b.product_name()}}) {
        RawPort p = RawPort::node(node);
        p.write_all(kNameQuery);
        Bytes expected = frame({0x01}) + bytes_of(name) + Bytes{0};
        EXPECT_EQ(p.read_n(expected.size()), expected) << node;
    }
}

}  // namespace
}  // namespace simtest
