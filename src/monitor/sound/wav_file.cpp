// Writing the WAV file.
#include "monitor/sound/wav_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint64_t HEADER_SIZE = 44;
// The RIFF size field counts everything after its own 8 bytes in 32 bits.
constexpr uint64_t MAX_DATA_BYTES = (0xFFFFFFFFull - (HEADER_SIZE - 8)) / WAV_FRAME_BYTES * WAV_FRAME_BYTES;
constexpr uint64_t HEADER_EVERY = static_cast<uint64_t>(SAMPLE_RATE) * WAV_FRAME_BYTES;

// Stores value in little-endian order at out.
void put_le(uint8_t* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The 44-byte header of a PCM file holding data_bytes of samples.
void make_header(uint8_t* header, uint64_t data_bytes) {
  std::memcpy(header, "RIFF", 4);
  put_le(header + 4, static_cast<uint32_t>(HEADER_SIZE - 8 + data_bytes), 4);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  put_le(header + 16, 16, 4);
  put_le(header + 20, 1, 2);  // PCM
  put_le(header + 22, WAV_CHANNELS, 2);
  put_le(header + 24, SAMPLE_RATE, 4);
  put_le(header + 28, SAMPLE_RATE * WAV_FRAME_BYTES, 4);
  put_le(header + 32, WAV_FRAME_BYTES, 2);
  put_le(header + 34, 16, 2);
  std::memcpy(header + 36, "data", 4);
  put_le(header + 40, static_cast<uint32_t>(data_bytes), 4);
}

// Says once that the file cannot be written, and stops writing it.
void fail(WavFile& wav) {
  if (!wav.failed)
    std::fprintf(stderr, "songrelay-monitor: cannot write %s (%s)\n", wav.path.c_str(), std::strerror(errno));
  wav.failed = true;
}

// Rewrites the header for the samples written so far and returns to the end.
int write_header(WavFile& wav) {
  uint8_t header[HEADER_SIZE];
  make_header(header, wav.data_bytes);
  if (std::fseek(wav.file, 0, SEEK_SET) != 0 || std::fwrite(header, 1, HEADER_SIZE, wav.file) != HEADER_SIZE ||
      std::fseek(wav.file, 0, SEEK_END) != 0 || std::fflush(wav.file) != 0) {
    fail(wav);
    return -1;
  }
  wav.header_bytes = wav.data_bytes;
  return 0;
}

}  // namespace

int wav_open(WavFile& wav, const std::string& path) {
  wav.path = path;
  // Closed on exec ("e", glibc and FreeBSD): the player the monitor runs
  // must not hold the file open.
  wav.file = std::fopen(path.c_str(), "wbe");
  if (wav.file == nullptr) {
    std::fprintf(stderr, "songrelay-monitor: cannot open %s (%s)\n", path.c_str(), std::strerror(errno));
    return -1;
  }
  if (write_header(wav) != 0) {
    std::fclose(wav.file);
    wav.file = nullptr;
    return -1;
  }
  return 0;
}

int wav_append(WavFile& wav, const int16_t* frames, size_t frame_count) {
  if (wav.file == nullptr || wav.failed || wav.full) return -1;
  uint64_t bytes = static_cast<uint64_t>(frame_count) * WAV_FRAME_BYTES;
  if (wav.data_bytes + bytes > MAX_DATA_BYTES) {
    bytes = MAX_DATA_BYTES - wav.data_bytes;
    wav.full = true;
    std::fprintf(stderr, "songrelay-monitor: %s reached the 4 GB limit of the WAV format; the rest is not rendered\n",
                 wav.path.c_str());
  }
  // The samples are written little-endian, whatever the machine's order.
  uint8_t out[4096];
  for (uint64_t done = 0; done < bytes;) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(sizeof out, bytes - done));
    for (size_t i = 0; i < chunk; i += 2) put_le(out + i, static_cast<uint16_t>(frames[(done + i) / 2]), 2);
    if (std::fwrite(out, 1, chunk, wav.file) != chunk) {
      fail(wav);
      return -1;
    }
    done += chunk;
  }
  wav.data_bytes += bytes;
  if (wav.data_bytes - wav.header_bytes >= HEADER_EVERY && write_header(wav) != 0) return -1;
  return wav.full ? -1 : 0;
}

int wav_close(WavFile& wav) {
  if (wav.file == nullptr) return -1;
  if (!wav.failed) write_header(wav);
  if (std::fclose(wav.file) != 0) fail(wav);
  wav.file = nullptr;
  return wav.failed ? -1 : 0;
}
