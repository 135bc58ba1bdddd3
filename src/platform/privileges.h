#pragma once

// The program itself carries no file capability (raw ARP's cap_net_raw belongs to its helper,
// quenzor-arp), yet it may be started with some (by root, or with ambient capabilities). It
// gives up every capability first thing in main, right after starting the helper and before
// Qt, ALSA or anything else that reads the environment or loads code runs.

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
