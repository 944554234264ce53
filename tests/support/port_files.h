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

// A byte no song of the tests sends, to tell a test's own filling of a FIFO
// from the player's bytes.
constexpr uint8_t FILLER = 0x55;

// A FIFO in a scratch directory with a reader held open by the test, which
// reads it only when told; full when made so, as a device that stopped draining.
struct HeldFifo {
  std::string path;
  int reader = -1;
  int filler = -1;  // the test's own write end, kept so the filling stays
  Bytes read_so_far;
  HeldFifo(const TempDir& dir, const std::string& name, bool full);
  ~HeldFifo();
  HeldFifo(const HeldFifo&) = delete;
  HeldFifo& operator=(const HeldFifo&) = delete;
  // Reads at most count bytes of what is there now; false when there was none.
  bool take(size_t count);
  // What the player wrote: everything read, without the test's filling.
  Bytes from_player() const;
};
