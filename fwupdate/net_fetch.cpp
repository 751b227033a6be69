// FTP and HTTP retrieval over libcurl. One easy handle per client is the
// session: it is kept from initialise() to the end so that the FTP login made
// by connect() is reused by the fetch (libcurl keeps the connection in the
// handle's cache across curl_easy_reset).
#include "net_fetch.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "interruption.h"
#include "platform/platform.h"

namespace fwupdate {

namespace {

// curl_global_init is not safe to run twice at once on every libcurl build.
CURLcode global_init() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

// curl's short message, followed by the detail in the error buffer when it
// adds something ("Login denied: Access denied: 530").
std::string curl_text(CURLcode rc, const char* detail) {
    std::string text = curl_easy_strerror(rc);
    if (detail != nullptr && detail[0] != '\0' && text != detail) {
        std::string extra = detail;
        while (!extra.empty() && (extra.back() == '\n' || extra.back() == '\r')) extra.pop_back();
        text += ": ";
        text += extra;
    }
    return text;
}

// The program's base name without extension, as the HTTP agent name.
std::string program_agent_name() {
    std::string name = platform::program_name();
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name.empty() ? std::string("Kp28FWUpdate") : name;
}

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

void append_escaped(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789ABCDEF";
    out += '%';
    out += hex[c >> 4];
    out += hex[c & 0x0F];
}

// The FTP server is to receive the path part exactly as written, leading slash
// included (RETR /dir/fw.img). libcurl decodes the URL path after its first
// slash and, without CWD steps, sends the rest whole, so every byte but the
// unreserved ones is escaped, the slashes too.
std::string ftp_url(const std::string& host, std::uint16_t port, std::string_view path) {
    std::string url = "ftp://" + host;
    if (port != 0) url += ':' + std::to_string(port);
    url += '/';
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_unreserved(c))
            url += ch;
        else
            append_escaped(url, c);
    }
    return url;
}

// The HTTP path part is already a request target; only bytes that may not
// appear in one (blanks, controls, non-ASCII) are escaped.
std::string http_url(const std::string& host, std::uint16_t port, std::string_view path) {
    std::string url = "http://" + host;
    if (port != 0) url += ':' + std::to_string(port);
    if (path.empty() || path.front() != '/') url += '/';
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F)
            append_escaped(url, c);
        else
            url += ch;
    }
    return url;
}

// Where the body goes and what has been learnt about it on the way.
struct BodySink {
    RetrievalProtocol protocol = RetrievalProtocol::ftp;
    CURL* easy = nullptr;
    const std::string* destination = nullptr;
    TempFile* file = nullptr;
    curl_off_t expected = -1;  // HTTP: the content length
    curl_off_t written = 0;
    curl_off_t max_body = 0;
    // HTTP: the Content-Length header as it came, which libcurl does not
    // report when it refuses the size itself.
    curl_off_t header_length = -1;
    std::string status_line;  // HTTP: the last status line seen
    std::string refusal;      // why the body was refused, when it was

    // HTTP answers are judged once their headers are complete, before a byte of
    // the body is stored: an error page or a body of unknown length must never
    // become an image.
    bool http_answer_acceptable() {
        // Only 200 (or 203 from a proxy) carries the whole file: an error
        // page, "no content" or a partial answer is not an image.
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200 && status != 203) {
            refusal = "The server did not send the file: " +
                      (status_line.empty() ? "status " + std::to_string(status) : status_line);
            return false;
        }
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
        if (expected < 0) {
            refusal = "The server did not send the content length";
            return false;
        }
        return true;
    }

    // An announced size (HTTP's content length, FTP's SIZE or transfer
    // reply) larger than any image is refused before the file is made.
    bool announced_size_acceptable() {
        curl_off_t announced = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        if (announced > max_body) {
            refusal = too_large_text(announced);
            return false;
        }
        return true;
    }

    std::string too_large_text(curl_off_t announced) const {
        if (announced < 0) announced = header_length;
        const std::string limit = "the largest image (" + std::to_string(max_body) + " bytes)";
        return announced >= 0 ? "The server announced " + std::to_string(announced) +
                                    " bytes, more than " + limit
                              : "The file is larger than " + limit;
    }

    bool open_file() {
        if (file->holds_file()) return true;
        if (protocol == RetrievalProtocol::http && !http_answer_acceptable()) return false;
        if (!announced_size_acceptable()) return false;
        if (const Result r = file->create(*destination); !r.ok()) {
            refusal = "Cannot create " + *destination + ": " + r.text;
            return false;
        }
        return true;
    }
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<BodySink*>(user);
    const size_t length = size * count;
    if (!sink->open_file()) return CURL_WRITEFUNC_ERROR;
    if (static_cast<curl_off_t>(length) > sink->max_body - sink->written) {
        sink->refusal = sink->too_large_text(-1);
        return CURL_WRITEFUNC_ERROR;
    }
    if (const Result r = sink->file->write_all(data, length); !r.ok()) {
        sink->refusal = "Cannot write " + *sink->destination + ": " + r.text;
        return CURL_WRITEFUNC_ERROR;
    }
    sink->written += static_cast<curl_off_t>(length);
    return length;
}

