#include "errors.h"
#include "transport.h"

namespace kp28wrap {

namespace {

int32_t stub_startup() {
    reset_last_error(KP28WRAP_E_UNIMPLEMENTED);
    return 1;
}
int32_t stub_shutdown() {
    set_errno(KP28WRAP_E_UNIMPLEMENTED);
    return 1;
}
int32_t stub_open(KP28_DOOR* door, int) {
    if (door) *door = KP28_INVALID_DOOR;
    return set_errno(KP28WRAP_E_UNIMPLEMENTED);
}
int32_t stub_close(KP28_DOOR*) {
    return set_errno(KP28WRAP_E_UNIMPLEMENTED);
}
int32_t stub_read(KP28_DOOR, void*, unsigned, unsigned*, int) {
    return set_errno(KP28WRAP_E_UNIMPLEMENTED);
}
int32_t stub_write(KP28_DOOR, const void*, unsigned, unsigned*, int) {
    return set_errno(KP28WRAP_E_UNIMPLEMENTED);
}
int32_t stub_ioctl(KP28_DOOR, int, int, void*) {
    return set_errno(KP28WRAP_E_UNIMPLEMENTED);
}
int32_t stub_last_error() {
    return last_error();
}
int32_t stub_list(int*, const char**) {
    return set_errno(KP28WRAP_E_UNIMPLEMENTED);
}
int32_t stub_refresh() {
    return set_errno(KP28WRAP_E_UNIMPLEMENTED);
}

constexpr TransportImpl kStub = {stub_startup, stub_shutdown, stub_open,  stub_close,
                                 stub_read,    stub_write,    stub_ioctl, stub_last_error,
                                 stub_list,    stub_refresh};

}  // namespace

const TransportImpl& stub_transport() {
    return kStub;
}

}  // namespace kp28wrap
