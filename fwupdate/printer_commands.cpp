#include "printer_commands.h"

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
std::size_t chunk_length(std::int32_t configured, const platform::File& data) {
    std::size_t length = std::min(static_cast<std::size_t>(configured), kMaxChunkSize);
    platform::FileInfo info;
    if (data.info(info) == 0 && info.regular)
        length = std::min(length, static_cast<std::size_t>(info.size) + 1);
    return length;
}

std::span<const std::uint8_t> received(const std::uint8_t* reply, std::size_t count) {
    return {reply, count};
}

}  // namespace

void DataFile::close_and_remove() {
    own_.close();
    temp_.remove();
}

Result PrinterCommands::send(const std::vector<std::uint8_t>& bytes) {
    return channel_.write(bytes.data(), bytes.size());
}

Result PrinterCommands::read_ack(std::uint8_t reply_class, std::uint8_t& token, bool enter,
                                 int timeout_ms) {
    std::uint8_t reply[kAckSize] = {};
    std::size_t count = 0;
    if (Result r = channel_.read(reply, sizeof reply, timeout_ms, count); !r.ok()) return r;
    const auto echoed = kp28::parse_ack(received(reply, count), reply_class);
    if (!echoed) return failure();
    if (enter) {
        if (*echoed == 0) {
            last_reply_code_ = 0;
            return failure();
        }
        token = *echoed;
        return success();
    }
    if (*echoed != token) {
        last_reply_code_ = *echoed;
        return failure();
    }
    return success();
}

Result PrinterCommands::failed(std::string text) {
    announcer_.announce(text);
    return failure(std::move(text));
}

Result PrinterCommands::query_product_name(std::string& name) {
    if (Result r = send(frames::product_name_query()); !r.ok()) return r;
    std::uint8_t reply[kProductNameReplyMax] = {};
    std::size_t count = 0;
    if (Result r = channel_.read(reply, sizeof reply, channel_.timings().query_ms, count); !r.ok())
        return r;
    auto parsed = kp28::parse_product_name(received(reply, count));
    if (!parsed) return failure();
    name = std::move(*parsed);
    return success();
}

Result PrinterCommands::query_firmware_version(FirmwareVersion& version) {
    if (Result r = send(frames::firmware_version_query()); !r.ok()) return r;
    std::uint8_t reply[kVersionReplySize] = {};
    std::size_t count = 0;
    if (Result r = channel_.read(reply, sizeof reply, channel_.timings().query_ms, count); !r.ok())
        return r;
    const auto parsed = kp28::parse_firmware_version(received(reply, count));
    if (!parsed) return failure();
    version = *parsed;
    return success();
}

Result PrinterCommands::enter_dll_mode(std::uint8_t& token) {
    token = 0;
    if (Result r = send(frames::enter_dll_mode()); !r.ok()) return r;
    return read_ack(kDll, token, true);
}

void PrinterCommands::leave_dll_mode(std::uint8_t token) {
    if (send(frames::leave_dll_mode(token)).ok())
        static_cast<void>(read_ack(kDll, token, false, channel_.timings().leave_ack_ms));
}

Result PrinterCommands::send_image_size(std::uint8_t token, std::uint32_t size,
                                        const ImageHeader* header) {
    if (Result r = send(frames::image_size(token, size, header)); !r.ok()) return r;
    return read_ack(kDll, token, false);
}

Result PrinterCommands::send_image_data(std::uint8_t token, platform::File& data) {
    std::vector<std::uint8_t> chunk;
    try {
        chunk.resize(chunk_length(chunk_size_, data));
    } catch (const std::bad_alloc&) {
        return platform::os_failure(ENOMEM);
    }
    if (Result r = send(frames::image_data(token)); !r.ok()) return r;

    long long total = 0;
    for (;;) {
        if (interrupted()) return failure();
        // A regular file fills the chunk unless it ends; keep reading until
        // either happens so that every write but the last is a whole chunk.
        std::size_t filled = 0;
        if (const int err = data.read_up_to(chunk.data(), chunk.size(), filled); err != 0)
            return platform::os_failure(err);
        // A file whose length is a multiple of the chunk ends with an empty write.
        if (Result r = channel_.write(chunk.data(), filled); !r.ok()) return r;
        total += static_cast<long long>(filled);
        if (announcer_.verbose()) {
            std::printf("# total = %d\r", static_cast<int>(total));
            std::fflush(stdout);
        }
        if (filled < chunk.size()) break;
    }
    return read_ack(kDll, token, false);
}

