#pragma once

#include <string>

namespace scan {

// Fetches url ("http://" or "https://" + a dotted address) with a fresh HTTP client per
// exchange, follows "Location: " redirects on the same address (at most 10), and returns the
// page's body, or, when the last response has no body, the client's header list, one entry per
// CR LF line. Empty when nothing was obtained. Every error is caught here.
std::string FetchPage(const std::string& url, const std::string& address);

// The label for the title column: the HTML title, else the value of a "Server: " header, else
// "<no title>". Never empty.
std::string ExtractTitle(const std::string& text);

}  // namespace scan
