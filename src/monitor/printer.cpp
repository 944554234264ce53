// The printing thread of the monitor's console output.
#include "monitor/printer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// Everything the printer shares between the reader and its thread; one per
// process, and never destroyed before the thread is, since the thread may
// outlive the run inside a write that never returns.
struct Printer {
  std::mutex lock;
  std::condition_variable changed;
  std::string pending;      // text handed over, not yet taken by the thread
  bool writing = false;     // the thread holds text it has not finished writing
  bool broken = false;      // the console refused a write, or the end gave up on it
  uint64_t held_lines = 0;  // lines in the text the thread is writing
  uint64_t progress = 0;    // counts the thread's finished writes
  uint64_t dropped = 0;     // lines dropped
  int fd = -1;
};

Printer& printer() {
  static Printer* const instance = new Printer;  // never freed: see above
  return *instance;
}

// Writes all of text to fd; false when the console refuses it for good.
bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t count = write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

// The printing thread: takes whatever is pending and writes it, outside the
// lock, so that the reader can always hand over more.
void print_loop() {
  Printer& p = printer();
  std::unique_lock<std::mutex> guard(p.lock);
  for (;;) {
    p.changed.wait(guard, [&p] { return !p.pending.empty(); });
    std::string text;
    text.swap(p.pending);
    p.writing = true;
    p.held_lines = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
    bool abandoned = p.broken;
    guard.unlock();
    bool ok = !abandoned && write_all(p.fd, text);
    guard.lock();
    // Text the end gave up on while it was being written is counted there.
    if (!ok && !p.broken) p.dropped += p.held_lines;
    if (!ok) p.broken = true;
    p.writing = false;
    ++p.progress;
    p.changed.notify_all();
  }
}

}  // namespace

int printer_start(int fd) {
  Printer& p = printer();
  p.fd = fd;
  try {
    std::thread(print_loop).detach();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "songrelay-monitor: cannot start the printing thread (%s)\n", error.what());
    return -1;
  }
  return 0;
}

void printer_put(const std::string& text) {
  Printer& p = printer();
  std::lock_guard<std::mutex> guard(p.lock);
  if (p.broken || p.pending.size() + text.size() > PRINTER_LIMIT) {
    p.dropped += static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
    return;
  }
  p.pending += text;
  p.changed.notify_all();
}

bool printer_finish(int idle_ms) {
  Printer& p = printer();
  std::unique_lock<std::mutex> guard(p.lock);
  for (;;) {
    if (p.pending.empty() && !p.writing) return true;
    uint64_t seen = p.progress;
    bool moved = p.changed.wait_for(guard, std::chrono::milliseconds(idle_ms),
                                    [&p, seen] { return p.progress != seen || (p.pending.empty() && !p.writing); });
    if (!moved) break;
  }
  // What is still pending will not be written, nor, as far as anyone can
  // tell, the piece the thread is stuck on.
  p.dropped += static_cast<uint64_t>(std::count(p.pending.begin(), p.pending.end(), '\n'));
  if (p.writing) p.dropped += p.held_lines;
  p.pending.clear();
  p.broken = true;
  return false;
}

uint64_t printer_dropped_lines() {
  Printer& p = printer();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.dropped;
}
