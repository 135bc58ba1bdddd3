#pragma once

// The program may be installed with a file capability (cap_net_raw, for raw ARP). It uses it
// once, first thing in main, to open what needs it, and then gives up every capability before
// Qt, ALSA or anything else that reads the environment or loads code runs: from then on the
// opened descriptors are all that is left of the privilege.

namespace platform {

// Clears the effective, permitted and inheritable sets and the ambient set of the calling
// thread. Call it while the process has no other thread: capabilities belong to threads, and
// threads started later inherit the cleared sets. PR_SET_NO_NEW_PRIVS is deliberately left
// alone, since it would also bind the browser that a click on a row starts. Returns false
// when the kernel refused (the process then must not go on).
bool DropCapabilities();

// Whether the calling thread holds any capability in its effective or permitted set.
bool HoldsAnyCapability();

}  // namespace platform
