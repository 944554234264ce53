// The four modules of one output, one per port, mixed into one stereo sound.
// They share one loaded SoundFont; a module with nothing left to sound
// sleeps and costs nothing until a message wakes it.
#pragma once

#include <string>
#include <vector>

#include "monitor/sound/fluid_module.h"

constexpr int BANK_PORTS = 4;
// The longest render the bank's buffers are made for at the start: the
// longest live period.
constexpr int BANK_RENDER_FRAMES = 8192;

// The modules of one output; rendered by one thread only.
struct ModuleBank {
  FluidModule modules[BANK_PORTS];
  int soundfont_id = -1;  // in modules[0], which owns the SoundFont
  fluid_sfont_t* soundfont = nullptr;
  std::vector<float> left;  // one module's part of a render, before mixing
  std::vector<float> right;
};

// Makes the four modules with the level and effects that options choose and
// loads the SoundFont once for all of them. False after one line; the caller frees the bank
// either way.
bool make_bank(ModuleBank& bank, const std::string& soundfont, const MonitorOptions& options);

// Frees the modules and the SoundFont.
void free_bank(ModuleBank& bank);

// Whether port's module takes the message before its next block (see
// module_admit); a port out of range drops it.
Admission bank_admit(ModuleBank& bank, int port, StampedAction action, const uint8_t* bytes, size_t length);

// Plays one whole message on its port's module, or silences that module
// when action says the port's writer is gone. Allocates nothing.
void bank_play(ModuleBank& bank, int port, StampedAction action, const uint8_t* bytes, size_t length);

// Renders frames of every awake module and adds them into left and right.
// Up to BANK_RENDER_FRAMES at a time it allocates nothing.
void bank_render(ModuleBank& bank, int frames, float* left, float* right);

// Whether every module sleeps: nothing sounds, nothing echoes.
bool bank_asleep(const ModuleBank& bank);

// The number of presets of the loaded SoundFont.
int bank_preset_count(const ModuleBank& bank);
