// Song model: the shared song records and their allocation, release and snapshot.
#include "song/song.h"

#include <cstdio>
#include <cstdlib>

SongData song_data;
PlaybackInfo playback_info;
TempoState tempo_state;

int take_song_view(SongView* view) {
  view->timebase = playback_info.timebase;
  view->event_count = playback_info.event_count;
  view->longest_meta = playback_info.longest_meta;
  view->events = song_data.events;
  view->data = song_data.data;
  return 0;
}

void set_timebase(uint16_t division) { playback_info.timebase = division; }

uint32_t get_event_count() { return playback_info.event_count; }

EventRecord* get_event_table() { return song_data.events; }

uint8_t* get_data_buffer() { return song_data.data; }

// calloc checks the product for wrapping; an empty table still gets a block of
// its own so that "allocated" and "failed" stay distinguishable everywhere.
int alloc_event_table(uint32_t count) {
  if (song_data.events != nullptr) {
    fprintf(stderr, "Error!!: Event Table Exists Already!\n");
    return -1;
  }
  song_data.events = static_cast<EventRecord*>(calloc(count != 0 ? count : 1, sizeof(EventRecord)));
  if (song_data.events == nullptr) {
    fprintf(stderr, "Error!!: Not Enough Memory for the Event Table!\n");
    return -2;
  }
  playback_info.event_count = count;
  return 0;
}

// The caller asks for the pre-scan's data size plus one spare byte.
int alloc_data_buffer(uint32_t size, uint32_t longest) {
  if (song_data.data != nullptr) {
    fprintf(stderr, "Error!!: Event Data Buffer Exists Already!\n");
    return -1;
  }
  song_data.data = static_cast<uint8_t*>(calloc(size != 0 ? size : 1, 1));
  if (song_data.data == nullptr) {
    fprintf(stderr, "Error!!: Not Enough Memory for the Event Data Buffer!\n");
    return -2;
  }
  playback_info.longest_meta = longest;
  return 0;
}

int free_data_buffer() {
  free(song_data.data);
  song_data.data = nullptr;
  return 0;
}

int free_event_table() {
  free(song_data.events);
  song_data.events = nullptr;
  return 0;
}

void reset_song_state() {
  free_data_buffer();
  free_event_table();
  free(song_data.tracks);
  song_data = SongData{};
  free(playback_info.text);
  playback_info.timebase = 0;
  playback_info.event_count = 0;
  playback_info.longest_meta = 0;
  playback_info.text = nullptr;
  playback_info.text_size = 0;
  tempo_state = TempoState{};
}
