#include "scan/webprobe.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "http/httpsend.h"
#include "http/urlutil.h"
#include "scan/scanlog.h"

namespace scan {

namespace {

// The client settings of every exchange of the probe.
constexpr int32_t kReadTimeout = 2000;  // ms, each wait for incoming data
constexpr const char* kProtocol = "1.1";
// Bounds that keep a hostile or broken device from holding the worker, and with it the
// whole pass, or from filling memory: the page's body, one header line, the head of a
// response in bytes and in lines, and the time of one page fetch with all its redirects.
constexpr int64_t kMaxBodySize = 1024 * 1024;
constexpr int32_t kMaxLineLength = 64 * 1024;
constexpr int64_t kMaxHeaderBytes = 64 * 1024;
constexpr int32_t kMaxHeaderLines = 256;
constexpr int32_t kPageBudget = 30000;  // ms
// A device that redirects for ever is left after this many hops.
constexpr int kMaxRedirects = 10;
constexpr size_t kLocationPrefixLength = 10;  // "Location: "
constexpr size_t kMaxLocationLength = 255;

std::unique_ptr<http::THTTPSend> NewClient(int32_t budget) {
  auto client = std::make_unique<http::THTTPSend>();
  ApplyProbeSettings(*client, budget);
  return client;
}

// True when url names a dotted IPv4 address and no credentials: the probe connects to
// numeric addresses only, so it never asks a resolver, and sends no URL's user or password.
bool IsNumericTarget(const std::string& url) {
  http::TUrlParts parts;
  http::SplitUrl(url, parts);
  in_addr ignored{};
  return parts.User.empty() && parts.Password.empty() &&
         inet_pton(AF_INET, parts.Host.c_str(), &ignored) == 1;
}

// Spaces, controls and bytes past ASCII have no place in a location we follow.
bool HasOddByte(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 32 || byte >= 127;
  });
}

// The path part of a location value that leads back to the device at address, "/" first;
// empty when it leads anywhere else.
std::string PathOnDevice(const std::string& location, const std::string& address) {
  if (location.empty() || HasOddByte(location)) {
    return {};
  }
  // A path on the same device: one "/" (two would start another authority, RFC 3986
  // section 4.2).
  if (location[0] == '/') {
    return location.size() > 1 && location[1] == '/' ? std::string() : location;
  }
  // An absolute URL whose authority is exactly the device's dotted address, with port 80 or
  // none: no user information, no name, no other port or scheme.
  constexpr std::string_view kScheme = "http://";
  if (location.size() < kScheme.size() ||
      http::LowerCase(location.substr(0, kScheme.size())) != kScheme) {
    return {};
  }
  const std::string rest = location.substr(kScheme.size());
  const size_t end = rest.find_first_of("/?#");
  const std::string authority = rest.substr(0, end);
  if (authority != address && authority != address + ":80") {
    return {};
  }
  const std::string path = end == std::string::npos ? std::string() : rest.substr(end);
  return path.starts_with("/") ? path : "/" + path;
}

// The value of the last "Location: " line (exact spelling, blank included; Content-Location
// does not count), trimmed; empty when there is none.
std::string LastLocation(const std::vector<std::string>& headers) {
  std::string location;
  for (size_t i = 1; i < headers.size(); ++i) {
    const std::string& entry = headers[i];
    if (entry.starts_with("Location: ")) {
      location = http::Trim(entry.substr(kLocationPrefixLength, kMaxLocationLength));
    }
  }
  return location;
}

// One exchange of the probe; says at debug level how it went, as a missing title's first clue.
bool Exchange(http::THTTPSend& client, const std::string& url) {
  const bool complete = client.PerformRequest("GET", url);
  if (!complete && client.Sock->LastErrorCode() != 0) {
    qCDebug(lcScan, "%s: no complete response: socket error %d (%s)", LogText(url).c_str(),
            client.Sock->LastErrorCode(), LogText(client.Sock->LastErrorText()).c_str());
  } else if (!complete) {
    qCDebug(lcScan, "%s: no complete response, status %d %s", LogText(url).c_str(),
            client.ResultCode, LogText(client.ResultString).c_str());
  } else {
    qCDebug(lcScan, "%s: status %d %s", LogText(url).c_str(), client.ResultCode,
            LogText(client.ResultString).c_str());
  }
  return complete;
}

