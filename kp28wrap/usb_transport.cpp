// The USB implementation's operations: start-up and shutdown, the DOOR table,
// connect and disconnect, list and refresh, and the DOOR checks in front of the
// transfers and device controls of usb_ifc.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errlog.h"
#include "errors.h"
#include "transport.h"
#include "usb_ifc.h"

namespace kp28wrap {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

bool door_valid(uint32_t slot) {
    return slot < static_cast<uint32_t>(kMaxPrinters) && usb_state().doors[slot] != kFreeSlot;
}

// Takes a slot for printer; kNoSlot (with the code recorded) on failure.
uint32_t door_alloc(int printer) {
    UsbState& s = usb_state();
    if (printer < 0 || printer >= kMaxPrinters || !s.printers[printer].present) {
        set_errno(KP28WRAP_E_INVALID_INDEX);
        return kNoSlot;
    }
    PrinterInfo& rec = s.printers[printer];
    if (rec.opened) {
        set_errno(KP28WRAP_E_ALREADY_OPENED);
        return kNoSlot;
    }
    for (uint32_t slot = 0; slot < static_cast<uint32_t>(kMaxPrinters); ++slot) {
        if (s.doors[slot] != kFreeSlot) continue;
        s.doors[slot] = static_cast<uint32_t>(printer);
        rec.opened = 1;
        rec.options.store(0);
        return slot;
    }
    set_errno(KP28WRAP_E_NO_DOORS);
    return kNoSlot;
}

void door_free(uint32_t slot) {
    UsbState& s = usb_state();
    reset_record(s.printers[s.doors[slot]]);
    s.doors[slot] = kFreeSlot;
}

int32_t usb_refresh() {
    UsbState& s = usb_state();
    Lock lock(s.lock);
    if (s.open_count > 0) return set_errno(KP28WRAP_E_ALREADY_OPENED);
    usb_enumerate();
    if (s.printer_count == 0) return set_errno(KP28WRAP_E_NO_PRINTERS);
    set_list_stale(false);
    return 0;
}

int32_t usb_initialize() {
    create_usb_state();
    trace("usb_initialize - start");
    reset_last_error(0);
    UsbState& s = usb_state();
    Lock lock(s.lock);
    for (auto& rec : s.printers) {
        rec.device_path[0] = '\0';
        rec.present = 0;
        reset_record(rec);
    }
    for (auto& slot : s.doors) slot = kFreeSlot;
    s.printer_count = 0;
    s.open_count = 0;
    const char* all = std::getenv("ALL_PRINTERS_GOOD");
    s.accept_all = all && std::strcmp(all, "1") == 0;
    s.chunk_size = kDefaultChunkSize;
    if (const char* chunk = std::getenv("CHUNK_SIZE")) {
        int v = 0;
        // "%d" as the setting was always read: a negative value becomes a huge
        // unsigned chunk, which makes every read fail with 0x208.
        if (std::sscanf(chunk, "%d", &v) == 1) s.chunk_size = static_cast<uint32_t>(v);
    }
    usb_enumerate();
    trace("usb_initialize - end");
    return 1;
}

int32_t usb_shutdown() {
    Reaper reaper;
    {
        UsbState& s = usb_state();
        Lock lock(s.lock);
        s.closing = true;
        for (auto& rec : s.printers) {
            if (rec.present && rec.opened) {
                CloseDevice(rec);
                rec.present = 0;
                rec.device_path[0] = '\0';
            }
            reaper.take_timer(rec);
            reaper.take_job(rec);
            ++rec.generation;
        }
    }
    // Every library thread ends here, before the state they use goes away;
    // so do host calls that were waiting on a device just cancelled.
    reaper.join_all();
    wait_for_calls_to_leave(2000);
    destroy_usb_state();
    return 1;
}

int32_t usb_open(KP28_DOOR* door, int printer) {
    if (!door) return set_errno(KP28WRAP_E_INVALID_PARAM);
    UsbState& s = usb_state();
    Lock lock(s.lock);
    trace("usb_open - start");
    if (auto_refresh_on() && list_is_stale()) {
        if (usb_refresh() != 0) {
            *door = KP28_INVALID_DOOR;
            return set_errno(KP28WRAP_E_OPEN);
        }
    }
    trace("usb_open - before dorr alloc");
    uint32_t slot = door_alloc(printer);
    int32_t code = 0;
    if (slot == kNoSlot) {
        code = last_error();
    } else {
        PrinterInfo& rec = s.printers[printer];
        if (!OpenDevice(rec, rec.generation)) {
            door_free(slot);
            slot = kNoSlot;
            code = set_errno(KP28WRAP_E_OPEN);
        } else {
            ++s.open_count;
        }
    }
    trace("usb_open - end");
    *door = slot ^ kDoorXor;
    return code;
}

int32_t usb_close(KP28_DOOR* door) {
    if (!door) return set_errno(KP28WRAP_E_INVALID_PARAM);
    Reaper reaper;
    int32_t code = 0;
    {
        UsbState& s = usb_state();
        Lock lock(s.lock);
        const uint32_t slot = *door ^ kDoorXor;
        if (!door_valid(slot)) return set_errno(KP28WRAP_E_INVALID_DOOR);
        --s.open_count;
        PrinterInfo& rec = s.printers[s.doors[slot]];
        const bool closed = CloseDevice(rec);
        reaper.take_timer(rec);
        reaper.take_job(rec);
        door_free(slot);
        if (!closed) code = set_errno(KP28WRAP_E_CLOSE);
    }
    // The idle timer and any read worker are woken by now; they may need the
    // lock once more on their way out, so they are joined without it.
    reaper.join_all();
    if (code == 0) *door = KP28_INVALID_DOOR;
    return code;
}

// The DOOR check in front of a transfer: the connection as it stands now.
bool check_door(KP28_DOOR door, Conn& c) {
    UsbState& s = usb_state();
    Lock lock(s.lock);
    const uint32_t slot = door ^ kDoorXor;
    if (!door_valid(slot)) return false;
    PrinterInfo& rec = s.printers[s.doors[slot]];
    c = Conn{&rec, rec.generation, slot};
    return true;
}

int32_t usb_read(KP28_DOOR door, void* buffer, unsigned length, unsigned* count, int timeout_ms) {
    if (!count || (!buffer && length > 0)) return set_errno(KP28WRAP_E_INVALID_PARAM);
    Conn c{};
    if (!check_door(door, c)) return set_errno(KP28WRAP_E_INVALID_DOOR);
    if (timeout_ms == -1) return do_read(c, buffer, length, count, -1, false);
    return async_read(c, buffer, length, count, timeout_ms);
}

int32_t usb_write(KP28_DOOR door, const void* buffer, unsigned length, unsigned* count,
                  int timeout_ms) {
    if (!count || (!buffer && length > 0)) return set_errno(KP28WRAP_E_INVALID_PARAM);
    // The DOOR check and the transfer's start share one hold of the lock:
    // writes stream in small pieces, and each hold is a round trip through
    // the lock that every other thread of the library wants as well.
    Conn c{};
    TransferHold hold;
    {
        UsbState& s = usb_state();
        Lock lock(s.lock);
        const uint32_t slot = door ^ kDoorXor;
        if (!door_valid(slot)) return set_errno(KP28WRAP_E_INVALID_DOOR);
        PrinterInfo& rec = s.printers[s.doors[slot]];
        c = Conn{&rec, rec.generation, slot};
        trace("do_write - start, door: 0x%x", c.slot);
        hold.begin(c);
    }
    return do_write(c, hold, buffer, length, count, timeout_ms);
}

int32_t usb_ioctl(KP28_DOOR door, int code, int value, void* out) {
    int32_t result;
    {
        UsbState& s = usb_state();
        Lock lock(s.lock);
        const uint32_t slot = door ^ kDoorXor;
        if (!door_valid(slot)) return set_errno(KP28WRAP_E_INVALID_DOOR);
        result = device_control(s.printers[s.doors[slot]], code, value, out);
    }
    return set_errno(result);
}

int32_t usb_last_error() {
    return last_error();
}

int32_t usb_list(int* capacity, const char** paths) {
    UsbState& s = usb_state();
    Lock lock(s.lock);
    if (s.printer_count < 1) return set_errno(KP28WRAP_E_NO_PRINTERS);
    if (!capacity) return set_errno(KP28WRAP_E_INVALID_PARAM);
    *capacity = std::min(*capacity, s.printer_count);
    if (*capacity < s.printer_count) return set_errno(KP28WRAP_E_BUFFER_TOO_SMALL);
    if (!paths) return set_errno(KP28WRAP_E_INVALID_PARAM);
    for (int i = 0; i < s.printer_count; ++i) paths[i] = s.printers[i].device_path;
    return 0;
}

constexpr TransportImpl kUsb = {usb_initialize, usb_shutdown, usb_open,  usb_close,
                                usb_read,       usb_write,    usb_ioctl, usb_last_error,
                                usb_list,       usb_refresh};

}  // namespace

const TransportImpl& usb_transport() {
    return kUsb;
}

const TransportImpl& choose_transport() {
    const char* mode = std::getenv("KP28WRAP_MODE");
    if (!mode || std::strcmp(mode, "LM") == 0) return usb_transport();
    return stub_transport();
}

}  // namespace kp28wrap
