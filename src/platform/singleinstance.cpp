#include "platform/singleinstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

namespace platform {

namespace {

std::mutex g_lock;
int g_lockFd = -1;

// $XDG_RUNTIME_DIR is the user's own; without it (sudo, su, some ssh sessions) the lock goes
// to /tmp under a name of the user's own, so no other user's copy holds it.
std::string LockPath() {
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir != nullptr && *runtimeDir != '\0') return std::string(runtimeDir) + "/quenZOr.lock";
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
  if (g_lockFd >= 0) return true;
  const std::string path = LockPath();
  int fd;
  do {
    // O_NOFOLLOW: /tmp is shared, a planted symlink must not make us create files elsewhere.
    // O_NONBLOCK: a FIFO in the file's place must not hold the start-up.
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  } while (fd < 0 && errno == EINTR);
  // Without a usable lock file the program runs unguarded rather than not at all: a file that
  // somebody else made must not be able to keep the user's own copy from starting.
  if (fd < 0) return true;
  if (!IsOwnRegularFile(fd)) {
    ::close(fd);
    return true;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    const bool heldElsewhere = errno == EWOULDBLOCK;
    ::close(fd);
    return !heldElsewhere;
  }
  g_lockFd = fd;
  return true;
}

void ReleaseSingleInstance() {
  std::lock_guard guard(g_lock);
  if (g_lockFd < 0) return;
  ::close(g_lockFd);
  g_lockFd = -1;
}

}  // namespace platform
