// Properties every decoder run must have, whatever the input. A violation
// aborts, which libFuzzer reports with the input.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

#include "gunzip.h"

namespace fuzzcheck {

// Output buffers are allocated at exactly their size so that AddressSanitizer
// catches any store past them.
inline fwupdate::Unpacked decode(const std::uint8_t* data, std::size_t size, std::size_t capacity,
                                 std::unique_ptr<std::uint8_t[]>& out) {
    out.reset(new std::uint8_t[capacity == 0 ? 1 : capacity]);
    std::size_t hooked = 0;
    auto r =
        fwupdate::gunzip({data, size}, {out.get(), capacity}, [&](std::string_view) { ++hooked; });
    if (hooked != r.messages.size()) std::abort();
    if (r.ok() != r.messages.empty()) std::abort();
    if (!r.ok() && r.result.text != r.messages.back()) std::abort();
    if (r.total > capacity) std::abort();
    if (r.ok() && r.consumed > size) std::abort();
    return r;
}

// Runs with a roomy and a tight buffer; when both succeed the output agrees.
inline void check(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kRoomy = 1 << 18;
    const std::size_t tight = size == 0 ? 0 : (data[size - 1] * 7u + size) % 3000;
    std::unique_ptr<std::uint8_t[]> a, b;
    const auto big = decode(data, size, kRoomy, a);
    const auto small = decode(data, size, tight, b);
    if (small.ok()) {
        if (!big.ok() || big.total != small.total ||
            std::memcmp(a.get(), b.get(), small.total) != 0)
            std::abort();
    }
    if (big.ok() && big.total <= tight && !small.ok()) std::abort();
}

}  // namespace fuzzcheck
