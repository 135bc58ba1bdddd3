#include "scanfakes.h"

#include "netinfo/ssdp.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace scantest {

void TFakeNetwork::SetAdapters(
    const std::vector<std::pair<std::string, std::string>>& addressesAndMasks) {
  netinfo::TAdaptorInfo row{};
  for (const auto& [address, mask] : addressesAndMasks) {
    row.IpAddresses.push_back(address);
    row.IpMasks.push_back(mask);
  }
  row.IpAddressCount = static_cast<int32_t>(addressesAndMasks.size());
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rows = {row};
}

void TFakeNetwork::SetAnswers(const std::map<std::string, TFakeAnswer>& answers, int delayMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_answers = answers;
  m_delayMs = delayMs;
}

void TFakeNetwork::HoldRequests() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_held = true;
}

void TFakeNetwork::ReleaseRequests() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = false;
  }
  m_released.notify_all();
}

void TFakeNetwork::RefuseEveryNthThread(int n) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_refuseEvery = n;
}

std::vector<std::string> TFakeNetwork::ProbedAddresses() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_probed;
}

uint32_t TFakeNetwork::AdapterList(int32_t& count, netinfo::TAdaptorRows& rows) {
  std::lock_guard<std::mutex> lock(m_mutex);
  rows = m_rows;
  count = static_cast<int32_t>(rows.size());
  return rows.empty() ? 232 : 0;
}

// Records the request, waits as set up, and gives the address's answer, if any.
bool TFakeNetwork::Answer(const std::string& address, TFakeAnswer& answer) {
  int delayMs = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_probed.push_back(address);
    delayMs = m_delayMs;
  }
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  std::unique_lock<std::mutex> lock(m_mutex);
  m_released.wait(lock, [this] { return !m_held; });
  const auto found = m_answers.find(address);
  if (found == m_answers.end()) return false;
  answer = found->second;
  return true;
}

uint32_t TFakeNetwork::SendArp(uint32_t destAddress, uint32_t, uint8_t* mac, uint32_t* length,
                               uint8_t* otherMac, uint32_t* otherLength,
                               const netinfo::TKnownMacs& known) {
  const scan::TStepMark step(m_counts);
  *otherLength = 0;
  in_addr address{};
  address.s_addr = destAddress;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  if (!known.empty()) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_knownAsked[text] = known;
  }
  TFakeAnswer answer;
  if (!Answer(text, answer)) return 31;  // no answer, as the platform reports it
  const uint32_t written = std::min<uint32_t>(*length, static_cast<uint32_t>(answer.mac.size()));
  if (written > 0) std::memcpy(mac, answer.mac.data(), written);
  *length = written;
  if (answer.otherMac.size() == 6) {
    std::memcpy(otherMac, answer.otherMac.data(), 6);
    *otherLength = 6;
  }
  return 0;
}

netinfo::TArpListening TFakeNetwork::ListenToArp(netinfo::THeardCallback heard) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_heard = std::move(heard);
  return {};
}

void TFakeNetwork::Hear(const std::string& address, const std::string& mac,
                        const std::string& firstMac) {
  netinfo::TArpHeard heard;
  heard.Address = inet_addr(address.c_str());
  auto bytes = [](const std::string& text) {
    netinfo::TMacBytes out{};
    unsigned b[6] = {};
    std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
    for (int i = 0; i < 6; ++i) out[i] = static_cast<uint8_t>(b[i]);
    return out;
  };
  heard.Mac = bytes(mac);
  heard.FirstMac = bytes(firstMac.empty() ? mac : firstMac);
  heard.Count = firstMac.empty() || firstMac == mac ? 1 : 2;
  heard.Late = firstMac.empty();
  netinfo::THeardCallback callback;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    callback = m_heard;
  }
  if (callback) callback(heard);
}

std::map<std::string, netinfo::TKnownMacs> TFakeNetwork::KnownAsked() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_knownAsked;
}

std::unique_ptr<netinfo::TSsdpSearch> TFakeNetwork::StartSsdpSearch(std::vector<std::string>) {
  return nullptr;
}

bool TFakeNetwork::StartThread(std::unique_ptr<platform::TThread> thread) {
  bool refuse = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    refuse = m_refuseEvery > 0 && ++m_starts % m_refuseEvery == 0;
  }
  const bool started = !refuse && platform::StartThread(std::move(thread));
  m_counts.Started(started);
  return started;  // a refused thread object goes with `thread` here, as a failed start's does
}

}  // namespace scantest
