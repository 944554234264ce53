// Song-loading checks shared by the tests and the load fuzz target.
#include "support/song_checks.h"

#include <algorithm>
#include <dirent.h>
#include <string>
#include <sys/stat.h>

#include "song/loader.h"
#include "song/song.h"

bool index_and_prescan(const uint8_t* image, size_t size, ScannedSong* song) {
  if (index_midi_image(image, size) != 0) return false;
  return prescan_tracks(&song->event_count, &song->data_size, &song->longest_meta, &song->flags) == 0;
}

std::string table_fault(uint32_t* data_bytes) {
  uint32_t offset = 0;
  for (uint32_t i = 0; i < playback_info.event_count; ++i) {
    const EventRecord& r = song_data.events[i];
    std::string where = "record " + std::to_string(i) + ": ";
    if (r.status == 0xF0 || r.status == 0xF7 || r.status == 0xFF) {
      if (r.data_offset != offset) {
        return where + "data at " + std::to_string(r.data_offset) + " instead of " + std::to_string(offset);
      }
      offset += r.length;
    } else if (r.status >= 0x80) {
      if (r.length != ((r.status & 0xE0) == 0xC0 ? 2u : 3u)) {
        return where + "channel message of " + std::to_string(r.length) + " bytes";
      }
    } else if (r.status != 0 || r.length != 0) {
      return where + "status " + std::to_string(r.status) + " and " + std::to_string(r.length) + " bytes";
    }
  }
  if (data_bytes != nullptr) *data_bytes = offset;
  return "";
}

std::vector<std::string> files_in(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> files;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return files;
  while (dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    std::string path = dir + "/" + name;
    struct stat status;
    bool suffixed = name.size() >= suffix.size() &&
                    name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (name[0] != '.' && suffixed && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      files.push_back(path);
    }
  }
  closedir(listing);
  std::sort(files.begin(), files.end());
  return files;
}
