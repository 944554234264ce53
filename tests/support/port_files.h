// Shared test helpers for whole runs of the player: four files standing in
// for its ports, the All Sound Off block they receive on a stop, and a wait
// for bytes to arrive in one of them.
#pragma once

#include <array>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/support.h"

// Four empty regular files in a scratch directory, one per port, named to
// the player relative to /dev/ as its options expect.
struct PortFiles {
  PortFiles();
  TempDir dir;
  std::array<std::string, 4> nodes;  // the -0 … -3 arguments
  // Names another node for one port (a FIFO, a pty, an absolute path).
  PortFiles& use(int port, const std::string& node);
  // Names every port by its file's absolute path instead.
  PortFiles& absolute();
  // "-0", nodes[0], … "-3", nodes[3].
  std::vector<std::string> args() const;
  // The bytes the port's file received.
  Bytes received(int port) const;
};

// The player's command line: the program, options, the four ports, the song.
std::vector<std::string> player_argv(const std::vector<std::string>& options, const PortFiles& ports,
                                     const std::string& song);

// All Sound Off on the sixteen channels, as a stop sends it to every port.
const Bytes& all_sound_off();

// Waits until the file at path holds at least size bytes, looking every 5 ms;
// false after ten seconds, a bound that only a player that never wrote them exceeds.
bool wait_for_size(const std::string& path, off_t size);
