// Fuzz target: the whole loading pipeline over one image held in memory, with
// and without the automatic reset, checking what the load leaves; and the
// same steps taken one by one, to check that the builder ended every track
// within what the pre-scan counted.
#include <cstddef>
#include <cstdint>

#include "song/builder.h"
#include "song/loader.h"
#include "song/options.h"
#include "song/song.h"
#include "support/song_checks.h"

namespace {

// Stops the run, so the fuzzer keeps the input, when the load broke a promise.
void require(bool condition) {
  if (!condition) __builtin_trap();
}

void load_whole(const uint8_t* image, size_t size, OptionFlags options) {
  option_flags = options;
  int result = parse_midi_image(image, size);
  require(song_data.tracks == nullptr);
  if (result == 0) {
    require(song_data.events != nullptr && song_data.data != nullptr);
    require(table_fault().empty());
  } else {
    require(song_data.events == nullptr && song_data.data == nullptr);
  }
  reset_song_state();
}

// The builder's guards never fire when the two walks agree: then every track
// has ended when the build returns, and the bytes fit the pre-scan's count.
void load_step_by_step(const uint8_t* image, size_t size) {
  option_flags = 0;
  ScannedSong song;
  if (index_and_prescan(image, size, &song)) {
    require(alloc_event_table(song.event_count) == 0 && alloc_data_buffer(song.data_size + 1, song.longest_meta) == 0);
    require(build_event_table(song.flags, song.data_size) == 0);
    for (int i = 0; i < song_data.track_count; ++i) require(song_data.tracks[i].cursor == nullptr);
    uint32_t data_bytes = 0;
    require(table_fault(&data_bytes).empty() && data_bytes <= song.data_size);
  }
  reset_song_state();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* image, size_t size) {
  load_whole(image, size, 0);
  load_whole(image, size, OPT_NO_RESET | OPT_VERBOSE);
  load_step_by_step(image, size);
  return 0;
}
