#include "scan/webprobe.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "http/httpsend.h"
#include "http/urlutil.h"

namespace scan {

namespace {

// The client settings of every exchange of the probe.
constexpr int32_t kReadTimeout = 2000;  // ms, each wait for incoming data
constexpr const char* kProtocol = "1.1";
// Bounds that keep a hostile or broken device from holding the worker, and with it the
// whole pass, or from filling memory: the page's body, one header line, the whole exchange.
constexpr int64_t kMaxBodySize = 1024 * 1024;
constexpr int32_t kMaxLineLength = 64 * 1024;
constexpr int32_t kExchangeTimeout = 30000;
// A device that redirects for ever is left after this many hops.
constexpr int kMaxRedirects = 10;
constexpr size_t kLocationPrefixLength = 10;  // "Location: "
constexpr size_t kMaxLocationLength = 255;

std::unique_ptr<http::THTTPSend> NewClient() {
  auto client = std::make_unique<http::THTTPSend>();
  client->Timeout = kReadTimeout;
  client->KeepAlive = false;
  client->Protocol = kProtocol;
  client->MaxBodySize = kMaxBodySize;
  client->ExchangeTimeout = kExchangeTimeout;
  client->Sock->MaxLineLength = kMaxLineLength;
  return client;
}

// The redirect target named by the response's last "Location: " line (exact spelling, blank
// included; Content-Location does not count), on the same address and always over plain
// HTTP, the value appended as it stands; empty when there is none. The status line is not
// looked at: any response that names a location is followed.
std::string RedirectTarget(const std::vector<std::string>& headers, const std::string& address) {
  std::string next;
  for (size_t i = 1; i < headers.size(); ++i) {
    const std::string& entry = headers[i];
    if (entry.starts_with("Location: ")) {
      next = "http://" + address +
             http::Trim(entry.substr(kLocationPrefixLength, kMaxLocationLength));
    }
  }
  return next;
}

// The body, read from the document's current position, or, when there is none, the header
// list. A document that holds fewer bytes from its position than its size (a reply cut off
// before its status line leaves its position past the data) raises, and nothing is taken.
std::string ResponseText(http::THTTPSend& client) {
  const int64_t size = client.Document->Size();
  if (size < 1) {
    std::string text;
    for (const std::string& entry : client.Headers) {
      text += entry + "\r\n";
    }
    return text;
  }
  std::string body(static_cast<size_t>(size), '\0');
  client.Document->ReadBuffer(body.data(), size);
  return body;
}

constexpr size_t kTagLength = 7;  // "<title>"

// Position of first, else of second; npos when neither occurs.
size_t FindEither(const std::string& text, const char* first, const char* second) {
  size_t position = text.find(first);
  return position != std::string::npos ? position : text.find(second);
}

// The title element's text as it stands: no trimming, no decoding, line breaks kept. Only the
// two spellings all-lower and all-upper are recognised, and no tag with attributes.
std::string TitleElement(const std::string& text) {
  const size_t open = FindEither(text, "<title>", "<TITLE>");
  const size_t close = FindEither(text, "</title>", "</TITLE>");
  if (open == std::string::npos || close == std::string::npos || close <= open + kTagLength) {
    return {};
  }
  return text.substr(open + kTagLength, close - open - kTagLength);
}

// The value of the first "Server: " to the end of the text or the first CR LF after it.
std::string ServerValue(const std::string& text) {
  constexpr std::string_view kServer = "Server: ";
  const size_t position = text.find(kServer);
  if (position == std::string::npos) {
    return {};
  }
  std::string value = text.substr(position + kServer.size());
  const size_t lineEnd = value.find("\r\n");
  if (lineEnd != std::string::npos) {
    value.resize(lineEnd);
  }
  return value;
}

}  // namespace

std::string FetchPage(const std::string& url, const std::string& address) {
  std::string result;
  try {
    std::unique_ptr<http::THTTPSend> client = NewClient();
    if (client->PerformRequest("GET", url)) {
      for (int redirects = 0; redirects < kMaxRedirects; ++redirects) {
        const std::string next = RedirectTarget(client->Headers, address);
        if (next.empty()) {
          break;
        }
        client.reset();
        client = NewClient();
        if (!client->PerformRequest("GET", next)) {
          break;
        }
      }
    }
    result = ResponseText(*client);
  } catch (...) {
    // Socket, stream or memory failures: the device gave no page.
  }
  return result;
}

std::string ExtractTitle(const std::string& text) {
  std::string title = TitleElement(text);
  // Error pages ("404 Not Found", "302 Found") name no device.
  if (http::LowerCase(title).find("found") != std::string::npos) {
    title.clear();
  }
  // Drops a character reference and what follows it ("Tom &amp; Jerry" gives "Tom ").
  const size_t ampersand = title.find('&');
  if (ampersand != std::string::npos) {
    title.resize(ampersand);
  }
  if (title.empty()) {
    title = ServerValue(text);
  }
  if (title.empty()) {
    title = "<no title>";
  }
  return title;
}

}  // namespace scan
