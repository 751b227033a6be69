// FTP retrieval against a real FTP server on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net_fetch.h"
#include "test_bytes.h"
#include "test_servers.h"

using fwupdate::FtpClient;
using NetStatus = fwupdate::Result;
using fwupdate::RetrievalRecord;
using retrieval_test::count_entries_starting_with;

namespace {

kp28test::FtpServerOptions ftp_options(const std::string& root, std::string user = {},
                                       std::string password = {}) {
    kp28test::FtpServerOptions options;
    options.root = root;
    options.user = std::move(user);
    options.password = std::move(password);
    return options;
}

RetrievalRecord record_for(const kp28test::ServerProcess& server, std::string path,
                           std::string user = {}, std::string password = {}, bool passive = true) {
    RetrievalRecord record;
    record.url = server.url(path);
    record.port = server.port();
    record.user = std::move(user);
    record.password = std::move(password);
    record.passive = passive;
    return record;
}

class FtpFetch : public ::testing::Test {
  protected:
    kp28test::ScratchDir served;
    kp28test::ScratchDir work;
    const std::string image = retrieval_test::every_byte_value(64);

    void SetUp() override { served.write_file("kp28.img", image); }

    // The update's fetch step, run in the work directory; checks the bytes.
    void expect_image_fetched(FtpClient& client, const RetrievalRecord& record) {
        kp28test::ScopedWorkingDirectory in(work.path());
        fwupdate::TempFile fetched;
        const NetStatus status = client.fetch_image(record.url, fetched);
        ASSERT_TRUE(status.ok()) << status.text;
        EXPECT_EQ(fetched.path(), work.file("_ftp_image" + std::to_string(::getpid()) + ".img"));
        std::string bytes;
        ASSERT_TRUE(kp28test::read_file(fetched.path(), bytes));
        EXPECT_TRUE(bytes == image) << "got " << bytes.size() << " bytes, want " << image.size();
    }
};

struct LoginCase {
    const char* what;
    const char* server_user;  // empty: anonymous server
    const char* user;
    const char* password;
    bool logs_in;
};

TEST_F(FtpFetch, ConnectLogsInWithTheRecordsUserAndPassword) {
    const LoginCase cases[] = {
        {"anonymous server, no user", "", "", "", true},
        {"user and password", "tech", "tech", "s3cret", true},
        {"wrong password", "tech", "tech", "wrong", false},
        {"unknown user", "tech", "nobody", "s3cret", false},
        {"no user where anonymous is not allowed", "tech", "", "", false},
    };
    for (const LoginCase& c : cases) {
        SCOPED_TRACE(c.what);
        kp28test::FtpServer server(ftp_options(served.path(), c.server_user, "s3cret"));
        FtpClient client;
        ASSERT_TRUE(client.initialise().ok());
        const RetrievalRecord record = record_for(server, "/kp28.img", c.user, c.password);
        const NetStatus status = client.connect(record);
        if (c.logs_in) {
            ASSERT_TRUE(status.ok()) << status.text;
            EXPECT_TRUE(client.connected());
            expect_image_fetched(client, record);
        } else {
            EXPECT_EQ(status.code, fwupdate::ResultCode::connect_failure);
            EXPECT_FALSE(status.text.empty());
            EXPECT_FALSE(client.connected());
        }
    }
}

struct ModeCase {
    bool passive;
    const char* data_command;  // what the server must have been asked for
};

TEST_F(FtpFetch, PassiveOrActiveBinaryTransferKeepsEveryByte) {
    const ModeCase cases[] = {{true, "<- PASV"}, {false, "<- PORT"}};
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.data_command);
        kp28test::FtpServer server(ftp_options(served.path()));
        FtpClient client;
        ASSERT_TRUE(client.initialise().ok());
        const RetrievalRecord record = record_for(server, "/kp28.img", {}, {}, c.passive);
        ASSERT_TRUE(client.connect(record).ok());
        expect_image_fetched(client, record);
        // Either form of the command counts: PASV/EPSV, PORT/EPRT.
        const std::string extended = c.passive ? "<- EPSV" : "<- EPRT";
        EXPECT_TRUE(server.wait_for_log("RETR /kp28.img"));
        const std::string log = server.log();
        EXPECT_TRUE(log.find(c.data_command) != std::string::npos ||
                    log.find(extended) != std::string::npos)
            << log;
        EXPECT_NE(log.find("<- TYPE I"), std::string::npos) << log;
    }
}

TEST_F(FtpFetch, RecordsPortIsUsedNotTheUrls) {
    kp28test::FtpServer server(ftp_options(served.path()));
    FtpClient client;
    ASSERT_TRUE(client.initialise().ok());
    RetrievalRecord record = record_for(server, "/kp28.img");
    record.url = "ftp://127.0.0.1:1/kp28.img";
    ASSERT_TRUE(client.connect(record).ok());
    expect_image_fetched(client, record);
}

TEST_F(FtpFetch, FileInASubfolderIsFetchedByItsFullPath) {
    ASSERT_EQ(::mkdir(served.file("fw").c_str(), 0700), 0);
    served.write_file("fw/kp28 plus.img", image);
    kp28test::FtpServer server(ftp_options(served.path()));
    FtpClient client;
    ASSERT_TRUE(client.initialise().ok());
    const RetrievalRecord record = record_for(server, "/fw/kp28 plus.img");
    ASSERT_TRUE(client.connect(record).ok());
    expect_image_fetched(client, record);
}

