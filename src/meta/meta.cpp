// Meta-event display: the tempo, port and channel-prefix events carried out,
// text converted to the terminal's encoding and shown, and the verbose tempo,
// rhythm and key lines. Every read stays inside the event's own bytes.
#include "meta/meta.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "base/console.h"
#include "meta/text_converter.h"
#include "song/chunk.h"
#include "song/options.h"

const char* const key_signature_names[30] = {
    "C Flat Major", "A Flat Minor",  "G Flat Major",  "E Flat Minor",  "D Flat Major",  "B Flat Minor",
    "A Flat Major", "F Minor",       "E Flat Major",  "C Minor",       "B Flat Major",  "G Minor",
    "F Major",      "D Minor",       "C Major",       "A Minor",       "G Major",       "E Minor",
    "D Major",      "B Minor",       "A Major",       "F Sharp Minor", "E Major",       "C Sharp Minor",
    "B Major",      "G Sharp Minor", "F Sharp Major", "D Sharp Minor", "C Sharp Major", "A Sharp Minor",
};

namespace {

// Converted text takes at most this many bytes for each byte of the event.
// The widest terminal encodings reach it: UTF-32 writes 4 bytes for every
// one-byte character, and 8 for a 2-byte JIS X 0213 pair that stands for 2
// code points; ISO-2022-JP-3 text that switches between one-byte and other
// characters at every byte pays 3 bytes of escape before each; UTF-8 needs
// 3 at most (a half-width katakana of 1 byte). Only a source encoding that
// makes several characters of one byte (TSCII does) can need more, and so
// can control characters shown in caret notation on a terminal whose
// characters are wider than a byte (M-^[ for a one-byte C1 control is 16
// bytes of UTF-32), or between shifts of an ISO-2022 terminal; on the
// byte-wide terminal encodings they take 4 at most. Such a text is cut and
// reported like any text that does not fit.
constexpr size_t OUTPUT_PER_INPUT_BYTE = 4;

// What a text may add once, apart from its characters: a byte-order mark or
// an ISO-2022-KR header at its start (4 bytes), the shift back to the initial
// state at its end (3 bytes of ESC ( B, or SI), rounded up.
constexpr size_t OUTPUT_PER_TEXT = 8;

// A stored event under 131 bytes is read as having a one-byte length field,
// so its text may hold up to 3 more bytes of a longer field.
constexpr size_t FIELD_BYTES_IN_TEXT = 3;

// Room on a text's line besides the converted text: the label, the channel
// prefix and the newline.
constexpr size_t LINE_ROOM = 64;

// Labels of the text types 0x01 to 0x09, in type order.
const char* const TEXT_LABELS[9] = {"Text",   "Copyright", "Title",   "Instrument", "Lylic",
                                    "Marker", "Que Point", "Program", "Device"};

// Size of the length field. A one-byte field makes at most 130 bytes in all,
// so a shorter event is taken to have one without looking; a longer one is
// read, bounded by the event. A field that runs to the event's end leaves no text.
int length_field_size(const uint8_t* bytes, int length) {
  if (length < 131) return 1;
  uint32_t ignored;
  int size = read_vlq(&ignored, bytes + 2, bytes + length);
  return size != 0 ? size : length - 2;
}

// Whether the event holds every data byte that its length byte claims, so a
// truncated signature is never read past its end.
bool holds_claimed_data(const uint8_t* bytes, int length) { return length >= 3 + bytes[2]; }

// Takes a new tempo from bytes 3 to 5 and gives it back if it differs from
// the one before; an event too short to hold them changes nothing rather
// than reading the next event's bytes.
uint32_t set_tempo(const uint8_t* bytes, int length) {
  if (length < 6) return TEMPO_UNCHANGED;
  uint32_t tempo = static_cast<uint32_t>(bytes[3]) << 16 | static_cast<uint32_t>(bytes[4]) << 8 | bytes[5];
  uint32_t before = tempo_state.tempo;
  tempo_state.tempo = tempo;
  // The loader refuses a division of 0; should one get this far, it counts as 1.
  uint32_t timebase = tempo_state.timebase != 0 ? tempo_state.timebase : 1;
  tempo_state.usec_per_tick = tempo / timebase;
  if (option_flags & OPT_VERBOSE) {
    // A tempo of 0 has no quarter notes per minute to show; 0 stands for it.
    console_printf(STDOUT_FILENO, "  [Tempo     ]: %d\n", tempo != 0 ? static_cast<int>(60000000u / tempo) : 0);
  }
  return tempo != before ? tempo : TEMPO_UNCHANGED;
}

// Converts the text into the player's text buffer and gives back what to
// print, *shown_length its bytes (counted, not measured: they may hold
// NULs) and *error the errno of the last failure or 0 when there was none;
// without a usable buffer the text shows as empty.
const char* converted_text(const uint8_t* text, int length, size_t* shown_length, int* error) {
  *error = 0;
  *shown_length = 0;
  if (playback_info.text == nullptr || playback_info.text_size == 0) return "";
  if (length == 0) {
    playback_info.text[0] = '\0';
    return playback_info.text;
  }
  int failures = convert_text(playback_info.text, playback_info.text_size - 1, text, static_cast<size_t>(length),
                              shown_length);
  if (failures > 0) *error = errno;
  return playback_info.text;
}

// Whether the line begun can take the text however much its conversion
// makes it grow; the console then keeps that room for it. A text that the
// queue cannot hold now is not converted at all.
bool reserve_text_line(int length) {
  return console_reserve(LINE_ROOM + text_buffer_size(static_cast<uint32_t>(length)));
}

// Drops the line begun, its text unconverted. Appending to a dropped line
// only counts the bytes, so the console tells how much text it did not show;
// without a printing thread nothing is counted or shown.
void drop_text_line(const uint8_t* text, int length) {
  if (!console_reserve(SIZE_MAX)) console_append(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
  console_end();
}

}  // namespace

int handle_meta_event(const EventRecord* record, uint8_t* bytes, int length) {
  play_meta_event(record, bytes, length);
  return 0;
}

uint32_t play_meta_event(const EventRecord* record, uint8_t* bytes, int length) {
  // FF, the type and a length byte are the least a stored meta event holds.
  if (length < 3) return TEMPO_UNCHANGED;
  uint8_t type = record->data1;
  int text_start = 2 + length_field_size(bytes, length);
  if (type >= 0x01 && type <= 0x09) {
    print_meta_text(bytes + text_start, length - text_start, TEXT_LABELS[type - 1]);
    return TEMPO_UNCHANGED;
  }
  switch (type) {
    case 0x20:
      if (length > 3) tempo_state.channel = bytes[3];
      break;
    case 0x21:
      if (length > 3 && bytes[3] <= 3) tempo_state.port = bytes[3];
      break;
    case 0x51: return set_tempo(bytes, length);
    case 0x58:
      if (holds_claimed_data(bytes, length)) print_time_signature(bytes);
      break;
    case 0x59:
      if (holds_claimed_data(bytes, length)) print_key_signature(bytes);
      break;
    default: break;
  }
  return TEMPO_UNCHANGED;
}

// The byte after the text is the next event's first byte or the data buffer's
// spare byte, so it may be borrowed for the terminator and is given back. A
// text that met anything it could not convert (bytes not in the file's
// encoding, a character the terminal's lacks, no room) says so once, ahead
// of its line: its placeholders alone would not tell the user that -l names
// another encoding than the file's. The text's line is begun again after it.
int print_meta_text(uint8_t* text, int length, const char* label) {
  if (option_flags & OPT_QUIET) return 0;
  if (static_cast<size_t>(length) > LONGEST_CONVERTED_TEXT) {
    // Too long to convert between two events: said for what it is, not
    // counted with the text that a slow console did not take.
    console_printf(STDERR_FILENO, "songrelay: a text of %zu KB was not shown: texts over %zu KB are not converted.\n",
                   (static_cast<size_t>(length) + 1023) / 1024, LONGEST_CONVERTED_TEXT / 1024);
    return 0;
  }
  console_begin(STDOUT_FILENO);
  if (!reserve_text_line(length)) {
    drop_text_line(text, length);
    return 0;
  }
  uint8_t kept = text[length];
  text[length] = '\0';
  int error = 0;
  size_t shown_length = 0;
  const char* shown = converted_text(text, length, &shown_length, &error);
  if (error != 0) {
    console_printf(STDERR_FILENO, "Error!!: iconv function error (%d)\n", error);
    console_begin(STDOUT_FILENO);
  }
  if (tempo_state.channel == NO_CHANNEL) {
    console_appendf("  [%-10s]: ", label);
  } else {
    console_appendf("  [%-10s]: (Channel:%01d) ", label, static_cast<int>(tempo_state.channel));
  }
  console_append(shown, shown_length);
  console_append("\n", 1);
  console_end();
  text[length] = kept;
  return 0;
}

// 4 bytes of output for each byte of text, plus what a text adds once and the NUL.
size_t text_buffer_size(uint32_t longest_meta) {
  size_t longest_text = static_cast<size_t>(longest_meta) + FIELD_BYTES_IN_TEXT;
  if (longest_text > (SIZE_MAX - OUTPUT_PER_TEXT - 1) / OUTPUT_PER_INPUT_BYTE) return 0;
  return longest_text * OUTPUT_PER_INPUT_BYTE + OUTPUT_PER_TEXT + 1;
}

size_t shown_text_buffer_size(uint32_t longest_meta) {
  return text_buffer_size(static_cast<uint32_t>(std::min<size_t>(longest_meta, LONGEST_CONVERTED_TEXT)));
}

// The console need not hold more than the longest text that is shown.
size_t longest_text_line(uint32_t longest_meta) {
  size_t text = shown_text_buffer_size(longest_meta);
  return text == 0 ? 0 : text + LINE_ROOM;
}

int print_time_signature(const uint8_t* bytes) {
  if (!(option_flags & OPT_VERBOSE) || bytes[2] != 4) return 0;
  int32_t denominator = static_cast<int32_t>(1u << (bytes[4] % 32));
  console_printf(STDOUT_FILENO, "  [Rhythm    ]: %d/%d \n", bytes[3], denominator);
  return 0;
}

int print_key_signature(const uint8_t* bytes) {
  if (!(option_flags & OPT_VERBOSE) || bytes[2] != 2) return 0;
  uint8_t key = static_cast<uint8_t>(bytes[3] + 7);
  uint8_t minor = bytes[4];
  if (key < 15 && minor < 2) {
    console_printf(STDOUT_FILENO, "  [KeySign.  ]: %s\n", key_signature_names[key * 2 + minor]);
  } else {
    console_printf(STDOUT_FILENO, "  [KeySign.  ]: Unknown Key (%d:%x)\n", static_cast<int8_t>(key), minor);
  }
  return 0;
}
