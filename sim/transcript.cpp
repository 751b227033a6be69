#include "transcript.h"

#include <cstdio>

namespace kp28sim {

std::string format_transcript_line(const TranscriptEntry& e) {
    char head[64];
    std::snprintf(head, sizeof head, "%.6f ", e.seconds);
    std::string out = head;
    out += e.link;
    out += e.direction == Direction::ToPrinter ? " in" : " out";
    if (e.kind == LinkKind::Serial) out += " @" + std::to_string(e.speed);
    static const char* hex = "0123456789ABCDEF";
    for (std::uint8_t b : e.bytes) {
        out += ' ';
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

TranscriptLog::~TranscriptLog() {
    if (file_) std::fclose(file_);
}

bool TranscriptLog::open_file(const std::string& path) {
    file_ = std::fopen(path.c_str(), "a");
    return file_ != nullptr;
}

void TranscriptLog::record(TranscriptEntry e) {
    if (file_) {
        std::fprintf(file_, "%s\n", format_transcript_line(e).c_str());
        std::fflush(file_);
    }
    if (keep_) entries_.push_back(std::move(e));
}

std::vector<std::uint8_t> TranscriptLog::bytes(LinkKind kind, Direction direction) const {
    std::vector<std::uint8_t> out;
    for (const auto& e : entries_)
        if (e.kind == kind && e.direction == direction)
            out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    return out;
}

}  // namespace kp28sim
