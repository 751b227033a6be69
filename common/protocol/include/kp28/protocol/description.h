// The printer's description of its own setup parameters (the reply to "m",
// kept as modules.txt): one record per CR LF line, the record letter first,
// then a separator, then TAB-terminated fields starting with the label.
//
// The writer and the parser agree: parse_description(format_description(r))
// gives r back. The parser reads fields exactly as the setup tool does, so it
// is as tolerant as the tool and no more: character 2 is never looked at, text
// after the last TAB is ignored, numbers may carry blanks around them, unknown
// letters and empty lines are skipped. A record whose fields cannot be read is
// reported as malformed rather than guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kp28 {

// "T": a heading.
struct TitleRecord {
    std::string label;
    bool operator==(const TitleRecord&) const = default;
};
// "E": one byte at offset whose value indexes items.
struct EnumRecord {
    std::string label;
    std::int16_t size = 1;
    std::int16_t offset = 0;
    std::vector<std::string> items;  // the count field is items.size()
    bool operator==(const EnumRecord&) const = default;
};
// "M" and "O" (treated alike): a number shown as stored value - bias, edited
// between min and max.
struct RangeRecord {
    char letter = 'M';
    std::string label;
    std::int16_t size = 1;
    std::int16_t offset = 0;
    std::int16_t min = 0;
    std::int16_t max = 0;
    std::int16_t bias = 0;
    bool operator==(const RangeRecord&) const = default;
};
// "S": text of at most size bytes.
struct StringRecord {
    std::string label;
    std::int16_t size = 0;
    std::int16_t offset = 0;
    bool operator==(const StringRecord&) const = default;
};
// "I": four octets at offset (size is read but the address always has four).
struct IpRecord {
    std::string label;
    std::int16_t size = 4;
    std::int16_t offset = 0;
    bool operator==(const IpRecord&) const = default;
};
// "Z": the last line of a complete description.
struct EndRecord {
    bool operator==(const EndRecord&) const = default;
};

using DescriptionRecord =
    std::variant<TitleRecord, EnumRecord, RangeRecord, StringRecord, IpRecord, EndRecord>;

// The record letter of a record ('T', 'E', 'M' or 'O', 'S', 'I', 'Z').
char record_letter(const DescriptionRecord& r);

// One line with its CR LF: letter, TAB, then every field followed by a TAB.
std::string format_record(const DescriptionRecord& r);
std::string format_description(const std::vector<DescriptionRecord>& records);

// The fields of one line (without its CR LF), read left to right. Positions
// are 1-based character positions, as the tool's build state counts them.
class FieldReader {
  public:
    explicit FieldReader(std::string_view line) : line_(line) {}

    // The text from character 3 up to the first TAB at or after it; nullopt
    // when there is no such TAB.
    std::optional<std::string_view> label();
    // The text after the last field read up to the next TAB.
    std::optional<std::string_view> next();
    // The next field as a signed 16-bit decimal number; blanks around it are
    // allowed, anything else (or a number out of range) gives nullopt.
    std::optional<std::int16_t> next_number();
    // Position of the TAB that ended the last field read (0 before any).
    int field_cursor() const { return cursor_; }

  private:
    std::optional<std::string_view> field_from(std::size_t start);

    std::string_view line_;
    int cursor_ = 0;
};

// A decimal number in the signed 16-bit range, blanks around it allowed.
std::optional<std::int16_t> parse_number_field(std::string_view text);

struct ParsedLine {
    enum Kind {
        kRecord,     // record holds it
        kIgnored,    // an empty line or a letter that is no record
        kMalformed,  // a record letter whose fields cannot be read; problem says why
    } kind = kIgnored;
    std::optional<DescriptionRecord> record;
    std::string problem;
};
// line: one line without its CR LF (a trailing CR, if any, is dropped).
ParsedLine parse_record(std::string_view line);

struct ParsedDescription {
    std::vector<DescriptionRecord> records;  // in order, the "Z" record included
    struct Skipped {
        std::size_t line = 0;  // 1-based
        ParsedLine::Kind kind = ParsedLine::kIgnored;
        std::string problem;
    };
    std::vector<Skipped> skipped;
    bool complete = false;  // a "Z" line was seen
};
// Every line of text; lines end with CR LF (a LF alone is taken too). A last
// line without a line end is parsed as well.
ParsedDescription parse_description(std::string_view text);

// Whether every NVM byte a record refers to lies in an image of nvm_size bytes
// (titles and the end record refer to none).
bool record_fits(const DescriptionRecord& r, std::size_t nvm_size);

}  // namespace kp28
