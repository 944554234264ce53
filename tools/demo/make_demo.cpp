// make-demo: writes the project's demo song, the traditional Japanese song
// "Sakura Sakura" (public domain) in the project's own arrangement, as a
// Standard MIDI File, byte by byte.
//
// Format 1, timebase 480, three tracks:
//   0  title, copyright, text, time and key signature, tempo (with a
//      ritardando over the last two bars), and the melody on channel 1 (Koto)
//      with one Shift_JIS lyric event per sung syllable;
//   1  harmony on channel 2 (String Ensemble), two-note chords;
//   2  bass on channel 3 (Contrabass).
// Usage: make-demo OUTPUT.mid
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr uint16_t TIMEBASE = 480;
constexpr uint32_t E = TIMEBASE / 2;  // eighth note
constexpr uint32_t Q = TIMEBASE;      // quarter note
constexpr uint32_t H = TIMEBASE * 2;  // half note
constexpr uint32_t W = TIMEBASE * 4;  // whole note, one bar of 4/4
constexpr uint32_t LEAD_IN = E;       // room for the set-up events before the first note
constexpr uint32_t GATE_GAP = 30;     // each note is released this early, so repeated notes speak
constexpr uint32_t BARS = 14;
constexpr uint32_t SONG_END = LEAD_IN + BARS * W;

// Note numbers, middle C = 60 = C4.
enum : uint8_t {
  E2 = 40,
  F2 = 41,
  A2 = 45,
  E3 = 52,
  F3 = 53,
  GS3 = 56,
  A3 = 57,
  B3 = 59,
  C4 = 60,
  E4 = 64,
  F4 = 65,
  A4 = 69,
  B4 = 71,
  C5 = 72,
};

// The sung syllables as Shift_JIS bytes; the source holds no other encoding.
const char SA[] = "\x82\xb3";  // さ
const char KU[] = "\x82\xad";  // く
const char RA[] = "\x82\xe7";  // ら
const char YA[] = "\x82\xe2";  // や
const char YO[] = "\x82\xe6";  // よ
const char I[] = "\x82\xa2";   // い
const char NO[] = "\x82\xcc";  // の
const char SO[] = "\x82\xbb";  // そ
const char HA[] = "\x82\xcd";  // は
const char MI[] = "\x82\xdd";  // み
const char WA[] = "\x82\xed";  // わ
const char TA[] = "\x82\xbd";  // た
const char SU[] = "\x82\xb7";  // す
const char KA[] = "\x82\xa9";  // か
const char GI[] = "\x82\xac";  // ぎ
const char RI[] = "\x82\xe8";  // り
const char MO[] = "\x82\xe0";  // も
const char NI[] = "\x82\xc9";  // に
const char O[] = "\x82\xa8";   // お
const char ZO[] = "\x82\xbc";  // ぞ
const char ZU[] = "\x82\xb8";  // ず
const char RU[] = "\x82\xe9";  // る
const char ZA[] = "\x82\xb4";  // ざ
const char YU[] = "\x82\xe4";  // ゆ
const char N[] = "\x82\xf1";   // ん

// The text event: "Sakura Sakura, traditional Japanese song" in Japanese.
const char TEXT_JA[] =
    "\x82\xb3\x82\xad\x82\xe7 \x82\xb3\x82\xad\x82\xe7 "  // さくら さくら
    "\x93\xfa\x96\x7b\x8c\xc3\x97\x77";                   // 日本古謡

// One melody note: its length, key and the syllable sung on it (null on the
// second note of a syllable held over two notes).
struct MelodyNote {
  uint32_t length;
  uint8_t key;
  const char* lyric;
};

// The melody as it is commonly sung, 14 bars: A A B B A C.
const MelodyNote MELODY[] = {
    // さくら さくら
    {Q, A4, SA},
    {Q, A4, KU},
    {H, B4, RA},
    {Q, A4, SA},
    {Q, A4, KU},
    {H, B4, RA},
    // やよいの そらは
    {Q, A4, YA},
    {Q, B4, YO},
    {Q, C5, I},
    {Q, B4, NO},
    {Q, A4, SO},
    {E, B4, RA},
    {E, A4, nullptr},
    {H, F4, HA},
    // みわたす かぎり
    {Q, E4, MI},
    {Q, C4, WA},
    {Q, E4, TA},
    {Q, F4, SU},
    {Q, E4, KA},
    {E, E4, GI},
    {E, C4, nullptr},
    {H, B3, RI},
    // かすみか くもか
    {Q, A4, KA},
    {Q, B4, SU},
    {Q, C5, MI},
    {Q, B4, KA},
    {Q, A4, KU},
    {E, B4, MO},
    {E, A4, nullptr},
    {H, F4, KA},
    // においぞ いずる
    {Q, E4, NI},
    {Q, C4, O},
    {Q, E4, I},
    {Q, F4, ZO},
    {Q, E4, I},
    {E, E4, ZU},
    {E, C4, nullptr},
    {H, B3, RU},
    // いざや いざや
    {Q, A4, I},
    {Q, A4, ZA},
    {H, B4, YA},
    {Q, A4, I},
    {Q, A4, ZA},
    {H, B4, YA},
    // みにゆかん
    {Q, E4, MI},
    {Q, F4, NI},
    {E, B4, YU},
    {E, A4, nullptr},
    {Q, F4, KA},
    {W, E4, N},
};

