// usb_ifc: the printer table, discovery, device open and close, timed
// transfers and the idle timer of the USB implementation.
//
// Locks, in the order they may be taken:
//   1. UsbState::lock (recursive): the library lock. Guards the printer table
//      (every non-atomic PrinterInfo field), the DOOR slots and both counts.
//      Held for whole bookkeeping operations, never across a transfer's wait.
//   2. IdleTimer::mu, ReadJob::mu: one timer's or one timed read's own state.
//      Taken under the library lock or alone; never held while taking it.
// Threads are joined only with the library lock released (see Reaper), since
// a thread on its way out may still need the lock once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace kp28wrap {

constexpr uint32_t kDoorXor = 0x0D002000;
constexpr uint32_t kNoSlot = 0xB7D09AD0;  // XOR kDoorXor = KP28_INVALID_DOOR
constexpr uint32_t kFreeSlot = 0xF2EEF2EE;
constexpr int kMaxPrinters = 16;
constexpr int kPathSize = 256;
constexpr int kIdlePeriodMs = 2000;
constexpr int kReadPollStepMs = 100;
constexpr uint32_t kDefaultChunkSize = 512;
// Largest single read the kernel performs; a rounded transfer above it cannot
// be served and is refused like a failed allocation (0x208).
constexpr uint64_t kMaxTransfer = 0x7ffff000;

// The idle timer of one opened printer: a counting semaphore (pending) that
// every transfer releases, and a thread that closes the device file 2000 ms
// after the last release unless a transfer is under way.
//
// Releases made while the timer already runs its 2000 ms wait do not wake the
// thread; they move the end of the period (last_release), which the thread
// finds when its wait ends. So a stream of transfers costs no thread switch per
// transfer, and the device still closes 2000 ms after the last one. Such a
// release touches atomics only: mu is taken just to wake a disarmed thread.
struct IdleTimer {
    std::mutex mu;               // guards stop, and orders a wake-up against the thread's wait
    std::condition_variable cv;  // signalled on release while disarmed, and on stop
    std::atomic<unsigned> pending{0};         // releases not yet taken (at most about 256)
    std::atomic<int64_t> last_release_ns{0};  // steady_clock, nanoseconds
    std::atomic<bool> armed{false};           // the thread is in its limited wait
    std::atomic<bool> wake_sent{false};       // a release woke the thread, which has not run since
    bool stop = false;
    std::atomic<bool> stopping{false};  // stop, readable without mu
    std::thread thread;                 // joined by whoever takes the timer out of its record
    uint32_t handle_value = 0;          // for the trace texts
};

// Releases the timer's semaphore by one (arms or re-arms it). Takes t.mu only
// when the thread must be woken, so the caller may hold the library lock but
// not t.mu.
void release_timer(IdleTimer& t);

enum ReadState : int32_t { kReadNotStarted = 0, kReading = 1, kReadFailed = 2, kReadDone = 3 };

// One timed read's worker. The worker fills a buffer of its own, so a caller
// that gave up waiting has nothing of its memory left in use; what the worker
// delivers waits here for the next timed read on the DOOR.
struct ReadJob {
    std::mutex mu;               // guards the fields below
    std::condition_variable cv;  // signalled when the worker ends
    uint32_t slot = 0;
    uint32_t length = 0;
    uint32_t count = 0;
    int32_t state = kReadNotStarted;
    int32_t result = 0x205;
    std::unique_ptr<unsigned char[]> data;  // length bytes, of which count are the device's
    std::thread thread;                     // joined by whoever takes the job out of its record
};

struct PrinterInfo {
    char device_path[kPathSize] = {};  // first member: Kp28wrap_list hands out its address
    int32_t present = 0;
    int32_t opened = 0;
    std::shared_ptr<platform::DeviceFile> device;  // the device handle; null while closed
    std::atomic<int32_t> options{0};  // bit 0 cancel a timed-out write, bit 1 auto-refresh
    // Shared with the transfers under way, which re-arm it after they end
    // without taking the library lock again.
    std::shared_ptr<IdleTimer> timer;
    // Transfers under way. A count rather than a flag: a caller's transfer and
    // a read worker may overlap, and the first to end must not release the
    // device to the idle timer while the other still uses it.
    std::atomic<int32_t> busy{0};
    std::shared_ptr<ReadJob> read_job;
    std::string node;  // the device node, kept beside the path text
    // Changed whenever the record's connection ends, so a transfer or worker of
    // an ended connection can never reopen the device.
    uint64_t generation = 0;
};

