#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/deadline.h"

namespace http {
class THTTPSend;
}

namespace scan {

// Fetches url ("http://" or "https://" + a dotted address) with a fresh HTTP client per
// exchange, follows "Location: " redirects that lead back to the same address (at most 10),
// and returns the page's body, or, when the last response has no body, the client's header
// list, one entry per CR LF line. Empty when nothing was obtained. One budget of 30 s covers
// the fetch with all its redirects, cut to what is left of the device's deadline; with less
// than kMinExchangeMs left nothing is sent and the result is empty. Connects to numeric
// addresses only. Every error is caught here.
std::string FetchPage(const std::string& url, const std::string& address,
                      const support::TDeadline& deadline);
// The same with the page's own 30 s budget as the deadline.
std::string FetchPage(const std::string& url, const std::string& address);

// Less time than this is too little for a connect and a request: a step that would get less
// is not started, so a device whose time is spent shows no page rather than a cut-off one.
inline constexpr int32_t kMinExchangeMs = 100;

// The settings and bounds that every exchange of the probe uses; exchangeTimeout is what is
// left of the page's budget, in ms.
void ApplyProbeSettings(http::THTTPSend& client, int32_t exchangeTimeout);

// Where a response with these header entries (status line first) redirects the probe: a URL
// on the device at address, or empty when the response names no location or one that leads
// anywhere else (another host, a name, user information, another scheme or port).
std::string RedirectTarget(const std::vector<std::string>& headers, const std::string& address);

// The label for the title column: the HTML title, else the value of a "Server: " header, else
// "<no title>". Never empty.
std::string ExtractTitle(const std::string& text);

}  // namespace scan
