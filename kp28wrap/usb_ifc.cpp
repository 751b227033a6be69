#include "usb_ifc.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "errlog.h"
#include "errors.h"
#include "kp28/sysroot.h"
#include "kp28wrap.h"

namespace kp28wrap {

namespace {

alignas(UsbState) unsigned char g_state_storage[sizeof(UsbState)];
UsbState* g_state = nullptr;

constexpr const char* kVendor = "vid_3509";
constexpr const char* kProducts[] = {"pid_0140", "pid_a244", "pid_8b0d",
                                     "pid_a15f", "pid_ef15", "pid_3a4b"};

unsigned fd_value(const std::shared_ptr<platform::DeviceFile>& dev) {
    return dev ? static_cast<unsigned>(dev->fd()) : 0xffffffffu;
}

// The transfer length for a read of length bytes: rounded up to a whole number
// of chunks unless it already is one (or rounding is off).
uint64_t rounded_length(uint32_t length, uint32_t chunk) {
    if (chunk == 0 || length % chunk == 0) return length;
    return (static_cast<uint64_t>(length) / chunk + 1) * chunk;
}

// The library's own threads announce their start and end the way a thread
// notification would (other threads of the host are not seen on this platform).
class ThreadNotice {
  public:
    ThreadNotice() { log_write("kp28wrap::DllMain(): DLL_THREAD_ATTACH", kLogDebugger); }
    ~ThreadNotice() { log_write("kp28wrap::DllMain(): DLL_THREAD_DETACH", kLogDebugger); }
    ThreadNotice(const ThreadNotice&) = delete;
    ThreadNotice& operator=(const ThreadNotice&) = delete;
};

void TimerProc(PrinterInfo* rec, IdleTimer* t) {
    const ThreadNotice notice;
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(kIdlePeriodMs);
    trace("TimerProc - Triggered ppi: 0x%x", ppi(rec));
    bool unlimited = true;
    Clock::time_point deadline{};
    std::unique_lock<std::mutex> lk(t->mu);
    for (;;) {
        const auto ready = [t] { return t->stop || t->pending.load() > 0; };
        bool signalled = true;
        if (unlimited) {
            // A release that still saw armed wakes no one, but its pending
            // count is seen by the predicate below.
            t->armed.store(false);
            t->cv.wait(lk, ready);
        } else {
            t->armed.store(true);
            signalled = t->cv.wait_until(lk, deadline, ready);
        }
        if (t->stop) return;
        // Before pending is taken: a release that found a wake already sent
        // has counted itself by then, so its count is taken here too.
        t->wake_sent.store(false);
        Clock::time_point rearm_from{};
        if (signalled) {
            // All releases so far count as one: only the latest decides
            // when the period ends. Each release stores its time before it
            // counts itself, so the time read here is at least as late as
            // the releases just taken.
            t->pending.exchange(0);
            rearm_from = Clock::time_point(std::chrono::nanoseconds(t->last_release_ns.load()));
        }
        lk.unlock();

        if (rec->busy.load() > 0) {
            trace("TimerProc - Timer busy ppi: 0x%x", ppi(rec));
            // A release seen while busy arms the timer all the same: the
            // transfers that follow then re-arm it without waking this thread.
            if (signalled) unlimited = false;
            if (!unlimited) deadline = Clock::now() + period;
        } else if (signalled) {
            trace("TimerProc - Rearmed timer ppi: 0x%x", ppi(rec));
            unlimited = false;
            deadline = rearm_from + period;
        } else {
            std::lock_guard<std::recursive_mutex> big(usb_state().lock);
            // Busy is checked again under the lock: a transfer marks itself
            // busy before it takes the lock to fetch the device, so once we see
            // 0 here no transfer can be using the file we close.
            if (t->stopping.load()) {
                // Disconnect or unload is on its way; it closes the device.
            } else if (rec->busy.load() > 0) {
                trace("TimerProc - Timer busy ppi: 0x%x", ppi(rec));
                deadline = Clock::now() + period;
            } else if (rec->device) {
                CloseDevice(*rec);
                trace("TimerProc - Close Device ppi: 0x%x", ppi(rec));
                unlimited = true;
            } else {
                deadline = Clock::now() + period;
            }
        }
        lk.lock();
    }
}

void async_read_thread(Conn c, std::shared_ptr<ReadJob> job) {
    const ThreadNotice notice;
    uint32_t length;
    {
        std::lock_guard<std::mutex> lk(job->mu);
        job->state = kReading;
        length = job->length;
    }
    // The caller checked the length; the buffer is not zero-filled, since
    // only the bytes the device delivers are ever copied out of it.
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[length]);
    int32_t rc;
    uint32_t got = 0;
    if (buf) {
        rc = do_read(c, buf.get(), length, &got, -1, true);
    } else {
        rc = set_errno(KP28WRAP_E_NO_MEMORY);
    }
    {
        std::lock_guard<std::mutex> lk(job->mu);
        job->data = std::move(buf);
        job->count = std::min(got, length);
        job->result = rc;
        job->state = rc == 0 ? kReadDone : kReadFailed;
    }
    job->cv.notify_all();
}

}  // namespace

