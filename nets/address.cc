#include "nets/address.h"

#include <cstdio>

const char* dotted_quad(uint32_t address) {
  static char text[16];  // exactly "255.255.255.255" and its NUL
  snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, address >> 16 & 0xFF,
           address >> 8 & 0xFF, address & 0xFF);
  return text;
}
