// The decoder against zlib on real streams of every kind the benchmark
// measures (machine code, shared libraries and text from this machine, by
// gzip, pigz and zlib), smaller here so that the sanitizer build stays quick.
#include "corpus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "gunzip.h"
#include "gzip_builder.h"

namespace {

constexpr std::uint8_t kGuard = 0x5A;
constexpr std::size_t kGuardSize = 64;

class CorpusTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!gztest::have_tool("gzip") || !gztest::have_tool("pigz")) return;
        dir_ = new gztest::TempDir;
        streams_ = new std::vector<inflate_corpus::Stream>(
            inflate_corpus::build(dir_->path(), {.plain = 1u << 20, .pigz11 = 256u << 10}));
    }
    static void TearDownTestSuite() {
        delete streams_;
        delete dir_;
        streams_ = nullptr;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (streams_ == nullptr) GTEST_SKIP() << "gzip or pigz not installed";
    }
    static gztest::TempDir* dir_;
    static std::vector<inflate_corpus::Stream>* streams_;
};
gztest::TempDir* CorpusTest::dir_ = nullptr;
std::vector<inflate_corpus::Stream>* CorpusTest::streams_ = nullptr;

// First in this program, so that the fixed code's tables, shared by all
// calls, are built while several decodes start at once.
TEST_F(CorpusTest, ConcurrentDecodesOfEveryKindGiveTheSameBytes) {
    constexpr int kThreads = 3;
    std::vector<std::thread> threads;
    std::vector<int> good(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (const auto& s : *streams_) {
                inflate_corpus::Bytes out(s.plain.size());
                const auto r = fwupdate::gunzip(s.gz, out);
                if (r.ok() && out == s.plain) ++good[t];
            }
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[t], static_cast<int>(streams_->size()));
}

TEST_F(CorpusTest, EveryKindDecodesToZlibsBytesInAnExactBuffer) {
    ASSERT_EQ(streams_->size(), 7u);
    for (const auto& s : *streams_) {
        SCOPED_TRACE(s.kind);
        const auto ref = inflate_corpus::zlib_gunzip(s.gz, s.plain.size() + 1);
        ASSERT_EQ(ref, s.plain);
        // Exactly the unpacked size, guarded: the copy loops' word stores must
        // stay inside it even at the very end.
        inflate_corpus::Bytes buffer(ref.size() + kGuardSize, kGuard);
        const auto r = fwupdate::gunzip(s.gz, std::span(buffer).first(ref.size()));
        ASSERT_TRUE(r.ok()) << (r.messages.empty() ? "" : r.messages.back());
        EXPECT_EQ(r.total, ref.size());
        EXPECT_EQ(r.consumed, s.gz.size());
        EXPECT_EQ(std::memcmp(buffer.data(), ref.data(), ref.size()), 0);
        for (std::size_t i = ref.size(); i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kGuard);
    }
}

TEST_F(CorpusTest, EveryKindCutShortRunsOutOfInput) {
    for (const auto& s : *streams_) {
        SCOPED_TRACE(s.kind);
        inflate_corpus::Bytes out(s.plain.size());
        // Cut inside the deflate data, at a point that depends on the stream.
        const std::size_t cut = s.gz.size() / 3 + s.kind.size();
        const auto r = fwupdate::gunzip(std::span(s.gz).first(cut), out);
        EXPECT_FALSE(r.ok());
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages.back(), "ran out of input data\n");
    }
}

}  // namespace
