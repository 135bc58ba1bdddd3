#include "http/blocksocket.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <thread>

#include "http/stream.h"
#include "common/peer.h"
#include "http/urlutil.h"

namespace http {
namespace {

using test::Close;
using test::Drain;
using test::Pause;
using test::ReadBytes;
using test::ReadHead;
using test::Send;
using test::ShutdownWrite;
using test::TScriptedPeer;

// A line-converting socket connected to the peer, as the HTTP client uses it.
std::unique_ptr<TTCPBlockSocket> ConnectTo(const TScriptedPeer& peer) {
  auto sock = std::make_unique<TTCPBlockSocket>();
  sock->ConvertLineEnd = true;
  sock->ConnectPeer("127.0.0.1", std::to_string(peer.Port()));
  EXPECT_EQ(sock->LastErrorCode(), 0) << sock->LastErrorText();
  return sock;
}

TEST(SocketErrors, DescriptionsOfTheTable) {
  EXPECT_EQ(GetErrorDesc(0), "");
  EXPECT_EQ(GetErrorDesc(10061), "Connection refused");
  EXPECT_EQ(GetErrorDesc(10060), "Connection timed out");
  EXPECT_EQ(GetErrorDesc(10054), "Connection reset by peer");
  EXPECT_EQ(GetErrorDesc(10055), "No Buffer space available");
  EXPECT_EQ(GetErrorDesc(10059), "Too many references:can't splice");
  EXPECT_EQ(GetErrorDesc(10091), "Network subsystem is unusable");
  EXPECT_EQ(GetErrorDesc(11002), "Non authoritative - host not found");
  EXPECT_EQ(GetErrorDesc(11004), "Valid name, no data record of requested type");
  EXPECT_EQ(GetErrorDesc(12345), "Other Winsock error (12345)");
}

TEST(SocketErrors, ErrnoAndResolverResultsMapToWinsockCodes) {
  EXPECT_EQ(WinsockCodeFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WinsockCodeFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WinsockCodeFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WinsockCodeFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WinsockCodeFromErrno(ENETUNREACH), 10051);
  EXPECT_EQ(WinsockCodeFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WinsockCodeFromErrno(EWOULDBLOCK), 10035);
  EXPECT_EQ(WinsockCodeFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WinsockCodeFromErrno(EPIPE), 10054);
  EXPECT_EQ(WinsockCodeFromErrno(EIO), EIO);
  EXPECT_EQ(WinsockCodeFromResolver(0, 0), 0);
  EXPECT_EQ(WinsockCodeFromResolver(EAI_NONAME, 0), 11001);
  EXPECT_EQ(WinsockCodeFromResolver(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(WinsockCodeFromResolver(EAI_FAIL, 0), 11003);
  EXPECT_EQ(WinsockCodeFromResolver(EAI_NODATA, 0), 11004);
  EXPECT_EQ(WinsockCodeFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(SocketErrors, RaisedErrorCarriesCodeAndText) {
  test::TRefusedPort refused;
  uint16_t port = refused.Port();
  TTCPBlockSocket sock;
  sock.RaiseExcept = true;
  try {
    sock.ConnectPeer("127.0.0.1", std::to_string(port));
    FAIL() << "no error raised";
  } catch (const ESocketError& error) {
    EXPECT_STREQ(error.what(), "TCP/IP Socket error 10061: Connection refused");
    EXPECT_EQ(error.ErrorCode, 10061);
    EXPECT_EQ(error.ErrorMessage, "Connection refused");
  }
}

TEST(Connect, RefusedPortGives10061) {
  test::TRefusedPort refused;
  uint16_t port = refused.Port();
  TTCPBlockSocket sock;
  sock.ConnectPeer("127.0.0.1", std::to_string(port));
  EXPECT_EQ(sock.LastErrorCode(), 10061);
  EXPECT_EQ(sock.LastErrorText(), "Connection refused");
}

TEST(Connect, IPv6LoopbackLiteral) {
  TTCPBlockSocket probe;
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  bool haveIPv6 = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  listen(fd, 1) == 0;
  if (!haveIPv6) {
    if (fd >= 0) {
      close(fd);
    }
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  probe.ConnectPeer("::1", std::to_string(ntohs(address.sin6_port)));
  EXPECT_EQ(probe.LastErrorCode(), 0) << probe.LastErrorText();
  EXPECT_TRUE(probe.UsesIPv6());
  EXPECT_EQ(probe.RemoteAddressText(), "::1");
  close(fd);
}

TEST(Connect, BindToAnyAddressAndPortZeroCreatesNoHandle) {
  TTCPBlockSocket sock;
  sock.BindLocal("0.0.0.0", "0");
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_FALSE(sock.HasHandle());
}

TEST(Connect, BindToLoopbackCreatesABoundHandle) {
  TTCPBlockSocket sock;
  sock.BindLocal("127.0.0.1", "0");
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_TRUE(sock.HasHandle());
  EXPECT_EQ(sock.LocalAddressText(), "127.0.0.1");
  EXPECT_GT(sock.LocalPort(), 0);
}

TEST(Connect, OptionsQueuedWithoutHandleAreDroppedByAClose) {
  TTCPBlockSocket sock;
  sock.SetDelayedOption({TSocketOptionKind::RecvBuff, 65536, false});
  EXPECT_EQ(sock.DelayedOptionCount(), 1u);
  sock.CloseConnection();
  EXPECT_EQ(sock.DelayedOptionCount(), 0u);
}

TEST(Connect, OptionsQueuedWithoutHandleReachTheNextHandle) {
  TScriptedPeer peer({ReadHead()});
  TTCPBlockSocket sock;
  sock.SetDelayedOption({TSocketOptionKind::Reuse, 0, true});
  sock.ConnectPeer("127.0.0.1", std::to_string(peer.Port()));
  EXPECT_EQ(sock.DelayedOptionCount(), 0u);
  int reuse = 0;
  socklen_t length = sizeof reuse;
  getsockopt(sock.Handle(), SOL_SOCKET, SO_REUSEADDR, &reuse, &length);
  EXPECT_EQ(reuse, 1);
}

TEST(Tls, StartAlwaysFailsWithTheNotCompiledText) {
  TScriptedPeer peer({Drain()});
  auto sock = ConnectTo(peer);
  sock->StartTls();
  EXPECT_EQ(sock->LastErrorCode(), 10091);
  EXPECT_EQ(sock->LastErrorText(), "SSL/TLS support is not compiled!");
  EXPECT_EQ(sock->SSL().LibName(), "ssl_none");
  EXPECT_EQ(sock->SSL().LibVersion(), "Without SSL support");
}

TEST(ReadLine, CrLfLfOnlyAndCrOnlyLinesReadAlike) {
  TScriptedPeer peer({Send("one\r\ntwo\nthree\rfour\n\rfive\r\n"), ShutdownWrite(), Drain()});
  auto sock = ConnectTo(peer);
  for (const char* expected : {"one", "two", "three", "four", "five"}) {
    EXPECT_EQ(sock->ReadLine(2000), expected);
    EXPECT_EQ(sock->LastErrorCode(), 0);
  }
}

TEST(ReadLine, CrAndLfSplitAcrossPacketsEndOneLine) {
  TScriptedPeer peer({Send("first\r"), Pause(200), Send("\nsecond\n"), Pause(200), Send("\r\n"),
                      ShutdownWrite(), Drain()});
  auto sock = ConnectTo(peer);
  EXPECT_EQ(sock->ReadLine(2000), "first");
  EXPECT_EQ(sock->ReadLine(2000), "second");
  EXPECT_EQ(sock->ReadLine(2000), "");
  EXPECT_EQ(sock->LastErrorCode(), 0);
  EXPECT_EQ(sock->ReadLine(2000), "");
  EXPECT_EQ(sock->LastErrorCode(), 10054);
}

TEST(ReadLine, LineSplitOverManyPacketsIsJoined) {
  TScriptedPeer peer(
      {Send("par"), Pause(100), Send("tial li"), Pause(100), Send("ne\r\n"), Drain()});
  auto sock = ConnectTo(peer);
  EXPECT_EQ(sock->ReadLine(2000), "partial line");
}

TEST(ReadLine, ManyShortLinesThenBytesFromOneLargeSend) {
  std::string data;
  for (int i = 0; i < 40000; ++i) {
    data += "line" + std::to_string(i) + (i % 3 == 0 ? "\n" : "\r\n");
  }
  TScriptedPeer peer({Send(data + "tail-bytes"), ShutdownWrite(), Drain()});
  auto sock = ConnectTo(peer);
  for (int i = 0; i < 40000; ++i) {
    ASSERT_EQ(sock->ReadLine(2000), "line" + std::to_string(i));
  }
  EXPECT_EQ(sock->ReadExactText(4, 2000), "tail");
  std::string rest;
  while (sock->LastErrorCode() == 0) {
    rest += sock->ReadAvailable(2000);
  }
  EXPECT_EQ(rest, "-bytes");
  EXPECT_EQ(sock->LastErrorCode(), 10054);
}

TEST(ReadLine, PeerThatClosesGives10054AndEmptyText) {
  TScriptedPeer peer({Send("no line end"), Close()});
  auto sock = ConnectTo(peer);
  EXPECT_EQ(sock->ReadLine(2000), "");
  EXPECT_EQ(sock->LastErrorCode(), 10054);
  EXPECT_EQ(sock->LastErrorText(), "Connection reset by peer");
}

TEST(ReadLine, SilenceGives10060) {
  TScriptedPeer peer({Pause(5000)});
  auto sock = ConnectTo(peer);
  EXPECT_EQ(sock->ReadLine(200), "");
  EXPECT_EQ(sock->LastErrorCode(), 10060);
  EXPECT_EQ(sock->LastErrorText(), "Connection timed out");
}

TEST(ReadLine, LineLongerThanTheBoundGives10055) {
  TScriptedPeer peer({Send(std::string(3000, 'x') + "\r\n"), Drain()});
  auto sock = ConnectTo(peer);
  sock->MaxLineLength = 1000;
  EXPECT_EQ(sock->ReadLine(2000), "");
  EXPECT_EQ(sock->LastErrorCode(), 10055);
}

TEST(ReadLine, ShortLineFollowedByMuchDataPassesTheBound) {
  TScriptedPeer peer({Send("short\r\n" + std::string(3000, 'x')), Drain()});
  auto sock = ConnectTo(peer);
  sock->MaxLineLength = 1000;
  EXPECT_TRUE(sock->WaitReadable(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(sock->ReadLine(2000), "short");
  EXPECT_EQ(sock->LastErrorCode(), 0);
}

TEST(ReadLine, TricklingLineEndsAtTheBoundNotAtTheTimeout) {
  TScriptedPeer peer(test::Repeat({Send("xxxxxxxxxx"), Pause(20)}, 200));
  auto sock = ConnectTo(peer);
  sock->MaxLineLength = 100;
  EXPECT_EQ(sock->ReadLine(2000), "");
  EXPECT_EQ(sock->LastErrorCode(), 10055);
}

TEST(ReadLine, WholeOperationBoundWhenInterPacketTimeoutIsOff) {
  TScriptedPeer peer(test::Repeat({Send("x"), Pause(50)}, 100));
  auto sock = ConnectTo(peer);
  sock->InterPacketTimeout = false;
  EXPECT_EQ(sock->ReadLine(300), "");
  EXPECT_EQ(sock->LastErrorCode(), 10060);
}

TEST(ReadLine, WithoutConversionOnlyTheTerminatorEndsALine) {
  TScriptedPeer peer({Send("a\nb\r\n"), Drain()});
  TTCPBlockSocket sock;
  sock.ConnectPeer("127.0.0.1", std::to_string(peer.Port()));
  EXPECT_EQ(sock.ReadLine(2000), "a\nb");
  EXPECT_EQ(sock.ReadUntil(2000, ""), "");
}

TEST(Deadline, EndsATricklingReadWith10060) {
  TScriptedPeer peer(test::Repeat({Send("x"), Pause(50)}, 200));
  auto sock = ConnectTo(peer);
  sock->SetDeadline(TickNow() + 300);
  EXPECT_EQ(sock->ReadLine(2000), "");
  EXPECT_EQ(sock->LastErrorCode(), 10060);
}

TEST(ReadExact, TakesExactlyNAndKeepsTheRest) {
  TScriptedPeer peer({Send("0123456789"), Pause(100), Send("abc\r\n"), Drain()});
  auto sock = ConnectTo(peer);
  EXPECT_EQ(sock->ReadExactText(12, 2000), "0123456789ab");
  EXPECT_EQ(sock->ReadLine(2000), "c");
}

TEST(ReadExact, ShortDataBeforeCloseGivesEmptyText) {
  TScriptedPeer peer({Send("0123"), Close()});
  auto sock = ConnectTo(peer);
  EXPECT_EQ(sock->ReadExactText(10, 2000), "");
  EXPECT_EQ(sock->LastErrorCode(), 10054);
}

TEST(ReceiveToStream, WritesOnlyWholePieces) {
  std::string body(100000, 'b');
  TScriptedPeer peer({Send(body.substr(0, 70000)), Close()});
  auto sock = ConnectTo(peer);
  TMemoryStream stream;
  sock->ReceiveToStream(stream, 2000, 100000);
  EXPECT_EQ(sock->LastErrorCode(), 10054);
  EXPECT_EQ(stream.Size(), 65536);
}

TEST(ReceiveToStream, LargeBodyArrivesWhole) {
  std::string body;
  for (int i = 0; i < 300000; ++i) {
    body += static_cast<char>('a' + i % 26);
  }
  TScriptedPeer peer({Send(body), Drain()});
  auto sock = ConnectTo(peer);
  TMemoryStream stream;
  sock->ReceiveToStream(stream, 2000, static_cast<int64_t>(body.size()));
  EXPECT_EQ(sock->LastErrorCode(), 0);
  ASSERT_EQ(stream.Size(), static_cast<int64_t>(body.size()));
  EXPECT_EQ(std::string(stream.Data(), body.size()), body);
}

TEST(StopFlag, NextSendFailsWith10053AndTheFlagClears) {
  TScriptedPeer peer({Drain()});
  auto sock = ConnectTo(peer);
  sock->StopFlag = true;
  EXPECT_EQ(sock->SendBuffer("x", 1), 0);
  EXPECT_EQ(sock->LastErrorCode(), 10053);
  EXPECT_FALSE(sock->StopFlag);
  sock->SendData("y");
  EXPECT_EQ(sock->LastErrorCode(), 0);
}

TEST(Send, LargeBufferGoesOutWhole) {
  TScriptedPeer peer({Drain()});
  auto sock = ConnectTo(peer);
  std::string data(500000, 'd');
  EXPECT_EQ(sock->SendBuffer(data.data(), static_cast<int32_t>(data.size())), 500000);
  sock->CloseConnection();
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(peer.Received(), data);
}

TEST(Send, ToAPeerThatResetGivesAnErrorNotASignal) {
  TScriptedPeer peer({Close()});
  auto sock = ConnectTo(peer);
  ASSERT_TRUE(peer.WaitDone());
  std::string data(65536, 'd');
  for (int i = 0; i < 20 && sock->LastErrorCode() == 0; ++i) {
    sock->SendData(data);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(sock->LastErrorCode(), 10054);
}

TEST(Close, DrainsWhatIsPendingAndEndsTheConnection) {
  TScriptedPeer peer({Send("left over"), Drain()});
  auto sock = ConnectTo(peer);
  EXPECT_TRUE(sock->WaitReadable(2000));
  sock->CloseConnection();
  EXPECT_FALSE(sock->HasHandle());
  EXPECT_EQ(sock->LastErrorCode(), 0);
  EXPECT_TRUE(peer.WaitDone());
}

TEST(Close, APeerThatNeverStopsSendingDoesNotHoldTheClose) {
  TScriptedPeer peer(test::Repeat({Send(std::string(65536, 'z'))}, 200));
  auto sock = ConnectTo(peer);
  EXPECT_TRUE(sock->WaitReadable(2000));
  sock->CloseConnection();
  EXPECT_FALSE(sock->HasHandle());
}

TEST(Readiness, PendingBytesAndWaits) {
  TScriptedPeer peer({Send("abc"), Drain()});
  auto sock = ConnectTo(peer);
  EXPECT_TRUE(sock->WaitWritable(1000));
  EXPECT_TRUE(sock->WaitReadable(2000));
  EXPECT_EQ(sock->PendingBytes(), 3);
  EXPECT_EQ(sock->ReadAvailable(1000), "abc");
  EXPECT_FALSE(sock->WaitReadable(50));
  EXPECT_EQ(sock->LastErrorCode(), 0);
}

TEST(Readiness, StatusHookSeesResolveConnectAndClose) {
  TScriptedPeer peer({Drain()});
  std::vector<THookSocketReason> seen;
  TTCPBlockSocket sock;
  sock.OnStatus = [&seen](TBlockSocket&, THookSocketReason reason, const std::string&) {
    seen.push_back(reason);
  };
  sock.ConnectPeer("127.0.0.1", std::to_string(peer.Port()));
  sock.CloseConnection();
  std::vector<THookSocketReason> expected = {
      THookSocketReason::HR_ResolvingBegin, THookSocketReason::HR_ResolvingEnd,
      THookSocketReason::HR_SocketCreate, THookSocketReason::HR_Connect,
      THookSocketReason::HR_SocketClose};
  EXPECT_EQ(seen, expected);
  sock.OnStatus = nullptr;
}

TEST(Hooks, EachFiresAtItsCallPoint) {
  TScriptedPeer peer({ReadBytes(2), Send("abc"), Close()});
  TTCPBlockSocket sock;
  sock.Tag = 7;
  std::set<THookSocketReason> seen;
  int created = 0;
  int connected = 0;
  sock.OnStatus = [&seen](TBlockSocket& s, THookSocketReason reason, const std::string&) {
    EXPECT_EQ(s.Tag, 7);
    seen.insert(reason);
  };
  sock.OnCreateSocket = [&created](TBlockSocket& s) { created += s.HasHandle() ? 1 : 0; };
  sock.OnAfterConnect = [&connected](TTCPBlockSocket&) { ++connected; };
  sock.OnReadFilter = [](TBlockSocket&, std::string& data) { data = "<" + data + ">"; };
  // A bandwidth limit makes the second byte wait 100 ms for the first (HR_Wait).
  sock.MaxSendBandwidth = 10;
  sock.BindLocal("127.0.0.1", "0");
  sock.ConnectPeer("127.0.0.1", std::to_string(peer.Port()));
  sock.SendData("x");
  sock.SendData("y");
  EXPECT_TRUE(sock.WaitWritable(1000));
  EXPECT_EQ(sock.ReadAvailable(2000), "<abc>");
  EXPECT_EQ(sock.ReadLine(2000), "");
  EXPECT_EQ(sock.LastErrorCode(), 10054);
  sock.CloseConnection();
  EXPECT_EQ(created, 1);
  EXPECT_EQ(connected, 1);
  std::set<THookSocketReason> all = {
      THookSocketReason::HR_ResolvingBegin, THookSocketReason::HR_ResolvingEnd,
      THookSocketReason::HR_SocketCreate,   THookSocketReason::HR_SocketClose,
      THookSocketReason::HR_Bind,           THookSocketReason::HR_Connect,
      THookSocketReason::HR_CanRead,        THookSocketReason::HR_CanWrite,
      THookSocketReason::HR_ReadCount,      THookSocketReason::HR_WriteCount,
      THookSocketReason::HR_Wait,           THookSocketReason::HR_Error};
  EXPECT_EQ(seen, all);
  sock.OnStatus = nullptr;
}

TEST(Bandwidth, SendsAndReceivesAreSpreadOverTime) {
  TScriptedPeer peer(
      {Send(std::string(2000, 'r')), Pause(50), Send(std::string(2000, 'r')), Drain()});
  auto sock = ConnectTo(peer);
  sock->SetMaxBandwidth(20000);
  sock->SendMaxChunk = 2000;
  std::vector<std::string> writes;
  sock->OnStatus = [&writes](TBlockSocket&, THookSocketReason reason, const std::string& value) {
    if (reason == THookSocketReason::HR_WriteCount) {
      writes.push_back(value);
    }
  };
  // Three pieces of at most SendMaxChunk bytes, each 100 ms of the limit after the one before.
  uint32_t start = TickNow();
  EXPECT_EQ(sock->SendBuffer(std::string(5000, 's').data(), 5000), 5000);
  EXPECT_GE(TickSpan(start, TickNow()), 190);
  EXPECT_EQ(writes, (std::vector<std::string>{"2000", "2000", "1000"}));
  // A receive of 2000 bytes holds the next one back for 100 ms.
  EXPECT_EQ(sock->ReadExactText(2000, 2000).size(), 2000u);
  start = TickNow();
  EXPECT_EQ(sock->ReadExactText(2000, 2000).size(), 2000u);
  EXPECT_GE(TickSpan(start, TickNow()), 50);
  sock->OnStatus = nullptr;
}

TEST(Heartbeat, FiresBetweenSlicesOfAWaitAndTheStopFlagEndsIt) {
  TScriptedPeer peer({Pause(5000)});
  auto sock = ConnectTo(peer);
  sock->HeartbeatRate = 50;
  int beats = 0;
  sock->OnHeartbeat = [&beats](TBlockSocket&) { ++beats; };
  EXPECT_FALSE(sock->WaitReadable(300));
  // About six slices of 50 ms; a busy machine makes them longer, never more.
  EXPECT_GE(beats, 2);
  EXPECT_LE(beats, 7);
  sock->OnHeartbeat = [](TBlockSocket& s) { s.StopFlag = true; };
  uint32_t start = TickNow();
  EXPECT_FALSE(sock->WaitReadable(5000));
  EXPECT_LT(TickSpan(start, TickNow()), 1000);
  EXPECT_FALSE(sock->StopFlag);
}

TEST(Send, NonBlockingSendToAPeerThatDoesNotReadEndsAfterNonblockSendTimeout) {
  TScriptedPeer peer({Pause(5000)});
  auto sock = ConnectTo(peer);
  sock->NonblockSendTimeout = 200;
  sock->SetDelayedOption({TSocketOptionKind::SendBuff, 4096, false});
  sock->SetDelayedOption({TSocketOptionKind::NonBlock, 0, true});
  EXPECT_EQ(sock->LastErrorCode(), 0);
  std::string data(16 << 20, 'd');
  uint32_t start = TickNow();
  int32_t sent = sock->SendBuffer(data.data(), static_cast<int32_t>(data.size()));
  EXPECT_LT(sent, static_cast<int32_t>(data.size()));
  EXPECT_EQ(sock->LastErrorCode(), 10060);
  EXPECT_LT(TickSpan(start, TickNow()), 3000);
}

TEST(Family, FixedFamilyAndPreferenceChooseTheAddressOfAName) {
  TTCPBlockSocket sock;
  sock.SetFamily(TSocketFamily::SF_IP4);
  sock.PreferIP4 = false;
  sock.BindLocal("localhost", "0");
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_FALSE(sock.UsesIPv6());
  EXPECT_EQ(sock.LocalAddressText(), "127.0.0.1");
  sock.CloseConnection();
  EXPECT_EQ(sock.Family(), TSocketFamily::SF_IP4);

  addrinfo hints{};
  hints.ai_family = AF_INET6;
  addrinfo* list = nullptr;
  if (getaddrinfo("localhost", "0", &hints, &list) != 0) {
    GTEST_SKIP() << "localhost has no IPv6 address here";
  }
  freeaddrinfo(list);
  sock.SetFamily(TSocketFamily::SF_Any);
  sock.BindLocal("localhost", "0");
  if (sock.LastErrorCode() != 0) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  EXPECT_TRUE(sock.UsesIPv6());
  sock.CloseConnection();
  sock.PreferIP4 = true;
  sock.BindLocal("localhost", "0");
  EXPECT_FALSE(sock.UsesIPv6());
}

}  // namespace
}  // namespace http
