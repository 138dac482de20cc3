// IPv4 addresses inside nettally: host-order 32-bit numbers, the first
// number of the dotted quad in the most significant byte.
#pragma once

#include <cstdint>

// The dotted-quad text of a host-order address ("%u.%u.%u.%u"). Returns one
// shared 16-byte buffer that every call overwrites: use the text before the
// next call.
const char* dotted_quad(uint32_t address);

// The netmask of a prefix length 0..32: its top prefix_length bits set.
constexpr uint32_t prefix_mask(uint32_t prefix_length) {
  // A shift by 32 is undefined, so /0 is spelled out.
  return prefix_length == 0 ? 0 : ~uint32_t{0} << (32 - prefix_length);
}

// The first and last address of the block of `address`/`prefix_length`.
struct AddressBlock {
  uint64_t first;
  uint64_t last;  // 64-bit, so that a loop up to 255.255.255.255 ends
};
constexpr AddressBlock address_block(uint32_t address, uint32_t prefix_length) {
  uint32_t mask = prefix_mask(prefix_length);
  return {address & mask, (address & mask) | ~mask};
}
