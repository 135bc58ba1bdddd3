#pragma once

namespace platform {

// Takes the per-user lock that marks a running copy of the program: an exclusive, non-blocking
// flock on "quenZOr.lock" in $XDG_RUNTIME_DIR (else /tmp). Returns false when another process
// holds it. When the lock file cannot be made at all there is no guard, and the result is true.
// The lock is kept until ReleaseSingleInstance or the end of the process.
bool AcquireSingleInstance();

// Gives the lock up (closing its descriptor); nothing when it is not held.
void ReleaseSingleInstance();

}  // namespace platform
