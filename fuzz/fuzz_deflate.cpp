// Deflate data behind a fixed, valid member header, so the fuzzer spends its
// time in the block decoder rather than finding the header.
#include <vector>

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> member = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    member.insert(member.end(), data, data + size);
    fuzzcheck::check(member.data(), member.size());
    return 0;
}
