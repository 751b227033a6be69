#include <curl/curl.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "kp28setup/maintenance.h"

namespace kp28setup {

namespace {

// The host part of a URL: IPv6 addresses go in brackets.
std::string url_host(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string percent_encode(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace

bool ftp_upload(const FtpUpload& u, std::string* reason) {
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::FILE* f = std::fopen(u.local_path.c_str(), "rb");
    if (!f) {
        if (reason) *reason = u.local_path + ": " + std::strerror(errno);
        return false;
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(u.local_path, ec);
    CURL* c = curl_easy_init();
    if (!c) {
        std::fclose(f);
        if (reason) *reason = "libcurl could not start";
        return false;
    }
    const std::string name = std::filesystem::path(u.local_path).filename().string();
    const std::string url = "ftp://" + url_host(u.host) + ":" + std::to_string(u.port) + "/" +
                            percent_encode(u.folder) + "/" + percent_encode(name);
    char err[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_USERNAME, u.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, u.password.c_str());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READDATA, f);
    if (!ec) curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    // Binary (image) transfer, and the folder changed into one step at a time,
    // as "cd" then "put" does.
    curl_easy_setopt(c, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_MULTICWD));
    curl_easy_setopt(c, CURLOPT_FTP_USE_EPSV, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 12L);
    // A server that stops taking data ends the upload rather than the program.
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, err);
    const CURLcode rc = curl_easy_perform(c);
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(c);
    std::fclose(f);
    if (rc == CURLE_OK) return true;
    if (reason) {
        *reason = err[0] ? err : curl_easy_strerror(rc);
        if (code > 0) *reason += " (server reply " + std::to_string(code) + ")";
    }
    return false;
}

}  // namespace kp28setup
