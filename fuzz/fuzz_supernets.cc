// Fuzz target: the supernets file. The input is our.nets; custs holds a few
// fixed customers (one of them all of 0.0.0.0/0), so that a run that gets
// through the supernets also claims blocks over what it read.

#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "tally/networks.h"

static constexpr char CUSTS[] =
    "192.0.2.0/26 acme\n"
    "255.255.255.255 top\n"
    "10.0.0.0/8 wide\n"
    "0.0.0.0/0 everything\n";

extern "C" int LLVMFuzzerInitialize(int*, char***) {
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
