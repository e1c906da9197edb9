#include "model/Text.h"

namespace qm {
namespace {

// The length of the well-formed UTF-8 sequence at `at` and its code point; 0 when the bytes
// there are no such sequence (a stray continuation byte, an overlong form, a surrogate, a
// sequence cut short or beyond U+10FFFF).
size_t DecodeUtf8(std::string_view text, size_t at, uint32_t& cp) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const uint8_t c = byte(at + i);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  return length;
}

}  // namespace

std::string PrintableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    uint32_t cp = 0;
    const size_t length = DecodeUtf8(text, at, cp);
    if (length == 0) {
      out += '?';
      ++at;
      continue;
    }
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F))
      out += '?';
    else
      out.append(text.substr(at, length));
    at += length;
  }
  return out;
}


std::string TrimBlanks(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; };
  size_t b = 0, e = text.size();
  while (b < e && blank(text[b])) ++b;
  while (e > b && blank(text[e - 1])) --e;
  return std::string(text.substr(b, e - b));
}

}  // namespace qm
