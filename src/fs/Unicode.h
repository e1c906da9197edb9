#pragma once
// Text as file systems keep it, turned into UTF-8.
#include <cstdint>
#include <span>
#include <string>

namespace qm {

// Appends the code point `cp` to `out` in UTF-8.
void AppendUtf8(std::string& out, uint32_t cp);

// UTF-16LE bytes to UTF-8, stopping at the first zero character. Unpaired surrogates become
// U+FFFD.
std::string Utf16LeToUtf8(std::span<const uint8_t> bytes);

}  // namespace qm
