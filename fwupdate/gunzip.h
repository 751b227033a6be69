// The updater's own gzip decoder: one gzip member (RFC 1952, deflate data of
// RFC 1951) in memory, unpacked into a caller's buffer in one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace fwupdate {

// The unpacking buffer of a firmware update: the largest image it takes.
inline constexpr std::size_t kUnpackBufferSize = 8388608;

// Receives each failure text, in order, as it is reported. The texts are the
// system's own, some with a trailing line feed.
using ReportHook = std::function<void(std::string_view)>;

struct Unpacked {
    // Success once unpacked and both trailer checks passed; else a failure
    // (code 4) whose text is the last of the messages.
    Result result = failure();
    std::size_t total = 0;              // bytes stored from the start of the output buffer
    std::size_t consumed = 0;           // on success: input bytes of the member, trailer included
    std::vector<std::string> messages;  // every text passed to the hook, in order

    bool ok() const { return result.ok(); }
};

// Decodes the member at the start of `member`; the input ends at the end of
// the span (bytes after the member are ignored). The output goes to the start
// of `out` and never past its end. Bytes of `out` beyond `total` may be
// overwritten (the copy loops write in whole words). On failure exactly one
// of these texts ends the report, the two tree texts preceding the err=1
// text:
//   "bad gzip magic numbers", "invalid method", "Input is encrypted\n",
//   "Multi part input\n", "Input has invalid flags\n", "out of memory",
//   "invalid compressed format (err=N)", " incomplete literal tree\n",
//   " incomplete distance tree\n", "crc error", "length error",
//   "ran out of input data\n", and for data that would unpack to more than
//   `out` holds: "unpacked data exceeds the N-byte buffer".
// State lives in the call; calls may run concurrently on different buffers.
Unpacked gunzip(std::span<const std::uint8_t> member, std::span<std::uint8_t> out,
                const ReportHook& report = {});

}  // namespace fwupdate
