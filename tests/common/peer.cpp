#include "common/peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace test {

namespace {

constexpr int kSlice = 50;          // ms between looks at the listening flag
constexpr size_t kMaxHead = 65536;  // a request head longer than this is cut
constexpr int kHeadFirstMs = 3000;  // a handler peer's wait for the request head

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Polls fd for events and the stop pipe for a byte (a negative time: no end): fd's events, 0
// at the time's end, -1 when the peer stops.
int PollOrStop(int fd, short events, int stopFd, int milliseconds) {
  pollfd entries[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
  int result;
  do {
    result = poll(entries, 2, milliseconds);
  } while (result < 0 && errno == EINTR);
  if (result > 0 && entries[1].revents != 0) {
    return -1;
  }
  return result > 0 ? entries[0].revents : 0;
}

sockaddr_in Address(const std::string& ip, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  return address;
}

}  // namespace

int BindTcp(const std::string& ip, uint16_t port, int backlog, uint16_t* boundPort) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = Address(ip, port);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (backlog >= 0 && listen(fd, backlog) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return -1;
  }
  *boundPort = ntohs(address.sin_port);
  return fd;
}

TPeerConnection::~TPeerConnection() {
  if (m_fd >= 0) {
    shutdown(m_fd, SHUT_WR);
    close(m_fd);
  }
}

std::string TPeerConnection::RequestLine() const {
  return m_requestHead.substr(0, m_requestHead.find("\r\n"));
}

bool TPeerConnection::WaitReadable(int milliseconds) const {
  return PollOrStop(m_fd, POLLIN, m_peer.m_stopPipe[0], milliseconds) > 0;
}

std::string TPeerConnection::ReadHead(int milliseconds) {
  // Kept only when the peer records: a peer that does not allocates nothing here.
  std::string head;
  uint32_t lastFour = 0;
  size_t count = 0;
  int64_t end = NowMs() + milliseconds;
  char c;
  while (lastFour != 0x0d0a0d0a && count < kMaxHead) {
    int left = static_cast<int>(std::max<int64_t>(end - NowMs(), 0));
    if (!WaitReadable(left) || recv(m_fd, &c, 1, 0) != 1) {
      break;
    }
    lastFour = lastFour << 8 | static_cast<unsigned char>(c);
    ++count;
    if (m_peer.m_options.Record) {
      head += c;
    }
  }
  m_requestHead = head;
  m_peer.Record(head, true);
  return head;
}

std::string TPeerConnection::ReadBytes(int count) {
  std::string body;
  char buffer[4096];
  while (static_cast<int>(body.size()) < count && WaitReadable(10000)) {
    size_t want = std::min(sizeof buffer, static_cast<size_t>(count) - body.size());
    ssize_t got = recv(m_fd, buffer, want, 0);
    if (got <= 0) {
      break;
    }
    body.append(buffer, static_cast<size_t>(got));
  }
  m_peer.Record(body, false);
  return body;
}

std::string TPeerConnection::Drain(int idleMilliseconds) {
  std::string bytes;
  char buffer[4096];
  while (WaitReadable(idleMilliseconds)) {
    ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      break;
    }
    if (m_peer.m_options.Record) {
      bytes.append(buffer, static_cast<size_t>(got));
    }
  }
  m_peer.Record(bytes, false);
  return bytes;
}

bool TPeerConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    int events = PollOrStop(m_fd, POLLOUT, m_peer.m_stopPipe[0], -1);
    if (events < 0 || (events & (POLLERR | POLLHUP)) != 0) {
      return false;
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
  // POLLRDHUP tells the client's close without taking bytes it may have sent meanwhile.
  int64_t end = NowMs() + milliseconds;
  while (NowMs() < end) {
    int events = PollOrStop(m_fd, POLLRDHUP, m_peer.m_stopPipe[0], static_cast<int>(end - NowMs()));
    if (events != 0) {
      return false;
    }
  }
  return true;
}

void TPeerConnection::WaitForClose() {
  while (Pause(1000)) {
  }
}

void TPeerConnection::ShutdownWrite() { shutdown(m_fd, SHUT_WR); }

void TPeerConnection::Close() {
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
}

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

TScriptedPeer::TScriptedPeer(THandler handler, TPeerOptions options)
    : m_handler(std::move(handler)), m_options(std::move(options)) {
  if (pipe2(m_stopPipe, O_CLOEXEC) != 0) {
    std::abort();
  }
  m_listenFd = BindTcp(m_options.Ip, m_options.Port, 64, &m_port);
  if (m_listenFd < 0) {
    m_done = true;
    return;
  }
  m_acceptThread = std::thread([this] { AcceptLoop(); });
}

TScriptedPeer::TScriptedPeer(THandler handler, const std::string& ip, uint16_t port)
    : TScriptedPeer(std::move(handler), TPeerOptions{.Ip = ip, .Port = port}) {}

TScriptedPeer::TScriptedPeer(std::vector<TPeerStep> script, int connections, uint16_t port)
    : TScriptedPeer(
          [this, script = std::move(script)](TPeerConnection& c) { RunScript(script, c); },
          TPeerOptions{.Port = port,
                       .Connections = connections,
                       .OneAtATime = true,
                       .ReadHeadFirst = false}) {}

