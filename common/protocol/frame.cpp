#include "kp28/protocol/frame.h"

#include <algorithm>
#include <iterator>

namespace kp28 {

std::vector<std::uint8_t> make_frame(std::uint16_t length, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out(kFramePrefix, kFramePrefix + 4);
    out.push_back(static_cast<std::uint8_t>(length));
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<std::uint8_t> make_frame(std::span<const std::uint8_t> payload) {
    return make_frame(static_cast<std::uint16_t>(payload.size()), payload);
}

std::vector<std::uint8_t> make_reply(std::uint8_t reply_class, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out(kFramePrefix, kFramePrefix + 4);
    out.push_back(reply_class);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

bool starts_with_prefix(std::span<const std::uint8_t> bytes, std::uint8_t reply_class) {
    return bytes.size() >= 5 &&
           std::equal(std::begin(kFramePrefix), std::end(kFramePrefix), bytes.begin()) &&
           bytes[4] == reply_class;
}

FrameSearch find_frame(std::span<const std::uint8_t> in) {
    FrameSearch r;
    const auto it =
        std::search(in.begin(), in.end(), std::begin(kFramePrefix), std::end(kFramePrefix));
    if (it == in.end()) {
        // A tail that matches the beginning of the prefix may become one.
        std::size_t keep = 0;
        for (std::size_t t = std::min<std::size_t>(3, in.size()); t > 0; --t)
            if (std::equal(in.end() - static_cast<std::ptrdiff_t>(t), in.end(),
                           std::begin(kFramePrefix))) {
                keep = t;
                break;
            }
        r.start = in.size() - keep;
        return r;
    }
    r.start = static_cast<std::size_t>(it - in.begin());
    r.status = FrameSearch::kIncomplete;
    if (in.size() - r.start < kFrameHeaderSize) return r;
    const std::size_t len = get_le16(&in[r.start + 4]);
    if (in.size() - r.start < kFrameHeaderSize + len) return r;
    r.status = FrameSearch::kComplete;
    r.payload_begin = r.start + kFrameHeaderSize;
    r.end = r.payload_begin + len;
    return r;
}

}  // namespace kp28
