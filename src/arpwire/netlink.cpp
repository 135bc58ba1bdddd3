#include "arpwire/netlink.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace arpwire {

namespace {

// NLMSG_OK, without the macro's comparison of a signed length with the unsigned nlmsg_len
// that clang warns about.
bool MessageFits(const nlmsghdr* m, int length) {
  return length >= static_cast<int>(sizeof(nlmsghdr)) && m->nlmsg_len >= sizeof(nlmsghdr) &&
         m->nlmsg_len <= static_cast<unsigned>(length);
}

// A request message without its nlmsghdr: room for the header, the fixed header struct, then
// each attribute, every part aligned as the kernel expects.
std::vector<uint8_t> RequestBody(
    const void* header, size_t headerSize,
    const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& attributes) {
  std::vector<uint8_t> request(NLMSG_SPACE(headerSize), 0);
  std::memcpy(request.data() + NLMSG_HDRLEN, header, headerSize);
  for (const auto& [attrType, payload] : attributes) {
    size_t offset = request.size();
    request.resize(offset + RTA_SPACE(payload.size()), 0);
    rtattr a{};
    a.rta_len = static_cast<unsigned short>(RTA_LENGTH(payload.size()));
    a.rta_type = attrType;
    std::memcpy(request.data() + offset, &a, sizeof a);
    std::memcpy(request.data() + offset + RTA_LENGTH(0), payload.data(), payload.size());
  }
  return request;
}

void StampHeader(std::vector<uint8_t>& request, uint16_t type, uint16_t flags, uint32_t sequence,
                 uint32_t portId) {
  nlmsghdr h{};
  h.nlmsg_len = static_cast<uint32_t>(request.size());
  h.nlmsg_type = type;
  h.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
  h.nlmsg_seq = sequence;
  h.nlmsg_pid = portId;
  std::memcpy(request.data(), &h, sizeof h);
}

// The kernel answers at once; on a busy machine this thread may run only after the deadline,
// and then a reply already queued still counts: the time-out is only for waiting. poll's
// result: 1 readable, 0 the deadline passed, -1 with errno.
int WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  pollfd p{fd, POLLIN, 0};
  return support::RetryOnEintr([&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    return poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
  });
}

// Hands out the messages of one datagram that answer the request with this sequence number.
// The request's result (0 or an errno value) once its reply is complete; nullopt while more
// datagrams are to come.
std::optional<int> TakeReplies(const uint8_t* data, int length, uint32_t sequence, uint32_t portId,
                               bool isDump, const std::function<void(const nlmsghdr*)>& onMessage,
                               bool& interrupted) {
  for (auto* m = reinterpret_cast<const nlmsghdr*>(data); MessageFits(m, length);
       m = NLMSG_NEXT(m, length)) {
    if (m->nlmsg_seq != sequence || m->nlmsg_pid != portId) continue;  // a stale answer
    if (m->nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
    if (m->nlmsg_type == NLMSG_DONE) return 0;
    if (m->nlmsg_type == NLMSG_ERROR) {
      if (m->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EPROTO;
      nlmsgerr error;
      std::memcpy(&error, NLMSG_DATA(m), sizeof error);
      return -error.error;  // 0 is the acknowledgement
    }
    onMessage(m);
    if (!isDump) return 0;
  }
  return std::nullopt;
}

}  // namespace

TRtAttributes::TRtAttributes(const rtattr* first, int length) {
  for (const rtattr* a = first; RTA_OK(a, length); a = RTA_NEXT(a, length)) {
    unsigned short type = a->rta_type & NLA_TYPE_MASK;
    if (type >= m_byType.size()) m_byType.resize(type + 1u, nullptr);
    m_byType[type] = a;
  }
}

const rtattr* TRtAttributes::Find(unsigned short type) const {
  return type < m_byType.size() ? m_byType[type] : nullptr;
}

std::optional<uint32_t> TRtAttributes::U32(unsigned short type) const {
  const rtattr* a = Find(type);
  if (!a || RTA_PAYLOAD(a) < sizeof(uint32_t)) return std::nullopt;
  uint32_t value;
  std::memcpy(&value, RTA_DATA(a), sizeof value);
  return value;
}

std::string TRtAttributes::Text(unsigned short type) const {
  const rtattr* a = Find(type);
  if (!a) return "";
  const char* data = static_cast<const char*>(RTA_DATA(a));
  return std::string(data, strnlen(data, RTA_PAYLOAD(a)));
}

std::vector<uint8_t> TRtAttributes::Bytes(unsigned short type) const {
  const rtattr* a = Find(type);
  if (!a) return {};
  const uint8_t* data = static_cast<const uint8_t*>(RTA_DATA(a));
  return std::vector<uint8_t>(data, data + RTA_PAYLOAD(a));
}

std::vector<uint8_t> U32Attribute(uint32_t value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

TNetlink::~TNetlink() = default;

int TNetlink::Open() {
  if (m_fd) return 0;
  support::TUniqueFd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!fd) return errno;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  socklen_t length = sizeof local;
  // Port id 0: the kernel picks a unique one, so many sockets can coexist in one process.
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return errno;
  }
  // Ask the kernel to check dump requests strictly, so filters in the request header are
  // honoured rather than ignored (older kernels just refuse the option, which is fine).
  int one = 1;
  setsockopt(fd.Get(), SOL_NETLINK, NETLINK_GET_STRICT_CHK, &one, sizeof one);
  m_fd = std::move(fd);
  m_portId = local.nl_pid;
  m_sequence = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return 0;
}

