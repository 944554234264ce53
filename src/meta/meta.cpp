// Meta-event display: the tempo, port and channel-prefix events carried out,
// text converted to the terminal's encoding and shown, and the verbose tempo,
// rhythm and key lines. Every read stays inside the event's own bytes.
#include "meta/meta.h"

#include <cerrno>
#include <cstdio>
#include <iconv.h>

#include "app/settings.h"
#include "song/chunk.h"

const char* const key_signature_names[30] = {
    "C Flat Major",  "A Flat Minor",  "G Flat Major",  "E Flat Minor",  "D Flat Major",
    "B Flat Minor",  "A Flat Major",  "F Minor",       "E Flat Major",  "C Minor",
    "B Flat Major",  "G Minor",       "F Major",       "D Minor",       "C Major",
    "A Minor",       "G Major",       "E Minor",       "D Major",       "B Minor",
    "A Major",       "F Sharp Minor", "E Major",       "C Sharp Minor", "B Major",
    "G Sharp Minor", "F Sharp Major", "D Sharp Minor", "C Sharp Major", "A Sharp Minor",
};

namespace {

// The channel value that stands for "no prefix seen".
constexpr uint32_t NO_CHANNEL = 0xFFFFFFFF;

// A conversion gives up after this many failed calls.
constexpr int MAX_FAILED_CALLS = 5;

// Labels of the text types 0x01 to 0x09, in type order.
const char* const text_labels[9] = {"Text",   "Copyright", "Title",   "Instrument", "Lylic",
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

// Takes a new tempo from bytes 3 to 5; an event too short to hold them
// changes nothing rather than reading the next event's bytes.
void set_tempo(const uint8_t* bytes, int length) {
  if (length < 6) return;
  uint32_t tempo = static_cast<uint32_t>(bytes[3]) << 16 | static_cast<uint32_t>(bytes[4]) << 8 | bytes[5];
  tempo_state.tempo = tempo;
  // The loader refuses a division of 0; should one get this far, it counts as 1.
  uint32_t timebase = tempo_state.timebase != 0 ? tempo_state.timebase : 1;
  tempo_state.usec_per_tick = tempo / timebase;
  if (option_flags & OPT_VERBOSE) {
    // A tempo of 0 has no quarter notes per minute to show; 0 stands for it.
    printf("  [Tempo     ]: %d\n", tempo != 0 ? static_cast<int>(60000000u / tempo) : 0);
  }
}

// Converts the text into the player's text buffer and gives back what to
// print; without a usable buffer the text shows as empty.
const char* converted_text(const uint8_t* text, int length) {
  if (playback_info.text == nullptr || playback_info.text_size == 0) return "";
  if (length == 0) {
    playback_info.text[0] = '\0';
    return playback_info.text;
  }
  int failures = convert_text(playback_info.text, playback_info.text_size - 1, text, static_cast<size_t>(length));
  if (failures >= MAX_FAILED_CALLS) fprintf(stderr, "Error!!: iconv function error (%d)\n", errno);
  return playback_info.text;
}

}  // namespace

int handle_meta_event(const EventRecord* record, uint8_t* bytes, int length) {
  // FF, the type and a length byte are the least a stored meta event holds.
  if (length < 3) return 0;
  uint8_t type = record->data1;
  int text_start = 2 + length_field_size(bytes, length);
  if (type >= 0x01 && type <= 0x09) {
    print_meta_text(bytes + text_start, length - text_start, text_labels[type - 1]);
    return 0;
  }
  switch (type) {
    case 0x20:
      if (length > 3) tempo_state.channel = bytes[3];
      break;
    case 0x21:
      if (length > 3 && bytes[3] <= 3) tempo_state.port = bytes[3];
      break;
    case 0x51:
      set_tempo(bytes, length);
      break;
    case 0x58:
      if (holds_claimed_data(bytes, length)) print_time_signature(bytes);
      break;
    case 0x59:
      if (holds_claimed_data(bytes, length)) print_key_signature(bytes);
      break;
    default:
      break;
  }
  return 0;
}

// The byte after the text is the next event's first byte or the data buffer's
// spare byte, so it may be borrowed for the terminator and is given back.
int print_meta_text(uint8_t* text, int length, const char* label) {
  if (option_flags & OPT_QUIET) return 0;
  uint8_t kept = text[length];
  text[length] = '\0';
  const char* shown = converted_text(text, length);
  if (tempo_state.channel == NO_CHANNEL) {
    printf("  [%-10s]: %s\n", label, shown);
  } else {
    printf("  [%-10s]: (Channel:%01d) %s\n", label, static_cast<int>(tempo_state.channel), shown);
  }
  text[length] = kept;
  return 0;
}

// A byte that cannot be converted is passed through and conversion goes on
// behind it. A text that does not fit is cut at the last whole character:
// a call that failed for want of room copies nothing, so the remaining calls
// fail as well and the caller reports the cut with errno E2BIG.
int convert_text(char* out, size_t out_space, const uint8_t* in, size_t in_length) {
  if (out == nullptr) return 0;
  char* in_pos = reinterpret_cast<char*>(const_cast<uint8_t*>(in));
  char* out_pos = out;
  int failures = 0;
  while (in_length > 0 && failures < MAX_FAILED_CALLS) {
    if (iconv(text_converter.handle, &in_pos, &in_length, &out_pos, &out_space) != static_cast<size_t>(-1)) continue;
    ++failures;
    if (errno != E2BIG && in_length > 0 && out_space > 0) {
      *out_pos++ = *in_pos++;
      --in_length;
      --out_space;
    }
  }
  *out_pos = '\0';
  return failures;
}

int print_time_signature(const uint8_t* bytes) {
  if (!(option_flags & OPT_VERBOSE) || bytes[2] != 4) return 0;
  int32_t denominator = static_cast<int32_t>(1u << (bytes[4] % 32));
  printf("  [Rhythm    ]: %d/%d \n", bytes[3], denominator);
  return 0;
}

int print_key_signature(const uint8_t* bytes) {
  if (!(option_flags & OPT_VERBOSE) || bytes[2] != 2) return 0;
  uint8_t key = static_cast<uint8_t>(bytes[3] + 7);
  uint8_t minor = bytes[4];
  if (key < 15 && minor < 2) {
    printf("  [KeySign.  ]: %s\n", key_signature_names[key * 2 + minor]);
  } else {
    printf("  [KeySign.  ]: Unknown Key (%d:%x)\n", static_cast<int8_t>(key), minor);
  }
  return 0;
}
