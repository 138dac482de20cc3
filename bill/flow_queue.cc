#include "bill/flow_queue.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include "nets/output.h"

// Batches filled and added in turn: the reader fills batch handed %
// FLOW_SLOTS while the adder adds batch added % FLOW_SLOTS, so that at most
// FLOW_SLOTS − 1 batches wait.
static constexpr uint64_t FLOW_SLOTS = 4;

struct FlowQueue {
  BillFlow batches[FLOW_SLOTS][FLOW_BATCH];
  size_t counts[FLOW_SLOTS];
  FlowAdder add;
  bool on_thread;
  std::atomic<bool> stopped;
  // Under mutex: batches handed over and added so far, and the ends.
  uint64_t handed;
  uint64_t added;
  bool closed;
  bool finished;
  std::mutex mutex;
  std::condition_variable changed;
};

// Made once and never destroyed: exit() may come while the adder thread
// still waits on it.
static FlowQueue* queue;

static void add_batch(const BillFlow* flows, size_t count) {
  if (count > 0 && !queue->stopped.load(std::memory_order_relaxed) && !queue->add(flows, count))
    queue->stopped.store(true, std::memory_order_relaxed);
}

static void* adder_loop(void*) {
  FlowQueue& q = *queue;
  std::unique_lock<std::mutex> lock(q.mutex);
  for (;;) {
    while (q.added == q.handed && !q.closed) q.changed.wait(lock);
    if (q.added == q.handed) break;
    uint64_t slot = q.added % FLOW_SLOTS;
    lock.unlock();
    add_batch(q.batches[slot], q.counts[slot]);
    lock.lock();
    q.added++;
    q.changed.notify_all();
  }
  q.finished = true;
  q.changed.notify_all();
  return nullptr;
}

BillFlow* flow_queue_start(FlowAdder add, bool on_thread) {
  if (!queue) {
    queue = new (std::nothrow) FlowQueue();
    if (!queue) fail_perror("netbill: memory for the flows read");
  }
  FlowQueue& q = *queue;
  q.add = add;
  q.on_thread = on_thread;
  q.stopped = false;
  q.handed = q.added = 0;
  q.closed = q.finished = false;
  if (on_thread) {
    pthread_t adder;
    int error = pthread_create(&adder, nullptr, adder_loop, nullptr);
    if (error != 0) {
      errno = error;
      fail_perror("netbill: a thread to add the flows");
    }
    pthread_detach(adder);
  }
  return q.batches[0];
}

BillFlow* flow_queue_hand_over(size_t count) {
  FlowQueue& q = *queue;
  if (!q.on_thread) {
    add_batch(q.batches[0], count);
    return q.batches[0];
  }
  std::unique_lock<std::mutex> lock(q.mutex);
  q.counts[q.handed % FLOW_SLOTS] = count;
  q.handed++;
  q.changed.notify_all();
  while (q.handed - q.added >= FLOW_SLOTS) q.changed.wait(lock);
  return q.batches[q.handed % FLOW_SLOTS];
}

bool flow_queue_stopped() { return queue->stopped.load(std::memory_order_relaxed); }

void flow_queue_finish(size_t count) {
  FlowQueue& q = *queue;
  if (!q.on_thread) {
    add_batch(q.batches[0], count);
    return;
  }
  if (count > 0) flow_queue_hand_over(count);
  std::unique_lock<std::mutex> lock(q.mutex);
  q.closed = true;
  q.changed.notify_all();
  while (!q.finished) q.changed.wait(lock);
}
