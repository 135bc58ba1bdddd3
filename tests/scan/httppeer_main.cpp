// scan_http_peer: a web server that misbehaves on purpose, for lab hosts and benchmarks.
//
//   scan_http_peer <ip> <port> <mode> [argument]
//
// Modes:
//   server-only <name>  200 with an empty body and "Server: <name>"
//   redirect-login      "/" redirects to /login.htm, which has the title Login
//   redirect-loop       every request is redirected to a new path; the body is titled Loop
//   silent              accepts and never answers
//   flood               a page titled Flood whose body never ends
//   trickle             a body that never ends, one byte every 500 ms
//   blackhole           a listener whose queue is full, so the kernel drops every SYN
//
// Prints "ready" when it listens; runs until SIGTERM or SIGINT.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scan/httppeer.h"

namespace {

using scan::test::Response;
using scan::test::TPeerConnection;
using scan::test::TScriptedPeer;

TScriptedPeer::THandler HandlerFor(const std::string& mode, const std::string& argument) {
  if (mode == "server-only") {
    return [argument](TPeerConnection& c) {
      c.Send(Response("HTTP/1.1 200 OK", {"Server: " + argument}, ""));
    };
  }
  if (mode == "redirect-login") {
    return [](TPeerConnection& c) {
      if (c.RequestLine().starts_with("GET /login.htm ")) {
        c.Send(Response("HTTP/1.1 200 OK", {}, "<html><title>Login</title></html>"));
      } else {
        c.Send(Response("HTTP/1.1 302 Found", {"Location: /login.htm"}, ""));
      }
    };
  }
  if (mode == "redirect-loop") {
    auto hop = std::make_shared<std::atomic<int>>(0);
    return [hop](TPeerConnection& c) {
      c.Send(Response("HTTP/1.1 302 Found", {"Location: /hop" + std::to_string(++*hop)},
                      "<title>Loop</title>"));
    };
  }
  if (mode == "silent") {
    return [](TPeerConnection& c) { c.WaitForClose(); };
  }
  if (mode == "flood") {
    return [](TPeerConnection& c) {
      if (!c.Send("HTTP/1.1 200 OK\r\n\r\n<html><title>Flood</title>")) return;
      const std::string chunk(65536, 'x');
      while (c.Send(chunk)) {
      }
    };
  }
  if (mode == "trickle") {
    return [](TPeerConnection& c) {
      if (!c.Send("HTTP/1.1 200 OK\r\n\r\n<title>Trickle</title>")) return;
      while (c.Send("z") && c.Pause(500)) {
      }
    };
  }
  return nullptr;
}

int ConnectTo(const std::string& ip, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

// A listener with the smallest queue, filled by connections of our own that nobody accepts:
// Linux drops a SYN that finds the accept queue full, so connecting from outside hangs until
// the client's connect time-out, as with a firewall that drops SYNs.
bool Blackhole(const std::string& ip, uint16_t port, std::vector<int>& fds) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 0) != 0) {
    return false;
  }
  fds.push_back(listener);
  for (int i = 0; i < 3; ++i) {
    fds.push_back(ConnectTo(ip, port));
    usleep(100000);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: scan_http_peer <ip> <port> <mode> [argument]\n");
    return 2;
  }
  const std::string ip = argv[1];
  const auto port = static_cast<uint16_t>(std::stoi(argv[2]));
  const std::string mode = argv[3];
  const std::string argument = argc > 4 ? argv[4] : "";

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::vector<int> blackholeFds;
  std::unique_ptr<TScriptedPeer> peer;
  if (mode == "blackhole") {
    if (!Blackhole(ip, port, blackholeFds)) {
      std::perror("scan_http_peer: blackhole");
      return 1;
    }
  } else {
    TScriptedPeer::THandler handler = HandlerFor(mode, argument);
    if (!handler) {
      std::fprintf(stderr, "scan_http_peer: unknown mode %s\n", mode.c_str());
      return 2;
    }
    peer = std::make_unique<TScriptedPeer>(handler, ip, port);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  peer.reset();
  for (int fd : blackholeFds) {
    close(fd);
  }
  return 0;
}
