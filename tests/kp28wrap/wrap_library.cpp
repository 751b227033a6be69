#include "wrap_library.h"

#include <dlfcn.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kp28test {

namespace {

using Clock = std::chrono::steady_clock;

template <class T>
void bind(void* handle, const char* name, T& fn) {
    void* sym = dlsym(handle, name);
    if (!sym) throw std::runtime_error(std::string("missing export ") + name);
    fn = reinterpret_cast<T>(sym);
}

int remaining_ms(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

ScopedEnv::ScopedEnv(const std::map<std::string, std::optional<std::string>>& vars) {
    for (const auto& [name, value] : vars) {
        const char* old = getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    for (const auto& [name, value] : saved_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
}

std::string wrap_library_path() {
    if (const char* p = getenv("KP28WRAP_TEST_LIBRARY")) return p;
    return KP28WRAP_SO_PATH;
}

WrapLibrary::WrapLibrary(const std::string& path) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    bind(handle_, "Kp28wrap_initialization", api_.initialization);
    bind(handle_, "Kp28wrap_finalization", api_.finalization);
    bind(handle_, "Kp28wrap_list", api_.list);
    bind(handle_, "Kp28wrap_refreshlist", api_.refreshlist);
    bind(handle_, "Kp28wrap_connect", api_.connect);
    bind(handle_, "Kp28wrap_disconnect", api_.disconnect);
    bind(handle_, "Kp28wrap_read", api_.read);
    bind(handle_, "Kp28wrap_write", api_.write);
    bind(handle_, "Kp28wrap_ioctl", api_.ioctl);
    bind(handle_, "Kp28wrap_geterrno", api_.geterrno);
}

WrapLibrary::~WrapLibrary() {
    unload();
}

bool WrapLibrary::unload() {
    if (!handle_) return true;
    dlclose(handle_);
    handle_ = nullptr;
    api_ = WrapApi{};
    void* again = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (again) {
        dlclose(again);
        return false;
    }
    return true;
}

std::string WrapLibrary::message() const {
    char buf[256];
    api_.geterrno(buf, sizeof buf);
    return buf;
}

DebugOut::DebugOut() {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kp28trace.XXXXXX";
    const int fd = mkstemp(templ.data());
    if (fd < 0) throw std::runtime_error("mkstemp");
    ::close(fd);
    path_ = templ;
}

DebugOut::~DebugOut() {
    ::unlink(path_.c_str());
}

std::vector<std::string> DebugOut::lines() const {
    std::vector<std::string> out;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

size_t DebugOut::count(const std::string& text) const {
    size_t n = 0;
    for (const auto& l : lines())
        if (l.find(text) != std::string::npos) ++n;
    return n;
}

bool DebugOut::wait_for(const std::string& text, std::chrono::milliseconds deadline,
                        size_t n) const {
    // The library appends to a plain file: inotify tells when it changed.
    const auto end = Clock::now() + deadline;
    const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (in >= 0) inotify_add_watch(in, path_.c_str(), IN_MODIFY | IN_CLOSE_WRITE);
    bool found = false;
    for (;;) {
        if (count(text) >= n) {
            found = true;
            break;
        }
        if (Clock::now() >= end) break;
        pollfd p{in, POLLIN, 0};
        // Without inotify, look again every few milliseconds.
        const int r = in >= 0 ? ::poll(&p, 1, std::min(remaining_ms(end), 1000)) : 0;
        if (r < 0 && errno != EINTR) break;
        if (r > 0) {
            char events[4096];
            while (::read(in, events, sizeof events) > 0) {
            }
        } else if (in < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (in >= 0) ::close(in);
    return found;
}

std::string read_master(int master, size_t max, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    std::string out;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        const int r = ::poll(&p, 1, remaining_ms(end));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return out;
        std::string buf(max, '\0');
        const ssize_t n = ::read(master, buf.data(), max);
        if (n > 0) out.assign(buf.data(), static_cast<size_t>(n));
        return out;
    }
}

std::string read_master_exact(int master, size_t n, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    std::string out;
    while (out.size() < n && Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        out += read_master(master, n - out.size(), left);
    }
    return out;
}

void write_master(int master, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to pty master failed");
        done += static_cast<size_t>(n);
    }
}

void drain_master(int master) {
    char buf[65536];
    for (int i = 0; i < 100000; ++i) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return;
        if (::read(master, buf, sizeof buf) <= 0) return;
    }
}

TempDir::TempDir() {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kp28test.XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace kp28test
