#include "kp28/protocol/setup.h"

#include <algorithm>

#include "kp28/protocol/frame.h"

namespace kp28 {

std::string model_name_reply(std::string_view product_name) {
    std::string reply(product_name.substr(0, kModelReplySize));
    reply.resize(kModelReplySize, ' ');
    return reply;
}

std::vector<std::uint8_t> nvm_read_reply(Model m, std::span<const std::uint8_t> image,
                                         const NvmChecksum& checksum) {
    std::vector<std::uint8_t> out;
    const auto len = model_u16_bytes(m, static_cast<std::uint16_t>(image.size()));
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), image.begin(), image.end());
    out.insert(out.end(), checksum.begin(), checksum.end());
    return out;
}

std::optional<NvmTransfer> parse_nvm_read_reply(Model m, std::span<const std::uint8_t> reply) {
    if (reply.size() < 2 + 4) return std::nullopt;
    const std::size_t n = get_model_u16(m, reply.data());
    if (reply.size() != 2 + n + 4) return std::nullopt;
    NvmTransfer t;
    t.image.assign(reply.begin() + 2, reply.begin() + 2 + static_cast<std::ptrdiff_t>(n));
    std::copy(reply.end() - 4, reply.end(), t.checksum.begin());
    return t;
}

std::vector<std::uint8_t> nvm_write_body(std::span<const std::uint8_t> image,
                                         const NvmChecksum& checksum) {
    std::vector<std::uint8_t> out(image.begin(), image.end());
    out.insert(out.end(), checksum.begin(), checksum.end());
    return out;
}

std::optional<NvmTransfer> parse_nvm_write_body(std::span<const std::uint8_t> body,
                                                std::size_t image_size) {
    if (body.size() != image_size + 4) return std::nullopt;
    NvmTransfer t;
    t.image.assign(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(image_size));
    std::copy(body.end() - 4, body.end(), t.checksum.begin());
    return t;
}

std::vector<std::uint8_t> load_setup_frame(std::span<const std::uint8_t> image,
                                           const NvmChecksum& checksum) {
    std::vector<std::uint8_t> payload;
    payload.reserve(1 + image.size() + 4);
    payload.push_back(kClassLoadSetup);
    payload.insert(payload.end(), image.begin(), image.end());
    payload.insert(payload.end(), checksum.begin(), checksum.end());
    // The length field is 16 bits: (N + 5) modulo 65536, as the printer reads it.
    return make_frame(static_cast<std::uint16_t>(payload.size()), payload);
}

std::vector<std::uint8_t> load_setup_frame(Model m, std::span<const std::uint8_t> image) {
    return load_setup_frame(image, model_nvm_checksum(m, image));
}

std::optional<NvmTransfer> parse_load_setup_payload(std::span<const std::uint8_t> payload) {
    if (payload.size() < 1 + 4 || payload[0] != kClassLoadSetup) return std::nullopt;
    NvmTransfer t;
    t.image.assign(payload.begin() + 1, payload.end() - 4);
    std::copy(payload.end() - 4, payload.end(), t.checksum.begin());
    return t;
}

std::optional<NvmTransfer> parse_load_setup_frame(std::span<const std::uint8_t> frame) {
    const FrameSearch f = find_frame(frame);
    if (f.status != FrameSearch::kComplete || f.start != 0 || f.end != frame.size())
        return std::nullopt;
    return parse_load_setup_payload(frame.subspan(f.payload_begin, f.end - f.payload_begin));
}

}  // namespace kp28
