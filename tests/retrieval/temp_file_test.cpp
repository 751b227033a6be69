// Temporary files in a directory others may write to: a planted link is never
// followed, an old file is replaced by a fresh owner-only one, and the file is
// gone on every path out.
#include "temp_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include "test_servers.h"

using fwupdate::TempFile;

namespace {

struct PathCase {
    const char* dir;
    const char* pattern;
    long pid;
    const char* path;
};

TEST(TempPath, JoinsDirectoryAndNameWithOneSlash) {
    const PathCase cases[] = {
        {"/work", "_ftp_image%d.img", 42, "/work/_ftp_image42.img"},
        {"/work/", "_http_image%d.img", 42, "/work/_http_image42.img"},
        {"/", "_image_%d.gunzip", 7, "/_image_7.gunzip"},
        {"/w", "_image_%d.clear", 4194304, "/w/_image_4194304.clear"},
        {"/w", "fixed.img", 5, "/w/fixed.img"},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(fwupdate::make_temp_path(c.dir, c.pattern, c.pid), c.path) << c.path;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

TEST(TempFileCreate, PlantedLinkIsReplacedNotFollowed) {
    kp28test::ScratchDir dir;
    const std::string victim = dir.write_file("victim", "precious");
    const std::string name = dir.file("_ftp_image1.img");
    ASSERT_EQ(::symlink(victim.c_str(), name.c_str()), 0);
    // A dangling link would make a plain open create the file where it points.
    const std::string dangling = dir.file("_http_image1.img");
    const std::string elsewhere = dir.file("elsewhere");
    ASSERT_EQ(::symlink(elsewhere.c_str(), dangling.c_str()), 0);

    for (const std::string& path : {name, dangling}) {
        TempFile file;
        ASSERT_TRUE(file.create(path).ok()) << path;
        ASSERT_TRUE(file.write_all("image", 5).ok());
        EXPECT_TRUE(S_ISREG(mode_of(path))) << path;
    }
    std::string bytes;
    ASSERT_TRUE(kp28test::read_file(victim, bytes));
    EXPECT_EQ(bytes, "precious");
    EXPECT_NE(::access(elsewhere.c_str(), F_OK), 0);
}

TEST(TempFileCreate, OldFileIsReplacedByFreshOwnerOnlyFile) {
    kp28test::ScratchDir dir;
    const std::string path = dir.write_file("_image_9.gunzip", "stale contents");
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    // Another hard link keeps the old inode alive, so a new one cannot reuse its number.
    ASSERT_EQ(::link(path.c_str(), dir.file("keep").c_str()), 0);

    const mode_t old_umask = ::umask(0);
    TempFile file;
    const fwupdate::Result created = file.create(path);
    ::umask(old_umask);
    ASSERT_TRUE(created.ok()) << created.text;

    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, 0);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    std::string old;
    ASSERT_TRUE(kp28test::read_file(dir.file("keep"), old));
    EXPECT_EQ(old, "stale contents");
}

TEST(TempFileCreate, NameTakenByADirectoryFailsAndLeavesIt) {
    kp28test::ScratchDir dir;
    const std::string path = dir.file("_image_3.clear");
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    TempFile file;
    EXPECT_FALSE(file.create(path).ok());
    EXPECT_FALSE(file.holds_file());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(TempFileLifetime, FileGoesWithItsOwnerUnlessReleased) {
    kp28test::ScratchDir dir;
    const std::string a = dir.file("a");
    const std::string b = dir.file("b");
    const std::string c = dir.file("c");
    {
        TempFile file;
        ASSERT_TRUE(file.create(a).ok());
        ASSERT_EQ(::access(a.c_str(), F_OK), 0);
    }
    EXPECT_NE(::access(a.c_str(), F_OK), 0) << "removed with its owner";

    TempFile moved;
    {
        TempFile file;
        ASSERT_TRUE(file.create(b).ok());
        moved = std::move(file);
    }
    EXPECT_EQ(::access(b.c_str(), F_OK), 0) << "a move hands the file on";
    moved.remove();
    EXPECT_NE(::access(b.c_str(), F_OK), 0);
    moved.remove();  // twice is harmless

    {
        TempFile file;
        ASSERT_TRUE(file.create(c).ok());
        ASSERT_TRUE(file.write_all("xyz", 3).ok());
        EXPECT_EQ(file.release(), c);
    }
    std::string bytes;
    ASSERT_TRUE(kp28test::read_file(c, bytes));
    EXPECT_EQ(bytes, "xyz") << "a released file stays";
}

TEST(WorkingDirectory, RemovedDirectoryCannotBeDetermined) {
    kp28test::ScratchDir dir;
    const std::string gone = dir.file("gone");
    ASSERT_EQ(::mkdir(gone.c_str(), 0700), 0);
    kp28test::ScopedWorkingDirectory in(gone);
    const auto cwd = fwupdate::platform::current_directory();
    ASSERT_TRUE(cwd);
    EXPECT_EQ(*cwd, std::filesystem::canonical(gone).string());
    ASSERT_EQ(::rmdir(gone.c_str()), 0);
    EXPECT_FALSE(fwupdate::platform::current_directory());
}

}  // namespace

namespace {

TEST(TempFileReopen, OnlyTheFileThatWasMadeIsOpenedByItsName) {
    kp28test::ScratchDir dir;
    const std::string path = dir.file("_http_image1.img");
    // What open_for_reading reports: success (empty), the text given for a
    // replaced file, or the system's message.
    const std::string replaced = "replaced: " + path;
    const std::string no_such_file = fwupdate::platform::os_error_text(ENOENT);
    struct Case {
        const char* what;
        std::function<void()> meddle;
        std::string expected;
    };
    const Case cases[] = {
        {"untouched", [] {}, ""},
        {"another file renamed over it",
         [&] {
             dir.write_file("other", "planted");
             ASSERT_EQ(::rename(dir.file("other").c_str(), path.c_str()), 0);
         },
         replaced},
        {"a link put in its place",
         [&] {
             dir.write_file("other", "planted");
             ASSERT_EQ(::unlink(path.c_str()), 0);
             ASSERT_EQ(::symlink(dir.file("other").c_str(), path.c_str()), 0);
         },
         replaced},
        {"removed", [&] { ASSERT_EQ(::unlink(path.c_str()), 0); }, no_such_file},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fwupdate::TempFile file;
        ASSERT_TRUE(file.create(path).ok());
        ASSERT_TRUE(file.write_all("image", 5).ok());
        ASSERT_TRUE(file.close().ok());
        c.meddle();
        fwupdate::platform::File opened;
        const fwupdate::Result r = file.open_for_reading(opened, replaced);
        EXPECT_EQ(r.ok(), c.expected.empty());
        EXPECT_EQ(r.text, c.expected);
        if (c.expected.empty()) {
            char buffer[8] = {};
            std::size_t got = 0;
            EXPECT_EQ(opened.read_up_to(buffer, sizeof buffer, got), 0);
            EXPECT_EQ(got, 5u);
            EXPECT_STREQ(buffer, "image");
        } else {
            EXPECT_FALSE(opened.is_open());
        }
    }
}

}  // namespace

namespace {

// The platform layer's file calls, which everything above relies on to be
// neither fooled by a planted name nor held by a FIFO: what each kind of
// entry at the name gives.
TEST(PlatformFile, OpenAndCreateGiveTheRightAnswerForEveryKindOfEntry) {
    namespace platform = fwupdate::platform;
    kp28test::ScratchDir dir;
    const std::string file = dir.write_file("file", "0123456789");
    const std::string link = dir.file("link");
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    const std::string dangling = dir.file("dangling");
    ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dangling.c_str()), 0);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string missing = dir.file("missing");

    struct Case {
        const char* what;
        std::string path;
        bool follow_links;
        int open_error;    // open_for_reading
        int create_error;  // create_new
        bool regular;
    };
    const Case cases[] = {
        {"a file", file, true, 0, EEXIST, true},
        {"a link, followed", link, true, 0, EEXIST, true},
        {"a link, not followed", link, false, ELOOP, EEXIST, false},
        {"a dangling link", dangling, true, ENOENT, EEXIST, false},
        // Opened at once, without a writer: the caller sees it is no file.
        {"a FIFO", fifo, true, 0, EEXIST, false},
        {"nothing", missing, true, ENOENT, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::File f;
        EXPECT_EQ(platform::File::open_for_reading(c.path, c.follow_links, f), c.open_error);
        EXPECT_EQ(f.is_open(), c.open_error == 0);
        if (f.is_open()) {
            platform::FileInfo info;
            ASSERT_EQ(f.info(info), 0);
            EXPECT_EQ(info.regular, c.regular);
        }
        platform::File made;
        EXPECT_EQ(platform::File::create_new(c.path, made), c.create_error);
    }
    EXPECT_NE(::access(dir.file("nowhere").c_str(), F_OK), 0) << "created through a link";

    platform::File f;
    ASSERT_EQ(platform::File::open_for_reading(file, false, f), 0);
    char buffer[16] = {};
    std::size_t got = 0;
    ASSERT_EQ(f.read_up_to(buffer, sizeof buffer, got), 0);
    EXPECT_EQ(std::string(buffer, got), "0123456789") << "read to the end of the file";
    ASSERT_EQ(f.rewind(), 0);
    ASSERT_EQ(f.read_up_to(buffer, 4, got), 0);
    EXPECT_EQ(std::string(buffer, got), "0123");
    EXPECT_EQ(platform::remove_file(missing), 0) << "made by create_new";
    EXPECT_EQ(platform::remove_file(missing), ENOENT);
}

}  // namespace
