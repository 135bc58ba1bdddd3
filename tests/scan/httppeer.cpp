#include "httppeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace scan::test {

namespace {

constexpr int kSlice = 50;  // ms between looks at the stop flag
constexpr size_t kMaxHead = 65536;

int PollOne(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  int result;
  do {
    result = poll(&entry, 1, timeoutMs);
  } while (result < 0 && errno == EINTR);
  return result > 0 ? entry.revents : 0;
}

// Reads up to the blank line that ends a request head (or what came within 3 s).
std::string ReadHead(int fd, const std::atomic<bool>& stopping) {
  std::string head;
  for (int waited = 0; waited < 3000 && !stopping; waited += kSlice) {
    if (head.find("\r\n\r\n") != std::string::npos || head.size() > kMaxHead) {
      break;
    }
    if ((PollOne(fd, POLLIN, kSlice) & (POLLIN | POLLHUP | POLLERR)) == 0) {
      continue;
    }
    char buffer[4096];
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      break;
    }
    head.append(buffer, static_cast<size_t>(got));
  }
  return head;
}

}  // namespace

TPeerConnection::TPeerConnection(int fd, std::string requestHead,
                                 const std::atomic<bool>& stopping)
    : m_fd(fd), m_requestHead(std::move(requestHead)), m_stopping(stopping) {}

std::string TPeerConnection::RequestLine() const {
  return m_requestHead.substr(0, m_requestHead.find("\r\n"));
}

bool TPeerConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    if (m_stopping) {
      return false;
    }
    int events = PollOne(m_fd, POLLOUT, kSlice);
    if ((events & (POLLERR | POLLHUP)) != 0) {
      return false;
    }
    if ((events & POLLOUT) == 0) {
      continue;
    }
    ssize_t sent = send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool TPeerConnection::Pause(int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += kSlice) {
    if (m_stopping) {
      return false;
    }
    int events = PollOne(m_fd, POLLIN, std::min(kSlice, milliseconds - waited));
    if ((events & (POLLHUP | POLLERR)) != 0) {
      return false;
    }
    if ((events & POLLIN) != 0) {
      char buffer[512];
      if (recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) == 0) {
        return false;  // the client closed
      }
    }
  }
  return !m_stopping;
}

void TPeerConnection::WaitForClose() {
  while (Pause(1000)) {
  }
}

TScriptedPeer::TScriptedPeer(THandler handler, const std::string& ip, uint16_t port)
    : m_handler(std::move(handler)), m_ip(ip) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    throw std::runtime_error("socket failed");
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("cannot listen on " + ip);
  }
  m_port = ntohs(address.sin_port);
  m_listenFd = fd;
  m_acceptThread = std::thread([this] { AcceptLoop(); });
}

TScriptedPeer::~TScriptedPeer() {
  m_stopping = true;
  m_acceptThread.join();
  close(m_listenFd);
  // Join outside the lock: a connection still being served takes it to record its request.
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(m_mutex);
    threads.swap(m_threads);
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
}

std::string TScriptedPeer::HostPort() const { return m_ip + ":" + std::to_string(m_port); }

std::vector<std::string> TScriptedPeer::RequestLines() const {
  std::lock_guard lock(m_mutex);
  return m_requestLines;
}

void TScriptedPeer::StopListening() {
  // A listening socket that is shut down leaves the listening state: the kernel then refuses
  // new connections. The descriptor stays open until the destructor, so no other thread can
  // see its number reused.
  if (m_listening.exchange(false)) {
    shutdown(m_listenFd, SHUT_RDWR);
  }
}

void TScriptedPeer::AcceptLoop() {
  while (!m_stopping && m_listening) {
    if ((PollOne(m_listenFd, POLLIN, kSlice) & POLLIN) == 0) {
      continue;
    }
    int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    ++m_connections;
    std::lock_guard lock(m_mutex);
    m_threads.emplace_back([this, fd] { Serve(fd); });
  }
}

void TScriptedPeer::Serve(int fd) {
  TPeerConnection connection(fd, ReadHead(fd, m_stopping), m_stopping);
  {
    std::lock_guard lock(m_mutex);
    m_requestLines.push_back(connection.RequestLine());
  }
  if (m_handler) {
    m_handler(connection);
  }
  shutdown(fd, SHUT_WR);
  close(fd);
}

TRefusedPort::TRefusedPort() : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot bind a loopback port");
  }
  m_port = ntohs(address.sin_port);
}

TRefusedPort::~TRefusedPort() {
  if (m_fd >= 0) {
    close(m_fd);
  }
}

std::string Response(const std::string& status, const std::vector<std::string>& headers,
                     const std::string& body) {
  std::string text = status + "\r\n";
  for (const std::string& header : headers) {
    text += header + "\r\n";
  }
  text += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  return text + body;
}

}  // namespace scan::test
