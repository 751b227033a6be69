#include "temp_file.h"

#include <cerrno>
#include <utility>

namespace fwupdate {

std::string make_temp_path(std::string_view dir, std::string_view pattern, long pid) {
    std::string path(dir);
    if (path.empty() || path.back() != '/') path += '/';
    const std::size_t mark = pattern.find("%d");
    if (mark == std::string_view::npos) {
        path += pattern;
    } else {
        path += pattern.substr(0, mark);
        path += std::to_string(pid);
        path += pattern.substr(mark + 2);
    }
    return path;
}

TempFile::~TempFile() {
    remove();
}

TempFile::TempFile(TempFile&& other) noexcept
    : path_(std::exchange(other.path_, {})), file_(std::move(other.file_)), id_(other.id_) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
        file_ = std::move(other.file_);
        id_ = other.id_;
    }
    return *this;
}

Result TempFile::create(std::string path) {
    remove();
    // The old entry goes first (a link itself, never what it points to). When
    // it cannot be removed (someone else's file in a sticky directory), the
    // exclusive create below fails and that reason is the one worth reporting.
    const int removed = platform::remove_file(path);
    const int unlink_error = removed == ENOENT ? 0 : removed;
    platform::File file;
    if (const int err = platform::File::create_new(path, file); err != 0)
        return platform::os_failure(err == EEXIST && unlink_error != 0 ? unlink_error : err);
    platform::FileInfo info;
    if (const int err = file.info(info); err != 0) {
        file.close();
        platform::remove_file(path);
        return platform::os_failure(err);
    }
    path_ = std::move(path);
    file_ = std::move(file);
    id_ = info.id;
    return success();
}

Result TempFile::open_for_reading(platform::File& file, std::string_view replaced_text) const {
    file.close();
    if (path_.empty()) return platform::os_failure(ENOENT);
    platform::File opened;
    if (const int err = platform::File::open_for_reading(path_, false, opened); err != 0)
        // A link was put in its place.
        return err == ELOOP ? failure(std::string(replaced_text)) : platform::os_failure(err);
    platform::FileInfo info;
    if (const int err = opened.info(info); err != 0) return platform::os_failure(err);
    if (info.id != id_) return failure(std::string(replaced_text));
    file = std::move(opened);
    return success();
}

Result TempFile::write_all(const void* data, std::size_t size) {
    if (!file_.is_open()) return platform::os_failure(EBADF);
    const int err = file_.write_all(data, size);
    return err == 0 ? success() : platform::os_failure(err);
}

Result TempFile::close() {
    const int err = file_.close();
    return err == 0 ? success() : platform::os_failure(err);
}

void TempFile::remove() {
    file_.close();
    if (!path_.empty()) {
        platform::remove_file(path_);
        path_.clear();
    }
}

std::string TempFile::release() {
    file_.close();
    return std::exchange(path_, {});
}

}  // namespace fwupdate
