#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qm {

// UTF-16LE bytes to UTF-8, stopping at the first zero character. Unpaired surrogates become
// U+FFFD.
std::string Utf16LeToUtf8(std::span<const uint8_t> bytes);

// Removes leading and trailing blanks and control characters.
std::string TrimBlanks(std::string_view text);

// Text from a disk as a terminal may show it: every control character (C0, DEL, and C1
// U+0080-U+009F, which terminals obey as escapes just the same) and every byte that is not
// part of well-formed UTF-8 becomes "?". Everything else stays as it is.
std::string PrintableText(std::string_view text);

}  // namespace qm
