// Test fixture: a fresh copy of libkp28wrap.so per test.
//
// The library reads its load-time settings (KP28WRAP_MODE, KP28_SYSROOT,
// ALL_PRINTERS_GOOD, CHUNK_SIZE) when it is loaded, so each case sets the
// environment, loads the library with dlopen, and unloads it with dlclose,
// which runs the library's unload step (all of its threads are joined there).
// Other components' tests can use it to drive the library exactly as the setup
// tool does: bound by name from the shared object.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kp28wrap.h"

namespace kp28test {

// The ten exports, found by name.
struct WrapApi {
    int32_t (*initialization)();
    int32_t (*finalization)();
    int32_t (*list)(int*, const char**);
    int32_t (*refreshlist)();
    int32_t (*connect)(KP28_DOOR*, int);
    int32_t (*disconnect)(KP28_DOOR*);
    int32_t (*read)(KP28_DOOR, void*, unsigned, unsigned*, int);
    int32_t (*write)(KP28_DOOR, const void*, unsigned, unsigned*, int);
    int32_t (*ioctl)(KP28_DOOR, int, int, void*);
    int32_t (*geterrno)(char*, int);
};

// Sets (value) or unsets (nullopt) variables; restores the old values when it
// goes away. Only change the environment while no library thread runs.
class ScopedEnv {
  public:
    explicit ScopedEnv(const std::map<std::string, std::optional<std::string>>& vars);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// The path of the library under test (the build's libkp28wrap.so).
std::string wrap_library_path();

class WrapLibrary {
  public:
    // Loads the library; throws std::runtime_error if it cannot be loaded or an
    // export is missing.
    explicit WrapLibrary(const std::string& path = wrap_library_path());
    ~WrapLibrary();  // unloads
    WrapLibrary(const WrapLibrary&) = delete;
    WrapLibrary& operator=(const WrapLibrary&) = delete;

    const WrapApi* operator->() const { return &api_; }
    const WrapApi& api() const { return api_; }
    // Unloads now; true when the library really left the process.
    bool unload();
    // The message of the last error, as Kp28wrap_geterrno gives it.
    std::string message() const;

  private:
    void* handle_ = nullptr;
    std::string path_;
    WrapApi api_{};
};

// A file for KP28WRAP_DEBUG_OUT and ways to look at what reached it.
class DebugOut {
  public:
    DebugOut();
    ~DebugOut();
    const std::string& path() const { return path_; }
    std::vector<std::string> lines() const;
    size_t count(const std::string& text) const;  // lines containing text
    // Waits until at least n lines contain text; false when the deadline passes.
    bool wait_for(const std::string& text, std::chrono::milliseconds deadline, size_t n = 1) const;

  private:
    std::string path_;
};

// The printer's side of a pseudo-terminal node.
std::string read_master(int master, size_t max, std::chrono::milliseconds deadline);
// Reads until exactly n bytes have come or the deadline passes.
std::string read_master_exact(int master, size_t n, std::chrono::milliseconds deadline);
void write_master(int master, const std::string& bytes);
// Discards whatever the library wrote so far.
void drain_master(int master);

// A fresh temporary directory, removed with its contents by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string& path);

}  // namespace kp28test
