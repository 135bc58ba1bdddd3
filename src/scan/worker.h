#pragma once

#include "platform/thread.h"
#include "scan/scandriver.h"

#include <string>

namespace scan {

// The probe worker for one IPv4 address: asks for its MAC by ARP and reports an answering host,
// in the second pass with its web page title and its name, through its driver's OnHostFound
// under ScanLock. Frees itself; its end handler counts it out of the driver's ActiveWorkers on
// the main thread.
class TArpThread : public platform::TThread {
 public:
  // Creates and starts the worker for a dotted address; main thread, while the driver's
  // ScanLock exists. Returns false when its thread could not be started: it is then counted
  // out again and the address goes unprobed.
  static bool Create(TScanDriver& driver, const std::string& address);

  // The dotted address this worker probes, as the driver formed it.
  std::string Address;

 protected:
  void Execute() override;

 private:
  explicit TArpThread(TScanDriver& driver) : m_driver(driver) {}
  void Probe();
  void WorkerDone();

  TScanDriver& m_driver;
};

// "%2.2X:%2.2X:%2.2X:%2.2X:%2.2X:%2.2X" of six bytes.
std::string FormatMac(const uint8_t (&mac)[6]);

}  // namespace scan
