// Fuzz target: the supernets file. The input is our.nets; custs holds a few
// fixed customers (one of them all of 0.0.0.0/0), so that a run that gets
// through the supernets also claims blocks over what it read. Tables are
// made for at most FUZZ_ADDRESSES_MAX addresses, a /12: a larger total
// takes the path of a total too large, so that no run fills gigabytes,
// while totals just beyond the fixed table still get a table of their own.

#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "tally/networks.h"

static constexpr char CUSTS[] =
    "192.0.2.0/26 acme\n"
    "255.255.255.255 top\n"
    "10.0.0.0/8 wide\n"
    "0.0.0.0/0 everything\n";

static constexpr uint64_t FUZZ_ADDRESSES_MAX = uint64_t{1} << 20;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  supernet_addresses_max = FUZZ_ADDRESSES_MAX;
  fuzz_setup();
  fuzz_write_file("custs", reinterpret_cast<const uint8_t*>(CUSTS), sizeof CUSTS - 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_write_file("our.nets", data, size);
  networks_restart();
  int status = run_program(load_networks);
  // load_networks returns, or ends the run with status 1: nothing else.
  if (status != -1 && status != 1) abort();
  release_records();
  return 0;
}
