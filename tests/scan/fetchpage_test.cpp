#include "scan/webprobe.h"

#include <atomic>

#include <gtest/gtest.h>

#include "common/peer.h"
#include "common/serverprocess.h"
#include "common/temphome.h"

namespace scan {
namespace {

using test::Response;
using test::TPeerConnection;
using test::TRefusedPort;
using test::TScriptedPeer;

const std::string kUserAgentLine = "User-Agent: Mozilla/4.0 (compatible; quenZOR)";

std::string RequestLinesText(const std::string& target, const std::string& host) {
  return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" +
         kUserAgentLine + "\r\n\r\n";
}

std::string Fetch(const TScriptedPeer& peer) {
  return FetchPage("http://" + peer.HostPort(), peer.HostPort());
}

TEST(FetchPage, RealServerGivesThePageAndItsTitle) {
  test::TTempDir folder;
  const std::string page = "<html><head><title>Router Login</title></head><body>x</body></html>";
  test::WriteFile(folder.Path() + "/index.html", page);
  test::TServerProcess server(
      {"python3", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", folder.Path()},
      "/dev/null");
  const std::string hostPort = "127.0.0.1:" + std::to_string(server.WaitForListeningPort());
  std::string text = FetchPage("http://" + hostPort, hostPort);
  EXPECT_EQ(text, page);
  EXPECT_EQ(ExtractTitle(text), "Router Login");
}

TEST(FetchPage, RedirectToLoginPageIsFollowedOnTheSameAddress) {
  TScriptedPeer peer([](TPeerConnection& c) {
    if (c.RequestLine() == "GET / HTTP/1.1") {
      c.Send(Response("HTTP/1.1 302 Found", {"Location: /login.htm"}, "<title>302 Found</title>"));
    } else {
      c.Send(Response("HTTP/1.1 200 OK", {}, "<title>Login</title>"));
    }
  });
  std::string text = Fetch(peer);
  EXPECT_EQ(text, "<title>Login</title>");
  EXPECT_EQ(peer.RequestLines(),
            (std::vector<std::string>{"GET / HTTP/1.1", "GET /login.htm HTTP/1.1"}));
}

TEST(FetchPage, EndlessRedirectsStopAfterTenWithTheLastResponse) {
  std::atomic<int> hop{0};
  TScriptedPeer peer([&](TPeerConnection& c) {
    int n = hop++;
    c.Send(Response("HTTP/1.1 302 Found", {"Location: /hop" + std::to_string(n + 1)},
                    "hop " + std::to_string(n)));
  });
  EXPECT_EQ(Fetch(peer), "hop 10");
  EXPECT_EQ(peer.Accepted(), 11);
  EXPECT_EQ(peer.RequestLines().back(), "GET /hop10 HTTP/1.1");
}

// A redirect is followed only back to the device itself. Every other location, including the
// ones that used to reach another host with the device's address as credentials, leaves the
// response that carried it as the page, and the other host sees nothing.
TEST(FetchPage, RedirectsLeadingOffTheDeviceAreNotFollowed) {
  TScriptedPeer other(
      [](TPeerConnection& c) { c.Send(Response("HTTP/1.1 200 OK", {}, "<title>Other</title>")); },
      "127.0.0.2");
  std::string location;
  TScriptedPeer device([&](TPeerConnection& c) {
    if (c.RequestLine().starts_with("GET / ")) {
      c.Send(Response("HTTP/1.1 302 Found", {"Location: " + location}, "<title>Moved</title>"));
    } else {
      c.Send(Response("HTTP/1.1 200 OK", {}, "<title>Same</title>"));
    }
  });
  const std::string self = device.HostPort();
  const std::string elsewhere = other.HostPort();
  const std::string refused[] = {
      "@" + elsewhere + "/admin?x=1",
      "http://" + elsewhere + "/",
      "//" + elsewhere + "/",
      "http://@" + self + "/",
      "http://user:pw@" + self + "/",
      "https://" + self + "/",
      "http://localhost/",
      "http://x.invalid/",
      "ftp://" + self + "/",
      "/a b",
      "/a\x01"
      "b",
      "javascript:alert(1)",
      self + "/x",
      "http://" + self + ".evil/",
  };
  for (const std::string& value : refused) {
    location = value;
    EXPECT_EQ(ExtractTitle(Fetch(device)), "Moved") << value;
  }
  EXPECT_EQ(other.Accepted(), 0);

  const std::pair<std::string, std::string> followed[] = {
      {"/login", "GET /login HTTP/1.1"},
      {"http://" + self + "/b?c=1", "GET /b?c=1 HTTP/1.1"},
      {"HTTP://" + self, "GET / HTTP/1.1"},
      {"http://" + self + "?q", "GET /?q HTTP/1.1"},
  };
  for (const auto& [value, requestLine] : followed) {
    location = value;
    EXPECT_EQ(ExtractTitle(Fetch(device)), value == "HTTP://" + self ? "Moved" : "Same") << value;
    EXPECT_EQ(device.RequestLines().back(), requestLine) << value;
  }
}

TEST(FetchPage, OnlyExactLocationLinesRedirectAndTheLastOneWins) {
  TScriptedPeer peer([](TPeerConnection& c) {
    std::string line = c.RequestLine();
    if (line == "GET / HTTP/1.1") {
      c.Send(Response(
          "HTTP/1.1 200 OK",
          {"Location: /first", "Content-Location: /no", "location: /no", "Location:    /second"},
          "start"));
    } else if (line.starts_with("GET /second ")) {
      c.Send(Response("HTTP/1.1 200 OK", {"content-location: /no", "LOCATION: /no"}, "end"));
    } else {
      c.Send(Response("HTTP/1.1 200 OK", {}, "wrong"));
    }
  });
  EXPECT_EQ(Fetch(peer), "end");
  EXPECT_EQ(peer.RequestLines(),
            (std::vector<std::string>{"GET / HTTP/1.1", "GET /second HTTP/1.1"}));
}

TEST(FetchPage, LocationValueIsCutAt255Characters) {
  const std::string longPath = "/" + std::string(300, 'a');
  TScriptedPeer peer([&](TPeerConnection& c) {
    if (c.RequestLine() == "GET / HTTP/1.1") {
      c.Send(Response("HTTP/1.1 301 Moved", {"Location: " + longPath}, ""));
    } else {
      c.Send(Response("HTTP/1.1 200 OK", {}, "ok"));
    }
  });
  EXPECT_EQ(Fetch(peer), "ok");
  EXPECT_EQ(peer.RequestLines().back(), "GET " + longPath.substr(0, 255) + " HTTP/1.1");
}

TEST(FetchPage, EmptyBodyGivesTheHeaderTextAndTheServerName) {
  TScriptedPeer peer(
      [](TPeerConnection& c) { c.Send(Response("HTTP/1.1 200 OK", {"Server: lighttpd"}, "")); });
  std::string text = Fetch(peer);
  EXPECT_EQ(
      text,
      "HTTP/1.1 200 OK\r\nServer: lighttpd\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(ExtractTitle(text), "lighttpd");
}

TEST(FetchPage, NotFoundPageFallsBackToNoTitleWithoutServerLine) {
  TScriptedPeer peer([](TPeerConnection& c) {
    c.Send(Response("HTTP/1.1 404 Not Found", {}, "<title>404 Not Found</title>"));
  });
  std::string text = Fetch(peer);
  EXPECT_EQ(text, "<title>404 Not Found</title>");
  EXPECT_EQ(ExtractTitle(text), "<no title>");
}

TEST(FetchPage, RefusedConnectionGivesTheRequestLines) {
  TRefusedPort port;
  const std::string host = "127.0.0.1:" + std::to_string(port.Port());
  std::string text = FetchPage("http://" + host, host);
  EXPECT_EQ(text, RequestLinesText("/", host));
  EXPECT_EQ(ExtractTitle(text), "<no title>");
}

TEST(FetchPage, HttpsNeverGivesAPageOnlyTheRequestLines) {
  TScriptedPeer peer([](TPeerConnection& c) { c.WaitForClose(); });
  std::string text = FetchPage("https://" + peer.HostPort(), peer.HostPort());
  EXPECT_EQ(text, RequestLinesText("/", peer.HostPort()));
}

TEST(FetchPage, FailedRedirectGivesTheFailedClientsRequestLines) {
  TScriptedPeer* self = nullptr;
  TScriptedPeer peer([&](TPeerConnection& c) {
    self->StopListening();
    c.Send(Response("HTTP/1.1 302 Found", {"Location: /login.htm"}, "moved"));
  });
  self = &peer;
  std::string text = Fetch(peer);
  EXPECT_EQ(text, RequestLinesText("/login.htm", peer.HostPort()));
  EXPECT_EQ(ExtractTitle(text), "<no title>");
}

TEST(FetchPage, PeerThatSendsNoStatusLineGivesNothing) {
  TScriptedPeer silent([](TPeerConnection& c) { c.WaitForClose(); });
  TScriptedPeer closing([](TPeerConnection&) {});
  EXPECT_EQ(Fetch(silent), "");
  EXPECT_EQ(Fetch(closing), "");
}

TEST(FetchPage, EndlessBodyIsCutAtOneMebibyte) {
  TScriptedPeer peer([](TPeerConnection& c) {
    const std::string chunk(65536, 'x');
    if (!c.Send("HTTP/1.1 200 OK\r\nServer: flood\r\n\r\n")) return;
    while (c.Send(chunk)) {
    }
  });
  std::string text = Fetch(peer);
  EXPECT_GT(text.size(), 0u);
  EXPECT_LE(text.size(), 1024u * 1024u);
  EXPECT_EQ(text.find_first_not_of('x'), std::string::npos);
}

TEST(FetchPage, EndlessHeaderLineIsCutAndTheHeadersAreReturned) {
  TScriptedPeer peer([](TPeerConnection& c) {
    const std::string chunk(65536, 'y');
    if (!c.Send("HTTP/1.1 200 OK\r\nServer: flood\r\nX-Junk: ")) return;
    while (c.Send(chunk)) {
    }
  });
  std::string text = Fetch(peer);
  EXPECT_TRUE(text.starts_with("HTTP/1.1 200 OK\r\nServer: flood\r\n")) << text.substr(0, 200);
  EXPECT_LE(text.size(), 2u * 65536u);
  EXPECT_EQ(ExtractTitle(text), "flood");
}

// Takes the whole exchange bound of 30 s: the peer never stays silent long enough for the
// 2 s read time-out.
TEST(FetchPage, TricklingBodyIsCutByTheExchangeBound) {
  TScriptedPeer peer([](TPeerConnection& c) {
    if (!c.Send("HTTP/1.1 200 OK\r\n\r\n")) return;
    while (c.Send("z") && c.Pause(500)) {
    }
  });
  std::string text = Fetch(peer);
  EXPECT_GT(text.size(), 0u);
  EXPECT_EQ(text.find_first_not_of('z'), std::string::npos);
}

}  // namespace
}  // namespace scan
