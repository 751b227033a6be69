// The updater against what it must survive: a printer that stops reading,
// signals and a console reader that goes away, hostile servers, files that
// are not images or not files, and names in the working directory that
// someone else has taken.
#include <gtest/gtest.h>
#include <kp28/crc32.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <test_servers.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <random>

#include "updater_rig.h"

namespace fwtest {
namespace {

using Lines = std::vector<std::string>;
using kp28sim::Direction;
using kp28sim::LinkKind;
using namespace std::chrono_literals;

std::string elf_image(std::size_t size) {
    std::string s(size, '\0');
    std::mt19937 rng(7);
    for (char& c : s) c = static_cast<char>('A' + rng() % 16);
    s.replace(0, 4,
              "\x7F"
              "ELF");
    s.replace(64, 12, "KP28FW:2.00B");
    return s;
}

std::string image_header() {
    std::string h(256, '\0');
    h.replace(0, 12, "KP28FW:3.00C");
    h.replace(252, 4, "\x87\x28\x89\x09");
    return h;
}

bool contains(const Lines& lines, const std::string& text) {
    for (const auto& l : lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

void expect_no_temp_files(const UpdaterRig& rig) {
    EXPECT_TRUE(rig.files_starting_with("_image_").empty());
    EXPECT_TRUE(rig.files_starting_with("_ftp_image").empty());
    EXPECT_TRUE(rig.files_starting_with("_http_image").empty());
}

// What the printer reads before the first byte of image data: the version
// query, enter DLL mode, the size command with its header, the data command.
constexpr std::size_t kBeforeHeaderData = 7 + 8 + 13 + 256 + 9;
// Far more than a pseudo-terminal buffers, so a stalled reader blocks the writer.
const std::string kLargeImage = image_header() + elf_image(1 << 20);

kp28sim::PrinterConfig stalling_printer() {
    auto cfg = UpdaterRig::usb_printer();
    cfg.faults.stall_after_bytes = kBeforeHeaderData + 1000;
    return cfg;
}

TEST(StalledPrinter, WriteLimitEndsTheDownloadAndRemovesTheTemporaryFile) {
    UpdaterRig rig;
    rig.add_printer(stalling_printer());
    rig.env["KP28FW_WRITE_TIMEOUT_MS"] = "1000";
    rig.write_file("fw.img", kLargeImage);
    RunResult r = rig.run({"-protocol", "share", "-url", "fw.img", "-log", "log.txt"}, 30s);
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_LT(r.child.seconds, 15.0);
    ASSERT_GE(r.log.size(), 3u);
    EXPECT_EQ(Lines(r.log.end() - 3, r.log.end()),
              (Lines{"Sending image data to printer", "Sending abort DLL mode command to printer",
                     "Printer Reply Code : 0x0"}));
    EXPECT_EQ(r.console, Lines{"Update Failure"});
    expect_no_temp_files(rig);
}

// ---- signals ----

struct SignalCase {
    const char* name;
    int sig;
    std::string announced;
};
void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

class Interrupted : public ::testing::TestWithParam<SignalCase> {};

TEST_P(Interrupted, RunEndsThroughItsFailurePathWithoutTemporaryFiles) {
    const SignalCase& c = GetParam();
    UpdaterRig rig;
    auto& printer = rig.add_printer(stalling_printer());
    // Only the signal can end this run in time.
    rig.env["KP28FW_WRITE_TIMEOUT_MS"] = "120000";
    rig.write_file("fw.img", kLargeImage);
    ChildOptions options;
    options.while_running = [&](pid_t pid) {
        const std::size_t stalled_at = kBeforeHeaderData + 1000;
        if (printer.wait_until(
                [&] {
                    return printer.bytes(LinkKind::Usb, Direction::ToPrinter).size() >= stalled_at;
                },
                20s))
            ::kill(pid, c.sig);
    };
    RunResult r =
        rig.run({"-protocol", "share", "-url", "fw.img", "-log", "log.txt"}, 40s, options);
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_LT(r.child.seconds, 20.0);
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(r.log.back(), c.announced);
    EXPECT_TRUE(contains(r.log, "Sending abort DLL mode command to printer"));
    EXPECT_EQ(r.console, Lines{"Update Failure"});
    expect_no_temp_files(rig);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted,
                         ::testing::Values(SignalCase{"Sigint", SIGINT, "Interrupted by SIGINT"},
                                           SignalCase{"Sigterm", SIGTERM, "Interrupted by SIGTERM"},
                                           SignalCase{"Sighup", SIGHUP, "Interrupted by SIGHUP"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ClosedConsole, JobGoesOnAndTheLogGetsEveryLine) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    const std::string image = elf_image(20000);
    rig.write_file("fw.img", image);
    ChildOptions options;
    options.close_out_after = 40;  // as `Kp28FWUpdate ... -v | head -c 40`
    RunResult r =
        rig.run({"-protocol", "share", "-url", "fw.img", "-log", "log.txt", "-v"}, 40s, options);
    EXPECT_EQ(r.child.exit_code, 0);
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(r.log.back(), "Firmware update successfully completed");
    EXPECT_TRUE(printer.last_image().data == to_bytes(image));
}

// ---- hostile servers ----

struct ServerCase {
    const char* name;
    std::function<std::unique_ptr<kp28test::ServerProcess>(kp28test::ScratchDir&)> server;
    std::string protocol;
    std::string reason;  // the start of the line announced before the result text
};
void PrintTo(const ServerCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileServer : public ::testing::TestWithParam<ServerCase> {};

TEST_P(HostileServer, FetchIsGivenUpWithItsReasonAndNoFile) {
    const ServerCase& c = GetParam();
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    rig.env["KP28FW_RATE_WINDOW_MS"] = "1500";
    kp28test::ScratchDir srv;
    srv.write_file("fw.img", elf_image(20000));
    auto server = c.server(srv);
    RunResult r = rig.run({"-protocol", c.protocol, "-url", server->url("/fw.img"), "-port",
                           std::to_string(server->port()), "-log", "log.txt"},
                          30s);
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_LT(r.child.seconds, 15.0);
    EXPECT_EQ(r.console, Lines{"Write Failure"});
    ASSERT_EQ(r.log.size(), 2u);
    EXPECT_EQ(r.log[1].substr(0, c.reason.size()), c.reason) << r.log[1];
    EXPECT_TRUE(printer.transcript().empty());
    expect_no_temp_files(rig);
}

const std::string kTooLarge =
    "The server announced 1099511627776 bytes, more than the largest image (4294967295 bytes)";
const std::string kTooSlow = "The server sent ";

INSTANTIATE_TEST_SUITE_P(
    Servers, HostileServer,
    ::testing::Values(ServerCase{"HttpTerabyteAnnounced",
                                 [](kp28test::ScratchDir& d) {
                                     return std::make_unique<kp28test::FaultyHttpServer>(
                                         kp28test::FaultyHttpServerOptions{
                                             .root = d.path(),
                                             .fault = kp28test::HttpFault::huge_length});
                                 },
                                 "http", kTooLarge},
                      ServerCase{"HttpDrip",
                                 [](kp28test::ScratchDir& d) {
                                     return std::make_unique<kp28test::FaultyHttpServer>(
                                         kp28test::FaultyHttpServerOptions{
                                             .root = d.path(), .fault = kp28test::HttpFault::drip});
                                 },
                                 "http", kTooSlow},
                      ServerCase{"FtpTerabyteAnnounced",
                                 [](kp28test::ScratchDir&) {
                                     return std::make_unique<kp28test::HostileFtpServer>(
                                         kp28test::FtpFault::huge_size);
                                 },
                                 "ftp", kTooLarge},
                      ServerCase{"FtpDrip",
                                 [](kp28test::ScratchDir&) {
                                     return std::make_unique<kp28test::HostileFtpServer>(
                                         kp28test::FtpFault::drip);
                                 },
                                 "ftp", kTooSlow}),
    [](const auto& p) { return std::string(p.param.name); });

// The names in the rig's working directory that start with prefix, once there
// is one: the server may have sent bytes that the updater has not yet stored.
// Empty when none appears within the limit.
std::vector<std::string> wait_for_files(const UpdaterRig& rig, const std::string& prefix,
                                        std::chrono::milliseconds limit) {
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0) return rig.files_starting_with(prefix);
    ::inotify_add_watch(watch, rig.workdir().c_str(), IN_CREATE | IN_MOVED_TO);
    const auto end = std::chrono::steady_clock::now() + limit;
    std::vector<std::string> names = rig.files_starting_with(prefix);
    while (names.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd p{watch, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) > 0) {
            char events[4096];
            while (::read(watch, events, sizeof events) > 0) {
            }
        }
        names = rig.files_starting_with(prefix);
    }
    ::close(watch);
    return names;
}

TEST(FetchedImage, FileSwappedWhileItArrivesIsNotLoaded) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    kp28test::ScratchDir srv;
    srv.write_file("fw.img", elf_image(20000));
    kp28test::FaultyHttpServer http({.root = srv.path(), .fault = kp28test::HttpFault::gate});
    ChildOptions options;
    options.while_running = [&](pid_t) {
        if (!http.wait_for_log("HALF SENT", 20s)) return;
        // Someone who can write to the working directory puts an image of
        // their own under the name the updater is writing.
        for (const std::string& name : wait_for_files(rig, "_http_image", 20s)) {
            rig.write_file("planted", elf_image(20000) + "planted");
            std::filesystem::rename(rig.path("planted"), rig.path(name));
        }
        srv.write_file("go", "");
    };
    RunResult r = rig.run({"-protocol", "http", "-url", http.url("/fw.img"), "-port",
                           std::to_string(http.port()), "-log", "log.txt"},
                          30s, options);
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_TRUE(contains(r.log, "The fetched image was replaced before it was read: "))
        << r.child.out;
    EXPECT_EQ(r.console, Lines{"Update Failure"});
    EXPECT_EQ(printer.last_image().size, 0u) << "the planted image reached the printer";
    expect_no_temp_files(rig);
}

// ---- files that are not firmware, or not files ----

// A boot image of its magic and a checksum that matches 56 missing bytes
// read as zeros.
std::string eight_byte_boot_image() {
    std::string head(64, '\0');
    head.replace(0, 4, "\x27\x05\x19\x56");
    const std::uint32_t crc = kp28::crc32(0, head.data(), head.size());
    std::string file = head.substr(0, 4);
    for (int shift = 24; shift >= 0; shift -= 8)
        file.push_back(static_cast<char>((crc >> shift) & 0xFF));
    return file;
}

struct NotAnImageCase {
    const char* name;
    std::string file;
    std::string kind_message;
};
void PrintTo(const NotAnImageCase& c, std::ostream* os) {
    *os << c.name;
}

class NotAnImage : public ::testing::TestWithParam<NotAnImageCase> {};

TEST_P(NotAnImage, IsRefusedBeforeAnythingIsSent) {
    const NotAnImageCase& c = GetParam();
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    rig.write_file("fw.img", c.file);
    RunResult r = rig.run({"-protocol", "share", "-url", "fw.img", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_EQ(r.log, (Lines{"Connecting to printer", "Retrieving Firmware Version",
                            "Current Firmware Version : 1.00A", c.kind_message,
                            "Input Image Bad CRC Code"}));
    EXPECT_EQ(r.console, Lines{"Update Failure"});
    EXPECT_EQ(printer.bytes(LinkKind::Usb, Direction::ToPrinter).size(), 7u)
        << "only the version query";
    expect_no_temp_files(rig);
}

INSTANTIATE_TEST_SUITE_P(
    Files, NotAnImage,
    ::testing::Values(NotAnImageCase{"BootImageShorterThanItsHeader", eight_byte_boot_image(),
                                     "Processing KP28Plus image file"},
                      NotAnImageCase{"HeaderWithoutData", image_header(),
                                     "Processing clear image file with header"}),
    [](const auto& p) { return std::string(p.param.name); });

struct NotAFileCase {
    const char* name;
    std::function<std::string(UpdaterRig&)> make;  // returns the -url value
};
void PrintTo(const NotAFileCase& c, std::ostream* os) {
    *os << c.name;
}

class NotAFile : public ::testing::TestWithParam<NotAFileCase> {};

TEST_P(NotAFile, IsRefusedAtOnce) {
    const NotAFileCase& c = GetParam();
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    const std::string url = c.make(rig);
    RunResult r = rig.run({"-protocol", "share", "-url", url, "-log", "log.txt"}, 20s);
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_LT(r.child.seconds, 10.0);
    EXPECT_EQ(r.console, Lines{"Connect Failure"});
    EXPECT_EQ(r.log, (Lines{"Connecting to printer", "Not a regular file: " + url}));
    EXPECT_TRUE(printer.transcript().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, NotAFile,
    ::testing::Values(NotAFileCase{"Fifo",
                                   [](UpdaterRig& rig) {
                                       EXPECT_EQ(::mkfifo(rig.path("fw.fifo").c_str(), 0600), 0);
                                       return std::string("fw.fifo");
                                   }},
                      NotAFileCase{"Directory",
                                   [](UpdaterRig& rig) {
                                       std::filesystem::create_directory(rig.path("fw.d"));
                                       return std::string("fw.d");
                                   }},
                      NotAFileCase{"CharacterDevice",
                                   [](UpdaterRig&) { return std::string("/dev/null"); }}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- sizes ----

TEST(Sizes, HugeBufferSizeSendsASmallImageInOneModestWrite) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    rig.write_file("KP28FWUpdate.ini", "[GENERAL]\nBufferSize = 2147483647\n");
    const std::string image = elf_image(20000);
    rig.write_file("fw.img", image);
    RunResult r = rig.run({"-protocol", "share", "-url", "fw.img", "-v"});
    EXPECT_EQ(r.child.exit_code, 0) << r.child.out;
    const auto at = std::find(r.console.begin(), r.console.end(), "Sending image data to printer");
    ASSERT_NE(at, r.console.end());
    ASSERT_NE(at + 1, r.console.end());
    EXPECT_EQ(at[1], "# total = 20000\r");
    EXPECT_TRUE(printer.last_image().data == to_bytes(image));
    EXPECT_LT(r.child.max_rss_kib, 256 * 1024) << "the chunk follows the image, not BufferSize";
}

TEST(Sizes, CompressedFileTooLargeToUnpackIsRefusedUnread) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    // A gzip member header after four bytes, then a gigabyte of nothing.
    rig.write_file("fw.img", std::string("ABCD\x1F\x8B\x08\x08\0\0\0\0\0\x03"
                                         "fw\0",
                                         17));
    std::filesystem::resize_file(rig.path("fw.img"), 1ull << 30);
    RunResult r = rig.run({"-protocol", "share", "-url", "fw.img", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 1);
    ASSERT_GE(r.log.size(), 2u);
    EXPECT_EQ(Lines(r.log.end() - 2, r.log.end()),
              (Lines{"Processing zipped image file without the header", "File too large"}));
    EXPECT_LT(r.child.max_rss_kib, 256 * 1024);
    EXPECT_EQ(printer.bytes(LinkKind::Usb, Direction::ToPrinter).size(), 7u);
    expect_no_temp_files(rig);
}

// ---- names taken in the working directory ----

TEST(TakenName, DirectoryInPlaceOfTheTemporaryFileIsNamed) {
    UpdaterRig rig;
    rig.add_printer();
    rig.write_file("fw.img", image_header() + elf_image(20000));
    std::string planted;
    ChildOptions options;
    // The name carries the updater's process id, known once it is started
    // and long before it gets to the image.
    options.while_running = [&](pid_t pid) {
        planted = rig.path("_image_" + std::to_string(pid) + ".clear");
        std::filesystem::create_directory(planted);
    };
    RunResult r =
        rig.run({"-protocol", "share", "-url", "fw.img", "-log", "log.txt"}, 40s, options);
    EXPECT_EQ(r.child.exit_code, 1);
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(r.log.back(), "Temporary file " + planted + ": Is a directory");
    EXPECT_EQ(r.console, Lines{"Update Failure"});
}

}  // namespace
}  // namespace fwtest
