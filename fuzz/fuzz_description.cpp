// The parameter description as a printer sends it: every line parsed, its
// record formatted and parsed again.
#include <cstdio>
#include <cstdlib>

#include "description_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto fault = fuzzcheck::description_fault({reinterpret_cast<const char*>(data), size});
    if (!fault.empty()) {
        std::fprintf(stderr, "description: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
