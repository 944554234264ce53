// One SoundFont synthesizer of the library, set up as a 64-channel General
// MIDI module: four ports of sixteen channels, channel 10 of each a drum
// channel, and the GM, GS and XG resets taken whatever their device ID.
#pragma once

#include <fluidsynth.h>
#include <string>

#include "synth_queue.h"

// What the library needs kept for one synthesizer.
struct FluidModule {
  fluid_settings_t* settings = nullptr;
  fluid_synth_t* synth = nullptr;
};

// Routes the library's messages into a store instead of the terminal, so
// that a failure is said in the monitor's own line. Call once, first.
void capture_library_messages();

// The library's latest error message, or an empty text.
std::string last_library_error();

// Makes the settings of a module at 44.1 kHz; threadsafe for a module that
// an audio driver's thread also renders. False after one line.
bool make_module_settings(FluidModule& module, bool threadsafe);

// Makes the synthesizer from the settings and loads the SoundFont. False
// after one line; the caller frees the module either way.
bool make_module_synth(FluidModule& module, const std::string& soundfont);

// Frees what the module holds.
void free_module(FluidModule& module);

// Plays one stamped message: channel messages on their port's channels,
// system exclusive messages as they are except that a reset's device ID is
// made one the library takes. Fragments, stray bytes and system common and
// real-time messages are left out.
void play_message(FluidModule& module, const StampedMessage& item);
