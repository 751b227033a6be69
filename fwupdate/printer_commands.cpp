#include "printer_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "interruption.h"
#include "kp28/protocol/commands.h"

namespace fwupdate {

namespace {

constexpr std::uint8_t kDll = kp28::kClassDllMode;
constexpr std::uint8_t kUsbId = kp28::kClassUsbIdMode;
using kp28::kAckSize;
using kp28::kProductNameReplyMax;
using kp28::kUsbIdReplySize;
using kp28::kVersionReplySize;

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

std::span<const std::uint8_t> received(const std::uint8_t* reply, std::size_t count) {
    return {reply, count};
}

}  // namespace

void DataFile::close_and_remove() {
    if (owns_fd_ && fd_ >= 0) ::close(fd_);
    if (owns_fd_) fd_ = -1;
    owns_fd_ = false;
    temp_.remove();
}

bool PrinterCommands::send(const std::vector<std::uint8_t>& bytes) {
    return channel_.write(bytes.data(), bytes.size());
}

bool PrinterCommands::read_ack(std::uint8_t reply_class, std::uint8_t& token, bool enter,
                               int timeout_ms) {
    std::uint8_t reply[kAckSize] = {};
    std::size_t count = 0;
    if (!channel_.read(reply, sizeof reply, timeout_ms, count)) return false;
    const auto echoed = kp28::parse_ack(received(reply, count), reply_class);
    if (!echoed) return false;
    if (enter) {
        if (*echoed == 0) {
            channel_.last_reply_code = 0;
            return false;
        }
        token = *echoed;
        return true;
    }
    if (*echoed != token) {
        channel_.last_reply_code = *echoed;
        return false;
    }
    return true;
}

bool PrinterCommands::query_product_name(std::string& name) {
    if (!send(frames::product_name_query())) return false;
    std::uint8_t reply[kProductNameReplyMax] = {};
    std::size_t count = 0;
    if (!channel_.read(reply, sizeof reply, channel_.timings().query_ms, count)) return false;
    auto parsed = kp28::parse_product_name(received(reply, count));
    if (!parsed) return false;
    name = std::move(*parsed);
    return true;
}

bool PrinterCommands::query_firmware_version(FirmwareVersion& version) {
    if (!send(frames::firmware_version_query())) return false;
    std::uint8_t reply[kVersionReplySize] = {};
    std::size_t count = 0;
    if (!channel_.read(reply, sizeof reply, channel_.timings().query_ms, count)) return false;
    const auto parsed = kp28::parse_firmware_version(received(reply, count));
    if (!parsed) return false;
    version = *parsed;
    return true;
}

bool PrinterCommands::enter_dll_mode(std::uint8_t& token) {
    token = 0;
    return send(frames::enter_dll_mode()) && read_ack(kDll, token, true);
}

bool PrinterCommands::leave_dll_mode(std::uint8_t token) {
    return send(frames::leave_dll_mode(token)) &&
           read_ack(kDll, token, false, channel_.timings().leave_ack_ms);
}

bool PrinterCommands::send_image_size(std::uint8_t token, std::uint32_t size,
                                      const ImageHeader* header) {
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

bool PrinterCommands::send_write_flash(std::uint8_t token) {
    return send(frames::write_flash(token));
}
bool PrinterCommands::send_reboot(std::uint8_t token) {
    return send(frames::reboot(token));
}

bool PrinterCommands::enter_usb_id_mode(std::uint8_t& token) {
    token = 0;
    return send(frames::enter_usb_id_mode()) && read_ack(kUsbId, token, true);
}

bool PrinterCommands::leave_usb_id_mode(std::uint8_t token) {
    const bool ok = send(frames::leave_usb_id_mode(token)) &&
                    read_ack(kUsbId, token, false, channel_.timings().leave_ack_ms);
    channel_.disconnect();
    return ok;
}

bool PrinterCommands::read_usb_id(std::uint8_t token, std::string& identifier) {
    if (!send(frames::read_usb_id(token))) return false;
    std::uint8_t reply[kUsbIdReplySize] = {};
    std::size_t count = 0;
    if (!channel_.read(reply, sizeof reply, channel_.timings().query_ms, count)) return false;
    auto parsed = kp28::parse_usb_id_reply(received(reply, count));
    if (!parsed) return false;
    if (parsed->token != token) {
        channel_.last_reply_code = parsed->token;
        return false;
    }
    identifier = std::move(parsed->identifier);
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
std::string version_text(const FirmwareVersion& v) {
    return std::string(v.data(), v.size());
}
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
