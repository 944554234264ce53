// The WAV file that the monitor renders into: 16-bit stereo PCM at 44.1 kHz,
// its header rewritten as the file grows, so that the file opens in any
// player however the run ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "monitor/constants.h"

constexpr int WAV_CHANNELS = 2;
constexpr int WAV_FRAME_BYTES = 4;

// One WAV file being written; one per render.
struct WavFile {
  std::string path;
  FILE* file = nullptr;
  uint64_t data_bytes = 0;    // sample bytes written so far
  uint64_t header_bytes = 0;  // the data size the header on disk says
  bool failed = false;        // a write failed and was reported; nothing more is written
  bool full = false;          // the format's 4 GB limit was reached and reported
};

// Creates the file with a header for no samples yet. Returns 0, or -1 after
// one line.
int wav_open(WavFile& wav, const std::string& path);

// Appends interleaved left-right frames. The header is brought up to date
// once a second of sound. Returns 0, or -1 once the file cannot take more.
int wav_append(WavFile& wav, const int16_t* frames, size_t frame_count);

// Writes the final header and closes the file. Returns 0, or -1 after one line
// (also when a write failed before).
int wav_close(WavFile& wav);
