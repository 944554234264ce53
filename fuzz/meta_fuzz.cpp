// Fuzz target: a whole load, then every stored meta event of the table handed
// to the meta-event display as the player does it, with text conversion.
// The header's format field picks quiet, verbose, no reset and the converter.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "support/meta_replay.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The display's lines would only slow the run down.
  if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* image, size_t size) {
  if (const char* broken = replay_meta_events(image, size)) {
    fprintf(stderr, "meta_fuzz: %s\n", broken);
    __builtin_trap();
  }
  return 0;
}
