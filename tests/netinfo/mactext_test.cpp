#include "netinfo/adapters.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(MacToText, UpperCaseHexPairsJoinedByDashes) {
  const uint8_t bytes[8] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0xf0, 0x0f};
  EXPECT_EQ(netinfo::MacToText(bytes, 6), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(netinfo::MacToText(bytes, 8), "00-1A-2B-3C-4D-5E-F0-0F");
  EXPECT_EQ(netinfo::MacToText(bytes, 1), "00");
  EXPECT_EQ(netinfo::MacToText(bytes, 0), "00-00-00-00-00-00");
}

}  // namespace
