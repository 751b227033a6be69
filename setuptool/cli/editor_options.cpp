#include "editor_options.h"

#include <kp28setup/files.h>
#include <kp28setup/value_encoding.h>

#include <charconv>
#include <iostream>
#include <optional>
#include <sstream>

#include "exit_status.h"

namespace kp28setup_cli {

using kp28setup::Editor;
using kp28setup::RowKind;
using kp28setup::RowView;
using nlohmann::json;

namespace {

std::optional<int> whole_number(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    int v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// A stored description is never larger than what a printer may send.
constexpr std::size_t kMaxStoredDescription = 1024 * 1024;

std::optional<std::string> read_file(const std::string& path, std::string& why,
                                     std::size_t max_size) {
    const auto bytes = kp28setup::read_whole_file(path, &why, max_size);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

// The row an edit names: "#ROW" by row number, else the label, which must
// name one parameter row. A label may hold "=", so every "=" is tried as the
// split until the left part names a row.
struct Target {
    const RowView* row = nullptr;
    std::string value;
    std::string problem;
};

Target find_target(const std::vector<RowView>& rows, const std::string& edit) {
    Target t;
    if (edit.empty() || edit.find('=') == std::string::npos) {
        t.problem = "not LABEL=VALUE";
        return t;
    }
    if (edit[0] == '#') {
        const std::size_t eq = edit.find('=');
        const auto n = whole_number(std::string_view(edit).substr(1, eq - 1));
        if (!n) {
            t.problem = "\"" + edit.substr(0, eq) + "\" is no row number";
            return t;
        }
        for (const auto& r : rows)
            if (r.kind != RowKind::Title && r.row == *n) t.row = &r;
        if (!t.row) t.problem = "no parameter row #" + std::to_string(*n);
        t.value = edit.substr(eq + 1);
        return t;
    }
    for (std::size_t eq = edit.find('='); eq != std::string::npos; eq = edit.find('=', eq + 1)) {
        const std::string label = edit.substr(0, eq);
        std::vector<const RowView*> named;
        bool title = false;
        for (const auto& r : rows) {
            if (r.label != label) continue;
            if (r.kind == RowKind::Title)
                title = true;
            else
                named.push_back(&r);
        }
        if (named.size() > 1) {
            t.problem = "the label \"" + label + "\" names " + std::to_string(named.size()) +
                        " rows; pick one with #ROW=VALUE (rows";
            for (const auto* r : named) t.problem += " #" + std::to_string(r->row);
            t.problem += ")";
            return t;
        }
        if (named.size() == 1) {
            t.row = named.front();
            t.value = edit.substr(eq + 1);
            return t;
        }
        if (title) {
            t.problem = "\"" + label + "\" is a title, which holds no value";
            return t;
        }
    }
    t.problem = "no parameter row is labelled \"" + edit.substr(0, edit.find('=')) + "\"";
    return t;
}

// One edit through the handlers; the refusal text, or empty when it was taken.
std::string apply_one(Editor& ed, const RowView& row, const std::string& value) {
    switch (row.kind) {
        case RowKind::Title:
            return "a title holds no value";
        case RowKind::Enum: {
            int index = -1;
            for (std::size_t k = 0; k < row.items.size() && index < 0; ++k)
                if (row.items[k] == value) index = static_cast<int>(k);
            if (index < 0) {
                const auto n = whole_number(value);
                if (!n) {
                    std::string why = "no item \"" + value + "\"; the items are";
                    for (std::size_t k = 0; k < row.items.size(); ++k)
                        why += (k ? ", \"" : " \"") + row.items[k] + "\"";
                    return why;
                }
                index = *n;
            }
            return ed.cmb_Enum_Click(row.element, index).message;
        }
        case RowKind::Range: {
            const auto n = whole_number(value);
            if (!n) return "\"" + value + "\" is not a whole number";
            return ed.hsr_MinMax_Change(row.element, *n).message;
        }
        case RowKind::String:
            return ed.txt_string_Change(row.element, value).message;
        case RowKind::Ip: {
            std::vector<std::string> octets;
            std::size_t from = 0;
            for (;;) {
                const std::size_t dot = value.find('.', from);
                octets.push_back(value.substr(from, dot - from));
                if (dot == std::string::npos) break;
                from = dot + 1;
            }
            if (octets.size() != 4) return "\"" + value + "\" is not an address a.b.c.d";
            // All four are checked before any is written.
            for (std::size_t k = 0; k < 4; ++k)
                if (octets[k].empty() || !kp28setup::encoding::octet_value(octets[k]))
                    return "octet " + std::to_string(k + 1) + ": \"" + octets[k] +
                           "\" is not a number from 0 to 255";
            for (int k = 0; k < 4; ++k) {
                const auto r =
                    ed.txt_IP_Change(row.element, k + 1, octets[static_cast<std::size_t>(k)]);
                if (!r.accepted) return r.message;
            }
            return {};
        }
    }
    return "unknown row";
}

}  // namespace

json parameters_json(const Editor& ed) {
    json rows = json::array();
    for (const RowView& r : ed.rows()) {
        json j = {{"kind", kp28setup::row_kind_name(r.kind)}, {"label", r.label}, {"top", r.top}};
        if (r.kind != RowKind::Title) {
            j["row"] = r.row;
            j["offset"] = r.offset;
            j["size"] = r.size;
        }
        switch (r.kind) {
            case RowKind::Title:
                break;
            case RowKind::Enum:
                j["value"] = r.index >= 0 ? json(r.value) : json(nullptr);
                j["index"] = r.index;
                j["stored"] = r.stored;
                j["items"] = r.items;
                break;
            case RowKind::Range: {
                const auto n = whole_number(r.value);
                j["value"] = n ? json(*n) : json(r.value);
                j["stored"] = r.stored;
                j["min"] = r.min;
                j["max"] = r.max;
                j["bias"] = r.bias;
                j["large_step"] = r.large_step;
                break;
            }
            case RowKind::String:
            case RowKind::Ip:
                j["value"] = r.value;
                break;
        }
        rows.push_back(std::move(j));
    }
    return rows;
}

void add_editor_report(json& j, const Editor& ed) {
    j["parameters"] = parameters_json(ed);
    j["editor_height"] = static_cast<int>(ed.RowTop());
    j["warnings"] = ed.warnings();
}

void print_parameters(std::ostream& out, const Editor& ed) {
    const auto rows = ed.rows();
    if (rows.empty()) {
        out << "parameters: none\n";
    } else {
        out << "parameters:\n";
        char head[96];
        std::snprintf(head, sizeof head, "  %6s %5s %-7s %-6s %-4s  %-32s %s\n", "top", "row",
                      "kind", "offset", "size", "label", "value");
        out << head;
    }
    for (const RowView& r : rows) {
        const bool param = r.kind != RowKind::Title;
        std::string value = r.value;
        if (r.kind == RowKind::Enum && r.index < 0)
            value = "(no item for " + std::to_string(r.stored) + ")";
        if (r.kind == RowKind::Range)
            value += "  [" + std::to_string(r.min) + ".." + std::to_string(r.max) +
                     (r.bias ? ", bias " + std::to_string(r.bias) : std::string()) + "]";
        char line[160];
        std::snprintf(line, sizeof line, "  %6d %5s %-7s %-6s %-4s  ", r.top,
                      param ? std::to_string(r.row).c_str() : "", kp28setup::row_kind_name(r.kind),
                      param ? std::to_string(r.offset).c_str() : "",
                      param ? std::to_string(r.size).c_str() : "");
        std::string label = r.label;
        if (label.size() < 32) label.resize(32, ' ');
        out << line << label << " " << value << "\n";
    }
    out << "editor height: " << static_cast<int>(ed.RowTop()) << " twips\n";
    for (const auto& w : ed.warnings()) out << "warning: " << w << "\n";
}

std::vector<std::string> apply_edits(Editor& ed, const std::vector<std::string>& edits) {
    std::vector<std::string> refused;
    for (const auto& edit : edits) {
        const auto rows = ed.rows();
        const Target t = find_target(rows, edit);
        std::string why = t.problem;
        if (why.empty()) why = apply_one(ed, *t.row, t.value);
        if (!why.empty()) refused.push_back("--set \"" + edit + "\": " + why);
    }
    return refused;
}

int run_stored_description(const std::string& modules, const std::string& image, bool plus,
                           bool as_json) {
    if (image.empty()) {
        std::cerr << "kp28setup: --modules needs the image as well: --image FILE\n";
        return kExitUsage;
    }
    std::string why;
    const auto text = read_file(modules, why, kMaxStoredDescription);
    if (!text) {
        std::cerr << "kp28setup: cannot read the description " << modules << ": " << why << "\n";
        return kExitFailed;
    }
    const auto bytes = read_file(image, why, kp28setup::kNvmSize);
    if (!bytes) {
        std::cerr << "kp28setup: cannot read the image " << image << ": " << why << "\n";
        return kExitFailed;
    }
    std::array<std::uint8_t, kp28setup::kNvmSize> nvm{};
    std::copy(bytes->begin(), bytes->end(), nvm.begin());
    Editor ed;
    ed.set_image(nvm, plus);
    ed.build_from_description(*text);
    if (as_json) {
        json j = {{"command", "read"},
                  {"ok", true},
                  {"modules", modules},
                  {"image", image},
                  {"plus_model", plus ? 1 : 0}};
        add_editor_report(j, ed);
        std::cout << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    } else {
        print_parameters(std::cout, ed);
    }
    return kExitOk;
}

}  // namespace kp28setup_cli
