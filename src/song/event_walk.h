// Song loading, event walk: the one reading of a track's event syntax that
// the pre-scan and the builder share. Every byte it takes is checked against
// the end of the chunk first (through a BoundedCursor, or once for a whole
// channel message on the fast path below), so both passes stop a damaged track
// at the same event and the builder can never write more than the pre-scan
// counted.
#pragma once

#include <cstdint>

// The kinds of event a track holds, by the first byte after the delta time.
enum EventKind : uint8_t {
  EVENT_CHANNEL,     // a channel message, with its own status or the running one
  EVENT_SYSEX,       // F0, length, body
  EVENT_ESCAPE,      // F7, length, bytes
  EVENT_META,        // FF, type, length, data
  EVENT_DELTA_ONLY,  // nothing but the delta time is taken
};

// One event as it lies in its chunk, in the terms of the record it becomes.
struct WalkedEvent {
  uint32_t delta;  // the delta time's value
  EventKind kind;
  uint8_t status;        // own status, running status, F0, F7 or FF; 0 for delta-only
  uint8_t data1;         // first data byte of a channel message, or the meta type
  uint8_t data2;         // second data byte of a three-byte channel message
  uint8_t running;       // the running status the event borrowed; 0 when it had its own
  uint32_t length;       // the record's byte count (0 for delta-only)
  const uint8_t* bytes;  // sysex body, escape bytes after the length, or a meta event's FF
  uint32_t body_length;  // the quantity after F0 / F7 / the meta type
  const uint8_t* next;   // where the next event's delta time begins
};

// How one step of the walk ended.
enum WalkResult {
  WALK_EVENT,       // one whole event inside the chunk
  WALK_END,         // no byte of the chunk is left
  WALK_CUT,         // the event, or a quantity inside it, runs past the chunk's end
  WALK_LONG_DELTA,  // the delta time's first four bytes all have the top bit set
};

// Walks any event whose delta time begins at p, checking every byte it takes.
WalkResult walk_any_event(const uint8_t* p, const uint8_t* end, uint8_t running_status, WalkedEvent* event);

// Most events are channel messages after a one-byte delta time: with four
// bytes left such a message lies whole inside the chunk whatever its length,
// so it is recognised with that one check, read straight from the bytes
// instead of through a BoundedCursor: this fast path (quick_channel_size,
// quick_channel_running and walk_event below) is the one place that does so,
// because it is most of the load's time. Its size with the delta time, or 0
// for any other event, which has to be walked the long way.
inline int quick_channel_size(const uint8_t* p, const uint8_t* end, uint8_t running_status) {
  if (end - p < 4 || p[0] >= 0x80) return 0;
  uint8_t b = p[1];
  bool own = b >= 0x80;
  if (own ? b >= 0xF0 : running_status == 0) return 0;
  uint8_t status = own ? b : running_status;
  return (own ? 2 : 1) + ((status & 0xE0) == 0xC0 ? 1 : 2);
}

// The track's running status after the channel message at p, which
// quick_channel_size has sized (and so checked) already.
inline uint8_t quick_channel_running(const uint8_t* p, uint8_t running_status) {
  return p[1] >= 0x80 ? p[1] : running_status;
}

// Walks the event whose delta time begins at p; nothing at or after end is read.
inline WalkResult walk_event(const uint8_t* p, const uint8_t* end, uint8_t running_status, WalkedEvent* event) {
  int size = quick_channel_size(p, end, running_status);
  if (size == 0) return walk_any_event(p, end, running_status, event);
  bool own = p[1] >= 0x80;
  const uint8_t* data = own ? p + 2 : p + 1;
  uint8_t status = own ? p[1] : running_status;
  bool one_byte = (status & 0xE0) == 0xC0;
  event->delta = p[0];
  event->kind = EVENT_CHANNEL;
  event->status = status;
  event->data1 = data[0];
  event->data2 = one_byte ? 0 : data[1];
  event->running = own ? 0 : running_status;
  event->length = one_byte ? 2 : 3;
  event->bytes = nullptr;
  event->body_length = 0;
  event->next = p + size;
  return WALK_EVENT;
}

// The track's running status once the event has been taken: only a channel
// message with a status byte of its own changes it.
inline uint8_t running_after(const WalkedEvent& event, uint8_t running_status) {
  return event.kind == EVENT_CHANNEL && event.running == 0 ? event.status : running_status;
}

// Sysex, escape and meta records point into the event data buffer, even
// when they put no byte there (an escape of length 0).
inline bool uses_data_buffer(const WalkedEvent& event) {
  return event.kind == EVENT_SYSEX || event.kind == EVENT_ESCAPE || event.kind == EVENT_META;
}

// The bytes that the event puts into the event data buffer.
inline uint32_t data_bytes_of(const WalkedEvent& event) { return uses_data_buffer(event) ? event.length : 0; }

// A meta event of type 0x2F ends its track.
inline bool is_end_of_track(const WalkedEvent& event) { return event.kind == EVENT_META && event.data1 == 0x2F; }
