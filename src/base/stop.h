// Base, stop and pause: the one state of a run's playback, the one way to
// raise a stop or a pause (from a signal handler or any thread), and the one
// way to ask for them.
//
// Raising is async-signal-safe: a store of the state byte (a stop) or of the
// pause flag, a counter for the stop, and one byte written to the wake-up
// pipe, whose read end stays readable while a stop or an untaken pause is
// raised. Every wait of the program ends on both:
//
//  - the clock wait before each record (the player; the reset delay ahead of
//    the song is one of them): an absolute clock_nanosleep in slices of at
//    most 20 ms, broken by the raising signal itself, which only the player
//    thread receives while it plays; the slice bounds the one case where the
//    signal lands between the last look and the sleep. A clock sleep keeps
//    the timing at the machine's floor, which a poll on the pipe would not.
//  - the wait for room in a full port (the player): poll on the port and the
//    wake-up pipe; a pause sends what is left of the message ahead of the
//    All Sound Off, so the device never gets half a message before it.
//  - the All Sound Off wait (whoever silences: the player, or the main thread
//    after the last record): poll on the ports, two seconds at most for all
//    of them together. It is what a stop and a pause both wait for, so
//    neither cuts it short; a stop raised during a pause's silence ends the
//    run after it, and the process is not stopped.
//  - the console printer: poll on the console and the pipe; a stop leaves it
//    a grace of 300 ms. A pause is not the printer's to take: the process
//    stops around it, and while the pause is untaken it looks again every
//    10 ms instead of waking on the readable pipe over and over.
//  - the main thread's wait for the printer after the last record: poll on
//    the printer's end and the pipe; a stop bounds it, a pause ends it so
//    that the run can silence the ports and stop.
//  - the load loops: the pre-scan, the read and the builder look every
//    65,536 events or reads. A stop ends the load; a pause then stops the
//    process at once in the handler, since no byte has reached a port yet.
//
// Why a pipe: its write is one of the few calls a signal handler may make,
// and its read end can be polled beside a device or the console in the same
// poll, on every POSIX system. signalfd is Linux only and would take the
// signal away from the handler whose delivery breaks the player's clock
// sleep; a condition variable can neither be signalled from a handler nor
// waited on beside a descriptor.
#pragma once

#include <atomic>
#include <cstdint>

// The one-byte player state; a signal handler stores it.
using PlayerState = uint8_t;
enum : PlayerState {
  PLAYER_IDLE = 0,
  PLAYER_STARTING = 1,
  PLAYER_PLAYING = 0x10,
  PLAYER_STOP_REQUESTED = 0x21,
};
static_assert(std::atomic<PlayerState>::is_always_lock_free, "the player state must be storable from a signal handler");

// The state of the run's playback. Written by the main thread (a run's
// start and end), the player thread (its start) and any signal handler (the
// stop); every access is sequentially consistent, so a stop stored by a
// handler is never overwritten by a later step of the player, which moves
// the state on only by compare-and-exchange.
extern std::atomic<PlayerState> player_state;

// What has been raised and not yet dealt with; a stop outranks a pause.
enum Raised { RAISED_NOTHING, RAISED_PAUSE, RAISED_STOP };

// Makes the wake-up pipe on descriptors above 2 (both ends non-blocking and
// closed on exec); it then lives as long as the process, so no thread ever
// polls a closed or reused descriptor. False, errno telling why, when it
// cannot be made.
bool open_stop_pipe();

// Asks every wait to end and the run to stop; async-signal-safe.
void raise_stop();

// Asks for a pause; async-signal-safe. While a song plays (the state is
// playing) a thread takes it and silences the ports first; while nothing
// has been sent the process stops at once, and while a stop is under way
// the pause is ignored, since the run is ending.
void raise_pause();

// What has been raised: RAISED_STOP once a stop was, RAISED_PAUSE while a
// pause waits to be taken, RAISED_NOTHING otherwise.
Raised raised();

// Whether a stop has been raised.
bool stop_raised();

// How many stops have been raised: a write compares it before and after,
// so that only a stop that arrives during the write cuts it short.
unsigned stops_raised();

// The read end to poll for POLLIN; -1 before open_stop_pipe.
int stop_pipe_fd();

// Marks the pause taken: the next raise_pause is a new pause. The pipe is
// emptied of the pause's bytes but stays readable when a stop was raised.
void end_pause();

// Puts the state, the counter and the pause back to their start and empties
// the pipe (between tests); the pipe stays open.
void reset_stop();
