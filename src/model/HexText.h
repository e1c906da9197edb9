#pragma once
// How the sector viewer lays out a byte buffer: lines of an offset, the bytes in hexadecimal
// and the bytes as characters, at up to 16 bytes per line. The window paints these texts in
// its own pixel layout; quillmark-cli prints them as text.
#include <cstdint>
#include <span>
#include <string>

namespace qm {

constexpr int32_t kHexMaxBytesPerLine = 16;
constexpr int kHexAddressCells = 10;  // the offset column with its margin, in character cells

struct THexLayout {
  int32_t VisibleLines = 1;  // data lines that fit, a partly visible last one counted
  int32_t BytesPerLine = 1;
  int32_t LineCount = 0;     // lines of the buffer
};

// The layout of `dataSize` bytes in a view of `width` x `height` pixels whose character cells
// are `itemWidth` x `itemHeight`. The two header rows take 16 pixels and a line; a line holds
// what fits of 1 to 16 bytes, each taking three cells in the hex part and one in the
// character part. Cells smaller than a pixel count as one pixel.
THexLayout HexLayout(int width, int height, int itemWidth, int itemHeight, bool showAddress, bool showCharacters,
                     int32_t dataSize);

enum class HexScroll { LineUp, LineDown, PageUp, PageDown, Position };

// `line` kept within the buffer's lines: 0 to lineCount - 1, and 0 when there are none.
int32_t HexClampLine(int64_t line, int32_t lineCount);
// The top line after scrolling from `topLine`; `position` is the target of HexScroll::Position.
int32_t HexScrollTarget(HexScroll request, int32_t topLine, int64_t position, const THexLayout& layout);
// The top line that brings the current line `line` (already clamped) into view: it becomes the
// top when above the view, the last fully visible line when at or below it.
int32_t HexTopForCurrentLine(int32_t line, int32_t topLine, const THexLayout& layout);

// The bytes of line `line`: BytesPerLine of them, fewer on the last line, none beyond it.
std::span<const uint8_t> HexLineBytes(std::span<const uint8_t> data, int32_t line, int32_t bytesPerLine);

// "000001F0": eight upper-case hex digits.
std::string HexOffsetText(uint32_t offset);
// "EB 3C 90" with `separator` between the bytes: 3n - 1 characters.
std::string HexBytesText(std::span<const uint8_t> bytes, char separator);
// One character per byte, as UTF-8. A zero byte, the control codes and the codes no
// character stands for show as "."; codes 0x80 to 0x9F as the Western Windows code page has
// them, the others as Latin-1. Every character takes one cell, and none drives a terminal.
std::string HexCharsText(std::span<const uint8_t> bytes);

// Pixel columns of the view for character cells `itemWidth` wide.
struct THexColumns {
  int Hex = 1;         // the hex part; the offset stands at x = 1 when shown
  int Characters = 0;  // the character part
  int AddressRule = 0; // the double line after the offset column (and the line 2 pixels right of it)
  int HexRule = 0;     // the line after the hex part of 16 bytes
};
THexColumns HexColumns(int itemWidth, int32_t bytesPerLine, bool showAddress);

// " Sector 5 of 4294967296": the head of a sector as the viewer's status bar and `dump` show
// it, `total` being the disk's whole count (its last sector is total - 1).
std::string HexSectorCaption(uint64_t sector, uint64_t total);

// The text form at 16 bytes per line, laid out as the view is: the header row
// " Offset   00 01 .. 0F", then per line the offset, the hex part and the characters.
std::string HexHeaderLine();
std::string HexTextLine(std::span<const uint8_t> data, int32_t line);

}  // namespace qm
