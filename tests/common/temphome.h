#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace test {

// A fresh folder under the temporary directory, removed with everything in it at the end.
class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qztest.XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      m_path = pattern;
    }
  }
  ~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// An environment variable set while the object lives; its earlier value, or its absence,
// comes back at the end.
class TScopedEnv {
 public:
  TScopedEnv(std::string name, const std::string& value) : m_name(std::move(name)) {
    if (const char* old = getenv(m_name.c_str()); old != nullptr) {
      m_old = old;
    }
    setenv(m_name.c_str(), value.c_str(), 1);
  }
  ~TScopedEnv() {
    if (m_old) {
      setenv(m_name.c_str(), m_old->c_str(), 1);
    } else {
      unsetenv(m_name.c_str());
    }
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  std::string m_name;
  std::optional<std::string> m_old;
};

// A fresh folder that stands in for the user's home while a test runs (the exchange log,
// temporary files and the export go there); the previous $HOME comes back at the end.
class TTempHome {
 public:
  const std::string& Path() const { return m_dir.Path(); }

 private:
  TTempDir m_dir;
  TScopedEnv m_home{"HOME", m_dir.Path()};
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace test