struct UsbState {
    std::recursive_mutex lock;  // the library lock, see the top of this file
    PrinterInfo printers[kMaxPrinters];
    uint32_t doors[kMaxPrinters] = {};
    int printer_count = 0;
    int open_count = 0;
    bool accept_all = false;
    uint32_t chunk_size = kDefaultChunkSize;
    bool closing = false;  // unload has begun: no device opens and no thread starts any more
};

// Live between usb_initialize and the end of usb_shutdown.
UsbState& usb_state();
// Builds the state in storage that no static destructor touches, so unload
// finds it intact whatever the order of destruction.
void create_usb_state();
void destroy_usb_state();

// A transfer's view of its connection, taken under the lock at the DOOR check.
struct Conn {
    PrinterInfo* rec;
    uint64_t generation;
    uint32_t slot;
};

// Threads taken out of records under the lock, joined after it is released.
struct Reaper {
    std::vector<std::shared_ptr<IdleTimer>> timers;
    std::vector<std::shared_ptr<ReadJob>> jobs;
    void take_timer(PrinterInfo& rec);
    void take_job(PrinterInfo& rec);
    void join_all();
};

void reset_record(PrinterInfo& rec);
int usb_enumerate();
bool match_device_path(const char* path);

// Both take the library lock themselves (it is recursive, so callers may
// already hold it).
std::shared_ptr<platform::DeviceFile> OpenDevice(PrinterInfo& rec, uint64_t generation);
bool CloseDevice(PrinterInfo& rec);

// What one transfer holds of its connection from its start to its end: the
// record counted busy (so the idle timer keeps the file open), the device file
// and the idle timer to re-arm afterwards. Taken in one hold of the library
// lock; given back by finish(), or by the destructor without re-arming.
class TransferHold {
  public:
    TransferHold() = default;
    ~TransferHold() { leave(); }
    TransferHold(const TransferHold&) = delete;
    TransferHold& operator=(const TransferHold&) = delete;

    // Under the library lock: counts the transfer busy and fetches the open
    // device, or opens it again when the idle timer closed it (reopened).
    void begin(const Conn& c);
    // Lets go of the device, ends the busy count and re-arms the idle timer
    // (traces "RearmTimer - done"); no lock is taken.
    void finish();

    std::shared_ptr<platform::DeviceFile> dev;  // null: the device could not be opened
    bool reopened = false;
    bool ended = false;  // the connection is gone (disconnect or unload), not merely idle

  private:
    void leave();
    PrinterInfo* rec_ = nullptr;
    std::shared_ptr<IdleTimer> timer_;
};

int32_t do_read(const Conn& c, void* buffer, uint32_t length, uint32_t* count, int wait_ms,
                bool worker);
// hold: begun by the caller in the same hold of the library lock as its DOOR
// check, after it traced "do_write - start", so a write takes that lock once.
int32_t do_write(const Conn& c, TransferHold& hold, const void* buffer, uint32_t length,
                 uint32_t* count, int wait_ms);
// Refuses at once, before any worker starts or any memory is taken, a length
// that no read can serve: 0 (0x101) or one whose rounded transfer is beyond
// what the kernel reads at once (0x208).
int32_t async_read(const Conn& c, void* buffer, uint32_t length, uint32_t* count, int timeout_ms);
// Under the library lock; returns the result without recording it.
int32_t device_control(PrinterInfo& rec, int code, int value, void* out);

// The value that the trace texts print for a record ("ppi").
inline unsigned ppi(const PrinterInfo* rec) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(rec));
}

}  // namespace kp28wrap
