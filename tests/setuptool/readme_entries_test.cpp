// README's table of which interface entry to pick for each command agrees
// with the rules that picking an entry applies: every entry it names for a
// command enables that command (KP28Plus checked, as the window opens).
#include <gtest/gtest.h>
#include <kp28setup/commands.h>
#include <kp28setup/interface_list.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace setuptest {
namespace {

using kp28setup::Command;

std::vector<std::string> matches(const std::string& text, const std::regex& re) {
    std::vector<std::string> out;
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
        out.push_back((*it)[1]);
    return out;
}

TEST(Readme, EachCommandsEntriesEnableIt) {
    std::ifstream f(KP28_README);
    ASSERT_TRUE(f) << KP28_README;
    std::string line;
    bool in_table = false;
    int rows = 0;
    while (std::getline(f, line)) {
        if (line.starts_with("| Command | Entry to pick")) {
            in_table = true;
            continue;
        }
        if (!in_table) continue;
        if (!line.starts_with("|")) break;
        if (line.starts_with("|---")) continue;
        // | "Cmd", "Cmd" | `ENTRY` ... | mode |
        const auto second = line.find('|', 1);
        const auto third = line.find('|', second + 1);
        const std::string commands = line.substr(1, second - 1);
        const std::string entries = line.substr(second + 1, third - second - 1);
        // The rows for commands that a read turns on name no entry of their own.
        if (entries.find("after a good") != std::string::npos) continue;
        ++rows;
        for (const auto& caption : matches(commands, std::regex("\"([^\"]+)\""))) {
            int found = -1;
            for (std::size_t i = 0; i < kp28setup::kCommandCount; ++i)
                if (kp28setup::caption(static_cast<Command>(i)) == caption)
                    found = static_cast<int>(i);
            ASSERT_GE(found, 0) << "no command \"" << caption << "\"";
            for (const auto& entry :
                 matches(entries, std::regex("`(COM[0-9]+|LPT[0-9]+|USB|USB \\(CdC\\)|LAN)`"))) {
                SCOPED_TRACE(caption + " on " + entry);
                const bool cdc = entry == kp28setup::kCdcEntry;
                const auto changes = kp28setup::port_click_changes(cdc, entry, true);
                const auto& change = changes[static_cast<std::size_t>(found)];
                EXPECT_TRUE(change && *change) << line;
            }
        }
    }
    EXPECT_GE(rows, 4) << "README has no table of entries for the commands";
}

}  // namespace
}  // namespace setuptest
