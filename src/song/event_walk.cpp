// Song loading, event walk.
#include "song/event_walk.h"

#include "song/cursor.h"

namespace {

// A delta time is at most four bytes long, so it is wrong as soon as the
// chunk holds four bytes that all have the top bit set, wherever its end
// would lie; fewer than four left, all with the top bit set, run past the
// chunk.
WalkResult take_delta_time(BoundedCursor* c, uint32_t* delta) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t b = 0;
    if (!take_u8(c, &b)) return WALK_CUT;
    value = value << 7 | (b & 0x7F);
    if (b < 0x80) {
      *delta = value;
      return WALK_EVENT;
    }
  }
  return WALK_LONG_DELTA;
}

// A channel message whose first byte is first, with a status byte of its own
// or the running one: two data bytes, or one for 0xC0-0xDF; a data byte with
// its top bit set is taken as data all the same.
WalkResult walk_channel(BoundedCursor* c, uint8_t first, uint8_t running_status, WalkedEvent* event) {
  bool own = first >= 0x80;
  uint8_t status = running_status;
  if (own) take_u8(c, &status);
  uint32_t data_count = (status & 0xE0) == 0xC0 ? 1 : 2;
  const uint8_t* data = nullptr;
  if (!take_span(c, data_count, &data)) return WALK_CUT;
  event->kind = EVENT_CHANNEL;
  event->status = status;
  event->running = own ? 0 : running_status;
  event->data1 = data[0];
  event->data2 = data_count == 2 ? data[1] : 0;
  event->length = 1 + data_count;
  event->next = c->pos;
  return WALK_EVENT;
}

// System exclusive (F0), escape (F7) or meta (FF, type) event: a length
// quantity and the bytes it counts, all inside the chunk.
WalkResult walk_system(BoundedCursor* c, WalkedEvent* event) {
  const uint8_t* start = c->pos;
  take_u8(c, &event->status);
  if (event->status == 0xFF && !take_u8(c, &event->data1)) return WALK_CUT;
  const uint8_t* counted = nullptr;
  if (!take_vlq(c, &event->body_length) || !take_span(c, event->body_length, &counted)) return WALK_CUT;
  event->next = c->pos;
  if (event->status == 0xF0) {
    event->kind = EVENT_SYSEX;
    event->bytes = counted;
    event->length = event->body_length + 1;
  } else if (event->status == 0xF7) {
    event->kind = EVENT_ESCAPE;
    event->bytes = counted;
    event->length = event->body_length;
  } else {
    event->kind = EVENT_META;
    event->bytes = start;
    event->length = static_cast<uint32_t>(event->next - start);
  }
  return WALK_EVENT;
}

}  // namespace

WalkResult walk_any_event(const uint8_t* p, const uint8_t* end, uint8_t running_status, WalkedEvent* event) {
  BoundedCursor c{p, end};
  if (bytes_left(c) == 0) return WALK_END;
  *event = WalkedEvent{};
  WalkResult delta = take_delta_time(&c, &event->delta);
  if (delta != WALK_EVENT) return delta;
  uint8_t b = 0;
  if (!peek_u8(c, &b)) return WALK_CUT;
  if (b == 0xF0 || b == 0xF7 || b == 0xFF) return walk_system(&c, event);
  bool own_channel = b >= 0x80 && b < 0xF0;
  bool running_channel = b < 0x80 && running_status != 0;
  if (own_channel || running_channel) return walk_channel(&c, b, running_status, event);
  // A delta-only event: b starts the next delta time.
  event->kind = EVENT_DELTA_ONLY;
  event->next = c.pos;
  return WALK_EVENT;
}
