// Playback, player thread: waits out each record's delta time and sends the
// record's bytes to the current port, or hands a meta event to the display.
#include "player/player.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

#include "base/console.h"
#include "base/life_cycle.h"
#include "meta/meta.h"
#include "output/ports.h"
#include "player/priority.h"
#include "player/schedule.h"
#include "player/timing.h"
#include "song/division.h"
#include "song/song.h"

namespace {

const uint32_t STARTING_TEMPO = 500000;

// Whether a wait must end early: for a stop, or for a pause.
bool stop_or_pause() { return raised() != RAISED_NOTHING; }

// Takes a pause raised during the playback, moving the rest of the song by
// the time the process was stopped; false when a stop came during the
// pause's silence, the ports being silent already and the run ending. A
// stop raised before the pause was taken is left for the next look.
bool take_pause(Schedule* schedule) {
  if (raised() != RAISED_PAUSE) return true;
  int64_t stopped_ns = pause_run(PHASE_PLAYING);
  if (stopped_ns == PAUSE_ENDED_BY_STOP) return false;
  if (stopped_ns != PAUSE_NOT_TAKEN) shift_schedule(schedule, stopped_ns);
  return true;
}

// Waits until the schedule's current record is due, or a stop, taking the
// pauses on the way; false when a stop came during a pause's silence.
bool wait_for_record(Schedule* schedule) {
  for (;;) {
    int64_t now = wait_until(schedule->due_ns, stop_or_pause);
    if (now != WAIT_ENDED_EARLY) {
      absorb_pause(schedule, now);
      return true;
    }
    if (stop_raised()) return true;
    if (!take_pause(schedule)) return false;
  }
}

// Allocates the converted-text buffer once, before the first record, big
// enough for any text of the song that the display shows, in any terminal
// encoding (the display knows how much conversion can grow a text, and which
// texts it shows); the size is formed in size_t. A song whose longest event
// is a text too long to show, or data of another kind, asks for no more.
bool alloc_text_buffer(uint32_t longest_meta) {
  size_t size = shown_text_buffer_size(longest_meta);
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
    bool ended = false;
    if (record.delta != 0) {
      advance_schedule(&schedule, record.delta);
      ended = !wait_for_record(&schedule);
    } else {
      ended = !take_pause(&schedule);
    }
    if (ended) return PLAY_STOPPED;
    if (stop_raised()) {
      silence_for_stop(PHASE_PLAYING);
      return PLAY_STOPPED;
    }
    if (record.status == 0xFF) {
      play_meta_record(view, record, &schedule);
      continue;
    }
    // Only a write that left bytes behind can have lost the last device.
    if (send_record(view, record) != 0 && !any_port_open()) {
      move_phase(PHASE_PLAYING, PHASE_ENDING);
      return PLAY_DEVICES_LOST;
    }
  }
  return PLAY_ENDED;
}

// The playback itself, between the thread's start and its end. A stop
// raised during the load or the start has moved the run to ending, and the
// playback ends before its first record.
PlayOutcome play() {
  if (run_phase() != PHASE_LOADING) return PLAY_STOPPED;
  SongView view;
  if (!prepare_playback(&view)) {
    move_phase(PHASE_LOADING, PHASE_ENDING);
    return PLAY_FAILED;
  }
  if (!raise_to_real_time()) keep_wake_margin_short();
  PlayOutcome outcome = PLAY_STOPPED;
  if (move_phase(PHASE_LOADING, PHASE_PLAYING)) outcome = play_records(view);
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

// The thread that creates this one holds the run's signals; the player
// takes them while it plays, so that they break its clock sleep.
void* player_thread(void* outcome) {
  sigset_t run_signals = stop_signal_set(true);
  pthread_sigmask(SIG_UNBLOCK, &run_signals, nullptr);
  PlayOutcome result = play();
  if (outcome != nullptr) *static_cast<PlayOutcome*>(outcome) = result;
  return nullptr;
}

// A suspend key pressed during the silence is this pause; one pressed after
// the continue is a pause of its own.
int64_t pause_run(RunPhase from) {
  if (!move_phase(from, PHASE_PAUSING)) return PAUSE_NOT_TAKEN;
  pass_life_point(POINT_PAUSE_SILENCE);
  silence_all_ports();
  return stop_process_for_pause(from);
}

void silence_for_stop(RunPhase from) {
  if (!move_phase(from, PHASE_SILENCING)) return;
  pass_life_point(POINT_STOP_SILENCE);
  silence_all_ports();
  move_phase(PHASE_SILENCING, PHASE_ENDING);
}
