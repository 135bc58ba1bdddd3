#pragma once

#include <cstdint>
#include <string>

namespace http {

// The TLS layer of a TCP socket. This program carries no TLS implementation: every operation
// of the base layer fails and records error -1 with "SSL/TLS support is not compiled!", so an
// "https" exchange always ends at the TLS start.
class TCustomSSL {
 public:
  TCustomSSL() = default;
  virtual ~TCustomSSL() = default;
  TCustomSSL(const TCustomSSL&) = delete;
  TCustomSSL& operator=(const TCustomSSL&) = delete;

  virtual bool Connect();
  virtual bool Shutdown();
  virtual std::string LibName() const;
  virtual std::string LibVersion() const;

  bool SSLEnabled() const { return m_enabled; }
  int32_t LastError() const { return m_lastError; }
  const std::string& LastErrorDesc() const { return m_lastErrorDesc; }
  void ClearError();

 protected:
  void RecordNotCompiled();

 private:
  bool m_enabled = false;
  int32_t m_lastError = 0;
  std::string m_lastErrorDesc;
};

// The layer in use: no TLS at all.
class TSSLNone : public TCustomSSL {};

}  // namespace http
