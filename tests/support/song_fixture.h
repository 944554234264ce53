// Helpers shared by the loader's tests: a fixture that puts the process-wide
// song records and option flags back to their start values around each test,
// and readable comparisons of event records and data buffer bytes.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "app/settings.h"
#include "song/chunk.h"
#include "song/loader.h"
#include "song/song.h"
#include "support/fresh_state.h"
#include "support/song_checks.h"
#include "support/support.h"

// Every test starts and ends with nothing of a song allocated and no options.
class SongTest : public FreshStateTest {};

inline bool operator==(const EventRecord& a, const EventRecord& b) {
  return a.delta == b.delta && a.data_offset == b.data_offset && a.length == b.length && a.status == b.status &&
         a.data1 == b.data1 && a.data2 == b.data2 && a.running == b.running;
}

inline void PrintTo(const EventRecord& r, std::ostream* os) {
  *os << "{delta " << r.delta << ", offset " << r.data_offset << ", length " << r.length << ", status "
      << hex({r.status}) << ", data " << hex({r.data1, r.data2}) << ", running " << hex({r.running}) << "}";
}

// The finished event table, record by record.
inline std::vector<EventRecord> event_table() {
  return std::vector<EventRecord>(song_data.events, song_data.events + playback_info.event_count);
}

// The first count bytes of the event data buffer.
inline Bytes data_head(size_t count) { return Bytes(song_data.data, song_data.data + count); }

// Checks the header and indexes the tracks with the load's own step before
// its pre-scan.
inline void index_image(const Bytes& image) { ASSERT_EQ(index_midi_image(image.data(), image.size()), 0); }

// Whether nothing of a song is left allocated.
inline bool nothing_allocated() {
  return song_data.tracks == nullptr && song_data.events == nullptr && song_data.data == nullptr;
}
