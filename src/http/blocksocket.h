#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/socketerrors.h"
#include "http/sslnone.h"
#include "support/posix.h"

namespace http {

class TStream;

enum class TSocketFamily { SF_Any = 0, SF_IP4 = 1, SF_IP6 = 2 };

// Points at which a socket reports to its status hook.
enum class THookSocketReason {
  HR_ResolvingBegin,
  HR_ResolvingEnd,
  HR_SocketCreate,
  HR_SocketClose,
  HR_Bind,
  HR_Connect,
  HR_CanRead,
  HR_CanWrite,
  HR_ReadCount,
  HR_WriteCount,
  HR_Wait,
  HR_Error,
};

enum class TSocketOptionKind {
  Linger,
  RecvBuff,
  SendBuff,
  NonBlock,
  RecvTimeout,
  SendTimeout,
  Reuse,
  TTL,
  Broadcast,
  MulticastTTL,
  MulticastLoop,
};

struct TSocketOption {
  TSocketOptionKind Option = TSocketOptionKind::Linger;
  int32_t Value = 0;
  bool Enabled = false;
};

// A blocking TCP socket. Every operation records its outcome in LastErrorCode/LastErrorText
// (Windows Sockets codes, see socketerrors.h) instead of failing loudly; with RaiseExcept on,
// a failure also raises ESocketError. One object belongs to one thread at a time; only
// StopFlag may be set from another thread.
class TBlockSocket {
 public:
  using TStatusHook = std::function<void(TBlockSocket&, THookSocketReason, const std::string&)>;
  using TReadFilterHook = std::function<void(TBlockSocket&, std::string&)>;
  using TCreateSocketHook = std::function<void(TBlockSocket&)>;
  using THeartbeatHook = std::function<void(TBlockSocket&)>;

  TBlockSocket();
  virtual ~TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;

  int32_t Tag = 0;
  bool RaiseExcept = false;
  // 0 = no limit; otherwise a line read fails with 10055 once the line grows past it.
  int32_t MaxLineLength = 0;
  int32_t MaxSendBandwidth = 0;  // bytes per second, 0 = unlimited
  int32_t MaxRecvBandwidth = 0;
  bool ConvertLineEnd = false;
  bool PreferIP4 = true;
  // On: a time-out bounds each single wait for data. Off: it bounds the whole operation.
  bool InterPacketTimeout = true;
  int32_t SendMaxChunk = 65536;
  std::atomic<bool> StopFlag{false};
  int32_t NonblockSendTimeout = 15000;
  int32_t HeartbeatRate = 0;

  TStatusHook OnStatus;
  TReadFilterHook OnReadFilter;
  TCreateSocketHook OnCreateSocket;
  THeartbeatHook OnHeartbeat;

  void SetMaxBandwidth(int32_t bytesPerSecond);
  TSocketFamily Family() const { return m_family; }
  // Also sets the family restored at every close.
  void SetFamily(TSocketFamily family);

  int Handle() const { return m_handle.Get(); }
  bool HasHandle() const { return static_cast<bool>(m_handle); }
  int32_t LastErrorCode() const { return m_lastErrorCode; }
  const std::string& LastErrorText() const { return m_lastErrorText; }
  bool UsesIPv6() const { return m_ip6Used; }

  // Ends waits and reads at the given TickNow value with 10060, whatever time-out a caller
  // passes (an overall bound for an exchange). Connects are bounded by it too.
  void SetDeadline(uint32_t tick);
  void ClearDeadline();

  void BindLocal(const std::string& ip, const std::string& port);
  virtual void ConnectPeer(const std::string& host, const std::string& port);
  virtual void CloseConnection();
  // Closes the handle at once; queued options are dropped and the saved family comes back.
  void AbortConnection();

  virtual int32_t SendBuffer(const void* buffer, int32_t length);
  void SendData(const std::string& data);
  // One system receive of up to length bytes.
  virtual int32_t RecvBuffer(void* buffer, int32_t length);

  std::string ReadAvailable(int32_t timeout);
  std::string ReadUntil(int32_t timeout, const std::string& terminator);
  std::string ReadLine(int32_t timeout);
  int32_t ReadExact(void* buffer, int32_t length, int32_t timeout);
  std::string ReadExactText(int32_t length, int32_t timeout);
  void ReceiveToStream(TStream& stream, int32_t timeout, int64_t length);

  bool WaitReadable(int32_t timeout);
  bool WaitWritable(int32_t timeout);
  virtual int32_t PendingBytes();

