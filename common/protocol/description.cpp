#include "kp28/protocol/description.h"

#include <charconv>

namespace kp28 {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void field(std::string& out, std::string_view text) {
    out += text;
    out += '\t';
}
void field(std::string& out, std::int16_t v) {
    field(out, std::to_string(v));
}

}  // namespace

char record_letter(const DescriptionRecord& r) {
    return std::visit(
        Overloaded{[](const TitleRecord&) { return 'T'; }, [](const EnumRecord&) { return 'E'; },
                   [](const RangeRecord& x) { return x.letter; },
                   [](const StringRecord&) { return 'S'; }, [](const IpRecord&) { return 'I'; },
                   [](const EndRecord&) { return 'Z'; }},
        r);
}

std::string format_record(const DescriptionRecord& r) {
    std::string out(1, record_letter(r));
    out += '\t';
    std::visit(Overloaded{[&](const TitleRecord& x) { field(out, x.label); },
                          [&](const EnumRecord& x) {
                              field(out, x.label);
                              field(out, x.size);
                              field(out, x.offset);
                              field(out, static_cast<std::int16_t>(x.items.size()));
                              for (const auto& item : x.items) field(out, item);
                          },
                          [&](const RangeRecord& x) {
                              field(out, x.label);
                              field(out, x.size);
                              field(out, x.offset);
                              field(out, x.min);
                              field(out, x.max);
                              field(out, x.bias);
                          },
                          [&](const StringRecord& x) {
                              field(out, x.label);
                              field(out, x.size);
                              field(out, x.offset);
                          },
                          [&](const IpRecord& x) {
                              field(out, x.label);
                              field(out, x.size);
                              field(out, x.offset);
                          },
                          [](const EndRecord&) {}},
               r);
    out += "\r\n";
    return out;
}

std::string format_description(const std::vector<DescriptionRecord>& records) {
    std::string out;
    for (const auto& r : records) out += format_record(r);
    return out;
}

std::optional<std::string_view> FieldReader::field_from(std::size_t start) {
    if (start > line_.size()) return std::nullopt;
    const std::size_t tab = line_.find('\t', start);
    if (tab == std::string_view::npos) return std::nullopt;
    cursor_ = static_cast<int>(tab) + 1;
    return line_.substr(start, tab - start);
}

// Character 3 is index 2: the letter and its separator come first.
std::optional<std::string_view> FieldReader::label() {
    return field_from(2);
}

std::optional<std::string_view> FieldReader::next() {
    // The field starts after the TAB at position cursor_ (1-based), i.e. at
    // index cursor_.
    return field_from(static_cast<std::size_t>(cursor_));
}

std::optional<std::int16_t> FieldReader::next_number() {
    const auto text = next();
    if (!text) return std::nullopt;
    return parse_number_field(*text);
}

std::optional<std::int16_t> parse_number_field(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    int v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (v < -32768 || v > 32767) return std::nullopt;
    return static_cast<std::int16_t>(v);
}

namespace {

ParsedLine malformed(std::string problem) {
    ParsedLine p;
    p.kind = ParsedLine::kMalformed;
    p.problem = std::move(problem);
    return p;
}

ParsedLine record(DescriptionRecord r) {
    ParsedLine p;
    p.kind = ParsedLine::kRecord;
    p.record = std::move(r);
    return p;
}

}  // namespace

ParsedLine parse_record(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return {};
    const char letter = line[0];
    FieldReader f(line);
    auto read_label = [&](std::string& label) {
        const auto l = f.label();
        if (l) label = std::string(*l);
        return l.has_value();
    };
    // size and offset, which every parameter record starts with.
    auto read_slot = [&](std::int16_t& size, std::int16_t& offset) {
        const auto s = f.next_number();
        const auto o = s ? f.next_number() : std::nullopt;
        if (!s || !o) return false;
        size = *s;
        offset = *o;
        return true;
    };
    switch (letter) {
        case 'T': {
            TitleRecord r;
            if (!read_label(r.label)) return malformed("no TAB after the label");
            return record(std::move(r));
        }
        case 'E': {
            EnumRecord r;
            if (!read_label(r.label)) return malformed("no TAB after the label");
            if (!read_slot(r.size, r.offset))
                return malformed("size or offset missing or not a number");
            const auto count = f.next_number();
            if (!count || *count < 0) return malformed("item count missing or not a count");
            for (int i = 0; i < *count; ++i) {
                const auto item = f.next();
                if (!item) return malformed("fewer items than the count says");
                r.items.emplace_back(*item);
            }
            return record(std::move(r));
        }
        case 'M':
        case 'O': {
            RangeRecord r;
            r.letter = letter;
            if (!read_label(r.label)) return malformed("no TAB after the label");
            if (!read_slot(r.size, r.offset))
                return malformed("size or offset missing or not a number");
            const auto mn = f.next_number();
            const auto mx = mn ? f.next_number() : std::nullopt;
            const auto bias = mx ? f.next_number() : std::nullopt;
            if (!bias) return malformed("min, max or bias missing or not a number");
            r.min = *mn;
            r.max = *mx;
            r.bias = *bias;
            return record(std::move(r));
        }
        case 'S': {
            StringRecord r;
            if (!read_label(r.label)) return malformed("no TAB after the label");
            if (!read_slot(r.size, r.offset))
                return malformed("size or offset missing or not a number");
            return record(std::move(r));
        }
        case 'I': {
            IpRecord r;
            if (!read_label(r.label)) return malformed("no TAB after the label");
            if (!read_slot(r.size, r.offset))
                return malformed("size or offset missing or not a number");
            return record(std::move(r));
        }
        case 'Z':
            return record(EndRecord{});
        default:
            return {};
    }
}

ParsedDescription parse_description(std::string_view text) {
    ParsedDescription out;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        ++number;
        ParsedLine p = parse_record(line);
        if (p.kind == ParsedLine::kRecord) {
            if (std::holds_alternative<EndRecord>(*p.record)) out.complete = true;
            out.records.push_back(std::move(*p.record));
        } else {
            out.skipped.push_back({number, p.kind, std::move(p.problem)});
        }
    }
    return out;
}

bool record_fits(const DescriptionRecord& r, std::size_t nvm_size) {
    auto fits = [&](std::int16_t offset, long bytes) {
        return offset >= 0 && bytes >= 0 &&
               static_cast<long>(offset) + bytes <= static_cast<long>(nvm_size);
    };
    return std::visit(
        Overloaded{[](const TitleRecord&) { return true; }, [](const EndRecord&) { return true; },
                   // An enumeration's value is written as one byte.
                   [&](const EnumRecord& x) { return fits(x.offset, 1); },
                   [&](const RangeRecord& x) { return x.size >= 1 && fits(x.offset, x.size); },
                   [&](const StringRecord& x) { return fits(x.offset, x.size); },
                   [&](const IpRecord& x) { return fits(x.offset, 4); }},
        r);
}

}  // namespace kp28
