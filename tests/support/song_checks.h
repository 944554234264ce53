// Song-loading checks shared by the tests and the load fuzz target, free of
// the test framework: the load's own steps up to the pre-scan, what a built
// event table promises, and the MIDI files of a directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "song/prescan.h"

// What the pre-scan found in an image.
struct ScannedSong {
  uint32_t event_count = 0;
  uint32_t data_size = 0;
  uint32_t longest_meta = 0;
  ResetFlags flags = 0;
};

// Indexes and pre-scans the image with the load's own steps, leaving the
// track table in song_data for a build; false when a step refuses the image
// (after its message). reset_song_state releases what it left.
bool index_and_prescan(const uint8_t* image, size_t size, ScannedSong* song);

// What is wrong with the event table just built, or "" when it keeps the
// load's promises: the records that use the data buffer lie in it back to
// back from its start, each channel record is as long as its status says,
// and every other record is delta-only. data_bytes, when given, receives the
// bytes those records use.
std::string table_fault(uint32_t* data_bytes = nullptr);

// The regular files of a directory whose names end in suffix, sorted, hidden
// ones left out; none when the directory cannot be read.
std::vector<std::string> files_in(const std::string& dir, const std::string& suffix = "");
