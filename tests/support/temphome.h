#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace support::test {

// A fresh folder that stands in for the user's home while a test runs; the previous $HOME
// comes back and the folder goes away at the end.
class TTempHome {
 public:
  TTempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qzhome.XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      m_path = pattern;
    }
    if (const char* old = getenv("HOME"); old != nullptr) {
      m_oldHome = old;
    }
    setenv("HOME", m_path.c_str(), 1);
  }
  ~TTempHome() {
    if (m_oldHome) {
      setenv("HOME", m_oldHome->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TTempHome(const TTempHome&) = delete;
  TTempHome& operator=(const TTempHome&) = delete;

  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  std::optional<std::string> m_oldHome;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace support::test
