#include "kp28/protocol/model.h"

#include "kp28/nvm_crc.h"

namespace kp28 {

std::string_view model_name(Model m) {
    return is_plus(m) ? "KP28Plus" : "KP28";
}

std::array<std::uint8_t, 4> model_nvm_checksum(Model m, std::span<const std::uint8_t> image) {
    return nvm_crc(image, image.size(), is_plus(m));
}

}  // namespace kp28
