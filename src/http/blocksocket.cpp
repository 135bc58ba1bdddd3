#include "http/blocksocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "http/httplog.h"
#include "http/stream.h"
#include "http/urlutil.h"
#include "support/posix.h"

namespace http {

namespace {

// A blocking connect waits at most 21 s for an answer (less when the exchange's deadline
// comes sooner). Linux alone keeps resending the SYN (tcp_syn_retries) for about two minutes
// to an address where nothing answers.
constexpr int32_t kSystemConnectTimeout = 21000;
// A single receive takes at most this much of what the system holds.
constexpr int32_t kMaxPending = 65536;
// Draining at close reads at most this much: a peer that keeps sending must not keep the
// close (and with it the end of a worker) waiting without end.
constexpr int64_t kDrainLimit = 1 << 20;
// The room a body received into memory starts with; it then doubles as the bytes arrive.
constexpr int64_t kFirstRoom = 4096;

int32_t RemainingTimeout(int32_t timeout, uint32_t start) {
  int64_t left = static_cast<int64_t>(timeout) - TickSpan(start, TickNow());
  return left > 0 ? static_cast<int32_t>(left) : 0;
}

std::string AddressText(const sockaddr_storage& address) {
  char host[NI_MAXHOST] = "";
  socklen_t length = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (address.ss_family == AF_UNSPEC ||
      getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, nullptr,
                  0, NI_NUMERICHOST) != 0) {
    return "0.0.0.0";
  }
  return host;
}

int32_t AddressPort(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return 0;
}

int FamilyNumber(TSocketFamily family) {
  switch (family) {
    case TSocketFamily::SF_IP4: return AF_INET;
    case TSocketFamily::SF_IP6: return AF_INET6;
    case TSocketFamily::SF_Any: break;
  }
  return AF_UNSPEC;
}

}  // namespace

TBlockSocket::TBlockSocket() = default;

TBlockSocket::~TBlockSocket() { TBlockSocket::CloseConnection(); }

void TBlockSocket::SetMaxBandwidth(int32_t bytesPerSecond) {
  MaxSendBandwidth = bytesPerSecond;
  MaxRecvBandwidth = bytesPerSecond;
}

void TBlockSocket::SetFamily(TSocketFamily family) {
  m_family = family;
  m_savedFamily = family;
}

void TBlockSocket::SetDeadline(uint32_t tick) {
  m_hasDeadline = true;
  m_deadline = tick;
}

void TBlockSocket::ClearDeadline() { m_hasDeadline = false; }

bool TBlockSocket::DeadlinePassed() const {
  return m_hasDeadline && static_cast<int32_t>(m_deadline - TickNow()) <= 0;
}

int32_t TBlockSocket::ClipToDeadline(int32_t timeout) const {
  if (!m_hasDeadline) {
    return timeout;
  }
  int32_t left = std::max(0, static_cast<int32_t>(m_deadline - TickNow()));
  return timeout < 0 ? left : std::min(timeout, left);
}

void TBlockSocket::ClearError() {
  m_lastErrorCode = 0;
  m_lastErrorText.clear();
}

void TBlockSocket::SetError(int32_t code) {
  m_lastErrorCode = code;
  m_lastErrorText = GetErrorDescEx();
}

void TBlockSocket::RecordError(int32_t code) {
  SetError(code);
  ErrorCheck();
}

int32_t TBlockSocket::CheckResult(int result) {
  int error = errno;
  ClearError();
  if (result == -1) {
    SetError(WinsockCodeFromErrno(error));
  }
  return m_lastErrorCode;
}

std::string TBlockSocket::GetErrorDescEx() { return GetErrorDesc(m_lastErrorCode); }

void TBlockSocket::ErrorCheck() {
  m_lastErrorText = GetErrorDescEx();
  if (m_lastErrorCode == 0 || m_lastErrorCode == kWsaEwouldblock ||
      m_lastErrorCode == kWsaEinprogress) {
    return;
  }
  DoStatus(THookSocketReason::HR_Error, std::to_string(m_lastErrorCode) + "," + m_lastErrorText);
  if (RaiseExcept) {
    throw ESocketError(m_lastErrorCode, m_lastErrorText);
  }
}

void TBlockSocket::DoStatus(THookSocketReason reason, const std::string& value) {
  if (OnStatus) {
    OnStatus(*this, reason, value);
  }
}

