#pragma once

// A small rtnetlink client: one socket, requests with sequence numbers, replies checked
// against them (and against our port id) as iproute2's libnetlink does. The socket lives in
// the network namespace of the thread that opened it.

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/posix.h"

namespace arpwire {

// Attributes of one rtnetlink message, by type (the last one of a type wins).
class TRtAttributes {
 public:
  TRtAttributes(const rtattr* first, int length);
  const rtattr* Find(unsigned short type) const;
  std::optional<uint32_t> U32(unsigned short type) const;
  std::string Text(unsigned short type) const;  // up to the first zero byte
  std::vector<uint8_t> Bytes(unsigned short type) const;

 private:
  std::vector<const rtattr*> m_byType;
};

class TNetlink {
 public:
  // initialBuffer: the receive buffer's starting size in bytes (0: one that fits the
  // kernel's usual replies); it grows to whatever a reply needs.
  explicit TNetlink(size_t initialBuffer = 0) : m_initialBuffer(initialBuffer) {}
  ~TNetlink();
  TNetlink(const TNetlink&) = delete;
  TNetlink& operator=(const TNetlink&) = delete;

  // 0 or an errno value.
  int Open();

  // Sends one request (a fixed header struct such as ifinfomsg plus optional attributes)
  // and hands every reply message to onMessage. A dump ends with NLMSG_DONE; a plain
  // request with its one answer or an error. Returns 0, or an errno value (from the kernel's
  // NLMSG_ERROR, or ETIMEDOUT, or EINTR-proof socket errors). A dump that the kernel marks
  // interrupted (the tables changed meanwhile) is repeated, at most a few times.
  using THandler = std::function<void(const nlmsghdr*)>;
  int Request(uint16_t type, uint16_t flags, const void* header, size_t headerSize,
              const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& attributes,
              const THandler& onMessage, int timeoutMs = 1000);

 private:
  int RequestOnce(uint16_t type, uint16_t flags, const void* header, size_t headerSize,
                  const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& attributes,
                  const THandler& onMessage, int timeoutMs, bool& interrupted);
  // Reads datagrams until the reply to the request with this sequence number is complete, an
  // error arrives or timeoutMs pass; the result as Request's.
  int ReadReplies(uint32_t sequence, bool isDump, const THandler& onMessage, int timeoutMs,
                  bool& interrupted);
  // One datagram from the socket into buffer, grown first when the datagram is larger.
  ssize_t ReceiveOne(std::vector<uint8_t>& buffer, sockaddr_nl& from);

  size_t m_initialBuffer = 0;
  support::TUniqueFd m_fd;
  uint32_t m_portId = 0;
  uint32_t m_sequence = 0;
};

std::vector<uint8_t> U32Attribute(uint32_t value);

}  // namespace arpwire
