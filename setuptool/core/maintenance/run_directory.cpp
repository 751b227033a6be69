#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "kp28setup/maintenance.h"

namespace kp28setup {

RunDirectory::~RunDirectory() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

const std::string& RunDirectory::path() {
    if (!path_.empty()) return path_;
    std::string base;
    for (const char* var : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* v = std::getenv(var);
        if (v && *v && ::access(v, W_OK | X_OK) == 0) {
            base = v;
            break;
        }
    }
    if (base.empty()) base = "/tmp";
    std::string templ = base + "/kp28setup-XXXXXX";
    // mkdtemp makes the directory with mode 0700.
    if (!::mkdtemp(templ.data()))
        throw std::system_error(errno, std::generic_category(),
                                "cannot make a directory in " + base);
    std::error_code ec;
    const auto abs = std::filesystem::absolute(templ, ec);
    path_ = ec ? templ : abs.string();
    return path_;
}

std::string updater_ini_text() {
    static const char* const kLines[] = {
        "[General]",
        "Printer = LPT1",
        "Verbose = Y",
        "LogFile=",
        "BufferSize = 8192",
        "Reboot = n",
        "",
        "[FIRMWARE_DOWNLOAD]",
        "DefaultProtocol = share",
        "DefaultURL=",
        "DefaultPort=",
        "DefaultUser=",
        "DefaultPassword=",
        "",
        "[USB_IDENTIFIRE]",
        "DefaultUsbId=",
    };
    std::string s;
    for (const char* l : kLines) s += std::string(l) + "\r\n";
    return s;
}

std::string ftp_script_text(const std::string& firmware_path) {
    std::string s;
    for (const std::string& l :
         {std::string(kFtpUser), std::string(kFtpPassword), std::string("bin"),
          std::string("cd ") + kFtpFolder, "put " + firmware_path, std::string("bye")})
        s += l + "\r\n";
    return s;
}

bool write_text_file(const std::string& path, const std::string& text, std::string* reason) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (reason) *reason = std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (reason) *reason = std::strerror(n < 0 ? errno : EIO);
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        if (reason) *reason = std::strerror(errno);
        return false;
    }
    return true;
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream f(path, std::ios::binary);
    std::string line;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace kp28setup
