// Fetching the firmware image from an FTP or HTTP server with libcurl.
//
// The layer above keeps the failure code and text; these clients only say what
// went wrong, as a Result whose code is the one the layer records (2 the
// session could not be opened, 3 the connection failed, 4 the fetch failed).
//
// What goes over the wire:
// - The URL is split into scheme://[user[:password]@]host[:port]/path. Only
//   the host and the path part are used: the server port, the user and the
//   password always come from the RetrievalRecord, and the protocol is the
//   client's own (an "http://" URL given to the FTP client is fetched by FTP).
// - FTP: connect() connects and logs in (so a dead server or a wrong password is
//   a connection failure); fetch() retrieves the path part exactly as written,
//   in binary mode, passive or active as the record says.
// - HTTP: connect() sends HEAD for the path part; any answer (whatever its
//   status) counts as connected, so only an unreachable or silent server is a
//   connection failure.
//   fetch() sends GET for the path part (redirects followed) with basic
//   authentication when the record has a user. The answer must carry a 2xx
//   status and a Content-Length; the body is read until that length has arrived.
// - Every transfer has a connect time limit and is abandoned when the data
//   stops flowing, so a silent server cannot hang the run; a fetch is also
//   abandoned when it moves less than a minimum rate over a window, so a
//   server that drips a byte now and then cannot hold it for ever.
// - A body larger than the largest image the updater loads is refused before
//   a byte of it is stored when its size is announced, and stopped when it
//   grows past that size otherwise.
// - An interrupted run (interruption.h) abandons the transfer.
// - A fetch that fails leaves no file behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "result.h"
#include "retrieval_record.h"
#include "temp_file.h"

namespace fwupdate {

// A failure's text is curl's message, the server's answer, the system's
// message or one of the fixed texts below.
inline constexpr const char* kNotConnectedText = "Not connected to remote host";
inline constexpr const char* kNoWorkingDirectoryText = "Unable to detect current working directory";

// Temporary file names in the working directory; %d is the process id.
inline constexpr const char* kFtpImagePattern = "_ftp_image%d.img";
inline constexpr const char* kHttpImagePattern = "_http_image%d.img";

// Limits of every transfer. Times in seconds unless named otherwise.
struct NetLimits {
    long connect_timeout = 30;  // TCP connect, and for FTP the greeting and login
    long stall_timeout = 60;    // abandoned when no byte arrives for this long
    // The largest body fetched: the largest image the updater loads, whose
    // size the printer's size command carries in 32 bits.
    std::int64_t max_body = 4294967295;
    // A fetch must move at least min_rate bytes a second, counted over each
    // window of rate_window_ms from its start. 1 KiB/s is far below any link
    // a firmware server is reached over; it bounds an 8 MiB image at about
    // 2.3 hours.
    long min_rate = 1024;
    long rate_window_ms = 60000;

    // The defaults, with KP28FW_MIN_RATE (bytes a second) and
    // KP28FW_RATE_WINDOW_MS taken from the environment when they are
    // positive whole numbers.
    static NetLimits from_environment();
};

// The parts of a URL. user, password and port are recognised so that they can
// be skipped; the clients do not use them.
struct UrlParts {
    std::string scheme{};
    std::string user{};
    std::string password{};
    std::string host{};  // an IPv6 literal keeps its brackets: "[::1]"
    std::string port{};  // the digits after the host, empty when none
    std::string path{};  // everything after host and port: "/dir/fw.img?x=1"
};

// Host names longer than this are refused: a host name is at most 259 bytes.
inline constexpr std::size_t kMaxHostLength = 259;

// Splits url. A failure (code 4) says why when it has no "scheme://", no host,
// a host longer than kMaxHostLength, or a port that is not a number.
Result split_url(std::string_view url, UrlParts& parts);

// One session with one server, by FTP or HTTP. Not thread-safe; one per layer.
class NetClient {
  public:
    // protocol: ftp or http.
    explicit NetClient(RetrievalProtocol protocol, NetLimits limits = {});
    ~NetClient();
    NetClient(const NetClient&) = delete;
    NetClient& operator=(const NetClient&) = delete;

    RetrievalProtocol protocol() const;

    // Opens the session. agent is the HTTP User-Agent; empty means the program's
    // base name without extension. Failure: code 2.
    Result initialise(std::string_view agent = {});

    // Splits record.url and reaches the server (see the top of this file).
    // Failure: code 3, and the client is not connected.
    Result connect(const RetrievalRecord& record);
    bool connected() const;

    // Fetches url's path part from the connected server into a new file at
    // destination, made as TempFile::create makes it. On success the file stays
    // (the caller removes it); on failure it is removed. Failure: code 4, with
    // kNotConnectedText when connect() has not succeeded.
    Result fetch(std::string_view url, const std::string& destination);

    // The fetch step of an update: checks the connection (kNotConnectedText),
    // finds the working directory (kNoWorkingDirectoryText), names the file
    // "_ftp_image<pid>.img" or "_http_image<pid>.img" there, fetches into it and
    // hands it to image, which removes it when destroyed. Failure: code 4 and
    // image holds nothing.
    Result fetch_image(std::string_view url, TempFile& image);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class FtpClient : public NetClient {
  public:
    explicit FtpClient(NetLimits limits = {}) : NetClient(RetrievalProtocol::ftp, limits) {}
};

class HttpClient : public NetClient {
  public:
    explicit HttpClient(NetLimits limits = {}) : NetClient(RetrievalProtocol::http, limits) {}
};

}  // namespace fwupdate
