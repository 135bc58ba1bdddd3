#include "http/socketerrors.h"

#include <netdb.h>

#include <cerrno>
#include <cstdio>

namespace http {

namespace {

struct TErrorText {
  int32_t Code;
  const char* Text;
};

constexpr TErrorText kErrorTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on nonsocket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for Socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket not supported"},
    {10045, "Operation not supported on Socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No Buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after Socket shutdown"},
    {10059, "Too many references:can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name is too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory is not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unusable"},
    {10092, "Winsock DLL cannot support this application"},
    {10093, "Winsock not initialized"},
    {10101, "Disconnect"},
    {11001, "Host not found"},
    {11002, "Non authoritative - host not found"},
    {11003, "Non recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};

struct TErrnoCode {
  int Errno;
  int32_t Code;
};

// errno values of the same meaning as a Windows Sockets code.
constexpr TErrnoCode kErrnoCodes[] = {
    {EINTR, kWsaEintr},
    {EBADF, kWsaEbadf},
    {EACCES, kWsaEacces},
    {EPERM, kWsaEacces},
    {EFAULT, kWsaEfault},
    {EINVAL, kWsaEinval},
    {EMFILE, kWsaEmfile},
    {ENFILE, kWsaEmfile},
    {EWOULDBLOCK, kWsaEwouldblock},
    {EAGAIN, kWsaEwouldblock},
    {EINPROGRESS, kWsaEinprogress},
    {EALREADY, kWsaEalready},
    {ENOTSOCK, kWsaEnotsock},
    {EDESTADDRREQ, kWsaEdestaddrreq},
    {EMSGSIZE, kWsaEmsgsize},
    {EPROTOTYPE, kWsaEprototype},
    {ENOPROTOOPT, kWsaEnoprotoopt},
    {EPROTONOSUPPORT, kWsaEprotonosupport},
    {ESOCKTNOSUPPORT, kWsaEsocktnosupport},
    {EOPNOTSUPP, kWsaEopnotsupp},
    {EPFNOSUPPORT, kWsaEpfnosupport},
    {EAFNOSUPPORT, kWsaEafnosupport},
    {EADDRINUSE, kWsaEaddrinuse},
    {EADDRNOTAVAIL, kWsaEaddrnotavail},
    {ENETDOWN, kWsaEnetdown},
    {ENETUNREACH, kWsaEnetunreach},
    {ENETRESET, kWsaEnetreset},
    {ECONNABORTED, kWsaEconnaborted},
    {ECONNRESET, kWsaEconnreset},
    // Linux fails a send on a connection that the peer has reset with EPIPE once an earlier
    // call has taken the reset: it is the reset all the same, and gets its code.
    {EPIPE, kWsaEconnreset},
    {ENOBUFS, kWsaEnobufs},
    {ENOMEM, kWsaEnobufs},
    {EISCONN, kWsaEisconn},
    {ENOTCONN, kWsaEnotconn},
    {ESHUTDOWN, kWsaEshutdown},
    {ETOOMANYREFS, kWsaEtoomanyrefs},
    {ETIMEDOUT, kWsaEtimedout},
    {ECONNREFUSED, kWsaEconnrefused},
    {ELOOP, kWsaEloop},
    {ENAMETOOLONG, kWsaEnametoolong},
    {EHOSTDOWN, kWsaEhostdown},
    {EHOSTUNREACH, kWsaEhostunreach},
    {ENOTEMPTY, kWsaEnotempty},
    {EUSERS, kWsaEusers},
    {EDQUOT, kWsaEdquot},
    {ESTALE, kWsaEstale},
    {EREMOTE, kWsaEremote},
};

std::string FormatSocketError(int32_t code, const std::string& text) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "TCP/IP Socket error %d: ", code);
  return prefix + text;
}

}  // namespace

std::string GetErrorDesc(int32_t code) {
  if (code == 0) {
    return {};
  }
  for (const TErrorText& entry : kErrorTexts) {
    if (entry.Code == code) {
      return entry.Text;
    }
  }
  return "Other Winsock error (" + std::to_string(code) + ")";
}

int32_t WinsockCodeFromErrno(int error) {
  for (const TErrnoCode& entry : kErrnoCodes) {
    if (entry.Errno == error) {
      return entry.Code;
    }
  }
  return error;
}

int32_t WinsockCodeFromResolver(int result, int systemError) {
  switch (result) {
    case 0: return 0;
    case EAI_NONAME: return kWsaHostNotFound;
    case EAI_AGAIN: return kWsaTryAgain;
    case EAI_FAIL: return kWsaNoRecovery;
#ifdef EAI_NODATA
    case EAI_NODATA: return kWsaNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return kWsaNoData;
#endif
    case EAI_SERVICE: return kWsaTypeNotFound;
    case EAI_FAMILY: return kWsaEafnosupport;
    case EAI_SOCKTYPE: return kWsaEsocktnosupport;
    case EAI_BADFLAGS: return kWsaEinval;
    case EAI_MEMORY: return kWsaEnobufs;
    case EAI_SYSTEM: {
      int32_t code = WinsockCodeFromErrno(systemError);
      return code != 0 ? code : kWsaNoRecovery;
    }
    default: return kWsaNoRecovery;
  }
}

ESocketError::ESocketError(int32_t code, const std::string& text)
    : std::runtime_error(FormatSocketError(code, text)), ErrorCode(code), ErrorMessage(text) {}

ESocketError::ESocketError(const std::string& message, int32_t code)
    : std::runtime_error(message), ErrorCode(code), ErrorMessage(message) {}

}  // namespace http
