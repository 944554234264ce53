// The reader-to-synthesizer queue.
#include "monitor/sound/synth_queue.h"

#include <chrono>

#include "monitor/constants.h"

namespace {

// Past this many, even what ends a sound is dropped: a synthesizer this far
// behind a flood of them would hold the memory of the run.
constexpr size_t HARD_LIMIT = 4 * SYNTH_QUEUE_LIMIT;

// Whether the item starts a note.
bool starts_a_note(const StampedMessage& item) {
  const std::vector<uint8_t>& bytes = item.message.bytes;
  return item.action == PLAY_MESSAGE && is_note_on(bytes.data(), bytes.size());
}

// Whether the item ends a sound or sets a module back, a writer gone included.
bool ends_sound(const StampedMessage& item) {
  return item.action == SILENCE_PORT || ends_a_sound(item.message.bytes.data(), item.message.bytes.size());
}

// Drops the newest note-on waiting, to make room. False when none waits.
bool drop_newest_note_on(SynthQueue& queue) {
  if (queue.note_ons == 0) return false;
  for (size_t i = queue.items.size(); i-- > 0;) {
    if (!starts_a_note(queue.items[i])) continue;
    queue.items.erase(queue.items.begin() + static_cast<std::ptrdiff_t>(i));
    --queue.note_ons;
    ++queue.dropped;
    return true;
  }
  return false;
}

}  // namespace

void queue_put(SynthQueue& queue, StampedMessage&& item) {
  std::lock_guard<std::mutex> guard(queue.lock);
  bool note_on = starts_a_note(item);
  if (queue.items.size() >= SYNTH_QUEUE_LIMIT) {
    // Note-ons go first, the newest first: the one that comes, or one that
    // waits to make room for anything else.
    bool room = !note_on && (drop_newest_note_on(queue) || (ends_sound(item) && queue.items.size() < HARD_LIMIT));
    if (!room) {
      ++queue.dropped;
      return;
    }
  }
  if (note_on) ++queue.note_ons;
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
  queue.note_ons = 0;
  return !out.empty() || !queue.closed;
}

void queue_take_now(SynthQueue& queue, std::vector<StampedMessage>& out) {
  out.clear();
  std::lock_guard<std::mutex> guard(queue.lock);
  out.swap(queue.items);
  queue.note_ons = 0;
}

void queue_close(SynthQueue& queue) {
  std::lock_guard<std::mutex> guard(queue.lock);
  queue.closed = true;
  queue.ready.notify_one();
}
