#include "nets/address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DottedQuad, MostSignificantByteFirst) {
  EXPECT_STREQ(dotted_quad(0), "0.0.0.0");
  EXPECT_STREQ(dotted_quad(167772161), "10.0.0.1");
  EXPECT_STREQ(dotted_quad(3232235786u), "192.168.1.10");
  EXPECT_STREQ(dotted_quad(0xFFFFFFFFu), "255.255.255.255");  // fills the buffer exactly
}

TEST(DottedQuad, SharedBufferIsOverwritten) {
  const char* a = dotted_quad(1);
  std::string first = a;
  const char* b = dotted_quad(2);
  EXPECT_EQ(a, b);
  EXPECT_EQ(first, "0.0.0.1");
  EXPECT_STREQ(b, "0.0.0.2");
}

TEST(AddressBlock, PrefixLengths) {
  struct {
    uint32_t address, prefix;
    uint64_t first, last;
  } cases[] = {
      {0x0A010203, 16, 0x0A010000, 0x0A01FFFF},  // 10.1.2.3/16: the address need not be first
      {0x0A010203, 32, 0x0A010203, 0x0A010203},
      {0x0A010203, 0, 0, 0xFFFFFFFF},  // the whole space, no undefined shift
      {0xFFFFFFFF, 24, 0xFFFFFF00, 0xFFFFFFFF},
      {0x80000000, 1, 0x80000000, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    AddressBlock b = address_block(c.address, c.prefix);
    EXPECT_EQ(b.first, c.first) << c.prefix;
    EXPECT_EQ(b.last, c.last) << c.prefix;
  }
  EXPECT_EQ(prefix_mask(0), 0u);
  EXPECT_EQ(prefix_mask(13), 0xFFF80000u);
  EXPECT_EQ(prefix_mask(32), 0xFFFFFFFFu);
}

}  // namespace
