#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace http::test {

// One step of what a scripted peer does on a connection.
struct TPeerStep {
  enum class TKind { Send, Pause, ReadHead, ReadBytes, ShutdownWrite, Close, Drain };
  TKind Kind = TKind::Send;
  std::string Data;
  int Amount = 0;  // milliseconds of a pause, bytes of a read
};

TPeerStep Send(std::string bytes);
TPeerStep Pause(int milliseconds);
TPeerStep ReadHead();        // reads the request head, up to and with the blank line
TPeerStep ReadBytes(int count);  // reads count bytes (a request body)
TPeerStep ShutdownWrite();   // ends the peer's sending side (the client reads a close)
TPeerStep Close();           // closes at once
TPeerStep Drain();           // reads until the client closes

// Repeats a step list count times (a trickle: a byte, a pause, a byte, ...).
std::vector<TPeerStep> Repeat(const std::vector<TPeerStep>& steps, int count);

// A TCP listener on 127.0.0.1 (port 0 unless one is given), served by a thread that runs a
// script on each connection in turn and records the bytes the client sent. The destructor
// ends every pause and wait at once and joins the thread.
class TScriptedPeer {
 public:
  explicit TScriptedPeer(std::vector<TPeerStep> script, int connections = 1, uint16_t port = 0);
  ~TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  // False when the port asked for could not be bound (then nothing is served).
  bool Listening() const { return m_port != 0; }
  uint16_t Port() const { return m_port; }
  std::string Url(const std::string& path = "/") const;
  // Request bytes read by ReadHead steps, all connections together.
  std::string Received() const;
  int Accepted() const { return m_accepted; }
  // Waits until the script of every connection has ended (or the time passed).
  bool WaitDone(int milliseconds = 10000) const;

 private:
  void Serve();
  void RunScript(int connection);
  bool WaitStop(int milliseconds) const;

  std::vector<TPeerStep> m_script;
  int m_connections;
  int m_listener = -1;
  int m_stopPipe[2] = {-1, -1};
  uint16_t m_port = 0;
  std::atomic<int> m_accepted{0};
  std::atomic<bool> m_done{false};
  mutable std::mutex m_lock;
  std::string m_received;
  std::thread m_thread;
};

// A port on 127.0.0.1 that was free a moment ago.
uint16_t FreeLoopbackPort();

// A folder under /tmp removed at the end.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// $HOME pointed at a fresh folder while a test runs (the exchange log and temporary files
// go there).
class TTempHome {
 public:
  TTempHome();
  ~TTempHome();
  TTempHome(const TTempHome&) = delete;
  TTempHome& operator=(const TTempHome&) = delete;
  const std::string& Path() const { return m_dir.Path(); }

 private:
  TTempDir m_dir;
  std::optional<std::string> m_oldHome;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// The first of the paths that is an executable file, else "".
std::string FindProgram(const std::vector<std::string>& paths);

// A server program started by a test and ended by its pid.
class TServerProcess {
 public:
  // Starts argv with stdout and stderr going to logPath; Running() tells whether it started.
  TServerProcess(const std::vector<std::string>& argv, const std::string& logPath);
  ~TServerProcess();
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;

  bool Running() const { return m_pid > 0; }
  // Waits until the port on 127.0.0.1 accepts connections.
  bool WaitForPort(uint16_t port, int milliseconds = 10000) const;
  void Stop();

 private:
  pid_t m_pid = -1;
};

}  // namespace http::test
