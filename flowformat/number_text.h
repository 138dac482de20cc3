// Decimal and dotted-quad text written by hand, for the hot paths of both
// programs (recdump's lines, nettally's report and "Strange..." notes),
// where printf would cost more than everything else. Each writes exactly
// what its printf conversion writes, at p, and returns the end of its text.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>

// "%lu" (or "%u") of a number: at most 20 characters.
inline char* put_decimal(char* p, uint64_t value) {
  return std::to_chars(p, p + 20, value).ptr;
}

// "%u" of every byte value and its length, so that an address is four
// copies: addresses are half the numbers of a recdump line.
struct ByteText {
  char text[4];  // up to 3 digits, then zeros; all 4 bytes are copied
  uint8_t length;
};
constexpr ByteText byte_text(unsigned v) {
  ByteText t = {};
  if (v >= 100) {
    t.text[0] = char('0' + v / 100);
    t.text[1] = char('0' + v / 10 % 10);
    t.text[2] = char('0' + v % 10);
    t.length = 3;
  } else if (v >= 10) {
    t.text[0] = char('0' + v / 10);
    t.text[1] = char('0' + v % 10);
    t.length = 2;
  } else {
    t.text[0] = char('0' + v);
    t.length = 1;
  }
  return t;
}
struct ByteTexts {
  ByteText of[256];
  constexpr ByteTexts() : of() {
    for (unsigned v = 0; v < 256; v++) of[v] = byte_text(v);
  }
};
inline constexpr ByteTexts BYTE_TEXTS;

// "%u.%u.%u.%u" of four bytes, the first one first: at most 15 characters.
// It may write up to 16 bytes: the caller leaves that much room at p.
inline char* put_dotted_quad(char* p, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  for (uint8_t v : bytes) {
    const ByteText& t = BYTE_TEXTS.of[v];
    memcpy(p, t.text, 4);
    p += t.length;
    *p++ = '.';
  }
  return p - 1;  // no point after the last number
}
