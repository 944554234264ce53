// The one budget of both outputs: how many messages a module's next block
// takes, judged against a real module of the library with a General MIDI
// SoundFont, so that what a message costs follows the voices it reaches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/sound/fluid_module.h"
#include "monitor/sound/soundfont.h"
#include "support/support.h"

namespace {

constexpr int BLOCK = 64;

// A module of its own, with the SoundFont loaded and nothing sounding.
struct Module {
  FluidModule module;
  bool ready = false;
  Module() {
    std::string font = find_soundfont(default_soundfonts());
    if (font.empty()) return;
    MonitorOptions options;
    ready = make_module_settings(module, options) && make_module_synth(module) &&
            fluid_synth_sfload(module.synth, font.c_str(), 1) != FLUID_FAILED;
  }
  ~Module() { free_module(module); }

  // Asks for a message and plays it when admitted.
  Admission offer(const Bytes& message) {
    Admission admission = module_admit(module, PLAY_MESSAGE, message.data(), message.size());
    if (admission == ADMIT) play_message(module, message.data(), message.size());
    return admission;
  }
  // Renders one block, as both outputs do between their blocks.
  void render_block() {
    float left[BLOCK], right[BLOCK];
    fluid_synth_write_float(module.synth, BLOCK, left, 0, 1, right, 0, 1);
    module.frames += BLOCK;
  }
};

Bytes note_on(int channel, int key) { return {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(key), 100}; }
Bytes note_off(int channel, int key) { return {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(key), 0}; }

// How many of count note-ons on distinct keys one block admits.
int note_ons_admitted(Module& m, int count) {
  int admitted = 0;
  for (int i = 0; i < count; ++i) admitted += m.offer(note_on(i % 16 == 9 ? 0 : i % 16, 24 + i % 80)) == ADMIT;
  return admitted;
}

#define SKIP_WITHOUT_SOUNDFONT(m) \
  if (!(m).ready) GTEST_SKIP() << "no SoundFont installed (timgm6mb-soundfont)"

// A dense song's note-offs reach one note's voices each: they must not crowd
// out the note-ons of the same block, however many voices sound, as a cost
// counted for every voice the module could hold (512 events), or for every
// voice that sounds, did.
TEST(MonitorBudget, ANoteOffCostsOneNotesVoices) {
  Module m;
  SKIP_WITHOUT_SOUNDFONT(m);
  for (int key = 0; key < 120; ++key) {
    ASSERT_EQ(m.offer(note_on(key % 8, key)), ADMIT);
    m.render_block();
  }
  m.render_block();
  ASSERT_GT(fluid_synth_get_active_voice_count(m.module.synth), 100);
  for (int key = 0; key < 120; ++key) EXPECT_EQ(m.offer(note_off(key % 8, key)), ADMIT) << "note-off of key " << key;
  EXPECT_EQ(note_ons_admitted(m, 40), 40) << "the note-offs crowded out the note-ons of their block";
}

// What a block takes at most: a burst of note-ons is cut at three quarters
// of the library's queue (the rest is kept for what ends sounds); whatever
// ends a sound is never dropped but waits for the next block when the
// block cannot take it; and the next block takes more.
TEST(MonitorBudget, ABurstIsCutAndWhatEndsASoundWaitsABlock) {
  Module m;
  SKIP_WITHOUT_SOUNDFONT(m);
  int queue = fluid_synth_get_polyphony(m.module.synth) * 64;
  int share = (queue - queue / 4) / 100;  // a note-on costs 100 events
  EXPECT_EQ(note_ons_admitted(m, 1000), share);
  // The reserve takes an All Sound Off that reaches the voices just started.
  EXPECT_EQ(m.offer({0xB0, 0x78, 0x00}), ADMIT) << "the reserve left no room for an All Sound Off";
  // A controller reaching the sounding voices of channel 1 fills the rest
  // of the block; the next is never dropped, it waits, and the next block takes it.
  Bytes volume = {0xB1, 0x07, 90};
  int admitted = 0;
  Admission last = ADMIT;
  while (admitted < 10000 && (last = m.offer(volume)) == ADMIT) ++admitted;
  EXPECT_EQ(last, AFTER_A_BLOCK) << "admitted " << admitted << " controllers in one block";
  m.render_block();
  EXPECT_EQ(m.offer(volume), ADMIT);
  // A port's silence reaches every voice, and a fresh block takes it.
  m.render_block();
  EXPECT_EQ(module_admit(m.module, SILENCE_PORT, nullptr, 0), ADMIT);
}

}  // namespace
