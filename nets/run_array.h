// Arrays that grow while the definitions are read and then live for the
// whole run (the owners, the held ranges, the entries of our.nets): never
// on a path that runs per record.
#pragma once

#include <cstdlib>

#include "nets/output.h"

// Grows *array to hold at least `needed` elements, doubling its capacity.
// Exits 1 with a perror report under failure_label when the memory cannot
// be had.
template <typename T, typename N>
void grow_run_array(T** array, N* capacity, N needed, const char* failure_label) {
  if (needed <= *capacity) return;
  N n = *capacity < 64 ? 64 : *capacity;
  while (n < needed) n *= 2;
  void* p = realloc(*array, n * sizeof(T));
  if (!p) fail_perror(failure_label);
  *array = static_cast<T*>(p);
  *capacity = n;
}
