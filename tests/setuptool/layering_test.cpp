// The setup tool's core stays in one-way layers: a file includes headers of
// its own layer and of those below it, never above; and each class has its
// member functions defined in one folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kLayers = {"links", "dialogue", "editor", "maintenance", "session"};

int rank_of(const std::string& layer) {
    for (std::size_t i = 0; i < kLayers.size(); ++i)
        if (kLayers[i] == layer) return static_cast<int>(i);
    return -1;
}

struct Source {
    fs::path path;
    std::string layer;
};

std::vector<Source> sources(const fs::path& core) {
    std::vector<Source> out;
    for (const auto& layer : kLayers)
        for (const auto& e : fs::recursive_directory_iterator(core / layer))
            if (e.is_regular_file() &&
                (e.path().extension() == ".cpp" || e.path().extension() == ".h"))
                out.push_back({e.path(), layer});
    return out;
}

TEST(CoreLayers, NoFileIncludesALayerAboveItsOwn) {
    const fs::path core = fs::path(KP28_SETUPTOOL_SOURCE_DIR) / "core";
    const auto files = sources(core);
    // Which layer publishes each kp28setup/ header.
    std::map<std::string, std::string> home;
    for (const auto& f : files)
        if (f.path.parent_path().filename() == "kp28setup") home[f.path.filename()] = f.layer;
    ASSERT_GT(home.size(), 15u) << "the headers were not found under " << core;

    const std::regex include(R"(^\s*#\s*include\s*[<"](?:kp28setup/)?([^>"]+)[>"])");
    std::vector<std::string> upwards;
    for (const auto& f : files) {
        std::ifstream in(f.path);
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            std::smatch m;
            if (!std::regex_search(line, m, include)) continue;
            std::string target;
            const std::string name = m[1];
            if (name.rfind("../", 0) == 0)
                target = name.substr(3, name.find('/', 3) - 3);
            else if (const auto it = home.find(name); it != home.end())
                target = it->second;
            if (!target.empty() && rank_of(target) > rank_of(f.layer))
                upwards.push_back(fs::relative(f.path, core).string() + ":" +
                                  std::to_string(number) + " includes " + name + " (" + target +
                                  ")");
        }
    }
    EXPECT_TRUE(upwards.empty()) << ::testing::PrintToString(upwards);
}

TEST(CoreLayers, EachClassIsDefinedInOneFolder) {
    const fs::path core = fs::path(KP28_SETUPTOOL_SOURCE_DIR) / "core";
    // A member defined outside its class: "Type Class::name(" at a line's start.
    const std::regex definition(R"(^[A-Za-z_][\w:<>,\s\*&]*?\b([A-Z]\w*)::~?\w+\()");
    std::map<std::string, std::set<std::string>> folders;
    for (const auto& f : sources(core)) {
        if (f.path.extension() != ".cpp") continue;
        std::ifstream in(f.path);
        std::string line;
        while (std::getline(in, line)) {
            std::smatch m;
            if (std::regex_search(line, m, definition)) folders[m[1]].insert(f.layer);
        }
    }
    ASSERT_TRUE(folders.count("Session")) << "no Session members found under " << core;
    EXPECT_EQ(folders["Session"], std::set<std::string>{"session"});
    for (const auto& [cls, where] : folders)
        EXPECT_EQ(where.size(), 1u) << cls << " has members in " << ::testing::PrintToString(where);
}

}  // namespace
