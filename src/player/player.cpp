// Playback, player thread: waits out each record's delta time and sends the
// record's bytes to the current port, or hands a meta event to the display.
#include "player/player.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "meta/console.h"
#include "meta/meta.h"
#include "output/ports.h"
#include "player/priority.h"
#include "player/schedule.h"
#include "player/timing.h"
#include "song/division.h"
#include "song/song.h"
#include "song/stop_wake.h"

namespace {

const uint32_t STARTING_TEMPO = 500000;

// Set by the suspend key's handler while a song plays; the player takes it
// at its next look, between two turns of a wait.
std::atomic<bool> pause_pending{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// Whether a wait must end early: for a stop, or for a pause.
bool stop_or_pause() { return stop_requested() || pause_pending.load(); }

// Silences every port, then stops the process until it is continued, as
// the suspend key would have; the nanoseconds it was stopped for.
int64_t suspend_playback() {
  pause_pending.store(false);
  silence_all_ports();
  int64_t stopped_at = monotonic_ns();
  // Sent to this thread, so that the stop has taken effect when raise returns.
  raise(SIGSTOP);
  return monotonic_ns() - stopped_at;
}

// Waits until the schedule's current record is due, or a stop; a pause on
// the way suspends the playback and moves the rest of the song by the time
// it was suspended.
void wait_for_record(Schedule* schedule) {
  for (;;) {
    int64_t now = wait_until(schedule->due_ns, stop_or_pause);
    if (now != WAIT_STOPPED) {
      absorb_pause(schedule, now);
      return;
    }
    if (stop_requested()) return;
    shift_schedule(schedule, suspend_playback());
  }
}

// Allocates the converted-text buffer once, before the first record, big
// enough for any text of the song in any terminal encoding (the display
// knows how much conversion can grow a text); the size is formed in size_t.
bool alloc_text_buffer(uint32_t longest_meta) {
  size_t size = text_buffer_size(longest_meta);
  playback_info.text = size != 0 ? static_cast<char*>(malloc(size)) : nullptr;
  if (playback_info.text == nullptr) {
    // A size beyond size_t is as far out of reach as memory that is not there.
    console_printf(STDERR_FILENO, "Error!!: Can't Alloc LangCode Convert Buffer Memory (%d)\n",
                   size != 0 ? errno : ENOMEM);
    return false;
  }
  playback_info.text_size = size;
  return true;
}

// The player's tempo before the song sets one; a zero timebase never gets
// this far, but it must not divide here either.
void start_tempo(uint16_t timebase) {
  tempo_state.timebase = timebase;
  tempo_state.tempo = STARTING_TEMPO;
  tempo_state.usec_per_tick = timebase != 0 ? STARTING_TEMPO / timebase : 0;
}

// Sends one record that is not a meta event: channel messages straight from
// the record, sysex and escape bytes from the data buffer. The bytes that
// could not be written, as write_port counts them.
int send_record(const SongView& view, const EventRecord& record) {
  const void* message = nullptr;
  size_t count = 0;
  uint8_t status = record.status;
  if ((status >= 0x80 && status <= 0xBF) || (status >= 0xE0 && status <= 0xEF)) {
    message = &record.status;
    count = 3;
  } else if (status >= 0xC0 && status <= 0xDF) {
    message = &record.status;
    count = 2;
  } else if (status == 0xF0 || status == 0xF7) {
    message = view.data + record.data_offset;
    count = record.length;
  }
  return write_port(tempo_state.port, message, count);
}

// Hands a meta event to the display; a new tempo that it hands back makes
// later ticks last as long as that tempo says, from this record's due time.
void play_meta_record(const SongView& view, const EventRecord& record, Schedule* schedule) {
  uint32_t tempo = play_meta_event(&record, view.data + record.data_offset, static_cast<int>(record.length));
  if (tempo != TEMPO_UNCHANGED) change_tick_length(schedule, tick_length(view.timebase, tempo));
}

// Plays the table in order, each record at its due time; a record with a
// delta of 0 goes out straight after the one before, without a clock reading.
PlayOutcome play_records(const SongView& view) {
  Schedule schedule;
  start_schedule(&schedule, monotonic_ns(), tick_length(view.timebase, tempo_state.tempo));
  for (uint32_t i = 0; i < view.event_count; ++i) {
    const EventRecord& record = view.events[i];
    if (record.delta != 0) {
      advance_schedule(&schedule, record.delta);
      wait_for_record(&schedule);
    } else if (pause_pending.load()) {
      shift_schedule(&schedule, suspend_playback());
    }
    if (stop_requested()) {
      silence_all_ports();
      return PLAY_STOPPED;
    }
    if (record.status == 0xFF) {
      play_meta_record(view, record, &schedule);
      continue;
    }
    // Only a write that left bytes behind can have lost the last device.
    if (send_record(view, record) != 0 && !any_port_open()) return PLAY_DEVICES_LOST;
  }
  return PLAY_ENDED;
}

// Moves the state on from `from` to `to` unless a stop has been asked for.
bool advance_state(PlayerState from, PlayerState to) {
  PlayerState expected = from;
  return playback_info.state.compare_exchange_strong(expected, to);
}

// The playback itself, between the thread's start and its end.
PlayOutcome play() {
  // A stop asked for during the load or the start keeps its state, and the
  // playback ends before its first record.
  PlayerState before = playback_info.state.load();
  if (before == PLAYER_STOP_REQUESTED || !advance_state(before, PLAYER_STARTING)) return PLAY_STOPPED;
  SongView view;
  if (!prepare_playback(&view)) return PLAY_FAILED;
  if (!raise_to_real_time()) keep_wake_margin_short();
  PlayOutcome outcome = PLAY_STOPPED;
  if (advance_state(PLAYER_STARTING, PLAYER_PLAYING)) outcome = play_records(view);
  release_text_buffer();
  return outcome;
}

}  // namespace

bool prepare_playback(SongView* view) {
  tempo_state.port = 0;
  tempo_state.channel = NO_CHANNEL;
  take_song_view(view);
  if (!alloc_text_buffer(view->longest_meta)) return false;
  start_tempo(view->timebase);
  return true;
}

void release_text_buffer() {
  free(playback_info.text);
  playback_info.text = nullptr;
  playback_info.text_size = 0;
}

void* player_thread(void* outcome) {
  PlayOutcome result = play();
  if (outcome != nullptr) *static_cast<PlayOutcome*>(outcome) = result;
  return nullptr;
}

bool stop_requested() { return playback_info.state.load() == PLAYER_STOP_REQUESTED; }

// While no song plays there is nothing to silence or to move: the process
// stops at once, as it would without a handler.
void request_pause() {
  if (playback_info.state.load() != PLAYER_PLAYING) {
    raise(SIGSTOP);
    return;
  }
  pause_pending.store(true);
}

void reset_pause_request() { pause_pending.store(false); }

// Only a store of the state byte and of the ports' flag, and one write to
// the wake-up pipe: safe inside a signal handler.
void request_stop() {
  playback_info.state.store(PLAYER_STOP_REQUESTED);
  interrupt_port_writes();
  raise_stop_wake();
}
