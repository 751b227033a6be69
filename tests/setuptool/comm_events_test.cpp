// The serial event handler: the status text and the last communication error
// of every event code, and what the error report then shows.
#include <gtest/gtest.h>
#include <kp28setup/comm_events.h>

#include "session_rig.h"

namespace setuptest {
namespace {

struct EventCase {
    int code;
    const char* status;
    const char* error;  // nullptr: the last error stays as it was
};

class Events : public ::testing::TestWithParam<EventCase> {};

TEST_P(Events, SetStatusAndLastError) {
    const auto& c = GetParam();
    SessionRig rig;
    auto& s = rig.start();
    s.last_comm_error = "before";
    s.MSComm1_OnComm(c.code);
    EXPECT_EQ(s.status_label(), std::string("Status : ") + c.status);
    EXPECT_EQ(s.last_comm_error, c.error ? c.error : "before");
}

INSTANTIATE_TEST_SUITE_P(
    Table, Events,
    ::testing::Values(EventCase{1, "", nullptr}, EventCase{2, "", nullptr},
                      EventCase{3, "Rilevata modifica in CTS", "Unknown"},
                      EventCase{4, "Rilevata modifica in DSR", "Unknown"},
                      EventCase{5, "Rilevata modifica in CD", ""},
                      EventCase{6, "Il telefono sta squillando", "Unknown"},
                      EventCase{7, "Raggiunta la fine del file", "Unknown"},
                      EventCase{1001, "", "BREAK"}, EventCase{1002, "", "CTS TimeOut"},
                      EventCase{1003, "", "DSR TimeOut"}, EventCase{1004, "", "Frame"},
                      EventCase{1005, "", "Unknown"}, EventCase{1006, "", "Overrun"},
                      EventCase{1007, "", "CD TimeOut"}, EventCase{1008, "", "Overflow"},
                      EventCase{1009, "", "Parity"}, EventCase{1010, "", "TxBuffer Full"},
                      EventCase{1011, "", nullptr}, EventCase{0, "", "Unknown"},
                      EventCase{9999, "", "Unknown"}),
    [](const auto& tc) { return std::to_string(tc.param.code); });

TEST(Events, TxBufferFullDiscardsTheTransmitBuffer) {
    SessionRig rig;
    auto& s = rig.start();
    s.MSComm1_OnComm(1010);
    EXPECT_EQ(rig.port.discards(), 1);
    s.MSComm1_OnComm(1004);
    EXPECT_EQ(rig.port.discards(), 1);
}

TEST(Events, FramingErrorDuringAReadNamesTheReportEvenAfterMoreCharacters) {
    SessionRig rig;
    rig.printer.stop_after = 100;  // the read ends with a report
    auto& s = rig.start();
    // The event arrives while the image is coming; receptions follow it.
    rig.port.responder = [&](kp28setup::FakeSerialPort& p, const auto& w) {
        rig.printer.on_write(p, w);
        if (w.bytes == std::vector<std::uint8_t>{'r'}) {
            p.raise_event(1004);
            p.raise_event(2);
        }
    };
    s.cmd_readNVM_Click();
    const auto texts = rig.message_texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[1], "COMM error(Frame): NVM not red");
}

TEST(Events, ReceptionsLeaveAnEmptiedErrorEmpty) {
    SessionRig rig;
    auto& s = rig.start();
    rig.port.responder = [&](kp28setup::FakeSerialPort& p, const auto& w) {
        rig.printer.on_write(p, w);
        p.raise_event(2);
        p.raise_event(1);
    };
    s.cmd_readNVM_Click();
    EXPECT_EQ(s.last_comm_error, "");
    EXPECT_TRUE(s.commands().enabled(Command::WriteNvm));
}

}  // namespace
}  // namespace setuptest
