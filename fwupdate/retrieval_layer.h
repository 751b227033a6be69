// Where the firmware image comes from: one RetrievalLayer per protocol (FTP,
// HTTP, SHARE) behind one table of operations, so the main sequence has one
// call path for every kind of run. Every layer also hands the reboot and USB
// identifier requests straight on to the printer operations.
#pragma once

#include <memory>
#include <string>

#include "printer_commands.h"
#include "retrieval_record.h"

namespace fwupdate {

// Failure codes a layer keeps, and their result texts.
inline constexpr int kResultNoError = 0;
inline constexpr int kResultInitFailure = 1;
inline constexpr int kResultOpenFailure = 2;
inline constexpr int kResultConnectFailure = 3;
inline constexpr int kResultWriteFailure = 4;

// "No Error", "Init Failure", ... "Not Executed"; any other code "unknown error".
std::string result_text(int code);

class RetrievalLayer {
  public:
    explicit RetrievalLayer(PrinterCommands& commands) : commands_(commands) {}
    virtual ~RetrievalLayer() = default;
    RetrievalLayer(const RetrievalLayer&) = delete;
    RetrievalLayer& operator=(const RetrievalLayer&) = delete;

    // Each returns 0 or the failure code it recorded.
    virtual int initialise() = 0;
    virtual int connect(const RetrievalRecord& record) = 0;
    // Fetches the image at url and runs the update operation on it: 0 or 4.
    virtual int update(const std::string& url) = 0;

    // The code recorded by the last failure (0 while none) and its text.
    int failure_code(std::string& text) const {
        text = failure_text_;
        return failure_code_;
    }

    int record_usb_id(const std::string& identifier) { return commands_.record_usb_id(identifier); }
    int reboot() { return commands_.reboot(); }

  protected:
    int fail(int code, std::string text) {
        failure_code_ = code;
        failure_text_ = std::move(text);
        if (failure_text_.size() > 1023) failure_text_.resize(1023);
        return code;
    }

    PrinterCommands& commands_;
    int failure_code_ = kResultNoError;  // only grows: never set back to 0
    std::string failure_text_;
};

// The layer for protocol number 0 (FTP), 1 (HTTP) or 2 (SHARE); nullptr for
// any other number.
std::unique_ptr<RetrievalLayer> make_retrieval_layer(int protocol, PrinterCommands& commands);

}  // namespace fwupdate
