// The update operation: recognise the layout of a local firmware image, check
// it, turn it into an image size, an optional 256-byte header and a data file,
// and run the printer's download sequence with them.
#pragma once

#include <string>

#include "printer_commands.h"

namespace fwupdate {

// Temporary files of the operation in the working directory; %d is the pid.
inline constexpr const char kGunzipImagePattern[] = "_image_%d.gunzip";
inline constexpr const char kClearImagePattern[] = "_image_%d.clear";

// Returns kOk or kFailed; every failure has been announced.
int update_image(PrinterCommands& commands, const std::string& image_path);

}  // namespace fwupdate