TEST_F(FtpFetch, DeadServerIsAConnectFailure) {
    std::uint16_t dead_port = 0;
    {
        kp28test::FtpServer server(ftp_options(served.path()));
        dead_port = server.port();
    }
    FtpClient client(fwupdate::NetLimits{.connect_timeout = 5, .stall_timeout = 5});
    ASSERT_TRUE(client.initialise().ok());
    RetrievalRecord record;
    record.url = "ftp://127.0.0.1/kp28.img";
    record.port = dead_port;
    record.passive = true;
    const NetStatus status = client.connect(record);
    EXPECT_EQ(status.code, fwupdate::ResultCode::connect_failure);
    EXPECT_FALSE(status.text.empty());
}

struct FetchFailureCase {
    const char* what;
    const char* path;
    bool connect_first;
    const char* text;  // expected part of the failure text; empty: any
};

TEST_F(FtpFetch, FailedFetchIsAWriteFailureAndLeavesNoFile) {
    const FetchFailureCase cases[] = {
        {"missing file", "/missing.img", true, ""},
        {"a folder instead of a file", "/", true, "names no file"},
        {"not connected", "/kp28.img", false, fwupdate::kNotConnectedText},
    };
    kp28test::FtpServer server(ftp_options(served.path()));
    for (const FetchFailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        FtpClient client;
        ASSERT_TRUE(client.initialise().ok());
        const RetrievalRecord record = record_for(server, c.path);
        kp28test::ScopedWorkingDirectory in(work.path());
        if (c.connect_first) {
            ASSERT_TRUE(client.connect(record).ok());
            // A stale file under this process's name goes as well.
            work.write_file("_ftp_image" + std::to_string(::getpid()) + ".img", "stale");
        }
        fwupdate::TempFile fetched;
        const NetStatus status = client.fetch_image(record.url, fetched);
        EXPECT_EQ(status.code, fwupdate::ResultCode::failure);
        EXPECT_NE(status.text.find(c.text), std::string::npos) << status.text;
        EXPECT_FALSE(fetched.holds_file());
        EXPECT_EQ(count_entries_starting_with(work.path(), "_ftp_image"), 0u);
    }
}

TEST_F(FtpFetch, ImageIsRemovedWithItsOwnerAndNeverThroughAPlantedLink) {
    kp28test::FtpServer server(ftp_options(served.path()));
    FtpClient client;
    ASSERT_TRUE(client.initialise().ok());
    const RetrievalRecord record = record_for(server, "/kp28.img");
    ASSERT_TRUE(client.connect(record).ok());

    const std::string victim = work.write_file("victim", "precious");
    const std::string name = work.file("_ftp_image" + std::to_string(::getpid()) + ".img");
    ASSERT_EQ(::symlink(victim.c_str(), name.c_str()), 0);
    {
        kp28test::ScopedWorkingDirectory in(work.path());
        fwupdate::TempFile fetched;
        ASSERT_TRUE(client.fetch_image(record.url, fetched).ok());
        struct stat st {};
        ASSERT_EQ(::lstat(name.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    EXPECT_EQ(count_entries_starting_with(work.path(), "_ftp_image"), 0u);
    std::string bytes;
    ASSERT_TRUE(kp28test::read_file(victim, bytes));
    EXPECT_EQ(bytes, "precious");
}

TEST_F(FtpFetch, FetchToAGivenPathKeepsTheFile) {
    kp28test::FtpServer server(ftp_options(served.path(), "tech", "pw"));
    FtpClient client;
    ASSERT_TRUE(client.initialise().ok());
    const RetrievalRecord record = record_for(server, "/kp28.img", "tech", "pw");
    ASSERT_TRUE(client.connect(record).ok());
    const std::string destination = work.file("copy.img");
    ASSERT_TRUE(client.fetch(record.url, destination).ok());
    std::string bytes;
    ASSERT_TRUE(kp28test::read_file(destination, bytes));
    EXPECT_TRUE(bytes == image);
    // One login serves both connect and fetch.
    EXPECT_TRUE(server.wait_for_log("RETR /kp28.img"));
    const std::string log = server.log();
    EXPECT_EQ(log.find("USER tech"), log.rfind("USER tech")) << log;
}

}  // namespace

namespace {

// A body with no size announced that grows past the largest image is stopped
// there (the limit is lowered so that the test moves a megabyte, not 4 GiB).
TEST(HostileFtp, EndlessBodyIsStoppedAtTheLargestImageAndLeavesNoFile) {
    kp28test::HostileFtpServer ftp(kp28test::FtpFault::endless);
    kp28test::ScratchDir work;
    fwupdate::NetLimits limits;
    limits.max_body = 1 << 20;
    FtpClient client(limits);
    ASSERT_TRUE(client.initialise().ok());
    const RetrievalRecord record = record_for(ftp, "/fw.img", "tech", "pw");
    ASSERT_TRUE(client.connect(record).ok());
    kp28test::ScopedWorkingDirectory in(work.path());
    fwupdate::TempFile fetched;
    const NetStatus status = client.fetch_image(record.url, fetched);
    EXPECT_EQ(status.code, fwupdate::ResultCode::failure);
    EXPECT_EQ(status.text, "The file is larger than the largest image (1048576 bytes)");
    EXPECT_FALSE(fetched.holds_file());
    EXPECT_EQ(count_entries_starting_with(work.path(), "_ftp_image"), 0);
}

}  // namespace
