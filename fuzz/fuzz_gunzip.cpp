// Whole gzip members as the updater receives them.
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzcheck::check(data, size);
    return 0;
}
