// Shared set-up of the library tests: a fake sysroot with USB printers whose
// nodes are pseudo-terminals, a debug-output file for the trace, and a fresh
// copy of the library loaded with the settings of the case.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "kp28/fake_sysroot.h"
#include "wrap_library.h"

namespace kp28test {

using Env = std::map<std::string, std::optional<std::string>>;

inline kp28::UsbIdentity usb_id(std::string vid, std::string pid,
                                std::string serial = "KP28SIM0001") {
    kp28::UsbIdentity id;
    id.vid = std::move(vid);
    id.pid = std::move(pid);
    id.serial = std::move(serial);
    return id;
}

class WrapTest : public ::testing::Test {
  protected:
    // Loads the library with the base settings plus extra (which wins).
    void load(const Env& extra = {}) {
        unload();
        Env vars = {
            {"KP28_SYSROOT", root.root()},   {"KP28WRAP_DEBUG_OUT", debug.path()},
            {"KP28WRAP_MODE", std::nullopt}, {"ALL_PRINTERS_GOOD", std::nullopt},
            {"CHUNK_SIZE", std::nullopt},    {"WLOGERR", std::nullopt},
            {"WLOGMODE", std::nullopt},      {"WLOGFILE", std::nullopt},
            {"WLOGSIZE", std::nullopt},
        };
        for (const auto& [k, v] : extra) vars[k] = v;
        env = std::make_unique<ScopedEnv>(vars);
        lib = std::make_unique<WrapLibrary>();
    }
    void unload() {
        lib.reset();
        env.reset();
    }
    void TearDown() override { unload(); }

    // Connects printer index and expects success.
    KP28_DOOR connect(int index) {
        KP28_DOOR door = 0;
        EXPECT_EQ((*lib)->connect(&door, index), 0);
        return door;
    }
    int32_t write(KP28_DOOR door, const std::string& bytes, int timeout_ms = -1,
                  unsigned* count_out = nullptr) {
        unsigned count = 0;
        const int32_t rc = (*lib)->write(door, bytes.data(), static_cast<unsigned>(bytes.size()),
                                         &count, timeout_ms);
        if (count_out) *count_out = count;
        return rc;
    }
    // Reads up to length bytes; rc receives the code.
    std::string read(KP28_DOOR door, unsigned length, int timeout_ms, int32_t& rc) {
        std::string buf(length, '\0');
        unsigned count = 0xdeadbeef;
        rc = (*lib)->read(door, buf.data(), length, &count, timeout_ms);
        if (count > length) {
            ADD_FAILURE() << "count " << count << " beyond length " << length;
            count = 0;
        }
        buf.resize(count);
        return buf;
    }
    int32_t last_error() { return (*lib)->geterrno(nullptr, 0); }

    kp28::FakeSysroot root;
    DebugOut debug;
    std::unique_ptr<ScopedEnv> env;
    std::unique_ptr<WrapLibrary> lib;
};

}  // namespace kp28test
