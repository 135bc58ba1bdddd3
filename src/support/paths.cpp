#include "support/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <vector>

namespace support {

namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return home;
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/";
}

std::string ProgramBaseName() {
  std::array<char, 4096> target{};
  ssize_t length = readlink("/proc/self/exe", target.data(), target.size() - 1);
  if (length <= 0) {
    return "quenzor";
  }
  std::string path(target.data(), static_cast<size_t>(length));
  // The kernel marks an executable replaced on disk while running.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
    path.resize(path.size() - kDeleted.size());
  }
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool HasDriveC(std::string_view path) {
  return path.size() >= 2 && (path[0] == 'C' || path[0] == 'c') && path[1] == ':';
}

}  // namespace

std::string MapDrivePath(std::string_view windowsPath) {
  std::string result;
  std::string_view rest = windowsPath;
  if (HasDriveC(windowsPath)) {
    result = HomeFolder();
    while (result.size() > 1 && result.back() == '/') {
      result.pop_back();
    }
    if (result == "/") {
      result.clear();
    }
    rest.remove_prefix(2);
    if (rest.empty() || (rest.front() != '\\' && rest.front() != '/')) {
      result += '/';
    }
  }
  for (char c : rest) {
    result += c == '\\' ? '/' : c;
  }
  return result;
}

std::string TempFolder() { return MapDrivePath("C:\\Qv\\Temp6\\" + ProgramBaseName() + "\\"); }

}  // namespace support
