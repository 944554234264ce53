// Shared test helpers for whole runs of the player.
#include "support/port_files.h"

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

PortFiles::PortFiles() {
  for (int p = 0; p < 4; ++p) {
    std::string name = "p" + std::to_string(p);
    write_file(dir.file(name), {});
    nodes[p] = dir.from_dev(name);
  }
}

PortFiles& PortFiles::use(int port, const std::string& node) {
  nodes.at(port) = node;
  return *this;
}

PortFiles& PortFiles::absolute() {
  for (int p = 0; p < 4; ++p) nodes[p] = dir.file("p" + std::to_string(p));
  return *this;
}

std::vector<std::string> PortFiles::args() const {
  std::vector<std::string> list;
  for (int p = 0; p < 4; ++p) {
    list.push_back("-" + std::to_string(p));
    list.push_back(nodes[p]);
  }
  return list;
}

Bytes PortFiles::received(int port) const { return read_file(dir.file("p" + std::to_string(port))); }

std::vector<std::string> player_argv(const std::vector<std::string>& options, const PortFiles& ports,
                                     const std::string& song) {
  std::vector<std::string> argv{SONGRELAY_BIN};
  argv.insert(argv.end(), options.begin(), options.end());
  for (const std::string& arg : ports.args()) argv.push_back(arg);
  argv.push_back(song);
  return argv;
}

// Written out whole, so that the tests compare against the bytes themselves.
const Bytes& all_sound_off() {
  static const Bytes block = {0xB0, 0x78, 0x00, 0xB1, 0x78, 0x00, 0xB2, 0x78, 0x00, 0xB3, 0x78, 0x00,
                              0xB4, 0x78, 0x00, 0xB5, 0x78, 0x00, 0xB6, 0x78, 0x00, 0xB7, 0x78, 0x00,
                              0xB8, 0x78, 0x00, 0xB9, 0x78, 0x00, 0xBA, 0x78, 0x00, 0xBB, 0x78, 0x00,
                              0xBC, 0x78, 0x00, 0xBD, 0x78, 0x00, 0xBE, 0x78, 0x00, 0xBF, 0x78, 0x00};
  return block;
}

bool wait_for_size(const std::string& path, off_t size) {
  for (int i = 0; i < 2000; ++i) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && info.st_size >= size) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

HeldFifo::HeldFifo(const TempDir& dir, const std::string& name, bool full) : path(dir.file(name)) {
  mkfifo(path.c_str(), 0600);
  reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (!full) return;
  filler = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  const Bytes page(4096, FILLER);
  while (write(filler, page.data(), page.size()) > 0) {
  }
}

HeldFifo::~HeldFifo() {
  if (reader >= 0) close(reader);
  if (filler >= 0) close(filler);
}

bool HeldFifo::take(size_t count) {
  Bytes chunk(count);
  ssize_t n = read(reader, chunk.data(), chunk.size());
  if (n > 0) read_so_far.insert(read_so_far.end(), chunk.begin(), chunk.begin() + n);
  return n > 0;
}

Bytes HeldFifo::from_player() const {
  Bytes bytes = read_so_far;
  size_t skip = 0;
  while (skip < bytes.size() && bytes[skip] == FILLER) ++skip;
  return Bytes(bytes.begin() + static_cast<long>(skip), bytes.end());
}
