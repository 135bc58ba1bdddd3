#pragma once

// UPnP discovery (UPnP Device Architecture 2.0, section 1.3): one search sent to the SSDP
// group from each swept adapter, and the answers kept by the address that sent them. Most UPnP
// devices (the common MiniUPnP/DLNA code among them) listen only on the group and ignore a
// search sent to their own address, so the group is the only way to reach them.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace netinfo {

inline constexpr const char* kSsdpGroup = "239.255.255.250";
inline constexpr uint16_t kSsdpPort = 1900;
inline constexpr size_t kMaxSsdpAnswers = 1024;  // source addresses kept per search
inline constexpr size_t kMaxSsdpLocation = 255;  // bytes of a LOCATION value we keep
inline constexpr int kSsdpRepeatMs = 300;        // the search is sent twice, this far apart
inline constexpr int kSsdpWindowMs = 1300;       // MX 1 after the second send, and some slack

// The M-SEARCH request for root devices, MX 1.
std::string BuildSsdpSearch();

// The LOCATION of an answer to our search: an "HTTP/1.1 200" status line, then header lines
// (CR LF or LF), the first LOCATION line counts (field name in any case), its value trimmed.
// Nothing when the datagram is no such answer or the value is empty or longer than 255 bytes.
std::optional<std::string> ParseSsdpAnswer(std::span<const uint8_t> datagram);

// Whether an answer from source (host order) may be kept: it lies in the /24 of one of the
// adapter addresses the search was sent from (the /24s the pass sweeps) and is none of them.
bool IsSsdpSourceSwept(uint32_t source, std::span<const uint32_t> adapterAddresses);

// One search of a scan pass: starts at once on a thread of its own, sends from each given
// adapter address (IP_MULTICAST_IF, TTL 2) twice, 300 ms apart, and keeps the answers for
// about 1.3 s from sources that IsSsdpSourceSwept allows, at most one per source address and
// at most 1,024 in all. Thread-safe.
class TSsdpSearch {
 public:
  using TClock = std::chrono::steady_clock;

  explicit TSsdpSearch(std::vector<std::string> adapterAddresses);
  ~TSsdpSearch();  // waits for the window to close
  TSsdpSearch(const TSsdpSearch&) = delete;
  TSsdpSearch& operator=(const TSsdpSearch&) = delete;

  // The LOCATION that the dotted address answered with. Waits for the window to close, but not
  // past the deadline; nothing when the address did not answer (yet).
  std::optional<std::string> LocationOf(const std::string& address, TClock::time_point deadline);

  // The number of addresses that answered so far.
  size_t AnswerCount();

 private:
  void Run(std::vector<std::string> adapterAddresses);

  std::mutex m_mutex;
  std::condition_variable m_closed;
  bool m_done = false;
  std::map<uint32_t, std::string> m_answers;  // by source address, network order
  std::thread m_thread;
};

}  // namespace netinfo
