// Feeds arbitrary bytes to the export's field writer and checks that what reaches the file is
// safe for a spreadsheet and a terminal: no formula start, unless defused by a leading "'"
// inside quotes; no control bytes but CR, LF and TAB, and those only inside quotes; valid
// UTF-8; quotes doubled inside a quoted field.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/csvexport.h"
#include "app/safetext.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsFormulaStart(char c) {
  return std::string_view("=+-@\t\r").find(c) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string field = app::CsvField(input);
  Check(app::CleanText(field) == field);  // valid UTF-8 without the dropped controls

  std::string inner = field;  // the field's text as a spreadsheet reads it
  const bool quoted = field.size() >= 2 && field.front() == '"' && field.back() == '"';
  if (quoted) {
    inner.clear();
    for (size_t i = 1; i + 1 < field.size(); ++i) {
      if (field[i] == '"') {
        Check(field[i + 1] == '"');  // inner quotes come doubled
        ++i;
      }
      inner += field[i];
    }
  }
  for (const char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    Check(byte >= 0x20 || ((c == '\t' || c == '\r' || c == '\n') && quoted));
    Check(byte != 0x7F);
    Check(quoted || (c != ';' && c != '"'));
  }
  // A defused formula starts with "'", which no spreadsheet evaluates.
  Check(inner.empty() || !IsFormulaStart(inner.front()));
  return 0;
}
