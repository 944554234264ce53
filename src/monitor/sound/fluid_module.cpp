// A SoundFont synthesizer as one port's General MIDI module.
#include "monitor/sound/fluid_module.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "monitor/constants.h"

namespace {

constexpr int PORT_CHANNELS = 16;
// The device ID of a Roland or Yamaha module as shipped (device 17, or XG
// device 1), so that parameter messages addressed as files usually address
// them reach the library.
constexpr int MODULE_DEVICE_ID = 0x10;
// The library takes a reset addressed to all devices whatever its own ID.
constexpr uint8_t ALL_DEVICES = 0x7F;
// The library's block, in frames: what a message does waits for the next.
constexpr int64_t LIBRARY_BLOCK = 64;
// The library sizes each synthesizer's event queue as its polyphony times
// this, "a new voice takes about 50 spaces in the queue".
constexpr int QUEUE_EVENTS_PER_VOICE = 64;
constexpr int EVENTS_PER_NEW_VOICE = 50;
// A note-on of a General MIDI SoundFont starts up to two voices (a stereo
// pair of samples).
constexpr int VOICES_PER_NOTE = 2;
constexpr int NOTE_ON_EVENTS = VOICES_PER_NOTE * EVENTS_PER_NEW_VOICE;
// Anything else touches each voice it reaches at most twice (a
// controller's modulators, a pedal's release, All Sound Off); a port's
// silence does it three times (both pedals and All Sound Off). A note's own
// messages (note-off, key pressure) reach the voices of that key that have
// not been released, and the library releases a key's voices when the key
// is struck again: one note's voices. The rest reach at most every voice
// that sounds (a voice the library starts counts as sounding at once).
constexpr int OTHER_EVENTS_PER_VOICE = 2;
constexpr int SILENCE_EVENTS_PER_VOICE = 3;
// Note-ons leave this share of a block's queue to what ends sounds: sixteen
// channels' All Sound Off and more.
constexpr int RESERVE_SHARE = 4;

std::mutex error_lock;
std::string last_error;

// Keeps the library's errors for the monitor's own line; drops the rest.
void store_library_message(int level, const char* message, void*) {
  if (level > FLUID_ERR) return;
  std::lock_guard<std::mutex> guard(error_lock);
  last_error = message;
}

// Plays a control change. All Sound Off and All Notes Off act on their
// channel whatever mode messages did before: the library leaves a channel
// outside its basic channel's group deaf to controllers, notes still
// sounding there included, where a module always obeys them.
void play_controller(fluid_synth_t* synth, int channel, int controller, int value) {
  if (controller == CC_ALL_SOUND_OFF) fluid_synth_all_sounds_off(synth, channel);
  else if (controller == CC_ALL_NOTES_OFF) fluid_synth_all_notes_off(synth, channel);
  else fluid_synth_cc(synth, channel, controller, value);
}

// Plays a channel message on the module's channel.
void play_channel_message(fluid_synth_t* synth, const uint8_t* bytes, size_t length) {
  int channel = bytes[0] & 0x0F;
  int first = bytes[1];
  int second = length > 2 ? bytes[2] : 0;
  switch (bytes[0] & 0xF0) {
    case 0x80: fluid_synth_noteoff(synth, channel, first); break;
    case 0x90: fluid_synth_noteon(synth, channel, first, second); break;  // velocity 0 is a note off
    case 0xA0: fluid_synth_key_pressure(synth, channel, first, second); break;
    case 0xB0: play_controller(synth, channel, first, second); break;
    case 0xC0: fluid_synth_program_change(synth, channel, first); break;
    case 0xD0: fluid_synth_channel_pressure(synth, channel, first); break;
    case 0xE0: fluid_synth_pitch_bend(synth, channel, (second << 7) | first); break;
  }
}

// Hands a whole system exclusive message to the library, without its F0 and
// F7. A GM, GS or XG reset is addressed to all devices, since the library
// ignores a GS or XG reset whose device ID is not its own, and files and the
// player use several. A reset ends every sound of the module.
void play_sysex(fluid_synth_t* synth, const uint8_t* bytes, size_t length) {
  if (length < 3 || length > SYSEX_PIECE_LIMIT || bytes[length - 1] != 0xF7) return;
  // On the stack: the live output's callback never allocates.
  char body[SYSEX_PIECE_LIMIT];
  std::memcpy(body, bytes + 1, length - 2);
  bool reset = *sysex_name(bytes, length) != '\0';
  if (reset) body[1] = static_cast<char>(ALL_DEVICES);
  fluid_synth_sysex(synth, body, static_cast<int>(length - 2), nullptr, nullptr, nullptr, 0);
  // The library's reset ends its voices and then releases them again, which
  // lets them ring on for a while; a module's initialisation ends them at once.
  if (reset) fluid_synth_all_sounds_off(synth, -1);
}

}  // namespace