// Gives a transfer up when no byte has moved for the stall time. libcurl calls
// it at least once a second while a transfer runs.
// A fetch also has to keep a minimum rate: each window from its start must
// move at least rate * window bytes, or the fetch is given up (a server that
// sends a byte every few seconds never stalls, but never finishes either).
// And every transfer ends once the run is interrupted.
struct StallWatch {
    std::chrono::steady_clock::duration limit{};
    std::chrono::steady_clock::time_point last_change{};
    curl_off_t last_bytes = -1;
    std::string reason;

    bool check_rate = false;
    long min_rate = 0;  // bytes a second
    std::chrono::milliseconds window{};
    std::chrono::steady_clock::time_point window_start{};
    curl_off_t window_bytes = 0;  // down + up when the window began
};

int on_progress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* watch = static_cast<StallWatch*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (interrupted()) {
        watch->reason = "The transfer was interrupted";
        return 1;
    }
    if (watch->check_rate && now - watch->window_start >= watch->window) {
        const curl_off_t moved = down + up - watch->window_bytes;
        const double needed = static_cast<double>(watch->min_rate) *
                              std::chrono::duration<double>(watch->window).count();
        if (static_cast<double>(moved) < needed) {
            watch->reason = "The server sent " + std::to_string(moved) + " bytes in " +
                            std::to_string(watch->window.count()) +
                            " ms, less than the minimum of " + std::to_string(watch->min_rate) +
                            " bytes a second";
            return 1;
        }
        watch->window_start = now;
        watch->window_bytes = down + up;
    }
    if (down + up != watch->last_bytes) {
        watch->last_bytes = down + up;
        watch->last_change = now;
        return 0;
    }
    if (now - watch->last_change < watch->limit) return 0;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(watch->limit).count();
    watch->reason = "The server sent nothing for " + std::to_string(seconds) +
                    (seconds == 1 ? " second" : " seconds");
    return 1;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<BodySink*>(user);
    const size_t length = size * count;
    std::string_view line(data, length);
    if (line.substr(0, 5) == "HTTP/") {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        sink->status_line.assign(line);
        sink->header_length = -1;  // a new answer (after a redirect)
    }
    constexpr std::string_view kLength = "content-length:";
    if (line.size() > kLength.size() &&
        std::equal(kLength.begin(), kLength.end(), line.begin(), [](char a, char b) {
            return a == std::tolower(static_cast<unsigned char>(b));
        })) {
        const std::string value(line.substr(kLength.size()));
        char* end = nullptr;
        const long long n = std::strtoll(value.c_str(), &end, 10);
        if (end != value.c_str() && n >= 0) sink->header_length = static_cast<curl_off_t>(n);
    }
    return length;
}

}  // namespace

NetLimits NetLimits::from_environment() {
    NetLimits limits;
    auto take = [](const char* name, long& value) {
        const char* text = std::getenv(name);
        if (text == nullptr || *text == '\0') return;
        char* end = nullptr;
        const long v = std::strtol(text, &end, 10);
        if (*end == '\0' && v > 0 && v <= 24L * 3600 * 1000) value = v;
    };
    take("KP28FW_MIN_RATE", limits.min_rate);
    take("KP28FW_RATE_WINDOW_MS", limits.rate_window_ms);
    return limits;
}

Result split_url(std::string_view url, UrlParts& parts) {
    parts = UrlParts{};
    const std::size_t colon = url.find("://");
    if (colon == std::string_view::npos || colon == 0) {
        return failure(
            "The URL is invalid: it does not start with a scheme such as ftp:// or http://");
    }
    const std::string_view scheme = url.substr(0, colon);
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        const auto c = static_cast<unsigned char>(scheme[i]);
        const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!(alpha || (i > 0 && other))) {
            return failure("The URL is invalid: bad scheme");
        }
    }
    const std::string_view rest = url.substr(colon + 3);
    const std::size_t authority_end = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view authority = rest.substr(0, authority_end);

    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view userinfo = authority.substr(0, at);
        const std::size_t sep = userinfo.find(':');
        parts.user.assign(userinfo.substr(0, sep));
        if (sep != std::string_view::npos) parts.password.assign(userinfo.substr(sep + 1));
        authority.remove_prefix(at + 1);
    }

    std::string_view host;
    std::string_view after_host;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return failure("The URL is invalid: unterminated IPv6 address");
        }
        host = authority.substr(0, close + 1);
        after_host = authority.substr(close + 1);
    } else {
        const std::size_t sep = std::min(authority.find(':'), authority.size());
        host = authority.substr(0, sep);
        after_host = authority.substr(sep);
    }
    if (host.empty()) {
        return failure("The URL is invalid: no host name");
    }
    if (host.size() > kMaxHostLength) {
        return failure("The URL is invalid: the host name is longer than " +
                       std::to_string(kMaxHostLength) + " characters");
    }
    for (const char ch : host) {
        if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7F) {
            return failure("The URL is invalid: blank or control character in the host name");
        }
    }
    if (!after_host.empty()) {
        if (after_host.front() != ':') {
            return failure("The URL is invalid: unexpected text after the host name");
        }
        after_host.remove_prefix(1);
        for (const char ch : after_host) {
            if (ch < '0' || ch > '9') {
                return failure("The URL is invalid: the port is not a number");
            }
        }
        parts.port.assign(after_host);
    }
    parts.scheme.assign(scheme);
    parts.host.assign(host);
    parts.path.assign(rest.substr(authority_end));
    return success();
}

