#include "arpwire/netlink.h"

#include <linux/if.h>

#include <gtest/gtest.h>

namespace arpwire {
namespace {

// A reply larger than the receive buffer is taken whole (the buffer grows), not cut and then
// waited for until the time-out. Asked of loopback, which every network namespace has.
TEST(Netlink, RepliesLargerThanTheBufferArriveWhole) {
  for (const uint16_t flags : {uint16_t{0}, uint16_t{NLM_F_DUMP}}) {
    TNetlink netlink(64);
    ASSERT_EQ(netlink.Open(), 0);
    ifinfomsg request{};
    request.ifi_family = AF_UNSPEC;
    request.ifi_index = flags == 0 ? 1 : 0;  // loopback is interface 1
    std::vector<std::string> names;
    const int error =
        netlink.Request(RTM_GETLINK, flags, &request, sizeof request, {}, [&](const nlmsghdr* m) {
          ASSERT_GT(m->nlmsg_len, 64u);
          const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(m));
          TRtAttributes attributes(IFLA_RTA(info), IFLA_PAYLOAD(m));
          names.push_back(attributes.Text(IFLA_IFNAME));
        });
    EXPECT_EQ(error, 0) << (flags == 0 ? "plain request" : "dump");
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "lo");
  }
}

}  // namespace
}  // namespace arpwire