void capture_library_messages() {
  for (int level = 0; level < LAST_LOG_LEVEL; ++level) fluid_set_log_function(level, store_library_message, nullptr);
}

std::string last_library_error() {
  std::lock_guard<std::mutex> guard(error_lock);
  return last_error;
}

bool make_module_settings(FluidModule& module, const MonitorOptions& options) {
  module.settings = new_fluid_settings();
  if (module.settings == nullptr) {
    std::fputs("songrelay-monitor: cannot set up the synthesizer\n", stderr);
    return false;
  }
  fluid_settings_setnum(module.settings, "synth.sample-rate", SAMPLE_RATE);
  fluid_settings_setnum(module.settings, "synth.gain", options.gain);
  fluid_settings_setint(module.settings, "synth.reverb.active", options.reverb ? 1 : 0);
  fluid_settings_setint(module.settings, "synth.chorus.active", options.chorus ? 1 : 0);
  fluid_settings_setint(module.settings, "synth.midi-channels", PORT_CHANNELS);
  fluid_settings_setint(module.settings, "synth.device-id", MODULE_DEVICE_ID);
  // Every call comes from the one thread that also renders the module.
  fluid_settings_setint(module.settings, "synth.threadsafe-api", 0);
  return true;
}

bool make_module_synth(FluidModule& module) {
  module.synth = new_fluid_synth(module.settings);
  if (module.synth == nullptr) {
    std::fprintf(stderr, "songrelay-monitor: cannot start the synthesizer (%s)\n", last_library_error().c_str());
    return false;
  }
  return true;
}

void free_module(FluidModule& module) {
  if (module.synth != nullptr) delete_fluid_synth(module.synth);
  if (module.settings != nullptr) delete_fluid_settings(module.settings);
  module.synth = nullptr;
  module.settings = nullptr;
}

Admission module_admit(FluidModule& module, StampedAction action, const uint8_t* bytes, size_t length) {
  int64_t block = (module.frames + LIBRARY_BLOCK - 1) / LIBRARY_BLOCK;
  if (block != module.budget_block) {
    module.budget_block = block;
    module.budget_spent = 0;
  }
  int queue = fluid_synth_get_polyphony(module.synth) * QUEUE_EVENTS_PER_VOICE;
  bool note_on = action == PLAY_MESSAGE && is_note_on(bytes, length);
  int per_voice = action == SILENCE_PORT ? SILENCE_EVENTS_PER_VOICE : OTHER_EVENTS_PER_VOICE;
  int status = action == PLAY_MESSAGE && length > 0 ? bytes[0] & 0xF0 : 0;
  bool one_note = status == 0x80 || status == 0x90 || status == 0xA0;
  int reached = one_note ? VOICES_PER_NOTE : fluid_synth_get_active_voice_count(module.synth);
  int cost = note_on ? NOTE_ON_EVENTS : std::max(1, per_voice * reached);
  int limit = note_on ? queue - queue / RESERVE_SHARE : queue;
  // A block takes any one message; the budget bounds what comes beside it.
  if (module.budget_spent > 0 && module.budget_spent + cost > limit) return note_on ? DROP : AFTER_A_BLOCK;
  module.budget_spent += cost;
  return ADMIT;
}

void play_message(FluidModule& module, const uint8_t* bytes, size_t length) {
  if (length == 0) return;
  if (bytes[0] < 0xF0 && length >= 2) play_channel_message(module.synth, bytes, length);
  else if (bytes[0] == 0xF0) play_sysex(module.synth, bytes, length);
  else return;
  module.awake = true;
  module.quiet_frames = 0;
}

void silence_module(FluidModule& module) {
  for (int channel = 0; channel < PORT_CHANNELS; ++channel) {
    fluid_synth_cc(module.synth, channel, CC_SUSTAIN, 0);
    fluid_synth_cc(module.synth, channel, CC_SOSTENUTO, 0);
  }
  fluid_synth_all_sounds_off(module.synth, -1);
  module.awake = true;
  module.quiet_frames = 0;
}