  int32_t CheckResult(int result);
  void ClearError();
  // Records a failure found by the socket's user (a bound of its own), with the error check.
  void RecordError(int32_t code);
  virtual std::string GetErrorDescEx();

  // Applied at once when a handle exists, else queued for the next handle.
  void SetDelayedOption(const TSocketOption& option);
  size_t DelayedOptionCount() const { return m_delayedOptions.size(); }

  std::string LocalAddressText();
  std::string RemoteAddressText();
  int32_t LocalPort();

 protected:
  bool ResolveAddress(const std::string& host, const std::string& port, sockaddr_storage& address,
                      socklen_t& length);
  void CreateHandle(const sockaddr_storage& address);
  // Resolves host and port and makes sure a handle exists for that address; false (with the
  // error recorded) when either step failed.
  bool ResolveWithHandle(const std::string& host, const std::string& port,
                         sockaddr_storage& address, socklen_t& length);
  void PlainConnect(const std::string& host, const std::string& port);
  // Run at the end of every public operation: describes the error, reports it, raises it.
  void ErrorCheck();
  void SetError(int32_t code);
  void DoStatus(THookSocketReason reason, const std::string& value);
  void DrainInput();
  int32_t ClipToDeadline(int32_t timeout) const;
  // Waits as ReadAvailable does when nothing is buffered: the count of bytes the system
  // holds (at most 65536), or 0 with the error recorded (silence, deadline, peer closed).
  int32_t AwaitPending(int32_t timeout);
  bool DeadlinePassed() const;

 private:
  bool WaitFor(short events, int32_t timeout, THookSocketReason reason);
  int PollOnce(short events, int32_t timeout);
  void LimitBandwidth(int32_t length, int32_t limit, uint32_t& nextTick);
  void ApplyOption(const TSocketOption& option);
  void ConvertLeadingLineEnd(std::string& text);
  // The line buffer: bytes received but not handed out yet, from m_lineOffset on.
  size_t Buffered() const { return m_lineBuffer.size() - m_lineOffset; }
  void ConvertBufferedStart();
  void ConsumeBuffered(size_t count);
  void ClearBuffered();
  // One wait and receive as ReadAvailable does them when nothing is buffered.
  std::string ReceiveAvailable(int32_t timeout);
  // With InterPacketTimeout off, a time-out bounds the whole read: the time spent since start
  // comes off it and start moves on. False, with 10060 recorded, once nothing is left.
  bool SpendTimeout(int32_t& timeout, uint32_t& start);
  // Looks for the terminator in the buffered bytes from offset searched on (line mode: the
  // first CR or LF, with its partner when that follows). Its offset in the buffered bytes, or
  // npos; endLength is set to the terminator's length when found.
  size_t FindTerminator(const std::string& terminator, bool lineMode, size_t searched,
                        size_t& endLength);
  void ReadBackAddresses();

  support::TUniqueFd m_handle;
  TSocketFamily m_family = TSocketFamily::SF_Any;
  TSocketFamily m_savedFamily = TSocketFamily::SF_Any;
  int32_t m_lastErrorCode = 0;
  std::string m_lastErrorText;
  std::string m_lineBuffer;
  size_t m_lineOffset = 0;
  bool m_lastCR = false;
  bool m_lastLF = false;
  bool m_bound = false;
  bool m_nonBlock = false;
  bool m_ip6Used = false;
  std::vector<TSocketOption> m_delayedOptions;
  sockaddr_storage m_localAddress{};
  sockaddr_storage m_remoteAddress{};
  uint32_t m_nextSendTick = 0;
  uint32_t m_nextRecvTick = 0;
  bool m_hasDeadline = false;
  uint32_t m_deadline = 0;
};

// The TCP socket of the HTTP client: adds the TLS layer and a hook after each connect. It
// connects directly; no SOCKS or HTTP-tunnel proxy path is built in.
class TTCPBlockSocket : public TBlockSocket {
 public:
  using TAfterConnectHook = std::function<void(TTCPBlockSocket&)>;

  TTCPBlockSocket();
  ~TTCPBlockSocket() override;

  TAfterConnectHook OnAfterConnect;

  void ConnectPeer(const std::string& host, const std::string& port) override;
  // Orderly close: shuts down the sending side, reads what is still pending, closes.
  void CloseConnection() override;
  // Starts TLS on the connection; with the layer present this always fails with 10091.
  void StartTls();
  std::string GetErrorDescEx() override;

  TCustomSSL& SSL() { return *m_ssl; }

 private:
  std::unique_ptr<TCustomSSL> m_ssl;
};

}  // namespace http
