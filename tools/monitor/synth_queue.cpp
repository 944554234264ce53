// The reader-to-synthesizer queue.
#include "synth_queue.h"

#include <chrono>

void queue_put(SynthQueue& queue, StampedMessage&& item) {
  std::lock_guard<std::mutex> guard(queue.lock);
  if (queue.items.size() >= SYNTH_QUEUE_LIMIT) {
    ++queue.dropped;
    return;
  }
  queue.items.push_back(std::move(item));
  queue.ready.notify_one();
}

bool queue_take(SynthQueue& queue, std::vector<StampedMessage>& out, int timeout_ms) {
  out.clear();
  std::unique_lock<std::mutex> guard(queue.lock);
  auto ready = [&queue] { return !queue.items.empty() || queue.closed; };
  if (timeout_ms < 0) queue.ready.wait(guard, ready);
  else queue.ready.wait_for(guard, std::chrono::milliseconds(timeout_ms), ready);
  out.swap(queue.items);
  return !out.empty() || !queue.closed;
}

void queue_take_now(SynthQueue& queue, std::vector<StampedMessage>& out) {
  out.clear();
  std::lock_guard<std::mutex> guard(queue.lock);
  out.swap(queue.items);
}

void queue_close(SynthQueue& queue) {
  std::lock_guard<std::mutex> guard(queue.lock);
  queue.closed = true;
  queue.ready.notify_one();
}
