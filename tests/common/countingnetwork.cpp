#include "common/countingnetwork.h"

#include "netinfo/ssdp.h"

#include <utility>

namespace scan {

void TWorkerCounts::StepBegins() {
  const int32_t now = ++m_inStep;
  int32_t peak = m_peak.load();
  while (now > peak && !m_peak.compare_exchange_weak(peak, now)) {
  }
}

void TWorkerCounts::Reset() {
  m_started = 0;
  m_refused = 0;
  m_peak = m_inStep.load();
}

uint32_t TCountingNetwork::AdapterList(int32_t& count, netinfo::TAdaptorRows& rows) {
  return m_inner.AdapterList(count, rows);
}

bool TCountingNetwork::ArpHoldsDescriptors() { return m_inner.ArpHoldsDescriptors(); }

uint32_t TCountingNetwork::SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac,
                                   uint32_t* length, uint8_t* otherMac, uint32_t* otherLength,
                                   const netinfo::TKnownMacs& known) {
  const TStepMark step(m_counts);
  if (m_arpAsked) m_arpAsked(destAddress);
  return m_inner.SendArp(destAddress, sourceAddress, mac, length, otherMac, otherLength, known);
}

netinfo::TArpListening TCountingNetwork::ListenToArp(netinfo::THeardCallback heard) {
  return m_inner.ListenToArp(std::move(heard));
}

std::string TCountingNetwork::FetchPage(const std::string& url, const std::string& address,
                                        const support::TDeadline& deadline) {
  const TStepMark step(m_counts);
  return m_inner.FetchPage(url, address, deadline);
}

std::unique_ptr<netinfo::TSsdpSearch> TCountingNetwork::StartSsdpSearch(
    std::vector<std::string> adapterAddresses) {
  return m_inner.StartSsdpSearch(std::move(adapterAddresses));
}

TNameFindings TCountingNetwork::FindNames(const std::string& address, netinfo::TSsdpSearch* search,
                                          std::chrono::steady_clock::time_point deadline) {
  const TStepMark step(m_counts);
  return m_inner.FindNames(address, search, deadline);
}

bool TCountingNetwork::StartThread(std::unique_ptr<platform::TThread> thread) {
  const bool started = m_inner.StartThread(std::move(thread));
  m_counts.Started(started);
  return started;
}

}  // namespace scan
