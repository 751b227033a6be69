// A request to end the running operation (a signal, a closing window) and the
// transfers it must not cut. Once the first byte of an NVM image or of a setup
// file has gone out, the printer is collecting: a transfer cut there leaves it
// half-written, waiting for bytes that never come. The transfer is short and
// bounded by its own limits, so it is finished first and the request takes
// effect after it.
#pragma once

#include <atomic>

namespace kp28setup {

class StopSource {
  public:
    // Any thread, and a signal handler: only lock-free atomics are touched.
    void request(int signal = 0) noexcept {
        signal_.store(signal);
        requested_.store(true);
    }
    bool requested() const noexcept { return requested_.load(); }
    // The signal that asked (0: the window, or none).
    int signal() const noexcept { return signal_.load(); }
    bool in_transfer() const noexcept { return transfers_.load() > 0; }
    // Whether waits end now: a request, and no transfer under way.
    bool stop_now() const noexcept { return requested() && !in_transfer(); }

    // From the first byte of a transfer to its last; nests.
    class Transfer {
      public:
        explicit Transfer(StopSource* s) : s_(s) {
            if (s_) s_->transfers_.fetch_add(1);
        }
        ~Transfer() {
            if (s_) s_->transfers_.fetch_sub(1);
        }
        Transfer(const Transfer&) = delete;
        Transfer& operator=(const Transfer&) = delete;

      private:
        StopSource* s_;
    };

  private:
    static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
    std::atomic<bool> requested_{false};
    std::atomic<int> signal_{0};
    std::atomic<int> transfers_{0};
};

}  // namespace kp28setup
