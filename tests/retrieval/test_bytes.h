// Image-like test contents.
#pragma once

#include <cstddef>
#include <string>

namespace retrieval_test {

// Every byte value, CR LF pairs, lone CRs and LFs and a trailing CR: whatever
// a text-mode transfer would change is in here.
std::string every_byte_value(std::size_t repeats);

// size bytes that do not repeat in any short period, seeded.
std::string pseudo_random_bytes(std::size_t size, unsigned seed);

// The names in dir that start with prefix.
std::size_t count_entries_starting_with(const std::string& dir, const std::string& prefix);

}  // namespace retrieval_test
