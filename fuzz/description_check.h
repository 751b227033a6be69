// What the description parser must give for any bytes a printer sends: every
// record it reads is written back by the formatter as a line that parses to
// the same record and formats to the same text again, and the whole text
// parses to the records its lines parse to. Shared by the fuzz target and
// the replay in the test suite; an empty result means every property held.
#pragma once

#include <kp28/protocol/description.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzcheck {

// The lines of text as parse_description cuts them (LF ends a line; a last
// line without one counts).
inline std::vector<std::string_view> description_lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        out.push_back(text.substr(0, lf));
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    }
    return out;
}

// One record: format, parse, format again.
inline std::string record_round_trip_fault(const kp28::DescriptionRecord& r) {
    const std::string formatted = kp28::format_record(r);
    if (formatted.size() < 3 || formatted.compare(formatted.size() - 2, 2, "\r\n") != 0)
        return "the formatted line does not end with CR LF";
    if (formatted.find('\n') != formatted.size() - 1)
        return "the formatted line holds a line end before its last";
    if (formatted[0] != kp28::record_letter(r))
        return "the formatted line starts with another letter";
    const std::string_view line(formatted.data(), formatted.size() - 1);  // without its LF
    const kp28::ParsedLine again = kp28::parse_record(line);
    if (again.kind != kp28::ParsedLine::kRecord || !again.record)
        return "the formatted line is no record (" + again.problem + ")";
    if (!(*again.record == r)) return "the formatted line parses to another record";
    if (kp28::format_record(*again.record) != formatted) return "formatting is not stable";
    return {};
}

inline std::string description_fault(std::string_view text) {
    const auto lines = description_lines(text);
    std::vector<kp28::DescriptionRecord> records;
    bool end_seen = false;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string where = "line " + std::to_string(n + 1) + ": ";
        std::string_view line = lines[n];
        const kp28::ParsedLine p = kp28::parse_record(line);
        // A line read with CR LF or with LF alone is the same line.
        const kp28::ParsedLine with_cr = kp28::parse_record(std::string(line) + '\r');
        if (with_cr.kind != p.kind || with_cr.record != p.record)
            return where + "the line reads differently with a CR";
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        switch (p.kind) {
            case kp28::ParsedLine::kRecord: {
                if (!p.record) return where + "a record without its record";
                if (line.empty() || kp28::record_letter(*p.record) != line[0])
                    return where + "the record's letter is not the line's";
                if (auto fault = record_round_trip_fault(*p.record); !fault.empty())
                    return where + fault;
                // Whether it fits must be answerable for any numbers.
                (void)kp28::record_fits(*p.record, 2048);
                end_seen = end_seen || std::holds_alternative<kp28::EndRecord>(*p.record);
                records.push_back(*p.record);
                break;
            }
            case kp28::ParsedLine::kMalformed:
                if (p.record) return where + "a malformed line with a record";
                if (p.problem.empty()) return where + "a malformed line without its reason";
                break;
            case kp28::ParsedLine::kIgnored:
                if (p.record) return where + "an ignored line with a record";
                if (!line.empty() &&
                    std::string_view("TEMOSIZ").find(line[0]) != std::string_view::npos)
                    return where + "a record letter ignored";
                break;
            default:
                return where + "a line of no kind";
        }
    }

    const kp28::ParsedDescription whole = kp28::parse_description(text);
    if (whole.records != records) return "the whole text parses to other records than its lines";
    if (whole.records.size() + whole.skipped.size() != lines.size())
        return "records and skipped lines do not add up to the lines";
    if (whole.complete != end_seen) return "complete does not follow the end line";

    const std::string written = kp28::format_description(whole.records);
    const kp28::ParsedDescription again = kp28::parse_description(written);
    if (again.records != whole.records) return "the written description parses to other records";
    if (!again.skipped.empty()) return "the written description has lines that are no records";
    if (again.complete != whole.complete) return "the written description lost or gained its end";
    if (kp28::format_description(again.records) != written)
        return "writing the description is not stable";
    return {};
}

}  // namespace fuzzcheck