// One chord of the accompaniment: its length and up to two keys (0 = none).
struct Chord {
  uint32_t length;
  uint8_t keys[2];
};

// The harmony: the song's own notes, an E major chord at the half closes
// and a bare fifth at the end.
const Chord HARMONY[] = {
    {W, {C4, E4}},                                 // 1
    {H, {C4, E4}}, {H, {B3, E4}},                  // 2
    {W, {C4, E4}}, {H, {C4, E4}}, {H, {A3, C4}},   // 3-4
    {W, {A3, C4}}, {H, {A3, C4}}, {H, {E3, GS3}},  // 5-6
    {W, {C4, E4}}, {H, {C4, E4}}, {H, {A3, C4}},   // 7-8
    {W, {A3, C4}}, {H, {A3, C4}}, {H, {E3, GS3}},  // 9-10
    {W, {C4, E4}}, {H, {C4, E4}}, {H, {B3, E4}},   // 11-12
    {H, {A3, C4}}, {H, {F3, A3}},                  // 13
    {W, {E3, B3}},                                 // 14
};

// The bass line.
const Chord BASS[] = {
    {W, {A2, 0}},                              // 1
    {H, {A2, 0}}, {H, {E2, 0}},                // 2
    {W, {A2, 0}}, {H, {A2, 0}}, {H, {F2, 0}},  // 3-4
    {W, {A2, 0}}, {H, {A2, 0}}, {H, {E2, 0}},  // 5-6
    {W, {A2, 0}}, {H, {A2, 0}}, {H, {F2, 0}},  // 7-8
    {W, {A2, 0}}, {H, {A2, 0}}, {H, {E2, 0}},  // 9-10
    {W, {A2, 0}}, {H, {A2, 0}}, {H, {E2, 0}},  // 11-12
    {H, {A2, 0}}, {H, {F2, 0}},                // 13
    {W, {E2, 0}},                              // 14
};

// The bytes of one track chunk's body and the tick of its last event.
struct Track {
  std::vector<uint8_t> bytes;
  uint32_t tick = 0;
};

// Appends a variable-length quantity.
void put_vlq(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t groups[5];
  int count = 0;
  do {
    groups[count++] = value & 0x7F;
    value >>= 7;
  } while (value != 0);
  while (count > 1) out.push_back(0x80 | groups[--count]);
  out.push_back(groups[0]);
}

// Appends the delta time that brings the track to tick; events are written in
// time order, so tick is never behind the track.
void put_delta(Track& track, uint32_t tick) {
  put_vlq(track.bytes, tick - track.tick);
  track.tick = tick;
}

// Appends a channel message at tick.
void put_event(Track& track, uint32_t tick, std::initializer_list<uint8_t> message) {
  put_delta(track, tick);
  track.bytes.insert(track.bytes.end(), message);
}

// Appends a meta event at tick with the given data bytes.
void put_meta(Track& track, uint32_t tick, uint8_t type, const uint8_t* data, size_t length) {
  put_delta(track, tick);
  track.bytes.push_back(0xFF);
  track.bytes.push_back(type);
  put_vlq(track.bytes, static_cast<uint32_t>(length));
  track.bytes.insert(track.bytes.end(), data, data + length);
}

