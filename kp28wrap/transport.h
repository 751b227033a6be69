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
    // At load, from the library's constructor. Never blocks on a device.
    // Returns 1 (the load succeeds).
    int32_t (*startup)();
    // At unload, from the library's destructor: closes devices, wakes and joins
    // every library thread. Blocks at most for threads just woken. Returns 1.
    int32_t (*shutdown)();
    // Kp28wrap_connect. Under the library lock; opens the device file.
    // 0, 0x200, 0x201, 0x202, 0x204 (0x101 for a null pointer); stores the DOOR
    // or KP28_INVALID_DOOR in *door.
    int32_t (*open)(KP28_DOOR* door, int printer);
    // Kp28wrap_disconnect. Under the lock, then joins the connection's threads.
    // 0, 0x203, 0x400; on 0 *door becomes KP28_INVALID_DOOR.
    int32_t (*close)(KP28_DOOR* door);
    // Kp28wrap_read / Kp28wrap_write. Block for the time-out (-1: without
    // limit) outside the lock. Read: 0, 0x101, 0x203, 0x204, 0x205, 0x207,
    // 0x208. Write: 0, 0x203, 0x204, 0x206, 0x207.
    int32_t (*read)(KP28_DOOR door, void* buffer, unsigned length, unsigned* count, int timeout_ms);
    int32_t (*write)(KP28_DOOR door, const void* buffer, unsigned length, unsigned* count,
                     int timeout_ms);
    // Kp28wrap_ioctl. Under the lock; never waits for a transfer. 0, 0x203,
    // 0x209; records its result, 0 included.
    int32_t (*ioctl)(KP28_DOOR door, int code, int value, void* out);
    // Kp28wrap_geterrno's code. Never blocks.
    int32_t (*last_error)();
    // Kp28wrap_list (0, 0x401, 0x402) and Kp28wrap_refreshlist (0, 0x202,
    // 0x401). Under the lock; refresh reads sysfs.
    int32_t (*list)(int* capacity, const char** paths);
    int32_t (*refresh)();
};

const TransportImpl& usb_transport();
const TransportImpl& stub_transport();

// KP28WRAP_MODE absent or exactly "LM": USB; anything else: stub.
const TransportImpl& choose_transport();

}  // namespace kp28wrap
