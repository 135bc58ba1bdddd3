#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace test {

// A TCP socket bound to ip:port (port 0: the kernel picks one) and, when backlog is not
// negative, listening; -1 when that fails. *boundPort gets the port it has.
int BindTcp(const std::string& ip, uint16_t port, int backlog, uint16_t* boundPort);

class TScriptedPeer;

// One accepted connection as a peer's handler works on it. Every wait ends at once when the
// peer stops.
class TPeerConnection {
 public:
  TPeerConnection(TScriptedPeer& peer, int fd) : m_peer(peer), m_fd(fd) {}
  ~TPeerConnection();
  TPeerConnection(const TPeerConnection&) = delete;
  TPeerConnection& operator=(const TPeerConnection&) = delete;

  // The head read last by ReadHead (a handler peer reads it before the handler runs).
  const std::string& RequestHead() const { return m_requestHead; }
  // The request line, without its CR LF.
  std::string RequestLine() const;
  // Reads up to and with the blank line that ends a request head, byte by byte so nothing
  // after it is taken (64 KiB and the given time at most).
  std::string ReadHead(int milliseconds = 10000);
  // Reads count bytes (a request body), waiting at most 10 s for each piece.
  std::string ReadBytes(int count);
  // Reads until the client closes or nothing came for the given time.
  std::string Drain(int idleMilliseconds = 10000);
  // Sends every byte; false once the client has gone or the peer is stopping.
  bool Send(std::string_view bytes);
  // Waits; false when the peer is stopping or the client closed meanwhile.
  bool Pause(int milliseconds);
  // Waits until the client closes its side or the peer stops.
  void WaitForClose();
  // Ends the sending side: the client reads a close.
  void ShutdownWrite();
  // Closes at once.
  void Close();
  bool Open() const { return m_fd >= 0; }

 private:
  // Waits for bytes to read: false at the time's end or when the peer stops.
  bool WaitReadable(int milliseconds) const;

  TScriptedPeer& m_peer;
  int m_fd;
  std::string m_requestHead;
};

// One step of a peer's script on a connection.
struct TPeerStep {
  enum class TKind { Send, Pause, ReadHead, ReadBytes, ShutdownWrite, Close, Drain };
  TKind Kind = TKind::Send;
  std::string Data;
  int Amount = 0;  // milliseconds of a pause, bytes of a read
};

TPeerStep Send(std::string bytes);
TPeerStep Pause(int milliseconds);  // ends only when the time is up or the peer stops
TPeerStep ReadHead();               // reads the request head, up to and with the blank line
TPeerStep ReadBytes(int count);     // reads count bytes (a request body)
TPeerStep ShutdownWrite();          // ends the peer's sending side (the client reads a close)
TPeerStep Close();                  // closes at once
TPeerStep Drain();                  // reads until the client closes

// Repeats a step list count times (a trickle: a byte, a pause, a byte, ...).
std::vector<TPeerStep> Repeat(const std::vector<TPeerStep>& steps, int count);

struct TPeerOptions {
  std::string Ip = "127.0.0.1";
  uint16_t Port = 0;          // 0: a port the kernel picks
  int Connections = 0;        // how many connections are served; 0: all that come
  bool OneAtATime = false;    // serve connections in turn on the peer's thread
  bool ReadHeadFirst = true;  // the handler starts with the request head read (3 s at most)
  bool Record = true;         // keep what was read, for Received() and RequestLines()
};

// A TCP server on ip:port that runs a handler on each connection, on a thread of the
// connection's own or, one connection after another, on the peer's thread. The listening
// socket is made on the constructing thread, so it belongs to that thread's network
// namespace. The destructor ends every wait at once and joins every thread.
class TScriptedPeer {
 public:
  using THandler = std::function<void(TPeerConnection&)>;

  TScriptedPeer(THandler handler, TPeerOptions options);
  // Every connection on a thread of its own, the request head read first.
  explicit TScriptedPeer(THandler handler, const std::string& ip = "127.0.0.1", uint16_t port = 0);
  // The script on each of the first `connections` connections in turn, then the connection
  // closed.
  explicit TScriptedPeer(std::vector<TPeerStep> script, int connections = 1, uint16_t port = 0);
  ~TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  // False when the address asked for could not be bound (then nothing is served).
  bool Listening() const { return m_port != 0; }
  uint16_t Port() const { return m_port; }
  // "ip:port", the address part of the URLs that reach this peer.
  std::string HostPort() const;
  std::string Url(const std::string& path = "/") const;
  int Accepted() const { return m_accepted.load(); }
  // Every byte the connections read, all connections together.
  std::string Received() const;
  // The request line of every request head read.
  std::vector<std::string> RequestLines() const;
  // Waits until the last connection to serve has been served (or the time passed).
  bool WaitDone(int milliseconds = 10000) const;
  // Shuts the listening socket down: later connections are refused.
  void StopListening();

 private:
  friend class TPeerConnection;

  void AcceptLoop();
  void Serve(int fd);
  void RunScript(const std::vector<TPeerStep>& script, TPeerConnection& connection);
  // Waits the time: true when the peer stops meanwhile.
  bool WaitStop(int milliseconds) const;
  void Record(const std::string& bytes, bool head);

  THandler m_handler;
  TPeerOptions m_options;
  uint16_t m_port = 0;
  int m_listenFd = -1;  // closed only by the destructor, so its number is never reused early
  int m_stopPipe[2] = {-1, -1};
  std::atomic<bool> m_listening{true};
  std::atomic<bool> m_done{false};
  std::atomic<int> m_accepted{0};
  mutable std::mutex m_mutex;
  std::string m_received;
  std::vector<std::string> m_requestLines;
  std::vector<std::thread> m_threads;
  std::thread m_acceptThread;
};

// Answers every connection, one after another, with the reply set last: reads the request
// head, sends the reply, ends its sending side and waits (5 s at most) for the client to
// close, so an exchange ends at the peer's close and never at a time-out. Serving allocates
// nothing, so heap measured meanwhile is the client's alone.
class TReplyPeer {
 public:
  TReplyPeer();
  void SetReply(std::string_view reply);
  std::string Url(const std::string& path = "/") const { return m_peer.Url(path); }

 private:
  std::mutex m_lock;
  std::string m_reply;
  TScriptedPeer m_peer;  // the last member: its thread ends before the reply goes
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

// A listener whose accept queue is full and never emptied, filled by connections of its own:
// Linux drops a SYN that finds the queue full, so a connect to it waits for an answer that
// never comes, as with a firewall that drops SYNs.
class TUnansweringListener {
 public:
  explicit TUnansweringListener(const std::string& ip = "127.0.0.1", uint16_t port = 0);
  ~TUnansweringListener();
  TUnansweringListener(const TUnansweringListener&) = delete;
  TUnansweringListener& operator=(const TUnansweringListener&) = delete;
  bool Listening() const { return m_port != 0; }
  std::string Url() const;

 private:
  std::string m_ip;
  uint16_t m_port = 0;
  std::vector<int> m_fds;  // the listener, then the fillers
};

// A whole HTTP/1.1 response with the given status line, header lines and body; adds
// Content-Length and Connection: close.
std::string Response(const std::string& status, const std::vector<std::string>& headers,
                     const std::string& body);

}  // namespace test
