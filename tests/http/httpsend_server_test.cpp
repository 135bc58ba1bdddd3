#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "http/httpsend.h"
#include "common/peer.h"
#include "common/serverprocess.h"
#include "common/temphome.h"
#include "http/urlutil.h"

// Exchanges with real HTTP servers from the system, started on loopback for each test.

namespace http {
namespace {

using test::TServerProcess;
using test::TTempDir;

const char kPythonServer[] = R"PY(
import http.server, os, sys

os.chdir(sys.argv[1])

class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        sys.stderr.write("client-port %d %s\n" % (self.client_address[1], fmt % args))
        sys.stderr.flush()

    def reply(self, body, extra=()):
        self.send_response(200)
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/cookie":
            return self.reply(b"cookie set", [("Set-Cookie", "session=abc123; Path=/; HttpOnly")])
        if self.path == "/echo-cookie":
            return self.reply((self.headers.get("Cookie") or "").encode())
        if self.path == "/chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(50):
                data = ("line %d\n" % i).encode() * 100
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
                self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
            return
        return super().do_GET()

http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler).serve_forever()
)PY";

std::string ChunkedText() {
  std::string text;
  for (int i = 0; i < 50; ++i) {
    std::string line = "line " + std::to_string(i) + "\n";
    for (int j = 0; j < 100; ++j) {
      text += line;
    }
  }
  return text;
}

std::string DocumentText(THTTPSend& client) {
  client.Document->SetPosition(0);
  return ReadStreamText(*client.Document, client.Document->Size());
}

std::string HeaderValue(const THTTPSend& client, const std::string& name) {
  for (const std::string& line : client.Headers) {
    if (LowerCase(TextBefore(line, ":")) == LowerCase(name)) {
      return Trim(TextAfter(line, ":"));
    }
  }
  return {};
}

// Between exchanges on one object the caller empties what the last response left: Headers
// and Document are the next request's lines and body.
void PrepareNextRequest(THTTPSend& client) {
  client.Headers.clear();
  client.DocumentClear();
}

std::unique_ptr<THTTPSend> ProbeClient() {
  auto client = std::make_unique<THTTPSend>();
  client->Timeout = 2000;
  client->KeepAlive = false;
  client->Protocol = "1.1";
  return client;
}

// A docroot with a small page and a large file of known bytes.
class TDocRoot {
 public:
  TDocRoot() {
    test::WriteFile(Root() + "/index.html",
                    "<html><head><title>Test Page</title></head><body>hi</body></html>\n");
    test::WriteFile(Root() + "/b.html", "<html>b</html>\n");
    std::string large;
    large.reserve(kLargeSize);
    for (int i = 0; large.size() < kLargeSize; ++i) {
      large += std::to_string(i) + ",";
    }
    large.resize(kLargeSize);
    test::WriteFile(Root() + "/large.bin", large);
    m_large = large;
  }
  std::string Root() const { return m_dir.Path(); }
  const std::string& Large() const { return m_large; }

  static constexpr size_t kLargeSize = 5 * 1024 * 1024 + 123;

 private:
  TTempDir m_dir;
  std::string m_large;
};

class PythonServer : public testing::Test {
 protected:
  void SetUp() override {
    std::string python = test::FindProgram({"/usr/bin/python3", "/usr/local/bin/python3"});
    if (python.empty()) {
      GTEST_SKIP() << "python3 is not installed";
    }
    test::WriteFile(m_scripts.Path() + "/server.py", kPythonServer);
    m_log = m_scripts.Path() + "/server.log";
    m_server = std::make_unique<TServerProcess>(
        std::vector<std::string>{python, "-u", m_scripts.Path() + "/server.py", m_docs.Root()},
        m_log);
    m_port = m_server->WaitForListeningPort();
    ASSERT_NE(m_port, 0) << test::ReadFile(m_log);
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
  }