int TNetlink::Request(uint16_t type, uint16_t flags, const void* header, size_t headerSize,
                      const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& attributes,
                      const THandler& onMessage, int timeoutMs) {
  // An interrupted dump may have skipped or repeated entries; the handler must start over,
  // so the messages of an interrupted round are collected, not handed out.
  constexpr int kDumpRounds = 4;
  for (int round = 1;; ++round) {
    bool interrupted = false;
    std::vector<std::vector<uint8_t>> held;
    bool isDump = (flags & NLM_F_DUMP) == NLM_F_DUMP;
    THandler collect = [&](const nlmsghdr* m) {
      const uint8_t* p = reinterpret_cast<const uint8_t*>(m);
      held.emplace_back(p, p + m->nlmsg_len);
    };
    int error = RequestOnce(type, flags, header, headerSize, attributes,
                            isDump ? collect : onMessage, timeoutMs, interrupted);
    if (error != 0) return error;
    if (interrupted && round < kDumpRounds) continue;
    for (const auto& m : held) onMessage(reinterpret_cast<const nlmsghdr*>(m.data()));
    return 0;
  }
}

ssize_t TNetlink::ReceiveOne(std::vector<uint8_t>& buffer, sockaddr_nl& from) {
  // A datagram larger than the buffer would be cut (MSG_TRUNC) and its messages lost, and the
  // request would end as a time-out. Peeking with MSG_TRUNC gives the datagram's whole
  // length, as iproute2's rtnl_recvmsg does, and the buffer grows to it first.
  constexpr size_t kMaxDatagram = 16 << 20;
  const ssize_t whole = recv(m_fd.Get(), nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (whole < 0) return whole;
  if (static_cast<size_t>(whole) > buffer.size()) {
    if (static_cast<size_t>(whole) > kMaxDatagram) {
      errno = EMSGSIZE;
      return -1;
    }
    buffer.resize(static_cast<size_t>(whole));
  }
  socklen_t fromLength = sizeof from;
  return recvfrom(m_fd.Get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                  &fromLength);
}

int TNetlink::RequestOnce(uint16_t type, uint16_t flags, const void* header, size_t headerSize,
                          const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& attributes,
                          const THandler& onMessage, int timeoutMs, bool& interrupted) {
  if (!m_fd) return EBADF;
  std::vector<uint8_t> request = RequestBody(header, headerSize, attributes);
  const uint32_t sequence = ++m_sequence;
  StampHeader(request, type, flags, sequence, m_portId);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const ssize_t sent = support::RetryOnEintr([&] {
    return sendto(m_fd.Get(), request.data(), request.size(), 0,
                  reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
  });
  if (sent < 0) return errno;
  return ReadReplies(sequence, (flags & NLM_F_DUMP) == NLM_F_DUMP, onMessage, timeoutMs,
                     interrupted);
}

int TNetlink::ReadReplies(uint32_t sequence, bool isDump, const THandler& onMessage, int timeoutMs,
                          bool& interrupted) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // Large enough for a full dump datagram (the kernel fills up to 32 KiB at a time); a reply
  // that is larger still makes it grow (see ReceiveOne).
  std::vector<uint8_t> buffer(m_initialBuffer != 0 ? m_initialBuffer
                              : isDump             ? 64 * 1024
                                                   : 8 * 1024);
  for (;;) {
    const int ready = WaitReadable(m_fd.Get(), deadline);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    sockaddr_nl from{};
    ssize_t got = ReceiveOne(buffer, from);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) return errno;
    if (from.nl_pid != 0) continue;  // only the kernel answers our requests
    std::optional<int> result = TakeReplies(buffer.data(), static_cast<int>(got), sequence,
                                            m_portId, isDump, onMessage, interrupted);
    if (result) return *result;
  }
}

}  // namespace arpwire
