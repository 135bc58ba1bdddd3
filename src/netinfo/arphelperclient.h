#pragma once

// Within netinfo only: the client of the raw-ARP helper (quenzor-arp). It starts the helper,
// asks it over their socket pair and hands what it hears to the callers waiting for it, or
// else to the listeners.

#include "netinfo/arp.h"

#include "arpwire/protocol.h"
#include "support/posix.h"

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace netinfo {

// Where the program finds its helper: beside its own executable, at the installed layout's
// relative path.
std::string DefaultHelperPath();

struct TSpawned {
  support::TUniqueFd channel;
  pid_t pid = 0;
};

// Starts the helper at path with an empty environment, its end of the channel on
// descriptor 3 and /dev/null on 0 to 2; nothing else of this process reaches it. Waits for
// its hello, whose status goes to *hello when one came. Uses neither Qt nor logging: main
// calls it before either exists.
std::optional<TSpawned> SpawnHelper(const std::string& path, arpwire::TStatus* hello = nullptr);

// The listeners of one resolver. The dispatcher tells them under the hub's lock, so unhooking
// one waits for a call in progress and no call reaches a listener after it has been unhooked.
class THeardHub {
 public:
  uint64_t Add(THeardCallback heard) {
    std::lock_guard lock(m_mutex);
    m_listeners.emplace_back(++m_lastId, std::move(heard));
    return m_lastId;
  }
  void Remove(uint64_t id) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_listeners, [id](const auto& listener) { return listener.first == id; });
  }
  // Every listener hears it; one that throws is noted and the rest still hear it.
  void Tell(const TArpHeard& heard);

 private:
  std::mutex m_mutex;
  std::vector<std::pair<uint64_t, THeardCallback>> m_listeners;
  uint64_t m_lastId = 0;
};

// One helper process in one network namespace, and the thread that hands its messages to the
// callers waiting for them, or else to the listeners.
class TArpHelper {
 public:
  // The helper main started: its dispatcher starts with the first request, since main must
  // stay single-threaded until it has dropped its capabilities.
  static std::unique_ptr<TArpHelper> Adopt(TSpawned spawned);

  // A helper started by its own dispatcher thread: the helper ends with the thread that
  // started it (PR_SET_PDEATHSIG), and the caller may be a short-lived thread. The dispatcher
  // starts in the caller's network namespace, and so does the helper.
  static std::unique_ptr<TArpHelper> StartWithDispatcher(const std::string& path,
                                                         arpwire::TStatus* hello);

  ~TArpHelper();
  TArpHelper(const TArpHelper&) = delete;
  TArpHelper& operator=(const TArpHelper&) = delete;

  bool Gone();

  // Where the messages that no caller waits for go.
  const std::shared_ptr<THeardHub>& Hub() const { return m_hub; }

  // The helper's first message for target on ifIndex (the known MACs asked too); false when
  // the helper is gone or silent.
  bool Ask(uint32_t ifIndex, uint32_t target, const TKnownMacs& known, arpwire::TAnswer& answer);

 private:
  TArpHelper();

  struct TWaiter {
    std::condition_variable done;
    bool answered = false;
    arpwire::TAnswer answer;
  };

  void Dispatch();
  // A caller waits for its request's first message; everything after it, and whatever comes
  // once the caller has given up, is heard by the listeners.
  void Hand(const arpwire::TAnswer& answer);

  support::TUniqueFd m_channel;
  pid_t m_pid = 0;
  support::TUniqueFd m_wake;  // ends the dispatcher
  std::mutex m_mutex;
  std::unordered_map<uint32_t, TWaiter*> m_waiters;
  uint32_t m_lastId = 0;
  bool m_gone = false;
  std::thread m_dispatcher;
  const std::shared_ptr<THeardHub> m_hub;
};

// SendArp through the helper, once the arguments have passed: the route decides the adapter,
// the helper asks. helper is null when there is none in the caller's network namespace.
uint32_t RawSendArp(TArpHelper* helper, uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                    uint32_t* length, const TKnownMacs& known);

}  // namespace netinfo
