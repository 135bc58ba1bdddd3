// Header flood benchmark: what one web page fetch of the probe costs against a device whose
// reply carries a huge number of tiny header lines. A loopback peer answers every connection
// with a status line, `lines` header lines of one byte each ("a" LF: 2 bytes on the wire per
// line), an empty line and a small page; FetchPage runs against it `parallel` times at once.
// Prints the wall time and how much the peak resident memory grew over the start.
//
//   header_flood_bench [lines] [parallel]      (defaults 1000000 and 1)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "scan/webprobe.h"

namespace {

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void Answer(int fd, const std::string& reply) {
  char head[4096];
  pollfd entry{fd, POLLIN, 0};
  if (poll(&entry, 1, 5000) > 0) {
    (void)!recv(fd, head, sizeof head, 0);
  }
  size_t sent = 0;
  while (sent < reply.size()) {
    const ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  while (poll(&entry, 1, 5000) > 0 && recv(fd, head, sizeof head, 0) > 0) {
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  const int parallel = argc > 2 ? std::atoi(argv[2]) : 1;

  std::string reply = "HTTP/1.1 200 OK\n";
  reply.reserve(static_cast<size_t>(lines) * 2 + 64);
  for (long i = 0; i < lines; ++i) reply += "a\n";
  reply += "\n<title>Flooded</title>";

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    std::perror("header_flood_bench: listen");
    return 1;
  }
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

  std::thread server([&] {
    std::vector<std::thread> connections;
    for (int i = 0; i < parallel; ++i) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) break;
      connections.emplace_back(Answer, fd, std::cref(reply));
    }
    for (std::thread& connection : connections) connection.join();
  });

  const long startRss = PeakRssKiB();
  const auto started = std::chrono::steady_clock::now();
  std::atomic<int> titled{0};
  std::vector<std::thread> fetches;
  for (int i = 0; i < parallel; ++i) {
    fetches.emplace_back([&] {
      if (scan::ExtractTitle(scan::FetchPage(url, "127.0.0.1")) == "Flooded") ++titled;
    });
  }
  for (std::thread& fetch : fetches) fetch.join();
  const double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  server.join();
  close(listener);

  std::printf("lines %ld parallel %d wall_ms %.0f peak_rss_growth_mib %.1f pages_with_title %d\n",
              lines, parallel, wallMs, static_cast<double>(PeakRssKiB() - startRss) / 1024.0,
              titled.load());
  return 0;
}
