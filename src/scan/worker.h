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
  // The same for a station heard answering late: its MAC is known, so it asks no ARP and
  // goes on to the page and the names; details are reported with it.
  static bool CreateHeard(TScanDriver& driver, const std::string& address,
                          const netinfo::TMacBytes& mac, const THostDetails& details);

  // The dotted address this worker probes, as the driver formed it.
  std::string Address;

 protected:
  void Execute() override;

 private:
  explicit TArpThread(TScanDriver& driver) : m_driver(driver) {}
  static bool Start(std::unique_ptr<TArpThread> worker, const std::string& address);
  void Probe();
  void WorkerDone();

  TScanDriver& m_driver;
  bool m_heard = false;  // asks no ARP: m_heardMac answered already
  netinfo::TMacBytes m_heardMac{};
  THostDetails m_heardDetails;
};

// "%2.2X:%2.2X:%2.2X:%2.2X:%2.2X:%2.2X" of six bytes.
std::string FormatMac(const uint8_t (&mac)[6]);
std::string FormatMac(const netinfo::TMacBytes& mac);

}  // namespace scan
