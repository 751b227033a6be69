// The parameter editor built from a description and an image as a printer
// sends them, then edited through the window's change handlers (the input's
// layout is in editor_check.h).
#include <cstdio>
#include <cstdlib>

#include "editor_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto fault = fuzzcheck::editor_fault({reinterpret_cast<const char*>(data), size});
    if (!fault.empty()) {
        std::fprintf(stderr, "editor: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
