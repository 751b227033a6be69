// The maintenance front-ends' helpers: the private run directory that holds
// their files, the updater as a child process (an argument vector, no shell),
// the FTP upload of a firmware image, and the report window's content.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kp28setup/dialogue.h"

namespace kp28setup {

// The report window `Dialog`: shown without blocking the main window until
// its OK button (OKButton_Click, in the session) unloads it.
struct ReportWindow {
    bool shown = false;
    std::string caption;
    std::vector<std::string> lines;  // one item per line of the report file, in order
};

// The largest firmware image pushed straight to a printer (it is read into
// memory first): far above any printer's flash.
inline constexpr std::size_t kMaxFirmwareFile = 256u * 1024 * 1024;

inline constexpr const char* kIniFileName = "kp28fwupdate.ini";
inline constexpr const char* kReportFileName = "tmp.out";
inline constexpr const char* kBatchFileName = "tmp.bat";
inline constexpr const char* kFtpScriptName = "script.ftp";

// A directory made for the program's run (mode 0700, under $XDG_RUNTIME_DIR,
// else $TMPDIR, else /tmp), made on first use and removed with everything in
// it when the object goes.
class RunDirectory {
  public:
    RunDirectory() = default;
    ~RunDirectory();
    RunDirectory(const RunDirectory&) = delete;
    RunDirectory& operator=(const RunDirectory&) = delete;

    // The directory's absolute path; throws std::system_error when it cannot be made.
    const std::string& path();
    std::string file(const char* name) { return path() + "/" + name; }
    bool made() const { return !path_.empty(); }

  private:
    std::string path_;
};

// The 16 lines of the updater's INI file, each ended by CR LF.
std::string updater_ini_text();
// The FTP script's six lines (user, password, binary mode, folder, put, bye).
std::string ftp_script_text(const std::string& firmware_path);
inline constexpr std::uint16_t kFtpPort = 21;
inline constexpr const char* kFtpUser = "root";
inline constexpr const char* kFtpPassword = "qxvu";
inline constexpr const char* kFtpFolder = "firmware";

// Writes text to path (created or truncated, owner-only access); the reason on failure.
bool write_text_file(const std::string& path, const std::string& text, std::string* reason);
// The lines of a text file (LF or CR LF), empty when it cannot be read.
std::vector<std::string> read_lines(const std::string& path);

// Kp28FWUpdate: KP28FWUPDATE when set, else beside our own executable, else
// on PATH (either spelling of the name). nullopt when none is found.
std::optional<std::string> find_updater();

// A child started with an argument vector in a working directory, its
// standard streams on /dev/null; polled every 100 ms until it ends, with
// `idle` called on each round. Once `stop` says so the child gets SIGTERM
// (the updater then ends through its failure path, removing its files), and
// SIGKILL when it has not ended 5 s later. The exit status (nullopt when it
// could not be started, with the reason, or was killed by a signal).
struct ChildExit {
    bool started = false;
    std::optional<int> exit_code;
    std::string reason;
};
ChildExit run_and_wait(const std::vector<std::string>& argv, const std::string& cwd,
                       const std::function<void()>& idle,
                       std::chrono::milliseconds poll = std::chrono::milliseconds(100),
                       const std::function<bool()>& stop = {});

// Uploads a file by FTP (passive, binary) into `folder` under its own base
// name, as user/password; the reason (libcurl's text, the server's reply) on
// failure.
struct FtpUpload {
    std::string host;
    std::uint16_t port = kFtpPort;
    std::string user;
    std::string password;
    std::string folder;
    std::string local_path;
};
bool ftp_upload(const FtpUpload& u, std::string* reason);

// --- the firmware's ways to a printer ---
// Each returns why it failed, or an empty text when the image went out.

// The updater with its INI file in the run directory and its report written
// there ("-log"); the INI file goes again afterwards. program: nullopt when
// no updater was found.
ChildExit run_updater(RunDirectory& dir, const std::optional<std::string>& program,
                      const std::vector<std::string>& args, const std::function<void()>& idle,
                      const std::function<bool()>& stop);

// The "copy FILE LPTn:/b" of the batch file, done here: the image goes to the
// parallel port's node byte for byte. node: nullopt when the entry has none.
std::string copy_firmware_to_parallel(RunDirectory& dir, const std::string& firmware,
                                      const std::string& entry,
                                      const std::optional<std::string>& node,
                                      std::chrono::milliseconds limit);

// The image pushed over the USB CDC port at 115200 baud; the line is left
// closed. file: the image read beforehand, or nullopt with read_problem.
std::string push_firmware_cdc(Dialogue& line, const std::optional<std::vector<std::uint8_t>>& file,
                              const std::string& read_problem, const std::string& entry);

// The batch file and the FTP script are written as the command-line client
// would take them; the upload itself is made here with the script's settings.
std::string upload_firmware_lan(RunDirectory& dir, const std::string& firmware,
                                const std::string& address);

}  // namespace kp28setup
