// Throughput of parse_midi_image (header, indexing, pre-scan, allocation and
// merge) on generated songs, with memcpy of the same image as the machine's limit.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "song/loader.h"
#include "song/options.h"
#include "song/song.h"
#include "support/support.h"

namespace {

// A generated song and the number of events in its tracks.
struct Song {
  Bytes image;
  uint64_t events;
};

// Tracks of notes in running status with controllers, a text event every 50
// events and a sysex every 500, at deltas of 0 to 119 ticks.
Song make_song(int tracks, int events_per_track) {
  std::vector<TrackBuilder> builders(tracks);
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t range) {
    seed = seed * 1103515245 + 12345;
    return (seed >> 16) % range;
  };
  for (int t = 0; t < tracks; ++t) {
    TrackBuilder& track = builders[t];
    uint8_t channel = static_cast<uint8_t>(t % 16);
    track.event(0, {static_cast<uint8_t>(0x90 | channel), 60, 100});
    for (int e = 1; e < events_per_track - 1; ++e) {
      uint32_t delta = next(120);
      if (e % 500 == 0) {
        track.sysex(delta, {0x43, 0x10, 0x4C, 0x02, 0x01, 0x00, 0x01, 0xF7});
      } else if (e % 50 == 0) {
        track.text(delta, 0x01, "benchmark");
      } else if (e % 10 == 0) {
        track.event(delta, {static_cast<uint8_t>(0xB0 | channel), 7, static_cast<uint8_t>(next(128))});
      } else {
        // After a controller the next note needs its own status again.
        if (e % 10 == 1) track.event(delta, {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(next(128)), 0});
        else track.event(delta, {static_cast<uint8_t>(next(128)), static_cast<uint8_t>(next(128))});
      }
    }
    track.end(0);
  }
  return {smf(1, 480, builders), static_cast<uint64_t>(tracks) * events_per_track};
}

const Song& sixteen_tracks() {
  static const Song song = make_song(16, 62500);
  return song;
}

const Song& thousand_tracks() {
  static const Song song = make_song(1000, 200);
  return song;
}

// Parses the song's image again and again, its table freed between rounds.
void time_parse(benchmark::State& state, const Song& s) {
  option_flags = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(parse_midi_image(s.image.data(), s.image.size()));
    state.PauseTiming();
    reset_song_state();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.image.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * s.events));
}

void parse_song(benchmark::State& state, const Song& (*song)()) { time_parse(state, song()); }

void copy_song(benchmark::State& state, const Song& (*song)()) {
  const Song& s = song();
  Bytes copy(s.image.size());
  for (auto _ : state) {
    memcpy(copy.data(), s.image.data(), s.image.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.image.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * s.events));
}

BENCHMARK_CAPTURE(parse_song, 1M_events_16_tracks, sixteen_tracks)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(copy_song, 1M_events_16_tracks, sixteen_tracks)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(parse_song, 200k_events_1000_tracks, thousand_tracks)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(copy_song, 200k_events_1000_tracks, thousand_tracks)->Unit(benchmark::kMillisecond);
// A song read from a file named on the command line, its events counted by
// one parse ahead of the timed ones; no events when the file cannot be read.
Song song_from_file(const char* path) {
  Song song{read_file(path), 0};
  option_flags = 0;
  if (!song.image.empty() && parse_midi_image(song.image.data(), song.image.size()) == 0) {
    song.events = get_event_count();
  }
  reset_song_state();
  return song;
}

}  // namespace

// Benchmark flags first; every other argument is a MIDI file to parse as well.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<Song> files;
  files.reserve(static_cast<size_t>(argc));
  for (int i = 1; i < argc; ++i) {
    files.push_back(song_from_file(argv[i]));
    if (files.back().events == 0) {
      fprintf(stderr, "parse_bench: cannot read or load %s\n", argv[i]);
      return 1;
    }
    const char* base = strrchr(argv[i], '/');
    std::string name = std::string("parse_file/") + (base != nullptr ? base + 1 : argv[i]);
    const Song* song = &files.back();
    benchmark::RegisterBenchmark(name.c_str(), [song](benchmark::State& state) {
      time_parse(state, *song);
    })->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
