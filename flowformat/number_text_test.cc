// The hand formatters against snprintf with the literal formats they stand
// for: edge values, every byte value in every place, and many random ones.
#include "flowformat/number_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

std::string decimal(uint64_t v) {
  char text[32];
  return std::string(text, size_t(put_decimal(text, v) - text));
}

std::string dotted(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  char text[32];
  return std::string(text, size_t(put_dotted_quad(text, a, b, c, d) - text));
}

TEST(NumberText, DecimalIsPercentLu) {
  std::mt19937_64 rng(7);
  std::vector<uint64_t> values = {0, 1, 9, 10, 99, 100, 4095, 4096, 4097, UINT32_MAX,
                                  uint64_t{UINT32_MAX} + 1, UINT64_MAX - 1, UINT64_MAX};
  for (int i = 0; i < 100000; i++) values.push_back(rng() >> (rng() % 64));
  for (uint64_t v : values) {
    char want[32];
    snprintf(want, sizeof want, "%lu", v);
    EXPECT_EQ(decimal(v), want);
  }
}

TEST(NumberText, DottedQuadIsFourPercentU) {
  std::mt19937 rng(11);
  char want[32];
  for (unsigned v = 0; v < 256; v++) {
    uint8_t x = uint8_t(v), y = uint8_t(rng());
    const uint8_t quads[4][4] = {{x, y, y, y}, {y, x, y, y}, {y, y, x, y}, {y, y, y, x}};
    for (const auto& q : quads) {
      snprintf(want, sizeof want, "%u.%u.%u.%u", q[0], q[1], q[2], q[3]);
      EXPECT_EQ(dotted(q[0], q[1], q[2], q[3]), want);
    }
  }
  EXPECT_EQ(dotted(255, 255, 255, 255), "255.255.255.255");
  EXPECT_EQ(dotted(0, 0, 0, 0), "0.0.0.0");
}

}  // namespace
