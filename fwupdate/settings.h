// The updater's settings: KP28FWUpdate.ini in the working directory first,
// then the command line on top of it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fwupdate {

inline constexpr std::int32_t kDefaultBufferSize = 8192;

inline constexpr const char kUsageLine[] =
    "Kp28FWUpdate [-help] [-r] [-protocol <ftp|http|share> -url <URL>] [-port <port>] "
    "[-user <user>] [-password <password>] [-printer <printer name>] [-log logfile] "
    "[-uid <usb id>]";

inline constexpr const char kIniFileName[] = "KP28FWUpdate.ini";

struct UpdaterSettings {
    std::string printer_name;
    std::int32_t buffer_size = kDefaultBufferSize;
    std::string log_file;
    bool verbose = false;
    bool reboot = false;
    std::string protocol;
    std::string url;
    std::string port;
    std::string user;
    std::string password;
    std::string usb_id;
};

// A profile file as the updater reads it: section and key names match without
// regard to case, values lose the blanks around them, lines may end in CR LF
// or LF, and anything missing reads as empty text. The first occurrence of a
// key in a section wins.
class IniFile {
  public:
    IniFile() = default;
    static IniFile parse(std::string_view text);
    // A file that cannot be read gives an empty IniFile.
    static IniFile load(const std::string& path);

    std::string get(std::string_view section, std::string_view key) const;

  private:
    std::map<std::string, std::map<std::string, std::string>> sections_;  // lower-cased names
};

// The path of the INI file in dir whatever the case of its name: the exact
// spelling when it exists, otherwise the first directory entry that matches
// without regard to case; empty when there is none.
std::string find_ini_file(const std::string& dir);

// The conversion a decimal INI value gets: leading blanks, an optional sign,
// the digits that follow (none gives 0), saturated to the 32-bit range.
std::int32_t decimal_value(std::string_view text);

// Fills settings from the eleven keys of the file.
void apply_ini(const IniFile& ini, UpdaterSettings& settings);

enum class CommandLineResult { run, help };

// args excludes the program name. "-HELP" ends the parsing at once.
CommandLineResult apply_command_line(const std::vector<std::string>& args,
                                     UpdaterSettings& settings);

std::string to_upper(std::string_view text);

}  // namespace fwupdate