bool TBlockSocket::ResolveAddress(const std::string& host, const std::string& port,
                                  sockaddr_storage& address, socklen_t& length) {
  DoStatus(THookSocketReason::HR_ResolvingBegin, host + ":" + port);
  ClearError();
  TSocketFamily family = m_family;
  if (!HasHandle() && family == TSocketFamily::SF_Any) {
    if (IsIPv4Literal(host)) {
      family = TSocketFamily::SF_IP4;
    } else if (IsIPv6Literal(host)) {
      family = TSocketFamily::SF_IP6;
    }
  }

  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  const char* node = host.c_str();
  if (host == "0.0.0.0" || host == "::0") {
    node = nullptr;
    hints.ai_flags |= AI_PASSIVE;
  } else if (host == "127.0.0.1" || host == "::1") {
    node = nullptr;  // the system's own loopback address of the family
  }

  std::vector<int> families;
  if (family == TSocketFamily::SF_Any) {
    families =
        PreferIP4 ? std::vector<int>{AF_INET, AF_INET6} : std::vector<int>{AF_INET6, AF_INET};
  } else {
    families = {FamilyNumber(family)};
  }

  int result = EAI_NONAME;
  int systemError = 0;
  address = sockaddr_storage{};
  length = 0;
  for (int number : families) {
    hints.ai_family = number;
    addrinfo* list = nullptr;
    result = getaddrinfo(node, port.c_str(), &hints, &list);
    systemError = errno;
    auto freeList = support::ScopeExit([list] {
      if (list != nullptr) {
        freeaddrinfo(list);
      }
    });
    if (result == 0 && list != nullptr) {
      std::memcpy(&address, list->ai_addr, std::min<size_t>(list->ai_addrlen, sizeof address));
      length = list->ai_addrlen;
      break;
    }
  }
  SetError(WinsockCodeFromResolver(result, systemError));
  DoStatus(THookSocketReason::HR_ResolvingEnd,
           AddressText(address) + ":" + std::to_string(AddressPort(address)));
  return m_lastErrorCode == 0;
}

void TBlockSocket::CreateHandle(const sockaddr_storage& address) {
  StopFlag = false;
  ClearError();
  if (HasHandle()) {
    return;
  }
  ClearBuffered();
  m_bound = false;
  m_ip6Used = address.ss_family == AF_INET6;
  m_handle.Reset(socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!m_handle) {
    CheckResult(-1);
  }
  ErrorCheck();
  if (!HasHandle()) {
    return;
  }
  DoStatus(THookSocketReason::HR_SocketCreate, m_ip6Used ? "IPv6" : "IPv4");
  std::vector<TSocketOption> queued;
  queued.swap(m_delayedOptions);
  for (const TSocketOption& option : queued) {
    ApplyOption(option);
  }
  if (OnCreateSocket) {
    OnCreateSocket(*this);
  }
}

void TBlockSocket::SetDelayedOption(const TSocketOption& option) {
  if (HasHandle()) {
    ApplyOption(option);
  } else {
    m_delayedOptions.push_back(option);
  }
}

void TBlockSocket::ApplyOption(const TSocketOption& option) {
  int handle = m_handle.Get();
  int result = 0;
  int value = option.Value;
  int flag = option.Enabled ? 1 : 0;
  switch (option.Option) {
    case TSocketOptionKind::Linger: {
      linger lingerValue{flag, option.Value / 1000};
      result = setsockopt(handle, SOL_SOCKET, SO_LINGER, &lingerValue, sizeof lingerValue);
      break;
    }
    case TSocketOptionKind::RecvBuff:
      result = setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &value, sizeof value);
      break;
    case TSocketOptionKind::SendBuff:
      result = setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &value, sizeof value);
      break;
    case TSocketOptionKind::NonBlock: {
      int flags = fcntl(handle, F_GETFL);
      result = flags < 0 ? -1
                         : fcntl(handle, F_SETFL,
                                 option.Enabled ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
      if (result == 0) {
        m_nonBlock = option.Enabled;
      }
      break;
    }
    case TSocketOptionKind::RecvTimeout:
    case TSocketOptionKind::SendTimeout: {
      timeval time{option.Value / 1000, (option.Value % 1000) * 1000};
      int name = option.Option == TSocketOptionKind::RecvTimeout ? SO_RCVTIMEO : SO_SNDTIMEO;
      result = setsockopt(handle, SOL_SOCKET, name, &time, sizeof time);
      break;
    }
    case TSocketOptionKind::Reuse:
      result = setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &flag, sizeof flag);
      break;
    case TSocketOptionKind::TTL:
      result = m_ip6Used ? setsockopt(handle, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &value, sizeof value)
                         : setsockopt(handle, IPPROTO_IP, IP_TTL, &value, sizeof value);
      break;
    case TSocketOptionKind::Broadcast:
      result = setsockopt(handle, SOL_SOCKET, SO_BROADCAST, &flag, sizeof flag);
      break;
    case TSocketOptionKind::MulticastTTL:
      result = m_ip6Used
                   ? setsockopt(handle, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &value, sizeof value)
                   : setsockopt(handle, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value);
      break;
    case TSocketOptionKind::MulticastLoop:
      result = m_ip6Used ? setsockopt(handle, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &flag, sizeof flag)
                         : setsockopt(handle, IPPROTO_IP, IP_MULTICAST_LOOP, &flag, sizeof flag);
      break;
  }
  CheckResult(result);
  ErrorCheck();
}