TScriptedPeer::~TScriptedPeer() {
  ssize_t ignored = write(m_stopPipe[1], "x", 1);
  (void)ignored;
  if (m_acceptThread.joinable()) {
    m_acceptThread.join();
  }
  // Joined outside the lock: a connection still being served takes it to record.
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(m_mutex);
    threads.swap(m_threads);
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  if (m_listenFd >= 0) {
    close(m_listenFd);
  }
  close(m_stopPipe[0]);
  close(m_stopPipe[1]);
}

std::string TScriptedPeer::HostPort() const { return m_options.Ip + ":" + std::to_string(m_port); }

std::string TScriptedPeer::Url(const std::string& path) const {
  return "http://" + HostPort() + path;
}

std::string TScriptedPeer::Received() const {
  std::lock_guard lock(m_mutex);
  return m_received;
}

std::vector<std::string> TScriptedPeer::RequestLines() const {
  std::lock_guard lock(m_mutex);
  return m_requestLines;
}

bool TScriptedPeer::WaitDone(int milliseconds) const {
  int64_t end = NowMs() + milliseconds;
  while (!m_done && NowMs() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return m_done;
}

void TScriptedPeer::StopListening() {
  // A listening socket that is shut down leaves the listening state: the kernel then refuses
  // new connections.
  if (m_listening.exchange(false)) {
    shutdown(m_listenFd, SHUT_RDWR);
  }
}

bool TScriptedPeer::WaitStop(int milliseconds) const {
  pollfd entry{m_stopPipe[0], POLLIN, 0};
  return poll(&entry, 1, milliseconds) > 0;
}

void TScriptedPeer::Record(const std::string& bytes, bool head) {
  if (!m_options.Record) {
    return;
  }
  std::lock_guard lock(m_mutex);
  m_received += bytes;
  if (head) {
    m_requestLines.push_back(bytes.substr(0, bytes.find("\r\n")));
  }
}

void TScriptedPeer::AcceptLoop() {
  int served = 0;
  while (m_listening && (m_options.Connections == 0 || served < m_options.Connections)) {
    int events = PollOrStop(m_listenFd, POLLIN, m_stopPipe[0], kSlice);
    if (events < 0) {
      break;
    }
    if ((events & POLLIN) == 0 || !m_listening) {
      continue;
    }
    int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    ++served;
    ++m_accepted;
    if (m_options.OneAtATime) {
      Serve(fd);
    } else {
      std::lock_guard lock(m_mutex);
      m_threads.emplace_back([this, fd] { Serve(fd); });
    }
  }
  m_done = true;
}

void TScriptedPeer::Serve(int fd) {
  TPeerConnection connection(*this, fd);
  if (m_options.ReadHeadFirst) {
    connection.ReadHead(kHeadFirstMs);
  }
  if (m_handler) {
    m_handler(connection);
  }
}

void TScriptedPeer::RunScript(const std::vector<TPeerStep>& script, TPeerConnection& c) {
  for (const TPeerStep& step : script) {
    if (!c.Open()) {
      break;
    }
    switch (step.Kind) {
      case TPeerStep::TKind::Send: c.Send(step.Data); break;
      case TPeerStep::TKind::Pause:
        if (WaitStop(step.Amount)) {
          c.Close();
        }
        break;
      case TPeerStep::TKind::ReadHead: c.ReadHead(); break;
      case TPeerStep::TKind::ReadBytes: c.ReadBytes(step.Amount); break;
      case TPeerStep::TKind::ShutdownWrite: c.ShutdownWrite(); break;
      case TPeerStep::TKind::Close: c.Close(); break;
      case TPeerStep::TKind::Drain: c.Drain(); break;
    }
  }
  c.Close();
}

TReplyPeer::TReplyPeer()
    : m_peer(
          [this](TPeerConnection& c) {
            c.ReadHead(5000);
            std::lock_guard lock(m_lock);
            c.Send(m_reply);
            c.ShutdownWrite();
            c.Drain(5000);
          },
          TPeerOptions{.OneAtATime = true, .ReadHeadFirst = false, .Record = false}) {}

void TReplyPeer::SetReply(std::string_view reply) {
  std::lock_guard lock(m_lock);
  m_reply.assign(reply);
}

// The port is written by BindTcp after m_port's own initializer has run: not in the member
// initializer list, where m_port (declared after m_fd) would be set back to 0.
TRefusedPort::TRefusedPort() {
  m_fd = BindTcp("127.0.0.1", 0, -1, &m_port);
  if (m_fd < 0) {
    std::abort();
  }
}

TRefusedPort::~TRefusedPort() { close(m_fd); }

TUnansweringListener::TUnansweringListener(const std::string& ip, uint16_t port) : m_ip(ip) {
  int listener = BindTcp(ip, port, 0, &m_port);
  if (listener < 0) {
    m_port = 0;
    return;
  }
  m_fds.push_back(listener);
  // With a backlog of 0 the first filler fills the queue; each gets time to finish its
  // handshake before the next, so the queue is full whatever the link's delay.
  sockaddr_in address = Address(ip, m_port);
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    m_fds.push_back(fd);
    usleep(100000);
  }
}

TUnansweringListener::~TUnansweringListener() {
  for (int fd : m_fds) {
    close(fd);
  }
}

std::string TUnansweringListener::Url() const {
  return "http://" + m_ip + ":" + std::to_string(m_port) + "/";
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

}  // namespace test
