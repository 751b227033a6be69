// Helpers of the log, linked from the library's own objects: the expansion of
// WLOGFILE, the memory copy (which a host cannot reach through the ten
// exports) and the length limits.
#include <gtest/gtest.h>

#include <string>

#include "errlog.h"
#include "wrap_library.h"

namespace kp28wrap {
namespace {

TEST(ExpandEnvRefsTest, ExpandsThreeNotationsAndKeepsUnknownOnes) {
    kp28test::ScopedEnv env({{"KP28_A", std::string("/var/a")},
                             {"KP28_B", std::string("b")},
                             {"KP28_UNSET", std::nullopt}});
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"$KP28_A/x.log", "/var/a/x.log"},
        {"${KP28_A}/x.log", "/var/a/x.log"},
        {"%KP28_A%\\x.log", "/var/a\\x.log"},
        {"$KP28_A$KP28_B", "/var/ab"},
        {"${KP28_B}c", "bc"},
        {"$KP28_Bc", "$KP28_Bc"},
        {"%KP28_UNSET%/x", "%KP28_UNSET%/x"},
        {"$KP28_UNSET/x", "$KP28_UNSET/x"},
        {"${KP28_UNSET}/x", "${KP28_UNSET}/x"},
        {"100%", "100%"},
        {"%%", "%%"},
        {"$", "$"},
        {"${", "${"},
        {"plain", "plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(expand_env_refs(c.in), c.out);
    }
}

TEST(LogFileNameTest, TooLongExpandedNameIsDropped) {
    kp28test::ScopedEnv env({{"WLOGFILE", "/tmp/" + std::string(122, 'n')}});
    EXPECT_EQ(log_file_name().size(), 127u);
    kp28test::ScopedEnv longer({{"WLOGFILE", "/tmp/" + std::string(123, 'n')}});
    EXPECT_EQ(log_file_name(), "");
}

TEST(LastLogLineTest, MemoryCopyHoldsLatestLineWithoutLineEnd) {
    kp28test::ScopedEnv env(
        {{"WLOGERR", std::string("on")}, {"WLOGMODE", std::string("LOG_VARIABLE")}});
    errlog("Kp28wrap_list()");
    EXPECT_EQ(last_log_line(), "ERRLOG - Kp28wrap_list()");
    errlog("Kp28wrap_read()");
    EXPECT_EQ(last_log_line(), "ERRLOG - Kp28wrap_read()");
    // A line is at most 4095 characters.
    errlog(std::string(5000, 'z').c_str());
    EXPECT_EQ(last_log_line().size(), kMaxLogLine);
    {
        kp28test::ScopedEnv off({{"WLOGMODE", std::string("LOG_VARIABLE_CAN")}});
        errlog("again");
        EXPECT_EQ(last_log_line(), "ERRLOG - again");
    }
}

TEST(TraceTest, MessageIsCutAt255CharactersBeforeThePrefix) {
    kp28test::DebugOut out;
    kp28test::ScopedEnv env({{"KP28WRAP_DEBUG_OUT", out.path()}});
    trace("%s", std::string(300, 'm').c_str());
    trace("OpenDevice - handle: 0x%x", 0x1fu);
    const auto lines = out.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "kp28wrap - " + std::string(255, 'm'));
    EXPECT_EQ(lines[1], "kp28wrap - OpenDevice - handle: 0x1f");
}

}  // namespace
}  // namespace kp28wrap