UsbState& usb_state() {
    return *g_state;
}

void release_timer(IdleTimer& t) {
    t.last_release_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count());
    if (t.pending.load() < 256) t.pending.fetch_add(1);
    // Armed: the thread's limited wait ends by itself and then finds this
    // release. Disarmed: it waits without limit and must be woken, once;
    // taking mu first means it is either before its check of pending or in
    // its wait. Releases until it runs (a burst of writes while the thread
    // has yet to get a processor) find the wake sent.
    if (t.armed.load() || t.wake_sent.exchange(true)) return;
    { const std::lock_guard<std::mutex> lk(t.mu); }
    t.cv.notify_one();
}

void TransferHold::begin(const Conn& c) {
    PrinterInfo& rec = *c.rec;
    rec_ = &rec;
    // Busy before the device is fetched: once the timer sees 0 under the
    // lock, no transfer can be using the file it closes.
    rec.busy.fetch_add(1);
    reopened = false;
    ended = rec.generation != c.generation;
    if (!ended && rec.device) {
        dev = rec.device;
    } else {
        reopened = true;
        dev = OpenDevice(rec, c.generation);
    }
    if (dev && !ended) timer_ = rec.timer;
}

void TransferHold::leave() {
    if (!rec_) return;
    dev.reset();
    rec_->busy.fetch_sub(1);
    rec_ = nullptr;
}

void TransferHold::finish() {
    leave();
    // A timer that disconnect or unload is stopping needs no release.
    if (!timer_ || timer_->stopping.load()) return;
    release_timer(*timer_);
    trace("RearmTimer - done, ppi->timer: 0x%x", timer_->handle_value);
    timer_.reset();
}

void create_usb_state() {
    if (!g_state) g_state = new (g_state_storage) UsbState();
}

void destroy_usb_state() {
    if (g_state) g_state->~UsbState();
    g_state = nullptr;
}

void Reaper::take_timer(PrinterInfo& rec) {
    if (!rec.timer) return;
    IdleTimer& t = *rec.timer;
    {
        std::lock_guard<std::mutex> lk(t.mu);
        t.stop = true;
        t.stopping.store(true);
    }
    t.cv.notify_all();
    timers.push_back(std::move(rec.timer));
}

void Reaper::take_job(PrinterInfo& rec) {
    if (rec.read_job) jobs.push_back(std::move(rec.read_job));
}

void Reaper::join_all() {
    for (auto& t : timers)
        if (t->thread.joinable()) t->thread.join();
    timers.clear();
    for (auto& j : jobs)
        if (j->thread.joinable()) j->thread.join();
    jobs.clear();
}

void reset_record(PrinterInfo& rec) {
    rec.opened = 0;
    rec.device.reset();
    rec.options.store(0);
    rec.timer.reset();
    rec.read_job.reset();
    ++rec.generation;
}

bool match_device_path(const char* path) {
    if (usb_state().accept_all) return true;
    if (!std::strstr(path, kVendor)) return false;
    for (const char* pid : kProducts)
        if (std::strstr(path, pid)) return true;
    return false;
}

