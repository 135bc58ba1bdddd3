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
//   trickle-status      a status line that never ends, one byte every second
//   blackhole           a listener whose queue is full, so the kernel drops every SYN
//   redirect-to <loc>   every request gets a 302 with "Location: <loc>"; the body is titled
//                       Redirecting
//   page <title>        200 with a page titled <title>, bytes as given
//   logged              200 with a page titled Logged; prints each request line on stdout
//   header-flood <n>    a status line, n header lines "a" of one byte each, a small page
//   slow-redirect <s>   a 302 whose head trickles in for s seconds (one header line per
//                       second), to a new path every time; the body is titled Slow
//   dns-log             (UDP) prints the name and type of every DNS query and answers each
//                       with "no such name", so resolvers move on at once
//
// Prints "ready" when it listens; runs until SIGTERM or SIGINT.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/peer.h"

namespace {

using test::Response;
using test::TPeerConnection;
using test::TScriptedPeer;

// Peers that answer with a page.
TScriptedPeer::THandler PageHandler(const std::string& mode, const std::string& argument) {
  if (mode == "server-only") {
    return [argument](TPeerConnection& c) {
      c.Send(Response("HTTP/1.1 200 OK", {"Server: " + argument}, ""));
    };
  }
  if (mode == "page") {
    return [argument](TPeerConnection& c) {
      c.Send(Response("HTTP/1.1 200 OK", {}, "<html><title>" + argument + "</title></html>"));
    };
  }
  if (mode == "logged") {
    return [](TPeerConnection& c) {
      std::printf("request %s\n", c.RequestLine().c_str());
      std::fflush(stdout);
      c.Send(Response("HTTP/1.1 200 OK", {}, "<title>Logged</title>"));
    };
  }
  return nullptr;
}

// Peers that redirect.
TScriptedPeer::THandler RedirectHandler(const std::string& mode, const std::string& argument) {
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
  if (mode == "redirect-to") {
    return [argument](TPeerConnection& c) {
      c.Send(
          Response("HTTP/1.1 302 Found", {"Location: " + argument}, "<title>Redirecting</title>"));
    };
  }
  if (mode == "slow-redirect") {
    const int seconds = std::stoi(argument);
    auto hop = std::make_shared<std::atomic<int>>(0);
    return [seconds, hop](TPeerConnection& c) {
      if (!c.Send("HTTP/1.1 302 Found\r\n")) return;
      for (int i = 0; i < seconds; ++i) {
        if (!c.Pause(1000) || !c.Send("X-Wait: " + std::to_string(i) + "\r\n")) return;
      }
      const std::string body = "<title>Slow</title>";
      c.Send("Location: /hop" + std::to_string(++*hop) + "\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    };
  }
  return nullptr;
}

// Peers that stall, trickle or flood.
TScriptedPeer::THandler HostileHandler(const std::string& mode, const std::string& argument) {
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
  if (mode == "trickle-status") {
    return [](TPeerConnection& c) {
      while (c.Send("H") && c.Pause(1000)) {
      }
    };
  }
  if (mode == "header-flood") {
    const long lines = std::stol(argument);
    return [lines](TPeerConnection& c) {
      std::string reply = "HTTP/1.1 200 OK\n";
      reply.reserve(static_cast<size_t>(lines) * 2 + 64);
      for (long i = 0; i < lines; ++i) reply += "a\n";
      reply += "\n<title>Flooded</title>";
      c.Send(reply);
    };
  }
  return nullptr;
}

// The handler of a mode, nullptr for an unknown one.
TScriptedPeer::THandler HandlerFor(const std::string& mode, const std::string& argument) {
  if (auto handler = PageHandler(mode, argument)) return handler;
  if (auto handler = RedirectHandler(mode, argument)) return handler;
  return HostileHandler(mode, argument);
}

// Prints every DNS query that reaches ip:port over UDP ("query <name> <type>") and answers none.
int LogDnsQueries(const std::string& ip, uint16_t port, const sigset_t& stopSignals) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("scan_http_peer: dns-log");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  while (true) {
    pollfd entries[2] = {{fd, POLLIN, 0}, {signals, POLLIN, 0}};
    if (poll(entries, 2, -1) < 0 && errno != EINTR) break;
    if (entries[1].revents != 0) break;
    if (entries[0].revents == 0) continue;
    unsigned char packet[1500];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t got =
        recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    // RFC 1035 section 4.1: a 12-byte header, then the question's name as labels.
    std::string name;
    ssize_t at = 12;
    while (at < got && packet[at] != 0 && at + 1 + packet[at] <= got) {
      if (!name.empty()) name += '.';
      name.append(reinterpret_cast<const char*>(packet + at + 1), packet[at]);
      at += 1 + packet[at];
    }
    const int type = at + 2 < got ? packet[at + 1] << 8 | packet[at + 2] : -1;
    std::printf("query %s %d\n", name.c_str(), type);
    std::fflush(stdout);
    // The answer: the header and question sent back with QR, RA and RCODE 3 (NXDOMAIN) set
    // and no records.
    const ssize_t questionEnd = at + 5;
    if (got >= 12 && questionEnd <= got) {
      packet[2] = static_cast<unsigned char>(packet[2] | 0x80);
      packet[3] = 0x83;
      for (int i = 6; i < 12; ++i) packet[i] = 0;
      sendto(fd, packet, static_cast<size_t>(questionEnd), 0, reinterpret_cast<sockaddr*>(&from),
             fromLength);
    }
  }
  close(fd);
  return 0;
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

  if (mode == "dns-log") return LogDnsQueries(ip, port, stopSignals);

  std::unique_ptr<test::TUnansweringListener> blackhole;
  std::unique_ptr<TScriptedPeer> peer;
  if (mode == "blackhole") {
    blackhole = std::make_unique<test::TUnansweringListener>(ip, port);
  } else {
    TScriptedPeer::THandler handler = HandlerFor(mode, argument);
    if (!handler) {
      std::fprintf(stderr, "scan_http_peer: unknown mode %s\n", mode.c_str());
      return 2;
    }
    peer = std::make_unique<TScriptedPeer>(handler, ip, port);
  }
  if (blackhole ? !blackhole->Listening() : !peer->Listening()) {
    std::perror("scan_http_peer: listen");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  return 0;
}
