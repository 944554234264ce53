// Song loading, event table builder.
#include "song/builder.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "song/event_walk.h"
#include "song/reset.h"
#include "song/song.h"

namespace {

// Where the merge writes next, and what it may still write.
struct TableWriter {
  EventRecord* events;
  uint32_t event_count;
  uint8_t* data;
  uint32_t data_size;
  uint32_t next_record;
  uint32_t data_offset;
};

// A track's chunk ends here; the builder reads nothing at or past it.
const uint8_t* chunk_end(const TrackState& track) { return track.start + track.length; }

// Takes a track out of the merge: it is never chosen again.
void end_track(TrackState* track, int* ended_count) {
  track->cursor = nullptr;
  track->ticks_to_next = 0xFFFFFFFF;
  *ended_count += 1;
}

// Reads the delta time of the track's next event, or ends the track when no
// whole event is left in its chunk: the same place where the pre-scan stopped
// counting, so a track without End of Track ends at its chunk's end.
void load_next_delta(TrackState* track, int* ended_count) {
  WalkedEvent event;
  if (walk_event(track->cursor, chunk_end(*track), track->running_status, &event) == WALK_EVENT) {
    track->ticks_to_next = event.delta;
  } else {
    end_track(track, ended_count);
  }
}

// Whether the table and the data buffer still have room for the event; the
// pre-scan counted every event the merge can take, so this only guards.
bool has_room(const TableWriter& writer, const WalkedEvent& event) {
  return writer.next_record < writer.event_count &&
         data_bytes_of(event) <= writer.data_size - writer.data_offset;
}

// Writes one event as the next record, its sysex, escape or meta bytes
// copied into the data buffer.
void write_record(TableWriter* writer, const WalkedEvent& event, uint32_t delta) {
  EventRecord* record = &writer->events[writer->next_record++];
  record->delta = delta;
  record->status = event.status;
  record->data1 = event.data1;
  record->data2 = event.data2;
  record->running = event.running;
  record->length = event.length;
  if (!uses_data_buffer(event)) return;
  uint8_t* out = writer->data + writer->data_offset;
  if (event.kind == EVENT_SYSEX) {
    // The length quantity is not stored: F0 goes right before the body.
    *out++ = 0xF0;
    memcpy(out, event.bytes, event.body_length);
  } else {
    memcpy(out, event.bytes, event.length);
  }
  record->data_offset = writer->data_offset;
  writer->data_offset += event.length;
}

// Brings every track's count to the record just written, ended tracks included.
void advance_clock(uint32_t ticks) {
  if (ticks == 0) return;
  for (int i = 0; i < song_data.track_count; ++i) song_data.tracks[i].ticks_to_next -= ticks;
}

// Writes a reset message as one system exclusive record.
void write_reset_message(const SongView& view, uint32_t index, uint32_t delta, uint32_t offset,
                         const ResetMessage& message) {
  EventRecord* record = &view.events[index];
  record->delta = delta;
  record->data_offset = offset;
  record->length = message.length;
  record->status = 0xF0;
  memcpy(view.data + offset, message.bytes, message.length);
}

}  // namespace

// The reset goes ahead of the song's first event, and a tenth of a quarter
// note later the song begins, so the module has settled before it plays.
uint32_t insert_reset_events(uint32_t* data_used, uint32_t* first_delay, ResetFlags reset_flags) {
  const ResetChoice* choice = choose_reset(reset_flags);
  *data_used = 0;
  *first_delay = 0;
  if (choice == nullptr) return 0;
  SongView view;
  take_song_view(&view);
  uint32_t delay = view.timebase / 10;
  uint32_t offset = 0;
  for (uint32_t i = 0; i < choice->records; ++i) {
    write_reset_message(view, i, i == 0 ? 0 : delay, offset, choice->messages[i]);
    offset += choice->messages[i].length;
  }
  if (option_flags & OPT_VERBOSE) fputs(choice->notice, stderr);
  *data_used = offset;
  *first_delay = delay;
  return choice->records;
}

// Ties go to the current track, then to the first live track in cyclic order
// after it, so events at one tick come in blocks, track after track.
int next_track(int current) {
  const TrackState* tracks = song_data.tracks;
  if (tracks[current].ticks_to_next == 0) return current;
  int count = song_data.track_count;
  if (count < 2) return current;
  int best = current;
  uint32_t lowest = tracks[current].ticks_to_next;
  for (int i = 1; i < count; ++i) {
    int j = (current + i) % count;
    if (tracks[j].cursor == nullptr) continue;
    if (tracks[j].ticks_to_next < lowest) {
      best = j;
      lowest = tracks[j].ticks_to_next;
    }
    if (tracks[j].ticks_to_next == 0) break;
  }
  return best;
}

// Each track is read only inside its chunk and only as far as the pre-scan
// counted; a header without tracks leaves just the reset records.
int build_event_table(ResetFlags reset_flags, uint32_t data_size) {
  SongView view;
  take_song_view(&view);
  TableWriter writer{view.events, view.event_count, view.data, data_size, 0, 0};
  uint32_t first_delay = 0;
  const ResetChoice* reset = choose_reset(reset_flags);
  if (!(option_flags & OPT_NO_RESET) && reset != nullptr && reset->records <= view.event_count &&
      reset_bytes(*reset) <= data_size) {
    writer.next_record = insert_reset_events(&writer.data_offset, &first_delay, reset_flags);
  }
  int ended_count = 0;
  for (int i = 0; i < song_data.track_count; ++i) load_next_delta(&song_data.tracks[i], &ended_count);
  int current = 0;
  while (ended_count < song_data.track_count) {
    current = next_track(current);
    TrackState* track = &song_data.tracks[current];
    // next_track only returns a live track, whose next event load_next_delta found whole.
    WalkedEvent event;
    if (walk_event(track->cursor, chunk_end(*track), track->running_status, &event) != WALK_EVENT ||
        !has_room(writer, event)) {
      break;
    }
    uint32_t ticks = track->ticks_to_next;
    write_record(&writer, event, ticks + first_delay);
    first_delay = 0;
    track->running_status = running_after(event, track->running_status);
    track->cursor = event.next;
    if (is_end_of_track(event)) end_track(track, &ended_count);
    advance_clock(ticks);
    if (track->cursor != nullptr) load_next_delta(track, &ended_count);
  }
  return 0;
}
