#pragma once

// Starting, watching and ending the lab's own child processes.

#include <sys/types.h>

#include <string>
#include <vector>

namespace lab {

struct TSpawn {
  std::vector<std::string> argv;  // argv[0] is an absolute path
  std::vector<std::string> env;   // "NAME=value" entries added to (or replacing) ours
  std::string stdinPath = "/dev/null";
  int stdoutFd = -1;          // dup'ed onto the child's stdout when >= 0
  std::string stderrPath;     // child's stderr goes here when set
  std::string outputPath;     // child's stdout and stderr both go here when set
  bool dieWithParent = true;  // SIGTERM when the starting thread ends (not for kept labs)
  bool newSession = false;    // detach from our session (kept labs)
};

// Forks and executes; throws std::runtime_error when the process cannot be made.
pid_t Spawn(const TSpawn& spawn);

// Waits for a child to end, reading outputFd (if >= 0) into output meanwhile. Returns the
// exit code, 128 + signal number when it was killed, or -1 when timeoutMs passed first (the
// child is then killed and reaped).
int WaitChild(pid_t pid, int timeoutMs, int outputFd = -1, std::string* output = nullptr);

// True (and reaps it) when our child has already ended.
bool ChildEnded(pid_t pid, int* status = nullptr);

// SIGTERM, up to graceMs for it to end, then SIGKILL. Reaps it when it is our child.
void EndProcess(pid_t pid, int graceMs = 3000);

// Start time of a process in clock ticks since boot (field 22 of /proc/<pid>/stat), 0 when
// it does not exist. Pairs with the pid to recognise a process we started.
unsigned long long ProcessStartTime(pid_t pid);

// Absolute path of a program found in the usual system folders, or "" when missing.
std::string FindProgram(const std::string& name);

// Runs ip(8) with a batch file, optionally inside a namespace ("-n"); throws with ip's
// message on failure unless force is set (then errors are ignored).
void RunIpBatch(const std::string& ns, const std::string& batchPath, bool force = false);
// Runs several batches at once (one ip process each) and waits for all; throws on failure.
void RunIpBatches(const std::vector<std::pair<std::string, std::string>>& nsAndBatch);

}  // namespace lab
