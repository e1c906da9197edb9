#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fs/Unicode.h"

namespace qm {

// Removes leading and trailing blanks and control characters.
std::string TrimBlanks(std::string_view text);

// Text from a disk as a terminal may show it: every control character (C0, DEL, and C1
// U+0080-U+009F, which terminals obey as escapes just the same) and every byte that is not
// part of well-formed UTF-8 becomes "?". Everything else stays as it is.
std::string PrintableText(std::string_view text);

}  // namespace qm
