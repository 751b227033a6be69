// Where the firmware image comes from: one RetrievalLayer per protocol (FTP,
// HTTP, SHARE) behind one table of operations, so the main sequence has one
// call path for every kind of run. Every layer also hands the reboot and USB
// identifier requests straight on to the printer operations.
#pragma once

#include <memory>
#include <string>

#include "printer_commands.h"
#include "result.h"
#include "retrieval_record.h"

namespace fwupdate {

class RetrievalLayer {
  public:
    explicit RetrievalLayer(PrinterCommands& commands) : commands_(commands) {}
    virtual ~RetrievalLayer() = default;
    RetrievalLayer(const RetrievalLayer&) = delete;
    RetrievalLayer& operator=(const RetrievalLayer&) = delete;

    // A failure of these two is recorded (see recorded()) and returned.
    virtual Result initialise() = 0;
    virtual Result connect(const RetrievalRecord& record) = 0;
    // Fetches the image at url and runs the update operation on it. Only a
    // failed fetch is recorded; a failed update has announced its reasons.
    virtual Result update(const std::string& url) = 0;

    // The code of the last failure the layer recorded (ok while none; it is
    // never set back) and the text of the last operation's failure.
    const Result& recorded() const { return recorded_; }

    Result record_usb_id(const std::string& identifier) {
        return commands_.record_usb_id(identifier);
    }
    Result reboot() { return commands_.reboot(); }

  protected:
    Result record(Result failed) {
        recorded_ = failed;
        return failed;
    }
    // The FTP and HTTP layers clear the text at the start of each operation.
    void clear_recorded_text() { recorded_.text.clear(); }

    PrinterCommands& commands_;
    Result recorded_;
};

// The layer for the protocol.
std::unique_ptr<RetrievalLayer> make_retrieval_layer(RetrievalProtocol protocol,
                                                     PrinterCommands& commands);

}  // namespace fwupdate
