// Codes, DOOR values, messages and buffer behaviour of every export, in the USB
// and the stub implementation.
#include <cstring>

#include "wrap_test_base.h"

namespace kp28test {
namespace {

class InterfaceTest : public WrapTest {};

TEST_F(InterfaceTest, InitializationAndFinalizationAlwaysSucceed) {
    root.add_usb_printer(0);
    load();
    EXPECT_EQ((*lib)->initialization(), 0);
    EXPECT_EQ((*lib)->finalization(), 0);
    EXPECT_EQ(last_error(), 0);
}

TEST_F(InterfaceTest, ConnectWithBadIndexGivesInvalidIndexAndInvalidDoor) {
    root.add_usb_printer(0);
    root.add_usb_printer(1);
    load();
    for (int index : {16, -1, 2, 15, 1000}) {
        SCOPED_TRACE(index);
        KP28_DOOR door = 0x12345678;
        EXPECT_EQ((*lib)->connect(&door, index), KP28WRAP_E_INVALID_INDEX);
        EXPECT_EQ(door, KP28_INVALID_DOOR);
        EXPECT_EQ(lib->message(), "invalid printer index");
    }
}

TEST_F(InterfaceTest, DoorsAreSlotXorMagicAndOnePerPrinter) {
    root.add_usb_printer(0);
    root.add_usb_printer(1);
    load();
    KP28_DOOR a = connect(0);
    KP28_DOOR b = connect(1);
    EXPECT_EQ(a, 0x0D002000u);
    EXPECT_EQ(b, 0x0D002001u);

    KP28_DOOR again = 0;
    EXPECT_EQ((*lib)->connect(&again, 0), KP28WRAP_E_ALREADY_OPENED);
    EXPECT_EQ(again, KP28_INVALID_DOOR);
    EXPECT_EQ(lib->message(), "printer(s) already opened");

    // The freed slot 0 is taken again, now by printer 0's reconnect.
    EXPECT_EQ((*lib)->disconnect(&a), 0);
    EXPECT_EQ(a, KP28_INVALID_DOOR);
    EXPECT_EQ(connect(0), 0x0D002000u);
    EXPECT_EQ((*lib)->disconnect(&b), 0);
}

TEST_F(InterfaceTest, BadDoorIsRefusedEverywhereAndLeftUntouched) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    KP28_DOOR copy = door;
    ASSERT_EQ((*lib)->disconnect(&copy), 0);

    for (KP28_DOOR bad : {KP28_INVALID_DOOR, door, 0x0D002010u, 0u, 0x0D00200Fu}) {
        SCOPED_TRACE(bad);
        KP28_DOOR d = bad;
        EXPECT_EQ((*lib)->disconnect(&d), KP28WRAP_E_INVALID_DOOR);
        EXPECT_EQ(d, bad);
        char buf[8] = "xxxxxxx";
        unsigned count = 77;
        EXPECT_EQ((*lib)->read(bad, buf, 8, &count, -1), KP28WRAP_E_INVALID_DOOR);
        EXPECT_EQ((*lib)->read(bad, buf, 8, &count, 100), KP28WRAP_E_INVALID_DOOR);
        EXPECT_EQ((*lib)->write(bad, buf, 8, &count, -1), KP28WRAP_E_INVALID_DOOR);
        EXPECT_EQ(count, 77u);
        EXPECT_STREQ(buf, "xxxxxxx");
        EXPECT_EQ((*lib)->ioctl(bad, 1, 1, nullptr), KP28WRAP_E_INVALID_DOOR);
        EXPECT_EQ(lib->message(), "invalid DOOR value");
    }
}

TEST_F(InterfaceTest, GeterrnoCopiesMessageWithinSize) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = 0;
    ASSERT_EQ((*lib)->connect(&door, 5), KP28WRAP_E_INVALID_INDEX);