Result PrinterCommands::send_write_flash(std::uint8_t token) {
    return send(frames::write_flash(token));
}
Result PrinterCommands::send_reboot(std::uint8_t token) {
    return send(frames::reboot(token));
}

Result PrinterCommands::enter_usb_id_mode(std::uint8_t& token) {
    token = 0;
    if (Result r = send(frames::enter_usb_id_mode()); !r.ok()) return r;
    return read_ack(kUsbId, token, true);
}

void PrinterCommands::leave_usb_id_mode(std::uint8_t token) {
    if (send(frames::leave_usb_id_mode(token)).ok())
        static_cast<void>(read_ack(kUsbId, token, false, channel_.timings().leave_ack_ms));
    channel_.disconnect();
}

Result PrinterCommands::read_usb_id(std::uint8_t token, std::string& identifier) {
    if (Result r = send(frames::read_usb_id(token)); !r.ok()) return r;
    std::uint8_t reply[kUsbIdReplySize] = {};
    std::size_t count = 0;
    if (Result r = channel_.read(reply, sizeof reply, channel_.timings().query_ms, count); !r.ok())
        return r;
    auto parsed = kp28::parse_usb_id_reply(received(reply, count));
    if (!parsed) return failure();
    if (parsed->token != token) {
        last_reply_code_ = parsed->token;
        return failure();
    }
    identifier = std::move(parsed->identifier);
    return success();
}

Result PrinterCommands::write_usb_id(std::uint8_t token, const std::string& identifier) {
    if (Result r = send(frames::write_usb_id(token, identifier)); !r.ok()) return r;
    return read_ack(kUsbId, token, false);
}

std::string PrinterCommands::reply_code_text() const {
    char text[64];
    std::snprintf(text, sizeof text, "Printer Reply Code : 0x%x", last_reply_code_);
    return text;
}

namespace {
std::string version_text(const FirmwareVersion& v) {
    return std::string(v.data(), v.size());
}
}  // namespace

Result PrinterCommands::reboot() {
    FirmwareVersion old_version{};
    announcer_.announce("Retrieving Firmware Version");
    if (!query_firmware_version(old_version).ok())
        return failed("The printer is unable to return the current firmware version");
    announcer_.announce("Current Firmware Version : " + version_text(old_version));

    std::uint8_t token = 0;
    announcer_.announce("Enter REBOOT Mode");
    if (!enter_dll_mode(token).ok())
        return failed("The printer is unable to start the reboot process");
    announcer_.announce("Sending reboot command to printer.");
    if (!send_reboot(token).ok()) {
        Result r = failed("The printer is unable to load the reboot command.");
        leave_dll_mode(token);
        return r;
    }
    announcer_.announce("Waiting for the printer to reboot");
    FirmwareVersion new_version{};
    if (Result r = channel_.wait_for_reboot(channel_.timings().reboot_limit_ms, printer_name_,
                                            [&] { return query_firmware_version(new_version); });
        !r.ok()) {
        r = failed(std::move(r.text));
        leave_dll_mode(token);
        return r;
    }
    announcer_.announce("Current Firmware Version : " + version_text(new_version));
    if (new_version == old_version) {
        announcer_.announce("The printer is up and running");
        announcer_.announce("Reboot successfully completed.");
        leave_dll_mode(token);
        return success();
    }
    Result r = failed("The printer failed to reboot.");
    leave_dll_mode(token);
    return r;
}