int usb_enumerate() {
    UsbState& s = usb_state();
    std::lock_guard<std::recursive_mutex> big(s.lock);
    s.printer_count = 0;
    for (const auto& entry : platform::scan_usb_printers(kp28::sysroot())) {
        if (!match_device_path(entry.path_text.c_str())) continue;
        if (s.printer_count >= kMaxPrinters) break;
        PrinterInfo& rec = s.printers[s.printer_count++];
        std::memset(rec.device_path, 0, sizeof rec.device_path);
        std::strncpy(rec.device_path, entry.path_text.c_str(), sizeof rec.device_path - 1);
        rec.node = entry.node;
        reset_record(rec);
        rec.present = 1;
    }
    // Records past the new count are emptied too: left filled, a connect could
    // reach a printer under an index that the list no longer shows. No DOOR is
    // open while the table is refilled, so nothing refers to them.
    for (int i = s.printer_count; i < kMaxPrinters; ++i) {
        PrinterInfo& rec = s.printers[i];
        rec.device_path[0] = '\0';
        rec.present = 0;
        rec.node.clear();
        reset_record(rec);
    }
    return 0;
}

std::shared_ptr<platform::DeviceFile> OpenDevice(PrinterInfo& rec, uint64_t generation) {
    std::lock_guard<std::recursive_mutex> big(usb_state().lock);
    if (rec.device && rec.generation == generation) return rec.device;
    if (rec.generation != generation || !rec.opened || usb_state().closing) {
        // The connection ended while this transfer was on its way.
        trace("OpenDevice - handle: 0x%x", 0xffffffffu);
        return nullptr;
    }
    int os_error = 0;
    auto dev = platform::DeviceFile::open(rec.node, os_error);
    trace("OpenDevice - handle: 0x%x", fd_value(dev));
    if (!dev) {
        // The reason tells a missing node from one the user may not open.
        trace("OpenDevice - cannot open %s: %s", rec.node.c_str(),
              platform::os_error_text(os_error));
        return nullptr;
    }
    rec.device = dev;
    if (!rec.timer) {
        std::shared_ptr<IdleTimer> t(new (std::nothrow) IdleTimer);
        if (!t) {
            trace("OpenDevice - Create Event Timer fails!");
            return dev;
        }
        try {
            t->thread = std::thread(TimerProc, &rec, t.get());
        } catch (...) {
            trace("OpenDevice - Create Thread Timer fails!");
            return dev;
        }
        t->handle_value = static_cast<uint32_t>(t->thread.native_handle());
        rec.timer = std::move(t);
    }
    release_timer(*rec.timer);
    trace("OpenDevice - Timer Activated ppi->timer: 0x%x", rec.timer->handle_value);
    return dev;
}

bool CloseDevice(PrinterInfo& rec) {
    std::lock_guard<std::recursive_mutex> big(usb_state().lock);
    if (!rec.device) return true;
    trace("CloseDevice - device closed ppi: 0x%x", ppi(&rec));
    std::shared_ptr<platform::DeviceFile> dev = std::move(rec.device);
    // Wakes any transfer still waiting on the file (a read worker, or a caller
    // on another thread). Only transfers hold the file besides the record, and
    // each counts itself busy until it has let go: with none under way it is
    // closed here and the result counts; otherwise the last one closes it.
    dev->cancel();
    if (rec.busy.load() == 0) return dev->close();
    return true;
}

