// Hands every stored meta event of a loaded image to the meta-event display
// the way the player thread does, without ports or waits, and checks what the
// display promises. Shared by the meta fuzz target and the regression test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/settings.h"

// The options and the text converter one replay runs with.
struct ReplaySetup {
  OptionFlags options;
  int converter;  // index into the replay's converter list
};

// Picks the setup from the header's format field, which the loader never
// reads, so an input chooses its own options without changing its song.
ReplaySetup replay_setup(const uint8_t* image, size_t size);

// Loads the image with the setup's options and plays every meta record
// through handle_meta_event; null when every promise held, otherwise what broke.
// Leaves no song state behind; the console lines go wherever stdout points.
const char* replay_meta_events(const uint8_t* image, size_t size);
