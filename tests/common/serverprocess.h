#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace test {

// The first of the paths that is an executable file, else "".
std::string FindProgram(const std::vector<std::string>& paths);

// A server program started by a test (argv[0] found through PATH) and ended by its pid.
class TServerProcess {
 public:
  // Starts argv with stdout and stderr going to logPath; Running() tells whether it started.
  // A listening socket, when given, goes to the server by systemd's socket activation (as fd
  // 3, with LISTEN_FDS and LISTEN_PID): for a server that cannot be told port 0.
  TServerProcess(const std::vector<std::string>& argv, const std::string& logPath,
                 int listener = -1);
  ~TServerProcess();
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;

  bool Running() const { return m_pid > 0; }
  // The port of the first TCP socket the server listens on, once it listens; 0 when it ended
  // or did not listen within the time. Read from /proc, so a server told port 0 reports what
  // the kernel gave it.
  uint16_t WaitForListeningPort(int milliseconds = 10000) const;
  void Stop();

 private:
  pid_t m_pid = -1;
};

}  // namespace test
