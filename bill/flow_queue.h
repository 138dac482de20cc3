// The hand-over of crossing flows, looked up and ready to add, from the
// reading of the files to their adding into the bill's sums: on a second
// thread when there is one, so that the reading and lookups of one batch
// run beside the spreading of the one before; else the adder is called in
// place. Batches go over in order and are added in order, so the sums are
// the same either way.
#pragma once

#include <cstddef>
#include <cstdint>

// One crossing flow: the bill's row of its own end, its start and end
// (epoch seconds) and the bytes its own end received and sent.
struct BillFlow {
  uint64_t start;
  uint64_t end;
  uint64_t in;
  uint64_t out;
  uint32_t row;
};

constexpr size_t FLOW_BATCH = 4096;

// Adds a batch of flows; false when the bill cannot go on (the adder has
// recorded why): the flows after it are not added.
using FlowAdder = bool (*)(const BillFlow* flows, size_t count);

// Starts a hand-over to `add`, on a thread of its own when on_thread is
// true. Returns the first batch to fill, of FLOW_BATCH flows. Exits 1
// with a message when the thread cannot be made.
BillFlow* flow_queue_start(FlowAdder add, bool on_thread);

// Hands over the batch being filled, `count` flows of it, and returns the
// next one to fill; waits while every batch is still being added.
BillFlow* flow_queue_hand_over(size_t count);

// Whether an adder has said the bill cannot go on.
bool flow_queue_stopped();

// Hands over the last `count` flows and waits until every batch has been
// added (or passed over after a stop).
void flow_queue_finish(size_t count);
