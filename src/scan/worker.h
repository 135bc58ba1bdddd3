#pragma once

#include "platform/thread.h"
#include "scan/scandriver.h"

#include <string>

namespace scan {

// The probe worker for one IPv4 address: asks for its MAC by ARP and reports an answering host,
// in the second pass with its web page title and its name, through its driver's result
// callback under the driver's scan lock. Everything it asks goes through the driver's network.
// Frees itself; its end handler counts it out of the driver's running workers on the main
// thread.
class TArpThread : public platform::TThread {
 public:
  // Creates and starts the worker (by the driver's network) for a dotted address; main thread,
  // while the driver's scan lock exists. Returns false when its thread could not be started: it
  // is then counted out again and the address goes unprobed.
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