Result PrinterCommands::record_usb_id(const std::string& wanted) {
    std::string name;
    announcer_.announce("Retrieving Product Name");
    if (!query_product_name(name).ok())
        return failed("The printer is unable to return the current product name");
    announcer_.announce("Current Product Name: " + name);

    bool say_supported = false;
    if (!usb_id_feature(name, say_supported))
        return failed("The printer doesn't support USB ID. feature");
    if (say_supported) announcer_.announce("The printer supports USB ID. feature");

    // The printer keeps 32 characters; a longer one could never read back
    // equal, so it is refused before the printer's identifier is touched.
    if (wanted.size() > kUsbIdLength)
        return failed("The USB ID is longer than 32 characters: " + wanted);

    std::uint8_t token = 0;
    announcer_.announce("Enter USB ID. update Mode");
    if (!enter_usb_id_mode(token).ok())
        return failed("The printer is unable to start the usb id. update process");

    // Both reads of the identifier, before and after the write, report alike.
    std::string current;
    auto read_current = [&]() -> Result {
        announcer_.announce("Retrieving usd id.");
        if (!read_usb_id(token, current).ok()) {
            Result r = failed("The printer is unable to return the current usb id.");
            leave_usb_id_mode(token);
            return r;
        }
        announcer_.announce("Current USB ID : " + current);
        return success();
    };
    if (Result r = read_current(); !r.ok()) return r;
    if (current == wanted) {
        announcer_.announce("The printer USB ID equals the DefaultUsbId ");
        leave_usb_id_mode(token);
        return success();
    }

    announcer_.announce("Sending usb id.command to printer");
    if (!write_usb_id(token, wanted).ok()) {
        Result r = failed("The printer is unable to load the usb id.");
        leave_usb_id_mode(token);
        return r;
    }
    if (Result r = read_current(); !r.ok()) return r;
    if (current == wanted) {
        announcer_.announce("Printer USB ID updated");
        leave_usb_id_mode(token);
        return success();
    }
    Result r = failed("Current USB ID update failed");
    leave_usb_id_mode(token);
    return r;
}

Result PrinterCommands::download(std::uint32_t size, const ImageHeader* header, DataFile& data,
                                 const FirmwareVersion& old_version) {
    std::uint8_t token = 0;
    announcer_.announce("Enter DLL Mode");
    if (!enter_dll_mode(token).ok())
        return failed("The printer is unable to start the firmware update process");
    char text[64];
    std::snprintf(text, sizeof text, "File size : %d", static_cast<int>(size));
    announcer_.announce(text);

    // A step that failed after DLL mode was entered leaves it again and
    // names the printer's reply.
    auto abort_step = [&](std::string_view before_reply_code) {
        announcer_.announce("Sending abort DLL mode command to printer");
        leave_dll_mode(token);
        if (!before_reply_code.empty()) announcer_.announce(before_reply_code);
        return failed(reply_code_text());
    };

    announcer_.announce("Sending image file header to printer");
    if (!send_image_size(token, size, header).ok()) return abort_step("Invalid image file header");

    announcer_.announce("Sending image data to printer");
    if (Result r = send_image_data(token, data.file()); !r.ok()) {
        if (!r.text.empty()) announcer_.announce(r.text);
        return abort_step({});
    }
    data.close_and_remove();
    if (announcer_.verbose()) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    announcer_.announce("Sending write flash command to printer");
    if (!send_write_flash(token).ok()) return abort_step({});
    announcer_.announce("Waiting for the printer to reboot");
    FirmwareVersion new_version{};
    if (Result r = channel_.wait_for_reboot(channel_.timings().reboot_limit_ms, printer_name_,
                                            [&] { return query_firmware_version(new_version); });
        !r.ok())
        return failed(std::move(r.text));
    announcer_.announce("New Firmware Version : " + version_text(new_version));
    if (new_version != old_version) {
        announcer_.announce("The printer is up and running");
        announcer_.announce("Firmware update successfully completed");
        return success();
    }
    return failed("The printer failed to update the firmware");
}

}  // namespace fwupdate
