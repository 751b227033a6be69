// Streams of the kinds a firmware image arrives as, made from files on this
// machine and compressed by the real tools (and zlib, for what the tools do
// not write), so that the decoder is measured and checked on real output.
// Nothing of it is kept in the tree; a working directory caches the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace inflate_corpus {

using Bytes = std::vector<std::uint8_t>;

struct Stream {
    std::string kind;  // e.g. "so_pigz11"
    Bytes gz;          // one gzip member
    Bytes plain;       // the bytes it was made from
};

struct Sizes {
    std::size_t plain = 8u << 20;   // unpacked bytes per stream
    std::size_t pigz11 = 8u << 20;  // for pigz -11, which is slow to compress
};

// ELF machine code (gzip -9), shared libraries (gzip -1, pigz -11), text
// (gzip -9), a stored stream (zlib level 0), a stream of fixed-code blocks
// only (zlib, default level, Z_FIXED) and a stream with a sync flush every
// 1000 bytes (zlib, default level). Throws std::runtime_error when the
// machine lacks the files or the tools.
std::vector<Stream> build(const std::filesystem::path& workdir, const Sizes& sizes);

// The unpacked bytes by zlib, the reference decoder; empty if zlib refuses.
Bytes zlib_gunzip(const Bytes& gz, std::size_t capacity);

}  // namespace inflate_corpus
