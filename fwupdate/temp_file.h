// Temporary files in a directory that other users may be able to write to (the
// working directory the updater is started in). A name there can be taken in
// advance, for instance by a link to a file of ours, so a file is never opened
// by name: the old entry is removed, the new file is created exclusively, owner
// read/write only, and no link is followed. The owner of a TempFile removes the
// file on every path out, success or failure.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace fwupdate {

// dir + "/" + name, where name is pattern with its "%d" replaced by pid in
// decimal; no slash is added when dir already ends with one.
// make_temp_path("/w", "_ftp_image%d.img", 42) == "/w/_ftp_image42.img"
std::string make_temp_path(std::string_view dir, std::string_view pattern, long pid);

// The process's working directory. False when it cannot be determined (for
// instance when it has been removed).
bool current_directory(std::string& dir);

// The system's message for an errno value.
std::string errno_text(int err);

// One temporary file. Default-constructed it holds nothing; create() makes the
// file and from then on this object removes it when destroyed, unless release()
// hands it on. Movable, not copyable.
class TempFile {
  public:
    TempFile() = default;
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Removes whatever this object held, then: removes an old entry at path (a
    // link itself, never its target), creates the file with O_CREAT | O_EXCL |
    // O_NOFOLLOW, mode 0600, open for writing. Returns 0 or the errno value; on
    // failure nothing is held and nothing is left at path by us.
    int create(std::string path);

    // The path given to create(), empty when nothing is held.
    const std::string& path() const { return path_; }
    bool holds_file() const { return !path_.empty(); }

    // The write descriptor, -1 once closed. Owned by this object.
    int fd() const { return fd_; }

    // Writes every byte (retrying short writes and EINTR). 0 or the errno value.
    int write_all(const void* data, std::size_t size);

    // Closes the write descriptor and keeps the file. 0 or the errno value: a
    // failing close can mean lost data on a network file system, so it counts.
    int close();

    // Opens the held file for reading by its name, making sure the name still
    // leads to the file that create() made (someone who can write to the
    // directory could have put another file there since). Returns 0 with fd
    // set, kTempFileReplaced when the name now leads elsewhere, or the errno
    // value; fd is -1 unless 0 is returned.
    int open_for_reading(int& fd) const;

    // Closes and removes the file now. Safe to call more than once.
    void remove();

    // Closes the descriptor and gives the file up: it stays after this object is
    // gone. Returns its path.
    std::string release();

  private:
    std::string path_;
    int fd_ = -1;
    // The file create() made.
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// open_for_reading(): the name no longer leads to the file that was made.
inline constexpr int kTempFileReplaced = -1;

}  // namespace fwupdate
