// The updater's side of the operating system: files, the process, the clock
// and the signals that end a run. Everything that includes an OS header lives
// in the *_posix.cpp files behind this header; the rest of the updater
// includes none.
//
// Calls that can fail return the OS error number (0: done). The updater turns
// one into a Result with os_failure(), the one place that maps an OS error to
// the text the technician sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "result.h"

namespace fwupdate::platform {

// The system's message for an OS error number ("No such file or directory").
std::string os_error_text(int error);

// A failure (code 4) whose text is the system's message for the error.
Result os_failure(int error);

// ---- the process -----------------------------------------------------------

long process_id();
// The calling thread's number as the system counts it (the log line's "PID").
int thread_number();
// The program's file name without its directory.
std::string program_name();

// The working directory; nothing when it cannot be determined (for instance
// when it has been removed).
std::optional<std::string> current_directory();

struct LocalTime {
    std::string text;  // the C library's textual local time ("Thu Dec 10 02:40:26 2026\n")
    unsigned short milliseconds = 0;  // 0 to 999
};
LocalTime local_time();

// ---- signals ---------------------------------------------------------------

// SIGINT, SIGTERM and SIGHUP are noted (the first one kept) and wake every
// wait_for_signal; SIGPIPE is ignored. Call once, before any other thread
// starts. False when a handler could not be installed.
bool install_signal_handlers();
// The first of the three signals that came, 0 while none did.
int caught_signal();
// "SIGINT", "SIGTERM", "SIGHUP"; nullptr for any other number.
const char* signal_name(int signal);
// Waits up to ms milliseconds, returning early (true) once a signal came.
bool wait_for_signal(int ms);

// ---- files -----------------------------------------------------------------

// A file as the system names it: the same pair means the same file.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};

struct FileInfo {
    bool regular = false;
    std::uint64_t size = 0;
    FileId id{};
};

// An open file, closed with its owner. Movable, not copyable. Descriptors are
// never inherited by child processes.
class File {
  public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool is_open() const { return fd_ >= 0; }

    // Opens for reading without waiting: the open of a FIFO would otherwise
    // wait for a writer for ever. Reads from a regular file never wait
    // anyway. follow_links false: a symbolic link at path fails with ELOOP.
    static int open_for_reading(const std::string& path, bool follow_links, File& file);
    // Creates a new file for writing, owner read/write only; fails when
    // anything, a symbolic link included, is at path.
    static int create_new(const std::string& path, File& file);

    int info(FileInfo& out) const;
    // Reads until length bytes or the end of the file; got is what was read.
    int read_up_to(void* buffer, std::size_t length, std::size_t& got);
    // Writes every byte, retrying short writes.
    int write_all(const void* data, std::size_t length);
    // Back to the first byte.
    int rewind();
    // Closes now. A failing close can mean lost data on a network file
    // system, so it is reported; the descriptor is gone either way.
    int close();

  private:
    int fd_ = -1;
};

// Removes the name (a symbolic link itself, never its target). ENOENT when
// nothing was there.
int remove_file(const std::string& path);

}  // namespace fwupdate::platform
