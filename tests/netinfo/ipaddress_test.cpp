#include "netinfo/ipaddress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using netinfo::ERangeError;
using netinfo::ParseDotted;

// The octets of ParseDotted's result, first octet first.
std::vector<int> Octets(std::string_view text) {
  uint32_t value = ParseDotted(text);
  return {static_cast<int>(value & 0xFF), static_cast<int>(value >> 8 & 0xFF),
          static_cast<int>(value >> 16 & 0xFF), static_cast<int>(value >> 24)};
}

using V = std::vector<int>;

TEST(ParseDotted, PlainAndShortTexts) {
  EXPECT_EQ(Octets("192.168.1.20"), (V{192, 168, 1, 20}));
  EXPECT_EQ(ParseDotted(""), 0u);
  EXPECT_EQ(Octets("10.1"), (V{10, 1, 0, 0}));
  EXPECT_EQ(Octets("192.168.1.x"), (V{192, 168, 1, 0}));
  EXPECT_EQ(Octets("..."), (V{0, 0, 0, 0}));
}

TEST(ParseDotted, ConvertsEachPartLikeASigned32BitNumber) {
  EXPECT_EQ(Octets(" 1. 2.  3. 4"), (V{1, 2, 3, 4})) << "leading blanks are skipped";
  EXPECT_EQ(Octets("1 .2.3 .4"), (V{0, 2, 0, 4})) << "a trailing blank spoils the part";
  EXPECT_EQ(Octets("0x10.0.0.1"), (V{16, 0, 0, 1}));
  EXPECT_EQ(Octets("$ff.x1F.X0a.0XA"), (V{255, 31, 10, 10}));
  EXPECT_EQ(Octets("010.0.0.1"), (V{10, 0, 0, 1})) << "leading zeros stay decimal";
  EXPECT_EQ(Octets("+7.-0.0x.$"), (V{7, 0, 0, 0}));
  EXPECT_EQ(Octets("99999999999.1.1.1"), (V{0, 1, 1, 1})) << "eleven nines don't fit";
  EXPECT_EQ(Octets("2147483648.1.1.1"), (V{0, 1, 1, 1}));
  EXPECT_EQ(Octets("$100000000.0x000000000ff.1.1"), (V{0, 255, 1, 1}))
      << "nine significant hex digits don't fit; leading zeros are not significant";
  EXPECT_EQ(Octets("-$FFFFFFFF.1.1.1"), (V{1, 1, 1, 1})) << "-(-1) in 32 bits";
  EXPECT_EQ(Octets("1e2.0b1.1,2.1"), (V{0, 0, 0, 1}));
}

TEST(ParseDotted, RangeErrors) {
  EXPECT_THROW(ParseDotted("256.1.1.1"), ERangeError);
  EXPECT_THROW(ParseDotted("-1.0.0.0"), ERangeError);
  EXPECT_THROW(ParseDotted("1.1.1.2147483647"), ERangeError);
  EXPECT_THROW(ParseDotted("$80000000.0.0.0"), ERangeError) << "a negative pattern";
  EXPECT_THROW(ParseDotted("-2147483648.0.0.0"), ERangeError);
  EXPECT_EQ(Octets("1.2.3.4."), (V{1, 2, 3, 4})) << "a fourth dot with nothing after it";
  EXPECT_THROW(ParseDotted("1.2.3.4.5"), ERangeError);
  EXPECT_THROW(ParseDotted("1.2.3.4.."), ERangeError);
  EXPECT_THROW(
      {
        try {
          ParseDotted("300.0.0.0");
        } catch (const ERangeError& e) {
          EXPECT_STREQ(e.what(), "Range check error");
          throw;
        }
      },
      ERangeError);
}

TEST(AddressForms, CountingThroughTheHostOrderNumber) {
  EXPECT_EQ(netinfo::FormatDotted(0), "0.0.0.0");
  EXPECT_EQ(netinfo::FormatDotted(ParseDotted("192.168.1.20")), "192.168.1.20");
  uint32_t base = netinfo::BytesToHostOrder(ParseDotted("192.168.1.255"));
  EXPECT_EQ(base, 0xC0A801FFu);
  EXPECT_EQ(netinfo::FormatDotted(netinfo::SwapOctets(base + 1)), "192.168.2.0");
  EXPECT_EQ(netinfo::SwapOctets(0x01020304u), 0x04030201u);
}

TEST(FirstHostAddress, AppliesTheMaskToTheFourthOctetOnly) {
  using netinfo::FirstHostAddress;
  EXPECT_EQ(FirstHostAddress("192.168.1.57", "255.255.255.0"), "192.168.1.1");
  EXPECT_EQ(FirstHostAddress("10.0.0.200", "255.255.255.128"), "10.0.0.129");
  EXPECT_EQ(FirstHostAddress("10.1.2.3", "255.255.0.0"), "10.1.2.1");
  EXPECT_EQ(FirstHostAddress("10.0.0.255", "255.255.255.0"), "10.0.0.1");
  EXPECT_EQ(FirstHostAddress("10.0.0.5", "255.255.255.255"), "10.0.0.6");
  EXPECT_EQ(FirstHostAddress("10.0.0.5", "0.0.0.0"), "10.0.0.1");
  EXPECT_THROW(FirstHostAddress("10.0.0.255", "255.255.255.255"), ERangeError);
  EXPECT_THROW(FirstHostAddress("10.0.0.256", "255.255.255.0"), ERangeError);
  EXPECT_THROW(FirstHostAddress("10.0.0.1", "255.255.255.0.1"), ERangeError);
}

TEST(LookupHostName, TextThatIsNoAddressComesBackUnchanged) {
  EXPECT_EQ(netinfo::LookupHostName("no address"), "no address");
  EXPECT_EQ(netinfo::LookupHostName(""), "");
}

}  // namespace
