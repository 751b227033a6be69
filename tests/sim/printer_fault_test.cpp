// Faults on demand: each misbehaviour shows on the line as the dialogue
// describes it, and goes away when the fault is cleared.
#include "printer_fixture.h"

namespace simtest {
namespace {

constexpr auto kQuiet = 300ms;  // how long an absent answer is awaited

TEST_F(PrinterTest, SilentPrinterReadsButNeverAnswers) {
    auto c = config();
    c.faults.silent = true;
    start(c);
    RawPort p = usb();
    p.write_all(kNameQuery + kEnterDll);
    ASSERT_TRUE(received(LinkKind::Usb, kNameQuery.size() + kEnterDll.size()));
    EXPECT_TRUE(p.read_n(1, kQuiet).empty());
    printer().set_faults({});
    p.write_all(kVersionQuery);
    EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
}

TEST_F(PrinterTest, AcknowledgementFaultsChangeTheTokenByte) {
    struct Case {
        const char* what;
        kp28sim::Faults faults;
        bool enter_gets_zero;
        int ack_delta;  // -1: the fixed byte 0x05
    };
    kp28sim::Faults zero, wrong, fixed;
    zero.zero_token = true;
    wrong.wrong_token = true;
    fixed.ack_byte = 0x05;
    const Case cases[] = {
        {"zero token", zero, true, 0},
        {"wrong token", wrong, false, 1},
        {"ack byte 0x05", fixed, false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        start();
        printer().set_faults(c.faults);
        RawPort p = usb();
        for (const Bytes& enter : {kEnterDll, kEnterUsbId}) {
            const std::uint8_t cls = enter[6];
            p.write_all(enter);
            const Bytes a = p.read_n(6);
            ASSERT_EQ(a.size(), 6u);
            if (c.enter_gets_zero) {
                EXPECT_EQ(a, ack(cls, 0));
                continue;
            }
            const std::uint8_t t = a[5];
            EXPECT_NE(t, 0);
            p.write_all(frame({0x02, 0x00, cls, t}));  // leave, with the right token
            const std::uint8_t expected =
                c.ack_delta < 0
                    ? 0x05
                    : static_cast<std::uint8_t>(t + c.ack_delta == 0 ? 1 : t + c.ack_delta);
            EXPECT_EQ(p.read_n(6), ack(cls, expected));
        }
        printer_.reset();
    }
}

TEST_F(PrinterTest, NvmFaultsSpoilTheSetupTransfers) {
    auto c = config(Model::KP28Plus);
    c.start_in_setup_mode = true;
    start(c);
    RawPort p = serial(B19200);

    kp28sim::Faults f;
    f.bad_nvm_checksum = true;
    printer().set_faults(f);
    p.write_all("r");
    const Bytes r = p.read_n(2054);
    ASSERT_EQ(r.size(), 2054u);
    const auto good = kp28::nvm_crc(printer().nvm(), 2048, true);
    EXPECT_NE(Bytes(r.begin() + 2050, r.end()), Bytes(good.begin(), good.end()));
    // A correct write is refused: the echo differs and the image stays.
    Bytes image = printer().nvm();
    image[100] = 0x5A;
    const auto crc = kp28::nvm_crc(image, 2048, true);
    p.write_all(Bytes{'w'} + image + Bytes(crc.begin(), crc.end()));
    EXPECT_NE(p.read_n(4), Bytes(crc.begin(), crc.end()));
    EXPECT_NE(printer().nvm(), image);

    f = {};
    f.nvm_length_2049 = true;
    printer().set_faults(f);
    p.write_all("r");
    const Bytes r2 = p.read_n(2 + 2049 + 4);
    ASSERT_EQ(r2.size(), 2055u);
    EXPECT_EQ(Bytes(r2.begin(), r2.begin() + 2), (Bytes{0x01, 0x08}));

    printer().set_faults({});
    p.write_all(Bytes{'w'} + image + Bytes(crc.begin(), crc.end()));
    EXPECT_EQ(p.read_n(4), Bytes(crc.begin(), crc.end()));
    EXPECT_EQ(printer().nvm(), image);
}

TEST_F(PrinterTest, ComesBackOnlyAfterTheSetTime) {
    auto c = config();
    c.faults.comeback_after = 600ms;
    start(c);
    RawPort p = usb();
    const std::uint8_t t = enter_dll(p);
    const auto sent = std::chrono::steady_clock::now();
    p.write_all(frame({0x03, 0x00, 0x1C, t, 0x04}));
    ASSERT_TRUE(printer().wait_until([&] { return printer().away(); }, kDeadline));
    ASSERT_TRUE(back_up(1));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 600ms);
}

TEST_F(PrinterTest, NeverComesBackUntilPoweredOn) {
    auto c = config();
    c.faults.never_comes_back = true;
    start(c);
    RawPort p = usb();
    const std::uint8_t t = enter_dll(p);
    p.write_all(frame({0x03, 0x00, 0x1C, t, 0x03}));
    ASSERT_TRUE(printer().wait_until([&] { return !root_.usb_node_present(0); }, kDeadline));
    // Five times the normal downtime: still away.
    EXPECT_FALSE(
        printer().wait_until([&] { return printer().restarts() > 0; }, 5 * c.reboot_downtime));
    EXPECT_TRUE(printer().away());
    printer().power_cycle();
    ASSERT_TRUE(back_up(1));
    EXPECT_TRUE(root_.usb_node_present(0));
}

TEST_F(PrinterTest, LinkCutAfterNBytesStopsMidReplyUntilRestored) {
    start();
    kp28sim::Faults f;
    f.cut_after_bytes = kNameQuery.size() + 5;
    printer().set_faults(f);
    RawPort p = usb();
    p.write_all(kNameQuery);
    const Bytes whole = name_reply();
    EXPECT_EQ(p.read_n(5), Bytes(whole.begin(), whole.begin() + 5));
    ASSERT_TRUE(printer().wait_until([&] { return !root_.usb_node_present(0); }, kDeadline));
    p.write_all(kVersionQuery);
    ASSERT_TRUE(received(LinkKind::Usb, kNameQuery.size() + kVersionQuery.size()));
    EXPECT_TRUE(p.read_n(1, kQuiet).empty());
    // A TCP client is turned away while the cable is out.
    RawPort t = tcp();
    EXPECT_TRUE(t.read_n(1, kDeadline).empty());

    printer().set_faults({});
    ASSERT_TRUE(printer().wait_until([&] { return root_.usb_node_present(0); }, kDeadline));
    p.write_all(kVersionQuery);
    EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
}

TEST_F(PrinterTest, StalledReaderLeavesTheUsbNodeFullUntilCleared) {
    start();
    kp28sim::Faults f;
    f.stall_after_bytes = kNameQuery.size() + 3;
    printer().set_faults(f);
    RawPort p = usb();
    // The query is read and answered; the reader stops 3 bytes into what follows.
    p.write_all(kNameQuery + kVersionQuery);
    EXPECT_EQ(p.read_n(name_reply().size()), name_reply());
    ASSERT_TRUE(received(LinkKind::Usb, kNameQuery.size() + 3));
    EXPECT_TRUE(p.read_n(1, kQuiet).empty());
    EXPECT_EQ(printer().bytes(LinkKind::Usb, Direction::ToPrinter).size(), kNameQuery.size() + 3);
    // Nothing more is taken: a writer that keeps going finds the node full.
    const Bytes fill(4096, 0x00);
    std::size_t taken = 0;
    bool full = false;
    for (int i = 0; i < 4096 && !full; ++i) {
        const ssize_t w = ::write(p.fd(), fill.data(), fill.size());
        if (w > 0)
            taken += static_cast<std::size_t>(w);
        else
            full = w < 0 && errno == EAGAIN;
    }
    EXPECT_TRUE(full) << taken << " bytes went in";
    EXPECT_EQ(printer().bytes(LinkKind::Usb, Direction::ToPrinter).size(), kNameQuery.size() + 3);

    printer().set_faults({});
    EXPECT_TRUE(received(LinkKind::Usb, kNameQuery.size() + kVersionQuery.size() + taken));
    EXPECT_EQ(p.read_n(10), version_reply("1.00A"));
}

TEST_F(PrinterTest, GarbageReplacesEveryAnswer) {
    auto c = config();
    c.faults.garbage = true;
    start(c);
    RawPort p = tcp();
    p.write_all(kVersionQuery);
    const Bytes g = p.read_n(10);
    ASSERT_EQ(g.size(), 10u);
    EXPECT_NE(g[0], 0x14);
    EXPECT_NE(g, version_reply("1.00A"));
}

TEST_F(PrinterTest, PacingMovesSerialBytesAtTheLineRate) {
    auto c = config();
    c.start_in_setup_mode = true;
    c.faults.pace_line_rate = true;
    start(c);
    RawPort p = serial(B19200);
    p.write_all("m");
    const std::string d = printer().config().description;
    EXPECT_EQ(p.read_n(d.size()), bytes_of(d));
    // The printer wrote the reply over at least the time the line needs for it.
    double first = -1, last = 0;
    std::size_t total = 0;
    for (const auto& e : printer().transcript())
        if (e.direction == Direction::FromPrinter) {
            if (first < 0) first = e.seconds;
            last = e.seconds;
            total += e.bytes.size();
        }
    ASSERT_EQ(total, d.size());
    const double needed = static_cast<double>(d.size()) / 1920.0;
    EXPECT_GE(last - first, 0.8 * needed) << "paced in " << (last - first) << " s";
}

}  // namespace
}  // namespace simtest
