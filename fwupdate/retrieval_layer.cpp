#include "retrieval_layer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "image_update.h"
#include "net_fetch.h"

namespace fwupdate {

std::string result_text(int code) {
    switch (code) {
        case 0:
            return "No Error";
        case 1:
            return "Init Failure";
        case 2:
            return "Open Failure";
        case 3:
            return "Connect Failure";
        case 4:
            return "Write Failure";
        case 5:
            return "Close Failure";
        case 6:
            return "Not Executed";
        default:
            return "unknown error";
    }
}

namespace {

// FTP and HTTP: the image is fetched into a temporary file in the working
// directory, updated from there and removed again on every path.
class NetLayer : public RetrievalLayer {
  public:
    NetLayer(PrinterCommands& commands, NetProtocol protocol)
        : RetrievalLayer(commands), client_(protocol, NetLimits::from_environment()) {}

    int initialise() override {
        failure_text_.clear();
        NetStatus s = client_.initialise();
        return s.ok() ? 0 : fail(kResultOpenFailure, s.text);
    }

    int connect(const RetrievalRecord& record) override {
        failure_text_.clear();
        NetStatus s = client_.connect(record);
        return s.ok() ? 0 : fail(kResultConnectFailure, s.text);
    }

    int update(const std::string& url) override {
        failure_text_.clear();
        TempFile image;
        NetStatus s = client_.fetch_image(url, image);
        if (!s.ok()) return fail(kResultWriteFailure, s.text);
        // image removes the fetched file when it goes out of scope. The file
        // is read through a name in a directory that others may write to, so
        // only the very file that was fetched is used.
        int fd = -1;
        const int err = image.open_for_reading(fd);
        if (err != 0) {
            commands_.announcer().announce(
                err == kTempFileReplaced
                    ? "The fetched image was replaced before it was read: " + image.path()
                    : errno_text(err));
            return kFailed;
        }
        return update_image(commands_, fd);
    }

  private:
    NetClient client_;
};

// SHARE: the URL is a file path, used where it is; nothing is copied.
class ShareLayer : public RetrievalLayer {
  public:
    using RetrievalLayer::RetrievalLayer;
    ~ShareLayer() override {
        if (fd_ >= 0) ::close(fd_);
    }

    int initialise() override { return 0; }

    int connect(const RetrievalRecord& record) override {
        // Opened only to prove that the file can be read. Not blocking: the
        // open of a FIFO would wait for a writer for ever.
        const int fd = ::open(record.url.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return fail(kResultConnectFailure, errno_text(errno));
        struct stat st {};
        const int err = ::fstat(fd, &st) == 0 ? 0 : errno;
        if (err != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return fail(kResultConnectFailure,
                        err != 0 ? errno_text(err) : "Not a regular file: " + record.url);
        }
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
        return 0;
    }

    int update(const std::string& url) override { return update_image(commands_, url); }

  private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<RetrievalLayer> make_retrieval_layer(int protocol, PrinterCommands& commands) {
    switch (protocol) {
        case static_cast<int>(RetrievalProtocol::ftp):
            return std::make_unique<NetLayer>(commands, NetProtocol::ftp);
        case static_cast<int>(RetrievalProtocol::http):
            return std::make_unique<NetLayer>(commands, NetProtocol::http);
        case static_cast<int>(RetrievalProtocol::share):
            return std::make_unique<ShareLayer>(commands);
        default:
            return nullptr;
    }
}

}  // namespace fwupdate
