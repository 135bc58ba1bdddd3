// Feeds arbitrary bytes to THTTPSend as a server's reply, sent by a loopback reply peer, so
// every exchange ends at the peer's close and never at a time-out.
//
// Input: one byte of settings, then the reply.
//   bit 0 HEAD instead of GET        bit 1 protocol "1.1" instead of "1.0"
//   bit 2 the web page probe's bounds (small)   bit 3 keep-alive
//   bit 4 a second exchange on the same object   bit 5 body into a temporary file

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/peer.h"
#include "common/temphome.h"
#include "http/httpsend.h"
#include "http/urlutil.h"

namespace {

// Temporary body files and the exchange log go below a home folder of the run's own. Both
// live for the whole run and go at its end, the peer (and its thread) first.
test::TReplyPeer& Peer() {
  static test::TTempHome home;
  static test::TReplyPeer peer;
  return peer;
}

void Exchange(http::THTTPSend& client, uint8_t settings) {
  const char* method = (settings & 1) != 0 ? "HEAD" : "GET";
  bool result = client.PerformRequest(method, Peer().Url("/fuzz"));
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
  if (client.MaxHeaderLines > 0 &&
      client.Headers.size() > static_cast<size_t>(client.MaxHeaderLines) + 1) {
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
  Peer().SetReply(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

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
