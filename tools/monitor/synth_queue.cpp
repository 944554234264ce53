// The reader-to-synthesizer queue.
#include "synth_queue.h"

void queue_put(SynthQueue& queue, StampedMessage&& item) {
  std::lock_guard<std::mutex> guard(queue.lock);
  if (queue.items.size() >= SYNTH_QUEUE_LIMIT) {
    ++queue.dropped;
    return;
  }
  queue.items.push_back(std::move(item));
  queue.ready.notify_one();
}

bool queue_take(SynthQueue& queue, std::vector<StampedMessage>& out) {
  out.clear();
  std::unique_lock<std::mutex> guard(queue.lock);
  queue.ready.wait(guard, [&queue] { return !queue.items.empty() || queue.closed; });
  out.swap(queue.items);
  return !out.empty();
}

void queue_close(SynthQueue& queue) {
  std::lock_guard<std::mutex> guard(queue.lock);
  queue.closed = true;
  queue.ready.notify_one();
}
