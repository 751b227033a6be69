// The library's error codes, their messages and the process-wide last error.
//
// The last error code, the stale flag and the auto-refresh switch are shared by
// every thread (callers, idle timers, read workers) without a lock of their own,
// so they are atomics: a caller that wants the code of its own failure reads it
// right after the failing call.
#pragma once

#include <cstdint>

namespace kp28wrap {

// Message of a code, or "unknown error" for anything outside the table.
const char* error_message(int32_t code);

// Records a failure (or, for ioctl, any result): it becomes the last error code,
// and with the auto-refresh switch on every code that shares a bit with 0x207
// marks the printer list stale. Returns code so callers can `return set_errno(x)`.
int32_t set_errno(int32_t code);

int32_t last_error();
void reset_last_error(int32_t code);  // start-up only: no stale marking

bool list_is_stale();
void set_list_stale(bool stale);
bool auto_refresh_on();
void set_auto_refresh(bool on);

// Exported calls under way. Unload waits (a bounded time) for the calls it has
// woken to leave before it takes the library's state down, so a host thread
// still inside a call when the process exits does not touch freed state.
void call_begin();
void call_end();
void wait_for_calls_to_leave(int max_ms);

}  // namespace kp28wrap
