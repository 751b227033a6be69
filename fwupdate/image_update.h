// The update operation: recognise the layout of a local firmware image, check
// it, turn it into an image size, an optional 256-byte header and a data file,
// and run the printer's download sequence with them.
#pragma once

#include <cstddef>
#include <string>

#include "gunzip.h"
#include "platform/platform.h"
#include "printer_commands.h"
#include "result.h"

namespace fwupdate {

// Temporary files of the operation in the working directory; %d is the pid.
inline constexpr const char kGunzipImagePattern[] = "_image_%d.gunzip";
inline constexpr const char kClearImagePattern[] = "_image_%d.clear";

// The largest compressed image file that is read.
// A compressed file can only be loaded when it unpacks into the 8 MiB
// buffer, so a larger file is refused before it is read into memory. No
// encoder spends more than 16 bits on an output byte: a literal costs at most
// 15 bits, a match at most 48 bits (length code and extra bits, distance code
// and extra bits) for at least 3 bytes, and stored blocks add 5 bytes in
// 65535. So 8 MiB of output never takes more than 16 MiB of deflate data;
// the margin of 1 MiB covers block headers, the gzip header's fields, the
// trailer and the image header in front. (Deflate's best ratio, about 1032:1,
// bounds the other way: a small file may still unpack to the whole 8 MiB.)
// Only padding that no packing tool writes, such as runs of empty blocks,
// could make a longer file that still fits.
inline constexpr std::size_t kMaxPackedImageSize = 2 * kUnpackBufferSize + 1048576;

// Every failure has been announced; its text is the last message that said
// why. Anything but a regular file is refused (without waiting for a writer
// of a FIFO).
Result update_image(PrinterCommands& commands, const std::string& image_path);
// The same with an image file already open for reading, closed here.
Result update_image(PrinterCommands& commands, platform::File image);

}  // namespace fwupdate