    struct Case {
        int size;
        bool null_buffer;
        const char* expected;  // nullptr: the buffer stays as it was
    };
    const Case cases[] = {
        {256, true, nullptr},
        {1, false, ""},
        {10, false, "invalid p"},
        {21, false, "invalid printer inde"},
        {22, false, "invalid printer index"},
        {256, false, "invalid printer index"},
        {0, false, nullptr},
        {-5, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        char buf[300];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ((*lib)->geterrno(c.null_buffer ? nullptr : buf, c.size),
                  KP28WRAP_E_INVALID_INDEX);
        if (c.expected) {
            EXPECT_STREQ(buf, c.expected);
            EXPECT_EQ(buf[c.size], '#') << "wrote past size";
        } else {
            EXPECT_EQ(buf[0], '#');
        }
    }
}

TEST_F(InterfaceTest, ListGivesPathsOrRefusesWithoutTouchingTheArray) {
    root.add_usb_printer(0);
    root.add_usb_printer(1, usb_id("3509", "a244", ""));
    load();

    const char* paths[16] = {};
    const char* sentinel = "untouched";
    paths[0] = sentinel;
    int capacity = 1;
    EXPECT_EQ((*lib)->list(&capacity, paths), KP28WRAP_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(capacity, 1);
    EXPECT_EQ(paths[0], sentinel);
    EXPECT_EQ(lib->message(), "buffer is too small to keep complete data");

    capacity = 16;
    ASSERT_EQ((*lib)->list(&capacity, paths), 0);
    ASSERT_EQ(capacity, 2);
    EXPECT_STREQ(paths[0], "usb#vid_3509&pid_0140#KP28SIM0001#/dev/usb/lp0");
    // Without a serial number the USB device's folder name stands in.
    EXPECT_STREQ(paths[1], "usb#vid_3509&pid_a244#1-2#/dev/usb/lp1");
    EXPECT_EQ(last_error(), KP28WRAP_E_BUFFER_TOO_SMALL) << "success does not clear the code";
}

TEST_F(InterfaceTest, ListAndRefreshWithNoPrinterGiveNoPrintersFound) {
    load();
    int capacity = 16;
    const char* paths[16] = {};
    EXPECT_EQ((*lib)->list(&capacity, paths), KP28WRAP_E_NO_PRINTERS);
    EXPECT_EQ(capacity, 16);
    EXPECT_EQ(lib->message(), "no printers found");
    EXPECT_EQ((*lib)->refreshlist(), KP28WRAP_E_NO_PRINTERS);
    KP28_DOOR door = 0;
    EXPECT_EQ((*lib)->connect(&door, 0), KP28WRAP_E_INVALID_INDEX);
}

TEST_F(InterfaceTest, RefreshIsRefusedWhileDoorOpenAndListStays) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    root.add_usb_printer(1);
    EXPECT_EQ((*lib)->refreshlist(), KP28WRAP_E_ALREADY_OPENED);
    int capacity = 16;
    const char* paths[16] = {};
    ASSERT_EQ((*lib)->list(&capacity, paths), 0);
    EXPECT_EQ(capacity, 1);

    ASSERT_EQ((*lib)->disconnect(&door), 0);
    EXPECT_EQ((*lib)->refreshlist(), 0);
    capacity = 16;
    ASSERT_EQ((*lib)->list(&capacity, paths), 0);
    EXPECT_EQ(capacity, 2);
}

TEST_F(InterfaceTest, FailedOpenLeavesNoDoorAndRefreshAllowed) {
    root.add_usb_printer(0);
    load();
    root.unplug_usb_node(0);
    KP28_DOOR door = 0;
    EXPECT_EQ((*lib)->connect(&door, 0), KP28WRAP_E_OPEN);
    EXPECT_EQ(door, KP28_INVALID_DOOR);
    EXPECT_EQ(lib->message(), "error opening device");
    EXPECT_EQ((*lib)->refreshlist(), 0) << "the open count must not have grown";
    root.replug_usb_node(0);
    EXPECT_EQ(connect(0), 0x0D002000u);
}

TEST_F(InterfaceTest, TimeoutCodeSurvivesLaterSuccess) {
    auto& pty = root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    // Nobody reads the printer's side: the terminal's buffer fills and the
    // write runs out of time with part of the data taken.
    const std::string big(4 << 20, 'x');
    unsigned count = 0;
    EXPECT_EQ(write(door, big, 200, &count), KP28WRAP_E_TIMEOUT);
    EXPECT_LT(count, big.size());
    drain_master(pty.master());
    EXPECT_EQ(write(door, "ok", 2000), 0);
    char msg[64];
    EXPECT_EQ((*lib)->geterrno(msg, sizeof msg), KP28WRAP_E_TIMEOUT);
    EXPECT_STREQ(msg, "io timeout");
}

TEST_F(InterfaceTest, IoctlRecordsItsResultAndUnknownCodesDoNothing) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    KP28_DOOR bad = KP28_INVALID_DOOR;
    ASSERT_EQ((*lib)->disconnect(&bad), KP28WRAP_E_INVALID_DOOR);

    struct Case {
        int code;
        int32_t expected;
    };
    const Case cases[] = {{3, 0}, {5, 0}, {6, 0}, {7, 0}, {0, 0}, {-1, 0}, {1, 0}, {2, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        ASSERT_EQ((*lib)->disconnect(&bad), KP28WRAP_E_INVALID_DOOR);
        unsigned char out[128];
        std::memset(out, 0xAA, sizeof out);
        EXPECT_EQ((*lib)->ioctl(door, c.code, 0, out), c.expected);
        EXPECT_EQ(last_error(), 0) << "ioctl records its result, 0 included";
        EXPECT_EQ(out[0], 0xAA);
    }
}

TEST_F(InterfaceTest, DeviceControlsFailOnNonPrinterNode) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    unsigned char out[128] = {};
    for (int code : {4, 8}) {
        SCOPED_TRACE(code);
        EXPECT_EQ((*lib)->ioctl(door, code, 0, out), 0x209);
        EXPECT_EQ(lib->message(), "unknown error");
    }
}

