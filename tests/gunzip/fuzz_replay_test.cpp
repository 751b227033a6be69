// Replays the fuzz corpus and every input the fuzzers ever found a fault with
// (fuzz/regressions/<target>/), so a fault once fixed stays fixed in the
// normal and the sanitizer builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "gunzip.h"
#include "image_kind.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs(const std::string& target) {
    std::vector<fs::path> files;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(KP28_FUZZ_DIR) / kind / target;
        if (!fs::is_directory(dir)) continue;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file() && e.path().filename().string()[0] != '.')
                files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> contents(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// What holds for every input: a result of 0 or -1, a message exactly when it
// failed, and nothing stored past the buffer (the sanitizer build checks the
// last, since the buffer is exactly the size given).
void check_decoder(std::span<const std::uint8_t> input, std::size_t capacity,
                   const fs::path& file) {
    std::vector<std::uint8_t> out(capacity);
    const auto r = fwupdate::gunzip(input, out);
    EXPECT_EQ(r.ok(), r.messages.empty()) << file;
    if (!r.ok()) {
        EXPECT_EQ(r.result.text, r.messages.back()) << file;
    }
    EXPECT_LE(r.total, capacity) << file;
    if (r.ok()) {
        EXPECT_LE(r.consumed, input.size()) << file;
    }
}

TEST(FuzzRegressions, DecoderInputsStaySound) {
    const auto files = inputs("gunzip");
    EXPECT_FALSE(files.empty()) << "no corpus under " << KP28_FUZZ_DIR;
    for (const auto& f : files) {
        const auto data = contents(f);
        check_decoder(data, 1 << 20, f);
        check_decoder(data, 100, f);
    }
}

TEST(FuzzRegressions, DeflateInputsStaySound) {
    // The deflate target puts a fixed member header before the fuzzer's bytes.
    for (const auto& f : inputs("deflate")) {
        std::vector<std::uint8_t> data = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
        const auto body = contents(f);
        data.insert(data.end(), body.begin(), body.end());
        check_decoder(data, 1 << 20, f);
        check_decoder(data, 100, f);
    }
}

TEST(FuzzRegressions, ImageInputsStaySound) {
    for (const auto& f : inputs("image_kind")) {
        const auto data = contents(f);
        const auto r = fwupdate::recognise_image(data);
        EXPECT_EQ(r.kind == fwupdate::ImageKind::Unknown, r.announcement.empty()) << f;
        if (r.ok() && r.gzip_offset != 0 && r.gzip_offset <= data.size())
            check_decoder(std::span(data).subspan(r.gzip_offset), 1 << 16, f);
    }
}

}  // namespace
