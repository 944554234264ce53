// Meta-event display, text converter: the converter from the file's text
// encoding to the terminal's, opened by the program before the run.
#pragma once

#include <iconv.h>

// The two encodings by name and the converter between them.
struct TextConverter {
  char source_encoding[64];    // upper case, NUL-terminated, rest zero
  char terminal_encoding[64];  // upper case, NUL-terminated, rest zero
  iconv_t handle;              // (iconv_t)-1 while not open
};

inline TextConverter text_converter = {{}, {}, reinterpret_cast<iconv_t>(-1)};
