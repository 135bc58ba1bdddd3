#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace http {

// Error codes of the socket layer: the Windows Sockets numbers, which callers and the error
// texts rely on. Every errno value and every EAI_* result of the resolver is mapped onto the
// code of the same meaning.
constexpr int32_t kWsaEintr = 10004;
constexpr int32_t kWsaEbadf = 10009;
constexpr int32_t kWsaEacces = 10013;
constexpr int32_t kWsaEfault = 10014;
constexpr int32_t kWsaEinval = 10022;
constexpr int32_t kWsaEmfile = 10024;
constexpr int32_t kWsaEwouldblock = 10035;
constexpr int32_t kWsaEinprogress = 10036;
constexpr int32_t kWsaEalready = 10037;
constexpr int32_t kWsaEnotsock = 10038;
constexpr int32_t kWsaEdestaddrreq = 10039;
constexpr int32_t kWsaEmsgsize = 10040;
constexpr int32_t kWsaEprototype = 10041;
constexpr int32_t kWsaEnoprotoopt = 10042;
constexpr int32_t kWsaEprotonosupport = 10043;
constexpr int32_t kWsaEsocktnosupport = 10044;
constexpr int32_t kWsaEopnotsupp = 10045;
constexpr int32_t kWsaEpfnosupport = 10046;
constexpr int32_t kWsaEafnosupport = 10047;
constexpr int32_t kWsaEaddrinuse = 10048;
constexpr int32_t kWsaEaddrnotavail = 10049;
constexpr int32_t kWsaEnetdown = 10050;
constexpr int32_t kWsaEnetunreach = 10051;
constexpr int32_t kWsaEnetreset = 10052;
constexpr int32_t kWsaEconnaborted = 10053;
constexpr int32_t kWsaEconnreset = 10054;
constexpr int32_t kWsaEnobufs = 10055;
constexpr int32_t kWsaEisconn = 10056;
constexpr int32_t kWsaEnotconn = 10057;
constexpr int32_t kWsaEshutdown = 10058;
constexpr int32_t kWsaEtoomanyrefs = 10059;
constexpr int32_t kWsaEtimedout = 10060;
constexpr int32_t kWsaEconnrefused = 10061;
constexpr int32_t kWsaEloop = 10062;
constexpr int32_t kWsaEnametoolong = 10063;
constexpr int32_t kWsaEhostdown = 10064;
constexpr int32_t kWsaEhostunreach = 10065;
constexpr int32_t kWsaEnotempty = 10066;
constexpr int32_t kWsaEproclim = 10067;
constexpr int32_t kWsaEusers = 10068;
constexpr int32_t kWsaEdquot = 10069;
constexpr int32_t kWsaEstale = 10070;
constexpr int32_t kWsaEremote = 10071;
constexpr int32_t kWsaSysnotready = 10091;
constexpr int32_t kWsaVernotsupported = 10092;
constexpr int32_t kWsaNotinitialised = 10093;
constexpr int32_t kWsaEdiscon = 10101;
constexpr int32_t kWsaTypeNotFound = 10109;
constexpr int32_t kWsaHostNotFound = 11001;
constexpr int32_t kWsaTryAgain = 11002;
constexpr int32_t kWsaNoRecovery = 11003;
constexpr int32_t kWsaNoData = 11004;

// The text for a code: "" for 0, the table's text, else "Other Winsock error (<code>)".
std::string GetErrorDesc(int32_t code);

// The code for an errno value (0 stays 0). An errno without a counterpart keeps its own
// number, which lies far below the 10000 range and so never names another error.
int32_t WinsockCodeFromErrno(int error);

// The code for a getaddrinfo result (0 stays 0); systemError is errno for EAI_SYSTEM.
int32_t WinsockCodeFromResolver(int result, int systemError);

// Raised by a socket whose RaiseExcept is on: "TCP/IP Socket error <code>: <text>".
class ESocketError : public std::runtime_error {
 public:
  ESocketError(int32_t code, const std::string& text);
  // A failure that is no socket error, raised with its own message instead of a code's text.
  ESocketError(const std::string& message, int32_t code);

  int32_t ErrorCode;
  std::string ErrorMessage;
};

}  // namespace http
