// Song loading, chunk layer.
#include "song/chunk.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "song/song.h"

namespace {

// The header chunk's fixed part; the first track chunk always follows it.
constexpr size_t HEADER_SIZE = 14;
// A track chunk's type and data length.
constexpr size_t CHUNK_HEAD_SIZE = 8;

uint16_t read_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t read_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

// The header length field is not consulted: the first track chunk is taken
// at offset 14 whatever it says. A zero division is refused here so that it
// can never reach the tempo arithmetic of the player.
int check_header(const uint8_t* image, size_t image_size) {
  if (image_size < 4 || memcmp(image, "MThd", 4) != 0) {
    fprintf(stderr, "Error! : File is not MIDI File\n");
    return -1;
  }
  if (image_size < HEADER_SIZE) {
    fprintf(stderr, "Error!!: MIDI File Header is Too Short!\n");
    return -1;
  }
  uint16_t format = read_u16(image + 8);
  uint16_t tracks = read_u16(image + 10);
  uint16_t division = read_u16(image + 12);
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
  const uint8_t* p = first_chunk;
  for (int i = 0; i < song_data.track_count; ++i) {
    if (static_cast<size_t>(image_end - p) < CHUNK_HEAD_SIZE) {
      fprintf(stderr, "WARNING! : [Trk %d] No Track Chunk before End of File!\n", i);
      song_data.track_count = static_cast<uint16_t>(i);
      break;
    }
    TrackState* track = &song_data.tracks[i];
    const uint8_t* data = p + CHUNK_HEAD_SIZE;
    size_t present = static_cast<size_t>(image_end - data);
    track->length = read_u32(p + 4);
    if (track->length > present) {
      fprintf(stderr, "WARNING! : [Trk %d] Track Data Runs Past End of File!\n", i);
      track->length = static_cast<uint32_t>(present);
    }
    track->start = track->cursor = data;
    track->running_status = 0;
    // An empty chunk has no delta time to read; the builder ends such a track at once.
    track->ticks_to_next = 0;
    read_vlq(&track->ticks_to_next, data, data + track->length);
    p = data + track->length;
  }
  return 0;
}

// Seven bits per byte, most significant first; bits pushed out past bit 31
// are lost, and the quantity never runs past end. A quantity too long for the
// int result counts as one that runs on to the end.
int read_vlq(uint32_t* value, const uint8_t* p, const uint8_t* end) {
  uint32_t result = 0;
  for (int n = 0; n < INT_MAX && p + n < end; ++n) {
    result = (result << 7) | (p[n] & 0x7F);
    if ((p[n] & 0x80) == 0) {
      *value = result;
      return n + 1;
    }
  }
  return 0;
}
