// The error log as a host program sees it: which settings switch it on, which
// outputs each word of WLOGMODE chooses, the file's name and its rotation.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "wrap_test_base.h"

namespace kp28test {
namespace {

// Sends a standard descriptor to a file while it lives.
class CaptureFd {
  public:
    CaptureFd(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
        fflush(fd == 1 ? stdout : stderr);
        saved_ = dup(fd_);
        const int f = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(f, fd_);
        close(f);
    }
    ~CaptureFd() { stop(); }
    std::string stop() {
        if (saved_ >= 0) {
            fflush(fd_ == 1 ? stdout : stderr);
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
        }
        return read_file(path_);
    }

  private:
    int fd_;
    std::string path_;
    int saved_ = -1;
};

class ErrlogTest : public WrapTest {
  protected:
    TempDir dir;
    std::string log = dir.file("wrap.log");

    // Loads with the given log settings, makes one connect, unloads; returns
    // what reached the log file, stderr and the debugger output.
    struct Seen {
        std::string file, err, out, debugger;
    };
    Seen run(const Env& settings) {
        Env vars = settings;
        if (!vars.count("WLOGFILE")) vars["WLOGFILE"] = log;
        CaptureFd err(2, dir.file("stderr.txt"));
        CaptureFd out(1, dir.file("stdout.txt"));
        load(vars);
        KP28_DOOR door = 0;
        (*lib)->connect(&door, 0);
        unload();
        Seen s;
        s.err = err.stop();
        s.out = out.stop();
        s.file = read_file(log);
        for (const auto& l : debug.lines())
            if (l.rfind("ERRLOG - ", 0) == 0) s.debugger += l + "\n";
        return s;
    }
};

constexpr const char* kConnectLine = "ERRLOG - Kp28wrap_connect()\n";

TEST_F(ErrlogTest, OnlyExactlyOnWithKnownWordsWritesAnything) {
    root.add_usb_printer(0);
    struct Case {
        std::optional<std::string> wlogerr, wlogmode;
    };
    const Case silent[] = {
        {std::string("ON"), std::string("LOG_FILE")},
        {std::string("1"), std::string("LOG_FILE:LOG_SYSMSG:LOG_ERRORD")},
        {std::nullopt, std::string("LOG_FILE")},
        {std::string("on"), std::nullopt},
        {std::string("on"), std::string("LOG_FILES")},
        {std::string("on"), std::string("log_file:LOG_FILE_CA:LOG_")},
        {std::string("on"), std::string("")},
    };
    for (const auto& c : silent) {
        SCOPED_TRACE(c.wlogerr.value_or("(unset)") + " / " + c.wlogmode.value_or("(unset)"));
        const Seen s = run({{"WLOGERR", c.wlogerr}, {"WLOGMODE", c.wlogmode}});
        EXPECT_EQ(s.file, "");
        EXPECT_EQ(s.err, "");
        EXPECT_EQ(s.debugger, "");
        EXPECT_FALSE(std::filesystem::exists(log));
    }
}

TEST_F(ErrlogTest, EachWordChoosesItsOutput) {
    root.add_usb_printer(0);
    struct Case {
        const char* mode;
        bool file, err, debugger;
    };
    const Case cases[] = {
        {"LOG_FILE", true, false, false},
        {"LOG_FILE_CAN", true, false, false},
        {"LOG_ERRORD:LOG_SYSMSG_CAN", false, true, true},
        {"LOG_SYSMSG", false, true, false},
        {"LOG_ERRORD_CAN", false, false, true},
        {"LOG_VARIABLE:LOG_FILE", true, false, false},
        {"X:LOG_FILE:Y", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        std::filesystem::remove(log);
        std::filesystem::remove(debug.path());
        const Seen s = run({{"WLOGERR", "on"}, {"WLOGMODE", std::string(c.mode)}});
        const auto has = [](const std::string& text) {
            return text.find(kConnectLine) != std::string::npos;
        };
        EXPECT_EQ(has(s.file), c.file) << s.file;
        EXPECT_EQ(has(s.err), c.err) << s.err;
        EXPECT_EQ(has(s.debugger), c.debugger) << s.debugger;
    }
}

TEST_F(ErrlogTest, FileGetsLoadLineThenOneLinePerCallEachEnded) {
    root.add_usb_printer(0);
    const Seen s = run({{"WLOGERR", "on"}, {"WLOGMODE", "LOG_FILE"}});
    ASSERT_EQ(s.file.rfind("ERRLOG - DllMain(0x", 0), 0u) << s.file;
    EXPECT_NE(s.file.find(", DLL_PROCESS_ATTACH, "), std::string::npos);
    EXPECT_EQ(s.file.substr(s.file.find('\n') + 1), kConnectLine);
    EXPECT_EQ(s.out, "");
}

TEST_F(ErrlogTest, StdoutAsFileNameSendsFileOutputToStandardOutput) {
    root.add_usb_printer(0);
    const Seen s = run({{"WLOGERR", "on"}, {"WLOGMODE", "LOG_FILE"}, {"WLOGFILE", "stdout"}});
    EXPECT_NE(s.out.find(kConnectLine), std::string::npos) << s.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("stdout")));
}

TEST_F(ErrlogTest, FileNameExpandsEnvironmentReferences) {
    root.add_usb_printer(0);
    const ScopedEnv where({{"KP28_LOGDIR", dir.path()}});
    for (const char* name : {"$KP28_LOGDIR/a.log", "${KP28_LOGDIR}/b.log", "%KP28_LOGDIR%/c.log"}) {
        SCOPED_TRACE(name);
        run({{"WLOGERR", "on"}, {"WLOGMODE", "LOG_FILE"}, {"WLOGFILE", std::string(name)}});
        const std::string expected =
            dir.path() + "/" + std::string(name).substr(std::string(name).size() - 5);
        EXPECT_NE(read_file(expected).find(kConnectLine), std::string::npos);
    }
}

TEST_F(ErrlogTest, DefaultFileIsKp28wrapLogInTmpdir) {
    root.add_usb_printer(0);
    run({{"WLOGERR", "on"},
         {"WLOGMODE", "LOG_FILE"},
         {"WLOGFILE", std::nullopt},
         {"TMPDIR", dir.path()}});
    EXPECT_NE(read_file(dir.file("kp28wrap.log")).find(kConnectLine), std::string::npos);
}

TEST_F(ErrlogTest, DefaultFileIsNotWrittenThroughAPlantedLink) {
    root.add_usb_printer(0);
    const std::string victim = dir.file("victim");
    struct Case {
        const char* name;
        bool target_exists;
        bool explicit_name;  // WLOGFILE names the link: the user chose it
    };
    const Case cases[] = {
        {"link to a file", true, false},
        {"dangling link", false, false},
        {"named link", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string link = dir.file("kp28wrap.log");
        std::filesystem::remove(link);
        std::filesystem::remove(victim);
        if (c.target_exists) {
            FILE* f = fopen(victim.c_str(), "w");
            fputs("keep\n", f);
            fclose(f);
        }
        std::filesystem::create_symlink(victim, link);
        run({{"WLOGERR", "on"},
             {"WLOGMODE", "LOG_FILE"},
             {"WLOGFILE", c.explicit_name ? std::optional<std::string>(link) : std::nullopt},
             {"TMPDIR", dir.path()}});
        EXPECT_TRUE(std::filesystem::is_symlink(link));
        if (c.explicit_name) {
            EXPECT_NE(read_file(victim).find(kConnectLine), std::string::npos);
        } else if (c.target_exists) {
            EXPECT_EQ(read_file(victim), "keep\n");
        } else {
            EXPECT_FALSE(std::filesystem::exists(victim));
        }
    }
}

TEST_F(ErrlogTest, ZeroSizeLimitKeepsLatestLineAndOneBefore) {
    root.add_usb_printer(0);
    load({{"WLOGERR", "on"}, {"WLOGMODE", "LOG_FILE"}, {"WLOGFILE", log}, {"WLOGSIZE", "0"}});
    (*lib)->initialization();
    (*lib)->finalization();
    EXPECT_EQ(read_file(log), "ERRLOG - Kp28wrap_finalization()\n");
    EXPECT_EQ(read_file(log + ".old"), "ERRLOG - Kp28wrap_initialization()\n");
}

TEST_F(ErrlogTest, FileRotatesOnlyWhenLargerThanLimit) {
    root.add_usb_printer(0);
    for (size_t size : {size_t{1048576}, size_t{1048577}}) {
        SCOPED_TRACE(size);
        std::filesystem::remove(log + ".old");
        {
            FILE* f = fopen(log.c_str(), "w");
            const std::string fill(size, 'f');
            fwrite(fill.data(), 1, fill.size(), f);
            fclose(f);
        }
        load({{"WLOGMODE", "LOG_FILE"}, {"WLOGFILE", log}, {"WLOGSIZE", "1"}});
        {
            // Switched on after the load so that only this one line is written.
            const ScopedEnv on(Env{{"WLOGERR", std::string("on")}});
            (*lib)->initialization();
        }
        unload();
        const bool rotated = size > 1048576;
        EXPECT_EQ(std::filesystem::exists(log + ".old"), rotated);
        if (rotated) {
            EXPECT_EQ(std::filesystem::file_size(log + ".old"), size);
            EXPECT_EQ(read_file(log), "ERRLOG - Kp28wrap_initialization()\n");
        } else {
            EXPECT_GT(std::filesystem::file_size(log), size);
        }
    }
}

// Lines of a log file and its ".old" predecessor, by kind.
struct LogCount {
    size_t prefill = 0, older = 0, calls = 0, loads = 0, other = 0;
};

void count_lines(const std::string& text, LogCount& c) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "prefill-line-xx")
            ++c.prefill;
        else if (line == "older-generatio")
            ++c.older;
        else if (line == "ERRLOG - Kp28wrap_initialization()")
            ++c.calls;
        else if (line.rfind("ERRLOG - DllMain(", 0) == 0)
            ++c.loads;
        else
            ++c.other;
    }
}

