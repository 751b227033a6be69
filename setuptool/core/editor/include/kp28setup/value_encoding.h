// How a parameter's value lies in the NVM image. Every function checks its
// slot against the image: a slot reaching outside it reads as nothing and
// writes nothing, whatever the description said.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kp28setup/editor.h"

namespace kp28setup::encoding {

using Image = std::array<std::uint8_t, kNvmSize>;

// Bytes a number of this size occupies when read: one for size 1, two for
// any other size (the older tool read every other size as two bytes).
int number_read_width(int size);
// Bytes a number of this size takes when written: two for size 2, else one.
int number_write_width(int size);
// Whether bytes offset .. offset + count - 1 all lie in the image.
bool in_image(int offset, int count);

// The number at the slot: one byte, or two in the model's order (KP28Plus
// least significant first). Two-byte values are read as unsigned, 0 .. 65535,
// so a high byte of 0x80 or more does not turn the value negative. nullopt
// when the slot reaches outside the image.
std::optional<int> read_number(const Image& image, ParameterSlot slot, bool plus);
// Whether stored fits the bytes a write of this size produces.
bool number_fits(int size, int stored);
// Writes stored as the size says; false (and nothing written) when it does not
// fit or the slot reaches outside the image.
bool write_number(Image& image, ParameterSlot slot, int stored, bool plus);

// The text of a string field: its bytes up to the first zero byte, all size
// bytes when the field holds no zero.
std::string read_string(const Image& image, ParameterSlot slot);
// Writes text (single-byte characters) and, when it is shorter than the
// field, a zero byte after it; nothing past the field's size bytes. false
// when the text is longer than the field or the field lies outside the image.
bool write_string(Image& image, ParameterSlot slot, std::string_view text);

// An octet box's text as a number: empty counts as 0; nullopt for anything
// that is not a decimal number in 0 .. 255.
std::optional<int> octet_value(std::string_view text);

}  // namespace kp28setup::encoding
