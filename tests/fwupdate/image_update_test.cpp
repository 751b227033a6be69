// Firmware updates end to end: images of every layout from a share path, a
// loopback HTTP server and a loopback FTP server, loaded into the virtual
// printer, with the bytes it received compared against the original.
#include <gtest/gtest.h>
#include <test_servers.h>

#include <algorithm>
#include <mutex>
#include <ostream>
#include <random>
#include <regex>

#include "updater_rig.h"

namespace fwtest {
namespace {

using Lines = std::vector<std::string>;
using kp28sim::Direction;
using kp28sim::LinkKind;

// ELF-looking data whose version tag the printer takes as its new version.
std::string elf_image(std::size_t size, const std::string& version = "2.00B", unsigned seed = 1) {
    std::string s(size, '\0');
    std::mt19937 rng(seed);
    for (char& c : s) c = static_cast<char>(rng() % 7 == 0 ? rng() & 0xFF : 'A' + rng() % 4);
    s.replace(0, 4,
              "\x7F"
              "ELF");
    s.replace(64, 12, "KP28FW:" + version);
    return s;
}

std::string image_header(const std::string& version = "3.00C") {
    std::string h(256, '\0');
    h.replace(0, 12, "KP28FW:" + version);
    h.replace(252, 4, "\x87\x28\x89\x09");
    return h;
}

// gzip with the file name stored, as the images are made.
std::string gzip_named(UpdaterRig& rig, const std::string& data, const char* level = "-9") {
    rig.write_file("payload.bin", data);
    ChildResult r = run_child({"/bin/gzip", level, "-f", "payload.bin"}, {}, rig.workdir(),
                              std::chrono::seconds(20));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string gz = read_file(rig.path("payload.bin.gz"));
    std::remove(rig.path("payload.bin.gz").c_str());
    return gz;
}

Lines update_lines(const std::string& kind_message, std::size_t size,
                   const std::string& new_version) {
    return {"Connecting to printer",
            "Retrieving Firmware Version",
            "Current Firmware Version : 1.00A",
            kind_message,
            "Enter DLL Mode",
            "File size : " + std::to_string(size),
            "Sending image file header to printer",
            "Sending image data to printer",
            "Sending write flash command to printer",
            "Waiting for the printer to reboot",
            "New Firmware Version : " + new_version,
            "The printer is up and running",
            "Firmware update successfully completed"};
}

void expect_no_temp_files(const UpdaterRig& rig) {
    EXPECT_TRUE(rig.files_starting_with("_image_").empty());
    EXPECT_TRUE(rig.files_starting_with("_ftp_image").empty());
    EXPECT_TRUE(rig.files_starting_with("_http_image").empty());
}

struct ShareCase {
    const char* name;
    std::function<std::string(UpdaterRig&)> file;  // the image file's bytes
    std::string message;
    std::function<std::string()> data;  // what the printer must receive after the data command
    bool header;
    std::string version;
    std::string temp_suffix;  // the temporary data file while the image goes out, "" for none
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const ShareCase& c, std::ostream* os) {
    *os << c.name;
}

class ShareUpdate : public ::testing::TestWithParam<ShareCase> {};

TEST_P(ShareUpdate, PrinterReceivesTheImageItsLayoutPromises) {
    const ShareCase& c = GetParam();
    UpdaterRig rig;
    // What lies in the working directory while the printer takes the data.
    std::mutex seen_mutex;
    std::vector<std::string> seen;
    auto cfg = UpdaterRig::usb_printer();
    cfg.on_event = [&](const std::string& event) {
        if (event.rfind("receiving", 0) != 0) return;
        std::lock_guard<std::mutex> lock(seen_mutex);
        seen = rig.files_starting_with("_image_");
    };
    auto& printer = rig.add_printer(cfg);
    const std::string file = c.file(rig);
    rig.write_file("fw.img", file);
    RunResult r = rig.run({"-protocol", "share", "-url", "fw.img", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 0) << r.child.out;
    const std::string data = c.data();
    EXPECT_EQ(r.log, update_lines(c.message, data.size(), c.version));
    const kp28sim::LoadedImage got = printer.last_image();
    EXPECT_TRUE(got.complete);
    EXPECT_EQ(got.size, data.size());
    EXPECT_TRUE(got.data == to_bytes(data))
        << "the data the printer received differs from the image";
    ASSERT_EQ(got.header.has_value(), c.header);
    if (c.header) {
        EXPECT_EQ(std::string(got.header->begin(), got.header->end()), file.substr(0, 256));
    }
    EXPECT_EQ(printer.firmware_version(), c.version);
    expect_no_temp_files(rig);
    EXPECT_EQ(read_file(rig.path("fw.img")), file) << "a share image is used in place, unchanged";
    std::lock_guard<std::mutex> lock(seen_mutex);
    if (c.temp_suffix.empty()) {
        EXPECT_TRUE(seen.empty());
    } else {
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(std::regex_match(seen[0], std::regex("_image_[1-9][0-9]*\\" + c.temp_suffix)))
            << seen[0];
    }
}

const std::string kElf = elf_image(20000);

INSTANTIATE_TEST_SUITE_P(
    Layouts, ShareUpdate,
    ::testing::Values(
        ShareCase{"ClearWithoutHeaderIsSentWhole", [](UpdaterRig&) { return kElf; },
                  "Processing clear image file without the header", [] { return kElf; }, false,
                  "2.00B", ""},
        ShareCase{"ClearWithHeaderSendsHeaderAndTheRest",
                  [](UpdaterRig&) { return image_header() + kElf; },
                  "Processing clear image file with header", [] { return kElf; }, true, "3.00C",
                  ".clear"},
        ShareCase{"ZippedWithoutHeaderIsUnpacked",
                  [](UpdaterRig& rig) { return std::string("ABCD") + gzip_named(rig, kElf); },
                  "Processing zipped image file without the header", [] { return kElf; }, false,
                  "2.00B", ".gunzip"},
        ShareCase{"ZippedWithHeaderSendsHeaderAndUnpackedData",
                  [](UpdaterRig& rig) { return image_header() + gzip_named(rig, kElf, "-1"); },
                  "Processing zipped image file with header", [] { return kElf; }, true, "3.00C",
                  ".gunzip"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ShareUpdate, BootImageMadeByMkimageIsSentWhole) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    rig.write_file("kernel.bin", elf_image(30000, "4.00D"));
    ChildResult mk =
        run_child({"/usr/bin/mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "none",
                   "-a", "0", "-e", "0", "-n", "kp28", "-d", "kernel.bin", "boot.img"},
                  {}, rig.workdir(), std::chrono::seconds(20));
    ASSERT_EQ(mk.exit_code, 0) << mk.err;
    const std::string boot = read_file(rig.path("boot.img"));
    RunResult r = rig.run({"-protocol", "share", "-url", "boot.img", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 0);
    EXPECT_EQ(r.log, update_lines("Processing KP28Plus image file", boot.size(), "4.00D"));
    EXPECT_TRUE(printer.last_image().data == to_bytes(boot));

    // One changed byte of the header breaks its checksum: nothing is sent.
    std::string bad = boot;
    bad[40] ^= 0x01;
    rig.write_file("bad.img", bad);
    std::remove(rig.path("log.txt").c_str());
    r = rig.run({"-protocol", "share", "-url", "bad.img", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_EQ(r.log, (Lines{"Connecting to printer", "Retrieving Firmware Version",
                            "Current Firmware Version : 4.00D", "Processing KP28Plus image file",
                            "Input Image Bad CRC Code"}));
}

// The counter line shows the chunks: each "# total" is one write.
struct ChunkCase {
    const char* name;
    std::string ini;
    std::size_t size;
    std::string counter;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const ChunkCase& c, std::ostream* os) {
    *os << c.name;
}

class Chunking : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(Chunking, ImageGoesOutInBufferSizedWrites) {
    const ChunkCase& c = GetParam();
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    if (!c.ini.empty()) rig.write_file("KP28FWUpdate.ini", c.ini);
    const std::string image = elf_image(c.size);
    rig.write_file("fw.img", image);
    RunResult r = rig.run({"-protocol", "share", "-url", "fw.img", "-v"});
    EXPECT_EQ(r.child.exit_code, 0);
    const auto at = std::find(r.console.begin(), r.console.end(), "Sending image data to printer");
    ASSERT_NE(at, r.console.end());
    ASSERT_NE(at + 1, r.console.end());
    EXPECT_EQ(at[1], c.counter);
    EXPECT_EQ(at[2], "Sending write flash command to printer");
    EXPECT_TRUE(printer.last_image().data == to_bytes(image));
}

INSTANTIATE_TEST_SUITE_P(
    BufferSize, Chunking,
    ::testing::Values(ChunkCase{"DefaultChunkOf8192", "", 20000,
                                "# total = 8192\r# total = 16384\r# total = 20000\r"},
                      ChunkCase{"MultipleOfTheChunkEndsWithAnEmptyWrite", "", 16384,
                                "# total = 8192\r# total = 16384\r# total = 16384\r"},
                      ChunkCase{"BufferSizeFromIni", "[GENERAL]\nBufferSize = 4096\n", 10000,
                                "# total = 4096\r# total = 8192\r# total = 10000\r"}),
    [](const auto& p) { return std::string(p.param.name); });

struct FailureCase {
    const char* name;
    std::function<std::string(UpdaterRig&)> file;
    std::function<void(kp28sim::PrinterConfig&)> printer;
    Lines tail;  // the log's last lines
    std::string console;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(UpdateFailures, AnnounceWhyLeaveNoTemporaryFileAndEndWithOne) {
    const FailureCase& c = GetParam();
    UpdaterRig rig;
    auto cfg = UpdaterRig::usb_printer();
    if (c.printer) c.printer(cfg);
    rig.add_printer(cfg);
    rig.write_file("fw.img", c.file(rig));
    RunResult r =
        rig.run({"-protocol", "share", "-url", "fw.img", "-log", "log.txt", "-uid", "NEVER"});
    EXPECT_EQ(r.child.exit_code, 1);
    ASSERT_GE(r.log.size(), c.tail.size());
    EXPECT_EQ(Lines(r.log.end() - static_cast<long>(c.tail.size()), r.log.end()), c.tail);
    EXPECT_EQ(r.console, Lines{c.console});
    for (const auto& l : r.log)
        EXPECT_NE(l, "Retrieving Product Name") << "the identifier follows a failed load";
    expect_no_temp_files(rig);
}

std::string damaged_gzip(UpdaterRig& rig) {
    std::string gz = gzip_named(rig, kElf);
    gz[gz.size() - 8] ^= 0x01;  // first byte of the trailer's CRC-32
    return image_header() + gz;
}

std::size_t bytes_before_data_ack(std::size_t image) {
    return 7 + 10 + 8 + 6 + 13 + 6 + 9 + image;  // version, enter, size, data command and data
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateFailures,
    ::testing::Values(
        FailureCase{"DamagedGzipSaysWhy",
                    damaged_gzip,
                    nullptr,
                    {"Processing zipped image file with header", "crc error"},
                    "Update Failure"},
        // More than the 8 MiB unpacking buffer: refused, never written past it.
        FailureCase{"ZippedImageTooLargeToUnpack",
                    [](UpdaterRig& rig) {
                        return std::string("ABCD") +
                               gzip_named(rig, kElf + std::string(8388608, '\0'));
                    },
                    nullptr,
                    {"Processing zipped image file without the header",
                     "unpacked data exceeds the 8388608-byte buffer"},
                    "Update Failure"},
        FailureCase{"UnknownLayout",
                    [](UpdaterRig&) { return std::string(4096, 'z'); },
                    nullptr,
                    {"Current Firmware Version : 1.00A", "Input Image Bad ELF Code"},
                    "Update Failure"},
        FailureCase{"ZippedWithHeaderWithoutMagic",
                    [](UpdaterRig& rig) { return std::string(256, 'h') + gzip_named(rig, kElf); },
                    nullptr,
                    {"Processing zipped image file with header", "Input Image Bad CRC Code"},
                    "Update Failure"},
        FailureCase{
            "ZeroTokenRefusesDllMode",
            [](UpdaterRig&) { return kElf; },
            [](kp28sim::PrinterConfig& c) { c.faults.zero_token = true; },
            {"Enter DLL Mode", "The printer is unable to start the firmware update process"},
            "Update Failure"},
        FailureCase{
            "WrongAckByteOnTheSizeCommand",
            [](UpdaterRig&) { return kElf; },
            [](kp28sim::PrinterConfig& c) { c.faults.ack_byte = 0x05; },
            {"Sending image file header to printer", "Sending abort DLL mode command to printer",
             "Invalid image file header", "Printer Reply Code : 0x5"},
            "Update Failure"},
        FailureCase{"ZippedImageRefusedByThePrinter",
                    [](UpdaterRig& rig) { return std::string("ABCD") + gzip_named(rig, kElf); },
                    [](kp28sim::PrinterConfig& c) { c.faults.ack_byte = 0x05; },
                    {"Invalid image file header", "Printer Reply Code : 0x5"},
                    "Update Failure"},
        FailureCase{"SameVersionAfterLoad",
                    [](UpdaterRig&) { return kElf; },
                    [](kp28sim::PrinterConfig& c) { c.version_rule = kp28sim::VersionRule::Keep; },
                    {"New Firmware Version : 1.00A", "The printer failed to update the firmware"},
                    "Update Failure"},
        // The printer goes quiet once the image is in: the bounded wait for
        // its acknowledgement ends the job.
        FailureCase{"SilentAfterDataEndsByTheAcknowledgementLimit",
                    [](UpdaterRig&) { return kElf; },
                    [](kp28sim::PrinterConfig& c) {
                        c.faults.cut_after_bytes = bytes_before_data_ack(kElf.size());
                    },
                    {"Sending image data to printer", "Sending abort DLL mode command to printer",
                     "Printer Reply Code : 0x0"},
                    "Update Failure"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(UpdateThenUsbId, IdentifierIsRecordedAfterTheLoad) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    rig.write_file("fw.img", kElf);
    RunResult r =
        rig.run({"-protocol", "share", "-url", "fw.img", "-uid", "NEWID", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 0);
    const auto done =
        std::find(r.log.begin(), r.log.end(), "Firmware update successfully completed");
    const auto id = std::find(r.log.begin(), r.log.end(), "Retrieving Product Name");
    EXPECT_LT(done, id);
    EXPECT_EQ(r.log.back(), "Printer USB ID updated");
    EXPECT_EQ(printer.usb_id(), "NEWID");
}

// ---- over the network ----

TEST(HttpUpdate, ImageFromLoopbackServerIsLoadedAndItsTemporaryFileRemoved) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    kp28test::ScratchDir srv;
    const std::string gz = std::string("ABCD") + gzip_named(rig, kElf);
    srv.write_file("fw.img", gz);
    kp28test::HttpFileServer http(srv.path());
    RunResult r = rig.run({"-protocol", "http", "-url", http.url("/fw.img"), "-port",
                           std::to_string(http.port()), "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 0) << r.child.out;
    EXPECT_EQ(r.log, update_lines("Processing zipped image file without the header", kElf.size(),
                                  "2.00B"));
    EXPECT_TRUE(printer.last_image().data == to_bytes(kElf));
    expect_no_temp_files(rig);
}

TEST(HttpUpdate, MissingFileIsAWriteFailureWithNothingSent) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    kp28test::ScratchDir srv;
    kp28test::HttpFileServer http(srv.path());
    RunResult r = rig.run({"-protocol", "http", "-url", http.url("/none.img"), "-port",
                           std::to_string(http.port()), "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_EQ(r.console, Lines{"Write Failure"});
    // The reason is logged before the result text, so a 404 reads as one.
    EXPECT_EQ(r.log, (Lines{"Connecting to printer",
                            "The server did not send the file: HTTP/1.0 404 File not found"}));
    EXPECT_TRUE(printer.transcript().empty());
    expect_no_temp_files(rig);
}

TEST(HttpUpdate, AnswerWithoutContentLengthIsAWriteFailureLeavingNoFile) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    kp28test::ScratchDir srv;
    srv.write_file("fw.img", kElf);
    kp28test::FaultyHttpServer http({.root = srv.path(), .fault = kp28test::HttpFault::no_length});
    RunResult r = rig.run(
        {"-protocol", "http", "-url", http.url("/fw.img"), "-port", std::to_string(http.port())});
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_EQ(r.console, Lines{"Write Failure"});
    EXPECT_TRUE(printer.transcript().empty());
    expect_no_temp_files(rig);
}

TEST(HttpUpdate, UnreachableServerIsAConnectFailure) {
    UpdaterRig rig;
    rig.add_printer();
    kp28test::ScratchDir srv;
    std::uint16_t port;
    {
        kp28test::HttpFileServer http(srv.path());
        port = http.port();
    }
    RunResult r = rig.run(
        {"-protocol", "http", "-url", "http://127.0.0.1/fw.img", "-port", std::to_string(port)});
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_EQ(r.console, Lines{"Connect Failure"});
}

TEST(FtpUpdate, ImageFromLoopbackServerWithUserAndPassword) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    kp28test::ScratchDir srv;
    const std::string image = image_header() + kElf;
    srv.write_file("fw.img", image);
    kp28test::FtpServer ftp({.root = srv.path(), .user = "tech", .password = "s3cret"});
    rig.write_file(
        "KP28FWUpdate.ini",
        "[FIRMWARE_DOWNLOAD]\nDefaultProtocol=ftp\nDefaultUser=tech\nDefaultPassword=s3cret\n"
        "DefaultPort=" +
            std::to_string(ftp.port()) + "\n");
    RunResult r = rig.run({"-url", ftp.url("/fw.img"), "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 0) << r.child.out;
    EXPECT_EQ(r.log, update_lines("Processing clear image file with header", kElf.size(), "3.00C"));
    EXPECT_TRUE(printer.last_image().data == to_bytes(kElf));
    // Passive (EPSV or PASV) and binary.
    EXPECT_TRUE(ftp.wait_for_log("TYPE I"));
    const std::string log = ftp.log();
    EXPECT_TRUE(log.find("EPSV") != std::string::npos || log.find("PASV") != std::string::npos)
        << log;
    expect_no_temp_files(rig);
}

TEST(FtpUpdate, WrongPasswordIsAConnectFailure) {
    UpdaterRig rig;
    rig.add_printer();
    kp28test::ScratchDir srv;
    srv.write_file("fw.img", kElf);
    kp28test::FtpServer ftp({.root = srv.path(), .user = "tech", .password = "s3cret"});
    RunResult r = rig.run({"-protocol", "FTP", "-url", ftp.url("/fw.img"), "-port",
                           std::to_string(ftp.port()), "-user", "tech", "-password", "wrong"});
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_EQ(r.console, Lines{"Connect Failure"});
    expect_no_temp_files(rig);
}

}  // namespace
}  // namespace fwtest
