#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "support/posix.h"

namespace http {

// A stream that cannot do what it was asked: a file that cannot be created or written, a
// read that comes up short.
class EStreamError : public std::runtime_error {
 public:
  explicit EStreamError(const std::string& message) : std::runtime_error(message) {}
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

enum class TSeekOrigin { Beginning, Current, End };

// A byte sequence with a position, as the HTTP client keeps request and response bodies.
class TStream {
 public:
  virtual ~TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  virtual int64_t Size() const = 0;
  virtual int64_t Position() const = 0;
  // Moves the position and returns the new one. Positions below 0 become 0; positions past the
  // end are allowed (a write there fills the gap with zero bytes).
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  // Reads up to count bytes at the position; returns the count read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes at the position; returns the count written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Sets the size; the position stays unless it lies past the new end.
  virtual void SetSize(int64_t size) = 0;

  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::Beginning); }
  // All-or-nothing forms: they raise EReadError / EWriteError when fewer bytes move.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);

 protected:
  TStream() = default;
};

// A stream in memory. Growth is geometric, so a body appended piece by piece costs linear time.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;

  int64_t Size() const override { return m_size; }
  int64_t Position() const override { return m_position; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  void SetSize(int64_t size) override;

  // Makes room for at least capacity bytes without changing the size.
  void Reserve(int64_t capacity);
  // Appending without a copy: room for count bytes after the end, to be filled by the caller
  // and then taken into the stream by CommitAppend (size and position move past them).
  char* PrepareAppend(int64_t count);
  void CommitAppend(int64_t count);
  int64_t Capacity() const { return m_capacity; }
  const char* Data() const { return m_data; }

 private:
  void Grow(int64_t needed);

  char* m_data = nullptr;
  int64_t m_size = 0;
  int64_t m_capacity = 0;
  int64_t m_position = 0;
};

enum class TFileMode {
  Create,     // create or truncate, read and write
  OpenRead,   // existing file, read only
  OpenWrite,  // existing file, read and write
};

// A stream on a file; raises EFCreateError when the file cannot be opened.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& path, TFileMode mode);
  // Takes over fd, a file already open for reading and writing at path.
  TFileStream(const std::string& path, int fd) : m_path(path), m_fd(fd) {}
  ~TFileStream() override;

  int64_t Size() const override;
  int64_t Position() const override { return m_position; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  void SetSize(int64_t size) override;

  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  support::TUniqueFd m_fd;
  int64_t m_position = 0;
};

}  // namespace http
