// The monitor built without the synthesizer library: a synthesis option says
// so in one line.
#include <cstdio>

#include "monitor/sound/synth.h"

bool synth_built_in() { return false; }

int synth_start(const MonitorOptions& options) {
  if (!synth_wanted(options)) return 0;
  std::fputs("songrelay-monitor: synthesis is not built in (this build has no libfluidsynth)\n", stderr);
  return -1;
}

void synth_put(int, int64_t, const DecodedMessage&) {}

void synth_writer_gone(int, int64_t) {}

std::string synth_header_line() { return ""; }

void synth_mark_quiet(int64_t) {}

int synth_quiet_interval_ms() { return -1; }

int synth_finish(int64_t) { return 0; }
