// Which USB printers discovery keeps, in which order, and how CHUNK_SIZE
// shapes the reads.
#include <chrono>

#include "wrap_test_base.h"

namespace kp28test {
namespace {

using namespace std::chrono_literals;

class DiscoveryTest : public WrapTest {
  protected:
    std::vector<std::string> listed() {
        const char* paths[16] = {};
        int capacity = 16;
        std::vector<std::string> out;
        if ((*lib)->list(&capacity, paths) != 0) return out;
        for (int i = 0; i < capacity; ++i) out.emplace_back(paths[i]);
        return out;
    }
};

struct FilterCase {
    const char* what;
    kp28::UsbIdentity id;
    std::optional<std::string> all_printers_good;
    bool kept;
};

TEST_F(DiscoveryTest, FilterKeepsMakerVendorAndKnownProductsOnly) {
    const FilterCase cases[] = {
        {"known product a15f", usb_id("3509", "a15f"), std::nullopt, true},
        {"every known product", usb_id("3509", "3a4b"), std::nullopt, true},
        {"unknown product", usb_id("3509", "1234"), std::nullopt, false},
        {"other vendor", usb_id("04b8", "0140"), std::nullopt, false},
        {"vendor text only in upper case", usb_id("1234", "0005", "VID_3509&PID_A15F"),
         std::nullopt, false},
        {"upper-case product digits", usb_id("3509", "A15F"), std::nullopt, false},
        {"product text found in the serial", usb_id("3509", "1234", "pid_8b0d"), std::nullopt,
         true},
        {"accept-all keeps other vendors", usb_id("04b8", "0005"), std::string("1"), true},
        {"accept-all keeps upper case", usb_id("1234", "0005", "VID_3509"), std::string("1"), true},
        {"yes is not 1", usb_id("04b8", "0005"), std::string("yes"), false},
        {"01 is not 1", usb_id("04b8", "0005"), std::string("01"), false},
        {"true is not 1", usb_id("04b8", "0005"), std::string("true"), false},
        {"empty is not 1", usb_id("04b8", "0005"), std::string(""), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kp28::FakeSysroot tree;
        tree.add_usb_printer(0, c.id);
        ScopedEnv env_case({{"KP28_SYSROOT", tree.root()},
                            {"ALL_PRINTERS_GOOD", c.all_printers_good},
                            {"KP28WRAP_MODE", std::nullopt},
                            {"CHUNK_SIZE", std::nullopt},
                            {"KP28WRAP_DEBUG_OUT", std::nullopt}});
        WrapLibrary l;
        int capacity = 16;
        const char* paths[16] = {};
        EXPECT_EQ(l->list(&capacity, paths), c.kept ? 0 : KP28WRAP_E_NO_PRINTERS);
        if (c.kept) {
            EXPECT_EQ(capacity, 1);
        }
    }
}

TEST_F(DiscoveryTest, PrintersComeInAscendingNodeOrder) {
    root.add_usb_printer(10, usb_id("3509", "0140", "TEN"));
    root.add_usb_printer(2, usb_id("3509", "a244", "TWO"));
    root.add_usb_printer(9, usb_id("04b8", "0140", "OTHER"));
    root.add_usb_printer(1, usb_id("3509", "8b0d", "ONE"));
    load();
    EXPECT_EQ(listed(), (std::vector<std::string>{
                            "usb#vid_3509&pid_8b0d#ONE#/dev/usb/lp1",
                            "usb#vid_3509&pid_a244#TWO#/dev/usb/lp2",
                            "usb#vid_3509&pid_0140#TEN#/dev/usb/lp10",
                        }));
}

TEST_F(DiscoveryTest, NonPrinterEntriesOfTheClassAreIgnored) {
    root.add_usb_printer(0);
    std::filesystem::create_directories(root.path("sys/class/usbmisc/hiddev0"));
    std::filesystem::create_directories(root.path("sys/class/usbmisc/lpx"));
    load({{"ALL_PRINTERS_GOOD", "1"}});
    EXPECT_EQ(listed().size(), 1u);
}

TEST_F(DiscoveryTest, SeventeenthPrinterIsNotTaken) {
    for (int n = 0; n < 17; ++n)
        root.add_usb_printer(n, usb_id("3509", "ef15", "S" + std::to_string(n)));
    load();
    const auto paths = listed();
    ASSERT_EQ(paths.size(), 16u);
    EXPECT_EQ(paths[15], "usb#vid_3509&pid_ef15#S15#/dev/usb/lp15");
    // Every one of the sixteen can hold its own DOOR at once.
    std::vector<KP28_DOOR> doors;
    for (int i = 0; i < 16; ++i) doors.push_back(connect(i));
    EXPECT_EQ(doors.back(), 0x0D00200Fu);
    KP28_DOOR extra = 0;
    EXPECT_EQ((*lib)->connect(&extra, 16), KP28WRAP_E_INVALID_INDEX);
    for (auto& d : doors) EXPECT_EQ((*lib)->disconnect(&d), 0);
}

TEST_F(DiscoveryTest, RefreshEmptiesRecordsOfPrintersThatLeft) {
    root.add_usb_printer(0);
    root.add_usb_printer(1);
    load();
    ASSERT_EQ(listed().size(), 2u);
    std::filesystem::remove_all(root.path("sys/class/usbmisc/lp1"));
    EXPECT_EQ((*lib)->refreshlist(), 0);
    EXPECT_EQ(listed().size(), 1u);
    KP28_DOOR door = 0;
    EXPECT_EQ((*lib)->connect(&door, 1), KP28WRAP_E_INVALID_INDEX);
}

// What the printer sends and what two reads in a row get show the transfer
// length: a read asks the device for its length rounded up to whole chunks,
// and bytes past the caller's length are dropped.
struct ChunkCase {
    std::optional<std::string> chunk_size;
    std::string first;   // a read of 10 bytes out of a 20-byte reply
    std::string second;  // what a following read gets ("" = nothing left)
};

TEST_F(DiscoveryTest, ChunkSizeDecidesHowMuchAReadTakesFromTheDevice) {
    const std::string reply = "0123456789abcdefghij";
    const ChunkCase cases[] = {
        {std::nullopt, "0123456789", ""},  // 512: the read takes all 20
        {std::string("1024"), "0123456789", ""},
        {std::string("abc"), "0123456789", ""},          // no number: 512
        {std::string("0"), "0123456789", "abcdefghij"},  // rounding off
        {std::string("5"), "0123456789", "abcdefghij"},  // 10 is whole chunks
        {std::string("4"), "0123456789", "cdefghij"},    // 12 taken, 2 dropped
        {std::string("16"), "0123456789", "ghij"},       // 16 taken, 6 dropped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chunk_size.value_or("(unset)"));
        kp28::FakeSysroot tree;
        auto& pty = tree.add_usb_printer(0);
        ScopedEnv env_case({{"KP28_SYSROOT", tree.root()},
                            {"CHUNK_SIZE", c.chunk_size},
                            {"KP28WRAP_MODE", std::nullopt},
                            {"ALL_PRINTERS_GOOD", std::nullopt},
                            {"KP28WRAP_DEBUG_OUT", std::nullopt}});
        WrapLibrary l;
        KP28_DOOR door = 0;
        ASSERT_EQ(l->connect(&door, 0), 0);
        write_master(pty.master(), reply);
        char buf[64] = {};
        unsigned count = 0;
        ASSERT_EQ(l->read(door, buf, 10, &count, -1), 0);
        EXPECT_EQ(std::string(buf, count), c.first);
        const int32_t rc = l->read(door, buf, 64, &count, 100);
        if (c.second.empty()) {
            EXPECT_EQ(rc, KP28WRAP_E_TIMEOUT);
            EXPECT_EQ(count, 0u);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(std::string(buf, count), c.second);
        }
        ASSERT_EQ(l->disconnect(&door), 0);
    }
}

TEST_F(DiscoveryTest, NegativeChunkSizeMakesEveryReadFailForMemory) {
    auto& pty = root.add_usb_printer(0);
    load({{"CHUNK_SIZE", "-1"}});
    KP28_DOOR door = connect(0);
    write_master(pty.master(), "reply");
    for (int timeout : {-1, 200}) {
        SCOPED_TRACE(timeout);
        int32_t rc = 0;
        EXPECT_EQ(read(door, 10, timeout, rc), "");
        EXPECT_EQ(rc, KP28WRAP_E_NO_MEMORY);
        EXPECT_EQ(lib->message(), "cannot allocate memory");
    }
    // Writes are not rounded and still work.
    EXPECT_EQ(write(door, "abc", 1000), 0);
}

TEST_F(DiscoveryTest, ReadOfWholeChunksGoesStraightThrough) {
    auto& pty = root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    const std::string reply(1500, 'r');
    write_master(pty.master(), reply);
    int32_t rc = -1;
    std::string got = read(door, 1024, -1, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(got.size(), 1024u);
    // 1024 is two whole chunks: the device was asked for 1024, so the rest waits.
    got = read(door, 1024, -1, rc);
    EXPECT_EQ(got.size(), 476u);
}

}  // namespace
}  // namespace kp28test
