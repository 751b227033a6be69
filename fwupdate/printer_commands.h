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
#include "printer_channel.h"
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

// Operations return these.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 4;

// The data that the download sends: an open file, and when it is a temporary
// file, the TempFile that removes it once it has been sent.
class DataFile {
  public:
    // The caller's own file: neither closed nor removed here.
    explicit DataFile(int fd) : fd_(fd) {}
    // A temporary file read through fd (owned from now on).
    DataFile(int fd, TempFile temp) : fd_(fd), owns_fd_(true), temp_(std::move(temp)) {}
    ~DataFile() { close_and_remove(); }
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    int fd() const { return fd_; }
    // Closes and removes a temporary file; does nothing to the caller's own.
    void close_and_remove();

  private:
    int fd_ = -1;
    bool owns_fd_ = false;
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

    // Commands: true on success.
    bool query_product_name(std::string& name);
    bool query_firmware_version(FirmwareVersion& version);
    bool enter_dll_mode(std::uint8_t& token);
    bool leave_dll_mode(std::uint8_t token);
    bool send_image_size(std::uint8_t token, std::uint32_t size, const ImageHeader* header);
    bool send_image_data(std::uint8_t token, int fd, std::string& error_text);
    bool send_write_flash(std::uint8_t token);
    bool send_reboot(std::uint8_t token);
    bool enter_usb_id_mode(std::uint8_t& token);
    bool leave_usb_id_mode(std::uint8_t token);
    bool read_usb_id(std::uint8_t token, std::string& identifier);
    bool write_usb_id(std::uint8_t token, const std::string& identifier);

    // Operations: kOk or kFailed.
    int reboot();
    int record_usb_id(const std::string& identifier);
    // old_version: the version read before the image was prepared.
    int download(std::uint32_t size, const ImageHeader* header, DataFile& data,
                 const FirmwareVersion& old_version);

    const Announcer& announcer() const { return announcer_; }

  private:
    bool send(const std::vector<std::uint8_t>& frame);
    // Reads exactly 6 bytes: prefix, class and the token (checked against
    // token, or taken as the new token when enter is set).
    bool read_ack(std::uint8_t reply_class, std::uint8_t& token, bool enter, int timeout_ms);
    bool read_ack(std::uint8_t reply_class, std::uint8_t& token, bool enter) {
        return read_ack(reply_class, token, enter, channel_.timings().ack_ms);
    }
    bool wait_for_reboot(FirmwareVersion& version);
    void announce_reply_code();

    PrinterChannel& channel_;
    const Announcer& announcer_;
    std::string printer_name_;
    std::int32_t chunk_size_;
};

}  // namespace fwupdate
