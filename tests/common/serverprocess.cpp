#include "common/serverprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace test {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The port of a TCP socket of the process in the listening state, 0 when it has none. Its
// sockets show as "socket:[inode]" among its descriptors; /proc/<pid>/net/tcp lists the
// sockets of its network namespace with their inode, state (0A: listening) and address.
uint16_t ListeningPort(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::set<std::string> inodes;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(base + "/fd", error)) {
    std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.starts_with("socket:[")) {
      inodes.insert(target.substr(8, target.size() - 9));
    }
  }
  std::ifstream table(base + "/net/tcp");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeouts, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeouts >> inode;
    if (state == "0A" && inodes.count(inode) != 0) {
      return static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    }
  }
  return 0;
}

}  // namespace

std::string FindProgram(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (access(path.c_str(), X_OK) == 0) {
      return path;
    }
  }
  return {};
}

TServerProcess::TServerProcess(const std::vector<std::string>& argv, const std::string& logPath,
                               int listener) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> words = argv;
  std::vector<char*> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    environment.push_back(*variable);
  }
  std::string listenFds = "LISTEN_FDS=1";
  int spare = -1;
  if (listener >= 0) {
    // Moved to a number above 3 first, so the dup2 to 3 always makes a new descriptor, which
    // exec keeps. LISTEN_PID must name the server: the shell sets its own pid, which exec keeps.
    spare = fcntl(listener, F_DUPFD_CLOEXEC, 10);
    posix_spawn_file_actions_adddup2(&actions, spare, 3);
    words.insert(words.begin(), {"/bin/sh", "-c", "LISTEN_PID=$$ exec \"$0\" \"$@\""});
    environment.push_back(listenFds.data());
  }
  environment.push_back(nullptr);
  std::vector<char*> args;
  for (std::string& word : words) {
    args.push_back(word.data());
  }
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environment.data()) == 0) {
    m_pid = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
  if (spare >= 0) {
    close(spare);
  }
}

TServerProcess::~TServerProcess() { Stop(); }

uint16_t TServerProcess::WaitForListeningPort(int milliseconds) const {
  int64_t end = NowMs() + milliseconds;
  while (m_pid > 0 && NowMs() < end && waitpid(m_pid, nullptr, WNOHANG) != m_pid) {
    if (uint16_t port = ListeningPort(m_pid); port != 0) {
      return port;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

void TServerProcess::Stop() {
  if (m_pid <= 0) {
    return;
  }
  kill(m_pid, SIGTERM);
  int64_t end = NowMs() + 3000;
  while (NowMs() < end) {
    if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
      m_pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(m_pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
  m_pid = -1;
}

}  // namespace test
