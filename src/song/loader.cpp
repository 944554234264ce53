// Song loading: the file read and the loading pipeline.
#include "song/loader.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/life_cycle.h"
#include "song/builder.h"
#include "song/chunk.h"
#include "song/prescan.h"
#include "song/song.h"

namespace {

// The errno of the last load's failure on the file itself, 0 when it did not fail there.
int file_error = 0;

// Releases the track table on every way out of the parse: it points into the
// image and must never outlive it.
struct TrackTableGuard {
  ~TrackTableGuard() {
    free(song_data.tracks);
    song_data.tracks = nullptr;
  }
};

// Releases the file image on every way out of the load.
struct ImageGuard {
  uint8_t* bytes = nullptr;
  ~ImageGuard() { free(bytes); }
};

// Closes the file on every way out of the load that has not closed it yet.
struct FileGuard {
  int fd = -1;
  ~FileGuard() {
    if (fd >= 0) close(fd);
  }
};

// Closes the file where the load can still see a failure to close it: 0, or
// -5 after its message.
int close_file(FileGuard* file) {
  int fd = file->fd;
  file->fd = -1;
  if (close(fd) != 0) {
    file_error = errno;
    fprintf(stderr, "Error!!: Can't close MIDI file (%d)\n", file_error);
    return -5;
  }
  return 0;
}

}  // namespace

// A read may return less than asked (signals, large counts, special files);
// the image is parsed only once it holds the whole file. Requests of 16 MB
// stay far below SSIZE_MAX, beyond which read's behaviour is not defined,
// and let a stop end the read of a big file within milliseconds (-4
// without a message: the run says why it ends).
int read_midi_image(int fd, uint8_t* image, uint32_t size) {
  constexpr uint32_t MAX_REQUEST = 1u << 24;
  uint32_t done = 0;
  while (done < size) {
    if (stop_raised()) return -4;
    uint32_t request = size - done < MAX_REQUEST ? size - done : MAX_REQUEST;
    ssize_t n = read(fd, image + done, request);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      file_error = errno;
      fprintf(stderr, "Error!!: Can't read MIDI file (%d)\n", file_error);
      return -4;
    }
    if (n == 0) {
      fprintf(stderr, "Error!!: MIDI file ended after %u of %u bytes!\n", done, size);
      return -4;
    }
    done += static_cast<uint32_t>(n);
  }
  return 0;
}

int load_midi_file(const char* path) {
  file_error = 0;
  struct stat status;
  if (stat(path, &status) != 0) {
    file_error = errno;
    fprintf(stderr, "Error!!: Can't get MIDI filesize (%d)\n", file_error);
    return -1;
  }
  // Sizes are held in 32 bits; a larger file is refused before anything is allocated.
  if (static_cast<uintmax_t>(status.st_size) > UINT32_MAX) {
    fprintf(stderr, "Error!!: MIDI file is too large (%jd bytes)!\n", static_cast<intmax_t>(status.st_size));
    return -1;
  }
  uint32_t size = static_cast<uint32_t>(status.st_size);
  FileGuard file;
  file.fd = open(path, O_RDONLY);
  if (file.fd < 0) {
    file_error = errno;
    fprintf(stderr, "Error!!: Can't open MIDI file (%d)\n", file_error);
    return -2;
  }
  ImageGuard image;
  // An empty file still gets a block, so that a failed allocation means no memory.
  image.bytes = static_cast<uint8_t*>(malloc(size != 0 ? size : 1));
  if (image.bytes == nullptr) {
    fprintf(stderr, "Error!!: Not Engouh Memory!\n");
    return -3;
  }
  if (read_midi_image(file.fd, image.bytes, size) != 0) return -4;
  if (close_file(&file) != 0) return -5;
  return parse_midi_image(image.bytes, size);
}

int load_file_error() { return file_error; }

void forget_load_file_error() { file_error = 0; }

int index_midi_image(const uint8_t* image, size_t size) {
  int offset = check_header(image, size);
  if (offset < 0) return -1;
  // A header without tracks still gets a block: a null table means no memory.
  size_t entries = song_data.track_count != 0 ? song_data.track_count : 1;
  song_data.tracks = static_cast<TrackState*>(malloc(entries * sizeof(TrackState)));
  if (song_data.tracks == nullptr) {
    fprintf(stderr, "Error!!: Not Enough Memory for the Track Table!\n");
    return -2;
  }
  index_tracks(image + offset, image + size);
  return 0;
}

int parse_midi_image(const uint8_t* image, size_t size) {
  TrackTableGuard track_table;
  int result = index_midi_image(image, size);
  if (result != 0) return result;
  uint32_t event_count = 0, data_size = 0, longest_meta = 0;
  ResetFlags flags = 0;
  if (prescan_tracks(&event_count, &data_size, &longest_meta, &flags) != 0) return 1;
  result = alloc_event_table(event_count);
  if (result != 0) return result;
  // One spare byte after the last event's bytes, for the display's terminator.
  result = alloc_data_buffer(data_size + 1, longest_meta);
  if (result != 0) {
    free_event_table();
    return result;
  }
  result = build_event_table(flags, data_size);
  if (result != 0) {
    free_data_buffer();
    free_event_table();
  }
  return result;
}
