// The record of every byte that crossed a link, in memory and in a file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "kp28sim/virtual_printer.h"

namespace kp28sim {

class TranscriptLog {
  public:
    TranscriptLog() = default;
    ~TranscriptLog();
    TranscriptLog(const TranscriptLog&) = delete;
    TranscriptLog& operator=(const TranscriptLog&) = delete;

    // Appends to path from now on; false (errno set) when it cannot be opened.
    bool open_file(const std::string& path);
    // Whether entries are kept for entries() and bytes().
    void keep_in_memory(bool keep) { keep_ = keep; }

    // One transfer: a line in the file at once, and the entry in memory.
    void record(TranscriptEntry e);

    const std::vector<TranscriptEntry>& entries() const { return entries_; }
    // The bytes of one direction on links of one kind, concatenated in order.
    std::vector<std::uint8_t> bytes(LinkKind kind, Direction direction) const;

  private:
    std::FILE* file_ = nullptr;
    bool keep_ = true;
    std::vector<TranscriptEntry> entries_;
};

}  // namespace kp28sim
