#pragma once

#include "scan/scannetwork.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>

namespace scan {

// Counts of a pass's workers as the network sees them: threads started and refused, and the
// most workers inside a network step (ARP, page, names) at once. A worker takes one step at a
// time and does little else, so that peak is the peak of running workers. Any thread.
class TWorkerCounts {
 public:
  void Started(bool started) { ++(started ? m_started : m_refused); }
  void StepBegins();
  void StepEnds() { --m_inStep; }
  // Clears the counts; a step under way stays counted as running.
  void Reset();

  int32_t StartedThreads() const { return m_started.load(); }
  int32_t RefusedThreads() const { return m_refused.load(); }
  int32_t PeakRunningWorkers() const { return m_peak.load(); }

 private:
  std::atomic<int32_t> m_started{0};
  std::atomic<int32_t> m_refused{0};
  std::atomic<int32_t> m_inStep{0};
  std::atomic<int32_t> m_peak{0};
};

// Counts one step for as long as it lives.
class TStepMark {
 public:
  explicit TStepMark(TWorkerCounts& counts) : m_counts(counts) { m_counts.StepBegins(); }
  ~TStepMark() { m_counts.StepEnds(); }
  TStepMark(const TStepMark&) = delete;
  TStepMark& operator=(const TStepMark&) = delete;

 private:
  TWorkerCounts& m_counts;
};

// A network that passes every call on to another and counts the workers (benchmarks and lab
// tests print or check the figures). The other network must outlive it. Test and benchmark code
// only: the program itself never counts.
class TCountingNetwork final : public TScanNetwork {
 public:
  explicit TCountingNetwork(TScanNetwork& inner) : m_inner(inner) {}

  uint32_t AdapterList(int32_t& count, netinfo::TAdaptorRows& rows) override;
  bool ArpHoldsDescriptors() override;
  uint32_t SendArp(uint32_t destAddress, uint32_t sourceAddress, uint8_t* mac, uint32_t* length,
                   uint8_t* otherMac, uint32_t* otherLength,
                   const netinfo::TKnownMacs& known) override;
  netinfo::TArpListening ListenToArp(netinfo::THeardCallback heard) override;
  std::string FetchPage(const std::string& url, const std::string& address,
                        const support::TDeadline& deadline) override;
  std::unique_ptr<netinfo::TSsdpSearch> StartSsdpSearch(
      std::vector<std::string> adapterAddresses) override;
  TNameFindings FindNames(const std::string& address, netinfo::TSsdpSearch* search,
                          std::chrono::steady_clock::time_point deadline) override;
  bool StartThread(std::unique_ptr<platform::TThread> thread) override;

  TWorkerCounts& Counts() { return m_counts; }

  // Called with the address of every SendArp as it is passed on, on the worker's thread. Set
  // before the scan starts.
  using TArpAsked = std::function<void(uint32_t destAddress)>;
  void SetArpAsked(TArpAsked asked) { m_arpAsked = std::move(asked); }

 private:
  TScanNetwork& m_inner;
  TWorkerCounts m_counts;
  TArpAsked m_arpAsked;
};

}  // namespace scan
