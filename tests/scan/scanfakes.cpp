#include "scanfakes.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace scantest {

namespace {

std::mutex g_mutex;
netinfo::TAdaptorRows g_rows;
std::map<std::string, TFakeAnswer> g_answers;
int g_delayMs = 0;
std::vector<std::string> g_probed;

uint32_t FakeAdapterList(int32_t& count, netinfo::TAdaptorRows& rows) {
  std::lock_guard<std::mutex> lock(g_mutex);
  rows = g_rows;
  count = static_cast<int32_t>(rows.size());
  return rows.empty() ? 232 : 0;
}

uint32_t FakeArp(uint32_t destAddress, uint32_t, uint8_t* mac, uint32_t* length, uint8_t* otherMac,
                 uint32_t* otherLength) {
  *otherLength = 0;
  in_addr address{};
  address.s_addr = destAddress;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  int delayMs = 0;
  TFakeAnswer answer;
  bool answers = false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_probed.emplace_back(text);
    delayMs = g_delayMs;
    const auto found = g_answers.find(text);
    if (found != g_answers.end()) {
      answer = found->second;
      answers = true;
    }
  }
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  if (!answers) return 31;  // no answer, as the platform reports it
  const uint32_t written = std::min<uint32_t>(*length, static_cast<uint32_t>(answer.mac.size()));
  if (written > 0) std::memcpy(mac, answer.mac.data(), written);
  *length = written;
  if (answer.otherMac.size() == 6) {
    std::memcpy(otherMac, answer.otherMac.data(), 6);
    *otherLength = 6;
  }
  return 0;
}

}  // namespace

void SetFakeAdapters(const std::vector<std::pair<std::string, std::string>>& addressesAndMasks) {
  netinfo::TAdaptorInfo row{};
  for (const auto& [address, mask] : addressesAndMasks) {
    row.IpAddresses.push_back(address);
    row.IpMasks.push_back(mask);
  }
  row.IpAddressCount = static_cast<int32_t>(addressesAndMasks.size());
  std::lock_guard<std::mutex> lock(g_mutex);
  g_rows.clear();
  g_rows.push_back(row);
}

void SetFakeAnswers(const std::map<std::string, TFakeAnswer>& answers, int delayMs) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_answers = answers;
  g_delayMs = delayMs;
}

std::vector<std::string> ProbedAddresses() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_probed;
}

void UseFakeNetwork(scan::TScanDriver& driver) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_rows.clear();
    g_answers.clear();
    g_delayMs = 0;
    g_probed.clear();
  }
  driver.SetScanSeams(&FakeAdapterList, &FakeArp);
}

}  // namespace scantest
