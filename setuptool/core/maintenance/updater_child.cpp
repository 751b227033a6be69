#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include "kp28setup/maintenance.h"

extern char** environ;

namespace kp28setup {

namespace {

bool executable_file(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
}

// The program is installed as Kp28FWUpdate with a lower-case link beside it.
constexpr const char* kUpdaterNames[] = {"Kp28FWUpdate", "kp28fwupdate"};

}  // namespace

std::optional<std::string> find_updater() {
    if (const char* v = std::getenv("KP28FWUPDATE"); v && *v) return std::string(v);
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        for (const char* name : kUpdaterNames) {
            const std::string p = (self.parent_path() / name).string();
            if (executable_file(p)) return p;
        }
    const char* path = std::getenv("PATH");
    if (!path) return std::nullopt;
    const std::string dirs = path;
    for (std::size_t at = 0; at <= dirs.size();) {
        const auto end = std::min(dirs.find(':', at), dirs.size());
        // An empty PATH element means the current directory, which would make
        // the run directory's contents a program to start: skipped.
        const std::string dir = dirs.substr(at, end - at);
        if (!dir.empty() && dir.front() == '/')
            for (const char* name : kUpdaterNames) {
                const std::string p = dir + "/" + name;
                if (executable_file(p)) return p;
            }
        at = end + 1;
    }
    return std::nullopt;
}

ChildExit run_and_wait(const std::vector<std::string>& argv, const std::string& cwd,
                       const std::function<void()>& idle, std::chrono::milliseconds poll,
                       const std::function<bool()>& stop) {
    ChildExit out;
    if (argv.empty()) {
        out.reason = "no program";
        return out;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    // A hidden child: nothing of it reaches our terminal or our standard
    // output (which may carry a report of our own).
    for (int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        out.reason = std::string(argv[0]) + ": " + std::strerror(rc);
        return out;
    }
    out.started = true;
    std::optional<std::chrono::steady_clock::time_point> kill_at;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status))
                out.exit_code = WEXITSTATUS(status);
            else if (WIFSIGNALED(status))
                out.reason = std::string("ended by signal ") + std::to_string(WTERMSIG(status));
            break;
        }
        if (r < 0 && errno != EINTR) {
            out.reason = std::strerror(errno);
            break;
        }
        if (idle) idle();
        if (!kill_at && stop && stop()) {
            ::kill(pid, SIGTERM);
            kill_at = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        } else if (kill_at && std::chrono::steady_clock::now() >= *kill_at) {
            ::kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(poll);
    }
    return out;
}

}  // namespace kp28setup
