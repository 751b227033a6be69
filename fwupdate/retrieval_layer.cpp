#include "retrieval_layer.h"

#include "image_update.h"
#include "net_fetch.h"
#include "platform/platform.h"

namespace fwupdate {

namespace {

// FTP and HTTP: the image is fetched into a temporary file in the working
// directory, updated from there and removed again on every path.
class NetLayer : public RetrievalLayer {
  public:
    NetLayer(PrinterCommands& commands, RetrievalProtocol protocol)
        : RetrievalLayer(commands), client_(protocol, NetLimits::from_environment()) {}

    Result initialise() override {
        clear_recorded_text();
        Result r = client_.initialise();
        return r.ok() ? r : record(std::move(r));
    }

    Result connect(const RetrievalRecord& record_in) override {
        clear_recorded_text();
        Result r = client_.connect(record_in);
        return r.ok() ? r : record(std::move(r));
    }

    Result update(const std::string& url) override {
        clear_recorded_text();
        TempFile image;
        if (Result r = client_.fetch_image(url, image); !r.ok()) return record(std::move(r));
        // image removes the fetched file when it goes out of scope. The file
        // is read through a name in a directory that others may write to, so
        // only the very file that was fetched is used.
        platform::File file;
        if (Result r = image.open_for_reading(
                file, "The fetched image was replaced before it was read: " + image.path());
            !r.ok()) {
            commands_.announcer().announce(r.text);
            return r;
        }
        return update_image(commands_, std::move(file));
    }

  private:
    NetClient client_;
};

// SHARE: the URL is a file path, used where it is; nothing is copied.
class ShareLayer : public RetrievalLayer {
  public:
    using RetrievalLayer::RetrievalLayer;

    Result initialise() override { return success(); }

    Result connect(const RetrievalRecord& record_in) override {
        // Opened only to prove that the file can be read, and without waiting
        // for the writer of a FIFO.
        platform::File file;
        if (const int err = platform::File::open_for_reading(record_in.url, true, file); err != 0)
            return record(failure(ResultCode::connect_failure, platform::os_error_text(err)));
        platform::FileInfo info;
        if (const int err = file.info(info); err != 0)
            return record(failure(ResultCode::connect_failure, platform::os_error_text(err)));
        if (!info.regular)
            return record(
                failure(ResultCode::connect_failure, "Not a regular file: " + record_in.url));
        file_ = std::move(file);
        return success();
    }

    Result update(const std::string& url) override { return update_image(commands_, url); }

  private:
    platform::File file_;
};

}  // namespace

std::unique_ptr<RetrievalLayer> make_retrieval_layer(RetrievalProtocol protocol,
                                                     PrinterCommands& commands) {
    switch (protocol) {
        case RetrievalProtocol::ftp:
        case RetrievalProtocol::http:
            return std::make_unique<NetLayer>(commands, protocol);
        case RetrievalProtocol::share:
            return std::make_unique<ShareLayer>(commands);
    }
    return nullptr;
}

}  // namespace fwupdate
