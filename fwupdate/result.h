// How every step of the updater says whether it worked: a Result carries the
// code the run's rules know (0, or the retrieval layer's 2, 3 and 4, which is
// also what every failed update and printer operation returns) and the text
// that is announced for the failure, empty when the step leaves the
// announcing to its caller. Exit codes and the closing result line are made
// from these by the main sequence alone.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace fwupdate {

enum class ResultCode : int {
    ok = 0,
    open_failure = 2,     // the retrieval session could not be opened
    connect_failure = 3,  // the server or the shared file could not be reached
    // A fetch that failed ("Write Failure" in the result texts), and every
    // failed update or printer operation.
    failure = 4,
};

// Failure texts end up in the layer's 1024-byte buffer: at most this long.
inline constexpr std::size_t kMaxResultText = 1023;

struct [[nodiscard]] Result {
    ResultCode code = ResultCode::ok;
    std::string text{};  // empty on success

    bool ok() const { return code == ResultCode::ok; }
};

inline Result success() {
    return {};
}

inline Result failure(ResultCode code, std::string text = {}) {
    if (text.size() > kMaxResultText) text.resize(kMaxResultText);
    return Result{code, std::move(text)};
}

inline Result failure(std::string text = {}) {
    return failure(ResultCode::failure, std::move(text));
}

// The closing line's text for a code: "No Error", "Open Failure",
// "Connect Failure", "Write Failure".
inline std::string_view result_text(ResultCode code) {
    switch (code) {
        case ResultCode::ok:
            return "No Error";
        case ResultCode::open_failure:
            return "Open Failure";
        case ResultCode::connect_failure:
            return "Connect Failure";
        case ResultCode::failure:
            return "Write Failure";
    }
    return "unknown error";
}

}  // namespace fwupdate
