#include "http/sslnone.h"

namespace http {

bool TCustomSSL::Connect() {
  RecordNotCompiled();
  return false;
}

bool TCustomSSL::Shutdown() {
  RecordNotCompiled();
  return false;
}

std::string TCustomSSL::LibName() const { return "ssl_none"; }

std::string TCustomSSL::LibVersion() const { return "Without SSL support"; }

void TCustomSSL::ClearError() {
  m_lastError = 0;
  m_lastErrorDesc.clear();
}

void TCustomSSL::RecordNotCompiled() {
  m_lastError = -1;
  m_lastErrorDesc = "SSL/TLS support is not compiled!";
}

}  // namespace http
