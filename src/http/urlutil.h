#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace http {

class TStream;

// Small pure helpers on byte strings shared by the socket layer and the HTTP exchange.
// Nothing here keeps state; every function is safe on any thread.

// Removes leading and trailing bytes with codes 0 to 32.
std::string Trim(const std::string& text);
// Removes leading and trailing blanks (code 32) only.
std::string TrimBlanks(const std::string& text);
// ASCII-only case changes: other bytes pass unchanged whatever the locale.
std::string UpperCase(const std::string& text);
std::string LowerCase(const std::string& text);

// The text before the first delimiter; the whole text when the delimiter does not occur.
std::string TextBefore(const std::string& text, const std::string& delimiter);
// The text after the first delimiter; the whole text when the delimiter does not occur.
std::string TextAfter(const std::string& text, const std::string& delimiter);
// Cuts the first field off text at delimiter; field and rest are blank-trimmed. The rest is
// empty when text holds no delimiter.
std::string TakeField(std::string& text, const std::string& delimiter);

struct TUrlParts {
  std::string Protocol;
  std::string User;
  std::string Password;
  std::string Host;
  std::string Port;
  std::string Path;
  std::string Parameters;
};

// Splits url into its parts and returns the request target: "/" + everything after the host
// part, query included.
std::string SplitUrl(const std::string& url, TUrlParts& parts);

// Reads up to count bytes from the stream's position; as many bytes as were read.
std::string ReadStreamText(TStream& stream, int64_t count);
// Writes every byte of text at the stream's position.
void WriteStreamText(TStream& stream, const std::string& text);

// One logical header line starting at lines[index] with its continuation lines (RFC 7230
// section 3.2.4 obs-fold) joined by one blank; index moves past every raw line used.
std::string UnfoldHeader(const std::vector<std::string>& lines, size_t& index);

bool IsIPv4Literal(const std::string& text);
bool IsIPv6Literal(const std::string& text);

struct TLineEnd {
  int64_t Position = 0;  // 1-based position of the line end; below 1 when there is none
  std::string Text;      // CR LF, LF CR, CR or LF
};

// The first CR or LF of text, taken with the next byte when the two form CR LF or LF CR.
// The search may start at from (the position stays counted from the start of text).
TLineEnd FindLineEnd(const std::string& text, size_t from = 0);

// Standard Base64 (RFC 4648 section 4) with "=" padding and no line breaks.
std::string Base64Encode(const std::string& text);

// Milliseconds of the monotonic clock, wrapping at 2^32.
uint32_t TickNow();
// Milliseconds from oldTick to newTick across one wrap of the 32-bit tick.
uint32_t TickSpan(uint32_t oldTick, uint32_t newTick);

// Strict numbers of a 32-bit signed integer: an optional sign then decimal digits, or
// hexadecimal digits only (no sign, no prefix). False on anything else, empty text and values
// outside the 32-bit signed range included.
bool ParseDecimal32(const std::string& text, int32_t& value);
bool ParseHex32(const std::string& text, int32_t& value);

}  // namespace http
