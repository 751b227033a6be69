#include "printer_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "interruption.h"
#include "kp28/frame.h"

namespace fwupdate {

namespace {

constexpr std::uint8_t kDll = kp28::kClassDllMode;
constexpr std::uint8_t kUsbId = kp28::kClassUsbIdMode;
constexpr std::size_t kAckSize = 6;
constexpr std::size_t kProductNameReplyMax = 22;
constexpr std::size_t kVersionReplySize = 10;
constexpr std::size_t kUsbIdReplySize = 38;

std::vector<std::uint8_t> frame(std::initializer_list<std::uint8_t> payload) {
    return kp28::make_frame(std::span<const std::uint8_t>(payload.begin(), payload.size()));
}

// The configured chunk, but never more than the data file holds (one byte
// more, so that a file smaller than the chunk still goes out in one write and
// no empty one) nor more than kMaxChunkSize.
std::size_t chunk_length(std::int32_t configured, int fd) {
    std::size_t length = std::min(static_cast<std::size_t>(configured), kMaxChunkSize);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        length = std::min(length, static_cast<std::size_t>(st.st_size) + 1);
    return length;
}

bool starts_with_prefix(const std::uint8_t* reply, std::size_t count, std::uint8_t reply_class) {
    return count >= 5 && std::memcmp(reply, kp28::kFramePrefix, 4) == 0 && reply[4] == reply_class;
}

}  // namespace

void DataFile::close_and_remove() {
    if (owns_fd_ && fd_ >= 0) ::close(fd_);
    if (owns_fd_) fd_ = -1;
    owns_fd_ = false;
    temp_.remove();
}

namespace frames {

std::vector<std::uint8_t> product_name_query() { return frame({0x01}); }
std::vector<std::uint8_t> firmware_version_query() { return frame({0x02}); }
std::vector<std::uint8_t> enter_dll_mode() { return frame({kDll, 0x00}); }
std::vector<std::uint8_t> leave_dll_mode(std::uint8_t token) { return frame({kDll, token}); }

std::vector<std::uint8_t> image_size(std::uint8_t token, std::uint32_t size, const ImageHeader* header) {
    std::vector<std::uint8_t> payload = {kDll, token, 0x01, 0, 0, 0, 0};
    kp28::put_le32(&payload[3], size);
    if (header != nullptr) payload.insert(payload.end(), header->begin(), header->end());
    return kp28::make_frame(payload);
}

std::vector<std::uint8_t> image_data(std::uint8_t token) { return frame({kDll, token, 0x02}); }
std::vector<std::uint8_t> write_flash(std::uint8_t token) { return frame({kDll, token, 0x03}); }
std::vector<std::uint8_t> reboot(std::uint8_t token) { return frame({kDll, token, 0x04}); }
std::vector<std::uint8_t> enter_usb_id_mode() { return frame({kUsbId, 0x00}); }
std::vector<std::uint8_t> leave_usb_id_mode(std::uint8_t token) { return frame({kUsbId, token}); }
std::vector<std::uint8_t> read_usb_id(std::uint8_t token) { return frame({kUsbId, token, 0x02}); }

std::vector<std::uint8_t> write_usb_id(std::uint8_t token, const std::string& identifier) {
    // The length field counts the three command bytes only; the identifier
    // and its terminating zero follow uncounted.
    const std::uint8_t counted[] = {kUsbId, token, 0x01};
    std::vector<std::uint8_t> out = kp28::make_frame(3, counted);
    out.insert(out.end(), identifier.begin(), identifier.end());
    out.push_back(0x00);
    return out;
}

}  // namespace frames

bool usb_id_feature(const std::string& name, bool& supported_message) {
    supported_message = false;
    if (name.compare(0, 8, "KP28plus") == 0) return true;
    const std::size_t position = name.compare(0, 5, "VORKA") == 0 ? 16 : 10;
    if (position < name.size() && name[position] == 'U') {
        supported_message = true;
        return true;
    }
    return false;
}

bool PrinterCommands::send(const std::vector<std::uint8_t>& bytes) {
    return channel_.write(bytes.data(), bytes.size());
}

bool PrinterCommands::read_ack(std::uint8_t reply_class, std::uint8_t& token, bool enter, int timeout_ms) {
    std::uint8_t reply[kAckSize] = {};
    std::size_t count = 0;
    if (!channel_.read(reply, sizeof reply, timeout_ms, count)) return false;
    if (count != kAckSize || !starts_with_prefix(reply, count, reply_class)) return false;
    if (enter) {
        if (reply[5] == 0) {
            channel_.last_reply_code = 0;
            return false;
        }
        token = reply[5];
        return true;
    }
    if (reply[5] != token) {
        channel_.last_reply_code = reply[5];
        return false;
    }
    return true;
}

bool PrinterCommands::query_product_name(std::string& name) {
    if (!send(frames::product_name_query())) return false;
    std::uint8_t reply[kProductNameReplyMax] = {};
    std::size_t count = 0;
    if (!channel_.read(reply, sizeof reply, channel_.timings().query_ms, count)) return false;
    if (!starts_with_prefix(reply, count, kp28::kReplyProductName)) return false;
    name.clear();
    for (std::size_t i = 5; i < count && reply[i] != 0 && name.size() < kProductNameLength; ++i)
        name.push_back(static_cast<char>(reply[i]));
    return true;
}

bool PrinterCommands::query_firmware_version(FirmwareVersion& version) {
    if (!send(frames::firmware_version_query())) return false;
    std::uint8_t reply[kVersionReplySize] = {};
    std::size_t count = 0;
    if (!channel_.read(reply, sizeof reply, channel_.timings().query_ms, count)) return false;
    if (count != kVersionReplySize || !starts_with_prefix(reply, count, kp28::kReplyFirmwareVersion))
        return false;
    std::memcpy(version.data(), reply + 5, kVersionLength);
    return true;
}

bool PrinterCommands::enter_dll_mode(std::uint8_t& token) {
    token = 0;
    return send(frames::enter_dll_mode()) && read_ack(kDll, token, true);
}

bool PrinterCommands::leave_dll_mode(std::uint8_t token) {
    return send(frames::leave_dll_mode(token)) && read_ack(kDll, token, false, channel_.timings().leave_ack_ms);
}

bool PrinterCommands::send_image_size(std::uint8_t token, std::uint32_t size, const ImageHeader* header) {
    return send(frames::image_size(token, size, header)) && read_ack(kDll, token, false);
}

bool PrinterCommands::send_image_data(std::uint8_t token, int fd, std::string& error_text) {
    error_text.clear();
    std::vector<std::uint8_t> chunk;
    try {
        chunk.resize(chunk_length(chunk_size_, fd));
    } catch (const std::bad_alloc&) {
        error_text = errno_text(ENOMEM);
        return false;
    }
    if (!send(frames::image_data(token))) return false;

    long long total = 0;
    for (;;) {
        if (interrupted()) return false;
        // A regular file fills the chunk unless it ends; keep reading until
        // either happens so that every write but the last is a whole chunk.
        std::size_t filled = 0;
        while (filled < chunk.size()) {
            const ssize_t n = ::read(fd, chunk.data() + filled, chunk.size() - filled);
            if (n < 0) {
                if (errno == EINTR) continue;
                error_text = errno_text(errno);
                return false;
            }
            if (n == 0) break;
            filled += static_cast<std::size_t>(n);
        }
        // A file whose length is a multiple of the chunk ends with an empty write.
        if (!channel_.write(chunk.data(), filled)) return false;
        total += static_cast<long long>(filled);
        if (announcer_.verbose()) {
            std::printf("# total = %d\r", static_cast<int>(total));
            std::fflush(stdout);
        }
        if (filled < chunk.size()) break;
    }
    return read_ack(kDll, token, false);
}

bool PrinterCommands::send_write_flash(std::uint8_t token) { return send(frames::write_flash(token)); }
bool PrinterCommands::send_reboot(std::uint8_t token) { return send(frames::reboot(token)); }

bool PrinterCommands::enter_usb_id_mode(std::uint8_t& token) {
    token = 0;
    return send(frames::enter_usb_id_mode()) && read_ack(kUsbId, token, true);
}

bool PrinterCommands::leave_usb_id_mode(std::uint8_t token) {
    const bool ok =
        send(frames::leave_usb_id_mode(token)) && read_ack(kUsbId, token, false, channel_.timings().leave_ack_ms);
    channel_.disconnect();
    return ok;
}

bool PrinterCommands::read_usb_id(std::uint8_t token, std::string& identifier) {
    if (!send(frames::read_usb_id(token))) return false;
    std::uint8_t reply[kUsbIdReplySize] = {};
    std::size_t count = 0;
    if (!channel_.read(reply, sizeof reply, channel_.timings().query_ms, count)) return false;
    if (count != kUsbIdReplySize || !starts_with_prefix(reply, count, kUsbId)) return false;
    if (reply[5] != token) {
        channel_.last_reply_code = reply[5];
        return false;
    }
    identifier.clear();
    for (std::size_t i = 6; i < kUsbIdReplySize && reply[i] != 0; ++i)
        identifier.push_back(static_cast<char>(reply[i]));
    return true;
}

bool PrinterCommands::write_usb_id(std::uint8_t token, const std::string& identifier) {
    return send(frames::write_usb_id(token, identifier)) && read_ack(kUsbId, token, false);
}

bool PrinterCommands::wait_for_reboot(FirmwareVersion& version) {
    return channel_.wait_for_reboot(channel_.timings().reboot_limit_ms, printer_name_,
                                    [&] { return query_firmware_version(version); }) == 0;
}

void PrinterCommands::announce_reply_code() {
    char text[64];
    std::snprintf(text, sizeof text, "Printer Reply Code : 0x%x", channel_.last_reply_code);
    announcer_.announce(text);
}

namespace {
std::string version_text(const FirmwareVersion& v) { return std::string(v.data(), v.size()); }
}  // namespace

int PrinterCommands::reboot() {
    FirmwareVersion old_version{};
    announcer_.announce("Retrieving Firmware Version");
    if (!query_firmware_version(old_version)) {
        announcer_.announce("The printer is unable to return the current firmware version");
        return kFailed;
    }
    announcer_.announce("Current Firmware Version : " + version_text(old_version));

    std::uint8_t token = 0;
    announcer_.announce("Enter REBOOT Mode");
    if (!enter_dll_mode(token)) {
        announcer_.announce("The printer is unable to start the reboot process");
        return kFailed;
    }
    announcer_.announce("Sending reboot command to printer.");
    if (!send_reboot(token)) {
        announcer_.announce("The printer is unable to load the reboot command.");
        leave_dll_mode(token);
        return kFailed;
    }
    announcer_.announce("Waiting for the printer to reboot");
    FirmwareVersion new_version{};
    if (!wait_for_reboot(new_version)) {
        announcer_.announce("Waiting for reboot failure");
        leave_dll_mode(token);
        return kFailed;
    }
    announcer_.announce("Current Firmware Version : " + version_text(new_version));
    if (new_version == old_version) {
        announcer_.announce("The printer is up and running");
        announcer_.announce("Reboot successfully completed.");
        leave_dll_mode(token);
        return kOk;
    }
    announcer_.announce("The printer failed to reboot.");
    leave_dll_mode(token);
    return kFailed;
}

int PrinterCommands::record_usb_id(const std::string& wanted) {
    std::string name;
    announcer_.announce("Retrieving Product Name");
    if (!query_product_name(name)) {
        announcer_.announce("The printer is unable to return the current product name");
        return kFailed;
    }
    announcer_.announce("Current Product Name: " + name);

    bool say_supported = false;
    if (!usb_id_feature(name, say_supported)) {
        announcer_.announce("The printer doesn't support USB ID. feature");
        return kFailed;
    }
    if (say_supported) announcer_.announce("The printer supports USB ID. feature");

    // The printer keeps 32 characters; a longer one could never read back
    // equal, so it is refused before the printer's identifier is touched.
    if (wanted.size() > kUsbIdLength) {
        announcer_.announce("The USB ID is longer than 32 characters: " + wanted);
        return kFailed;
    }

    std::uint8_t token = 0;
    announcer_.announce("Enter USB ID. update Mode");
    if (!enter_usb_id_mode(token)) {
        announcer_.announce("The printer is unable to start the usb id. update process");
        return kFailed;
    }

    // Both reads of the identifier, before and after the write, report alike.
    std::string current;
    auto read_current = [&] {
        announcer_.announce("Retrieving usd id.");
        if (!read_usb_id(token, current)) {
            announcer_.announce("The printer is unable to return the current usb id.");
            leave_usb_id_mode(token);
            return false;
        }
        announcer_.announce("Current USB ID : " + current);
        return true;
    };
    if (!read_current()) return kFailed;
    if (current == wanted) {
        announcer_.announce("The printer USB ID equals the DefaultUsbId ");
        leave_usb_id_mode(token);
        return kOk;
    }

    announcer_.announce("Sending usb id.command to printer");
    if (!write_usb_id(token, wanted)) {
        announcer_.announce("The printer is unable to load the usb id.");
        leave_usb_id_mode(token);
        return kFailed;
    }
    if (!read_current()) return kFailed;
    if (current == wanted) {
        announcer_.announce("Printer USB ID updated");
        leave_usb_id_mode(token);
        return kOk;
    }
    announcer_.announce("Current USB ID update failed");
    leave_usb_id_mode(token);
    return kFailed;
}

int PrinterCommands::download(std::uint32_t size, const ImageHeader* header, DataFile& data,
                              const FirmwareVersion& old_version) {
    std::uint8_t token = 0;
    announcer_.announce("Enter DLL Mode");
    if (!enter_dll_mode(token)) {
        announcer_.announce("The printer is unable to start the firmware update process");
        return kFailed;
    }
    char text[64];
    std::snprintf(text, sizeof text, "File size : %d", static_cast<int>(size));
    announcer_.announce(text);

    announcer_.announce("Sending image file header to printer");
    if (!send_image_size(token, size, header)) {
        announcer_.announce("Sending abort DLL mode command to printer");
        leave_dll_mode(token);
        announcer_.announce("Invalid image file header");
        announce_reply_code();
        return kFailed;
    }

    announcer_.announce("Sending image data to printer");
    std::string error_text;
    if (!send_image_data(token, data.fd(), error_text)) {
        if (!error_text.empty()) announcer_.announce(error_text);
        announcer_.announce("Sending abort DLL mode command to printer");
        leave_dll_mode(token);
        announce_reply_code();
        return kFailed;
    }
    data.close_and_remove();
    if (announcer_.verbose()) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    announcer_.announce("Sending write flash command to printer");
    if (!send_write_flash(token)) {
        announcer_.announce("Sending abort DLL mode command to printer");
        leave_dll_mode(token);
        announce_reply_code();
        return kFailed;
    }
    announcer_.announce("Waiting for the printer to reboot");
    FirmwareVersion new_version{};
    if (!wait_for_reboot(new_version)) {
        announcer_.announce("Waiting for reboot failure");
        return kFailed;
    }
    announcer_.announce("New Firmware Version : " + version_text(new_version));
    if (new_version != old_version) {
        announcer_.announce("The printer is up and running");
        announcer_.announce("Firmware update successfully completed");
        return kOk;
    }
    announcer_.announce("The printer failed to update the firmware");
    return kFailed;
}

}  // namespace fwupdate
