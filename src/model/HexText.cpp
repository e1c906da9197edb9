#include "model/HexText.h"

#include <algorithm>

#include "fs/Unicode.h"

namespace qm {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kHeaderPixels = 16;
constexpr int kCharacterGapPixels = 16;  // between the hex part and the characters

// Codes 0x80-0x9F of the Western Windows code page; 0 where it has no character.
constexpr char32_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char32_t CharacterOf(uint8_t byte) {
  if (byte < 0x20 || byte == 0x7F) return U'.';
  if (byte >= 0x80 && byte < 0xA0) return kWindows1252High[byte - 0x80] ? kWindows1252High[byte - 0x80] : U'.';
  if (byte == 0xAD) return U'.';  // the soft hyphen is drawn as nothing at all
  return byte;
}


}  // namespace

THexLayout HexLayout(int width, int height, int itemWidth, int itemHeight, bool showAddress, bool showCharacters,
                     int32_t dataSize) {
  itemWidth = std::max(itemWidth, 1);
  itemHeight = std::max(itemHeight, 1);
  THexLayout layout;
  // A view lower than its header still has room for the one line it starts to show.
  layout.VisibleLines = std::max((height - kHeaderPixels) / itemHeight + 1, 1);
  const int columns = width / itemWidth - (showAddress ? kHexAddressCells : 0);
  layout.BytesPerLine = std::clamp(columns / (showCharacters ? 4 : 3), 1, kHexMaxBytesPerLine);
  const int32_t size = std::max(dataSize, 0);
  layout.LineCount = size / layout.BytesPerLine + (size % layout.BytesPerLine ? 1 : 0);
  return layout;
}

int32_t HexClampLine(int64_t line, int32_t lineCount) {
  return static_cast<int32_t>(std::clamp<int64_t>(line, 0, std::max(lineCount - 1, 0)));
}

int32_t HexScrollTarget(HexScroll request, int32_t topLine, int64_t position, const THexLayout& layout) {
  const int64_t page = layout.VisibleLines - 1;
  int64_t target = topLine;
  switch (request) {
    case HexScroll::LineUp: target = topLine - 1; break;
    case HexScroll::LineDown: target = topLine + 1; break;
    case HexScroll::PageUp: target = topLine - page; break;
    case HexScroll::PageDown: target = topLine + page; break;
    case HexScroll::Position: target = position; break;
  }
  return HexClampLine(target, layout.LineCount);
}

int32_t HexTopForCurrentLine(int32_t line, int32_t topLine, const THexLayout& layout) {
  int64_t top = topLine;
  if (line < topLine)
    top = line;
  else if (line >= int64_t{topLine} + layout.VisibleLines - 1)
    top = int64_t{line} - std::max(layout.VisibleLines - 2, 0);
  return HexClampLine(top, layout.LineCount);
}

std::span<const uint8_t> HexLineBytes(std::span<const uint8_t> data, int32_t line, int32_t bytesPerLine) {
  if (line < 0 || bytesPerLine < 1) return {};
  const uint64_t start = uint64_t(line) * uint64_t(bytesPerLine);
  if (start >= data.size()) return {};
  return data.subspan(start, std::min<uint64_t>(uint64_t(bytesPerLine), data.size() - start));
}

std::string HexOffsetText(uint32_t offset) {
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, offset >>= 4) text[size_t(i)] = kHexDigits[offset & 0xF];
  return text;
}

std::string HexBytesText(std::span<const uint8_t> bytes, char separator) {
  std::string text;
  for (size_t k = 0; k < bytes.size(); ++k) {
    if (k > 0) text += separator;
    text += kHexDigits[bytes[k] >> 4];
    text += kHexDigits[bytes[k] & 0xF];
  }
  return text;
}

std::string HexCharsText(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t byte : bytes) AppendUtf8(text, CharacterOf(byte));
  return text;
}

THexColumns HexColumns(int itemWidth, int32_t bytesPerLine, bool showAddress) {
  const int a = showAddress ? kHexAddressCells * itemWidth : 0;
  THexColumns columns;
  columns.Hex = 1 + a;
  columns.Characters = bytesPerLine * 3 * itemWidth + a + kCharacterGapPixels;
  columns.AddressRule = a - 8;
  columns.HexRule = 3 * kHexMaxBytesPerLine * itemWidth + itemWidth + a - 4;
  return columns;
}

std::string HexSectorCaption(uint64_t sector, uint64_t total) {
  return " Sector " + std::to_string(sector) + " of " + std::to_string(total);
}

std::string HexHeaderLine() {
  std::string text = " Offset   ";
  for (int k = 0; k < kHexMaxBytesPerLine; ++k) {
    if (k > 0) text += ' ';
    text += HexOffsetText(uint32_t(k)).substr(6);
  }
  return text;
}

std::string HexTextLine(std::span<const uint8_t> data, int32_t line) {
  const std::span<const uint8_t> bytes = HexLineBytes(data, line, kHexMaxBytesPerLine);
  std::string hex = HexBytesText(bytes, ' ');
  hex.resize(3 * kHexMaxBytesPerLine - 1, ' ');  // the characters stay in their column on a short line
  return HexOffsetText(uint32_t(line) * kHexMaxBytesPerLine) + "  " + hex + "   " + HexCharsText(bytes);
}

}  // namespace qm