void TBlockSocket::ReadBackAddresses() {
  socklen_t length = sizeof m_localAddress;
  if (getsockname(m_handle.Get(), reinterpret_cast<sockaddr*>(&m_localAddress), &length) != 0) {
    m_localAddress = sockaddr_storage{};
  }
  length = sizeof m_remoteAddress;
  if (getpeername(m_handle.Get(), reinterpret_cast<sockaddr*>(&m_remoteAddress), &length) != 0) {
    m_remoteAddress = sockaddr_storage{};
  }
}

bool TBlockSocket::ResolveWithHandle(const std::string& host, const std::string& port,
                                     sockaddr_storage& address, socklen_t& length) {
  if (!ResolveAddress(host, port, address, length)) {
    ErrorCheck();
    return false;
  }
  CreateHandle(address);
  return HasHandle();
}

void TBlockSocket::BindLocal(const std::string& ip, const std::string& port) {
  ClearError();
  if (!HasHandle() && m_family == TSocketFamily::SF_Any && ip == "0.0.0.0" && port == "0") {
    return;
  }
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!ResolveWithHandle(ip, port, address, length)) {
    return;
  }
  CheckResult(bind(m_handle.Get(), reinterpret_cast<const sockaddr*>(&address), length));
  ReadBackAddresses();
  m_bound = m_lastErrorCode == 0;
  ClearBuffered();
  DoStatus(THookSocketReason::HR_Bind, ip + ":" + port);
  ErrorCheck();
}

void TBlockSocket::ConnectPeer(const std::string& host, const std::string& port) {
  PlainConnect(host, port);
}

void TBlockSocket::PlainConnect(const std::string& host, const std::string& port) {
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!ResolveWithHandle(host, port, address, length)) {
    return;
  }
  int handle = m_handle.Get();
  int result = 0;
  if (m_nonBlock) {
    result = support::RetryOnEintr(
        [&] { return connect(handle, reinterpret_cast<const sockaddr*>(&address), length); });
  } else {
    // A blocking connect, but bounded by the connect time-out: connect without blocking and
    // wait for the outcome (connect(2), EINPROGRESS; the result is read from SO_ERROR).
    int flags = fcntl(handle, F_GETFL);
    fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    result = connect(handle, reinterpret_cast<const sockaddr*>(&address), length);
    if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) {
      int ready = PollOnce(POLLOUT, ClipToDeadline(kSystemConnectTimeout));
      int error = ETIMEDOUT;
      if (ready > 0) {
        socklen_t errorLength = sizeof error;
        if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0) {
          error = errno;
        }
      } else if (ready < 0) {
        error = errno;
      }
      result = error == 0 ? 0 : -1;
      errno = error;
    }
    int savedErrno = errno;
    fcntl(handle, F_SETFL, flags);
    errno = savedErrno;
  }
  CheckResult(result);
  if (m_lastErrorCode == 0) {
    ReadBackAddresses();
    ClearBuffered();
    m_lastCR = false;
    m_lastLF = false;
  }
  DoStatus(THookSocketReason::HR_Connect, host + ":" + port);
  ErrorCheck();
}

void TBlockSocket::CloseConnection() { AbortConnection(); }

