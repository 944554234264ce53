// One port's General MIDI module: a SoundFont synthesizer of the library
// with sixteen channels, its drums on channel 10, taking the GM, GS and XG
// resets whatever their device ID. Each port has a module of its own, so
// that a reset or a system exclusive message acts on its own port alone.
#pragma once

#include <fluidsynth.h>
#include <string>

#include "monitor/options.h"
#include "monitor/sound/synth_queue.h"

// What the library needs kept for one synthesizer, and whether it renders.
struct FluidModule {
  fluid_settings_t* settings = nullptr;
  fluid_synth_t* synth = nullptr;
  // A module that sleeps has no voice and no echo left: it is not rendered
  // until a message wakes it.
  bool awake = false;
  int quiet_frames = 0;  // frames in a row rendered with no voice and no sound
  int64_t frames = 0;    // frames rendered so far: the library's next block follows from it
  // What the library's queue took for the block it renders next.
  int64_t budget_block = -1;
  int budget_spent = 0;  // events, as module_admit counts them
};

// What module_admit says of a message.
enum Admission {
  ADMIT,          // play it now
  DROP,           // a note-on beyond what the block takes: drop and count it
  AFTER_A_BLOCK,  // render a block first, then ask again
};

// Routes the library's messages into a store instead of the terminal, so
// that a failure is said in the monitor's own line. Call once, first.
void capture_library_messages();

// The library's latest error message, or an empty text.
std::string last_library_error();

// Makes the settings of a module at 44.1 kHz with the output level and the
// effects that options choose. False after one line.
bool make_module_settings(FluidModule& module, const MonitorOptions& options);

// Makes the synthesizer from the settings. False after one line; the caller
// frees the module either way.
bool make_module_synth(FluidModule& module);

// Frees what the module holds.
void free_module(FluidModule& module);

// Whether the library can take the message before it renders its next
// block, the one rule of both outputs. The library queues what a message
// does to its voices until that block and loses what overflows the queue,
// All Sound Off included; a note-on beyond its share is dropped, since in
// a burst that dense the notes could not all sound anyway, and anything
// else waits a block, so that what ends a sound is never lost. Counts what
// it admits.
Admission module_admit(FluidModule& module, StampedAction action, const uint8_t* bytes, size_t length);

// Plays one whole message on the module: channel messages on its sixteen
// channels, system exclusive messages as they are except that a reset's
// device ID is made one the library takes. System common and real-time
// messages are left out. Wakes the module. Allocates nothing.
void play_message(FluidModule& module, const uint8_t* bytes, size_t length);

// Ends every sound of the module at once and lifts its pedals, as when the
// module's writer is gone; programs and controllers stay.
void silence_module(FluidModule& module);
