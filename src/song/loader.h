// Song loading: reads one file whole and runs the pipeline that turns its
// image into the event table and the event data buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// Loads the file at path; 0 when the song is ready, otherwise a failure value
// after its message, with nothing of the song left allocated.
int load_midi_file(const char* path);

// The errno of the last load's failure to stat, open, read or close its
// file (the failure its error line reported), or 0 when the last load did
// not fail on the file itself: the program then names the file and says why.
int load_file_error();

// Forgets that error (between tests).
void forget_load_file_error();

// Header, tracks, pre-scan, allocation and build over an image of size bytes;
// 0, or a failure value after its message, with nothing of the song left
// allocated.
int parse_midi_image(const uint8_t* image, size_t size);

// The steps of the parse before the pre-scan: checks the header, allocates
// the track table and indexes the chunks; 0, or -1 or -2 after its message.
// The caller releases the track table, which points into the image.
int index_midi_image(const uint8_t* image, size_t size);

// Reads size bytes from fd into image, as many reads as it takes; 0, or -4
// after its message when a read fails or the file ends before size bytes.
int read_midi_image(int fd, uint8_t* image, uint32_t size);
