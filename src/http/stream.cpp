#include "http/stream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace http {

namespace {

int64_t ClampPosition(int64_t base, int64_t offset) {
  if (offset > 0 && base > INT64_MAX - offset) {
    return INT64_MAX;
  }
  return std::max<int64_t>(0, base + offset);
}

std::string ErrnoText(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be the buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

// A large body is written once from start to end: asking for huge pages where the system
// grants them on request saves most of the page faults of the first touch.
void AdviseHugePages(char* data, int64_t capacity) {
  constexpr uintptr_t kHugePage = 2 << 20;
  if (capacity < static_cast<int64_t>(2 * kHugePage)) {
    return;
  }
  uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  uintptr_t end =
      (reinterpret_cast<uintptr_t>(data) + static_cast<uintptr_t>(capacity)) & ~(kHugePage - 1);
  if (end > begin) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
}

}  // namespace

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count) {
    throw EReadError("Stream read error");
  }
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count) {
    throw EWriteError("Stream write error");
  }
}

TMemoryStream::~TMemoryStream() { std::free(m_data); }

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::Beginning ? 0
                 : origin == TSeekOrigin::Current ? m_position
                                                  : m_size;
  m_position = ClampPosition(base, offset);
  return m_position;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || m_position >= m_size) {
    return 0;
  }
  int64_t n = std::min(count, m_size - m_position);
  std::memcpy(buffer, m_data + m_position, static_cast<size_t>(n));
  m_position += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) {
    return 0;
  }
  if (m_position > INT64_MAX - count) {
    throw std::bad_alloc();
  }
  int64_t end = m_position + count;
  if (end > m_capacity) {
    Grow(end);
  }
  if (m_position > m_size) {
    std::memset(m_data + m_size, 0, static_cast<size_t>(m_position - m_size));
  }
  std::memcpy(m_data + m_position, buffer, static_cast<size_t>(count));
  m_position = end;
  m_size = std::max(m_size, end);
  return count;
}

void TMemoryStream::SetSize(int64_t size) {
  size = std::max<int64_t>(0, size);
  if (size > m_capacity) {
    Reserve(size);
  }
  if (size > m_size) {
    std::memset(m_data + m_size, 0, static_cast<size_t>(size - m_size));
  }
  m_size = size;
  m_position = std::min(m_position, m_size);
}

void TMemoryStream::Reserve(int64_t capacity) {
  if (capacity <= m_capacity) {
    return;
  }
  if (static_cast<uint64_t>(capacity) > SIZE_MAX / 2) {
    throw std::bad_alloc();
  }
  void* grown = std::realloc(m_data, static_cast<size_t>(capacity));
  if (grown == nullptr) {
    throw std::bad_alloc();
  }
  m_data = static_cast<char*>(grown);
  m_capacity = capacity;
  AdviseHugePages(m_data, m_capacity);
}

char* TMemoryStream::PrepareAppend(int64_t count) {
  if (count > INT64_MAX - m_size) {
    throw std::bad_alloc();
  }
  if (m_size + count > m_capacity) {
    Grow(m_size + count);
  }
  return m_data + m_size;
}

void TMemoryStream::CommitAppend(int64_t count) {
  m_size = std::min(m_capacity, m_size + std::max<int64_t>(0, count));
  m_position = m_size;
}

void TMemoryStream::Grow(int64_t needed) {
  // Doubling keeps a body written in many small pieces linear in its length.
  int64_t capacity = std::max<int64_t>(4096, m_capacity);
  while (capacity < needed) {
    capacity = capacity > INT64_MAX / 2 ? needed : capacity * 2;
  }
  Reserve(capacity);
}

TFileStream::TFileStream(const std::string& path, TFileMode mode) : m_path(path) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case TFileMode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case TFileMode::OpenRead: flags |= O_RDONLY; break;
    case TFileMode::OpenWrite: flags |= O_RDWR; break;
  }
  m_fd.Reset(support::RetryOnEintr([&] { return open(path.c_str(), flags, 0600); }));
  if (!m_fd) {
    int error = errno;
    const char* verb = mode == TFileMode::Create ? "create" : "open";
    throw EFCreateError("Cannot " + std::string(verb) + " file \"" + path + "\". " +
                        ErrnoText(error));
  }
}

TFileStream::~TFileStream() = default;

int64_t TFileStream::Size() const {
  struct stat info {};
  if (fstat(m_fd.Get(), &info) != 0) {
    return 0;
  }
  return info.st_size;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::Beginning ? 0
                 : origin == TSeekOrigin::Current ? m_position
                                                  : Size();
  m_position = ClampPosition(base, offset);
  return m_position;
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t total = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (total < count) {
    ssize_t n = support::RetryOnEintr([&] {
      return pread(m_fd.Get(), bytes + total, static_cast<size_t>(count - total),
                   static_cast<off_t>(m_position));
    });
    if (n <= 0) {
      break;
    }
    total += n;
    m_position += n;
  }
  return total;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t total = 0;
  const auto* bytes = static_cast<const char*>(buffer);
  while (total < count) {
    ssize_t n = support::RetryOnEintr([&] {
      return pwrite(m_fd.Get(), bytes + total, static_cast<size_t>(count - total),
                    static_cast<off_t>(m_position));
    });
    if (n <= 0) {
      break;
    }
    total += n;
    m_position += n;
  }
  return total;
}

void TFileStream::SetSize(int64_t size) {
  size = std::max<int64_t>(0, size);
  int result =
      support::RetryOnEintr([&] { return ftruncate(m_fd.Get(), static_cast<off_t>(size)); });
  if (result != 0) {
    throw EWriteError("Stream write error");
  }
  m_position = std::min(m_position, size);
}

}  // namespace http
