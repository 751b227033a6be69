// The ten exports and the load/unload steps. Each export logs its own name to
// the error log, then dispatches through the TransportImpl chosen at load. No
// C++ exception crosses this file: each export turns one into an error code.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "errlog.h"
#include "errors.h"
#include "kp28wrap.h"
#include "platform/platform.h"
#include "transport.h"

namespace kp28wrap {
namespace {

// Set by the load step, cleared first thing at unload so that calls made
// while the library goes away get the stub's answer instead of its state.
std::atomic<const TransportImpl*> g_impl{nullptr};

// Counts the export in progress for the unload step's wait.
class CallScope {
  public:
    CallScope() { call_begin(); }
    ~CallScope() { call_end(); }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

template <class F>
int32_t guarded(const char* name, int32_t fallback, F&& op) noexcept {
    CallScope scope;
    try {
        const CallSettings settings;
        errlog(name);
        const TransportImpl* impl = g_impl.load();
        if (!impl) return set_errno(KP28WRAP_E_UNIMPLEMENTED);
        return op(*impl);
    } catch (const std::bad_alloc&) {
        return set_errno(KP28WRAP_E_NO_MEMORY);
    } catch (...) {
        return set_errno(fallback);
    }
}

// Library entry: what the platform's load notification does elsewhere.
__attribute__((constructor)) void library_attach() {
    try {
        char text[128];
        std::snprintf(text, sizeof text, "DllMain(%p, DLL_PROCESS_ATTACH, %p)",
                      platform::module_base(), static_cast<void*>(nullptr));
        errlog(text);
        log_write("kp28wrap::DllMain(): DLL_PROCESS_ATTACH", kLogDebugger);
        const TransportImpl& impl = choose_transport();
        impl.startup();
        g_impl = &impl;
    } catch (...) {
        // A failed start-up leaves the stub in place: every call answers 1.
        g_impl = &stub_transport();
    }
}

__attribute__((destructor)) void library_detach() {
    try {
        log_write("kp28wrap::DllMain(): DLL_PROCESS_DETACH", kLogDebugger);
        if (const TransportImpl* impl = g_impl.exchange(nullptr)) impl->shutdown();
        platform::debug_output_shutdown();
    } catch (...) {
    }
}

}  // namespace
}  // namespace kp28wrap

using kp28wrap::guarded;
using kp28wrap::TransportImpl;

extern "C" {

KP28WRAP_API int32_t Kp28wrap_initialization(void) {
    return guarded("Kp28wrap_initialization()", 0, [](const TransportImpl&) { return 0; });
}

KP28WRAP_API int32_t Kp28wrap_finalization(void) {
    return guarded("Kp28wrap_finalization()", 0, [](const TransportImpl&) { return 0; });
}

KP28WRAP_API int32_t Kp28wrap_list(int* capacity, const char** paths) {
    return guarded("Kp28wrap_list()", KP28WRAP_E_NO_PRINTERS,
                   [&](const TransportImpl& t) { return t.list(capacity, paths); });
}

KP28WRAP_API int32_t Kp28wrap_refreshlist(void) {
    return guarded("Kp28wrap_refreshlist()", KP28WRAP_E_NO_PRINTERS,
                   [](const TransportImpl& t) { return t.refresh(); });
}

KP28WRAP_API int32_t Kp28wrap_connect(KP28_DOOR* door, int printer) {
    return guarded("Kp28wrap_connect()", KP28WRAP_E_OPEN,
                   [&](const TransportImpl& t) { return t.open(door, printer); });
}

KP28WRAP_API int32_t Kp28wrap_disconnect(KP28_DOOR* door) {
    return guarded("Kp28wrap_disconnect()", KP28WRAP_E_CLOSE,
                   [&](const TransportImpl& t) { return t.close(door); });
}

KP28WRAP_API int32_t Kp28wrap_read(KP28_DOOR door, void* buffer, unsigned length, unsigned* count,
                                   int timeout_ms) {
    return guarded("Kp28wrap_read()", KP28WRAP_E_READ, [&](const TransportImpl& t) {
        return t.read(door, buffer, length, count, timeout_ms);
    });
}

KP28WRAP_API int32_t Kp28wrap_write(KP28_DOOR door, const void* buffer, unsigned length,
                                    unsigned* count, int timeout_ms) {
    return guarded("Kp28wrap_write()", KP28WRAP_E_WRITE, [&](const TransportImpl& t) {
        return t.write(door, buffer, length, count, timeout_ms);
    });
}

KP28WRAP_API int32_t Kp28wrap_ioctl(KP28_DOOR door, int code, int value, void* out) {
    return guarded("Kp28wrap_ioctl()", 0x209,
                   [&](const TransportImpl& t) { return t.ioctl(door, code, value, out); });
}

KP28WRAP_API int32_t Kp28wrap_geterrno(char* buffer, int size) {
    // Not guarded by the table's presence: the last error exists before load.
    const kp28wrap::CallSettings settings;
    kp28wrap::errlog("Kp28wrap_geterrno()");
    const kp28wrap::TransportImpl* impl = kp28wrap::g_impl.load();
    const int32_t code = impl ? impl->last_error() : kp28wrap::last_error();
    if (buffer && size > 0) {
        std::strncpy(buffer, kp28wrap::error_message(code), static_cast<size_t>(size) - 1);
        buffer[size - 1] = '\0';
    }
    return code;
}

}  // extern "C"
