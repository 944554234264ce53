// Song model, options: the option bits that the command line sets once
// before the run and that the loader and the display only read.
#pragma once

#include <cstdint>

// One byte of option bits, all clear at start.
using OptionFlags = uint8_t;
enum : OptionFlags {
  OPT_VERBOSE = 0x01,   // -v
  OPT_QUIET = 0x02,     // -q
  OPT_NO_RESET = 0x04,  // -r
};

inline OptionFlags option_flags = 0;
