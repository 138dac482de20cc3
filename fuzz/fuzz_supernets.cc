// Fuzz target: the supernets file. The input is our.nets; custs holds a few
// fixed customers (one of them all of 0.0.0.0/0), so that a run that gets
// through the supernets also claims blocks over what it read. After a run
// that got through, the sealed table must answer every lookup as a plain
// set of the entries' addresses does: every address of every entry, the
// addresses just outside each, 0.0.0.0 and 255.255.255.255. Inputs whose
// total would make a table of more than a /12 (1,048,576 addresses) are
// not run, so that no run fills gigabytes; a total that no table can hold
// is run, since it ends before any memory is taken.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "nets/address.h"
#include "nets/host_table.h"
#include "nets/networks.h"

static constexpr char CUSTS[] =
    "192.0.2.0/26 acme\n"
    "255.255.255.255 top\n"
    "10.0.0.0/8 wide\n"
    "0.0.0.0/0 everything\n";

static constexpr uint64_t FUZZ_ADDRESSES_MAX = uint64_t{1} << 20;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_setup();
  fuzz_write_file("custs", reinterpret_cast<const uint8_t*>(CUSTS), sizeof CUSTS - 1);
  return 0;
}

// The blocks of the entries that load_networks places (those before the
// first that cannot be read), read with the same reader.
static std::vector<AddressBlock> placed_blocks(const uint8_t* data, size_t size, uint64_t* total) {
  std::vector<AddressBlock> blocks;
  *total = 0;
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!f) abort();
  int line = 1;
  SupernetEntry e;
  while (read_supernet_entry(f, &line, &e) == SUPERNET_ENTRY) {
    const uint32_t* n = e.number;
    AddressBlock b = address_block(n[0] * 16777216u + n[1] * 65536u + n[2] * 256u + n[3], n[4]);
    blocks.push_back(b);
    uint64_t held = b.last - std::max<uint64_t>(b.first, 1) + 1;
    *total = *total > UINT64_MAX - held ? UINT64_MAX : *total + held;
  }
  fclose(f);
  return blocks;
}

static void check_lookups(const std::vector<AddressBlock>& blocks) {
  std::vector<uint32_t> held;
  for (const AddressBlock& b : blocks)
    for (uint64_t x = std::max<uint64_t>(b.first, 1); x <= b.last; x++) held.push_back(uint32_t(x));
  std::sort(held.begin(), held.end());
  held.erase(std::unique(held.begin(), held.end()), held.end());
  auto expect = [&](uint64_t x) {
    uint32_t a = uint32_t(x);
    bool in = std::binary_search(held.begin(), held.end(), a);
    int32_t i = host_lookup(a);
    if ((i >= 0) != in) abort();
    if (i >= 0 && (host_table.addresses[i] != a || host_owner(uint32_t(i)) == nullptr)) abort();
  };
  for (uint32_t a : held) expect(a);
  for (const AddressBlock& b : blocks) {
    expect(b.first - 1);
    expect(b.last + 1);
  }
  expect(0);
  expect(0xFFFFFFFF);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t total;
  std::vector<AddressBlock> blocks = placed_blocks(data, size, &total);
  if (total > FUZZ_ADDRESSES_MAX && total <= HOST_TABLE_ADDRESSES_MAX) return -1;  // not run
  fuzz_write_file("our.nets", data, size);
  networks_restart();
  int status = run_program(load_networks);
  // load_networks returns, or ends the run with status 1: nothing else.
  if (status != -1 && status != 1) abort();
  if (status == -1) check_lookups(blocks);
  release_records();
  return 0;
}
