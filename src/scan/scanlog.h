#pragma once

#include <QLoggingCategory>

#include <string>
#include <string_view>

namespace scan {

// The scan's diagnostics ("quenzor.scan"): debug and info lines stay quiet unless asked for,
// with QT_LOGGING_RULES='quenzor.*=true' for instance. Inline, so the category's one static
// object is shared by every file that logs without a source file of its own.
inline Q_LOGGING_CATEGORY(lcScan, "quenzor.scan", QtWarningMsg);

// Text a device sent, fit for a terminal line: printable ASCII as it is, a backslash doubled,
// every other byte (controls, DEL, anything past ASCII) as \xNN, and at most 200 bytes of the
// text, "..." marking a cut.
inline std::string LogText(std::string_view text) {
  constexpr size_t kMaxLogged = 200;
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text.substr(0, kMaxLogged)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0x0F]};
    }
  }
  if (text.size() > kMaxLogged) out += "...";
  return out;
}

}  // namespace scan
