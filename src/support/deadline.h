#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace support {

// A point in time that several steps of one task count against: each step takes the smaller
// of its own bound and what is left, so the steps together never outlast the task's budget.
// Copyable; all copies share the same end.
class TDeadline {
 public:
  using TClock = std::chrono::steady_clock;

  explicit TDeadline(std::chrono::milliseconds budget) : m_end(TClock::now() + budget) {}

  // Milliseconds left, rounded down; 0 once the end has passed.
  int32_t Remaining() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - TClock::now());
    return static_cast<int32_t>(std::clamp<int64_t>(left.count(), 0, INT32_MAX));
  }

  // A step's own bound, cut to what is left.
  int32_t Clip(int32_t stepMs) const { return std::min(stepMs, Remaining()); }

 private:
  TClock::time_point m_end;
};

}  // namespace support
