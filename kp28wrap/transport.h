// TransportImpl: the ten operations behind the exports, chosen once at load.
//
// Every export and the load/unload steps go through the installed table. The
// USB table does the work; the stub table answers "unimplemented function" to
// everything, for hosts that must load the library without touching printers.
#pragma once

#include <cstdint>

#include "kp28wrap.h"

namespace kp28wrap {

struct TransportImpl {
    // At load. Returns 1 (success of the load).
    int32_t (*startup)();
    // At unload; stops and joins every library thread first. Returns 1.
    int32_t (*shutdown)();
    // Connect: stores the new DOOR or KP28_INVALID_DOOR in *door; 0 or the code.
    int32_t (*open)(KP28_DOOR* door, int printer);
    // Disconnect: on success *door becomes KP28_INVALID_DOOR.
    int32_t (*close)(KP28_DOOR* door);
    // Transfers; may block for the time-out (-1: without limit), outside the lock.
    int32_t (*read)(KP28_DOOR door, void* buffer, unsigned length, unsigned* count, int timeout_ms);
    int32_t (*write)(KP28_DOOR door, const void* buffer, unsigned length, unsigned* count,
                     int timeout_ms);
    // Device controls and per-connection options; records its result, 0 included.
    int32_t (*ioctl)(KP28_DOOR door, int code, int value, void* out);
    // The last error code.
    int32_t (*last_error)();
    int32_t (*list)(int* capacity, const char** paths);
    int32_t (*refresh)();
};

const TransportImpl& usb_transport();
const TransportImpl& stub_transport();

// KP28WRAP_MODE absent or exactly "LM": USB; anything else: stub.
const TransportImpl& choose_transport();

}  // namespace kp28wrap
