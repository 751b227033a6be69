// The updater's OS calls stay in its platform layer: no file of fwupdate/
// outside platform/ includes an operating-system header, so that a port or a
// review has one small place to look at.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// POSIX and Linux headers, and the C library's own (the C++ wrappers
// <cstdio>, <cerrno>, ... are portable and fine).
bool is_os_header(const std::string& name) {
    static const std::regex os(
        R"((unistd|fcntl|poll|signal|dirent|errno|limits|time|pthread|termios|dlfcn|netdb|syslog|)"
        R"(spawn|pwd|grp|glob|fnmatch|semaphore|string|strings|stdlib|stdio)\.h|)"
        R"((sys|linux|asm|netinet|arpa|net)/.*)");
    return std::regex_match(name, os);
}

TEST(Layering, OnlyThePlatformFilesIncludeOsHeaders) {
    const fs::path root = KP28_FWUPDATE_SOURCE_DIR;
    const std::regex include(R"(^\s*#\s*include\s*<([^>]+)>)");
    std::vector<std::string> offenders;
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const fs::path& p = entry.path();
        if (!entry.is_regular_file() || (p.extension() != ".cpp" && p.extension() != ".h"))
            continue;
        ++files;
        const bool platform = p.parent_path().filename() == "platform";
        std::ifstream in(p);
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            std::smatch m;
            if (!platform && std::regex_search(line, m, include) && is_os_header(m[1]))
                offenders.push_back(fs::relative(p, root).string() + ":" + std::to_string(number) +
                                    ": <" + m[1].str() + ">");
        }
    }
    EXPECT_GT(files, 20u) << "the sources were not found under " << root;
    EXPECT_TRUE(offenders.empty()) << ::testing::PrintToString(offenders);
}

TEST(Layering, TheCheckKnowsAnOsHeaderWhenItSeesOne) {
    for (const char* h : {"unistd.h", "sys/stat.h", "signal.h", "poll.h", "fcntl.h", "dirent.h"})
        EXPECT_TRUE(is_os_header(h)) << h;
    for (const char* h : {"cstdio", "cerrno", "string", "curl/curl.h", "kp28/crc32.h"})
        EXPECT_FALSE(is_os_header(h)) << h;
}

}  // namespace
