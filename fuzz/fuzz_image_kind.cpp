// Image recognition on a file's first bytes, then the decoder on the gzip
// stream of a zipped kind, as the update operation runs them.
#include "fuzz_check.h"
#include "image_kind.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fwupdate::ImageKind;
    const auto r = fwupdate::recognise_image({data, size});
    if ((r.kind == ImageKind::Unknown) != r.announcement.empty()) std::abort();
    if (r.kind == ImageKind::Unknown && r.verdict.text != "Input Image Bad ELF Code") std::abort();
    if (!r.verdict.text.empty() && r.verdict.text != "Input Image Bad CRC Code" &&
        r.verdict.text != "Input Image Bad ELF Code")
        std::abort();
    const bool zipped =
        r.kind == ImageKind::ZippedWithoutHeader || r.kind == ImageKind::ZippedWithHeader;
    if (zipped != (r.gzip_offset != 0)) std::abort();
    if (r.ok() && zipped && r.gzip_offset <= size)
        fuzzcheck::check(data + r.gzip_offset, size - r.gzip_offset);
    return 0;
}
