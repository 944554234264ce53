// Song model: the records the loader fills and the player reads, one of each
// per process, and the few operations that allocate, release and snapshot them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "song/event_walk.h"

// The loader's view of one track chunk while the song is built.
struct TrackState {
  uint32_t length;         // the chunk's data length (cut to what the file holds)
  const uint8_t* start;    // first data byte in the file image
  const uint8_t* cursor;   // the builder's position, a bare pointer (not a BoundedCursor:
                           // the chunk ends at start + length); null once the track has ended
  uint8_t running_status;  // last channel status given explicitly; 0 at the start
  uint32_t ticks_to_next;  // ticks from the merged song's last record to the track's next
                           // event, for the reference rule next_track only (the builder
                           // keeps due ticks in its merge queue); the first delta time
                           // after indexing
  WalkedEvent next_event;  // the builder's walk of the event at cursor, kept until written
};

// One event of the merged song, in playing order; channel messages inline.
struct EventRecord {
  uint32_t delta;        // ticks after the previous record
  uint32_t data_offset;  // where sysex, escape and meta bytes begin in the data buffer
  uint32_t length;       // bytes of the message
  uint8_t status;        // status byte; 0 for a delta-only record
  uint8_t data1;         // first data byte, or the meta type
  uint8_t data2;         // second data byte
  uint8_t running;       // the running status the event borrowed; 0 otherwise
};
static_assert(sizeof(EventRecord) == 16, "an event record is 16 bytes");
static_assert(offsetof(EventRecord, data1) == offsetof(EventRecord, status) + 1 &&
                  offsetof(EventRecord, data2) == offsetof(EventRecord, status) + 2,
              "a channel message is sent straight from status, data1, data2");

// The track count and the three song blocks.
struct SongData {
  uint16_t track_count;
  TrackState* tracks;   // only while the image is parsed
  EventRecord* events;  // the event table
  uint8_t* data;        // the event data buffer
};

// Timebase, sizes and the player's text buffer.
struct PlaybackInfo {
  uint16_t timebase;
  uint32_t event_count;
  uint32_t longest_meta;
  char* text;
  size_t text_size;
};

// A snapshot of what the builder and the player need; borrows, owns nothing.
struct SongView {
  uint16_t timebase;
  uint32_t event_count;
  uint32_t longest_meta;
  EventRecord* events;
  uint8_t* data;
};

// The channel of a TempoState that has seen no channel prefix.
constexpr uint32_t NO_CHANNEL = 0xFFFFFFFF;

// The player thread's running tempo, port and channel-prefix state.
struct TempoState {
  uint32_t channel;  // the last channel prefix's channel, or NO_CHANNEL
  uint32_t tempo;    // microseconds per quarter note
  uint16_t timebase;
  uint32_t usec_per_tick;  // tempo / timebase, kept up to date for the interface; the
                           // schedule times ticks exactly from the tempo instead
  int32_t port;            // 0 to 3
};

extern SongData song_data;
extern PlaybackInfo playback_info;
extern TempoState tempo_state;

// Copies the five snapshot fields; always 0. The builder and the player read
// the song through this snapshot.
int take_song_view(SongView* view);

// Stores the header's division as the song's timebase.
void set_timebase(uint16_t division);

// Accessors for the event count, the event table and the data buffer, kept
// for the interface and read only by the tests; the builder and the player
// read all three through take_song_view.
uint32_t get_event_count();
EventRecord* get_event_table();
uint8_t* get_data_buffer();

// Allocates the zero-filled event table: 0, or -1 when it exists already and
// -2 without memory, each after its message.
int alloc_event_table(uint32_t count);

// Allocates the zero-filled event data buffer: 0, or -1 when it exists
// already and -2 without memory, each after its message.
int alloc_data_buffer(uint32_t size, uint32_t longest);

// Releases the event data buffer if there is one; always 0.
int free_data_buffer();

// Releases the event table if there is one; always 0.
int free_event_table();

// Releases every song block and zeroes the shared records (between tests and fuzz inputs).
void reset_song_state();

// How many events or reads a loop of the load gets through between looks at
// the stop (stop_raised): a few milliseconds' work, so that a stop during
// the load of a big file ends it at once.
constexpr uint32_t LOAD_STOP_STRIDE = 1u << 16;
