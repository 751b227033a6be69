// Temporary files in a directory that other users may be able to write to (the
// working directory the updater is started in). A name there can be taken in
// advance, for instance by a link to a file of ours, so a file is never opened
// by name: the old entry is removed, the new file is created exclusively, owner
// read/write only, and no link is followed. The owner of a TempFile removes the
// file on every path out, success or failure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "result.h"

namespace fwupdate {

// dir + "/" + name, where name is pattern with its "%d" replaced by pid in
// decimal; no slash is added when dir already ends with one.
// make_temp_path("/w", "_ftp_image%d.img", 42) == "/w/_ftp_image42.img"
std::string make_temp_path(std::string_view dir, std::string_view pattern, long pid);

// One temporary file. Default-constructed it holds nothing; create() makes the
// file and from then on this object removes it when destroyed, unless release()
// hands it on. Movable, not copyable. Failures carry the system's message.
class TempFile {
  public:
    TempFile() = default;
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Removes whatever this object held, then: removes an old entry at path (a
    // link itself, never its target), creates the file exclusively, without
    // following a link, mode 0600, open for writing. On failure nothing is
    // held and nothing is left at path by us.
    Result create(std::string path);

    // The path given to create(), empty when nothing is held.
    const std::string& path() const { return path_; }
    bool holds_file() const { return !path_.empty(); }
    // The file create() made.
    const platform::FileId& id() const { return id_; }

    // Writes every byte.
    Result write_all(const void* data, std::size_t size);

    // Closes the file for writing and keeps it. A failing close can mean lost
    // data on a network file system, so it counts.
    Result close();

    // Opens the held file for reading by its name, making sure the name still
    // leads to the file that create() made (someone who can write to the
    // directory could have put another file there since). When it leads
    // elsewhere the failure's text is replaced_text; file is open only on
    // success.
    Result open_for_reading(platform::File& file, std::string_view replaced_text) const;

    // Closes and removes the file now. Safe to call more than once.
    void remove();

    // Closes the file and gives it up: it stays after this object is gone.
    // Returns its path.
    std::string release();

  private:
    std::string path_;
    platform::File file_;
    platform::FileId id_{};
};

}  // namespace fwupdate