int32_t do_read(const Conn& c, void* buffer, uint32_t length, uint32_t* count, int wait_ms,
                bool worker) {
    PrinterInfo& rec = *c.rec;
    trace("do_read - start, door: 0x%x", c.slot);
    if (length == 0) return set_errno(KP28WRAP_E_INVALID_PARAM);
    *count = 0;
    // A worker whose connection was closed under it ends without a word: the
    // caller that started it is gone and the failure is nobody's.
    const auto record = [worker](int32_t code, bool cancelled) {
        return worker && cancelled ? code : set_errno(code);
    };

    const uint64_t transfer = rounded_length(length, usb_state().chunk_size);
    std::vector<unsigned char> rounding;
    if (transfer != length) {
        if (transfer > kMaxTransfer) return set_errno(KP28WRAP_E_NO_MEMORY);
        try {
            rounding.resize(transfer);
        } catch (const std::bad_alloc&) {
            return set_errno(KP28WRAP_E_NO_MEMORY);
        }
    }
    unsigned char* target =
        rounding.empty() ? static_cast<unsigned char*>(buffer) : rounding.data();

    TransferHold hold;
    {
        const std::lock_guard<std::recursive_mutex> big(usb_state().lock);
        hold.begin(c);
    }
    const std::shared_ptr<platform::DeviceFile>& dev = hold.dev;
    if (hold.reopened)
        trace("do_read - new device handle: 0x%x, door: 0x%x", fd_value(dev), c.slot);
    if (!dev) {
        *count = 0;
        return record(KP28WRAP_E_OPEN, hold.ended);
    }
    trace("do_read - bufflen: %d, door: 0x%x", static_cast<int>(transfer), c.slot);

    size_t got = 0;
    int32_t code = 0;
    switch (dev->read_some(target, transfer, wait_ms, got)) {
        case platform::IoStatus::ok:
            break;
        case platform::IoStatus::timed_out:
            trace("do_read - Error on read, ppi: 0x%x", ppi(&rec));
            if (rec.options.load() & 1) trace("do_read - After cancelio, ppi: 0x%x", ppi(&rec));
            code = set_errno(KP28WRAP_E_TIMEOUT);
            break;
        case platform::IoStatus::failed:
            code = set_errno(KP28WRAP_E_READ);
            break;
        case platform::IoStatus::cancelled:
            code = record(KP28WRAP_E_READ, true);
            break;
    }
    trace("do_read - after read handle: 0x%x, door: 0x%x", fd_value(dev), c.slot);
    // Bytes beyond what the caller asked for were only there to fill a chunk.
    const uint32_t delivered = static_cast<uint32_t>(std::min<size_t>(got, length));
    if (!rounding.empty() && delivered > 0) std::memcpy(buffer, rounding.data(), delivered);
    *count = delivered;

    const unsigned handle = fd_value(dev);
    hold.finish();
    trace("do_read - time rearmed handle: 0x%x, door: 0x%x", handle, c.slot);
    trace("do_read - exit rc: 0x%x", static_cast<unsigned>(code));
    return code;
}

int32_t do_write(const Conn& c, TransferHold& hold, const void* buffer, uint32_t length,
                 uint32_t* count, int wait_ms) {
    PrinterInfo& rec = *c.rec;
    const std::shared_ptr<platform::DeviceFile>& dev = hold.dev;
    if (hold.reopened)
        trace("do_write - new device handle: 0x%x, door: 0x%x", fd_value(dev), c.slot);
    if (!dev) {
        *count = 0;
        return set_errno(KP28WRAP_E_OPEN);
    }
    trace("do_write - bufflen: %d, door: 0x%x", static_cast<int>(length), c.slot);

    size_t put = 0;
    int32_t code = 0;
    // The device copies what it accepts; whatever is left when the time runs
    // out is simply not sent, so no request survives the call that points into
    // the caller's buffer, cancelled or not.
    switch (dev->write_all(buffer, length, wait_ms, put)) {
        case platform::IoStatus::ok:
            break;
        case platform::IoStatus::timed_out:
            trace("do_write - Error on write, ppi: 0x%x", ppi(&rec));
            if (rec.options.load() & 1) trace("do_write - After cancelio , ppi: 0x%x", ppi(&rec));
            code = set_errno(KP28WRAP_E_TIMEOUT);
            break;
        case platform::IoStatus::failed:
        case platform::IoStatus::cancelled:
            code = set_errno(KP28WRAP_E_WRITE);
            break;
    }
    *count = static_cast<uint32_t>(put);
    trace("do_write - after write rc: 0x%x, door: 0x%x", static_cast<unsigned>(code), c.slot);

    const unsigned handle = fd_value(dev);
    hold.finish();
    trace("do_write - time rearmed handle: 0x%x, door: 0x%x", handle, c.slot);
    trace("do_write - exit rc: 0x%x", static_cast<unsigned>(code));
    return code;
}

