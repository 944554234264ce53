// The reader-to-synthesizer queue.
#include "monitor/sound/synth_queue.h"

#include <chrono>

namespace {

// Past this many, even what ends a sound is dropped: a synthesizer this far
// behind a flood of them would hold the memory of the run.
constexpr size_t HARD_LIMIT = 4 * SYNTH_QUEUE_LIMIT;

constexpr int SUSTAIN = 64;
constexpr int SOSTENUTO = 66;
constexpr int FIRST_MODE_CONTROLLER = 120;

// Whether the item starts a note: a note-on of velocity above 0.
bool is_note_on(const StampedMessage& item) {
  const std::vector<uint8_t>& bytes = item.message.bytes;
  return item.action == PLAY_MESSAGE && bytes.size() == 3 && (bytes[0] & 0xF0) == 0x90 && bytes[2] != 0;
}

// Whether the item ends a sound or sets a module back: a note-off (or a
// note-on of velocity 0), a channel-mode message, a pedal let go, a system
// exclusive message (the resets among them), or a writer gone.
bool ends_a_sound(const StampedMessage& item) {
  if (item.action == SILENCE_PORT) return true;
  const std::vector<uint8_t>& bytes = item.message.bytes;
  if (bytes.empty()) return false;
  int kind = bytes[0] & 0xF0;
  if (bytes[0] == 0xF0) return true;
  if (bytes.size() != 3) return false;
  if (kind == 0x80 || (kind == 0x90 && bytes[2] == 0)) return true;
  if (kind != 0xB0) return false;
  if (bytes[1] >= FIRST_MODE_CONTROLLER) return true;
  return (bytes[1] == SUSTAIN || bytes[1] == SOSTENUTO) && bytes[2] < 64;
}

// Drops the newest note-on waiting, to make room. False when none waits.
bool drop_newest_note_on(SynthQueue& queue) {
  if (queue.note_ons == 0) return false;
  for (size_t i = queue.items.size(); i-- > 0;) {
    if (!is_note_on(queue.items[i])) continue;
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
  bool note_on = is_note_on(item);
  if (queue.items.size() >= SYNTH_QUEUE_LIMIT) {
    // Note-ons go first, the newest first: the one that comes, or one that
    // waits to make room for anything else.
    bool room = !note_on && (drop_newest_note_on(queue) || (ends_a_sound(item) && queue.items.size() < HARD_LIMIT));
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
