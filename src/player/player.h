// Playback, player thread: walks the event table and sends each event at its time.
#pragma once

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

// Asks the player to silence the ports and end, wherever it is: a stop asked
// for before the first record ends the playback before it. Async-signal-safe
// (it raises the stop of base/stop.h).
void request_stop();

// Whether a stop has been asked for.
bool stop_requested();

// The suspend key (SIGTSTP): while a song plays, the player (or, after the
// last record, the run) silences every port at its next look, stops the
// process, and once continued plays on from where it was, every later
// record moved by the time it was stopped. Before anything was sent the
// process stops at once. Async-signal-safe (it raises the pause of
// base/stop.h).
void request_pause();

// What suspend_for_pause returns when a stop came during the silence.
constexpr int64_t SUSPEND_STOPPED = -1;

// Takes a raised pause: silences every port, then stops the process until
// it is continued; the nanoseconds it was stopped for, or SUSPEND_STOPPED,
// without stopping, when a stop was raised meanwhile (the ports are silent
// then, and the run ends).
int64_t suspend_for_pause();