struct NetClient::Impl {
    RetrievalProtocol protocol;
    NetLimits limits;
    CURL* easy = nullptr;
    std::string agent;
    bool connected = false;
    std::string host;
    RetrievalRecord record;
    char error_buffer[CURL_ERROR_SIZE] = {};
    StallWatch stall;

    Impl(RetrievalProtocol p, NetLimits l) : protocol(p), limits(l) {}
    ~Impl() {
        if (easy != nullptr) curl_easy_cleanup(easy);
    }

    // Options every request of this client carries.
    void set_common(CURL* handle, const std::string& url) {
        error_buffer[0] = '\0';
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_buffer);
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        // The request itself is always the client's own protocol (the URL is
        // built here); an HTTP server may still move the file to HTTPS.
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR,
                         protocol == RetrievalProtocol::ftp ? "ftp" : "http,https");
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout);
        // libcurl's own low-speed check averages over several seconds, so a
        // server that sends a burst and falls silent would be waited for much
        // longer than the stall time; the progress callback counts exactly.
        stall.limit = std::chrono::seconds(limits.stall_timeout);
        stall.last_change = std::chrono::steady_clock::now();
        stall.last_bytes = -1;
        stall.reason.clear();
        stall.check_rate = false;
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &stall);
        if (!record.user.empty()) {
            curl_easy_setopt(handle, CURLOPT_USERNAME, record.user.c_str());
            curl_easy_setopt(handle, CURLOPT_PASSWORD, record.password.c_str());
        }
        if (protocol == RetrievalProtocol::ftp) {
            curl_easy_setopt(handle, CURLOPT_FTP_FILEMETHOD,
                             static_cast<long>(CURLFTPMETHOD_NOCWD));
            curl_easy_setopt(handle, CURLOPT_TRANSFERTEXT, 0L);
            curl_easy_setopt(handle, CURLOPT_SERVER_RESPONSE_TIMEOUT, limits.stall_timeout);
            if (!record.passive) {
                curl_easy_setopt(handle, CURLOPT_FTPPORT, "-");
                curl_easy_setopt(handle, CURLOPT_ACCEPTTIMEOUT_MS, limits.connect_timeout * 1000L);
            }
        } else {
            curl_easy_setopt(handle, CURLOPT_USERAGENT, agent.c_str());
            curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
            curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
            curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        }
    }

    std::string url_for(std::string_view path) const {
        return protocol == RetrievalProtocol::ftp ? ftp_url(host, record.port, path)
                                                  : http_url(host, record.port, path);
    }

    Result fetch_into(std::string_view url, const std::string& destination, TempFile& file);
};

NetClient::NetClient(RetrievalProtocol protocol, NetLimits limits)
    : impl_(std::make_unique<Impl>(protocol, limits)) {}

NetClient::~NetClient() = default;

RetrievalProtocol NetClient::protocol() const {
    return impl_->protocol;
}

bool NetClient::connected() const {
    return impl_->connected;
}

Result NetClient::initialise(std::string_view agent) {
    if (const CURLcode rc = global_init(); rc != CURLE_OK)
        return failure(ResultCode::open_failure, curl_easy_strerror(rc));
    if (impl_->easy == nullptr) {
        impl_->easy = curl_easy_init();
        if (impl_->easy == nullptr)
            return failure(ResultCode::open_failure, curl_easy_strerror(CURLE_FAILED_INIT));
    }
    impl_->agent = agent.empty() ? program_agent_name() : std::string(agent);
    return {};
}

