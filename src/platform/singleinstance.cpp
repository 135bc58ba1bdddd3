#include "platform/singleinstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

namespace platform {

namespace {

std::mutex g_lock;
int g_lockFd = -1;

std::string LockPath() {
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = runtimeDir && *runtimeDir ? runtimeDir : "/tmp";
  return folder + "/quenZOr.lock";
}

}  // namespace

bool AcquireSingleInstance() {
  std::lock_guard guard(g_lock);
  if (g_lockFd >= 0) return true;
  const std::string path = LockPath();
  int fd;
  do {
    // O_NOFOLLOW: /tmp is shared, a planted symlink must not make us create files elsewhere.
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return true;
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
