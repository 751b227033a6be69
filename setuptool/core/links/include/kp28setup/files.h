// The files of the operator's that the setup tool reads and writes: setup
// files, firmware images, modules.txt, saved images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kp28setup {

// A file read whole, when it is a regular file of at most max_size bytes;
// nullopt with the reason otherwise. The file is opened without blocking, so a
// FIFO or a device node is refused instead of waited on, and nothing larger
// than max_size is read into memory.
std::optional<std::vector<std::uint8_t>> read_whole_file(const std::string& path,
                                                         std::string* reason, std::size_t max_size);

// Writes bytes to path whole or not at all: a temporary file in the same
// folder, flushed to the disk, then renamed over the name. A failure (a full
// disk, a file-size limit, a folder that cannot be written) removes the
// temporary file and leaves what was at path as it was; a symbolic link at
// path is replaced, never followed. False with the system's reason.
bool write_file_whole(const std::string& path, std::span<const std::uint8_t> bytes,
                      std::string* reason);
bool write_file_whole(const std::string& path, const std::string& text, std::string* reason);

// The path made absolute against the working directory, for messages that
// must say where a file is; as given when that cannot be worked out.
std::string absolute_path(const std::string& path);

}  // namespace kp28setup
