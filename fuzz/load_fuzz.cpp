// Fuzz target: the whole loading pipeline over one image held in memory, with
// and without the automatic reset, checking what the load leaves; and the
// same steps taken one by one, to check that the builder ended every track
// within what the pre-scan counted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/settings.h"
#include "song/builder.h"
#include "song/chunk.h"
#include "song/loader.h"
#include "song/prescan.h"
#include "song/song.h"

namespace {

// Stops the run, so the fuzzer keeps the input, when the load broke a promise.
void require(bool condition) {
  if (!condition) __builtin_trap();
}

// The records that use the data buffer lie in it back to back, and each
// channel record is as long as its status says; returns the bytes they use.
uint32_t check_table() {
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
  return offset;
}

void load_whole(const uint8_t* image, size_t size, OptionFlags options) {
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

// The builder's guards never fire when the two walks agree: then every track
// has ended when the build returns, and the bytes fit the pre-scan's count.
void load_step_by_step(const uint8_t* image, size_t size) {
  option_flags = 0;
  int offset = check_header(image, size);
  if (offset < 0) return;
  song_data.tracks = static_cast<TrackState*>(calloc(song_data.track_count + 1, sizeof(TrackState)));
  index_tracks(image + offset, image + size);
  uint32_t events = 0, data_size = 0, longest = 0;
  ResetFlags flags = 0;
  if (prescan_tracks(&events, &data_size, &longest, &flags) == 0) {
    require(alloc_event_table(events) == 0 && alloc_data_buffer(data_size + 1, longest) == 0);
    build_event_table(flags, data_size);
    for (int i = 0; i < song_data.track_count; ++i) require(song_data.tracks[i].cursor == nullptr);
    require(check_table() <= data_size);
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
