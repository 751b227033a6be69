// The Operator the session's thread talks to. Each call crosses to the window's
// thread, where the window's own Operator (its dialogs, or a test's script)
// answers, and the session's thread waits for that answer. Once the window
// closes, every waiting and every later call returns at once as cancelled, so
// the session's thread can never wait on a window that is gone.
#pragma once

#include <kp28setup/operator.h>

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace kp28gui {

// What the window's closing tells the session's thread: shared by the bridge
// and the pauses of the session, and kept alive by whatever still waits on it.
class Closing {
  public:
    void close();
    bool closed() const;
    // A fixed pause that a close cuts short.
    void pause(std::chrono::milliseconds ms);

  private:
    friend class OperatorBridge;
    mutable std::mutex m_;  // guards closed_ and the answers of OperatorBridge
    std::condition_variable cv_;
    bool closed_ = false;
};

class OperatorBridge : public QObject, public kp28setup::Operator {
  public:
    // Lives on the window's thread; `gui` is called only there.
    OperatorBridge(kp28setup::Operator& gui, std::shared_ptr<Closing> closing);

    // Called on the session's thread.
    bool show(const kp28setup::Message& m) override;
    std::optional<std::string> input(const std::string& title, const std::string& prompt,
                                     const std::string& default_text) override;
    std::optional<std::string> open_file(const kp28setup::FileDialog& d) override;
    std::optional<std::string> save_file(const kp28setup::FileDialog& d) override;
    // These two do not wait: the report window is shown without blocking and
    // the wait window only shows that something runs.
    void report(const std::string& title, const std::vector<std::string>& lines) override;
    void wait_window(bool shown) override;

  private:
    template <class R, class F>
    R ask(F f, R cancelled);
    template <class F>
    void tell(F f);

    kp28setup::Operator& gui_;
    std::shared_ptr<Closing> closing_;
};

}  // namespace kp28gui
