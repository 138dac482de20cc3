// Fuzz target: the customer file. The input is custs, read by next_customer
// and claimed by load_networks over a fixed our.nets whose supernets touch
// both ends of the address space (address 0 holds no slot, and a block
// ends at 255.255.255.255). After a run that got through, every address of
// those supernets must still be found in the table with a named owner, and
// the records that the run kept must be exactly the owners of those slots
// and the DEFAULT record, the first in the owner list, which stays there
// even when customers took every address: any other kept record that no
// slot points at is a leak.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>

#include "fuzz/fuzz_support.h"
#include "nets/address.h"
#include "nets/host_table.h"
#include "nets/networks.h"

static constexpr char OUR_NETS[] =
    "192.0.2.0/24\n"
    "198.51.100.0/26\n"
    "203.0.113.77/32\n"
    "0.0.0.0/30\n"
    "255.255.255.248/29\n"
    "10.1.0.0/20\n";

struct Block {
  uint32_t address, prefix_length;
};
static constexpr Block SUPERNETS[] = {
    {0xC0000200, 24}, {0xC6336400, 26}, {0xCB00714D, 32},
    {0x00000000, 30}, {0xFFFFFFF8, 29}, {0x0A010000, 20},
};

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_setup();
  fuzz_write_file("our.nets", reinterpret_cast<const uint8_t*>(OUR_NETS), sizeof OUR_NETS - 1);
  return 0;
}

static void check_table() {
  std::set<const CustomerRecord*> owners;
  for (const Block& b : SUPERNETS) {
    AddressBlock block = address_block(b.address, b.prefix_length);
    for (uint64_t x = block.first; x <= block.last; x++) {
      int32_t i = host_lookup(uint32_t(x));
      if (x == 0) {
        if (i >= 0) abort();
        continue;
      }
      if (i < 0) abort();
      const CustomerRecord* owner = host_owner(uint32_t(i));
      if (!owner || memchr(owner->name, '\0', sizeof owner->name) == nullptr) abort();
      if (!is_held_record(owner)) abort();
      owners.insert(owner);
    }
  }
  const CustomerRecord* default_record = host_owner_at(1);
  if (!default_record || strcmp(default_record->name, "DEFAULT") != 0 || !is_held_record(default_record))
    abort();
  owners.insert(default_record);
  if (owners.size() != held_records()) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_write_file("custs", data, size);
  networks_restart();
  int status = run_program(load_networks);
  if (status != -1 && status != 1) abort();
  if (status == -1) check_table();
  release_records();
  return 0;
}
