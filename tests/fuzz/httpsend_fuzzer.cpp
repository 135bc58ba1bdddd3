// Feeds arbitrary bytes to THTTPSend as a server's reply. A loopback peer thread accepts each
// connection, reads the request head, sends the input, ends its sending side and waits for
// the client to close, so every exchange ends at the peer's close and never at a time-out.
//
// Input: one byte of settings, then the reply.
//   bit 0 HEAD instead of GET        bit 1 protocol "1.1" instead of "1.0"
//   bit 2 the web page probe's bounds (small)   bit 3 keep-alive
//   bit 4 a second exchange on the same object   bit 5 body into a temporary file

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "http/httpsend.h"
#include "http/urlutil.h"

namespace {

class TReplyPeer {
 public:
  TReplyPeer() {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 64) != 0) {
      std::abort();
    }
    socklen_t length = sizeof address;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    std::thread([this] { Serve(); }).detach();
  }

  void SetReply(std::string reply) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_reply = std::move(reply);
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/fuzz"; }

 private:
  void Serve() {
    while (true) {
      int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        continue;
      }
      std::string reply;
      {
        std::lock_guard<std::mutex> guard(m_lock);
        reply = m_reply;
      }
      ReadHead(fd);
      size_t sent = 0;
      while (sent < reply.size()) {
        ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
          break;
        }
        sent += static_cast<size_t>(n);
      }
      shutdown(fd, SHUT_WR);
      char buffer[4096];
      pollfd entry{fd, POLLIN, 0};
      while (poll(&entry, 1, 5000) > 0 && recv(fd, buffer, sizeof buffer, 0) > 0) {
      }
      close(fd);
    }
  }

  static void ReadHead(int fd) {
    std::string head;
    char c;
    pollfd entry{fd, POLLIN, 0};
    while (head.size() < 65536 && head.find("\r\n\r\n") == std::string::npos &&
           poll(&entry, 1, 5000) > 0 && recv(fd, &c, 1, 0) == 1) {
      head += c;
    }
  }

  int m_listener = -1;
  uint16_t m_port = 0;
  std::mutex m_lock;
  std::string m_reply;
};

// Temporary body files and the exchange log go below a home folder of the run's own.
std::string& TempHome() {
  static std::string path;
  return path;
}

void RemoveTempHome() { std::filesystem::remove_all(TempHome()); }

TReplyPeer& Peer() {
  static TReplyPeer* peer = [] {
    std::string pattern = "/tmp/qzfuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    TempHome() = pattern;
    setenv("HOME", pattern.c_str(), 1);
    std::atexit(RemoveTempHome);
    return new TReplyPeer();  // lives for the whole run, as its thread does
  }();
  return *peer;
}

void Exchange(http::THTTPSend& client, uint8_t settings) {
  const char* method = (settings & 1) != 0 ? "HEAD" : "GET";
  bool result = client.PerformRequest(method, Peer().Url());
  // What the web page probe reads afterwards must always be readable.
  int64_t size = client.Document->Size();
  std::string body = http::ReadStreamText(*client.Document, size);
  if (result && client.Document->Position() != size) {
    std::abort();
  }
  if (result && !client.Headers.empty() && !client.Headers.back().empty()) {
    std::abort();
  }
  if (client.MaxBodySize > 0 && size > client.MaxBodySize) {
    std::abort();  // the cap holds
  }
  if (client.MaxHeaderLines > 0 && client.Headers.size() > static_cast<size_t>(client.MaxHeaderLines) + 1) {
    std::abort();  // so does the head's line bound (the closing empty entry comes on top)
  }
  (void)body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return 0;
  }
  uint8_t settings = data[0];
  Peer().SetReply(std::string(reinterpret_cast<const char*>(data + 1), size - 1));

  http::THTTPSend client;
  client.Timeout = 5000;
  client.Protocol = (settings & 2) != 0 ? "1.1" : "1.0";
  client.KeepAlive = (settings & 8) != 0;
  if ((settings & 4) != 0) {
    client.MaxBodySize = 1000;
    client.MaxHeaderBytes = 1000;
    client.MaxHeaderLines = 20;
    client.ExchangeTimeout = 10000;
    client.Sock->MaxLineLength = 100;
  }
  client.UseTemporaryFile = (settings & 32) != 0;
  try {
    Exchange(client, settings);
    if ((settings & 16) != 0) {
      client.Headers.clear();
      client.DocumentClear();
      Exchange(client, settings);
    }
  } catch (const std::exception&) {
    // Only the temporary file may fail to be made (no writable home); the client reports
    // that by raising.
    if (!client.UseTemporaryFile) {
      std::abort();
    }
  }
  return 0;
}
