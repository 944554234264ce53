// Playback, player thread: walks the event table and sends each event at its time.
#pragma once

#include "base/life_cycle.h"
#include "song/song.h"

// How a playback ended.
enum PlayOutcome {
  PLAY_ENDED,         // the last record was sent
  PLAY_STOPPED,       // a stop request ended it, before the first record or after any
  PLAY_FAILED,        // the player could not start
  PLAY_DEVICES_LOST,  // every open port's device went away
};

// The thread body: plays the loaded table from the first record to the last,
// or until a stop request is seen; stores how it ended into *outcome, a
// PlayOutcome, when outcome is not null.
void* player_thread(void* outcome);

// The player's set-up before its first record: port 0, no channel prefix,
// the song's snapshot in *view, the text buffer for the longest meta event
// and the starting tempo. False, after its message, without memory.
bool prepare_playback(SongView* view);

// Releases the text buffer that prepare_playback allocated.
void release_text_buffer();

// What pause_run returns when a stop was raised before the pause was taken:
// nothing was done, and the stop is the caller's to take.
constexpr int64_t PAUSE_NOT_TAKEN = -2;

// Takes a pause raised in from (playing, or draining after the last
// record): silences every port, then stops the process until it is
// continued (base/life_cycle.h). The nanoseconds it was stopped for;
// PAUSE_ENDED_BY_STOP, without stopping, when a stop came during the
// silence (the ports are silent then, and the run is ending); or
// PAUSE_NOT_TAKEN.
int64_t pause_run(RunPhase from);

// Takes a stop raised in from (playing or draining): sends All Sound Off on
// every port and moves the run to ending. Does nothing when the run has
// left from already.
void silence_for_stop(RunPhase from);
