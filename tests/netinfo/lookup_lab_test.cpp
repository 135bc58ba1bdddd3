// Host names as the lab's resolver gives them: the lookups need the lab (root).

#include "netinfo/ipaddress.h"

#include "lab/lab.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The lookups run inside the scanner namespace through `ip netns exec`, so that the lab's
// /etc/netns/<scanner>/hosts and resolv.conf apply and no query leaves the lab.
TEST(LookupHostName, FindsTheLabsNameAndFallsBackToTheAddress) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  lab.AddSegment("192.168.60.2/24");
  lab.AddHost({"192.168.60.10", "00:00:0c:60:00:10", "printer.qzlab.test", 0});
  lab.AddHost({"192.168.60.11", "00:00:0c:60:00:11", "", 0});
  lab.Up();
  std::string out;
  ASSERT_EQ(
      lab.RunInScanner(
          {QZ_NETINFO_HELPER, "lookup", "192.168.60.10", "192.168.60.11", "192.168.61.7"}, &out),
      0);
  EXPECT_EQ(out,
            "192.168.60.10 printer.qzlab.test\n"
            "192.168.60.11 192.168.60.11\n"
            "192.168.61.7 192.168.61.7\n");
}

}  // namespace
