// Replays the description and editor fuzz corpora and every input those
// fuzzers ever found a fault with (fuzz/regressions/<target>/) through the
// fuzzers' own property checks, so a fault once fixed stays fixed in the
// normal and the sanitizer builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "description_check.h"
#include "editor_check.h"

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

std::string contents(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

TEST(SetupFuzzReplay, DescriptionsRoundTrip) {
    const auto files = inputs("description");
    EXPECT_FALSE(files.empty()) << "no corpus under " << KP28_FUZZ_DIR;
    for (const auto& f : files) EXPECT_EQ(fuzzcheck::description_fault(contents(f)), "") << f;
}

TEST(SetupFuzzReplay, EditorsKeepTheImageAndEditOnlyTheirRows) {
    const auto files = inputs("editor");
    EXPECT_FALSE(files.empty()) << "no corpus under " << KP28_FUZZ_DIR;
    fuzzcheck::EditTally tally;
    for (const auto& f : files) EXPECT_EQ(fuzzcheck::editor_fault(contents(f), &tally), "") << f;
    // The seeds reach the image and the refusals both, so the checks have
    // something to look at.
    EXPECT_GT(tally.accepted, 10);
    EXPECT_GT(tally.bytes_changed, 10);
    EXPECT_GT(tally.refused, 5);
}

// A record the parser never gives (a TAB in a text) cannot survive the round
// trip, and an edit outside its row is seen: the checks are not empty.
TEST(SetupFuzzReplay, ChecksSeeABrokenRoundTripAndAStrayByte) {
    EXPECT_NE(fuzzcheck::record_round_trip_fault(kp28::TitleRecord{"a\tb"}), "");
    EXPECT_NE(fuzzcheck::record_round_trip_fault(kp28::EnumRecord{"e", 1, 0, {"x\r\ny"}}), "");
    kp28setup::RowView ip;
    ip.kind = kp28setup::RowKind::Ip;
    ip.offset = 2046;
    EXPECT_NE(fuzzcheck::rows_fault({ip}), "");
}

}  // namespace
