// HTTP retrieval against real HTTP servers on loopback: Debian's http.server
// for ordinary answers, servers.py for answers that must not become an image.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "net_fetch.h"
#include "test_bytes.h"
#include "test_servers.h"

using fwupdate::HttpClient;
using NetStatus = fwupdate::Result;
using fwupdate::RetrievalRecord;
using retrieval_test::count_entries_starting_with;

namespace {

kp28test::FaultyHttpServerOptions faulty(const std::string& root, kp28test::HttpFault fault,
                                         int status = 500, std::string user = {},
                                         std::string password = {}) {
    kp28test::FaultyHttpServerOptions options;
    options.root = root;
    options.fault = fault;
    options.status = status;
    options.user = std::move(user);
    options.password = std::move(password);
    return options;
}

RetrievalRecord record_for(const kp28test::ServerProcess& server, std::string path,
                           std::string user = {}, std::string password = {}) {
    RetrievalRecord record;
    record.url = server.url(path);
    record.port = server.port();
    record.user = std::move(user);
    record.password = std::move(password);
    return record;
}

class HttpFetch : public ::testing::Test {
  protected:
    kp28test::ScratchDir served;
    kp28test::ScratchDir work;

    std::string image_name() const { return "_http_image" + std::to_string(::getpid()) + ".img"; }

    // initialise, connect, fetch_image in the work directory.
    NetStatus fetch(const RetrievalRecord& record, std::string* bytes = nullptr,
                    fwupdate::NetLimits limits = {}) {
        HttpClient client(limits);
        if (NetStatus s = client.initialise("Kp28FWUpdate"); !s.ok()) return s;
        if (NetStatus s = client.connect(record); !s.ok()) return s;
        kp28test::ScopedWorkingDirectory in(work.path());
        fwupdate::TempFile fetched;
        NetStatus status = client.fetch_image(record.url, fetched);
        if (status.ok()) {
            EXPECT_EQ(fetched.path(), work.file(image_name()));
            if (bytes != nullptr) {
                EXPECT_TRUE(kp28test::read_file(fetched.path(), *bytes));
            }
        }
        return status;
    }
};

TEST_F(HttpFetch, BodyIsReadUntilTheContentLengthIsReached) {
    const std::size_t sizes[] = {0, 1, 1000, 8u << 20};
    kp28test::HttpFileServer server(served.path());
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string image =
            retrieval_test::pseudo_random_bytes(size, static_cast<unsigned>(size));
        const std::string name = "fw" + std::to_string(size) + ".img";
        served.write_file(name, image);
        std::string bytes;
        const NetStatus status = fetch(record_for(server, "/" + name), &bytes);
        ASSERT_TRUE(status.ok()) << status.text;
        EXPECT_EQ(bytes.size(), size);
        EXPECT_TRUE(bytes == image);
        EXPECT_EQ(count_entries_starting_with(work.path(), "_http_image"), 0u);
    }
}

TEST_F(HttpFetch, RedirectIsFollowedAndItsPageIsNotStored) {
    const std::string image = retrieval_test::pseudo_random_bytes(4000, 9);
    served.write_file("kp28.img", image);
    kp28test::FaultyHttpServer server(faulty(served.path(), kp28test::HttpFault::redirect));
    std::string bytes;
    const NetStatus status = fetch(record_for(server, "/kp28.img"), &bytes);
    ASSERT_TRUE(status.ok()) << status.text;
    EXPECT_TRUE(bytes == image);
    EXPECT_TRUE(server.wait_for_log("GET /kp28.img?moved"));
}

struct RefusalCase {
    const char* what;
    kp28test::HttpFault fault;
    int status;
    const char* text;  // expected part of the failure text
};

