// The C ABI wall: exactly the ten exports, and a fresh load per dlopen.
#include <cstdio>
#include <filesystem>
#include <set>

#include "wrap_test_base.h"

namespace kp28test {
namespace {

TEST(ExportsTest, LibraryExportsExactlyTheTenFunctions) {
    const std::string cmd = "nm -D --defined-only '" + wrap_library_path() + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char addr[64], type[8], name[400];
        if (sscanf(line, "%63s %7s %399s", addr, type, name) == 3) names.insert(name);
    }
    ASSERT_EQ(pclose(p), 0);
    const std::set<std::string> expected = {
        "Kp28wrap_initialization", "Kp28wrap_finalization", "Kp28wrap_list", "Kp28wrap_refreshlist",
        "Kp28wrap_connect",        "Kp28wrap_disconnect",   "Kp28wrap_read", "Kp28wrap_write",
        "Kp28wrap_ioctl",          "Kp28wrap_geterrno",
    };
    EXPECT_EQ(names, expected);
}

TEST(ExportsTest, LibraryCarriesVersionedSonameBesideItsDevelopmentLink) {
    const std::string path = wrap_library_path();
    const std::string cmd = "objdump -p '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string soname;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char key[64], value[400];
        if (sscanf(line, "%63s %399s", key, value) == 2 && std::string(key) == "SONAME")
            soname = value;
    }
    ASSERT_EQ(pclose(p), 0);
    EXPECT_EQ(soname, "libkp28wrap.so.1");
    // The name a program records and the name a build links with both lead
    // to the library under test.
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(path).parent_path();
    for (const char* name : {"libkp28wrap.so.1", "libkp28wrap.so"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(fs::equivalent(dir / name, path));
    }
}

class ReloadTest : public WrapTest {};

TEST_F(ReloadTest, EveryLoadRunsStartUpAndEveryUnloadLeavesTheProcess) {
    root.add_usb_printer(0);
    load();
    EXPECT_TRUE(lib->unload());
    root.add_usb_printer(1);
    load();
    int capacity = 16;
    const char* paths[16] = {};
    ASSERT_EQ((*lib)->list(&capacity, paths), 0);
    EXPECT_EQ(capacity, 2) << "the second load enumerated afresh";
    EXPECT_TRUE(lib->unload());
    EXPECT_EQ(debug.count("kp28wrap::DllMain(): DLL_PROCESS_ATTACH"), 2u);
    EXPECT_EQ(debug.count("kp28wrap::DllMain(): DLL_PROCESS_DETACH"), 2u);
}

}  // namespace
}  // namespace kp28test
