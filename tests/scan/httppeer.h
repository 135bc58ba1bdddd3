#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace scan::test {

// One accepted connection as a scripted peer's handler sees it.
class TPeerConnection {
 public:
  TPeerConnection(int fd, std::string requestHead, const std::atomic<bool>& stopping);

  const std::string& RequestHead() const { return m_requestHead; }
  // The request line, without its CR LF.
  std::string RequestLine() const;
  // Sends every byte; false once the client has gone or the peer is stopping.
  bool Send(std::string_view bytes);
  // Waits; false when the peer is stopping or the client closed meanwhile.
  bool Pause(int milliseconds);
  // Waits until the client closes its side or the peer stops.
  void WaitForClose();

 private:
  int m_fd;
  std::string m_requestHead;
  const std::atomic<bool>& m_stopping;
};

// A TCP server on ip:port (port 0: any free one) whose every connection runs a scripted
// handler on its own thread, after the request head has been read. The listening socket is
// made on the constructing thread, so it belongs to that thread's network namespace. Ends
// its threads when destroyed.
class TScriptedPeer {
 public:
  using THandler = std::function<void(TPeerConnection&)>;

  explicit TScriptedPeer(THandler handler, const std::string& ip = "127.0.0.1",
                         uint16_t port = 0);
  ~TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  uint16_t Port() const { return m_port; }
  // "ip:port", the address part of the URLs that reach this peer.
  std::string HostPort() const;
  int Connections() const { return m_connections.load(); }
  std::vector<std::string> RequestLines() const;
  // Closes the listening socket: later connections are refused.
  void StopListening();

 private:
  void AcceptLoop();
  void Serve(int fd);

  THandler m_handler;
  std::string m_ip;
  uint16_t m_port = 0;
  int m_listenFd = -1;  // closed only by the destructor
  std::atomic<bool> m_listening{true};
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_connections{0};
  mutable std::mutex m_mutex;
  std::vector<std::string> m_requestLines;
  std::vector<std::thread> m_threads;
  std::thread m_acceptThread;
};

// A loopback port that is bound but not listening, for as long as the object lives: the
// kernel answers a connection attempt with a reset, so connecting is refused.
class TRefusedPort {
 public:
  TRefusedPort();
  ~TRefusedPort();
  TRefusedPort(const TRefusedPort&) = delete;
  TRefusedPort& operator=(const TRefusedPort&) = delete;
  uint16_t Port() const { return m_port; }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

// A whole HTTP/1.1 response with the given status line, header lines and body; adds
// Content-Length and Connection: close.
std::string Response(const std::string& status, const std::vector<std::string>& headers,
                     const std::string& body);

}  // namespace scan::test