TEST_F(HttpFetch, AnswerThatIsNotTheWholeImageFailsAndLeavesNoFile) {
    const RefusalCase cases[] = {
        {"no content length", kp28test::HttpFault::no_length, 0, "content length"},
        {"body shorter than the content length", kp28test::HttpFault::short_body, 0, "partial"},
        {"server error with an image-like body", kp28test::HttpFault::status, 500, "500"},
        {"not found with an image-like body", kp28test::HttpFault::status, 404, "404"},
        {"no content", kp28test::HttpFault::status, 204, "204"},
        {"partial content", kp28test::HttpFault::status, 206, "206"},
    };
    served.write_file("kp28.img", retrieval_test::pseudo_random_bytes(100000, 7));
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        kp28test::FaultyHttpServer server(faulty(served.path(), c.fault, c.status));
        const NetStatus status = fetch(record_for(server, "/kp28.img"));
        EXPECT_EQ(status.code, fwupdate::ResultCode::failure);
        EXPECT_NE(status.text.find(c.text), std::string::npos) << status.text;
        EXPECT_EQ(count_entries_starting_with(work.path(), "_http_image"), 0u);
    }
}

TEST_F(HttpFetch, MissingFileOnARealServerIsAWriteFailure) {
    kp28test::HttpFileServer server(served.path());
    work.write_file(image_name(), "stale");
    const NetStatus status = fetch(record_for(server, "/missing.img"));
    EXPECT_EQ(status.code, fwupdate::ResultCode::failure);
    EXPECT_NE(status.text.find("404"), std::string::npos) << status.text;
    EXPECT_EQ(count_entries_starting_with(work.path(), "_http_image"), 0u);
}

TEST_F(HttpFetch, SilentServerIsGivenUpWithinTheStallTime) {
    served.write_file("kp28.img", retrieval_test::pseudo_random_bytes(100000, 3));
    kp28test::FaultyHttpServer server(faulty(served.path(), kp28test::HttpFault::stall));
    const NetStatus status = fetch(record_for(server, "/kp28.img"), nullptr,
                                   fwupdate::NetLimits{.connect_timeout = 5, .stall_timeout = 1});
    EXPECT_EQ(status.code, fwupdate::ResultCode::failure);
    EXPECT_FALSE(status.text.empty());
    EXPECT_EQ(count_entries_starting_with(work.path(), "_http_image"), 0u);
}

struct AuthCase {
    const char* what;
    const char* user;
    const char* password;
    bool served;
    const char* sent;  // the Authorization header the server saw
};

TEST_F(HttpFetch, UserAndPasswordAreSentAsBasicAuthentication) {
    const AuthCase cases[] = {
        {"right password", "tech", "s3cret", true, "AUTH Basic dGVjaDpzM2NyZXQ="},
        {"wrong password", "tech", "wrong", false, "AUTH Basic dGVjaDp3cm9uZw=="},
        {"no user", "", "", false, "AUTH -"},
    };
    const std::string image = retrieval_test::pseudo_random_bytes(5000, 11);
    served.write_file("kp28.img", image);
    for (const AuthCase& c : cases) {
        SCOPED_TRACE(c.what);
        kp28test::FaultyHttpServer server(
            faulty(served.path(), kp28test::HttpFault::none, 500, "tech", "s3cret"));
        std::string bytes;
        const NetStatus status = fetch(record_for(server, "/kp28.img", c.user, c.password), &bytes);
        EXPECT_TRUE(server.wait_for_log(c.sent)) << server.log();
        EXPECT_TRUE(server.wait_for_log("AGENT Kp28FWUpdate")) << server.log();
        if (c.served) {
            ASSERT_TRUE(status.ok()) << status.text;
            EXPECT_TRUE(bytes == image);
        } else {
            EXPECT_EQ(status.code, fwupdate::ResultCode::failure);
            EXPECT_NE(status.text.find("401"), std::string::npos) << status.text;
            EXPECT_EQ(count_entries_starting_with(work.path(), "_http_image"), 0u);
        }
    }
}

TEST_F(HttpFetch, RecordsPortIsUsedNotTheUrls) {
    const std::string image = retrieval_test::pseudo_random_bytes(1000, 5);
    served.write_file("kp28.img", image);
    kp28test::HttpFileServer server(served.path());
    RetrievalRecord record = record_for(server, "/kp28.img");
    record.url = "http://127.0.0.1:1/kp28.img";
    std::string bytes;
    const NetStatus status = fetch(record, &bytes);
    ASSERT_TRUE(status.ok()) << status.text;
    EXPECT_TRUE(bytes == image);
}

