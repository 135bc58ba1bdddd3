#pragma once

#include <string>
#include <string_view>

#include "app/hosttable.h"

namespace app {

inline constexpr const char* kExportHeader = "host;ip;vendor;title;mac";

// One field as the export writes it: cleaned (CleanText), then as it is, or in double quotes
// with inner quotes doubled when it holds ";", a double quote, CR, LF or TAB, so every line
// keeps exactly five fields. A field that starts with TAB or CR, or whose first character
// after leading blanks is "=", "+", "-" or "@", gets a leading "'" and the quotes, so no
// spreadsheet takes it for a formula.
std::string CsvField(std::string_view text);

// The whole export text: the header, then rows 0 to RowCount - 1 in table order; CR LF after
// every line. changeCount receives the table's change count that the text reflects.
std::string ExportText(const THostTable& table, uint64_t* changeCount = nullptr);

// Writes text as the whole content of path. The new content goes to a temporary file in the
// same folder, which then replaces the old file in one rename, so the old file stays whole until
// the new one is complete. The file keeps the permissions of the one it replaces; a new one
// gets 0600. Missing folders are created. Up to 6 attempts; false when all failed.
bool WriteTextFile(const std::string& path, std::string_view text);

// The export file, ~/quenZOR.csv.
std::string ExportPath();

// Rewrites the export file from the table. Failures are swallowed and reported only by the
// result (false); on success changeCount receives the table's change count that the file holds.
bool ExportCsv(const THostTable& table, const std::string& path, uint64_t* changeCount = nullptr);

}  // namespace app
