// Meta-event display: carries out tempo, port and channel-prefix events and
// shows text, tempo, time and key signatures as the song reaches them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "song/song.h"

// The 30 key names, indexed by (sharps + 7) * 2 + minor.
extern const char* const key_signature_names[30];

// Acts on one stored meta event (bytes from its FF, length bytes); always 0.
// The player calls play_meta_event instead, which also hands it the tempo.
int handle_meta_event(const EventRecord* record, uint8_t* bytes, int length);

// What play_meta_event hands back when the length of a tick stays as it was.
constexpr uint32_t TEMPO_UNCHANGED = 0xFFFFFFFF;

// Acts on one stored meta event as handle_meta_event does, and hands the
// player the new tempo (microseconds per quarter note) of a set-tempo event
// that changed it, so that the schedule follows; TEMPO_UNCHANGED otherwise.
uint32_t play_meta_event(const EventRecord* record, uint8_t* bytes, int length);

// The longest text that the player converts. Conversion runs on the player
// thread between two events: Shift_JIS converts at 85 MB/s or more for a
// UTF-8 terminal and at about 24 MB/s at the slowest for real text (kanji
// for EUC-JP or ISO-2022-JP-3), so this much takes under 3 ms, while a
// whole lyric sheet in one event (10 to 30 KB) still shows. Only a text made
// to switch sets at every byte on an ISO-2022-JP-3 terminal, and cut, takes
// longer: about 14 ms. A longer text is dropped whole, unconverted, and
// counted with the lines the console did not show.
constexpr size_t LONGEST_CONVERTED_TEXT = 64 * 1024;

// Converts and prints one text with its label unless quiet; always 0. Control
// characters in the text are shown in caret notation (see text_converter.cpp).
// A text longer than LONGEST_CONVERTED_TEXT, or one whose line the console
// cannot hold now, is dropped whole without being converted.
int print_meta_text(uint8_t* text, int length, const char* label);

// Converts in_length bytes into at most out_space bytes plus a NUL, shown so
// that they cannot steer the terminal, and leaves the converter in its
// initial state; returns the failures (0 to 5), errno telling the last.
// *out_length gets the bytes converted, without the NUL: a terminal's
// encoding may put NULs in the text itself (UTF-16 does in ASCII).
int convert_text(char* out, size_t out_space, const uint8_t* in, size_t in_length, size_t* out_length);

// Bytes of converted-text buffer that any text of a song fits in, whatever
// the terminal's encoding, from the song's longest meta event; 0 when that
// is more than a size_t can count.
size_t text_buffer_size(uint32_t longest_meta);

// Bytes of converted-text buffer that every text the display shows fits in,
// for a song whose longest meta event is longest_meta bytes: a text longer
// than LONGEST_CONVERTED_TEXT is never converted, so a longer event asks
// for no more room than that; 0 only where text_buffer_size gives 0.
size_t shown_text_buffer_size(uint32_t longest_meta);

// The longest line the display can print for a song whose longest meta
// event is longest_meta bytes: its converted text, no longer than the
// longest text converted, with a label and a channel in front.
size_t longest_text_line(uint32_t longest_meta);

// Verbose rhythm line for a time-signature event; always 0.
int print_time_signature(const uint8_t* bytes);

// Verbose key line for a key-signature event; always 0.
int print_key_signature(const uint8_t* bytes);