  // The client ports of the requests the server logged.
  std::set<std::string> ClientPorts() const {
    std::set<std::string> ports;
    std::istringstream log(test::ReadFile(m_log));
    std::string word;
    while (log >> word) {
      if (word == "client-port" && log >> word) {
        ports.insert(word);
      }
    }
    return ports;
  }

  TDocRoot m_docs;
  TTempDir m_scripts;
  std::string m_log;
  std::unique_ptr<TServerProcess> m_server;
  uint16_t m_port = 0;
};

TEST_F(PythonServer, ProbeGetsThePage) {
  auto client = ProbeClient();
  EXPECT_TRUE(client->PerformRequest("GET", Url("/")));
  EXPECT_EQ(client->ResultCode, 200);
  EXPECT_EQ(client->Headers.front(), "HTTP/1.1 200 OK");
  EXPECT_EQ(client->Headers.back(), "");
  EXPECT_EQ(client->MimeType, "text/html");
  EXPECT_EQ(DocumentText(*client), test::ReadFile(m_docs.Root() + "/index.html"));
}

TEST_F(PythonServer, KeepAliveReusesOneConnection) {
  THTTPSend client;
  client.Protocol = "1.1";
  EXPECT_TRUE(client.PerformRequest("GET", Url("/index.html")));
  PrepareNextRequest(client);
  EXPECT_TRUE(client.PerformRequest("GET", Url("/b.html")));
  EXPECT_EQ(DocumentText(client), "<html>b</html>\n");
  PrepareNextRequest(client);
  EXPECT_TRUE(client.PerformRequest("GET", Url("/index.html")));
  m_server->Stop();
  EXPECT_EQ(ClientPorts().size(), 1u) << test::ReadFile(m_log);
}

TEST_F(PythonServer, ChunkedBody) {
  auto client = ProbeClient();
  EXPECT_TRUE(client->PerformRequest("GET", Url("/chunked")));
  EXPECT_EQ(client->TransferMode, TTransferMode::Chunked);
  EXPECT_EQ(DocumentText(*client), ChunkedText());
}

TEST_F(PythonServer, HeadReadsHeadersOnly) {
  auto client = ProbeClient();
  EXPECT_TRUE(client->PerformRequest("HEAD", Url("/large.bin")));
  EXPECT_EQ(client->ResultCode, 200);
  EXPECT_EQ(HeaderValue(*client, "Content-Length"), std::to_string(TDocRoot::kLargeSize));
  EXPECT_EQ(client->Document->Size(), 0);
}

TEST_F(PythonServer, NotModifiedHasNoBody) {
  auto client = ProbeClient();
  client->Headers = {"If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT"};
  EXPECT_TRUE(client->PerformRequest("GET", Url("/index.html")));
  EXPECT_EQ(client->ResultCode, 304);
  EXPECT_EQ(client->Document->Size(), 0);
}

TEST_F(PythonServer, CookieIsKeptAndSentBack) {
  THTTPSend client;
  client.Protocol = "1.1";
  EXPECT_TRUE(client.PerformRequest("GET", Url("/cookie")));
  EXPECT_EQ(client.Cookies, std::vector<std::string>{"session=abc123"});
  PrepareNextRequest(client);
  EXPECT_TRUE(client.PerformRequest("GET", Url("/echo-cookie")));
  EXPECT_EQ(DocumentText(client), "session=abc123");
}

TEST_F(PythonServer, MissingPageIs404WithItsBody) {
  auto client = ProbeClient();
  EXPECT_TRUE(client->PerformRequest("GET", Url("/nothing-here")));
  EXPECT_EQ(client->ResultCode, 404);
  EXPECT_EQ(client->ResultString, "File not found");
  EXPECT_GT(client->Document->Size(), 0);
}

