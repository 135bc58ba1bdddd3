// Feeds arbitrary bytes to the web page probe's client, with the probe's real settings and
// bounds, as a device's reply, and checks what the probe takes from it:
// - a redirect it would follow always leads to the device's own dotted address, port 80, over
//   plain HTTP, with no user information;
// - the response's head stays within 256 lines and 64 KiB, the body within 1 MiB, whatever
//   the reply holds; under AddressSanitizer the heap the exchange takes at its peak is also
//   measured and must stay within a fixed allowance plus 16 bytes per input byte.
//
// Input: one byte that picks the device's address, then the reply. A loopback reply peer
// answers each connection with the reply and closes, so no exchange waits for a time-out.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/peer.h"
#include "http/httpsend.h"
#include "http/urlutil.h"
#include "scan/webprobe.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZ_HEAP_MEASURED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QZ_HEAP_MEASURED 1
#endif

#ifdef QZ_HEAP_MEASURED
// The sanitizer runtime's allocator interface (declared here: GCC installs no header for it).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, size_t),
                                              void (*freeHook)(const volatile void*));
size_t __sanitizer_get_allocated_size(const volatile void* pointer);
}
#endif

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

#ifdef QZ_HEAP_MEASURED
// Heap in use and its peak since the last reset, counted by the sanitizer's allocation hooks.
std::atomic<int64_t> g_inUse{0};
std::atomic<int64_t> g_peak{0};
std::atomic<bool> g_counting{false};

void OnMalloc(const volatile void*, size_t size) {
  if (!g_counting) return;
  const int64_t now = g_inUse += static_cast<int64_t>(size);
  int64_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}

void OnFree(const volatile void* pointer) {
  if (!g_counting || pointer == nullptr) return;
  g_inUse -= static_cast<int64_t>(__sanitizer_get_allocated_size(pointer));
}
#endif

test::TReplyPeer& Peer() {
#ifdef QZ_HEAP_MEASURED
  static const int hooks = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
  (void)hooks;
#endif
  static test::TReplyPeer peer;  // its thread ends with the run
  return peer;
}

constexpr const char* kAddresses[] = {"192.168.1.5", "10.0.0.7", "172.16.0.1", "127.0.0.1"};

void CheckRedirect(const std::string& target, const std::string& address) {
  if (target.empty()) return;
  Check(target.starts_with("http://" + address + "/"));
  http::TUrlParts parts;
  http::SplitUrl(target, parts);
  Check(parts.Protocol == "http");
  Check(parts.Host == address);
  Check(parts.Port == "80");
  Check(parts.User.empty() && parts.Password.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string address = kAddresses[data[0] % std::size(kAddresses)];
  // Copied before the measured exchange starts; serving it allocates nothing.
  Peer().SetReply(std::string_view(reinterpret_cast<const char*>(data), size).substr(1));
  const std::string url = Peer().Url();

#ifdef QZ_HEAP_MEASURED
  g_inUse = 0;
  g_peak = 0;
  g_counting = true;
#endif
  {
    http::THTTPSend client;
    scan::ApplyProbeSettings(client, 10000);
    client.PerformRequest("GET", url);

    size_t headBytes = 0;
    for (const std::string& entry : client.Headers) headBytes += entry.size();
    Check(client.Headers.size() <= 256 + 1);  // the lines, then the closing empty entry
    Check(headBytes <= 65536 + 256);          // a joined continuation adds one blank
    Check(client.Document->Size() <= 1024 * 1024);
    CheckRedirect(scan::RedirectTarget(client.Headers, address), address);
  }
#ifdef QZ_HEAP_MEASURED
  g_counting = false;
  // Fixed: the client and its socket. Per input byte: the text received, the body and the
  // header lines kept, each held once, with their containers' slack. (Header lines kept twice,
  // as raw and unfolded entries, cost some 90 bytes per two-byte line.)
  constexpr int64_t kFixedAllowance = 64 * 1024;
  Check(g_peak.load() <= kFixedAllowance + 16 * static_cast<int64_t>(size));
#endif

  // The rule alone, on the reply's text taken as header lines, reaches locations that no
  // well-formed reply would carry.
  std::vector<std::string> lines = {"HTTP/1.1 302 Found"};
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  CheckRedirect(scan::RedirectTarget(lines, address), address);
  return 0;
}
