#include "errors.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "kp28wrap.h"

namespace kp28wrap {

namespace {

struct ErrorRow {
    int32_t code;
    const char* message;
};

// Exactly these fifteen rows; 0x209 (failed device control) deliberately has none.
constexpr ErrorRow kErrorTable[] = {
    {KP28WRAP_OK, "no error"},
    {KP28WRAP_E_UNIMPLEMENTED, "unimplemented function"},
    {KP28WRAP_E_INVALID_PARAM, "invalid parameter value"},
    {KP28WRAP_E_INVALID_INDEX, "invalid printer index"},
    {KP28WRAP_E_NO_DOORS, "cannot allocate more DOORs"},
    {KP28WRAP_E_ALREADY_OPENED, "printer(s) already opened"},
    {KP28WRAP_E_INVALID_DOOR, "invalid DOOR value"},
    {KP28WRAP_E_OPEN, "error opening device"},
    {KP28WRAP_E_READ, "error reading from device"},
    {KP28WRAP_E_WRITE, "error writing to device"},
    {KP28WRAP_E_TIMEOUT, "io timeout"},
    {KP28WRAP_E_NO_MEMORY, "cannot allocate memory"},
    {KP28WRAP_E_CLOSE, "error closing handle to printer"},
    {KP28WRAP_E_NO_PRINTERS, "no printers found"},
    {KP28WRAP_E_BUFFER_TOO_SMALL, "buffer is too small to keep complete data"},
};

// Trivially destructible, so they outlive every static destructor that might
// still log or record during unload.
std::atomic<int32_t> g_last_error{0};
std::atomic<bool> g_stale{false};
std::atomic<bool> g_auto_refresh{false};
std::atomic<int> g_calls{0};

}  // namespace

const char* error_message(int32_t code) {
    for (const auto& row : kErrorTable)
        if (row.code == code) return row.message;
    return "unknown error";
}

int32_t set_errno(int32_t code) {
    g_last_error.store(code);
    // 0x207 shares a bit with every code of the table except 0 and 0x400.
    if (g_auto_refresh.load() && (code & 0x207) != 0) g_stale.store(true);
    return code;
}

int32_t last_error() {
    return g_last_error.load();
}
void reset_last_error(int32_t code) {
    g_last_error.store(code);
}
bool list_is_stale() {
    return g_stale.load();
}
void set_list_stale(bool stale) {
    g_stale.store(stale);
}
bool auto_refresh_on() {
    return g_auto_refresh.load();
}
void set_auto_refresh(bool on) {
    g_auto_refresh.store(on);
}

void call_begin() {
    g_calls.fetch_add(1);
}
void call_end() {
    g_calls.fetch_sub(1);
}

void wait_for_calls_to_leave(int max_ms) {
    // Only reached at unload with calls that were just woken: they leave
    // within microseconds, so a short poll is enough and needs no signalling.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
    while (g_calls.load() > 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace kp28wrap