void TBlockSocket::AbortConnection() {
  m_handle.Reset();
  m_delayedOptions.clear();
  m_family = m_savedFamily;
  m_nonBlock = false;
  DoStatus(THookSocketReason::HR_SocketClose, "");
}

void TBlockSocket::DrainInput() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  int64_t drained = 0;
  while ((Buffered() > 0 || PendingBytes() >= 1) && drained < kDrainLimit) {
    try {
      drained += static_cast<int64_t>(ReadAvailable(0).size());
    } catch (const ESocketError& error) {
      qCDebug(lcHttp, "draining at close ended: error %d", error.ErrorCode);
      break;
    }
    if (m_lastErrorCode != 0) {
      break;
    }
  }
  ClearError();
}

void TBlockSocket::LimitBandwidth(int32_t length, int32_t limit, uint32_t& nextTick) {
  if (limit <= 0 || StopFlag) {
    return;
  }
  uint32_t now = TickNow();
  int32_t ahead = static_cast<int32_t>(nextTick - now);
  if (ahead > 0) {
    DoStatus(THookSocketReason::HR_Wait, std::to_string(ahead));
    std::this_thread::sleep_for(std::chrono::milliseconds(ahead % 250));
    for (int32_t left = ahead - ahead % 250; left > 0 && !StopFlag; left -= 250) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  nextTick = TickNow() + static_cast<uint32_t>(static_cast<int64_t>(length) * 1000 / limit);
}

int32_t TBlockSocket::SendBuffer(const void* buffer, int32_t length) {
  if (StopFlag.exchange(false)) {
    SetError(kWsaEconnaborted);
    ErrorCheck();
    return 0;
  }
  ClearError();
  const auto* bytes = static_cast<const char*>(buffer);
  int32_t offset = 0;
  while (offset < length) {
    int32_t piece = std::min(length - offset, std::max(1, SendMaxChunk));
    LimitBandwidth(piece, MaxSendBandwidth, m_nextSendTick);
    // Under an overall deadline, a peer that stops reading must not hold the send.
    if (m_hasDeadline && !m_nonBlock && PollOnce(POLLOUT, ClipToDeadline(-1)) == 0) {
      SetError(kWsaEtimedout);
      break;
    }
    auto sendPiece = [&] {
      return support::RetryOnEintr([&] {
        return send(m_handle.Get(), bytes + offset, static_cast<size_t>(piece), MSG_NOSIGNAL);
      });
    };
    ssize_t sent = sendPiece();
    CheckResult(sent < 0 ? -1 : 0);
    if (m_lastErrorCode == kWsaEwouldblock) {
      if (WaitWritable(NonblockSendTimeout)) {
        sent = sendPiece();
        CheckResult(sent < 0 ? -1 : 0);
      } else {
        SetError(kWsaEtimedout);
      }
    }
    if (m_lastErrorCode != 0) {
      break;
    }
    offset += static_cast<int32_t>(sent);
    DoStatus(THookSocketReason::HR_WriteCount, std::to_string(sent));
  }
  ErrorCheck();
  return offset;
}

void TBlockSocket::SendData(const std::string& data) {
  SendBuffer(data.data(), static_cast<int32_t>(std::min<size_t>(data.size(), INT32_MAX)));
}

int32_t TBlockSocket::RecvBuffer(void* buffer, int32_t length) {
  if (StopFlag.exchange(false)) {
    SetError(kWsaEconnaborted);
    ErrorCheck();
    return 0;
  }
  LimitBandwidth(length, MaxRecvBandwidth, m_nextRecvTick);
  ssize_t received = support::RetryOnEintr(
      [&] { return recv(m_handle.Get(), buffer, static_cast<size_t>(length), 0); });
  if (received == 0) {
    SetError(kWsaEconnreset);  // the peer closed its side
  } else {
    CheckResult(received < 0 ? -1 : 0);
  }
  ErrorCheck();
  if (received <= 0) {
    return 0;
  }
  DoStatus(THookSocketReason::HR_ReadCount, std::to_string(received));
  return static_cast<int32_t>(received);
}

int32_t TBlockSocket::PendingBytes() {
  int pending = 0;
  if (!HasHandle() || ioctl(m_handle.Get(), FIONREAD, &pending) != 0) {
    return 0;
  }
  return std::min(std::max(pending, 0), kMaxPending);
}

int TBlockSocket::PollOnce(short events, int32_t timeout) {
  pollfd entry{m_handle.Get(), events, 0};
  uint32_t start = TickNow();
  int32_t wait = timeout;
  return support::RetryOnEintr([&] {
    int result = poll(&entry, 1, wait < 0 ? -1 : wait);
    // An interrupted wait goes on for what is left of the time-out.
    wait = timeout < 0 ? -1 : RemainingTimeout(timeout, start);
    return result;
  });
}

bool TBlockSocket::WaitFor(short events, int32_t timeout, THookSocketReason reason) {
  ClearError();
  timeout = ClipToDeadline(timeout);
  bool ready = false;
  if (HeartbeatRate > 0 && (timeout < 0 || timeout > HeartbeatRate)) {
    uint32_t start = TickNow();
    while (true) {
      int32_t slice = HeartbeatRate;
      if (timeout >= 0) {
        slice = std::min(slice, RemainingTimeout(timeout, start));
      }
      int result = PollOnce(events, slice);
      if (CheckResult(result < 0 ? -1 : 0) != 0 || result > 0) {
        ready = result > 0;
        break;
      }
      if (OnHeartbeat) {
        OnHeartbeat(*this);
      }
      if (StopFlag.exchange(false) || (timeout >= 0 && RemainingTimeout(timeout, start) == 0)) {
        break;
      }
    }
  } else {
    int result = PollOnce(events, timeout);
    ready = CheckResult(result < 0 ? -1 : 0) == 0 && result > 0;
    if (!ready && m_lastErrorCode == 0 && !StopFlag.exchange(false)) {
      result = PollOnce(events, 0);
      ready = CheckResult(result < 0 ? -1 : 0) == 0 && result > 0;
    }
  }
  ErrorCheck();
  if (ready) {
    DoStatus(reason, "");
  }
  return ready;
}

bool TBlockSocket::WaitReadable(int32_t timeout) {
  return WaitFor(POLLIN, timeout, THookSocketReason::HR_CanRead);
}

bool TBlockSocket::WaitWritable(int32_t timeout) {
  return WaitFor(POLLOUT, timeout, THookSocketReason::HR_CanWrite);
}

void TBlockSocket::ConvertLeadingLineEnd(std::string& text) {
  if (!ConvertLineEnd || text.empty()) {
    return;
  }
  // A lone CR or LF that ended the previous line may have its partner arriving first here.
  if (m_lastCR && !text.empty() && text.front() == '\n') {
    text.erase(0, 1);
  }
  if (m_lastLF && !text.empty() && text.front() == '\r') {
    text.erase(0, 1);
  }
  m_lastCR = false;
  m_lastLF = false;
}

void TBlockSocket::ConvertBufferedStart() {
  if (!ConvertLineEnd || Buffered() == 0) {
    return;
  }
  if (m_lastCR && Buffered() > 0 && m_lineBuffer[m_lineOffset] == '\n') {
    ConsumeBuffered(1);
  }
  if (m_lastLF && Buffered() > 0 && m_lineBuffer[m_lineOffset] == '\r') {
    ConsumeBuffered(1);
  }
  m_lastCR = false;
  m_lastLF = false;
}

void TBlockSocket::ConsumeBuffered(size_t count) {
  m_lineOffset += count;
  if (m_lineOffset >= m_lineBuffer.size()) {
    ClearBuffered();
  } else if (m_lineOffset >= 65536 && m_lineOffset * 2 >= m_lineBuffer.size()) {
    // Handed-out bytes are dropped in bulk, so every byte is moved at most a few times.
    m_lineBuffer.erase(0, m_lineOffset);
    m_lineOffset = 0;
  }
}

void TBlockSocket::ClearBuffered() {
  m_lineBuffer.clear();
  m_lineOffset = 0;
}

std::string TBlockSocket::ReceiveAvailable(int32_t timeout) {
  std::string result;
  if (int32_t pending = AwaitPending(timeout); pending > 0) {
    result.resize(static_cast<size_t>(pending));
    int32_t received = RecvBuffer(result.data(), pending);
    result.resize(static_cast<size_t>(received));
    if (received > 0 && OnReadFilter) {
      OnReadFilter(*this, result);
    }
  }
  return result;
}

int32_t TBlockSocket::AwaitPending(int32_t timeout) {
  if (DeadlinePassed()) {
    SetError(kWsaEtimedout);
    return 0;
  }
  sched_yield();
  int32_t pending = PendingBytes();
  if (pending == 0) {
    if (WaitReadable(timeout)) {
      pending = PendingBytes();
      if (pending == 0) {
        SetError(kWsaEconnreset);  // readable with nothing to read: the peer closed
      }
    } else if (m_lastErrorCode == 0) {
      SetError(kWsaEtimedout);
    }
  }
  return pending;
}

std::string TBlockSocket::ReadAvailable(int32_t timeout) {
  ClearError();
  std::string result;
  if (Buffered() > 0) {
    result.assign(m_lineBuffer, m_lineOffset, std::string::npos);
    ClearBuffered();
  } else {
    result = ReceiveAvailable(timeout);
  }
  ConvertLeadingLineEnd(result);
  ErrorCheck();
  return result;
}

bool TBlockSocket::SpendTimeout(int32_t& timeout, uint32_t& start) {
  if (InterPacketTimeout) {
    return true;
  }
  timeout = RemainingTimeout(timeout, start);
  start = TickNow();
  if (timeout > 0) {
    return true;
  }
  SetError(kWsaEtimedout);
  return false;
}

size_t TBlockSocket::FindTerminator(const std::string& terminator, bool lineMode, size_t searched,
                                    size_t& endLength) {
  const size_t from = m_lineOffset + searched;
  size_t at;
  if (lineMode) {
    at = m_lineBuffer.find_first_of("\r\n", from);
    if (at != std::string::npos) {
      char partner = m_lineBuffer[at] == '\r' ? '\n' : '\r';
      bool pair = at + 1 < m_lineBuffer.size() && m_lineBuffer[at + 1] == partner;
      endLength = pair ? 2 : 1;
      m_lastCR = !pair && m_lineBuffer[at] == '\r';
      m_lastLF = !pair && m_lineBuffer[at] == '\n';
    }
  } else {
    // A terminator may straddle the bytes searched before and the new ones: the search starts
    // up to its length - 1 bytes back.
    at = m_lineBuffer.find(terminator, from - std::min(searched, terminator.size() - 1));
    endLength = terminator.size();
  }
  return at != std::string::npos ? at - m_lineOffset : std::string::npos;
}

std::string TBlockSocket::ReadUntil(int32_t timeout, const std::string& terminator) {
  ClearError();
  if (terminator.empty()) {
    return {};
  }
  bool lineMode = ConvertLineEnd && terminator == "\r\n";
  // The line is searched for in place in the buffer. Bytes already searched held no line end
  // (a lone CR at their very end would have been one), so only new bytes are searched: a
  // line trickling in byte by byte, or many short lines in one packet, cost linear time.
  size_t searched = 0;
  size_t found = std::string::npos;
  size_t endLength = 0;
  uint32_t start = TickNow();
  while (true) {
    if (Buffered() <= searched) {
      std::string fresh = ReceiveAvailable(timeout);
      if (m_lastErrorCode != 0) {
        break;
      }
      m_lineBuffer += fresh;
    }
    ConvertBufferedStart();
    if (Buffered() > searched) {
      found = FindTerminator(terminator, lineMode, searched, endLength);
      searched = Buffered();
    }
    // The bound is on the line itself: text read beyond a line end found is no part of it.
    size_t lineLength = found != std::string::npos ? found : Buffered();
    if (MaxLineLength > 0 && lineLength > static_cast<size_t>(MaxLineLength)) {
      SetError(kWsaEnobufs);
      break;
    }
    if (found != std::string::npos) {
      break;
    }
    if (!SpendTimeout(timeout, start)) {
      break;
    }
  }
  std::string result;
  if (found != std::string::npos && m_lastErrorCode == 0) {
    result.assign(m_lineBuffer, m_lineOffset, found);
    ConsumeBuffered(found + endLength);
  }
  ErrorCheck();
  return result;
}

std::string TBlockSocket::ReadLine(int32_t timeout) {
  std::string line = ReadUntil(timeout, "\r\n");
  if (m_lastErrorCode != 0) {
    line.clear();
  }
  return line;
}

int32_t TBlockSocket::ReadExact(void* buffer, int32_t length, int32_t timeout) {
  ClearError();
  if (length <= 0) {
    return 0;
  }
  auto* bytes = static_cast<char*>(buffer);
  int32_t count = 0;
  uint32_t start = TickNow();
  while (true) {
    if (Buffered() == 0) {
      if (!m_lastCR && !m_lastLF && !OnReadFilter) {
        // Nothing buffered and no line end to finish: receive straight into the caller's
        // buffer, no more than still fits; bytes beyond stay with the system.
        int32_t pending = AwaitPending(timeout);
        if (pending > 0) {
          count += RecvBuffer(bytes + count, std::min(pending, length - count));
        }
      } else {
        m_lineBuffer += ReceiveAvailable(timeout);
      }
    }
    ConvertBufferedStart();
    if (Buffered() > 0 && m_lastErrorCode == 0) {
      size_t take = std::min(Buffered(), static_cast<size_t>(length - count));
      std::memcpy(bytes + count, m_lineBuffer.data() + m_lineOffset, take);
      count += static_cast<int32_t>(take);
      ConsumeBuffered(take);
    }
    if (m_lastErrorCode != 0 || count >= length) {
      break;
    }
    if (!SpendTimeout(timeout, start)) {
      break;
    }
  }
  ErrorCheck();
  return count;
}

std::string TBlockSocket::ReadExactText(int32_t length, int32_t timeout) {
  if (length <= 0) {
    ClearError();
    return {};
  }
  std::string text(static_cast<size_t>(length), '\0');
  int32_t count = ReadExact(text.data(), length, timeout);
  if (m_lastErrorCode != 0) {
    return {};
  }
  text.resize(static_cast<size_t>(count));
  return text;
}

void TBlockSocket::ReceiveToStream(TStream& stream, int32_t timeout, int64_t length) {
  ClearError();
  if (length <= 0) {
    return;
  }
  int32_t chunk = std::max(1, SendMaxChunk);
  auto* memory = dynamic_cast<TMemoryStream*>(&stream);
  bool appending = memory != nullptr && memory->Position() == memory->Size();
  for (int64_t left = length; left > 0;) {
    int32_t piece = static_cast<int32_t>(std::min<int64_t>(left, chunk));
    if (appending) {
      // Straight into the stream's memory; the piece counts only once it is complete. The room
      // grows only once the bytes before it have arrived, by at most what the stream holds and
      // never past what is still wanted: memory follows what the peer sends, not the length it
      // announced, and the room never ends larger than the data asked for.
      if (memory->Capacity() <= memory->Size()) {
        memory->Reserve(memory->Size() +
                        std::min(left, std::max<int64_t>(kFirstRoom, memory->Size())));
      }
      piece = static_cast<int32_t>(std::min<int64_t>(piece, memory->Capacity() - memory->Size()));
      char* place = memory->PrepareAppend(piece);
      ReadExact(place, piece, timeout);
      if (m_lastErrorCode != 0) {
        return;
      }
      memory->CommitAppend(piece);
    } else {
      std::string text = ReadExactText(piece, timeout);
      if (m_lastErrorCode != 0) {
        return;
      }
      WriteStreamText(stream, text);
    }
    left -= piece;
  }
}

std::string TBlockSocket::LocalAddressText() { return AddressText(m_localAddress); }

std::string TBlockSocket::RemoteAddressText() { return AddressText(m_remoteAddress); }

int32_t TBlockSocket::LocalPort() { return AddressPort(m_localAddress); }

TTCPBlockSocket::TTCPBlockSocket() : m_ssl(std::make_unique<TSSLNone>()) {}

TTCPBlockSocket::~TTCPBlockSocket() { TTCPBlockSocket::CloseConnection(); }

void TTCPBlockSocket::ConnectPeer(const std::string& host, const std::string& port) {
  PlainConnect(host, port);
  if (LastErrorCode() == 0 && OnAfterConnect) {
    OnAfterConnect(*this);
  }
}

void TTCPBlockSocket::CloseConnection() {
  if (m_ssl->SSLEnabled()) {
    m_ssl->Shutdown();
  }
  if (HasHandle() && LastErrorCode() == 0) {
    shutdown(Handle(), SHUT_WR);
    DrainInput();
  }
  AbortConnection();
}

void TTCPBlockSocket::StartTls() {
  ClearError();
  m_ssl->ClearError();
  if (!m_ssl->Connect()) {
    SetError(kWsaSysnotready);
  }
  ErrorCheck();
}

std::string TTCPBlockSocket::GetErrorDescEx() {
  if (LastErrorCode() == kWsaSysnotready && m_ssl->LastError() != 0) {
    return m_ssl->LastErrorDesc();
  }
  return TBlockSocket::GetErrorDescEx();
}

}  // namespace http
