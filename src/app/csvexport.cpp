#include "app/csvexport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "app/applog.h"
#include "app/safetext.h"
#include "support/paths.h"
#include "support/posix.h"

namespace app {

namespace {

constexpr int kWriteAttempts = 6;

bool WriteAll(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n =
        support::RetryOnEintr([&] { return ::write(fd, text.data() + done, text.size() - done); });
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// mkdir -p of the folder part of path; an existing folder is fine.
void CreateFolders(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string folder = path.substr(0, slash);
  for (size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos != folder.size() && folder[pos] != '/') continue;
    const std::string part = folder.substr(0, pos);
    if (::mkdir(part.c_str(), 0777) < 0 && errno != EEXIST) return;
  }
}

// The mode of the file that a rewrite replaces, so that a user's chmod outlives the rewrite;
// 0600 for a new file: a list of the LAN's devices is nobody else's business.
mode_t KeptMode(const std::string& path) {
  struct stat old {};
  if (::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) return old.st_mode & 0777;
  return 0600;
}

bool WriteOnce(const std::string& path, std::string_view text) {
  CreateFolders(path);
  // The temporary file lies beside the target (rename only replaces within one file system)
  // under a name that nobody can guess or plant beforehand.
  std::string temporary = path + ".XXXXXX";
  support::TUniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return false;
  // The data reaches the disk before the rename, so a crash leaves either file whole.
  const bool written = ::fchmod(fd.Get(), KeptMode(path)) == 0 && WriteAll(fd.Get(), text) &&
                       support::RetryOnEintr([&] { return ::fdatasync(fd.Get()); }) == 0;
  fd.Reset();
  if (written && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

// The length of the UTF-8 blank at the start of text: an ASCII space or control whitespace, or
// a Unicode space separator (no-break space, the en/em spaces, ideographic space, ...); 0 when
// text starts with anything else.
size_t BlankLength(std::string_view text) {
  if (text.empty()) return 0;
  if (std::string_view(" \t\r\n\v\f").find(text.front()) != std::string_view::npos) return 1;
  static constexpr std::string_view kSpaces[] = {
      "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005",
      "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u202F", "\u205F", "\u3000"};
  for (const std::string_view space : kSpaces) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

// True when a spreadsheet would read field as a formula (CSV injection): it starts with TAB or
// CR, or its first character after any blanks is "=", "+", "-" or "@" (spreadsheets skip
// leading blanks before they look for a formula).
bool IsFormulaStart(std::string_view field) {
  if (!field.empty() && (field.front() == '\t' || field.front() == '\r')) return true;
  for (size_t length = BlankLength(field); length != 0; length = BlankLength(field)) {
    field.remove_prefix(length);
  }
  return !field.empty() && std::string_view("=+-@").find(field.front()) != std::string_view::npos;
}

}  // namespace

std::string CsvField(std::string_view text) {
  std::string field = CleanText(text);
  // A leading "'" makes a formula plain text again, and the quotes keep it whole.
  const bool formulaStart = IsFormulaStart(field);
  if (formulaStart) field.insert(0, 1, '\'');
  if (!formulaStart && field.find_first_of(";\"\r\n\t") == std::string::npos) return field;
  std::string quoted = "\"";
  for (const char c : field) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string ExportText(const THostTable& table, uint64_t* changeCount) {
  std::string text = std::string(kExportHeader) + "\r\n";
  table.ReadRows([&](const std::vector<HostRecord>& rows, int32_t rowCount, uint64_t changes) {
    for (int32_t i = 0; i < rowCount; ++i) {
      const HostRecord& row = rows[i];
      text += CsvField(row.HostName) + ';' + CsvField(row.IpAddress) + ';' + CsvField(row.Vendor) +
              ';' + CsvField(row.Title) + ';' + CsvField(row.MacAddress) + "\r\n";
    }
    if (changeCount) *changeCount = changes;
  });
  return text;
}

bool WriteTextFile(const std::string& path, std::string_view text) {
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    if (WriteOnce(path, text)) return true;
  }
  return false;
}

std::string ExportPath() { return support::MapDrivePath("C:\\quenZOR.csv"); }

bool ExportCsv(const THostTable& table, const std::string& path, uint64_t* changeCount) {
  try {
    uint64_t changes = 0;
    const std::string text = ExportText(table, &changes);
    if (!WriteTextFile(path, text)) return false;
    if (changeCount) *changeCount = changes;
    return true;
  } catch (const std::exception& error) {
    // The export never reaches the user; the next one tries again.
    qCDebug(lcApp, "export to %s failed: %s", path.c_str(), error.what());
    return false;
  } catch (...) {
    qCDebug(lcApp, "export to %s failed: unknown exception", path.c_str());
    return false;
  }
}

}  // namespace app
