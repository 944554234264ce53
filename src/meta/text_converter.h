// Meta-event display, text converter: the converters from the file's text
// encoding to the terminal's, opened by the program before the run. Text
// goes through Unicode on its way, so that the characters that could steer
// the terminal are found whatever the two encodings are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <iconv.h>

// The two encodings by name and the converters between them.
struct TextConverter {
  char source_encoding[64];    // upper case, NUL-terminated, rest zero
  char terminal_encoding[64];  // upper case, NUL-terminated, rest zero
  iconv_t handle;              // source to terminal; (iconv_t)-1 while not open
  iconv_t to_unicode;          // source to UTF-32BE; (iconv_t)-1 while not open
  iconv_t from_unicode;        // UTF-32BE to terminal; (iconv_t)-1 while not open
  uint32_t placeholder;        // shown for what cannot be converted: U+FFFD, or '?' where the terminal lacks it
};

inline TextConverter text_converter = {
    {}, {}, reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1), '?'};

// A conversion gives up after this many failures.
constexpr int MAX_FAILED_CALLS = 5;

// Opens the converters between the two encodings named. The direct one is
// opened first, so that a pair that iconv cannot convert is refused with the
// errno of that open; false, with errno kept and nothing left open, when any
// of them cannot be opened.
bool open_text_converter();

// Closes whatever open_text_converter opened.
void close_text_converter();

// Prints a name already in the terminal's encoding (the file operand, a
// node's path, an encoding's name) to stream, standard output unless told,
// so that it cannot steer the terminal, as song text is shown; main thread
// only, before playback.
void print_harmless_name(const char* name, FILE* stream = stdout);

// True when iconv knows no encoding of this name, in either direction; an
// open that fails for another reason (no memory, no descriptor left) is no
// proof, and gives false.
bool encoding_unknown(const char* name);
