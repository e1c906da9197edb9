// Text from disks made fit for a terminal, and the hex dump's layout, scrolling and lines.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "model/HexText.h"
#include "model/Text.h"

namespace qm {
namespace {

TEST(PrintableText, ControlCharactersAndBrokenUtf8BecomeQuestionMarksAndBlanksAreTrimmed) {
  const struct { std::string in, out; } cases[] = {
      {"DATA 1", "DATA 1"},
      {"\xC3\x84rger \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\x84rger \xE2\x82\xAC \xF0\x9F\x98\x80"},  // kept whole
      {std::string("A\0B", 3), "A?B"},
      {"\x1b[2J\n\t\x7f", "?[2J???"},
      {"\xC2\x9B" "2J\xC2\x80\xC2\x9F\xC2\xA0", "?2J??\xC2\xA0"},  // C1 controls; U+00A0 is no control
      {"\x9B" "2J", "?2J"},                                         // a lone C1 byte
      {"\xC0\xAF\xE0\x80\xAF", "?????"},                            // overlong forms
      {"\xED\xA0\x80", "???"},                                      // a surrogate
      {"\xF4\x90\x80\x80", "????"},                                 // beyond U+10FFFF
      {"ab\xE2\x82", "ab??"},                                       // cut short
  };
  for (const auto& c : cases) EXPECT_EQ(PrintableText(c.in), c.out) << c.in;
  // Labels lose blanks and controls at both ends.
  EXPECT_EQ(TrimBlanks(" \t\x7F "), "");
  EXPECT_EQ(TrimBlanks("\x01 NO NAME \x7F"), "NO NAME");
}

// Labels stored as UTF-16: each code point in as few UTF-8 bytes as it takes, a pair of
// surrogates as one code point, a lone surrogate as U+FFFD, the first NUL as the end.
TEST(Utf16LeToUtf8, EncodesEachCodePointAtItsBoundaries) {
  const struct { std::vector<uint8_t> in; std::string out; } cases[] = {
      {{'A', 0, 0x7F, 0}, "A\x7F"},
      {{0x80, 0x00, 0xFF, 0x07}, "\xC2\x80\xDF\xBF"},           // U+0080, U+07FF
      {{0x00, 0x08, 0xFF, 0xFF}, "\xE0\xA0\x80\xEF\xBF\xBF"},  // U+0800, U+FFFF
      {{0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},           // U+1F600 as a surrogate pair
      {{0xFF, 0xDB, 0xFF, 0xDF}, "\xF4\x8F\xBF\xBF"},           // U+10FFFF
      {{0x3D, 0xD8, 'A', 0}, "\xEF\xBF\xBD" "A"},                // a high surrogate alone
      {{0x00, 0xDC, 0x3D, 0xD8}, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // a low one, a high one at the end
      {{'A', 0, 0, 0, 'B', 0}, "A"},
      {{'A', 0, 'B'}, "A"},  // half a unit
  };
  for (const auto& c : cases) EXPECT_EQ(Utf16LeToUtf8(c.in), c.out) << c.out;
}

TEST(HexText, LayoutFitsLinesAndBytesToTheViewAndScrollingStaysOnThem) {
  const struct { int width, height; bool address, characters; int32_t size, visible, perLine, lines; } cases[] = {
      {621, 374, true, true, 512, 22, 16, 32},    // the sector viewer's dump, 8 x 17 cells
      {13 * 8, 374, true, true, 512, 22, 1, 512}, // fewer than 14 cells still show one byte
      {4000, 374, true, true, 100, 22, 16, 7},    // never more than 16; a short last line counts
      {40 * 8, 374, false, false, 512, 22, 13, 40},
      {40 * 8, 5, false, true, 512, 1, 10, 52},   // lower than the header: one line
  };
  for (const auto& c : cases) {
    const THexLayout layout = HexLayout(c.width, c.height, 8, 17, c.address, c.characters, c.size);
    EXPECT_EQ(layout.VisibleLines, c.visible) << c.width;
    EXPECT_EQ(layout.BytesPerLine, c.perLine) << c.width;
    EXPECT_EQ(layout.LineCount, c.lines) << c.width;
  }
  // The hex part follows the offset column, or starts at x = 1 without it.
  EXPECT_EQ(HexColumns(8, 16, true).Hex, 81);
  EXPECT_EQ(HexColumns(8, 16, false).Hex, 1);
  EXPECT_EQ(HexColumns(8, 16, false).Characters, 16 * 3 * 8 + 16);
  // Scrolling stays on the buffer's lines (the keys themselves: SectorViewerTest): an empty one
  // never scrolls to line -1; a current line below the view becomes its last full line, and is
  // shown in a one-line view.
  const THexLayout sector{10, 16, 32};
  EXPECT_EQ(HexScrollTarget(HexScroll::LineDown, 0, 0, THexLayout{10, 16, 0}), 0);
  EXPECT_EQ(HexScrollTarget(HexScroll::Position, 0, 7, THexLayout{10, 16, 0}), 0);
  EXPECT_EQ(HexScrollTarget(HexScroll::PageDown, 25, 0, sector), 31);
  EXPECT_EQ(HexTopForCurrentLine(14, 5, sector), 6);
  EXPECT_EQ(HexTopForCurrentLine(4, 0, THexLayout{1, 16, 32}), 4);
}

TEST(HexText, LinesShowOnlyTheBytesOfTheBuffer) {
  std::vector<uint8_t> data(100);
  std::iota(data.begin(), data.end(), uint8_t{0});
  EXPECT_EQ(HexBytesText(HexLineBytes(data, 6, 16), '\t'), "60\t61\t62\t63");
  EXPECT_TRUE(HexLineBytes(data, 7, 16).empty());
  EXPECT_EQ(HexTextLine(data, 6), "00000060  60 61 62 63" + std::string(39, ' ') + "`abc");
  // Zero, control codes and codes without a character are dots; nothing reaches a terminal raw.
  const std::vector<uint8_t> mixed{0x00, 'A', ' ', 0x0A, 0x1B, 0x7F, 0x80, 0x81, 0xAA, 0xAD, 0xFF};
  EXPECT_EQ(HexCharsText(mixed), ".A ...\u20AC.\u00AA.\u00FF");
}

}  // namespace

}  // namespace qm
