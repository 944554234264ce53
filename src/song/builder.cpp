// Song loading, event table builder.
#include "song/builder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <bit>

#include "app/settings.h"
#include "song/division.h"
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

// Each live track's next event, walked once when its delta time is read, so
// that writing it takes no second walk. Without memory for one per track, a
// single slot serves and the event is walked again before it is written.
struct PendingEvents {
  WalkedEvent* each = nullptr;
  WalkedEvent one;
  ~PendingEvents() { free(each); }
};

// Where the track's next event is kept.
WalkedEvent* pending_slot(PendingEvents* pending, int track) {
  return pending->each != nullptr ? &pending->each[track] : &pending->one;
}

// Sets when the track's next event is due, its delta time after the record
// just written at tick now, or ends the track when no whole event is left in
// its chunk: the same place where the pre-scan stopped counting, so a track
// without End of Track ends at its chunk's end.
void load_next_delta(TrackState* track, uint32_t now, int* ended_count, WalkedEvent* event) {
  if (walk_event(track->cursor, chunk_end(*track), track->running_status, event) == WALK_EVENT) {
    track->ticks_to_next = now + event->delta;
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

// The merge's clock is the tick of the last record written, counted from the
// song's start modulo 2^32; each live track's ticks_to_next holds the tick of
// its next event on the same clock. No live track is due before the last
// record and none more than a delta time (at most 28 bits) after it, so due
// times measured from the last record compare exactly across the wrap.

// From this many live tracks on, the merge keeps them in a queue; below it,
// looking at every track costs no more than keeping the queue.
constexpr int QUEUE_FROM_TRACKS = 4;

// A live track waiting for its turn, with the tick its next event is due.
struct QueuedTrack {
  uint32_t due;
  uint32_t track;
};

// How many ticks ahead of the last record the wheel reaches: a slot per tick,
// a bit of the slot map per slot, and a bit of the word map per 64 slots.
constexpr uint32_t WHEEL_SLOTS = 4096;
constexpr uint32_t WHEEL_WORDS = WHEEL_SLOTS / 64;
static_assert(WHEEL_WORDS <= 64, "the word map has a bit per word of the slot map");

// The end of a list of tracks.
constexpr uint32_t NO_TRACK = UINT32_MAX;

// Every live track but the one that has the turn. Those due less than
// WHEEL_SLOTS ticks after the last record wait on a wheel, in the slot of
// their tick's low bits, each slot a list chained through the tracks and
// marked in a map, so the next tick is found by looking up the map and
// putting a track in its place takes no comparison. Those due later wait in
// a four-way heap, earliest first and the lower track number first on equal
// ticks, and move to the wheel as it turns to them. Those due at the tick
// being played wait in the order they take their turns. The arrays share
// one block, released with the queue.
struct MergeQueue {
  QueuedTrack* heap = nullptr;
  uint16_t* due_now = nullptr;
  uint32_t* next = nullptr;        // per track: the next track in the same slot
  uint32_t* slot_head = nullptr;   // per slot: its first track
  uint64_t slot_map[WHEEL_WORDS] = {};  // a bit per slot that holds a track
  uint64_t word_map = 0;           // a bit per word of slot_map that is not 0
  int heap_size = 0;
  int due_count = 0;
  int due_next = 0;
  int due_left = 0;
  ~MergeQueue() { free(heap); }
};

// Children per heap entry: four halve the levels of a binary heap, and the
// earliest of four is found without a branch.
constexpr int HEAP_WAYS = 4;

// A track's place in the heap: the ticks it is due after the last record at
// tick now, then its track number, in one number so that one comparison orders two.
uint64_t heap_key(const QueuedTrack& item, uint32_t now) {
  return static_cast<uint64_t>(item.due - now) << 16 | item.track;
}

// Moves the heap's entry at i up until its parent comes before it.
void sift_up(MergeQueue* queue, int i, uint32_t now) {
  QueuedTrack item = queue->heap[i];
  uint64_t key = heap_key(item, now);
  while (i > 0) {
    int parent = (i - 1) / HEAP_WAYS;
    if (heap_key(queue->heap[parent], now) < key) break;
    queue->heap[i] = queue->heap[parent];
    i = parent;
  }
  queue->heap[i] = item;
}

// Adds a track that waits for a later tick.
void push_track(MergeQueue* queue, QueuedTrack item, uint32_t now) {
  queue->heap[queue->heap_size] = item;
  sift_up(queue, queue->heap_size++, now);
}

// The earliest of the count entries from first on.
int earliest_of(const QueuedTrack* heap, int first, int count, uint32_t now) {
  int best = first;
  uint64_t lowest = heap_key(heap[first], now);
  for (int i = first + 1; i < first + count; ++i) {
    uint64_t key = heap_key(heap[i], now);
    best = key < lowest ? i : best;
    lowest = key < lowest ? key : lowest;
  }
  return best;
}

// Puts item in the place of the heap's first track. The gap goes down along
// the earliest child to the bottom and item, which mostly belongs near the
// bottom, rises into it from there: the gap's way down takes no comparison
// with item.
void replace_first(MergeQueue* queue, QueuedTrack item, uint32_t now) {
  QueuedTrack* heap = queue->heap;
  int size = queue->heap_size;
  int i = 0;
  for (int child = 1; child + HEAP_WAYS <= size; child = HEAP_WAYS * i + 1) {
    int best = earliest_of(heap, child, HEAP_WAYS, now);
    heap[i] = heap[best];
    i = best;
  }
  // A last level with fewer children; their own children lie past the end.
  int child = HEAP_WAYS * i + 1;
  if (child < size) {
    int best = earliest_of(heap, child, size - child, now);
    heap[i] = heap[best];
    i = best;
  }
  heap[i] = item;
  sift_up(queue, i, now);
}

// Takes the heap's first track out; its last entry fills the place.
void pop_track(MergeQueue* queue, uint32_t now) {
  queue->heap_size -= 1;
  replace_first(queue, queue->heap[queue->heap_size], now);
}

// Starts the turn order of the count tracks in due_now, in ascending track
// numbers: first the one after current, then on cyclically.
void start_turn_order(MergeQueue* queue, int count, int current) {
  int start = 0;
  while (start < count && queue->due_now[start] < current) ++start;
  queue->due_count = count;
  queue->due_next = start < count ? start : 0;
  queue->due_left = count;
}

// Moves first, the heap's former head, and every track due at its tick into
// the turn order: they leave the heap in ascending track numbers, and the
// turn goes first to the one after current, then on cyclically.
void gather_due_tracks(MergeQueue* queue, QueuedTrack first, int current, uint32_t now) {
  int count = 0;
  queue->due_now[count++] = static_cast<uint16_t>(first.track);
  while (queue->heap_size > 0 && queue->heap[0].due == first.due) {
    queue->due_now[count++] = static_cast<uint16_t>(queue->heap[0].track);
    pop_track(queue, now);
  }
  start_turn_order(queue, count, current);
}

// The next track in the turn order of the tick being played.
int take_due_track(MergeQueue* queue) {
  int track = queue->due_now[queue->due_next];
  queue->due_next = queue->due_next + 1 < queue->due_count ? queue->due_next + 1 : 0;
  queue->due_left -= 1;
  return track;
}

// Puts a track due within the wheel's reach into the slot of its tick.
void put_on_wheel(MergeQueue* queue, uint32_t track, uint32_t due) {
  uint32_t slot = due & (WHEEL_SLOTS - 1);
  queue->next[track] = queue->slot_head[slot];
  queue->slot_head[slot] = track;
  queue->slot_map[slot / 64] |= uint64_t{1} << (slot % 64);
  queue->word_map |= uint64_t{1} << (slot / 64);
}

// Puts a live track that waits for a later tick where it belongs: on the
// wheel when it is due within its reach, otherwise in the heap.
void queue_track(MergeQueue* queue, uint32_t track, uint32_t due, uint32_t now) {
  if (due - now < WHEEL_SLOTS) {
    put_on_wheel(queue, track, due);
  } else {
    push_track(queue, {due, track}, now);
  }
}

// Moves the heap's tracks that the wheel now reaches onto the wheel.
void turn_wheel(MergeQueue* queue, uint32_t now) {
  while (queue->heap_size > 0 && queue->heap[0].due - now < WHEEL_SLOTS) {
    QueuedTrack first = queue->heap[0];
    pop_track(queue, now);
    put_on_wheel(queue, first.track, first.due);
  }
}

// The bits of word at or above bit `from` (0 to 63).
uint64_t bits_from(uint64_t word, uint32_t from) { return word & (~uint64_t{0} << from); }

// The wheel's first slot that holds a track, going round from the slot of tick
// now; the wheel must hold one. Every track on it is due less than a turn
// after now, so the first slot found holds the earliest tick.
uint32_t first_filled_slot(const MergeQueue& queue, uint32_t now) {
  uint32_t start = now & (WHEEL_SLOTS - 1);
  uint32_t word = start / 64;
  uint64_t here = bits_from(queue.slot_map[word], start % 64);
  if (here != 0) return word * 64 + static_cast<uint32_t>(std::countr_zero(here));
  // Then the words after this one, then the words from the start, this
  // one's lower bits last of all.
  uint64_t after = word + 1 < WHEEL_WORDS ? bits_from(queue.word_map, word + 1) : 0;
  uint64_t words = after != 0 ? after : queue.word_map;
  word = static_cast<uint32_t>(std::countr_zero(words));
  return word * 64 + static_cast<uint32_t>(std::countr_zero(queue.slot_map[word]));
}

// Empties a slot of the wheel, whose tracks have been taken.
void clear_slot(MergeQueue* queue, uint32_t slot) {
  queue->slot_head[slot] = NO_TRACK;
  uint64_t& word = queue->slot_map[slot / 64];
  word &= ~(uint64_t{1} << (slot % 64));
  if (word == 0) queue->word_map &= ~(uint64_t{1} << (slot / 64));
}

// Moves a slot's tracks, all due at one tick, into the turn order: in
// ascending track numbers, the turn going first to the one after current,
// then on cyclically.
void gather_slot(MergeQueue* queue, uint32_t slot, int current) {
  int count = 0;
  for (uint32_t t = queue->slot_head[slot]; t != NO_TRACK; t = queue->next[t]) {
    queue->due_now[count++] = static_cast<uint16_t>(t);
  }
  clear_slot(queue, slot);
  std::sort(queue->due_now, queue->due_now + count);
  start_turn_order(queue, count, current);
}

// The choice next_track makes, taken from the queue: the current track keeps
// the turn when nothing is due sooner, otherwise the queue's next track does
// and the current one, if live, waits in the queue. -1 when no track is live.
int queue_next_track(MergeQueue* queue, int current, uint32_t now) {
  const TrackState& track = song_data.tracks[current];
  bool live = track.cursor != nullptr;
  if (live && track.ticks_to_next == now) return current;
  uint32_t mine = track.ticks_to_next;
  uint32_t me = static_cast<uint32_t>(current);
  if (queue->due_left > 0) {
    if (live) queue_track(queue, me, mine, now);
    return take_due_track(queue);
  }
  turn_wheel(queue, now);
  if (queue->word_map != 0) {
    uint32_t slot = first_filled_slot(*queue, now);
    if (live && mine - now <= ((slot - now) & (WHEEL_SLOTS - 1))) return current;
    if (live) queue_track(queue, me, mine, now);
    uint32_t first = queue->slot_head[slot];
    if (queue->next[first] == NO_TRACK) {
      clear_slot(queue, slot);
      return static_cast<int>(first);
    }
    gather_slot(queue, slot, current);
    return take_due_track(queue);
  }
  // Nothing within the wheel's reach: the heap's earliest is next.
  if (queue->heap_size == 0) return live ? current : -1;
  QueuedTrack first = queue->heap[0];
  if (live && mine - now <= first.due - now) return current;
  // The current track, due later than first, takes first's place at once.
  if (live) {
    replace_first(queue, {mine, me}, now);
  } else {
    pop_track(queue, now);
  }
  if (queue->heap_size == 0 || queue->heap[0].due != first.due) return static_cast<int>(first.track);
  gather_due_tracks(queue, first, current, now);
  return take_due_track(queue);
}

// The choice next_track makes, found by looking at every track: the current
// one first, then the others in cyclic order after it, until one is due at
// the last record's tick, which nothing can beat. -1 when none is live.
int scan_next_track(int current, uint32_t now) {
  const TrackState* tracks = song_data.tracks;
  int count = song_data.track_count;
  int best = -1;
  uint32_t lowest = UINT32_MAX;
  for (int step = 0, i = current; step < count; ++step, i = i + 1 < count ? i + 1 : 0) {
    if (tracks[i].cursor == nullptr || tracks[i].ticks_to_next - now >= lowest) continue;
    best = i;
    lowest = tracks[i].ticks_to_next - now;
    if (lowest == 0) break;
  }
  return best;
}

// Gives a song with many live tracks its queue, holding all of them but
// track 0, which has the first turn. Without one (few tracks, or no memory
// for it) the merge looks at every track instead.
void open_queue(MergeQueue* queue) {
  int live = 0;
  for (int i = 0; i < song_data.track_count; ++i) live += song_data.tracks[i].cursor != nullptr;
  if (live < QUEUE_FROM_TRACKS) return;
  size_t tracks = static_cast<size_t>(song_data.track_count);
  size_t bytes = static_cast<size_t>(live) * (sizeof(QueuedTrack) + sizeof(uint16_t)) +
                 tracks * sizeof(uint32_t) + WHEEL_SLOTS * sizeof(uint32_t);
  queue->heap = static_cast<QueuedTrack*>(malloc(bytes));
  if (queue->heap == nullptr) return;
  queue->next = reinterpret_cast<uint32_t*>(queue->heap + live);
  queue->slot_head = queue->next + tracks;
  queue->due_now = reinterpret_cast<uint16_t*>(queue->slot_head + WHEEL_SLOTS);
  for (uint32_t slot = 0; slot < WHEEL_SLOTS; ++slot) queue->slot_head[slot] = NO_TRACK;
  for (int i = 1; i < song_data.track_count; ++i) {
    const TrackState& track = song_data.tracks[i];
    if (track.cursor != nullptr) queue_track(queue, static_cast<uint32_t>(i), track.ticks_to_next, 0);
  }
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
  PendingEvents pending;
  pending.each = static_cast<WalkedEvent*>(malloc(song_data.track_count * sizeof(WalkedEvent)));
  int ended_count = 0;
  for (int i = 0; i < song_data.track_count; ++i) {
    load_next_delta(&song_data.tracks[i], 0, &ended_count, pending_slot(&pending, i));
  }
  MergeQueue queue;
  open_queue(&queue);
  int current = 0;
  uint32_t now = 0;
  while (ended_count < song_data.track_count) {
    current = queue.heap != nullptr ? queue_next_track(&queue, current, now) : scan_next_track(current, now);
    if (current < 0) break;
    TrackState* track = &song_data.tracks[current];
    // Only a live track is chosen, whose next event load_next_delta found whole.
    WalkedEvent* slot = pending_slot(&pending, current);
    if (pending.each == nullptr &&
        walk_event(track->cursor, chunk_end(*track), track->running_status, slot) != WALK_EVENT) {
      break;
    }
    // Read up before the track's following event takes the slot.
    const WalkedEvent& event = *slot;
    if (!has_room(writer, event)) break;
    write_record(&writer, event, track->ticks_to_next - now + first_delay);
    first_delay = 0;
    now = track->ticks_to_next;
    track->running_status = running_after(event, track->running_status);
    track->cursor = event.next;
    if (is_end_of_track(event)) end_track(track, &ended_count);
    if (track->cursor != nullptr) load_next_delta(track, now, &ended_count, slot);
  }
  return 0;
}
