// The player with a probe in its life cycle, for tests only: SONGRELAY_SEAM
// names points and signals, "drain:SIGINT,stop-silence:SIGHUP", and the
// first time the run passes each point it sends itself that signal, as a
// key pressed at that very moment would. The signal goes to the process,
// not the thread, so a thread that holds it leaves it pending, as it would
// a key's.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "app/program.h"
#include "base/life_cycle.h"

namespace {

struct PointName {
  LifePoint point;
  const char* name;
};
const PointName POINT_NAMES[] = {{POINT_PAUSE_LAST_LOOK, "pause-last-look"},
                                 {POINT_PAUSE_SILENCE, "pause-silence"},
                                 {POINT_DRAIN, "drain"},
                                 {POINT_STOP_SILENCE, "stop-silence"},
                                 {POINT_ENDING, "ending"}};

struct SignalName {
  int number;
  const char* name;
};
const SignalName SIGNAL_NAMES[] = {
    {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGTSTP, "SIGTSTP"}, {SIGCONT, "SIGCONT"}};

// The signal to send at each point, 0 for none; cleared once sent.
int signal_at[POINT_COUNT];

// Reads one "point:SIGNAL" of the variable; false when either is unknown.
bool read_pair(const char* pair, size_t length) {
  const char* colon = static_cast<const char*>(memchr(pair, ':', length));
  if (colon == nullptr) return false;
  size_t point_length = static_cast<size_t>(colon - pair);
  for (const PointName& point : POINT_NAMES) {
    if (strlen(point.name) != point_length || strncmp(point.name, pair, point_length) != 0) continue;
    for (const SignalName& signal : SIGNAL_NAMES) {
      size_t signal_length = length - point_length - 1;
      if (strlen(signal.name) == signal_length && strncmp(signal.name, colon + 1, signal_length) == 0) {
        signal_at[point.point] = signal.number;
        return true;
      }
    }
  }
  return false;
}

// The probe: sends the point's signal, once.
void probe(LifePoint point) {
  int signal_number = signal_at[point];
  if (signal_number == 0) return;
  signal_at[point] = 0;
  kill(getpid(), signal_number);
}

}  // namespace

int main(int argc, char** argv) {
  const char* seam = getenv("SONGRELAY_SEAM");
  while (seam != nullptr && *seam != '\0') {
    size_t length = strcspn(seam, ",");
    if (!read_pair(seam, length)) {
      static const char usage[] = "songrelay-seams: SONGRELAY_SEAM is point:SIGNAL[,point:SIGNAL]\n";
      ssize_t ignored = write(STDERR_FILENO, usage, sizeof usage - 1);
      (void)ignored;
      return 64;
    }
    seam += length + (seam[length] == ',' ? 1 : 0);
  }
  life_point_probe = probe;
  return songrelay_main(argc, argv);
}