TEST_F(ErrlogTest, ProcessesSharingTheLogLoseNoLineWhenItRotates) {
    // The file starts a little below the 1 MiB limit, so it crosses the limit
    // while the writers run, and rotates exactly once: a serial run removes
    // the older generation that ".old" holds and keeps every other line. The
    // older generation is large, so that removing it takes a while: writers
    // that rotate without a lock would then often remove each other's ".old".
    constexpr size_t kPrefillLines = 65300;  // 16 bytes each: 3776 bytes below 1 MiB
    constexpr int kWriters = 4;
    constexpr int kCalls = 300;
    constexpr int kRounds = 40;
    const ScopedEnv vars(Env{{"KP28_SYSROOT", root.root()},
                             {"KP28WRAP_DEBUG_OUT", std::nullopt},
                             {"KP28WRAP_MODE", std::nullopt},
                             {"WLOGERR", std::string("on")},
                             {"WLOGMODE", std::string("LOG_FILE")},
                             {"WLOGFILE", log},
                             {"WLOGSIZE", std::string("1")}});
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        {
            std::ofstream old(log + ".old", std::ios::binary | std::ios::trunc);
            for (size_t i = 0; i < 4 * kPrefillLines; ++i) old << "older-generatio\n";
            std::ofstream f(log, std::ios::binary | std::ios::trunc);
            for (size_t i = 0; i < kPrefillLines; ++i) f << "prefill-line-xx\n";
        }
        pid_t pids[kWriters] = {};
        int go[kWriters] = {};
        for (int w = 0; w < kWriters; ++w) {
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            posix_spawn_file_actions_t fa;
            posix_spawn_file_actions_init(&fa);
            posix_spawn_file_actions_adddup2(&fa, p[0], STDIN_FILENO);
            posix_spawn_file_actions_addclose(&fa, p[1]);
            const std::string n = std::to_string(kCalls);
            char* argv[] = {const_cast<char*>(KP28WRAP_LOG_WRITER), const_cast<char*>(n.c_str()),
                            nullptr};
            ASSERT_EQ(posix_spawn(&pids[w], KP28WRAP_LOG_WRITER, &fa, nullptr, argv, environ), 0);
            posix_spawn_file_actions_destroy(&fa);
            close(p[0]);
            go[w] = p[1];
        }
        // Every writer has loaded the library (one line each) before it reads go.
        for (int w = 0; w < kWriters; ++w) {
            EXPECT_EQ(::write(go[w], "g", 1), 1);
            close(go[w]);
        }
        for (int w = 0; w < kWriters; ++w) {
            int status = 0;
            ASSERT_EQ(waitpid(pids[w], &status, 0), pids[w]);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        LogCount c;
        count_lines(read_file(log + ".old"), c);
        count_lines(read_file(log), c);
        EXPECT_EQ(c.older, 0u) << "the limit was crossed: the older generation is gone";
        EXPECT_EQ(c.prefill, kPrefillLines);
        EXPECT_EQ(c.calls, size_t{kWriters} * kCalls);
        EXPECT_EQ(c.loads, size_t{kWriters});
        EXPECT_EQ(c.other, 0u) << "lines that ran into each other";
        if (HasFailure()) break;
    }
}

TEST_F(ErrlogTest, TraceReachesDebuggerOutputWhateverTheSettings) {
    root.add_usb_printer(0);
    run({{"WLOGERR", std::nullopt}, {"WLOGMODE", std::nullopt}});
    EXPECT_EQ(debug.count("kp28wrap - usb_open - start"), 1u);
    EXPECT_EQ(debug.count("kp28wrap::DllMain(): DLL_PROCESS_ATTACH"), 1u);
    EXPECT_EQ(debug.count("kp28wrap::DllMain(): DLL_PROCESS_DETACH"), 1u);
}

}  // namespace
}  // namespace kp28test
