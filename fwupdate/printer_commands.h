// The printer's maintenance dialogue: command frames and their replies, and
// the three operations built from them (reboot, USB identifier, firmware
// download).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "announcer.h"
#include "kp28/protocol/commands.h"
#include "platform/platform.h"
#include "printer_channel.h"
#include "result.h"
#include "temp_file.h"

namespace fwupdate {

using kp28::kProductNameLength;
using kp28::kUsbIdLength;
using kp28::kVersionLength;
// The 256 bytes that go with the image size command.
using kp28::ImageHeader;
using FirmwareVersion = std::array<char, kVersionLength>;

// The largest chunk of image data sent in one write, whatever BufferSize says.
inline constexpr std::size_t kMaxChunkSize = 1048576;

// The data that the download sends: an open file, and when it is a temporary
// file, the TempFile that removes it once it has been sent.
class DataFile {
  public:
    // The caller's own file: neither closed nor removed here.
    explicit DataFile(platform::File& file) : file_(&file) {}
    // A temporary file read through file (owned from now on).
    DataFile(platform::File file, TempFile temp)
        : own_(std::move(file)), file_(&own_), temp_(std::move(temp)) {}
    ~DataFile() { close_and_remove(); }
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    platform::File& file() { return *file_; }
    // Closes and removes a temporary file; does nothing to the caller's own.
    void close_and_remove();

  private:
    platform::File own_;
    platform::File* file_;
    TempFile temp_;
};

// Frames exactly as they go on the wire.
namespace frames = kp28::frames;

// Whether a product name marks a printer that can record a USB identifier.
// supported_message: the name was tested at its feature position (the
// "supports" message is announced) rather than accepted by its prefix.
using kp28::usb_id_feature;

class PrinterCommands {
  public:
    PrinterCommands(PrinterChannel& channel, const Announcer& announcer, std::string printer_name,
                    std::int32_t chunk_size)
        : channel_(channel),
          announcer_(announcer),
          printer_name_(std::move(printer_name)),
          chunk_size_(chunk_size) {}

    // Commands. Their failures carry no text (the operation announces what
    // failed), except the system's message when the image data cannot be
    // read. The answers to the two leave commands are never checked.
    Result query_product_name(std::string& name);
    Result query_firmware_version(FirmwareVersion& version);
    Result enter_dll_mode(std::uint8_t& token);
    void leave_dll_mode(std::uint8_t token);
    Result send_image_size(std::uint8_t token, std::uint32_t size, const ImageHeader* header);
    Result send_image_data(std::uint8_t token, platform::File& data);
    Result send_write_flash(std::uint8_t token);
    Result send_reboot(std::uint8_t token);
    Result enter_usb_id_mode(std::uint8_t& token);
    void leave_usb_id_mode(std::uint8_t token);
    Result read_usb_id(std::uint8_t token, std::string& identifier);
    Result write_usb_id(std::uint8_t token, const std::string& identifier);

    // Operations: every failure has been announced, and its text is the
    // message that said why.
    Result reboot();
    Result record_usb_id(const std::string& identifier);
    // old_version: the version read before the image was prepared.
    Result download(std::uint32_t size, const ImageHeader* header, DataFile& data,
                    const FirmwareVersion& old_version);

    const Announcer& announcer() const { return announcer_; }

  private:
    Result send(const std::vector<std::uint8_t>& frame);
    // Reads exactly 6 bytes: prefix, class and the token (checked against
    // token, or taken as the new token when enter is set).
    Result read_ack(std::uint8_t reply_class, std::uint8_t& token, bool enter, int timeout_ms);
    Result read_ack(std::uint8_t reply_class, std::uint8_t& token, bool enter) {
        return read_ack(reply_class, token, enter, channel_.timings().ack_ms);
    }
    // Announces text and returns it as the failure.
    Result failed(std::string text);
    // "Printer Reply Code : 0x.." for last_reply_code_.
    std::string reply_code_text() const;

    PrinterChannel& channel_;
    const Announcer& announcer_;
    std::string printer_name_;
    std::int32_t chunk_size_;
    // The byte a printer sent in place of the expected mode token, or 0 when
    // it refused to enter a mode; announced after a failed download step.
    std::uint8_t last_reply_code_ = 0;
};

}  // namespace fwupdate
