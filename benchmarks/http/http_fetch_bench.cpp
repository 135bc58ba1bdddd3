// Fetch benchmark: a 10 MiB body from lighttpd on 127.0.0.1, fetched five times by THTTPSend
// (in a child process of its own, as the probe would) and five times by curl, interleaved.
// Prints each run and the medians of wall time and peak resident memory.
//
//   http_fetch_bench [runs] [MiB]
//   http_fetch_bench --fetch <url> <size> <hash> [--verify]   (the child: one exchange)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "http/httpsend.h"

extern char** environ;

namespace {

struct TRun {
  double WallMs = 0;
  double PeakRssMiB = 0;
  int Status = -1;
};

// FNV-1a over 8-byte words: cheap enough not to weigh on the measured fetch.
constexpr uint64_t kFnvBasis = 1469598103934665603ull;

uint64_t Fnv1a(uint64_t hash, const char* data, size_t size) {
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    hash = (hash ^ word) * 1099511628211ull;
  }
  for (; i < size; ++i) {
    hash = (hash ^ static_cast<uint8_t>(data[i])) * 1099511628211ull;
  }
  return hash;
}

// One exchange in a fresh process. The body's hash is checked only when asked: hashing
// 10 MiB would weigh on the measured time, so the timed runs check the size alone.
int FetchOnce(const std::string& url, int64_t size, uint64_t hash, bool verify) {
  http::THTTPSend client;
  client.KeepAlive = false;
  client.Protocol = "1.1";
  if (!client.PerformRequest("GET", url) || client.ResultCode != 200) {
    std::fprintf(stderr, "fetch failed: %d %d\n", client.ResultCode, client.Sock->LastErrorCode());
    return 2;
  }
  auto* memory = dynamic_cast<http::TMemoryStream*>(client.Document.get());
  if (memory == nullptr || memory->Size() != size ||
      (verify && Fnv1a(kFnvBasis, memory->Data(), static_cast<size_t>(size)) != hash)) {
    std::fprintf(stderr, "body differs\n");
    return 3;
  }
  return 0;
}

TRun RunChild(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  TRun run;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return run;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.WallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  run.PeakRssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  return run;
}

// A socket listening on a loopback port the kernel picks (lighttpd reads port 0 as its
// default 80, so it is handed this socket instead); -1 on failure. Its number is above 3, so
// a dup2 to 3 makes a new descriptor, which exec keeps.
int ListenOnLoopback(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  port = ntohs(address.sin_port);
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return moved;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string SelfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::string(argv[1]) == "--fetch") {
    return FetchOnce(argv[2], std::atoll(argv[3]), std::strtoull(argv[4], nullptr, 10), argc > 5);
  }
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  int mebibytes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
  const char* lighttpd = access("/usr/sbin/lighttpd", X_OK) == 0 ? "/usr/sbin/lighttpd" : nullptr;
  const char* curl = access("/usr/bin/curl", X_OK) == 0 ? "/usr/bin/curl" : nullptr;
  if (lighttpd == nullptr) {
    std::printf("lighttpd is not installed; nothing measured\n");
    return 0;
  }

  std::string dir = "/tmp/qzbench.XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    return 1;
  }
  // Written in pieces and hashed on the way, so this process stays small: a child's peak
  // resident size counts what its parent held when it was started.
  int64_t size = static_cast<int64_t>(mebibytes) << 20;
  uint64_t hash = kFnvBasis;
  {
    std::ofstream out(dir + "/body.bin", std::ios::binary);
    std::vector<char> piece(1 << 16);
    uint64_t state = 88172645463325252ull;
    for (int64_t written = 0; written < size; written += static_cast<int64_t>(piece.size())) {
      for (char& c : piece) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(state);
      }
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
      hash = Fnv1a(hash, piece.data(), piece.size());
    }
  }

  uint16_t port = 0;
  int listener = ListenOnLoopback(port);
  if (listener < 0) {
    return 1;
  }
  std::ofstream(dir + "/lighttpd.conf")
      << "server.document-root = \"" << dir
      << "\"\nserver.bind = \"127.0.0.1\"\nserver.port = " << port << "\nserver.errorlog = \""
      << dir << "/error.log\"\n"
      << "server.systemd-socket-activation = \"enable\"\n"
      << "mimetype.assign = (\".bin\" => \"application/octet-stream\")\n";
  // The socket goes to lighttpd as fd 3 by socket activation; the shell names its own pid,
  // which exec keeps, as LISTEN_PID. Connections wait in its queue until lighttpd runs.
  std::vector<std::string> serverArgs = {"/bin/sh",
                                         "-c",
                                         "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\" \"$@\"",
                                         lighttpd,
                                         "-D",
                                         "-f",
                                         dir + "/lighttpd.conf"};
  std::vector<char*> args;
  for (const std::string& arg : serverArgs) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, listener, 3);
  pid_t server = -1;
  int spawned = posix_spawn(&server, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(listener);
  if (spawned != 0) {
    return 1;
  }

  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/body.bin";
  TRun check = RunChild(
      {SelfPath(), "--fetch", url, std::to_string(size), std::to_string(hash), "--verify"});
  std::printf("fetching %d MiB from lighttpd on loopback, %d runs each (body check: %s)\n",
              mebibytes, runs, check.Status == 0 ? "bytes equal" : "FAILED");
  bool ok = check.Status == 0;
  std::printf("%-10s %4s %10s %12s\n", "client", "run", "wall ms", "peak RSS MiB");
  std::vector<double> ourWall, ourRss, curlWall, curlRss;
  for (int i = 0; i < runs; ++i) {
    TRun ours = RunChild({SelfPath(), "--fetch", url, std::to_string(size), std::to_string(hash)});
    std::printf("%-10s %4d %10.1f %12.1f%s\n", "THTTPSend", i + 1, ours.WallMs, ours.PeakRssMiB,
                ours.Status == 0 ? "" : "  FAILED");
    ok = ok && ours.Status == 0;
    ourWall.push_back(ours.WallMs);
    ourRss.push_back(ours.PeakRssMiB);
    if (curl != nullptr) {
      TRun theirs = RunChild({curl, "-s", "-f", "-o", "/dev/null", url});
      std::printf("%-10s %4d %10.1f %12.1f%s\n", "curl", i + 1, theirs.WallMs, theirs.PeakRssMiB,
                  theirs.Status == 0 ? "" : "  FAILED");
      curlWall.push_back(theirs.WallMs);
      curlRss.push_back(theirs.PeakRssMiB);
    }
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  std::filesystem::remove_all(dir);

  double bodyMiB = static_cast<double>(size) / (1 << 20);
  std::printf("\nmedian THTTPSend: wall %.1f ms, peak RSS %.1f MiB (%.2f x body)\n",
              Median(ourWall), Median(ourRss), Median(ourRss) / bodyMiB);
  if (curl != nullptr) {
    std::printf("median curl:      wall %.1f ms, peak RSS %.1f MiB (body to /dev/null)\n",
                Median(curlWall), Median(curlRss));
    std::printf("wall time THTTPSend / curl: %.2f (target <= 1.5)\n",
                Median(ourWall) / Median(curlWall));
  }
  std::printf("memory THTTPSend / body: %.2f (target <= 2.0)\n", Median(ourRss) / bodyMiB);
  return ok ? 0 : 1;
}