// Appends a text-type meta event at tick.
void put_text(Track& track, uint32_t tick, uint8_t type, const char* text) {
  put_meta(track, tick, type, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

// Appends a set tempo meta event in quarter notes per minute.
void put_tempo(Track& track, uint32_t tick, uint32_t per_minute) {
  uint32_t usec = 60000000 / per_minute;
  const uint8_t data[3] = {static_cast<uint8_t>(usec >> 16), static_cast<uint8_t>(usec >> 8),
                           static_cast<uint8_t>(usec)};
  put_meta(track, tick, 0x51, data, 3);
}

// Appends the volume, pan, reverb and program of a channel (0-based) at tick 0.
void put_setup(Track& track, uint8_t channel, uint8_t volume, uint8_t pan, uint8_t reverb, uint8_t program) {
  put_event(track, 0, {static_cast<uint8_t>(0xB0 | channel), 7, volume});
  put_event(track, 0, {static_cast<uint8_t>(0xB0 | channel), 10, pan});
  put_event(track, 0, {static_cast<uint8_t>(0xB0 | channel), 91, reverb});
  put_event(track, 0, {static_cast<uint8_t>(0xC0 | channel), program});
}

// The tick at which a note of the given length starting at start is released;
// the last note of the song rings to the end.
uint32_t release_tick(uint32_t start, uint32_t length) {
  return start + length == SONG_END ? SONG_END : start + length - GATE_GAP;
}

// The conductor and melody track.
Track melody_track() {
  Track track;
  put_text(track, 0, 0x03, "Sakura Sakura");
  put_text(track, 0, 0x02, "Public domain (traditional). Arrangement by the songrelay project, public domain.");
  put_text(track, 0, 0x01, TEXT_JA);
  const uint8_t four_four[4] = {4, 2, 24, 8};
  put_meta(track, 0, 0x58, four_four, 4);
  const uint8_t a_minor[2] = {0, 1};
  put_meta(track, 0, 0x59, a_minor, 2);
  put_tempo(track, 0, 108);
  put_text(track, 0, 0x04, "Koto");
  put_setup(track, 0, 100, 64, 60, 0x6A);  // GM 107 Koto
  uint32_t tick = LEAD_IN;
  for (const MelodyNote& note : MELODY) {
    // The ritardando: the two closing bars slow down.
    if (tick == LEAD_IN + 12 * W) put_tempo(track, tick, 92);
    if (tick == LEAD_IN + 13 * W) put_tempo(track, tick, 76);
    if (note.lyric != nullptr) put_text(track, tick, 0x05, note.lyric);
    bool downbeat = (tick - LEAD_IN) % W == 0;
    put_event(track, tick, {0x90, note.key, static_cast<uint8_t>(downbeat ? 100 : 88)});
    put_event(track, release_tick(tick, note.length), {0x80, note.key, 0});
    tick += note.length;
  }
  put_text(track, SONG_END, 0x2F, "");
  return track;
}

// An accompaniment track on one channel from its chord table.
Track chord_track(const char* instrument, uint8_t channel, uint8_t volume, uint8_t pan, uint8_t reverb, uint8_t program,
                  uint8_t velocity, const Chord* chords, size_t count) {
  Track track;
  put_text(track, 0, 0x04, instrument);
  put_setup(track, channel, volume, pan, reverb, program);
  uint32_t tick = LEAD_IN;
  for (size_t i = 0; i < count; ++i) {
    for (uint8_t key : chords[i].keys)
      if (key != 0) put_event(track, tick, {static_cast<uint8_t>(0x90 | channel), key, velocity});
    uint32_t release = release_tick(tick, chords[i].length);
    for (uint8_t key : chords[i].keys)
      if (key != 0) put_event(track, release, {static_cast<uint8_t>(0x80 | channel), key, 0});
    tick += chords[i].length;
  }
  put_text(track, SONG_END, 0x2F, "");
  return track;
}

// Appends a 32-bit big-endian number.
void put_u32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// The whole file image: header chunk, then one chunk per track.
std::vector<uint8_t> song_image() {
  Track tracks[3] = {
      melody_track(),
      chord_track("Strings", 1, 72, 40, 80, 0x30, 64, HARMONY, sizeof HARMONY / sizeof HARMONY[0]),  // GM 49
      chord_track("Contrabass", 2, 92, 88, 40, 0x2B, 80, BASS, sizeof BASS / sizeof BASS[0]),        // GM 44
  };
  std::vector<uint8_t> image = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 3, TIMEBASE >> 8, TIMEBASE & 0xFF};
  for (const Track& track : tracks) {
    image.insert(image.end(), {'M', 'T', 'r', 'k'});
    put_u32(image, static_cast<uint32_t>(track.bytes.size()));
    image.insert(image.end(), track.bytes.begin(), track.bytes.end());
  }
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("Usage: make-demo OUTPUT.mid\n", stderr);
    return 1;
  }
  std::vector<uint8_t> image = song_image();
  FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  size_t written = std::fwrite(image.data(), 1, image.size(), file);
  if (std::fclose(file) != 0 || written != image.size()) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
