#include "platform/singleinstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "support/posix.h"

namespace platform {

namespace {

std::mutex g_lock;
support::TUniqueFd g_lockFd;

// $XDG_RUNTIME_DIR is the user's own; without it (sudo, su, some ssh sessions) the lock goes
// to /tmp under a name of the user's own, so no other user's copy holds it.
std::string LockPath() {
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir != nullptr && *runtimeDir != '\0')
    return std::string(runtimeDir) + "/quenZOr.lock";
  return "/tmp/quenZOr-" + std::to_string(::geteuid()) + ".lock";
}

// A lock file that is ours to use: a regular file owned by the user. Anything else in its
// place (another user's file planted in /tmp, a FIFO, a device) is not trusted with the guard.
bool IsOwnRegularFile(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid();
}

}  // namespace

bool AcquireSingleInstance() {
  std::lock_guard guard(g_lock);
  if (g_lockFd) return true;
  const std::string path = LockPath();
  // O_NOFOLLOW: /tmp is shared, a planted symlink must not make us create files elsewhere.
  // O_NONBLOCK: a FIFO in the file's place must not hold the start-up.
  support::TUniqueFd fd(support::RetryOnEintr([&] {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  }));
  // Without a usable lock file the program runs unguarded rather than not at all: a file that
  // somebody else made must not be able to keep the user's own copy from starting.
  if (!fd || !IsOwnRegularFile(fd.Get())) return true;
  if (support::RetryOnEintr([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) < 0) {
    return errno != EWOULDBLOCK;  // held elsewhere: another copy runs
  }
  g_lockFd = std::move(fd);
  return true;
}

void ReleaseSingleInstance() {
  std::lock_guard guard(g_lock);
  g_lockFd.Reset();
}

}  // namespace platform
