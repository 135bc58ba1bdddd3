#include "netinfo/arp.h"

#include "netinfo/arphelperclient.h"
#include "netinfo/arplog.h"
#include "netinfo/kernelarp.h"

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

// The ways SendArp resolves: the kernel's (its neighbour table, kernelarp.cpp), raw through
// the helper (arphelperclient.cpp), and the process's own, raw while its helper serves.

namespace netinfo {
namespace {

using arpwire::TStatus;

static_assert(kArpListenMs == arpwire::kListenMs);

// The network namespace of the calling thread: a packet socket sends and receives on the
// adapters of the namespace it was made in, so a helper serves the namespace it started in.
ino_t CurrentNamespace() {
  struct stat info {};
  return stat("/proc/thread-self/ns/net", &info) == 0 ? info.st_ino : 0;
}

// The argument checks that every way shares; then resolve() asks. No way writes a second MAC
// any more (further stations reach the listeners), so otherMac is left as it is.
template <typename TResolve>
uint32_t CheckedSendArp(uint32_t destAddress, uint8_t* mac, uint32_t* length, uint32_t* otherLength,
                        TResolve&& resolve) {
  if (otherLength) *otherLength = 0;
  if (!mac || !length || *length == 0 || destAddress == 0) return kArpInvalidParameter;
  return resolve();
}

class TKernelResolver final : public TArpResolver {
 public:
  using TArpResolver::SendArp;
  TArpMode Mode() const override { return TArpMode::Kernel; }

  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* /*otherMac*/, uint32_t* otherLength, const TKnownMacs&) override {
    return CheckedSendArp(destAddress, mac, length, otherLength,
                          [&] { return KernelSendArp(destAddress, sourceAddress, mac, length); });
  }

  TArpListening Listen(THeardCallback) override { return {}; }
};

// Owns one helper, which serves the network namespace the resolver was made in; callers in
// any other namespace have no helper. Destroyed only after its calls have returned.
class TRawResolver final : public TArpResolver {
 public:
  explicit TRawResolver(std::unique_ptr<TArpHelper> helper)
      : m_helper(std::move(helper)), m_namespace(CurrentNamespace()) {}

  using TArpResolver::SendArp;
  TArpMode Mode() const override { return TArpMode::Raw; }

  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* /*otherMac*/, uint32_t* otherLength, const TKnownMacs& known) override {
    return CheckedSendArp(destAddress, mac, length, otherLength,
                          [&] { return Ask(destAddress, sourceAddress, mac, length, known); });
  }

  TArpListening Listen(THeardCallback heard) override {
    if (!m_helper) return {};
    const std::shared_ptr<THeardHub>& hub = m_helper->Hub();
    return TArpListening(hub, hub->Add(std::move(heard)));
  }

  // The work of SendArp once its arguments have passed.
  uint32_t Ask(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
               const TKnownMacs& known) {
    TArpHelper* helper = CurrentNamespace() == m_namespace ? m_helper.get() : nullptr;
    return RawSendArp(helper, destAddress, sourceAddress, mac, length, known);
  }

  // Whether the helper still holds its packet socket and answers.
  bool Serves() const { return m_helper && !m_helper->Gone(); }

 private:
  const std::unique_ptr<TArpHelper> m_helper;
  const ino_t m_namespace;
};

// The process's way: raw through the helper StartArpHelper started, while that helper serves;
// the kernel's neighbour table otherwise.
class TProcessResolver final : public TArpResolver {
 public:
  // Spawns the helper at path; true when it already serves or now does. Uses neither Qt nor
  // logging: main calls it first thing.
  bool Start(const std::string& path) {
    std::lock_guard lock(m_mutex);
    if (m_raw) return true;
    TStatus hello = TStatus::NoCapability;
    std::optional<TSpawned> spawned = SpawnHelper(path, &hello);
    m_helperInUse = hello == TStatus::InUse;
    if (!spawned) return false;
    std::unique_ptr<TArpHelper> helper = TArpHelper::Adopt(std::move(*spawned));
    if (!helper) return false;
    m_raw = std::make_shared<TRawResolver>(std::move(helper));
    return true;
  }

  using TArpResolver::SendArp;
  TArpMode Mode() const override { return ServingRaw() ? TArpMode::Raw : TArpMode::Kernel; }

  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* /*otherMac*/, uint32_t* otherLength, const TKnownMacs& known) override {
    return CheckedSendArp(destAddress, mac, length, otherLength, [&] {
      if (std::shared_ptr<TRawResolver> raw = ServingRaw()) {
        return raw->Ask(destAddress, sourceAddress, mac, length, known);
      }
      if (m_helperInUse) {
        std::call_once(m_saidInUse, [] {
          qCWarning(lcArp,
                    "another ARP helper already serves this network namespace (another "
                    "copy of quenZOR, perhaps of another user): ARP goes through the kernel");
        });
      }
      return KernelSendArp(destAddress, sourceAddress, mac, length);
    });
  }

  // The helper start-up started hears late answers for as long as the process lives; a
  // process without one hears none.
  TArpListening Listen(THeardCallback heard) override {
    std::shared_ptr<TRawResolver> raw;
    {
      std::lock_guard lock(m_mutex);
      raw = m_raw;
    }
    return raw ? raw->Listen(std::move(heard)) : TArpListening();
  }

 private:
  std::shared_ptr<TRawResolver> ServingRaw() const {
    std::lock_guard lock(m_mutex);
    return m_raw && m_raw->Serves() ? m_raw : nullptr;
  }

  mutable std::mutex m_mutex;
  std::shared_ptr<TRawResolver> m_raw;  // set once, by StartArpHelper
  // StartArpHelper's helper was refused: one already serves the namespace. Said once.
  std::atomic<bool> m_helperInUse{false};
  std::once_flag m_saidInUse;
};

TProcessResolver& ProcessResolver() {
  static TProcessResolver resolver;
  return resolver;
}

}  // namespace

TArpResolver& ProcessArpResolver() { return ProcessResolver(); }

std::unique_ptr<TArpResolver> MakeArpResolver(TArpMode mode, const std::string& helperPath) {
  if (mode == TArpMode::Kernel) return std::make_unique<TKernelResolver>();
  const std::string path = helperPath.empty() ? DefaultHelperPath() : helperPath;
  TStatus hello = TStatus::NoCapability;
  std::unique_ptr<TArpHelper> helper = TArpHelper::StartWithDispatcher(path, &hello);
  if (!helper) {
    qCDebug(lcArp, "the ARP helper %s did not start in this network namespace%s", path.c_str(),
            hello == TStatus::InUse ? ": another helper already serves it" : "");
  }
  return std::make_unique<TRawResolver>(std::move(helper));
}

bool StartArpHelper(const std::string& path) {
  return ProcessResolver().Start(path.empty() ? DefaultHelperPath() : path);
}

TArpMode CurrentArpMode() { return ProcessArpResolver().Mode(); }

uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length) {
  return SendArp(destAddress, sourceAddress, mac, length, nullptr, nullptr);
}

uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                 uint8_t* otherMac, uint32_t* otherLength) {
  return ProcessArpResolver().SendArp(destAddress, sourceAddress, mac, length, otherMac,
                                      otherLength);
}

}  // namespace netinfo
