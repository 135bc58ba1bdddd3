#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace support {

// Calls call until it returns something other than -1 with errno EINTR: a signal that
// arrives during a blocking system call ends the call early, with nothing done.
template <typename TCall>
auto RetryOnEintr(TCall&& call) {
  auto result = call();
  while (result == -1 && errno == EINTR) {
    result = call();
  }
  return result;
}

// Owns one file descriptor and closes it once. close is not retried on EINTR: on Linux the
// descriptor is released either way, and a retry could close one another thread just got.
class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) : m_fd(fd) {}
  ~TUniqueFd() { Reset(); }
  TUniqueFd(TUniqueFd&& other) noexcept : m_fd(other.Release()) {}
  TUniqueFd& operator=(TUniqueFd&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;

  int Get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(m_fd, -1); }
  // Closes the descriptor held, if any, and takes fd.
  void Reset(int fd = -1) {
    int old = std::exchange(m_fd, fd);
    if (old >= 0) {
      ::close(old);
    }
  }

 private:
  int m_fd = -1;
};

// Runs an action when the scope ends, however it ends, unless dismissed first.
template <typename TAction>
class TScopeGuard {
 public:
  explicit TScopeGuard(TAction action) : m_action(std::move(action)) {}
  ~TScopeGuard() {
    if (m_active) {
      m_action();
    }
  }
  TScopeGuard(const TScopeGuard&) = delete;
  TScopeGuard& operator=(const TScopeGuard&) = delete;

  void Dismiss() { m_active = false; }

 private:
  TAction m_action;
  bool m_active = true;
};

template <typename TAction>
[[nodiscard]] TScopeGuard<TAction> ScopeExit(TAction action) {
  return TScopeGuard<TAction>(std::move(action));
}

}  // namespace support
