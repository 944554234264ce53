// Song loading, chunk layer: the header check, the indexing of the track
// chunks and the variable-length quantity, all bounded by the file image.
#pragma once

#include <cstddef>
#include <cstdint>

// Checks the "MThd" header and takes the track count and the division from it;
// 14 (the first track chunk's offset) or a negative value after its message.
int check_header(const uint8_t* image, size_t image_size);

// Fills one TrackState per declared track from the chunks that start at
// first_chunk; nothing at or after image_end is read.
int index_tracks(const uint8_t* first_chunk, const uint8_t* image_end);

// Reads one variable-length quantity at p, never at or past end; returns the
// number of bytes it takes, or 0 when it runs on to end without a last byte.
int read_vlq(uint32_t* value, const uint8_t* p, const uint8_t* end);
