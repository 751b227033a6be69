#include "printer_channel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "interruption.h"

namespace fwupdate {

namespace {

// Long waits go to the library in slices of this length, so that an
// interruption is noticed within it.
constexpr int kWaitSliceMs = 200;

using Clock = std::chrono::steady_clock;

constexpr const char kConnectFailureText[] = "Printer connection failure";
constexpr const char kRebootWaitFailureText[] = "Waiting for reboot failure";

int ms_left(Clock::time_point end) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void override_from_env(const char* name, int& value) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end == '\0' && v > 0 && v <= 24L * 3600 * 1000) value = static_cast<int>(v);
}

// Sets its flag once the limit has passed. It sleeps on a condition variable
// so that an early success can wake it, and it is always joined: the thread
// never outlives the wait that started it.
class ExpiryTimer {
  public:
    ~ExpiryTimer() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    bool start(int limit_ms) {
        expired_.store(false);
        try {
            thread_ = std::thread([this, limit_ms] {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!wake_.wait_for(lock, std::chrono::milliseconds(limit_ms),
                                    [this] { return stop_; }))
                    expired_.store(true);
            });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    bool expired() const { return expired_.load(); }

  private:
    std::mutex mutex_;  // guards stop_
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<bool> expired_{false};
    std::thread thread_;
};

}  // namespace

ChannelTimings ChannelTimings::from_environment() {
    ChannelTimings t;
    override_from_env("KP28FW_QUERY_TIMEOUT_MS", t.query_ms);
    override_from_env("KP28FW_WRITE_TIMEOUT_MS", t.write_ms);
    override_from_env("KP28FW_ACK_TIMEOUT_MS", t.ack_ms);
    override_from_env("KP28FW_LEAVE_TIMEOUT_MS", t.leave_ack_ms);
    override_from_env("KP28FW_REBOOT_PERIOD_MS", t.reboot_period_ms);
    override_from_env("KP28FW_REBOOT_LIMIT_MS", t.reboot_limit_ms);
    return t;
}

Result PrinterChannel::connect(const std::string& printer_name) {
    // The list only tells whether any printer is there; its paths are unused.
    const char* paths[KP28_MAX_PRINTERS] = {};
    int capacity = KP28_MAX_PRINTERS;
    if (Kp28wrap_list(&capacity, paths) != 0) return failure(kConnectFailureText);

    const int last = printer_name.empty() ? KP28_MAX_PRINTERS - 1 : 0;
    for (int index = 0; index <= last; ++index) {
        KP28_DOOR door = KP28_INVALID_DOOR;
        if (Kp28wrap_connect(&door, index) == 0) {
            door_ = door;
            return success();
        }
    }
    return failure(kConnectFailureText);
}

void PrinterChannel::disconnect() {
    Kp28wrap_disconnect(&door_);
    door_ = KP28_INVALID_DOOR;
}

Result PrinterChannel::write(const void* bytes, std::size_t length) {
    // A write that runs out of time reports what the printer took; the rest
    // goes in the next slice. An empty write is still made once.
    const auto end = Clock::now() + std::chrono::milliseconds(timings_.write_ms);
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::size_t done = 0;
    for (;;) {
        unsigned count = 0;
        const int slice = std::max(1, std::min(kWaitSliceMs, ms_left(end)));
        const int rc =
            Kp28wrap_write(door_, p + done, static_cast<unsigned>(length - done), &count, slice);
        done += std::min<std::size_t>(count, length - done);
        if (rc == 0 && done == length) return success();
        if (rc != KP28WRAP_E_TIMEOUT || ms_left(end) == 0 || interrupted()) return failure();
    }
}

Result PrinterChannel::read(void* buffer, std::size_t length, int timeout_ms, std::size_t& count) {
    unsigned got = 0;
    if (timeout_ms < 0) {
        const int rc =
            Kp28wrap_read(door_, buffer, static_cast<unsigned>(length), &got, timeout_ms);
        count = got;
        return rc == 0 ? success() : failure();
    }
    // A timed read that runs out of time leaves its reader waiting in the
    // library, and the next timed read takes over its bytes, so slices add
    // up to one read of the whole limit.
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        got = 0;
        const int slice = std::max(1, std::min(kWaitSliceMs, ms_left(end)));
        const int rc = Kp28wrap_read(door_, buffer, static_cast<unsigned>(length), &got, slice);
        count = got;
        if (rc != KP28WRAP_E_TIMEOUT || got != 0 || ms_left(end) == 0 || interrupted())
            return rc == 0 ? success() : failure();
    }
}

Result PrinterChannel::wait_for_reboot(int limit_ms, const std::string& printer_name,
                                       const std::function<Result()>& query_version) {
    ExpiryTimer timer;
    if (!timer.start(limit_ms) || timer.expired()) return failure(kRebootWaitFailureText);
    do {
        if (wait_unless_interrupted(timings_.reboot_period_ms)) break;
        disconnect();
        if (connect(printer_name).ok() && query_version().ok()) return success();
    } while (!timer.expired());
    return failure(kRebootWaitFailureText);
}

}  // namespace fwupdate