// The "KP28AsyncRead" named mutex of the original design only marked that a
// worker runs; it ordered nothing else. Here that mark is the record's
// read_job, set and cleared under the library lock, and the worker's end is
// signalled through its job's condition variable.
int32_t async_read(const Conn& c, void* buffer, uint32_t length, uint32_t* count, int timeout_ms) {
    PrinterInfo& rec = *c.rec;
    // The worker's buffer is as long as the read, so the length is judged
    // here, before a worker takes memory or the device for it.
    if (length == 0) {
        *count = 0;
        return set_errno(KP28WRAP_E_INVALID_PARAM);
    }
    if (rounded_length(length, usb_state().chunk_size) > kMaxTransfer) {
        *count = 0;
        return set_errno(KP28WRAP_E_NO_MEMORY);
    }
    std::shared_ptr<ReadJob> job;
    {
        std::lock_guard<std::recursive_mutex> big(usb_state().lock);
        if (rec.generation != c.generation || usb_state().closing)
            return set_errno(KP28WRAP_E_INVALID_DOOR);
        job = rec.read_job;
        if (!job) {
            // No worker left over from an earlier timed read: start one.
            try {
                job = std::make_shared<ReadJob>();
                job->slot = c.slot;
                job->length = length;
                job->thread = std::thread(async_read_thread, c, job);
            } catch (...) {
                *count = 0;
                return set_errno(KP28WRAP_E_READ);
            }
            rec.read_job = job;
        }
    }

    // The wait counts in 100 ms steps (at least one), and ends early when the
    // worker has finished.
    const long long steps =
        timeout_ms <= kReadPollStepMs
            ? 1
            : (static_cast<long long>(timeout_ms) + kReadPollStepMs - 1) / kReadPollStepMs;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(steps * kReadPollStepMs);
    int32_t state;
    {
        std::unique_lock<std::mutex> lk(job->mu);
        job->cv.wait_until(lk, deadline,
                           [&] { return job->state == kReadDone || job->state == kReadFailed; });
        state = job->state;
    }
    if (state == kReadNotStarted) {
        *count = 0;
        return set_errno(KP28WRAP_E_READ);
    }
    if (state == kReading) {
        *count = 0;  // nothing is delivered before the worker ends
        return set_errno(KP28WRAP_E_TIMEOUT);
    }

    // The worker has ended: this call takes its bytes, unless another thread's
    // timed read on the same DOOR took them first.
    bool mine = false;
    {
        std::lock_guard<std::recursive_mutex> big(usb_state().lock);
        if (rec.read_job == job) {
            rec.read_job.reset();
            mine = true;
        }
    }
    if (!mine) {
        *count = 0;
        return set_errno(KP28WRAP_E_TIMEOUT);
    }
    if (job->thread.joinable()) job->thread.join();
    std::lock_guard<std::mutex> lk(job->mu);
    const uint32_t n = std::min(job->count, length);
    if (n > 0) std::memcpy(buffer, job->data.get(), n);
    *count = n;
    if (job->state == kReadDone) return 0;
    return set_errno(job->result);
}

int32_t device_control(PrinterInfo& rec, int code, int value, void* out) {
    switch (code) {
        case 1:
            if (value)
                rec.options.fetch_or(1);
            else
                rec.options.fetch_and(~1);
            return 0;
        case 2:
            if (value)
                rec.options.fetch_or(2);
            else
                rec.options.fetch_and(~2);
            set_auto_refresh(value != 0);
            return 0;
        case 4:
            // The device as it stands: after the idle timer closed it this fails.
            return rec.device && rec.device->soft_reset() ? 0 : 0x209;
        case 8: {
            size_t got = 0;
            return rec.device && out && rec.device->port_status(out, 128, got) ? 0 : 0x209;
        }
        default:
            return 0;
    }
}

}  // namespace kp28wrap
