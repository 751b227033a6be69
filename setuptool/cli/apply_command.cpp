#include "apply_command.h"

#include <kp28setup/files.h>

#include <charconv>

#include "editor_options.h"
#include "exit_status.h"

namespace kp28setup_cli {

using kp28setup::Editor;
using kp28setup::RowKind;
using kp28setup::RowView;
using nlohmann::json;

namespace {

constexpr std::size_t kMaxProfile = 1024 * 1024;

// The parameter row a key names: "#ROW", or a label of exactly one row.
std::optional<int> resolve(const std::vector<RowView>& rows, const std::string& key,
                           std::string& why) {
    if (!key.empty() && key[0] == '#') {
        int n = -1;
        const char* end = key.data() + key.size();
        const auto [p, ec] = std::from_chars(key.data() + 1, end, n);
        for (const auto& r : rows)
            if (ec == std::errc() && p == end && r.kind != RowKind::Title && r.row == n) return n;
        why = "no parameter row " + key;
        return std::nullopt;
    }
    std::vector<int> named;
    for (const auto& r : rows)
        if (r.kind != RowKind::Title && r.label == key) named.push_back(r.row);
    if (named.size() == 1) return named.front();
    why = named.empty() ? "no parameter row is labelled \"" + key + "\""
                        : "the label \"" + key + "\" names " + std::to_string(named.size()) +
                              " rows; name one as #ROW";
    return std::nullopt;
}

std::string shown(const RowView& r) {
    if (r.kind == RowKind::Enum && r.index < 0)
        return "(no item for " + std::to_string(r.stored) + ")";
    return r.value;
}

ApplyOutcome refuse(ApplyOutcome o, const std::vector<std::string>& refused) {
    o.ok = false;
    o.exit_code = kExitUsage;
    o.extra["refused"] = refused;
    for (const auto& why : refused) o.text.push_back("refused: " + why);
    o.error = refused.size() == 1
                  ? refused.front()
                  : std::to_string(refused.size()) + " parts of the profile refused";
    return o;
}

}  // namespace

json apply_report_start(bool check) {
    return {{"changed", false},
            {"check", check},
            {"changes", json::array()},
            {"verified", false},
            {"refused", json::array()}};
}

ApplyOutcome run_apply(const ApplyRequest& r, PrinterAccess& printer) {
    ApplyOutcome o;
    o.extra = apply_report_start(r.check);

    std::string why;
    const auto bytes = kp28setup::read_whole_file(r.profile, &why, kMaxProfile);
    if (!bytes) return refuse(o, {"cannot read the profile " + r.profile + ": " + why});
    const auto profile = parse_profile(std::string(bytes->begin(), bytes->end()), why);
    if (!profile) return refuse(o, {"the profile " + r.profile + ": " + why});

    const auto before = printer.read(r.modules, why);
    if (!before) {
        o.error = why;
        o.text.push_back("failed: " + why);
        return o;
    }

    // The edits are tried on a copy first: nothing reaches the printer unless
    // every one of them is taken.
    Editor scratch;
    build_editor(scratch, *before);
    const auto rows = scratch.rows();
    std::vector<std::string> refused;
    if (profile->plus && *profile->plus != before->plus)
        refused.push_back(std::string("the profile is for a ") +
                          (*profile->plus ? "KP28Plus" : "KP28") + ", the printer is a " +
                          (before->plus ? "KP28Plus" : "KP28"));
    std::vector<int> left;
    for (const auto& key : profile->leave) {
        std::string problem;
        if (const auto n = resolve(rows, key, problem))
            left.push_back(*n);
        else
            refused.push_back("leave \"" + key + "\": " + problem);
    }
    std::vector<std::string> edits;
    for (const auto& [key, value] : profile->parameters) {
        std::string problem;
        const auto n = resolve(rows, key, problem);
        if (n && std::find(left.begin(), left.end(), *n) != left.end()) {
            refused.push_back("\"" + key + "\" is both set and left alone");
            continue;
        }
        edits.push_back(key + "=" + value);
    }
    for (auto& why_not : apply_edits(scratch, edits)) refused.push_back(std::move(why_not));
    if (!refused.empty()) return refuse(o, refused);

    json changes = json::array();
    const auto after = scratch.rows();
    for (std::size_t i = 0; i < rows.size() && i < after.size(); ++i) {
        if (rows[i].kind == RowKind::Title || shown(rows[i]) == shown(after[i])) continue;
        changes.push_back({{"label", row_key(rows, rows[i])},
                           {"row", rows[i].row},
                           {"from", shown(rows[i])},
                           {"to", shown(after[i])}});
        o.text.push_back("change: " + row_key(rows, rows[i]) + ": " + shown(rows[i]) + " -> " +
                         shown(after[i]));
    }
    o.extra["changes"] = changes;
    const auto target = scratch.image();
    if (target == before->image) {
        o.ok = r.save.empty() || printer.save(r.save);
        o.exit_code = o.ok ? kExitOk : kExitFailed;
        if (!o.ok) o.error = "the setup file " + r.save + " could not be written";
        o.text.push_back("changed: no (the printer already holds the profile)");
        return o;
    }
    o.extra["changed"] = true;
    if (r.check) {
        o.ok = true;
        o.exit_code = kExitOk;
        o.text.push_back("changed: yes, not written (--check)");
        return o;
    }

    // The same edits through the handlers of the window's own editor.
    const auto late = apply_edits(printer.editor(), edits);
    if (!late.empty() || printer.image() != target) {
        o.error = "the edits did not give the same image on the second pass; nothing was written";
        o.text.push_back("failed: " + o.error);
        return o;
    }
    const auto written = printer.write();
    if (!written.confirmed) {
        o.error = written.problem;
        o.text.push_back("failed: " + o.error);
        return o;
    }
    const auto back = printer.read_back(why);
    if (!back) {
        o.error = "written, but " + why;
        o.text.push_back("failed: " + o.error);
        return o;
    }
    int differ = 0, first = -1;
    for (int i = 0; i < before->length; ++i)
        if (back->image[static_cast<std::size_t>(i)] != target[static_cast<std::size_t>(i)]) {
            if (first < 0) first = i;
            ++differ;
        }
    if (differ || back->length != before->length) {
        o.error = "the printer echoed the checksum but holds something else: " +
                  (back->length != before->length
                       ? "its NVM is " + std::to_string(back->length) + " bytes, " +
                             std::to_string(before->length) + " were written"
                       : std::to_string(differ) + " byte(s) differ, the first at offset " +
                             std::to_string(first));
        o.text.push_back("changed: yes; verified: NO, " + o.error);
        return o;
    }
    o.extra["verified"] = true;
    o.text.push_back("changed: yes, written and read back the same");
    // The printer is as asked; a setup file that could not be saved still
    // fails the run, as it fails a write.
    o.ok = written.problem.empty();
    o.exit_code = o.ok ? kExitOk : kExitFailed;
    if (!o.ok) {
        o.error = written.problem;
        o.text.push_back("failed: " + o.error);
    }
    return o;
}

}  // namespace kp28setup_cli
