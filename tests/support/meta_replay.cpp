// Replay of a loaded song's meta events through the display.
#include "support/meta_replay.h"

#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <vector>

#include "meta/meta.h"
#include "player/player.h"
#include "song/loader.h"
#include "song/song.h"

namespace {

// Converters that shrink, keep and grow the text, up to the widest growth
// the player's text buffer is sized for (UTF-32, and ISO-2022-JP-3 with its
// escapes), and ones that hold state between calls.
constexpr const char* CONVERTERS[][2] = {
    {"UTF-8", "SHIFT_JISX0213"}, {"EUC-JP", "SHIFT_JISX0213"}, {"UTF-16", "UTF-8"},
    {"UTF-8", "ISO-8859-1"},     {"UTF-32", "SHIFT_JISX0213"}, {"ISO-2022-JP-3", "SHIFT_JISX0213"},
};
constexpr int CONVERTER_COUNT = sizeof CONVERTERS / sizeof CONVERTERS[0];

// Opens each converter once for the life of the process, as the program
// opens its own; one that cannot be opened stays closed and shows no text.
const TextConverter& converter(int index) {
  static TextConverter converters[CONVERTER_COUNT];
  static bool opened = false;
  if (!opened) {
    TextConverter saved = text_converter;
    for (int i = 0; i < CONVERTER_COUNT; ++i) {
      text_converter = TextConverter{};
      set_encoding_name(text_converter.terminal_encoding, CONVERTERS[i][0]);
      set_encoding_name(text_converter.source_encoding, CONVERTERS[i][1]);
      text_converter.handle = text_converter.to_unicode = text_converter.from_unicode = reinterpret_cast<iconv_t>(-1);
      open_text_converter();
      converters[i] = text_converter;
    }
    text_converter = saved;
    opened = true;
  }
  return converters[index];
}

// The player's own start of play, with the text buffer filled rather than
// left as it comes, so that a text left without its terminator shows.
bool start_like_player() {
  SongView view;
  if (!prepare_playback(&view)) return false;
  memset(playback_info.text, 'z', playback_info.text_size);
  return true;
}

// One meta record through the display; the event's bytes and the byte after
// them (which the display borrows for a terminator) must come back unchanged.
const char* replay_record(const EventRecord& record, uint8_t* data, uint32_t data_used) {
  if (record.data_offset > data_used || record.length > data_used - record.data_offset) {
    return "meta record outside the used data buffer";
  }
  uint8_t* bytes = data + record.data_offset;
  std::vector<uint8_t> before(bytes, bytes + record.length + 1);
  if (handle_meta_event(&record, bytes, static_cast<int>(record.length)) != 0) {
    return "handle_meta_event returned nonzero";
  }
  if (memcmp(before.data(), bytes, before.size()) != 0) return "the display left the event's bytes changed";
  if (tempo_state.port < 0 || tempo_state.port > 3) return "port outside 0 to 3";
  bool shown = record.data1 >= 0x01 && record.data1 <= 0x09 && record.length >= 3 && !(option_flags & OPT_QUIET);
  if (shown && memchr(playback_info.text, '\0', playback_info.text_size) == nullptr) {
    return "converted text not terminated inside its buffer";
  }
  return nullptr;
}

// Every meta record in table order; sysex and escape records only move the
// data offset on, as they do in the player.
const char* replay_table() {
  SongView view;
  take_song_view(&view);
  uint32_t used = 0;
  for (uint32_t i = 0; i < view.event_count; ++i) {
    const EventRecord& record = view.events[i];
    if (record.status == 0xF0 || record.status == 0xF7 || record.status == 0xFF) used += record.length;
  }
  for (uint32_t i = 0; i < view.event_count; ++i) {
    if (view.events[i].status != 0xFF) continue;
    if (const char* broken = replay_record(view.events[i], view.data, used)) return broken;
  }
  return nullptr;
}

}  // namespace

ReplaySetup replay_setup(const uint8_t* image, size_t size) {
  uint8_t choice = size > 9 ? image[9] : 0;
  ReplaySetup setup;
  setup.options = choice & (OPT_VERBOSE | OPT_QUIET | OPT_NO_RESET);
  setup.converter = (choice >> 3) % CONVERTER_COUNT;
  return setup;
}

const char* replay_meta_events(const uint8_t* image, size_t size) {
  ReplaySetup setup = replay_setup(image, size);
  TextConverter saved_converter = text_converter;
  OptionFlags saved_options = option_flags;
  text_converter = converter(setup.converter);
  // Each replay starts from the converters' initial shift state.
  iconv(text_converter.to_unicode, nullptr, nullptr, nullptr, nullptr);
  iconv(text_converter.from_unicode, nullptr, nullptr, nullptr, nullptr);
  option_flags = setup.options;
  const char* broken = nullptr;
  if (parse_midi_image(image, size) == 0) {
    broken = start_like_player() ? replay_table() : "no memory for the text buffer";
  }
  reset_song_state();
  option_flags = saved_options;
  text_converter = saved_converter;
  return broken;
}
