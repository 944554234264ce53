// Four modules sharing one SoundFont, rendered into one mix.
#include "monitor/sound/fluid_bank.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "monitor/constants.h"

namespace {

// A module whose voices have ended and whose echo has stayed below this
// level (a fraction of full scale, under half a step of a 16-bit sample)
// for SLEEP_FRAMES goes to sleep.
constexpr float SILENT_LEVEL = 1.0e-5f;
constexpr int SLEEP_FRAMES = SAMPLE_RATE / 10;  // 100 ms

// The largest absolute sample of a stretch.
float peak_of(const float* samples, int frames) {
  float peak = 0;
  for (int i = 0; i < frames; ++i) peak = std::fmax(peak, std::fabs(samples[i]));
  return peak;
}

// Renders one awake module into the bank's own buffers, adds them to the
// mix, and lets the module sleep once nothing of it has sounded for a while.
void render_module(ModuleBank& bank, FluidModule& module, int frames, float* left, float* right) {
  float* own_left = bank.left.data();
  float* own_right = bank.right.data();
  std::fill(own_left, own_left + frames, 0.0f);
  std::fill(own_right, own_right + frames, 0.0f);
  // The effects' outputs go into the same two buffers as the dry sound:
  // reverb left and right, then chorus left and right.
  float* dry[2] = {own_left, own_right};
  float* effects[4] = {own_left, own_right, own_left, own_right};
  fluid_synth_process(module.synth, frames, 4, effects, 2, dry);
  for (int i = 0; i < frames; ++i) {
    left[i] += own_left[i];
    right[i] += own_right[i];
  }
  bool silent = fluid_synth_get_active_voice_count(module.synth) == 0 &&
                std::fmax(peak_of(own_left, frames), peak_of(own_right, frames)) < SILENT_LEVEL;
  module.frames += frames;
  module.quiet_frames = silent ? module.quiet_frames + frames : 0;
  if (module.quiet_frames >= SLEEP_FRAMES) module.awake = false;
}

}  // namespace

bool make_bank(ModuleBank& bank, const std::string& soundfont, const MonitorOptions& options) {
  bank.left.resize(BANK_RENDER_FRAMES);
  bank.right.resize(BANK_RENDER_FRAMES);
  for (FluidModule& module : bank.modules)
    if (!make_module_settings(module, options) || !make_module_synth(module)) return false;
  FluidModule& owner = bank.modules[0];
  bank.soundfont_id = fluid_synth_sfload(owner.synth, soundfont.c_str(), 1);
  if (bank.soundfont_id == FLUID_FAILED) {
    std::fprintf(stderr, "songrelay-monitor: cannot load the SoundFont %s (%s)\n", soundfont.c_str(),
                 last_library_error().c_str());
    return false;
  }
  // The same loaded SoundFont serves the other three: one copy in memory.
  bank.soundfont = fluid_synth_get_sfont_by_id(owner.synth, bank.soundfont_id);
  for (int port = 1; port < BANK_PORTS; ++port) {
    if (fluid_synth_add_sfont(bank.modules[port].synth, bank.soundfont) == FLUID_FAILED) {
      std::fprintf(stderr, "songrelay-monitor: cannot share the SoundFont %s (%s)\n", soundfont.c_str(),
                   last_library_error().c_str());
      return false;
    }
  }
  return true;
}

void free_bank(ModuleBank& bank) {
  // Only the owner deletes the SoundFont: the others let go of it first.
  for (int port = BANK_PORTS - 1; port >= 0; --port) {
    FluidModule& module = bank.modules[port];
    if (port > 0 && module.synth != nullptr && bank.soundfont != nullptr)
      fluid_synth_remove_sfont(module.synth, bank.soundfont);
    free_module(module);
  }
  bank.soundfont = nullptr;
  bank.soundfont_id = -1;
}

Admission bank_admit(ModuleBank& bank, int port, StampedAction action, const uint8_t* bytes, size_t length) {
  if (port < 0 || port >= BANK_PORTS) return DROP;
  return module_admit(bank.modules[port], action, bytes, length);
}

void bank_play(ModuleBank& bank, int port, StampedAction action, const uint8_t* bytes, size_t length) {
  if (port < 0 || port >= BANK_PORTS) return;
  FluidModule& module = bank.modules[port];
  if (action == SILENCE_PORT) silence_module(module);
  else play_message(module, bytes, length);
}

void bank_render(ModuleBank& bank, int frames, float* left, float* right) {
  if (bank.left.size() < static_cast<size_t>(frames)) {
    bank.left.resize(static_cast<size_t>(frames));
    bank.right.resize(static_cast<size_t>(frames));
  }
  for (FluidModule& module : bank.modules)
    if (module.awake) render_module(bank, module, frames, left, right);
}

bool bank_asleep(const ModuleBank& bank) {
  for (const FluidModule& module : bank.modules)
    if (module.awake) return false;
  return true;
}

int bank_preset_count(const ModuleBank& bank) {
  if (bank.soundfont == nullptr) return 0;
  int count = 0;
  fluid_sfont_iteration_start(bank.soundfont);
  while (fluid_sfont_iteration_next(bank.soundfont) != nullptr) ++count;
  return count;
}
