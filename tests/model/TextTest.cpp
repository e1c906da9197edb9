// Text from disks made fit for a terminal.
#include "model/Text.h"

#include <gtest/gtest.h>

#include <vector>

namespace qm {
namespace {

TEST(PrintableText, ControlCharactersAndBrokenUtf8BecomeQuestionMarks) {
  const struct {
    std::string in, out;
  } cases[] = {
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
}

// Labels stored as UTF-16: each code point in as few UTF-8 bytes as it takes, a pair of
// surrogates as one code point, a lone surrogate as U+FFFD, the first NUL as the end.
TEST(Utf16LeToUtf8, EncodesEachCodePointAtItsBoundaries) {
  const struct {
    std::vector<uint8_t> in;
    std::string out;
  } cases[] = {
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

TEST(TrimBlanks, DropsBlanksAndControlsAtBothEnds) {
  EXPECT_EQ(TrimBlanks(""), "");
  EXPECT_EQ(TrimBlanks(" \t\x7F "), "");
  EXPECT_EQ(TrimBlanks("\x01 NO NAME \x7F"), "NO NAME");
}

}  // namespace
}  // namespace qm
