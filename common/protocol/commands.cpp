#include "kp28/protocol/commands.h"

#include <algorithm>
#include <cstring>

namespace kp28 {

namespace {

constexpr std::uint8_t kDll = kClassDllMode;
constexpr std::uint8_t kUsbId = kClassUsbIdMode;

std::vector<std::uint8_t> frame(std::initializer_list<std::uint8_t> payload) {
    return make_frame(std::span<const std::uint8_t>(payload.begin(), payload.size()));
}

std::span<const std::uint8_t> text_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

namespace frames {

std::vector<std::uint8_t> product_name_query() {
    return frame({kReplyProductName});
}
std::vector<std::uint8_t> firmware_version_query() {
    return frame({kReplyFirmwareVersion});
}
std::vector<std::uint8_t> enter_dll_mode() {
    return frame({kDll, 0x00});
}
std::vector<std::uint8_t> leave_dll_mode(std::uint8_t token) {
    return frame({kDll, token});
}

std::vector<std::uint8_t> image_size(std::uint8_t token, std::uint32_t size,
                                     const ImageHeader* header) {
    std::vector<std::uint8_t> payload = {kDll, token, kDllImageSize, 0, 0, 0, 0};
    put_le32(&payload[3], size);
    if (header != nullptr) payload.insert(payload.end(), header->begin(), header->end());
    return make_frame(payload);
}

std::vector<std::uint8_t> image_data(std::uint8_t token) {
    return frame({kDll, token, kDllImageData});
}
std::vector<std::uint8_t> write_flash(std::uint8_t token) {
    return frame({kDll, token, kDllWriteFlash});
}
std::vector<std::uint8_t> reboot(std::uint8_t token) {
    return frame({kDll, token, kDllReboot});
}
std::vector<std::uint8_t> enter_usb_id_mode() {
    return frame({kUsbId, 0x00});
}
std::vector<std::uint8_t> leave_usb_id_mode(std::uint8_t token) {
    return frame({kUsbId, token});
}
std::vector<std::uint8_t> read_usb_id(std::uint8_t token) {
    return frame({kUsbId, token, kUsbIdRead});
}

std::vector<std::uint8_t> write_usb_id(std::uint8_t token, std::string_view identifier) {
    const std::uint8_t counted[] = {kUsbId, token, kUsbIdWrite};
    std::vector<std::uint8_t> out = make_frame(3, counted);
    out.insert(out.end(), identifier.begin(), identifier.end());
    out.push_back(0x00);
    return out;
}

}  // namespace frames

std::optional<Command> parse_command(std::span<const std::uint8_t> p) {
    if (p.empty()) return std::nullopt;
    const std::size_t len = p.size();
    Command c;
    switch (p[0]) {
        case kReplyProductName:
        case kReplyFirmwareVersion:
            if (len != 1) return std::nullopt;
            c.kind = p[0] == kReplyProductName ? Command::kProductNameQuery
                                               : Command::kFirmwareVersionQuery;
            return c;
        case kClassLoadSetup:
            c.kind = Command::kLoadSetup;
            return c;
        case kDll:
            if (len < 2) return std::nullopt;
            c.token = p[1];
            if (len == 2) {
                c.kind = p[1] == 0 ? Command::kEnterDllMode : Command::kLeaveDllMode;
                return c;
            }
            if (p[2] == kDllImageSize &&
                (len == kImageSizePayload || len == kImageSizeHeaderPayload)) {
                c.kind = Command::kImageSize;
                c.image_size = get_le32(&p[3]);
                if (len == kImageSizeHeaderPayload) {
                    c.header.emplace();
                    std::copy(p.begin() + kImageSizePayload, p.end(), c.header->begin());
                }
                return c;
            }
            if (len != 3) return std::nullopt;
            if (p[2] == kDllImageData)
                c.kind = Command::kImageData;
            else if (p[2] == kDllWriteFlash)
                c.kind = Command::kWriteFlash;
            else if (p[2] == kDllReboot)
                c.kind = Command::kReboot;
            else
                return std::nullopt;
            return c;
        case kUsbId:
            if (len < 2) return std::nullopt;
            c.token = p[1];
            if (len == 2) {
                c.kind = p[1] == 0 ? Command::kEnterUsbIdMode : Command::kLeaveUsbIdMode;
                return c;
            }
            if (len != 3) return std::nullopt;
            if (p[2] == kUsbIdWrite)
                c.kind = Command::kWriteUsbId;
            else if (p[2] == kUsbIdRead)
                c.kind = Command::kReadUsbId;
            else
                return std::nullopt;
            return c;
        default:
            return std::nullopt;
    }
}

std::optional<UsbIdText> parse_usb_id_text(std::span<const std::uint8_t> bytes) {
    const auto zero = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    if (zero == bytes.end()) return std::nullopt;
    UsbIdText t;
    t.identifier.assign(bytes.begin(), zero);
    t.consumed = static_cast<std::size_t>(zero - bytes.begin()) + 1;
    return t;
}

namespace replies {

std::vector<std::uint8_t> product_name(std::string_view name) {
    std::vector<std::uint8_t> r = make_reply(kReplyProductName, text_bytes(name));
    if (name.size() < kProductNameLength) r.push_back(0);
    return r;
}

std::vector<std::uint8_t> firmware_version(std::string_view version) {
    return make_reply(kReplyFirmwareVersion, text_bytes(version));
}

std::vector<std::uint8_t> ack(std::uint8_t mode_class, std::uint8_t token) {
    const std::uint8_t data[] = {token};
    return make_reply(mode_class, data);
}

std::vector<std::uint8_t> usb_id(std::uint8_t token, std::string_view identifier) {
    std::vector<std::uint8_t> data(1 + kUsbIdLength, 0);
    data[0] = token;
    const std::size_t n = std::min(identifier.size(), kUsbIdLength);
    std::memcpy(data.data() + 1, identifier.data(), n);
    return make_reply(kUsbId, data);
}

}  // namespace replies

std::optional<std::uint8_t> parse_ack(std::span<const std::uint8_t> reply,
                                      std::uint8_t mode_class) {
    if (reply.size() != kAckSize || !starts_with_prefix(reply, mode_class)) return std::nullopt;
    return reply[5];
}

std::optional<std::string> parse_product_name(std::span<const std::uint8_t> reply) {
    if (!starts_with_prefix(reply, kReplyProductName)) return std::nullopt;
    std::string name;
    for (std::size_t i = 5; i < reply.size() && reply[i] != 0 && name.size() < kProductNameLength;
         ++i)
        name.push_back(static_cast<char>(reply[i]));
    return name;
}

std::optional<std::array<char, kVersionLength>> parse_firmware_version(
    std::span<const std::uint8_t> reply) {
    if (reply.size() != kVersionReplySize || !starts_with_prefix(reply, kReplyFirmwareVersion))
        return std::nullopt;
    std::array<char, kVersionLength> v{};
    std::memcpy(v.data(), reply.data() + 5, kVersionLength);
    return v;
}

std::optional<UsbIdReply> parse_usb_id_reply(std::span<const std::uint8_t> reply) {
    if (reply.size() != kUsbIdReplySize || !starts_with_prefix(reply, kUsbId)) return std::nullopt;
    UsbIdReply r;
    r.token = reply[5];
    for (std::size_t i = 6; i < kUsbIdReplySize && reply[i] != 0; ++i)
        r.identifier.push_back(static_cast<char>(reply[i]));
    return r;
}

bool usb_id_feature(std::string_view name, bool& supported_message) {
    supported_message = false;
    if (name.substr(0, 8) == "KP28plus") return true;
    const std::size_t position = name.substr(0, 5) == "VORKA" ? 16 : 10;
    if (position < name.size() && name[position] == 'U') {
        supported_message = true;
        return true;
    }
    return false;
}

}  // namespace kp28
