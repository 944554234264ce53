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
// for before the first record ends the playback before it. Only loads and
// stores of atomics, so a signal handler may call it.
void request_stop();

// Whether a stop has been asked for.
bool stop_requested();

// The suspend key (SIGTSTP): while a song plays, the player silences every
// port at its next look, stops the process, and once continued plays on
// from where it was, every later record moved by the time it was stopped.
// Otherwise the process stops at once. Async-signal-safe.
void request_pause();

// Forgets a pause asked for and not yet taken (between tests).
void reset_pause_request();
