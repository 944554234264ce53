// Playback, player thread: waits out each record's delta time and sends the
// record's bytes to the current port, or hands a meta event to the display.
#include "player/player.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "meta/meta.h"
#include "output/ports.h"
#include "player/timing.h"
#include "song/song.h"

namespace {

const uint32_t starting_tempo = 500000;

// Allocates the converted-text buffer once, before the first record, big
// enough for any text of the song in any terminal encoding (the display
// knows how much conversion can grow a text); the size is formed in size_t.
bool alloc_text_buffer(uint32_t longest_meta) {
  size_t size = text_buffer_size(longest_meta);
  playback_info.text = size != 0 ? static_cast<char*>(malloc(size)) : nullptr;
  if (playback_info.text == nullptr) {
    // A size beyond size_t is as far out of reach as memory that is not there.
    fprintf(stderr, "Error!!: Can't Alloc LangCode Convert Buffer Memory (%d)\n", size != 0 ? errno : ENOMEM);
    return false;
  }
  playback_info.text_size = size;
  return true;
}

// The player's tempo before the song sets one; a zero timebase never gets
// this far, but it must not divide here either.
void start_tempo(uint16_t timebase) {
  tempo_state.timebase = timebase;
  tempo_state.tempo = starting_tempo;
  tempo_state.usec_per_tick = timebase != 0 ? starting_tempo / timebase : 0;
}

// Sends one record: channel messages straight from the record, sysex and
// escape bytes from the data buffer; a meta event goes to the display instead.
void send_record(const SongView& view, const EventRecord& record) {
  const void* message = nullptr;
  size_t count = 0;
  uint8_t status = record.status;
  if ((status >= 0x80 && status <= 0xBF) || (status >= 0xE0 && status <= 0xEF)) {
    message = &record.status;
    count = 3;
  } else if (status >= 0xC0 && status <= 0xDF) {
    message = &record.status;
    count = 2;
  } else if (status == 0xF0 || status == 0xF7) {
    message = view.data + record.data_offset;
    count = record.length;
  } else if (status == 0xFF) {
    handle_meta_event(&record, view.data + record.data_offset, static_cast<int>(record.length));
  }
  write_port(tempo_state.port, message, count);
}

// Plays the table in order; false when a stop request ended it early.
bool play_records(const SongView& view) {
  for (uint32_t i = 0; i < view.event_count; ++i) {
    const EventRecord& record = view.events[i];
    if (record.delta != 0) wait_usec(static_cast<uint32_t>(record.delta * tempo_state.usec_per_tick));
    if (playback_info.state.load() == PLAYER_STOP_REQUESTED) {
      silence_all_ports();
      return false;
    }
    send_record(view, record);
  }
  return true;
}

}  // namespace

void* player_thread(void*) {
  playback_info.state.store(PLAYER_STARTING);
  // A stop asked for before this point is lost with the state, and so is its hold on the writes.
  resume_port_writes();
  tempo_state.port = 0;
  tempo_state.channel = 0xFFFFFFFF;
  SongView view;
  take_song_view(&view);
  if (!alloc_text_buffer(view.longest_meta)) return nullptr;
  start_tempo(view.timebase);
  playback_info.state.store(PLAYER_PLAYING);
  play_records(view);
  free(playback_info.text);
  playback_info.text = nullptr;
  playback_info.text_size = 0;
  return nullptr;
}

// Only a load and a store of the state byte: safe inside a signal handler.
void request_stop() {
  if (playback_info.state.load() == PLAYER_STARTING) return;
  playback_info.state.store(PLAYER_STOP_REQUESTED);
  interrupt_port_writes();
}
