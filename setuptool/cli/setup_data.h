// A printer's setup as data: where it comes from (the printer, a setup file,
// a raw image), the editor rows it shows under a description, what differs
// between two setups, and profiles, the parameters a technician wants set.
#pragma once

#include <kp28setup/editor.h>

#include <array>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kp28setup_cli {

// The SOURCE argument that means the printer on the -i entry; anything else
// names a file ("./printer" for a file of that name).
inline constexpr const char* kPrinterSource = "printer";

struct Setup {
    std::string source;  // as the user named it
    std::array<std::uint8_t, kp28setup::kNvmSize> image{};
    int length = static_cast<int>(kp28setup::kNvmSize);
    bool plus = true;
    std::string description;       // the description bytes, as stored
    std::string description_from;  // the file they came from
};

// What a source could not give: the reason, for the user.
struct SourceError {
    std::string message;
};

// The printer's setup as a good Read NVM leaves it; nullopt (with the reason)
// when the read did not succeed. Given to the loaders by the command that
// talks to a printer.
using PrinterReader = std::function<std::optional<Setup>(std::string& why)>;

struct SourceOptions {
    std::string modules;     // --modules FILE, empty: none
    bool plus_model = true;  // --model, for raw images (and setup files whose checksum fits both)
    PrinterReader printer;   // empty: no printer may be named
};

// A setup from a file: a setup file (one load-setup frame, the model told by
// the checksum's byte order) or a raw 2048-byte image (the model from the
// options). The description: --modules, else modules.txt in the working
// directory. Empty message: loaded.
std::optional<Setup> load_file_setup(const std::string& path, const SourceOptions& o,
                                     std::string& why);
// The same for any SOURCE, "printer" through o.printer.
std::optional<Setup> load_setup(const std::string& source, const SourceOptions& o,
                                std::string& why);
// The description of a setup read from a printer: --modules when given, else
// the file the read stored.
std::optional<std::string> load_description(const std::string& modules, const std::string& fallback,
                                            std::string& from, std::string& why);

// The checksum of the setup's image in its model's order, as hex.
std::string checksum_hex(const Setup& s);
// Image bytes 0..7 and 8..23: the firmware identification texts (UTF-8).
std::string firmware_text(const Setup& s);
std::string firmware_detail(const Setup& s);

// The editor built over a copy of the setup's image.
void build_editor(kp28setup::Editor& ed, const Setup& s);

// --- show ---
nlohmann::json show_json(const Setup& s, const kp28setup::Editor& ed);
void print_show(std::ostream& out, const Setup& s, const kp28setup::Editor& ed);

// --- diff ---
struct RowDifference {
    std::string label;  // A's label (B's when A has no such row)
    int row = -1;
    std::optional<std::string> a, b;  // as the editor displays them; nullopt: no such row
};
struct ByteRange {
    int from = 0;  // inclusive
    int to = 0;    // inclusive
};
struct TextDifference {
    std::string field;
    std::string a, b;
};
struct SetupDiff {
    std::vector<RowDifference> rows;
    // Differing bytes that no differing row accounts for: outside every row,
    // or inside a row that displays the same (bytes after a string's end).
    std::vector<ByteRange> bytes;
    std::vector<TextDifference> texts;  // identification, model, length
    bool same() const { return rows.empty() && bytes.empty() && texts.empty(); }
};
SetupDiff diff_setups(const Setup& a, const kp28setup::Editor& ea, const Setup& b,
                      const kp28setup::Editor& eb);
nlohmann::json diff_json(const Setup& a, const Setup& b, const SetupDiff& d);
void print_diff(std::ostream& out, const Setup& a, const Setup& b, const SetupDiff& d);

// --- profiles ---
struct Profile {
    std::optional<bool> plus;  // "model", when given
    // (LABEL or #ROW, VALUE), in the file's order.
    std::vector<std::pair<std::string, std::string>> parameters;
    std::vector<std::string> leave;
};
// The profile in a JSON text; nullopt with the reason.
std::optional<Profile> parse_profile(const std::string& text, std::string& why);
// A profile of every parameter row whose value --set can take back; a row it
// cannot (a number naming no item, a value outside the slider) is left alone.
nlohmann::ordered_json profile_json(const Setup& s, const kp28setup::Editor& ed);

// The name a profile or a diff gives a parameter row: its label when that
// names it alone, else "#ROW".
std::string row_key(const std::vector<kp28setup::RowView>& rows, const kp28setup::RowView& r);

// --- the command ---
struct SetupCommand {
    std::string command;  // "show" or "diff"
    std::vector<std::string> sources;
    std::string profile;  // show --profile FILE
    bool json = false;
};
bool names_printer(const std::vector<std::string>& sources);
// Exit 0 done (diff: the same), 1 (diff: different), 2 trouble.
int run_setup_command(const SetupCommand& c, const SourceOptions& o);

}  // namespace kp28setup_cli
