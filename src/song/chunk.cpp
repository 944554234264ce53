// Song loading, chunk layer.
#include "song/chunk.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "song/cursor.h"
#include "song/options.h"
#include "song/song.h"

namespace {

// The header chunk's fixed part; the first track chunk always follows it.
constexpr size_t HEADER_SIZE = 14;

}  // namespace

// The header length field is not consulted: the first track chunk is taken
// at offset 14 whatever it says. A zero division is refused here so that it
// can never reach the tempo arithmetic of the player.
int check_header(const uint8_t* image, size_t image_size) {
  BoundedCursor header{image, image + image_size};
  const uint8_t* type = nullptr;
  if (!take_span(&header, 4, &type) || memcmp(type, "MThd", 4) != 0) {
    fprintf(stderr, "Error! : File is not MIDI File\n");
    return -1;
  }
  uint32_t length = 0;
  uint16_t format = 0, tracks = 0, division = 0;
  if (!take_u32(&header, &length) || !take_u16(&header, &format) || !take_u16(&header, &tracks) ||
      !take_u16(&header, &division)) {
    fprintf(stderr, "Error!!: MIDI File Header is Too Short!\n");
    return -1;
  }
  if (option_flags & OPT_VERBOSE) {
    printf("  [File Info ]: Format= %d, Tracks= %d, Delta= %d\n", format, tracks, division);
  }
  if (division == 0) {
    fprintf(stderr, "Error!!: Division (Delta) Value is 0!\n");
    return -1;
  }
  song_data.track_count = tracks;
  set_timebase(division);
  return static_cast<int>(HEADER_SIZE);
}

// Chunk heads and data lengths are checked against the bytes really left in
// the image: a file cut short keeps the tracks it still holds, the last one
// cut to its bytes present, and the missing ones are dropped from the count.
int index_tracks(const uint8_t* first_chunk, const uint8_t* image_end) {
  BoundedCursor chunks{first_chunk, image_end};
  for (int i = 0; i < song_data.track_count; ++i) {
    // The chunk's type is not looked at: whatever it says, the chunk is the track's.
    const uint8_t* type = nullptr;
    uint32_t length = 0;
    if (!take_span(&chunks, 4, &type) || !take_u32(&chunks, &length)) {
      fprintf(stderr, "WARNING! : [Trk %d] No Track Chunk before End of File!\n", i);
      song_data.track_count = static_cast<uint16_t>(i);
      break;
    }
    if (length > bytes_left(chunks)) {
      fprintf(stderr, "WARNING! : [Trk %d] Track Data Runs Past End of File!\n", i);
      length = static_cast<uint32_t>(bytes_left(chunks));
    }
    TrackState* track = &song_data.tracks[i];
    take_span(&chunks, length, &track->start);
    track->length = length;
    track->cursor = track->start;
    track->running_status = 0;
    // The first delta time, for the reference rule next_track (the builder
    // walks it again itself). An empty chunk has none to read; the builder
    // ends such a track at once.
    track->ticks_to_next = 0;
    BoundedCursor data{track->start, track->start + length};
    take_vlq(&data, &track->ticks_to_next);
  }
  return 0;
}

// The quantity's bytes are those the BoundedCursor took; a count too large
// for the int result counts as a quantity that runs on to the end.
int read_vlq(uint32_t* value, const uint8_t* p, const uint8_t* end) {
  BoundedCursor quantity{p, end};
  uint32_t result = 0;
  if (!take_vlq(&quantity, &result) || quantity.pos - p > INT_MAX) return 0;
  *value = result;
  return static_cast<int>(quantity.pos - p);
}
