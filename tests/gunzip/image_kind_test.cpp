// Recognition of the five image layouts from a file's first bytes, with real
// boot images (mkimage), ELF files and gzip streams.
#include "image_kind.h"

#include <gtest/gtest.h>

#include <optional>

#include "gunzip.h"
#include "gzip_builder.h"

using namespace gztest;
using fwupdate::ImageKind;
using fwupdate::recognise_image;

namespace {

const Bytes kHeaderMagic = {0x87, 0x28, 0x89, 0x09};

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A 256-byte ImageHeader: arbitrary content, with or without the magic in its last four bytes.
Bytes image_header(bool magic) {
    Bytes h = random_bytes(256, 21);
    h[0] = 0;  // keep it from looking like an ELF file or boot image by chance
    if (magic)
        std::copy(kHeaderMagic.begin(), kHeaderMagic.end(), h.end() - 4);
    else
        h[252] = 0;
    return h;
}

// gzip with the file name stored (flag byte 08) or without it (00).
Bytes gzip_stream(const TempDir& dir, const Bytes& data, bool with_name) {
    const auto in = dir.write("fw.bin", data);
    const std::string cmd = std::string("gzip -9 -c ") + (with_name ? "-N" : "-n") + " '" +
                            in.string() + "' > '" + (dir.path() / "fw.gz").string() + "'";
    if (!run(cmd)) throw std::runtime_error(cmd);
    return read_file(dir.path() / "fw.gz");
}

Bytes boot_image(const TempDir& dir) {
    const auto payload = dir.write("payload.bin", elf_sample(5000));
    const auto out = dir.path() / "boot.img";
    const std::string cmd =
        "mkimage -A arm -O linux -T kernel -C none -a 0x8000 -e 0x8000 -n 'KP28Plus test' -d '" +
        payload.string() + "' '" + out.string() + "' >/dev/null";
    if (!run(cmd)) throw std::runtime_error(cmd);
    return read_file(out);
}

Bytes flipped(Bytes b, std::size_t at) {
    b.at(at) ^= 0x10;
    return b;
}

struct KindCase {
    const char* name;
    std::function<Bytes(const TempDir&)> make;
    ImageKind kind;
    const char* announcement;
    const char* failure;
    std::size_t gzip_offset;
    bool sends_header;
};
void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

const char* const kZippedNoHeader = "Processing zipped image file without the header";
const char* const kBoot = "Processing KP28Plus image file";
const char* const kZippedHeader = "Processing zipped image file with header";
const char* const kClearHeader = "Processing clear image file with header";
const char* const kClearNoHeader = "Processing clear image file without the header";
const char* const kBadCrc = "Input Image Bad CRC Code";
const char* const kBadElf = "Input Image Bad ELF Code";

std::vector<KindCase> kind_cases() {
    const Bytes four = {0x12, 0x34, 0x56, 0x78};
    const Bytes elf_magic = {0x7F, 'E', 'L', 'F'};
    return {
        {"gzip_after_four_bytes",
         [=](const TempDir& d) {
             return concat({four, gzip_stream(d, text_sample(9000), true)});
         },
         ImageKind::ZippedWithoutHeader, kZippedNoHeader, "", 4, false},
        {"gzip_without_name_is_not_recognised",
         [=](const TempDir& d) {
             return concat({four, gzip_stream(d, text_sample(9000), false)});
         },
         ImageKind::Unknown, "", kBadElf, 0, false},
        {"elf_then_gzip_without_name_is_elf",
         [=](const TempDir& d) {
             return concat({elf_magic, gzip_stream(d, text_sample(9000), false)});
         },
         ImageKind::ClearWithoutHeader, kClearNoHeader, "", 0, false},
        {"boot_image", [](const TempDir& d) { return boot_image(d); }, ImageKind::BootImage, kBoot,
         "", 0, false},
        {"boot_image_name_changed", [](const TempDir& d) { return flipped(boot_image(d), 40); },
         ImageKind::BootImage, kBoot, kBadCrc, 0, false},
        {"boot_image_last_header_byte_changed",
         [](const TempDir& d) { return flipped(boot_image(d), 63); }, ImageKind::BootImage, kBoot,
         kBadCrc, 0, false},
        {"boot_image_checksum_changed", [](const TempDir& d) { return flipped(boot_image(d), 7); },
         ImageKind::BootImage, kBoot, kBadCrc, 0, false},
        {"boot_image_payload_not_checked",
         [](const TempDir& d) { return flipped(boot_image(d), 100); }, ImageKind::BootImage, kBoot,
         "", 0, false},
        {"header_then_gzip",
         [](const TempDir& d) {
             return concat({image_header(true), gzip_stream(d, text_sample(9000), true)});
         },
         ImageKind::ZippedWithHeader, kZippedHeader, "", 256, true},
        {"header_without_magic_then_gzip",
         [](const TempDir& d) {
             return concat({image_header(false), gzip_stream(d, text_sample(9000), true)});
         },
         ImageKind::ZippedWithHeader, kZippedHeader, kBadCrc, 256, true},
        {"header_then_gzip_without_name_is_clear",
         [](const TempDir& d) {
             return concat({image_header(true), gzip_stream(d, text_sample(9000), false)});
         },
         ImageKind::ClearWithHeader, kClearHeader, "", 0, true},
        {"header_then_plain_data",
         [](const TempDir&) {
             return concat({image_header(true), elf_sample(3000)});
         },
         ImageKind::ClearWithHeader, kClearHeader, "", 0, true},
        {"elf_file", [](const TempDir&) { return elf_sample(100000); },
         ImageKind::ClearWithoutHeader, kClearNoHeader, "", 0, false},
        {"text_file", [](const TempDir&) { return text_sample(5000); }, ImageKind::Unknown, "",
         kBadElf, 0, false},
        {"empty_file", [](const TempDir&) { return Bytes{}; }, ImageKind::Unknown, "", kBadElf, 0,
         false},
        {"three_bytes_of_elf_magic",
         [](const TempDir&) {
             return Bytes{0x7F, 'E', 'L'};
         },
         ImageKind::Unknown, "", kBadElf, 0, false},
        // Order of the tests: the first match decides.
        {"zipped_magic_wins_over_boot_magic",
         [=](const TempDir& d) {
             return concat({Bytes{0x27, 0x05, 0x19, 0x56}, gzip_stream(d, text_sample(100), true)});
         },
         ImageKind::ZippedWithoutHeader, kZippedNoHeader, "", 4, false},
        {"boot_magic_wins_over_header_magic",
         [](const TempDir& d) {
             Bytes b = boot_image(d);
             std::copy(kHeaderMagic.begin(), kHeaderMagic.end(), b.begin() + 252);
             return b;
         },
         ImageKind::BootImage, kBoot, "", 0, false},
        {"header_wins_over_elf",
         [](const TempDir&) {
             Bytes b = elf_sample(4000);
             std::copy(kHeaderMagic.begin(), kHeaderMagic.end(), b.begin() + 252);
             return b;
         },
         ImageKind::ClearWithHeader, kClearHeader, "", 0, true},
    };
}

class Recognition : public ::testing::TestWithParam<KindCase> {};

TEST_P(Recognition, DecidesKindMessageAndChecks) {
    if (!have_tool("mkimage")) GTEST_SKIP() << "mkimage (u-boot-tools) not installed";
    const auto& c = GetParam();
    TempDir dir;
    const Bytes file = c.make(dir);
    const auto r =
        recognise_image(std::span(file).first(std::min(file.size(), fwupdate::kImageProbeSize)));
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.announcement, c.announcement);
    EXPECT_EQ(r.verdict.text, c.failure);
    EXPECT_EQ(r.gzip_offset, c.gzip_offset);
    EXPECT_EQ(r.sends_header, c.sends_header);
    EXPECT_EQ(r.data_offset, c.kind == ImageKind::ClearWithHeader ? 256u : 0u);

    // Passing more than the probe changes nothing.
    const auto whole = recognise_image(file);
    EXPECT_EQ(whole.kind, r.kind);
    EXPECT_EQ(whole.verdict.text, r.verdict.text);

    // A zipped kind that passes its checks unpacks from its offset.
    if (r.ok() && r.gzip_offset != 0) {
        Bytes out(fwupdate::kUnpackBufferSize);
        const auto g = fwupdate::gunzip(std::span(file).subspan(r.gzip_offset), out);
        EXPECT_TRUE(g.ok());
        EXPECT_EQ(g.consumed, file.size() - r.gzip_offset);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Recognition, ::testing::ValuesIn(kind_cases()),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST(Recognition, EverySingleByteChangeInTheBootHeaderIsCaught) {
    if (!have_tool("mkimage")) GTEST_SKIP() << "mkimage (u-boot-tools) not installed";
    TempDir dir;
    const Bytes image = boot_image(dir);
    for (std::size_t at = 4; at < fwupdate::kBootHeaderSize; ++at) {
        const auto r = recognise_image(flipped(image, at));
        EXPECT_EQ(r.kind, ImageKind::BootImage) << at;
        EXPECT_EQ(r.verdict.text, kBadCrc) << at;
    }
}

}  // namespace
