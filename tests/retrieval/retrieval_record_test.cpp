// The record built from the settings and the URL split that connect relies on.
#include "retrieval_record.h"

#include <gtest/gtest.h>

#include "net_fetch.h"

using fwupdate::RetrievalProtocol;

namespace {

struct PortCase {
    const char* what;
    RetrievalProtocol protocol;
    const char* text;
    std::uint16_t port;
};

TEST(RetrievalRecord, PortSettingMapsToServerPort) {
    const PortCase cases[] = {
        {"empty FTP port is 21", RetrievalProtocol::ftp, "", 21},
        {"empty HTTP port is 80", RetrievalProtocol::http, "", 80},
        {"decimal text", RetrievalProtocol::ftp, "2121", 2121},
        {"leading blanks skipped", RetrievalProtocol::http, "  8080", 8080},
        {"digits up to the first other character", RetrievalProtocol::http, "8080abc", 8080},
        {"text that is no number reads as 0", RetrievalProtocol::ftp, "abc", 0},
        {"a blank is not empty", RetrievalProtocol::ftp, " ", 0},
        {"largest port", RetrievalProtocol::ftp, "65535", 65535},
        {"kept in 16 bits", RetrievalProtocol::ftp, "65536", 0},
    };
    for (const PortCase& c : cases)
        EXPECT_EQ(fwupdate::port_from_text(c.protocol, c.text), c.port) << c.what;
}

TEST(RetrievalRecord, EachProtocolGetsItsOwnRecord) {
    const auto ftp =
        fwupdate::make_retrieval_record(RetrievalProtocol::ftp, "ftp://h/f", "", "u", "p");
    EXPECT_EQ(ftp.url, "ftp://h/f");
    EXPECT_EQ(ftp.port, 21);
    EXPECT_EQ(ftp.user, "u");
    EXPECT_EQ(ftp.password, "p");
    EXPECT_TRUE(ftp.passive);

    const auto http =
        fwupdate::make_retrieval_record(RetrievalProtocol::http, "http://h/f", "", "u", "p");
    EXPECT_EQ(http.port, 80);
    EXPECT_FALSE(http.passive);

    const auto share =
        fwupdate::make_retrieval_record(RetrievalProtocol::share, "/srv/fw.img", "99", "u", "p");
    EXPECT_EQ(share.url, "/srv/fw.img");
    EXPECT_EQ(share.port, 0);
    EXPECT_EQ(share.user, "u");
}

struct SplitCase {
    const char* url;
    const char* host;
    const char* port;
    const char* user;
    const char* password;
    const char* path;
};

TEST(SplitUrl, PathPartIsEverythingAfterHostAndPort) {
    const SplitCase cases[] = {
        {"ftp://server/fw/kp28.img", "server", "", "", "", "/fw/kp28.img"},
        {"ftp://server:2121/kp28.img", "server", "2121", "", "", "/kp28.img"},
        {"ftp://tech:se:cret@server/kp28.img", "server", "", "tech", "se:cret", "/kp28.img"},
        {"http://a@b@server/x", "server", "", "a@b", "", "/x"},
        {"http://server/get?file=kp28.img#top", "server", "", "", "", "/get?file=kp28.img#top"},
        {"http://server?x", "server", "", "", "", "?x"},
        {"http://server", "server", "", "", "", ""},
        {"http://[::1]:8080/kp28.img", "[::1]", "8080", "", "", "/kp28.img"},
        {"HTTP://Server/Kp28.IMG", "Server", "", "", "", "/Kp28.IMG"},
    };
    for (const SplitCase& c : cases) {
        fwupdate::UrlParts parts;
        const fwupdate::Result split = fwupdate::split_url(c.url, parts);
        ASSERT_TRUE(split.ok()) << c.url << ": " << split.text;
        EXPECT_EQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.port, c.port) << c.url;
        EXPECT_EQ(parts.user, c.user) << c.url;
        EXPECT_EQ(parts.password, c.password) << c.url;
        EXPECT_EQ(parts.path, c.path) << c.url;
    }
}

TEST(SplitUrl, RefusesWhatCannotNameAServer) {
    const std::string longest_host(fwupdate::kMaxHostLength, 'h');
    fwupdate::UrlParts parts;
    const fwupdate::Result longest = fwupdate::split_url("ftp://" + longest_host + "/f", parts);
    EXPECT_TRUE(longest.ok()) << longest.text;

    const std::string bad[] = {
        "server/kp28.img",                // no scheme
        "://server/kp28.img",             // empty scheme
        "1ftp://server/kp28.img",         // scheme starts with a digit
        "ftp:///kp28.img",                // no host
        "ftp://user:pw@/kp28.img",        // no host after the user
        "ftp://server:21x/kp28.img",      // port not a number
        "ftp://[::1/kp28.img",            // unterminated IPv6 literal
        "ftp://ser ver/kp28.img",         // blank in the host
        "ftp://" + longest_host + "h/f",  // host one byte too long
    };
    for (const std::string& url : bad) {
        const fwupdate::Result split = fwupdate::split_url(url, parts);
        EXPECT_FALSE(split.ok()) << url;
        EXPECT_FALSE(split.text.empty()) << url;
    }
}

}  // namespace
