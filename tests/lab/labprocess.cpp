#include "lab/labprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace lab {
namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> result;
  auto keyOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || keyOf(x) == keyOf(entry);
    if (!replaced) result.push_back(entry);
  }
  result.insert(result.end(), extra.begin(), extra.end());
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

pid_t Spawn(const TSpawn& spawn) {
  if (spawn.argv.empty()) throw std::runtime_error("Spawn: empty argv");
  // Everything the child needs is prepared before fork: between fork and exec a child of a
  // threaded process may only make async-signal-safe calls.
  std::vector<std::string> argv = spawn.argv;
  std::vector<std::string> env = MergedEnvironment(spawn.env);
  std::vector<char*> argvPtr = Pointers(argv);
  std::vector<char*> envPtr = Pointers(env);
  int inFd = open(spawn.stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (inFd < 0) throw std::runtime_error(Errno("open " + spawn.stdinPath));
  int errFd = -1;
  std::string errPath = spawn.outputPath.empty() ? spawn.stderrPath : spawn.outputPath;
  if (!errPath.empty()) {
    errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (errFd < 0) {
      close(inFd);
      throw std::runtime_error(Errno("open " + errPath));
    }
  }
  int outFd = !spawn.outputPath.empty() ? errFd : spawn.stdoutFd;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    if (spawn.newSession) setsid();
    if (spawn.dieWithParent) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
    }
    dup2(inFd, 0);
    if (outFd >= 0) dup2(outFd, 1);
    if (errFd >= 0) dup2(errFd, 2);
    execve(argvPtr[0], argvPtr.data(), envPtr.data());
    _exit(127);
  }
  int forkErrno = errno;
  close(inFd);
  if (errFd >= 0) close(errFd);
  if (pid < 0) {
    errno = forkErrno;
    throw std::runtime_error(Errno("fork"));
  }
  return pid;
}

bool ChildEnded(pid_t pid, int* status) {
  int s = 0;
  pid_t r;
  do r = waitpid(pid, &s, WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == pid && status) *status = s;
  return r == pid || (r < 0 && errno == ECHILD);
}

int WaitChild(pid_t pid, int timeoutMs, int outputFd, std::string* output) {
  int pidFd = PidfdOpen(pid);
  if (pidFd < 0) throw std::runtime_error(Errno("pidfd_open"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool exited = false;
  bool outputOpen = outputFd >= 0;
  while (!exited || outputOpen) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    pollfd fds[2] = {{pidFd, POLLIN, 0}, {outputOpen ? outputFd : -1, POLLIN, 0}};
    int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (fds[0].revents) exited = true;
    if (fds[1].revents) {
      char buffer[4096];
      ssize_t got = read(outputFd, buffer, sizeof buffer);
      if (got > 0 && output) output->append(buffer, static_cast<size_t>(got));
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) outputOpen = false;
    }
  }
  close(pidFd);
  int status = 0;
  if (!exited) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return -1;
  }
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return ExitCodeOf(status);
}

void EndProcess(pid_t pid, int graceMs) {
  if (pid <= 0 || kill(pid, SIGTERM) != 0) {
    ChildEnded(pid);
    return;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ChildEnded(pid) && kill(pid, 0) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

unsigned long long ProcessStartTime(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // The command name (field 2) is in parentheses and may hold blanks: count from its end.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return std::stoull(field);
  }
  return 0;
}

std::string FindProgram(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
    std::string path = std::string(dir) + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

namespace {

std::vector<std::string> IpArgv(const std::string& ns, const std::string& batchPath, bool force) {
  static const std::string ip = FindProgram("ip");
  if (ip.empty()) throw std::runtime_error("ip(8) not found (install iproute2)");
  std::vector<std::string> argv{ip};
  if (!ns.empty()) argv.insert(argv.end(), {"-n", ns});
  if (force) argv.push_back("-force");
  argv.insert(argv.end(), {"-batch", batchPath});
  return argv;
}

}  // namespace

void RunIpBatch(const std::string& ns, const std::string& batchPath, bool force) {
  TSpawn spawn;
  spawn.argv = IpArgv(ns, batchPath, force);
  spawn.stderrPath = batchPath + ".err";
  int code = WaitChild(Spawn(spawn), 60000);
  if (code != 0 && !force) {
    throw std::runtime_error("ip -batch " + batchPath + " failed: " + ReadFile(spawn.stderrPath));
  }
}

void RunIpBatches(const std::vector<std::pair<std::string, std::string>>& nsAndBatch) {
  std::vector<pid_t> pids;
  std::string failures;
  for (const auto& [ns, batch] : nsAndBatch) {
    TSpawn spawn;
    spawn.argv = IpArgv(ns, batch, false);
    spawn.stderrPath = batch + ".err";
    try {
      pids.push_back(Spawn(spawn));
    } catch (const std::exception& e) {
      failures += e.what();
      break;
    }
  }
  for (size_t i = 0; i < pids.size(); ++i) {
    if (WaitChild(pids[i], 60000) != 0) {
      failures += "ip -batch " + nsAndBatch[i].second +
                  " failed: " + ReadFile(nsAndBatch[i].second + ".err");
    }
  }
  if (!failures.empty()) throw std::runtime_error(failures);
}

}  // namespace lab
