// Assembles gzip members and deflate streams bit by bit, so that tests can
// make exactly the damage they are about, and runs the real tools (gzip, pigz,
// mkimage) in a private temporary directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace gztest {

using Bytes = std::vector<std::uint8_t>;

// Deflate bit order: values least significant bit first, Huffman codes most
// significant bit first.
class BitWriter {
  public:
    void bits(std::uint32_t value, unsigned count);
    void code(std::uint32_t code, unsigned length);
    void align();                                    // pad the current byte with zeros
    void bytes(std::span<const std::uint8_t> data);  // after align()
    Bytes finish();

  private:
    Bytes out_;
    std::uint32_t acc_ = 0;
    unsigned used_ = 0;
};

// Canonical codes (RFC 1951 3.2.2) for a list of code lengths; 0 = unused.
struct Code {
    std::uint32_t bits = 0;
    unsigned length = 0;
};
std::vector<Code> canonical_codes(const std::vector<unsigned>& lengths);

// One code-length symbol of a dynamic header with its repeat bits, if any.
struct LengthSymbol {
    unsigned symbol;
    std::uint32_t extra = 0;
};

// Writes a dynamic block header: HLIT, HDIST, HCLEN from the counts given, the
// 19 code-length code lengths (in symbol order) and the symbol sequence.
void dynamic_header(BitWriter& w, bool last, unsigned num_litlen, unsigned num_dist,
                    const std::vector<unsigned>& codelen_lengths,
                    const std::vector<LengthSymbol>& sequence);

// The plain sequence for the given lengths, with the code-length code in which
// symbols 0-15 have four bits each (a complete code).
std::vector<unsigned> flat_codelen_lengths();
std::vector<LengthSymbol> plain_sequence(const std::vector<unsigned>& litlen,
                                         const std::vector<unsigned>& dist);

struct MemberOptions {
    std::uint8_t id1 = 0x1F, id2 = 0x8B, method = 8, flags = 0;
    Bytes extra;          // written when flags has 0x04
    std::string name;     // written, with its zero, when flags has 0x08
    std::string comment;  // written, with its zero, when flags has 0x10
};
// A member around `deflate` data; the trailer carries `crc` and `isize`.
Bytes member(const MemberOptions& options, std::span<const std::uint8_t> deflate, std::uint32_t crc,
             std::uint32_t isize);
// The same with the trailer that matches `original`.
Bytes member_for(const MemberOptions& options, std::span<const std::uint8_t> deflate,
                 std::span<const std::uint8_t> original);

// The deflate data of a member written without name and time (`gzip -n`):
// what follows the 10-byte header, without the 8-byte trailer.
Bytes raw_deflate(const Bytes& gz);

// A temporary directory removed at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, std::span<const std::uint8_t> data) const;

  private:
    std::filesystem::path path_;
};

bool have_tool(const std::string& tool);
// Runs a shell command line; true when it exits with 0.
bool run(const std::string& command);
// The whole file, or its first `limit` bytes.
Bytes read_file(const std::filesystem::path& p, std::size_t limit = SIZE_MAX);
// Compresses `data` with a tool command such as "gzip -9 -n" (reading stdin).
Bytes compress_with(const TempDir& dir, const std::string& tool,
                    std::span<const std::uint8_t> data);

// Test data: machine code (the start of a system ELF file, repeated to `size`),
// text, and pseudo-random bytes.
Bytes elf_sample(std::size_t size);
Bytes text_sample(std::size_t size);
Bytes random_bytes(std::size_t size, std::uint32_t seed);

}  // namespace gztest
