// Song loading, event walk.
#include "song/event_walk.h"

#include <cstddef>

#include "song/chunk.h"

namespace {

// Bytes left between p and end, for comparison with counts from the file.
size_t left(const uint8_t* p, const uint8_t* end) { return static_cast<size_t>(end - p); }

// A channel message: two data bytes, or one for 0xC0-0xDF; a data byte with
// its top bit set is taken as data all the same.
WalkResult walk_channel(const uint8_t* b, const uint8_t* end, uint8_t running_status,
                        WalkedEvent* event) {
  bool own = *b >= 0x80;
  const uint8_t* data = own ? b + 1 : b;
  uint8_t status = own ? *b : running_status;
  uint32_t data_count = (status & 0xE0) == 0xC0 ? 1 : 2;
  if (left(data, end) < data_count) return WALK_CUT;
  event->kind = EVENT_CHANNEL;
  event->status = status;
  event->running = own ? 0 : running_status;
  event->data1 = data[0];
  event->data2 = data_count == 2 ? data[1] : 0;
  event->length = 1 + data_count;
  event->next = data + data_count;
  return WALK_EVENT;
}

// A length quantity at q and the bytes it counts, both inside the chunk.
WalkResult walk_counted(const uint8_t* q, const uint8_t* end, uint32_t* count,
                        const uint8_t** counted) {
  int m = read_vlq(count, q, end);
  if (m == 0 || left(q + m, end) < *count) return WALK_CUT;
  *counted = q + m;
  return WALK_EVENT;
}

// System exclusive (F0), escape (F7) or meta (FF) event starting at b.
WalkResult walk_system(const uint8_t* b, const uint8_t* end, WalkedEvent* event) {
  const uint8_t* q = b + 1;
  if (*b == 0xFF) {
    if (q == end) return WALK_CUT;
    event->data1 = *q++;
  }
  const uint8_t* counted = nullptr;
  if (walk_counted(q, end, &event->body_length, &counted) != WALK_EVENT) return WALK_CUT;
  event->status = *b;
  event->next = counted + event->body_length;
  if (*b == 0xF0) {
    event->kind = EVENT_SYSEX;
    event->bytes = counted;
    event->length = event->body_length + 1;
  } else if (*b == 0xF7) {
    event->kind = EVENT_ESCAPE;
    event->bytes = counted;
    event->length = event->body_length;
  } else {
    event->kind = EVENT_META;
    event->bytes = b;
    event->length = static_cast<uint32_t>(event->next - b);
  }
  return WALK_EVENT;
}

}  // namespace

WalkResult walk_event(const uint8_t* p, const uint8_t* end, uint8_t running_status,
                      WalkedEvent* event) {
  if (p >= end) return WALK_END;
  *event = WalkedEvent{};
  int n = read_vlq(&event->delta, p, end);
  if (n == 0) return WALK_CUT;
  if (n > 4) return WALK_LONG_DELTA;
  const uint8_t* b = p + n;
  if (b == end) return WALK_CUT;
  if (*b == 0xF0 || *b == 0xF7 || *b == 0xFF) return walk_system(b, end, event);
  bool own_channel = *b >= 0x80 && *b < 0xF0;
  bool running_channel = *b < 0x80 && running_status != 0;
  if (own_channel || running_channel) return walk_channel(b, end, running_status, event);
  // A delta-only event: the byte at b starts the next delta time.
  event->kind = EVENT_DELTA_ONLY;
  event->next = b;
  return WALK_EVENT;
}