Result NetClient::connect(const RetrievalRecord& record) {
    Impl& d = *impl_;
    d.connected = false;
    if (d.easy == nullptr)
        return failure(ResultCode::connect_failure, "The Internet session is not open");
    UrlParts parts;
    if (Result split = split_url(record.url, parts); !split.ok())
        return failure(ResultCode::connect_failure, std::move(split.text));
    d.host = parts.host;
    d.record = record;

    // FTP: log in and stop; no file is named, and without a body nothing is
    // listed. HTTP: a HEAD request for the file; any answer at all, even a
    // refusal of the method or a missing file, shows that the server (or a
    // proxy in front of it) can be reached, and the file is the fetch's
    // business. Either way the connection stays in the session for the fetch.
    curl_easy_reset(d.easy);
    d.set_common(d.easy,
                 d.url_for(d.protocol == RetrievalProtocol::ftp ? std::string_view() : parts.path));
    curl_easy_setopt(d.easy, CURLOPT_NOBODY, 1L);
    if (d.protocol == RetrievalProtocol::http) curl_easy_setopt(d.easy, CURLOPT_FOLLOWLOCATION, 0L);
    const CURLcode rc = curl_easy_perform(d.easy);
    if (rc != CURLE_OK)
        return failure(ResultCode::connect_failure,
                       d.stall.reason.empty() ? curl_text(rc, d.error_buffer) : d.stall.reason);
    d.connected = true;
    return {};
}

Result NetClient::Impl::fetch_into(std::string_view url, const std::string& destination,
                                   TempFile& file) {
    if (!connected) return failure(ResultCode::failure, kNotConnectedText);
    UrlParts parts;
    if (Result split = split_url(url, parts); !split.ok()) return split;
    // A name ending in a slash would make the FTP server send a directory
    // listing, which must not become an image.
    if (protocol == RetrievalProtocol::ftp && (parts.path.empty() || parts.path.back() == '/'))
        return failure(ResultCode::failure, "The URL names no file: " + std::string(url));
    // The connection belongs to the host given at connect; the URL handed to
    // the fetch only names the file.
    BodySink sink;
    sink.protocol = protocol;
    sink.easy = easy;
    sink.destination = &destination;
    sink.file = &file;
    curl_easy_reset(easy);
    set_common(easy, url_for(parts.path));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
    // libcurl refuses an announced size above this before the body comes;
    // the write callback stops one that grows past it.
    sink.max_body = static_cast<curl_off_t>(limits.max_body);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, sink.max_body);
    stall.check_rate = limits.min_rate > 0 && limits.rate_window_ms > 0;
    stall.min_rate = limits.min_rate;
    stall.window = std::chrono::milliseconds(limits.rate_window_ms);
    stall.window_start = std::chrono::steady_clock::now();
    stall.window_bytes = 0;
    if (protocol == RetrievalProtocol::http) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &sink);
    }
    const CURLcode rc = curl_easy_perform(easy);

    Result status;
    if (!sink.refusal.empty()) {
        status = failure(ResultCode::failure, sink.refusal);
    } else if (!stall.reason.empty()) {
        status = failure(ResultCode::failure, stall.reason);
    } else if (rc == CURLE_FILESIZE_EXCEEDED) {
        curl_off_t announced = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        status = failure(ResultCode::failure, sink.too_large_text(announced));
    } else if (rc != CURLE_OK) {
        status = failure(ResultCode::failure, curl_text(rc, error_buffer));
    } else if (!sink.open_file()) {
        // An empty body never reached the write callback.
        status = failure(ResultCode::failure, sink.refusal);
    } else if (protocol == RetrievalProtocol::http && sink.written != sink.expected) {
        status = failure(ResultCode::failure,
                         "Transferred a partial file: " + std::to_string(sink.written) + " of " +
                             std::to_string(sink.expected) + " bytes");
    } else if (const Result closed = file.close(); !closed.ok()) {
        status = failure(ResultCode::failure, "Cannot write " + destination + ": " + closed.text);
    }
    if (!status.ok()) file.remove();
    return status;
}

Result NetClient::fetch(std::string_view url, const std::string& destination) {
    TempFile file;
    Result status = impl_->fetch_into(url, destination, file);
    if (status.ok()) file.release();
    return status;
}

Result NetClient::fetch_image(std::string_view url, TempFile& image) {
    image.remove();
    if (!impl_->connected) return failure(ResultCode::failure, kNotConnectedText);
    const std::optional<std::string> dir = platform::current_directory();
    if (!dir) return failure(ResultCode::failure, kNoWorkingDirectoryText);
    const char* pattern =
        impl_->protocol == RetrievalProtocol::ftp ? kFtpImagePattern : kHttpImagePattern;
    const std::string path = make_temp_path(*dir, pattern, platform::process_id());
    TempFile file;
    Result status = impl_->fetch_into(url, path, file);
    if (!status.ok()) {
        // The name is this process's own: a stale file left there by an
        // earlier process with the same id goes as well.
        platform::remove_file(path);
        return status;
    }
    image = std::move(file);
    return status;
}

}  // namespace fwupdate
