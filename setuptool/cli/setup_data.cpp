#include "setup_data.h"

#include <kp28/nvm_crc.h>
#include <kp28/protocol/setup.h>
#include <kp28setup/files.h>
#include <kp28setup/senders.h>
#include <kp28setup/value_encoding.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <map>

#include "editor_options.h"
#include "exit_status.h"

namespace kp28setup_cli {

using kp28setup::Editor;
using kp28setup::RowKind;
using kp28setup::RowView;
using nlohmann::json;
using nlohmann::ordered_json;

namespace {

constexpr int kExitDifferent = 1;
constexpr int kExitTrouble = 2;
constexpr std::size_t kNvm = kp28setup::kNvmSize;

// A stored description is never larger than what a printer may send, nor a
// profile larger than a description's worth of values.
constexpr std::size_t kMaxDescription = 1024 * 1024;
constexpr std::size_t kMaxProfile = 1024 * 1024;

// Image bytes 0..23 are the two firmware identification texts.
constexpr int kFirmwareEnd = 8;
constexpr int kDetailEnd = 24;

std::optional<std::string> read_text(const std::string& path, std::size_t max, std::string& why) {
    const auto bytes = kp28setup::read_whole_file(path, &why, max);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

std::string model_name(bool plus) {
    return plus ? "KP28Plus" : "KP28";
}

bool is_setup_file(const std::vector<std::uint8_t>& bytes) {
    constexpr std::uint8_t kPrefix[] = {0x14, 0x14, 0x1B, 0x14};
    return bytes.size() >= sizeof kPrefix && std::equal(kPrefix, kPrefix + 4, bytes.begin());
}

// The image of a setup file and the model its checksum was made for.
bool take_setup_file(const std::vector<std::uint8_t>& bytes, const SourceOptions& o, Setup& s,
                     std::string& why) {
    if (std::string problem = kp28setup::setup_file_problem(bytes); !problem.empty()) {
        why = problem;
        return false;
    }
    const auto frame = kp28::parse_load_setup_frame(bytes);
    if (!frame) {
        why = "it is not one load-setup frame (a setup file holds exactly one)";
        return false;
    }
    if (frame->image.empty() || frame->image.size() > kNvm) {
        why = "its image of " + std::to_string(frame->image.size()) +
              " bytes is no NVM image (1 to 2048 bytes)";
        return false;
    }
    std::copy(frame->image.begin(), frame->image.end(), s.image.begin());
    s.length = static_cast<int>(frame->image.size());
    // The checksum covers up to 3 bytes past the image, which read as zero
    // here as they do for the tool that wrote the file from a fresh read.
    const bool fits_plus = kp28::nvm_crc(s.image, frame->image.size(), true) == frame->checksum;
    const bool fits_kp28 = kp28::nvm_crc(s.image, frame->image.size(), false) == frame->checksum;
    if (!fits_plus && !fits_kp28) {
        char got[9];
        std::snprintf(got, sizeof got, "%02X%02X%02X%02X", frame->checksum[0], frame->checksum[1],
                      frame->checksum[2], frame->checksum[3]);
        why = std::string("its checksum ") + got +
              " fits the image in neither a KP28Plus's nor a KP28's byte order: the file is "
              "damaged";
        return false;
    }
    s.plus = fits_plus && fits_kp28 ? o.plus_model : fits_plus;
    return true;
}

}  // namespace

std::optional<std::string> load_description(const std::string& modules, const std::string& fallback,
                                            std::string& from, std::string& why) {
    from = modules.empty() ? fallback : modules;
    auto text = read_text(from, kMaxDescription, why);
    if (!text) {
        why = "cannot read the parameter description " + from + ": " + why +
              (modules.empty() ? " (name one with --modules FILE)" : "");
        return std::nullopt;
    }
    return text;
}

std::optional<Setup> load_file_setup(const std::string& path, const SourceOptions& o,
                                     std::string& why) {
    Setup s;
    s.source = path;
    // The larger of a setup file and a raw image, plus one to tell a file
    // that is too long.
    const auto bytes = kp28setup::read_whole_file(path, &why, kp28setup::kMaxSetupFile + 1);
    if (!bytes) {
        why = path + ": " + why;
        return std::nullopt;
    }
    if (is_setup_file(*bytes)) {
        if (!take_setup_file(*bytes, o, s, why)) {
            why = path + ": " + why;
            return std::nullopt;
        }
    } else if (bytes->size() == kNvm) {
        std::copy(bytes->begin(), bytes->end(), s.image.begin());
        s.plus = o.plus_model;
    } else {
        why = path +
              ": neither a setup file (it does not begin with a command frame) nor a raw "
              "image (2048 bytes; it has " +
              std::to_string(bytes->size()) + ")";
        return std::nullopt;
    }
    auto text = load_description(o.modules, "modules.txt", s.description_from, why);
    if (!text) return std::nullopt;
    s.description = std::move(*text);
    return s;
}

std::optional<Setup> load_setup(const std::string& source, const SourceOptions& o,
                                std::string& why) {
    if (source != kPrinterSource) return load_file_setup(source, o, why);
    if (!o.printer) {
        why = "no printer can be read here";
        return std::nullopt;
    }
    return o.printer(why);
}

std::string checksum_hex(const Setup& s) {
    const auto c = kp28::nvm_crc(s.image, static_cast<std::size_t>(s.length), s.plus);
    char buf[9];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X", c[0], c[1], c[2], c[3]);
    return buf;
}

std::string firmware_text(const Setup& s) {
    return kp28setup::cp1252_to_utf8(std::string(s.image.begin(), s.image.begin() + kFirmwareEnd));
}
std::string firmware_detail(const Setup& s) {
    return kp28setup::cp1252_to_utf8(
        std::string(s.image.begin() + kFirmwareEnd, s.image.begin() + kDetailEnd));
}

void build_editor(Editor& ed, const Setup& s) {
    ed.set_image(s.image, s.plus);
    ed.build_from_description(s.description);
}

namespace {

json setup_head(const Setup& s) {
    return {{"source", s.source},
            {"model", model_name(s.plus)},
            {"plus_model", s.plus ? 1 : 0},
            {"firmware", firmware_text(s)},
            {"firmware_detail", firmware_detail(s)},
            {"modules", s.description_from},
            {"nvm", {{"length", s.length}, {"checksum", checksum_hex(s)}}}};
}

// A row's value as the editor shows it, and whether --set can take it back.
std::string displayed(const RowView& r) {
    if (r.kind == RowKind::Enum && r.index < 0)
        return "(no item for " + std::to_string(r.stored) + ")";
    return r.value;
}

bool settable(const RowView& r) {
    switch (r.kind) {
        case RowKind::Title:
            return false;
        case RowKind::Enum:
            return r.index >= 0;
        case RowKind::Range: {
            int v = 0;
            const auto [end, ec] =
                std::from_chars(r.value.data(), r.value.data() + r.value.size(), v);
            return ec == std::errc() && end == r.value.data() + r.value.size() && v >= r.min &&
                   v <= r.max;
        }
        case RowKind::String:
        case RowKind::Ip:
            return true;
    }
    return false;
}

// The bytes a row's value lies in.
std::pair<int, int> row_bytes(const RowView& r) {
    switch (r.kind) {
        case RowKind::Title:
            return {0, 0};
        case RowKind::Enum:
        case RowKind::Range:
            return {r.offset, kp28setup::encoding::number_read_width(r.size)};
        case RowKind::String:
            return {r.offset, r.size};
        case RowKind::Ip:
            return {r.offset, 4};
    }
    return {0, 0};
}

std::map<int, const RowView*> by_row(const std::vector<RowView>& rows) {
    std::map<int, const RowView*> m;
    for (const auto& r : rows)
        if (r.kind != RowKind::Title) m[r.row] = &r;
    return m;
}

}  // namespace

std::string row_key(const std::vector<RowView>& rows, const RowView& r) {
    // A label that "#ROW" or "=" would misread, or that several rows share,
    // cannot name its row.
    bool alone = !r.label.empty() && r.label[0] != '#' && r.label.find('=') == std::string::npos;
    for (const auto& o : rows)
        if (alone && &o != &r && o.label == r.label) alone = false;
    return alone ? r.label : "#" + std::to_string(r.row);
}

json show_json(const Setup& s, const Editor& ed) {
    json j = {{"command", "show"}, {"ok", true}};
    j.update(setup_head(s));
    add_editor_report(j, ed);
    return j;
}

void print_show(std::ostream& out, const Setup& s, const Editor& ed) {
    out << "source: " << s.source << "\n"
        << "model: " << model_name(s.plus) << "\n"
        << "firmware: " << firmware_text(s) << " - " << firmware_detail(s) << "\n"
        << "nvm: " << s.length << " bytes, checksum " << checksum_hex(s) << "\n"
        << "description: " << s.description_from << "\n";
    print_parameters(out, ed);
}

SetupDiff diff_setups(const Setup& a, const Editor& ea, const Setup& b, const Editor& eb) {
    SetupDiff d;
    if (a.plus != b.plus) d.texts.push_back({"model", model_name(a.plus), model_name(b.plus)});
    if (a.length != b.length)
        d.texts.push_back({"length", std::to_string(a.length), std::to_string(b.length)});
    if (firmware_text(a) != firmware_text(b))
        d.texts.push_back({"firmware", firmware_text(a), firmware_text(b)});
    if (firmware_detail(a) != firmware_detail(b))
        d.texts.push_back({"firmware_detail", firmware_detail(a), firmware_detail(b)});

    const auto ra = ea.rows();
    const auto rb = eb.rows();
    const auto ma = by_row(ra);
    const auto mb = by_row(rb);
    // Bytes that a row showing a difference accounts for.
    std::array<bool, kNvm> explained{};
    for (int i = 0; i < kDetailEnd; ++i) explained[static_cast<std::size_t>(i)] = true;
    auto explain = [&](const RowView* r) {
        if (!r) return;
        const auto [from, count] = row_bytes(*r);
        for (int i = from; i < from + count && i < static_cast<int>(kNvm); ++i)
            if (i >= 0) explained[static_cast<std::size_t>(i)] = true;
    };
    std::map<int, std::pair<const RowView*, const RowView*>> pairs;
    for (const auto& [n, r] : ma) pairs[n].first = r;
    for (const auto& [n, r] : mb) pairs[n].second = r;
    for (const auto& [n, p] : pairs) {
        RowDifference rd;
        rd.row = n;
        if (p.first) rd.a = displayed(*p.first);
        if (p.second) rd.b = displayed(*p.second);
        if (rd.a == rd.b) continue;
        rd.label = p.first ? row_key(ra, *p.first) : row_key(rb, *p.second);
        explain(p.first);
        explain(p.second);
        d.rows.push_back(std::move(rd));
    }
    const int end = std::max(a.length, b.length);
    for (int i = 0; i < end; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (explained[k] || a.image[k] == b.image[k]) continue;
        if (!d.bytes.empty() && d.bytes.back().to == i - 1)
            d.bytes.back().to = i;
        else
            d.bytes.push_back({i, i});
    }
    return d;
}

json diff_json(const Setup& a, const Setup& b, const SetupDiff& d) {
    json j = {{"command", "diff"}, {"ok", true}, {"same", d.same()}};
    j["a"] = setup_head(a);
    j["b"] = setup_head(b);
    json rows = json::array();
    for (const auto& r : d.rows)
        rows.push_back({{"label", r.label},
                        {"row", r.row},
                        {"a", r.a ? json(*r.a) : json(nullptr)},
                        {"b", r.b ? json(*r.b) : json(nullptr)}});
    j["rows"] = rows;
    json bytes = json::array();
    for (const auto& r : d.bytes) bytes.push_back({{"from", r.from}, {"to", r.to}});
    j["bytes"] = bytes;
    json texts = json::array();
    for (const auto& t : d.texts) texts.push_back({{"field", t.field}, {"a", t.a}, {"b", t.b}});
    j["identification"] = texts;
    return j;
}

void print_diff(std::ostream& out, const Setup& a, const Setup& b, const SetupDiff& d) {
    out << "A: " << a.source << " (" << model_name(a.plus) << ")\n"
        << "B: " << b.source << " (" << model_name(b.plus) << ")\n";
    for (const auto& t : d.texts) out << t.field << ": " << t.a << " | " << t.b << "\n";
    for (const auto& r : d.rows)
        out << r.label << " (#" << r.row << "): " << r.a.value_or("(no such row)") << " | "
            << r.b.value_or("(no such row)") << "\n";
    for (const auto& r : d.bytes) {
        char line[64];
        if (r.from == r.to)
            std::snprintf(line, sizeof line, "byte %d: %02X | %02X\n", r.from,
                          a.image[static_cast<std::size_t>(r.from)],
                          b.image[static_cast<std::size_t>(r.from)]);
        else
            std::snprintf(line, sizeof line, "bytes %d..%d differ\n", r.from, r.to);
        out << line;
    }
    out << (d.same() ? "same" : "different") << "\n";
}

std::optional<Profile> parse_profile(const std::string& text, std::string& why) {
    const auto j = ordered_json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        why = "it is not a JSON object";
        return std::nullopt;
    }
    Profile p;
    for (const auto& [key, value] : j.items()) {
        if (key == "model") {
            const std::string m = value.is_string() ? value.get<std::string>() : "";
            if (m == "KP28Plus")
                p.plus = true;
            else if (m == "KP28")
                p.plus = false;
            else {
                why = "\"model\" must be \"KP28Plus\" or \"KP28\"";
                return std::nullopt;
            }
        } else if (key == "parameters") {
            if (!value.is_object()) {
                why = "\"parameters\" must be an object {\"LABEL\": \"VALUE\", ...}";
                return std::nullopt;
            }
            for (const auto& [name, v] : value.items()) {
                if (v.is_string())
                    p.parameters.emplace_back(name, v.get<std::string>());
                else if (v.is_number_integer())
                    p.parameters.emplace_back(name, std::to_string(v.get<long long>()));
                else {
                    why = "the value of \"" + name + "\" must be a text or a whole number";
                    return std::nullopt;
                }
            }
        } else if (key == "leave") {
            if (!value.is_array()) {
                why = "\"leave\" must be a list of labels";
                return std::nullopt;
            }
            for (const auto& v : value) {
                if (!v.is_string()) {
                    why = "\"leave\" must hold labels (texts) only";
                    return std::nullopt;
                }
                p.leave.push_back(v.get<std::string>());
            }
        } else {
            why = "unknown key \"" + key + "\" (a profile holds model, parameters and leave)";
            return std::nullopt;
        }
    }
    return p;
}

ordered_json profile_json(const Setup& s, const Editor& ed) {
    ordered_json params = ordered_json::object();
    ordered_json leave = ordered_json::array();
    const auto rows = ed.rows();
    for (const auto& r : rows) {
        if (r.kind == RowKind::Title) continue;
        if (settable(r))
            params[row_key(rows, r)] = r.value;
        else
            leave.push_back(row_key(rows, r));
    }
    ordered_json j;
    j["model"] = model_name(s.plus);
    j["parameters"] = params;
    j["leave"] = leave;
    return j;
}

bool names_printer(const std::vector<std::string>& sources) {
    return std::find(sources.begin(), sources.end(), kPrinterSource) != sources.end();
}

int run_setup_command(const SetupCommand& c, const SourceOptions& o) {
    // The printer is read once, however often it is named.
    std::optional<Setup> printer_setup;
    std::string printer_why;
    bool printer_read = false;
    SourceOptions opts = o;
    if (o.printer)
        opts.printer = [&](std::string& why) {
            if (!printer_read) printer_setup = o.printer(printer_why);
            printer_read = true;
            why = printer_why;
            return printer_setup;
        };
    std::vector<Setup> setups;
    for (const auto& source : c.sources) {
        std::string why;
        auto s = load_setup(source, opts, why);
        if (!s) {
            std::cerr << "kp28setup: " << why << "\n";
            if (c.json)
                std::cout << json{{"command", c.command}, {"ok", false}, {"error", why}}.dump(
                                 2, ' ', false, json::error_handler_t::replace)
                          << "\n";
            return kExitTrouble;
        }
        setups.push_back(std::move(*s));
    }
    std::vector<std::unique_ptr<Editor>> editors;
    for (const auto& s : setups) {
        editors.push_back(std::make_unique<Editor>());
        build_editor(*editors.back(), s);
    }
    if (c.command == "show") {
        if (!c.profile.empty()) {
            const std::string text =
                profile_json(setups[0], *editors[0])
                    .dump(2, ' ', false, ordered_json::error_handler_t::replace) +
                "\n";
            std::string why;
            if (!kp28setup::write_file_whole(c.profile, text, &why)) {
                std::cerr << "kp28setup: cannot write the profile " << c.profile << ": " << why
                          << "\n";
                return kExitTrouble;
            }
        }
        if (c.json) {
            json j = show_json(setups[0], *editors[0]);
            if (!c.profile.empty()) j["profile"] = c.profile;
            std::cout << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
        } else {
            print_show(std::cout, setups[0], *editors[0]);
        }
        return kExitOk;
    }
    const SetupDiff d = diff_setups(setups[0], *editors[0], setups[1], *editors[1]);
    if (c.json)
        std::cout << diff_json(setups[0], setups[1], d)
                         .dump(2, ' ', false, json::error_handler_t::replace)
                  << "\n";
    else
        print_diff(std::cout, setups[0], setups[1], d);
    return d.same() ? kExitOk : kExitDifferent;
}

}  // namespace kp28setup_cli