class LighttpdServer : public testing::Test {
 protected:
  void SetUp() override {
    std::string lighttpd = test::FindProgram({"/usr/sbin/lighttpd", "/usr/bin/lighttpd"});
    if (lighttpd.empty()) {
      GTEST_SKIP() << "lighttpd is not installed";
    }
    // lighttpd takes port 0 for its default port 80, so it gets a socket bound here instead.
    int listener = test::BindTcp("127.0.0.1", 0, 64, &m_port);
    ASSERT_GE(listener, 0);
    std::string config = m_work.Path() + "/lighttpd.conf";
    test::WriteFile(config, "server.document-root = \"" + m_docs.Root() +
                                "\"\nserver.bind = \"127.0.0.1\"\nserver.port = " +
                                std::to_string(m_port) + "\nserver.errorlog = \"" + m_work.Path() +
                                "/error.log\"\nindex-file.names = (\"index.html\")\n"
                                "server.systemd-socket-activation = \"enable\"\n"
                                "mimetype.assign = (\".html\" => \"text/html\", "
                                "\".bin\" => \"application/octet-stream\")\n");
    m_server =
        std::make_unique<TServerProcess>(std::vector<std::string>{lighttpd, "-D", "-f", config},
                                         m_work.Path() + "/out.log", listener);
    close(listener);
    ASSERT_EQ(m_server->WaitForListeningPort(), m_port)
        << test::ReadFile(m_work.Path() + "/error.log");
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
  }

  TDocRoot m_docs;
  TTempDir m_work;
  std::unique_ptr<TServerProcess> m_server;
  uint16_t m_port = 0;
};

TEST_F(LighttpdServer, LargeBodyArrivesWhole) {
  auto client = ProbeClient();
  EXPECT_TRUE(client->PerformRequest("GET", Url("/large.bin")));
  EXPECT_EQ(client->DownloadSize, static_cast<int32_t>(TDocRoot::kLargeSize));
  EXPECT_EQ(client->MimeType, "application/octet-stream");
  EXPECT_TRUE(DocumentText(*client) == m_docs.Large());
}

TEST_F(LighttpdServer, KeepAliveThenConditionalRequestGets304) {
  THTTPSend client;
  client.Protocol = "1.1";
  EXPECT_TRUE(client.PerformRequest("GET", Url("/index.html")));
  std::string etag = HeaderValue(client, "ETag");
  ASSERT_FALSE(etag.empty());
  int32_t localPort = client.Sock->LocalPort();
  PrepareNextRequest(client);
  client.Headers = {"If-None-Match: " + etag};
  EXPECT_TRUE(client.PerformRequest("GET", Url("/index.html")));
  EXPECT_EQ(client.ResultCode, 304);
  EXPECT_EQ(client.Document->Size(), 0);
  EXPECT_EQ(client.Sock->LocalPort(), localPort);
  EXPECT_EQ(client.AliveHost, "127.0.0.1");
}

TEST_F(LighttpdServer, RangeRequestGetsThePart) {
  auto client = ProbeClient();
  client->RangeStart = 10;
  client->RangeEnd = 19;
  EXPECT_TRUE(client->PerformRequest("GET", Url("/large.bin")));
  EXPECT_EQ(client->ResultCode, 206);
  EXPECT_EQ(DocumentText(*client), m_docs.Large().substr(10, 10));
}

TEST(BusyboxServer, ProbeGetsThePageOverHttp10) {
  std::string busybox = test::FindProgram({"/usr/bin/busybox", "/bin/busybox"});
  if (busybox.empty()) {
    GTEST_SKIP() << "busybox is not installed";
  }
  TDocRoot docs;
  TServerProcess server({busybox, "httpd", "-f", "-p", "127.0.0.1:0", "-h", docs.Root()},
                        "/dev/null");
  uint16_t port = server.WaitForListeningPort();
  ASSERT_NE(port, 0);
  auto client = ProbeClient();
  EXPECT_TRUE(client->PerformRequest("GET", "http://127.0.0.1:" + std::to_string(port) + "/"));
  EXPECT_EQ(client->ResultCode, 200);
  EXPECT_EQ(client->Headers.front().substr(0, 9), "HTTP/1.1 ");
  EXPECT_EQ(DocumentText(*client), test::ReadFile(docs.Root() + "/index.html"));
  EXPECT_FALSE(client->Sock->HasHandle());
}

}  // namespace
}  // namespace http
