// A SoundFont synthesizer as a General MIDI module.
#include "fluid_module.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr int PORT_CHANNELS = 16;
constexpr int MODULE_CHANNELS = 4 * PORT_CHANNELS;
constexpr int DRUM_CHANNEL = 9;  // channel 10
// The device ID of a Roland or Yamaha module as shipped (device 17, or XG
// device 1), so that parameter messages addressed as files usually address
// them reach the library.
constexpr int MODULE_DEVICE_ID = 0x10;
// The library takes a reset addressed to all devices whatever its own ID.
constexpr uint8_t ALL_DEVICES = 0x7F;

std::mutex error_lock;
std::string last_error;

// Keeps the library's errors for the monitor's own line; drops the rest.
void store_library_message(int level, const char* message, void*) {
  if (level > FLUID_ERR) return;
  std::lock_guard<std::mutex> guard(error_lock);
  last_error = message;
}

// Makes channel 10 of ports 1 to 3 drum channels too, as channel 10 of port 0
// is by the library's own default; a reset makes them melodic again.
void set_drum_channels(fluid_synth_t* synth) {
  for (int port = 1; port < 4; ++port) {
    int channel = port * PORT_CHANNELS + DRUM_CHANNEL;
    fluid_synth_set_channel_type(synth, channel, CHANNEL_TYPE_DRUM);
    fluid_synth_program_change(synth, channel, 0);
  }
}

// Plays a channel message on the synthesizer channel of its port.
void play_channel_message(fluid_synth_t* synth, int port, const std::vector<uint8_t>& bytes) {
  int channel = port * PORT_CHANNELS + (bytes[0] & 0x0F);
  int first = bytes[1];
  int second = bytes.size() > 2 ? bytes[2] : 0;
  switch (bytes[0] & 0xF0) {
    case 0x80: fluid_synth_noteoff(synth, channel, first); break;
    case 0x90: fluid_synth_noteon(synth, channel, first, second); break;  // velocity 0 is a note off
    case 0xA0: fluid_synth_key_pressure(synth, channel, first, second); break;
    case 0xB0: fluid_synth_cc(synth, channel, first, second); break;
    case 0xC0: fluid_synth_program_change(synth, channel, first); break;
    case 0xD0: fluid_synth_channel_pressure(synth, channel, first); break;
    case 0xE0: fluid_synth_pitch_bend(synth, channel, (second << 7) | first); break;
  }
}

// Hands a whole system exclusive message to the library, without its F0 and
// F7. A GM, GS or XG reset is addressed to all devices, since the library
// ignores a GS or XG reset whose device ID is not its own, and files and the
// player use several; after it the extra drum channels are set again.
void play_sysex(fluid_synth_t* synth, const std::vector<uint8_t>& bytes) {
  if (bytes.size() < 3 || bytes.back() != 0xF7) return;
  std::vector<uint8_t> body(bytes.begin() + 1, bytes.end() - 1);
  bool reset = *sysex_name(bytes) != '\0';
  if (reset) body[1] = ALL_DEVICES;
  fluid_synth_sysex(synth, reinterpret_cast<const char*>(body.data()), static_cast<int>(body.size()), nullptr, nullptr,
                    nullptr, 0);
  if (reset) set_drum_channels(synth);
}

}  // namespace

void capture_library_messages() {
  for (int level = 0; level < LAST_LOG_LEVEL; ++level) fluid_set_log_function(level, store_library_message, nullptr);
}

std::string last_library_error() {
  std::lock_guard<std::mutex> guard(error_lock);
  return last_error;
}

bool make_module_settings(FluidModule& module, bool threadsafe) {
  module.settings = new_fluid_settings();
  if (module.settings == nullptr) {
    std::fputs("songrelay-monitor: cannot set up the synthesizer\n", stderr);
    return false;
  }
  fluid_settings_setnum(module.settings, "synth.sample-rate", 44100.0);
  fluid_settings_setint(module.settings, "synth.midi-channels", MODULE_CHANNELS);
  fluid_settings_setint(module.settings, "synth.device-id", MODULE_DEVICE_ID);
  fluid_settings_setint(module.settings, "synth.threadsafe-api", threadsafe ? 1 : 0);
  return true;
}

bool make_module_synth(FluidModule& module, const std::string& soundfont) {
  module.synth = new_fluid_synth(module.settings);
  if (module.synth == nullptr) {
    std::fprintf(stderr, "songrelay-monitor: cannot start the synthesizer (%s)\n", last_library_error().c_str());
    return false;
  }
  if (fluid_synth_sfload(module.synth, soundfont.c_str(), 1) == FLUID_FAILED) {
    std::fprintf(stderr, "songrelay-monitor: cannot load the SoundFont %s (%s)\n", soundfont.c_str(),
                 last_library_error().c_str());
    return false;
  }
  set_drum_channels(module.synth);
  return true;
}

void free_module(FluidModule& module) {
  if (module.synth != nullptr) delete_fluid_synth(module.synth);
  if (module.settings != nullptr) delete_fluid_settings(module.settings);
  module.synth = nullptr;
  module.settings = nullptr;
}

void play_message(FluidModule& module, const StampedMessage& item) {
  const DecodedMessage& message = item.message;
  if (message.kind != MSG_COMPLETE && message.kind != MSG_RUNNING) return;
  const std::vector<uint8_t>& bytes = message.bytes;
  if (bytes.empty()) return;
  if (bytes[0] < 0xF0 && bytes.size() >= 2) play_channel_message(module.synth, item.port, bytes);
  else if (bytes[0] == 0xF0) play_sysex(module.synth, bytes);
}
