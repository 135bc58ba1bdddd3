#pragma once

namespace platform {

// Takes the per-user lock that marks a running copy of the program: an exclusive, non-blocking
// flock on "quenZOr.lock" in $XDG_RUNTIME_DIR, else on "/tmp/quenZOr-<uid>.lock", opened
// without following links. Returns false when another process holds it. When the lock file
// cannot be made, or is not a regular file of the user's own, there is no guard, and the
// result is true.
// The lock is kept until ReleaseSingleInstance or the end of the process.
bool AcquireSingleInstance();

// Gives the lock up (closing its descriptor); nothing when it is not held.
void ReleaseSingleInstance();

}  // namespace platform