TEST_F(InterfaceTest, ReadOfLengthZeroIsInvalidParameter) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    char buf[1];
    unsigned count = 0;
    EXPECT_EQ((*lib)->read(door, buf, 0, &count, -1), KP28WRAP_E_INVALID_PARAM);
    EXPECT_EQ(lib->message(), "invalid parameter value");
    EXPECT_EQ((*lib)->read(door, buf, 0, &count, 200), KP28WRAP_E_INVALID_PARAM);
}

TEST_F(InterfaceTest, NullPointersAreRefusedNotFollowed) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    char buf[4];
    unsigned count = 0;
    EXPECT_EQ((*lib)->connect(nullptr, 0), KP28WRAP_E_INVALID_PARAM);
    EXPECT_EQ((*lib)->disconnect(nullptr), KP28WRAP_E_INVALID_PARAM);
    EXPECT_EQ((*lib)->read(door, buf, 4, nullptr, -1), KP28WRAP_E_INVALID_PARAM);
    EXPECT_EQ((*lib)->read(door, nullptr, 4, &count, -1), KP28WRAP_E_INVALID_PARAM);
    EXPECT_EQ((*lib)->write(door, nullptr, 4, &count, -1), KP28WRAP_E_INVALID_PARAM);
    EXPECT_EQ((*lib)->list(nullptr, nullptr), KP28WRAP_E_INVALID_PARAM);
    // The refused connect took no slot: printer 0 keeps its single DOOR.
    KP28_DOOR d = door;
    EXPECT_EQ((*lib)->disconnect(&d), 0);
}

TEST_F(InterfaceTest, AutoRefreshRenewsStaleListBeforeConnect) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    ASSERT_EQ((*lib)->ioctl(door, 2, 1, nullptr), 0);
    ASSERT_EQ((*lib)->disconnect(&door), 0);
    // A failure marks the list stale; the next connect refreshes it first and
    // so finds the printer that came meanwhile.
    root.add_usb_printer(1, usb_id("3509", "ef15"));
    KP28_DOOR bad = KP28_INVALID_DOOR;
    ASSERT_EQ((*lib)->disconnect(&bad), KP28WRAP_E_INVALID_DOOR);
    KP28_DOOR second = connect(1);
    EXPECT_EQ(second, 0x0D002000u);
    ASSERT_EQ((*lib)->disconnect(&second), 0);
}

TEST_F(InterfaceTest, AutoRefreshThatFindsNothingFailsConnectWithOpenError) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    ASSERT_EQ((*lib)->ioctl(door, 2, 1, nullptr), 0);
    ASSERT_EQ((*lib)->disconnect(&door), 0);
    std::filesystem::remove_all(root.path("sys/class/usbmisc/lp0"));
    KP28_DOOR bad = KP28_INVALID_DOOR;
    ASSERT_EQ((*lib)->disconnect(&bad), KP28WRAP_E_INVALID_DOOR);
    EXPECT_EQ((*lib)->connect(&door, 0), KP28WRAP_E_OPEN);
    EXPECT_EQ(door, KP28_INVALID_DOOR);
}

struct StubCall {
    const char* name;
    int32_t (*call)(const WrapApi&);
};

TEST_F(InterfaceTest, StubModeAnswersUnimplementedEverywhere) {
    root.add_usb_printer(0);
    for (const char* mode : {"lm", "", "USB", "LM "}) {
        SCOPED_TRACE(mode);
        load({{"KP28WRAP_MODE", std::string(mode)}});
        char msg[64];
        EXPECT_EQ((*lib)->geterrno(msg, sizeof msg), 1);
        EXPECT_STREQ(msg, "unimplemented function");

        KP28_DOOR door = 0x0D002000;
        EXPECT_EQ((*lib)->connect(&door, 0), 1);
        EXPECT_EQ(door, KP28_INVALID_DOOR);
        door = 0x0D002000;
        EXPECT_EQ((*lib)->disconnect(&door), 1);
        EXPECT_EQ(door, 0x0D002000u) << "disconnect leaves the DOOR as it was";
        char buf[8];
        unsigned count = 5;
        EXPECT_EQ((*lib)->read(door, buf, 8, &count, -1), 1);
        EXPECT_EQ((*lib)->read(door, buf, 8, &count, 100), 1);
        EXPECT_EQ((*lib)->write(door, buf, 8, &count, -1), 1);
        EXPECT_EQ(count, 5u);
        EXPECT_EQ((*lib)->ioctl(door, 3, 0, nullptr), 1);
        int capacity = 16;
        const char* paths[16] = {};
        EXPECT_EQ((*lib)->list(&capacity, paths), 1);
        EXPECT_EQ(capacity, 16);
        EXPECT_EQ((*lib)->refreshlist(), 1);
        EXPECT_EQ((*lib)->initialization(), 0);
        EXPECT_EQ((*lib)->finalization(), 0);
        EXPECT_EQ((*lib)->geterrno(msg, sizeof msg), 1);
        EXPECT_STREQ(msg, "unimplemented function");
        unload();
    }
}

}  // namespace
}  // namespace kp28test
