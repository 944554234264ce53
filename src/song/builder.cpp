// Song loading, event table builder.
#include "song/builder.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/life_cycle.h"
#include "song/division.h"
#include "song/event_walk.h"
#include "song/merge_queue.h"
#include "song/options.h"
#include "song/reset.h"
#include "song/song.h"

namespace {

// A track's chunk ends here; the builder reads nothing at or past it.
const uint8_t* chunk_end(const TrackState& track) { return track.start + track.length; }

// Walks the track's next event, which the builder keeps until it writes it,
// and tells when it is due, its delta time after tick now; or ends the track
// (NEVER_DUE) when no whole event is left in its chunk: the same place where
// the pre-scan stopped counting, so a track without End of Track ends at its
// chunk's end.
uint64_t load_next_event(TrackState* track, uint64_t now) {
  if (track->cursor != nullptr &&
      walk_event(track->cursor, chunk_end(*track), track->running_status, &track->next_event) == WALK_EVENT) {
    return now + track->next_event.delta;
  }
  track->cursor = nullptr;
  return NEVER_DUE;
}

// Moves the track past the event just written at tick now, ending it after
// its End of Track, and tells when its following event is due.
uint64_t pass_written_event(TrackState* track, uint64_t now) {
  const WalkedEvent& written = track->next_event;
  track->running_status = running_after(written, track->running_status);
  track->cursor = is_end_of_track(written) ? nullptr : written.next;
  return load_next_event(track, now);
}

// How a track's turn ended.
enum TurnEnd { TURN_OVER, TURN_NO_ROOM, TURN_STOPPED };

// Writes the track's next event, due at *due, and every following one due at
// the same tick: a track keeps the turn for all of its events at one tick.
// *now becomes the tick of the last record written and *due the tick of the
// track's following event. The stop is looked at every LOAD_STOP_STRIDE
// records, wherever they fall: one tick may hold millions of events.
TurnEnd write_due_events(TableWriter* writer, TrackState* track, uint64_t* due, uint64_t* now) {
  do {
    if (!write_record(writer, track->next_event, static_cast<uint32_t>(*due - *now))) return TURN_NO_ROOM;
    if (writer->next_record % LOAD_STOP_STRIDE == 0 && stop_raised()) return TURN_STOPPED;
    *now = *due;
    *due = pass_written_event(track, *now);
  } while (*due == *now);
  return TURN_OVER;
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
// note (50 ms in time code) later the song begins, so the module has settled
// before it plays.
uint32_t insert_reset_events(uint32_t* data_used, uint32_t* first_delay, ResetFlags reset_flags) {
  const ResetChoice* choice = choose_reset(reset_flags);
  *data_used = 0;
  *first_delay = 0;
  if (choice == nullptr) return 0;
  SongView view;
  take_song_view(&view);
  uint32_t delay = reset_delay_ticks(view.timebase);
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

// The reset goes in only where the tables have room for it, which the
// pre-scan reserved unless -r is given.
TableWriter start_table(ResetFlags reset_flags, uint32_t data_size) {
  SongView view;
  take_song_view(&view);
  TableWriter writer{view.events, view.event_count, view.data, data_size, 0, 0, 0};
  const ResetChoice* reset = choose_reset(reset_flags);
  if (!(option_flags & OPT_NO_RESET) && reset != nullptr && reset->records <= view.event_count &&
      reset_bytes(*reset) <= data_size) {
    writer.next_record = insert_reset_events(&writer.data_offset, &writer.reset_delay, reset_flags);
  }
  return writer;
}

// The pre-scan counted every event the merge can take, so the room checks
// only guard. A sysex record's F0 goes right before its body: the length
// quantity is not stored.
bool write_record(TableWriter* writer, const WalkedEvent& event, uint32_t delta) {
  bool room = writer->next_record < writer->event_count &&
              data_bytes_of(event) <= writer->data_size - writer->data_offset;
  if (!room) return false;
  EventRecord* record = &writer->events[writer->next_record++];
  record->delta = delta + writer->reset_delay;
  writer->reset_delay = 0;
  record->status = event.status;
  record->data1 = event.data1;
  record->data2 = event.data2;
  record->running = event.running;
  record->length = event.length;
  if (!uses_data_buffer(event)) return true;
  uint8_t* out = writer->data + writer->data_offset;
  if (event.kind == EVENT_SYSEX) {
    *out++ = 0xF0;
    memcpy(out, event.bytes, event.body_length);
  } else {
    memcpy(out, event.bytes, event.length);
  }
  record->data_offset = writer->data_offset;
  writer->data_offset += event.length;
  return true;
}

// Each track is read only inside its chunk and only as far as the pre-scan
// counted; a header without tracks leaves just the reset records. The queue
// is asked only when a track has written its events at one tick, so a song
// whose tracks play one after another costs it little.
int build_event_table(ResetFlags reset_flags, uint32_t data_size) {
  MergeQueue queue;
  if (open_merge_queue(&queue, song_data.track_count) != 0) return -2;
  TableWriter writer = start_table(reset_flags, data_size);
  for (int i = 0; i < song_data.track_count; ++i) {
    set_due(&queue, i, load_next_event(&song_data.tracks[i], 0));
  }
  // Track 0 has the first turn, as if it had just written a record at tick 0.
  int current = song_data.track_count > 0 ? pass_turn(&queue, 0, due_tick(queue, 0)) : -1;
  uint64_t now = 0;
  while (current >= 0) {
    uint64_t due = due_tick(queue, current);
    TurnEnd end = write_due_events(&writer, &song_data.tracks[current], &due, &now);
    if (end == TURN_STOPPED) return -3;
    if (end == TURN_NO_ROOM) break;
    current = pass_turn(&queue, current, due);
  }
  return 0;
}
