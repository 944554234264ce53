// Song loading, event walk: the one reading of a track's event syntax that
// the pre-scan and the builder share. Every byte it takes is checked against
// the end of the chunk first, so both passes stop a damaged track at the same
// event and the builder can never write more than the pre-scan counted.
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
  uint32_t delta;         // the delta time's value
  EventKind kind;
  uint8_t status;         // own status, running status, F0, F7 or FF; 0 for delta-only
  uint8_t data1;          // first data byte of a channel message, or the meta type
  uint8_t data2;          // second data byte of a three-byte channel message
  uint8_t running;        // the running status the event borrowed; 0 when it had its own
  uint32_t length;        // the record's byte count (0 for delta-only)
  const uint8_t* bytes;   // sysex body, escape bytes after the length, or a meta event's FF
  uint32_t body_length;   // the quantity after F0 / F7 / the meta type
  const uint8_t* next;    // where the next event's delta time begins
};

// How one step of the walk ended.
enum WalkResult {
  WALK_EVENT,       // one whole event inside the chunk
  WALK_END,         // no byte of the chunk is left
  WALK_CUT,         // the event, or a quantity inside it, runs past the chunk's end
  WALK_LONG_DELTA,  // the delta time is a whole quantity of more than four bytes
};

// Walks the event whose delta time begins at p; nothing at or after end is read.
WalkResult walk_event(const uint8_t* p, const uint8_t* end, uint8_t running_status,
                      WalkedEvent* event);

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
inline uint32_t data_bytes_of(const WalkedEvent& event) {
  return uses_data_buffer(event) ? event.length : 0;
}

// A meta event of type 0x2F ends its track.
inline bool is_end_of_track(const WalkedEvent& event) {
  return event.kind == EVENT_META && event.data1 == 0x2F;
}
