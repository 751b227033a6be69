// Helpers of the log, linked from the library's own objects: the word test of
// WLOGMODE, the expansion of WLOGFILE, the memory copy and the length limits.
#include <gtest/gtest.h>

#include <string>

#include "errlog.h"
#include "errors.h"
#include "wrap_library.h"

namespace kp28wrap {
namespace {

TEST(HasTokenTest, MatchesWholeColonSeparatedWordsOnly) {
    struct Case {
        const char* list;
        const char* word;
        bool found;
    };
    const Case cases[] = {
        {"LOG_FILE", "LOG_FILE", true},
        {"A:LOG_FILE", "LOG_FILE", true},
        {"LOG_FILE:B", "LOG_FILE", true},
        {"LOG_FILES", "LOG_FILE", false},
        {"XLOG_FILE", "LOG_FILE", false},
        {"log_file", "LOG_FILE", false},
        {"", "LOG_FILE", false},
        {"::", "LOG_FILE", false},
        {"LOG_FILE_CAN", "LOG_FILE", false},
        {"LOG_FILE_CAN", "LOG_FILE_CAN", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.list) + " / " + c.word);
        EXPECT_EQ(has_token(c.list, c.word), c.found);
    }
    EXPECT_FALSE(has_token(nullptr, "LOG_FILE"));
}

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
    kp28test::ScopedEnv env({{"WLOGERR", std::string("on")}, {"WLOGMODE", std::string("LOG_VARIABLE")}});
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

TEST(ErrorTableTest, FifteenMessagesAndUnknownForTheRest) {
    EXPECT_STREQ(error_message(0x000), "no error");
    EXPECT_STREQ(error_message(0x402), "buffer is too small to keep complete data");
    for (int32_t code : {0x209, 0x002, -1, 0x403, 0x7fffffff})
        EXPECT_STREQ(error_message(code), "unknown error") << code;
}

TEST(SetErrnoTest, AutoRefreshMarksListStaleForCodesSharingBitsWith207) {
    struct Case {
        bool auto_refresh;
        int32_t code;
        bool stale;
    };
    const Case cases[] = {
        {true, 0x207, true}, {true, 0x001, true},  {true, 0x101, true},  {true, 0x402, true},
        {true, 0x000, false}, {true, 0x400, false}, {false, 0x207, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        set_list_stale(false);
        set_auto_refresh(c.auto_refresh);
        EXPECT_EQ(set_errno(c.code), c.code);
        EXPECT_EQ(last_error(), c.code);
        EXPECT_EQ(list_is_stale(), c.stale);
    }
    set_auto_refresh(false);
    set_list_stale(false);
}

}  // namespace
}  // namespace kp28wrap