// The redirect the probe follows from a response with these header entries, after the given
// number of hops and with the given ms left of the page's budget; empty when the fetch ends
// there. Says at debug level why a redirect is not followed.
std::string NextHop(const std::vector<std::string>& headers, const std::string& url,
                    const std::string& address, int redirects, int32_t left) {
  const std::string next = RedirectTarget(headers, address);
  if (next.empty()) {
    const std::string location = LastLocation(headers);
    if (!location.empty()) {
      qCDebug(lcScan, "%s: redirect to \"%s\" not followed: it leads off the device",
              LogText(url).c_str(), LogText(location).c_str());
    }
    return {};
  }
  if (redirects == kMaxRedirects) {
    qCDebug(lcScan, "%s: left after %d redirects", LogText(url).c_str(), kMaxRedirects);
    return {};
  }
  if (left <= 0) {
    qCDebug(lcScan, "%s: redirect not followed: the page's time is spent", LogText(url).c_str());
    return {};
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

void ApplyProbeSettings(http::THTTPSend& client, int32_t exchangeTimeout) {
  client.Timeout = kReadTimeout;
  client.KeepAlive = false;
  client.Protocol = kProtocol;
  client.MaxBodySize = kMaxBodySize;
  client.MaxHeaderBytes = kMaxHeaderBytes;
  client.MaxHeaderLines = kMaxHeaderLines;
  client.ExchangeTimeout = exchangeTimeout;
  client.Sock->MaxLineLength = kMaxLineLength;
}

// From the response's last "Location: " line. The URL is always rebuilt from the device's own
// address, over plain HTTP. The status line is not looked at: any response that names a
// location that leads back to the device is followed.
std::string RedirectTarget(const std::vector<std::string>& headers, const std::string& address) {
  const std::string path = PathOnDevice(LastLocation(headers), address);
  return path.empty() ? std::string() : "http://" + address + path;
}

std::string FetchPage(const std::string& url, const std::string& address) {
  return FetchPage(url, address, support::TDeadline(std::chrono::milliseconds(kPageBudget)));
}

std::string FetchPage(const std::string& url, const std::string& address,
                      const support::TDeadline& deadline) {
  std::string result;
  try {
    if (!IsNumericTarget(url)) {
      qCDebug(lcScan, "%s: not fetched: the probe connects to dotted addresses only",
              LogText(url).c_str());
      return result;
    }
    // One budget for the page with all its redirects, within the device's: each hop gets
    // what is left of it, as its connect time-out and its exchange time-out.
    const support::TDeadline page(std::chrono::milliseconds(deadline.Clip(kPageBudget)));
    const int32_t budget = page.Remaining();
    if (budget < kMinExchangeMs) {
      qCDebug(lcScan, "%s: not fetched: the device's time is spent", LogText(url).c_str());
      return result;
    }
    auto budgetLeft = [&page] { return page.Remaining(); };
    std::unique_ptr<http::THTTPSend> client = NewClient(budget);
    if (Exchange(*client, url)) {
      for (int redirects = 0;; ++redirects) {
        const int32_t left = budgetLeft();
        const std::string next = NextHop(client->Headers, url, address, redirects, left);
        if (next.empty()) {
          break;
        }
        client.reset();
        client = NewClient(left);
        if (!Exchange(*client, next)) {
          break;
        }
      }
    }
    result = ResponseText(*client);
  } catch (const std::exception& error) {
    // Socket, stream or memory failures: the device gave no page.
    qCDebug(lcScan, "%s: no page: %s", LogText(url).c_str(), LogText(error.what()).c_str());
  } catch (...) {
    qCDebug(lcScan, "%s: no page: unknown exception", LogText(url).c_str());
  }
  if (result.empty()) {
    qCDebug(lcScan, "%s: nothing obtained", LogText(url).c_str());
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
