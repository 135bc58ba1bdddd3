#include "platform/privileges.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

// The raw system calls: libcap would be a library for two calls.
bool ReadCapabilities(__user_cap_data_struct (&data)[_LINUX_CAPABILITY_U32S_3]) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capget, &header, data) == 0;
}

}  // namespace

bool DropCapabilities() {
  // The ambient set first: a capability can stay ambient only while it is permitted and
  // inheritable, but clearing it explicitly does not depend on that rule. EINVAL means a
  // kernel without ambient capabilities, which has nothing to clear.
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, none) != 0) return false;
  return !HoldsAnyCapability();
}

bool HoldsAnyCapability() {
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (!ReadCapabilities(data)) return true;  // cannot tell: assume the worst
  for (const auto& word : data) {
    if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0) return true;
  }
  return false;
}

}  // namespace platform
