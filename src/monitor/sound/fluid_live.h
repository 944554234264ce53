// The live output: four modules that the library's audio driver renders
// through a callback of ours, in blocks of the library's 64 frames, each
// message played before the block in which its arrival stamp, plus one
// constant latency, falls. The reader hands messages over through a ring,
// so that the callback never takes a lock, waits or allocates. For the
// pulseaudio driver the monitor feeds a stream of its own instead (see
// pulse_stream.h), whose server says when each chunk will sound.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "monitor/options.h"
#include "monitor/sound/fluid_bank.h"
#include "monitor/sound/pulse_stream.h"
#include "monitor/sound/stream_clock.h"
#include "monitor/sound/synth_ring.h"

// Everything the live output keeps; one per process (the ring makes it
// large, so it lives in static storage).
struct LiveOutput {
  bool on = false;
  ModuleBank bank;
  fluid_settings_t* driver_settings = nullptr;
  fluid_audio_driver_t* driver = nullptr;
  std::string driver_name;
  // The pulseaudio driver's own stream, where the monitor has one: its
  // chunks are placed by the server's word on when they sound.
  bool own_stream = false;
  PulseStream pulse;
  SynthRing ring;
  // The callback's own, from the driver's start to its end.
  StreamClock clock;
  // From a message's arrival to its frame leaving the monitor, or, through
  // the own stream, to its frame sounding; set before the start.
  int64_t latency_ns = 0;
  uint8_t sysex[SYNTH_RING_SYSEX] = {};  // a long exclusive joined from its pieces
  bool silence_due[BANK_PORTS] = {};     // a port's silence the library has not taken yet
  uint64_t unplayed = 0;                 // note-ons the library could not take; read after the end
  // The doorbell of a callback that waits while all is silent: the reader
  // writes a byte when it finds waiting set. The callback sets waiting
  // before it looks at the ring a last time, the reader puts its item
  // before it looks at waiting, all four sequentially consistent, so that
  // one of them always sees the other. The reader clears it by exchange,
  // so that one byte rings per wait.
  // Callbacks so far, counted up to the few that show the stream running:
  // written by the callback alone, read by the thread that starts the
  // output; a count seen late only makes the start look again.
  std::atomic<int> callbacks{0};
  bool may_wait = false;  // the driver's thread is ours to hold while silent
  int64_t silent_ns = 0;  // how long all has been silent; the callback's own
  int bell[2] = {-1, -1};
  std::atomic<bool> waiting{false};
};

// Opens the audio output through the named or default driver, asking for
// real-time priority for its thread, and waits (a few seconds at most, or
// until a stop) until the output takes sound at its pace, so that what
// comes after the monitor says it is ready is heard in time. False after
// one line.
bool live_start(LiveOutput& live, const MonitorOptions& options, const std::string& soundfont);

// Hands one whole message (or a writer gone) to the callback; never waits.
void live_put(LiveOutput& live, int port, int64_t arrival_ns, StampedAction action, const uint8_t* bytes,
              size_t length);

// The header's line naming the output and its latency.
std::string live_line(const LiveOutput& live);

// Ends the output, if it plays, and says what it could not play.
void live_stop(LiveOutput& live);

// Frees what the output holds.
void live_free(LiveOutput& live);