TEST_F(HttpFetch, ConnectCountsAnyAnswerAsReachable) {
    kp28test::HttpFileServer plain(served.path());
    // servers.py answers HEAD with 501: the method is not even supported.
    kp28test::FaultyHttpServer no_head(faulty(served.path(), kp28test::HttpFault::none));
    const RetrievalRecord records[] = {
        record_for(plain, "/missing.img"),
        record_for(no_head, "/kp28.img"),
    };
    for (const RetrievalRecord& record : records) {
        SCOPED_TRACE(record.url);
        HttpClient client;
        ASSERT_TRUE(client.initialise().ok());
        const NetStatus status = client.connect(record);
        EXPECT_TRUE(status.ok()) << status.text;
        EXPECT_TRUE(client.connected());
    }
    EXPECT_TRUE(plain.wait_for_log("\"HEAD /missing.img"));
}

TEST(HungServer, ConnectIsGivenUpWithinTheTimeLimits) {
    const fwupdate::RetrievalProtocol protocols[] = {fwupdate::RetrievalProtocol::ftp,
                                                     fwupdate::RetrievalProtocol::http};
    for (const fwupdate::RetrievalProtocol protocol : protocols) {
        SCOPED_TRACE(protocol == fwupdate::RetrievalProtocol::ftp ? "ftp" : "http");
        kp28test::SilentServer server(protocol == fwupdate::RetrievalProtocol::ftp ? "ftp"
                                                                                   : "http");
        fwupdate::NetClient client(protocol,
                                   fwupdate::NetLimits{.connect_timeout = 1, .stall_timeout = 1});
        ASSERT_TRUE(client.initialise().ok());
        const NetStatus status = client.connect(record_for(server, "/kp28.img"));
        EXPECT_EQ(status.code, fwupdate::ResultCode::connect_failure);
        EXPECT_FALSE(status.text.empty());
        EXPECT_TRUE(server.wait_for_log("accepted"));
    }
}

struct ConnectFailureCase {
    const char* what;
    const char* url;
    bool dead_port;
};

TEST_F(HttpFetch, UnreachableServerOrBadUrlIsAConnectFailure) {
    std::uint16_t dead_port = 0;
    {
        kp28test::HttpFileServer server(served.path());
        dead_port = server.port();
    }
    const ConnectFailureCase cases[] = {
        {"nothing listens on the port", "http://127.0.0.1/kp28.img", true},
        {"no scheme", "127.0.0.1/kp28.img", false},
        {"no host", "http:///kp28.img", false},
    };
    for (const ConnectFailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        HttpClient client(fwupdate::NetLimits{.connect_timeout = 5, .stall_timeout = 5});
        ASSERT_TRUE(client.initialise().ok());
        RetrievalRecord record;
        record.url = c.url;
        record.port = c.dead_port ? dead_port : 80;
        const NetStatus status = client.connect(record);
        EXPECT_EQ(status.code, fwupdate::ResultCode::connect_failure);
        EXPECT_FALSE(status.text.empty());
        EXPECT_FALSE(client.connected());

        kp28test::ScopedWorkingDirectory in(work.path());
        fwupdate::TempFile fetched;
        const NetStatus fetch_status = client.fetch_image(c.url, fetched);
        EXPECT_EQ(fetch_status.code, fwupdate::ResultCode::failure);
        EXPECT_EQ(fetch_status.text, fwupdate::kNotConnectedText);
    }
}

TEST_F(HttpFetch, RemovedWorkingDirectoryIsReportedAsSuch) {
    served.write_file("kp28.img", "x");
    kp28test::HttpFileServer server(served.path());
    HttpClient client;
    ASSERT_TRUE(client.initialise().ok());
    const RetrievalRecord record = record_for(server, "/kp28.img");
    ASSERT_TRUE(client.connect(record).ok());
    const std::string gone = work.file("gone");
    ASSERT_EQ(::mkdir(gone.c_str(), 0700), 0);
    kp28test::ScopedWorkingDirectory in(gone);
    ASSERT_EQ(::rmdir(gone.c_str()), 0);
    fwupdate::TempFile fetched;
    const NetStatus status = client.fetch_image(record.url, fetched);
    EXPECT_EQ(status.code, fwupdate::ResultCode::failure);
    EXPECT_EQ(status.text, fwupdate::kNoWorkingDirectoryText);
}

}  // namespace
