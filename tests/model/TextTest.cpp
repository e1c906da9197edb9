// Text from disks made fit for a terminal.
#include "model/Text.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qm
