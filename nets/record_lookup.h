// The lookups of both ends of a run of flow records, batched so that the
// table's cache misses overlap instead of following one another: what
// nettally's accounting and netbill's billing both do per record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flowformat/flow_format.h"
#include "nets/host_table.h"

// Records per batch: the starts and slots of a batch stay in the cache.
constexpr size_t RECORD_BATCH = 512;

// Looks up the source and the destination of each of n (at most
// RECORD_BATCH) consecutive 57-byte records, in two passes: every lookup
// is started and the word where it finishes is fetched, then every lookup
// is finished. slots[i] gets the slots of record i's ends, source first (-1:
// absent). With FETCH_ENTRIES each found end's entry is fetched too, for a
// caller that changes it next. FIXED is host_table.fixed.
template <bool FIXED, bool FETCH_ENTRIES>
inline void host_lookup_records(const uint8_t* records, size_t n, int32_t (*slots)[2]) {
  static uint32_t starts[RECORD_BATCH][2];
  for (size_t i = 0; i < n; i++) {
    const uint8_t* p = records + i * FLOW_RECORD_SIZE;
    starts[i][0] = host_lookup_start(load_be32(p + REC_SRC_ADDR));
    starts[i][1] = host_lookup_start(load_be32(p + REC_DST_ADDR));
    __builtin_prefetch(host_lookup_word<FIXED>(starts[i][0]));
    __builtin_prefetch(host_lookup_word<FIXED>(starts[i][1]));
  }
  for (size_t i = 0; i < n; i++) {
    const uint8_t* p = records + i * FLOW_RECORD_SIZE;
    int32_t s = host_lookup_finish<FIXED>(load_be32(p + REC_SRC_ADDR), starts[i][0]);
    int32_t d = host_lookup_finish<FIXED>(load_be32(p + REC_DST_ADDR), starts[i][1]);
    slots[i][0] = s;
    slots[i][1] = d;
    if constexpr (FETCH_ENTRIES) {
      // For -1, slot 0's line: a select, not a branch.
      __builtin_prefetch(&host_table.entries[uint32_t(s) & ~all_ones(s < 0)], 1);
      __builtin_prefetch(&host_table.entries[uint32_t(d) & ~all_ones(d < 0)], 1);
    }
  }
}
