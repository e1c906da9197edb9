#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace qm {

// UTF-16LE bytes to UTF-8, stopping at the first zero character. Unpaired surrogates become
// U+FFFD.
std::string Utf16LeToUtf8(std::span<const uint8_t> bytes);

// Removes leading and trailing blanks and control characters.
std::string TrimBlanks(std::string_view text);

}  // namespace qm
