#include "support/posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

namespace support {
namespace {

// A system call stand-in: -1 with EINTR for the first `interruptions` calls, then -1 with
// failErrno when that is set, else result.
struct TScriptedCall {
  int interruptions;
  int failErrno;
  int result;
  int calls = 0;
  int operator()() {
    ++calls;
    if (calls <= interruptions) {
      errno = EINTR;
      return -1;
    }
    if (failErrno != 0) {
      errno = failErrno;
      return -1;
    }
    return result;
  }
};

TEST(RetryOnEintr, RetriesOnlyWhileInterrupted) {
  struct TCase {
    int interruptions, failErrno, result, expectedResult, expectedCalls;
  };
  for (const TCase& c : {TCase{0, 0, 7, 7, 1}, TCase{3, 0, 0, 0, 4}, TCase{2, EAGAIN, 0, -1, 3},
                         TCase{0, EBADF, 0, -1, 1}}) {
    TScriptedCall call{c.interruptions, c.failErrno, c.result};
    EXPECT_EQ(RetryOnEintr([&] { return call(); }), c.expectedResult);
    EXPECT_EQ(call.calls, c.expectedCalls);
    if (c.failErrno != 0) {
      EXPECT_EQ(errno, c.failErrno);
    }
  }
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesOnceAndMoves) {
  int raw = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    TUniqueFd first(raw);
    EXPECT_TRUE(first);
    TUniqueFd second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.Get(), raw);
    TUniqueFd third;
    third = std::move(second);
    EXPECT_EQ(third.Get(), raw);
    EXPECT_TRUE(IsOpen(raw));
  }
  EXPECT_FALSE(IsOpen(raw));

  TUniqueFd kept(open("/dev/null", O_RDONLY | O_CLOEXEC));
  int released = kept.Release();
  EXPECT_FALSE(kept);
  EXPECT_TRUE(IsOpen(released));
  kept.Reset(released);
  kept.Reset();
  EXPECT_FALSE(IsOpen(released));
}

TEST(ScopeGuard, RunsOnceUnlessDismissed) {
  int runs = 0;
  {
    auto guard = ScopeExit([&] { ++runs; });
  }
  EXPECT_EQ(runs, 1);
  {
    auto guard = ScopeExit([&] { ++runs; });
    guard.Dismiss();
  }
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace support
