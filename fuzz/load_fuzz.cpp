// Fuzz target: the whole loading pipeline over one image held in memory, once
// with the automatic reset and once without, checking what the load leaves.
#include <cstddef>
#include <cstdint>

#include "app/settings.h"
#include "song/loader.h"
#include "song/song.h"

namespace {

// Stops the run, so the fuzzer keeps the input, when the load broke a promise.
void require(bool condition) {
  if (!condition) __builtin_trap();
}

// The records that use the data buffer lie in it back to back, and each
// channel record is as long as its status says.
void check_table() {
  uint32_t offset = 0;
  for (uint32_t i = 0; i < playback_info.event_count; ++i) {
    const EventRecord& r = song_data.events[i];
    if (r.status == 0xF0 || r.status == 0xF7 || r.status == 0xFF) {
      require(r.data_offset == offset);
      offset += r.length;
    } else if (r.status >= 0x80) {
      require(r.length == ((r.status & 0xE0) == 0xC0 ? 2u : 3u));
    } else {
      require(r.status == 0 && r.length == 0);
    }
  }
}

void load_once(const uint8_t* image, size_t size, OptionFlags options) {
  option_flags = options;
  int result = parse_midi_image(image, size);
  require(song_data.tracks == nullptr);
  if (result == 0) {
    require(song_data.events != nullptr && song_data.data != nullptr);
    check_table();
  } else {
    require(song_data.events == nullptr && song_data.data == nullptr);
  }
  reset_song_state();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* image, size_t size) {
  load_once(image, size, 0);
  load_once(image, size, OPT_NO_RESET | OPT_VERBOSE);
  return 0;
}
