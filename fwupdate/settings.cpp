#include "settings.h"

#include <cctype>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fwupdate {

namespace {

std::string to_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view s) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
    };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

std::string to_upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

IniFile IniFile::parse(std::string_view text) {
    IniFile ini;
    std::map<std::string, std::string>* current = nullptr;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        line = trim(line);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            std::string_view name = line.substr(
                1, close == std::string_view::npos ? std::string_view::npos : close - 1);
            current = &ini.sections_[to_lower(trim(name))];
            continue;
        }
        std::size_t eq = line.find('=');
        if (current == nullptr || eq == std::string_view::npos) continue;
        std::string key = to_lower(trim(line.substr(0, eq)));
        current->emplace(std::move(key), std::string(trim(line.substr(eq + 1))));
    }
    return ini;
}

IniFile IniFile::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(text);
}

std::string IniFile::get(std::string_view section, std::string_view key) const {
    auto s = sections_.find(to_lower(section));
    if (s == sections_.end()) return {};
    auto k = s->second.find(to_lower(key));
    return k == s->second.end() ? std::string{} : k->second;
}

std::string find_ini_file(const std::string& dir) {
    namespace fs = std::filesystem;
    std::string base = dir;
    if (base.empty() || base.back() != '/') base += '/';
    std::error_code ec;
    auto regular = [&](const std::string& path) { return fs::is_regular_file(path, ec); };
    if (regular(base + kIniFileName)) return base + kIniFileName;

    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!equals_ignoring_case(name, kIniFileName)) continue;
        std::string path = base + name;
        if (regular(path)) return path;
    }
    return {};
}

std::int32_t decimal_value(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<std::int32_t>(value);
}

void apply_ini(const IniFile& ini, UpdaterSettings& s) {
    s.printer_name = ini.get("GENERAL", "Printer");
    // A buffer size that is not a positive number would stop the chunked
    // sending of the image, so such a value keeps the default.
    std::string size = ini.get("GENERAL", "BufferSize");
    if (!size.empty()) {
        std::int32_t value = decimal_value(size);
        if (value > 0) s.buffer_size = value;
    }
    s.log_file = ini.get("GENERAL", "LogFile");
    if (ini.get("GENERAL", "Verbose") == "Y") s.verbose = true;
    if (ini.get("GENERAL", "Reboot") == "Y") s.reboot = true;
    s.protocol = ini.get("FIRMWARE_DOWNLOAD", "DefaultProtocol");
    s.url = ini.get("FIRMWARE_DOWNLOAD", "DefaultURL");
    s.port = ini.get("FIRMWARE_DOWNLOAD", "DefaultPort");
    s.user = ini.get("FIRMWARE_DOWNLOAD", "DefaultUser");
    s.password = ini.get("FIRMWARE_DOWNLOAD", "DefaultPassword");
    s.usb_id = ini.get("USB_IDENTIFIRE", "DefaultUsbId");
}

CommandLineResult apply_command_line(const std::vector<std::string>& args, UpdaterSettings& s) {
    struct ValueOption {
        const char* dash;
        const char* slash;  // nullptr: no slash form
        std::string UpdaterSettings::*field;
    };
    static const ValueOption kValueOptions[] = {
        {"-PROTOCOL", "/PROTOCOL", &UpdaterSettings::protocol},
        {"-URL", nullptr, &UpdaterSettings::url},
        {"-PORT", "/PORT", &UpdaterSettings::port},
        {"-USER", "/USER", &UpdaterSettings::user},
        {"-PASSWORD", "/PASSWORD", &UpdaterSettings::password},
        {"-PRINTER", "/PRINTER", &UpdaterSettings::printer_name},
        {"-LOG", "/LOG", &UpdaterSettings::log_file},
        {"-UID", "/UID", &UpdaterSettings::usb_id},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string word = to_upper(args[i]);
        // --help and -h as well: what a user of any other console program tries first.
        if (word == "-HELP" || word == "/HELP" || word == "--HELP" || word == "-H")
            return CommandLineResult::help;
        if (word == "-V" || word == "/V") {
            s.verbose = true;
            continue;
        }
        if (word == "-R" || word == "/R") {
            s.reboot = true;
            continue;
        }
        if (word == "-DEBUG" || word == "/DEBUG") continue;
        for (const ValueOption& opt : kValueOptions) {
            if (word != opt.dash && (opt.slash == nullptr || word != opt.slash)) continue;
            // The value is taken as it stands, even when it reads like an option.
            if (i + 1 < args.size()) {
                s.*opt.field = args[++i];
            } else {
                s.*opt.field = std::string();
            }
            break;
        }
        // Anything else is skipped.
    }
    return CommandLineResult::run;
}

}  // namespace fwupdate
