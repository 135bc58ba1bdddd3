#include "app/safetext.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace app {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// One decoded character and the bytes it took; a malformed sequence gives U+FFFD for its
// maximal valid prefix (at least one byte), the practice that the Unicode Standard
// recommends (chapter 3, "U+FFFD Substitution of Maximal Subparts").
struct TDecoded {
  char32_t Character;
  size_t Length;
};

TDecoded DecodeOne(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) return {lead, 1};
  // Table 3-7 of the Unicode Standard: the length, and the range of the second byte, which
  // excludes overlong forms, surrogates and values past U+10FFFF.
  size_t length = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {kReplacement, 1};
  }
  char32_t value = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return {kReplacement, i};
    const uint8_t next = byte(at + i);
    const uint8_t min = i == 1 ? low : 0x80;
    const uint8_t max = i == 1 ? high : 0xBF;
    if (next < min || next > max) return {kReplacement, i};
    value = value << 6 | (next & 0x3F);
  }
  return {value, length};
}

struct TRange {
  char32_t First;
  char32_t Last;
};

// Invisible characters that change how text around them is shown or read: the format
// characters (general category Cf, Unicode 15.1: soft hyphen, Arabic number signs, the bidi
// marks, embeddings, overrides and isolates, zero-width space and joiners, word joiner and
// invisible operators, the byte order mark, interlinear annotation, tag characters), and the
// line and paragraph separators (Zl, Zp), which break a line where no line break is seen.
constexpr TRange kInvisible[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE007F},
};

bool IsDropped(char32_t c) {
  if (c < 0x20) return c != '\t' && c != '\r' && c != '\n';
  if (c >= 0x7F && c <= 0x9F) return true;  // DEL and the C1 controls
  return std::any_of(std::begin(kInvisible), std::end(kInvisible),
                     [c](const TRange& range) { return c >= range.First && c <= range.Last; });
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string CleanText(std::string_view text, size_t maxCharacters) {
  std::string out;
  out.reserve(
      std::min(text.size(), maxCharacters == std::string::npos ? text.size() : maxCharacters * 4));
  size_t kept = 0;
  for (size_t at = 0; at < text.size() && kept < maxCharacters;) {
    const TDecoded decoded = DecodeOne(text, at);
    at += decoded.Length;
    if (IsDropped(decoded.Character)) continue;
    AppendUtf8(out, decoded.Character);
    ++kept;
  }
  return out;
}

}  // namespace app
