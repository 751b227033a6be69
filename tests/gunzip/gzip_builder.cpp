#include "gzip_builder.h"

#include <kp28/crc32.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace gztest {

void BitWriter::bits(std::uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        acc_ |= ((value >> i) & 1u) << used_;
        if (++used_ == 8) {
            out_.push_back(static_cast<std::uint8_t>(acc_));
            acc_ = 0;
            used_ = 0;
        }
    }
}

void BitWriter::code(std::uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;) bits((code >> i) & 1u, 1);
}

void BitWriter::align() {
    if (used_ != 0) bits(0, 8 - used_);
}

void BitWriter::bytes(std::span<const std::uint8_t> data) {
    align();
    out_.insert(out_.end(), data.begin(), data.end());
}

Bytes BitWriter::finish() {
    align();
    return out_;
}

std::vector<Code> canonical_codes(const std::vector<unsigned>& lengths) {
    unsigned count[16] = {};
    for (unsigned l : lengths) ++count[l];
    count[0] = 0;
    std::uint32_t next[16] = {};
    std::uint32_t code = 0;
    for (unsigned len = 1; len < 16; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    std::vector<Code> codes(lengths.size());
    for (std::size_t s = 0; s < lengths.size(); ++s)
        if (lengths[s] != 0) codes[s] = {next[lengths[s]]++, lengths[s]};
    return codes;
}

namespace {
constexpr unsigned kCodelenOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};
}

void dynamic_header(BitWriter& w, bool last, unsigned num_litlen, unsigned num_dist,
                    const std::vector<unsigned>& codelen_lengths,
                    const std::vector<LengthSymbol>& sequence) {
    w.bits(last ? 1 : 0, 1);
    w.bits(2, 2);
    w.bits(num_litlen - 257, 5);
    w.bits(num_dist - 1, 5);
    unsigned hclen = 19;
    while (hclen > 4 && codelen_lengths[kCodelenOrder[hclen - 1]] == 0) --hclen;
    w.bits(hclen - 4, 4);
    for (unsigned i = 0; i < hclen; ++i) w.bits(codelen_lengths[kCodelenOrder[i]], 3);
    const auto codes = canonical_codes(codelen_lengths);
    for (const auto& s : sequence) {
        w.code(codes.at(s.symbol).bits, codes.at(s.symbol).length);
        if (s.symbol == 16) w.bits(s.extra, 2);
        if (s.symbol == 17) w.bits(s.extra, 3);
        if (s.symbol == 18) w.bits(s.extra, 7);
    }
}

std::vector<unsigned> flat_codelen_lengths() {
    std::vector<unsigned> l(19, 0);
    for (unsigned s = 0; s < 16; ++s) l[s] = 4;
    return l;
}

std::vector<LengthSymbol> plain_sequence(const std::vector<unsigned>& litlen,
                                         const std::vector<unsigned>& dist) {
    std::vector<LengthSymbol> seq;
    for (unsigned l : litlen) seq.push_back({l});
    for (unsigned l : dist) seq.push_back({l});
    return seq;
}

Bytes member(const MemberOptions& o, std::span<const std::uint8_t> deflate, std::uint32_t crc,
             std::uint32_t isize) {
    Bytes m = {o.id1, o.id2, o.method, o.flags, 0, 0, 0, 0, 0, 3};
    if (o.flags & 0x04) {
        m.push_back(static_cast<std::uint8_t>(o.extra.size()));
        m.push_back(static_cast<std::uint8_t>(o.extra.size() >> 8));
        m.insert(m.end(), o.extra.begin(), o.extra.end());
    }
    if (o.flags & 0x08) {
        m.insert(m.end(), o.name.begin(), o.name.end());
        m.push_back(0);
    }
    if (o.flags & 0x10) {
        m.insert(m.end(), o.comment.begin(), o.comment.end());
        m.push_back(0);
    }
    m.insert(m.end(), deflate.begin(), deflate.end());
    for (int i = 0; i < 4; ++i) m.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    for (int i = 0; i < 4; ++i) m.push_back(static_cast<std::uint8_t>(isize >> (8 * i)));
    return m;
}

Bytes member_for(const MemberOptions& o, std::span<const std::uint8_t> deflate,
                 std::span<const std::uint8_t> original) {
    return member(o, deflate, kp28::crc32(0, original),
                  static_cast<std::uint32_t>(original.size()));
}

Bytes raw_deflate(const Bytes& gz) {
    if (gz.size() < 18 || gz[3] != 0)
        throw std::runtime_error("expected a member without optional fields");
    return Bytes(gz.begin() + 10, gz.end() - 8);
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kp28gz.XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& name,
                                     std::span<const std::uint8_t> data) const {
    const auto p = path_ / name;
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f) throw std::runtime_error("cannot write " + p.string());
    return p;
}

bool have_tool(const std::string& tool) {
    return run("command -v " + tool + " >/dev/null 2>&1");
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

Bytes read_file(const std::filesystem::path& p, std::size_t limit) {
    std::ifstream f(p, std::ios::binary);
    Bytes b(limit == SIZE_MAX ? std::filesystem::file_size(p) : limit);
    f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
    b.resize(static_cast<std::size_t>(f.gcount()));
    return b;
}

Bytes compress_with(const TempDir& dir, const std::string& tool,
                    std::span<const std::uint8_t> data) {
    const auto in = dir.write("input.bin", data);
    const auto out = dir.path() / "output.gz";
    if (!run(tool + " -c < '" + in.string() + "' > '" + out.string() + "'"))
        throw std::runtime_error("failed: " + tool);
    return read_file(out);
}

Bytes elf_sample(std::size_t size) {
    Bytes code;
    for (const char* p : {"/usr/bin/cmake", "/usr/bin/gzip", "/bin/ls", "/bin/sh"}) {
        code = read_file(p, size);
        if (code.size() > 4 && code[0] == 0x7F) break;
    }
    if (code.empty()) throw std::runtime_error("no system ELF file to sample");
    Bytes out;
    out.reserve(size);
    while (out.size() < size)
        out.insert(out.end(), code.begin(),
                   code.begin() + std::min(code.size(), size - out.size()));
    return out;
}

Bytes text_sample(std::size_t size) {
    static const std::string words[] = {"printer ", "firmware ", "image ", "header ",
                                        "update\n", "version ",  "0x1F8B "};
    Bytes out;
    std::mt19937 rng(7);
    while (out.size() < size) {
        const auto& w = words[rng() % std::size(words)];
        out.insert(out.end(), w.begin(), w.end());
    }
    out.resize(size);
    return out;
}

Bytes random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

}  // namespace gztest
