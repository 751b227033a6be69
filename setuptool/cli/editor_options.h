// kp28setup's view of the parameter editor: the rows as JSON or as a table,
// edits given as LABEL=VALUE through the editor's change handlers, and the
// build from a stored description and image.
#pragma once

#include <kp28setup/editor.h>

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace kp28setup_cli {

// The rows, one object each, in description order.
nlohmann::json parameters_json(const kp28setup::Editor& ed);
// parameters, editor_height and warnings, added to a report.
void add_editor_report(nlohmann::json& j, const kp28setup::Editor& ed);
void print_parameters(std::ostream& out, const kp28setup::Editor& ed);

// Each edit "LABEL=VALUE" or "#ROW=VALUE" goes through the handler the window
// would call. Returns the refusals (empty: every edit reached the image).
std::vector<std::string> apply_edits(kp28setup::Editor& ed, const std::vector<std::string>& edits);

// read --modules FILE --image FILE: the build from files, no printer.
int run_stored_description(const std::string& modules, const std::string& image, bool plus,
                           bool json);

}  // namespace kp28setup_cli
