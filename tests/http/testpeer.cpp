#include "http/testpeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace http::test {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int LoopbackSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

TPeerStep Send(std::string bytes) { return {TPeerStep::TKind::Send, std::move(bytes), 0}; }
TPeerStep Pause(int milliseconds) { return {TPeerStep::TKind::Pause, {}, milliseconds}; }
TPeerStep ReadHead() { return {TPeerStep::TKind::ReadHead, {}, 0}; }
TPeerStep ReadBytes(int count) { return {TPeerStep::TKind::ReadBytes, {}, count}; }
TPeerStep ShutdownWrite() { return {TPeerStep::TKind::ShutdownWrite, {}, 0}; }
TPeerStep Close() { return {TPeerStep::TKind::Close, {}, 0}; }
TPeerStep Drain() { return {TPeerStep::TKind::Drain, {}, 0}; }

std::vector<TPeerStep> Repeat(const std::vector<TPeerStep>& steps, int count) {
  std::vector<TPeerStep> result;
  for (int i = 0; i < count; ++i) {
    result.insert(result.end(), steps.begin(), steps.end());
  }
  return result;
}

TScriptedPeer::TScriptedPeer(std::vector<TPeerStep> script, int connections, uint16_t port)
    : m_script(std::move(script)), m_connections(connections) {
  if (pipe2(m_stopPipe, O_CLOEXEC) != 0) {
    std::abort();
  }
  m_listener = LoopbackSocket();
  int reuse = 1;
  setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address = LoopbackAddress(port);
  if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listener, 16) != 0) {
    m_done = true;
    return;
  }
  socklen_t length = sizeof address;
  getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
  m_port = ntohs(address.sin_port);
  m_thread = std::thread([this] { Serve(); });
}

TScriptedPeer::~TScriptedPeer() {
  ssize_t ignored = write(m_stopPipe[1], "x", 1);
  (void)ignored;
  if (m_thread.joinable()) {
    m_thread.join();
  }
  close(m_listener);
  close(m_stopPipe[0]);
  close(m_stopPipe[1]);
}

std::string TScriptedPeer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::string TScriptedPeer::Received() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_received;
}

bool TScriptedPeer::WaitDone(int milliseconds) const {
  int64_t end = NowMs() + milliseconds;
  while (!m_done && NowMs() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return m_done;
}

bool TScriptedPeer::WaitStop(int milliseconds) const {
  pollfd entry{m_stopPipe[0], POLLIN, 0};
  return poll(&entry, 1, milliseconds) > 0;
}

void TScriptedPeer::Serve() {
  for (int i = 0; i < m_connections; ++i) {
    pollfd entries[2] = {{m_listener, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    if (poll(entries, 2, -1) <= 0 || (entries[1].revents & POLLIN) != 0) {
      break;
    }
    RunScript(i);
  }
  m_done = true;
}

void TScriptedPeer::RunScript(int /*connection*/) {
  int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  ++m_accepted;
  bool open = true;
  for (const TPeerStep& step : m_script) {
    if (!open) {
      break;
    }
    switch (step.Kind) {
      case TPeerStep::TKind::Send: {
        size_t sent = 0;
        while (sent < step.Data.size()) {
          ssize_t n = send(fd, step.Data.data() + sent, step.Data.size() - sent, MSG_NOSIGNAL);
          if (n < 0 && errno == EINTR) {
            continue;
          }
          if (n <= 0) {
            break;
          }
          sent += static_cast<size_t>(n);
        }
        break;
      }
      case TPeerStep::TKind::Pause:
        if (WaitStop(step.Amount)) {
          open = false;
        }
        break;
      case TPeerStep::TKind::ReadHead: {
        std::string head;
        char c;
        while (head.find("\r\n\r\n") == std::string::npos) {
          pollfd entries[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
          if (poll(entries, 2, 10000) <= 0 || (entries[1].revents & POLLIN) != 0) {
            break;
          }
          if (recv(fd, &c, 1, 0) != 1) {
            break;
          }
          head += c;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_received += head;
        break;
      }
      case TPeerStep::TKind::ReadBytes: {
        std::string body;
        char buffer[4096];
        while (static_cast<int>(body.size()) < step.Amount) {
          pollfd entries[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
          if (poll(entries, 2, 10000) <= 0 || (entries[1].revents & POLLIN) != 0) {
            break;
          }
          size_t want = std::min(sizeof buffer, static_cast<size_t>(step.Amount) - body.size());
          ssize_t n = recv(fd, buffer, want, 0);
          if (n <= 0) {
            break;
          }
          body.append(buffer, static_cast<size_t>(n));
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_received += body;
        break;
      }
      case TPeerStep::TKind::ShutdownWrite:
        shutdown(fd, SHUT_WR);
        break;
      case TPeerStep::TKind::Close:
        close(fd);
        fd = -1;
        open = false;
        break;
      case TPeerStep::TKind::Drain: {
        char buffer[4096];
        while (true) {
          pollfd entries[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
          if (poll(entries, 2, 10000) <= 0 || (entries[1].revents & POLLIN) != 0) {
            break;
          }
          ssize_t n = recv(fd, buffer, sizeof buffer, 0);
          if (n <= 0) {
            break;
          }
          std::lock_guard<std::mutex> guard(m_lock);
          m_received.append(buffer, static_cast<size_t>(n));
        }
        break;
      }
    }
  }
  if (fd >= 0) {
    close(fd);
  }
}

uint16_t FreeLoopbackPort() {
  int fd = LoopbackSocket();
  sockaddr_in address = LoopbackAddress(0);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

TTempDir::TTempDir() {
  std::string pattern = "/tmp/qzhttp.XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) {
    m_path = pattern;
  }
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

TTempHome::TTempHome() {
  if (const char* old = getenv("HOME"); old != nullptr) {
    m_oldHome = old;
  }
  setenv("HOME", m_dir.Path().c_str(), 1);
}

TTempHome::~TTempHome() {
  if (m_oldHome) {
    setenv("HOME", m_oldHome->c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string FindProgram(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (access(path.c_str(), X_OK) == 0) {
      return path;
    }
  }
  return {};
}

TServerProcess::TServerProcess(const std::vector<std::string>& argv, const std::string& logPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    m_pid = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
}

TServerProcess::~TServerProcess() { Stop(); }

bool TServerProcess::WaitForPort(uint16_t port, int milliseconds) const {
  int64_t end = NowMs() + milliseconds;
  while (NowMs() < end) {
    if (m_pid <= 0 || waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
      return false;
    }
    int fd = LoopbackSocket();
    sockaddr_in address = LoopbackAddress(port);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (connected) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
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

}  // namespace http::test
