// Playback, tick timing: absolute sleeps on the monotonic clock, their
// margin learned from the player's own sleeps, with a short stretch of
// clock reading before each due time.
#include "player/timing.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

int64_t wake_margin_ns = 1000000;

namespace {

// The margin before any measurement: the most that a wait spins.
constexpr int64_t FIRST_MARGIN_NS = 1000000;

constexpr int CALIBRATION_ROUNDS = 50;

// The margin is the lateness of the 45th of 50 sleeps: a sleep now and then
// wakes later still, and the schedule absorbs that, but spinning for the
// worst would cost the processor on every wait; and on a virtual machine a
// few of the fifty sleeps may fall into the host's pauses, which must not
// set the margin for the whole song.
constexpr int MARGIN_RANK = 44;

// Bounds on the margin: a few microseconds for reading the clock, and no
// more than a millisecond of spinning per wait even where sleeps wake later
// (a busy machine without real-time priority), whose cost in processor time
// would then buy little.
constexpr int64_t MIN_MARGIN_NS = 20000;
constexpr int64_t MAX_MARGIN_NS = 1000000;

// The ceiling for a player at ordinary priority. On a busy machine its
// sleeps wake a millisecond or more late, so the learned margin would reach
// the full ceiling and spin half a millisecond per wait (5 % of a processor
// on the benchmark's busy run) in a thread that the scheduler preempts all
// the same; a short margin keeps the spinning to what pays.
constexpr int64_t ORDINARY_PRIORITY_MARGIN_NS = 100000;

// The ceiling in force for this run.
int64_t margin_ceiling_ns = MAX_MARGIN_NS;

// Until the first window is learned, once this many waits in a row began
// within the margin, each such wait further than PROBE_SLEEP_MIN_NS from its
// deadline first sleeps half of what is left, and that sleep counts: a song so
// dense that every wait falls within the first margin would otherwise never
// sleep, never learn, and spin its whole length at real-time priority (the
// kernel then holds every real-time thread of that processor back for 50 ms
// a second).
// A song with a few close records among sparse ones learns from its
// ordinary sleeps alone, as before.
constexpr int64_t PROBE_SLEEP_MIN_NS = 2 * MIN_MARGIN_NS;
constexpr int PROBE_AFTER_WAITS = 20;

// A sleep never runs longer than this at once, so that a stop request
// arriving just before the sleep began is still seen within a few milliseconds.
constexpr int64_t LONGEST_SLEEP_NS = 20000000;

timespec to_timespec(int64_t ns) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  return ts;
}

// Sleeps until the monotonic clock reaches ns; a signal ends it early.
void sleep_until(int64_t ns) {
  timespec until = to_timespec(ns);
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

// The margin that a set of CALIBRATION_ROUNDS wake-ups calls for.
int64_t margin_from(std::array<int64_t, CALIBRATION_ROUNDS>& late) {
  std::nth_element(late.begin(), late.begin() + MARGIN_RANK, late.end());
  return std::clamp(late[MARGIN_RANK], MIN_MARGIN_NS, margin_ceiling_ns);
}

// The player's own sleeps, gathered while the song plays in windows of
// CALIBRATION_ROUNDS; idle unless learn_wake_margin started it.
struct MarginLearning {
  std::array<int64_t, CALIBRATION_ROUNDS> late;
  int count = 0;
  bool on = false;
  bool first = true;      // the window under way is the first
  int within_margin = 0;  // waits in a row that began within the first margin
};
MarginLearning learning;

// Notes how late one of the player's sleeps woke. The first fifty set the
// margin; each fifty after them may lower it, never raise it. The first
// window wakes later than the song goes on to (its sleeps share the
// processor with the start of the playback and of its reader: a 45th of 50
// of 260 µs against 100 µs later on one machine), so the margin it sets
// alone would spin that much longer before every record. A later window
// that woke late (the machine held the player back) must not raise it: a
// margin of a millisecond spun at real-time priority costs more than the
// records it would put on time.
void note_lateness(int64_t late_ns) {
  if (!learning.on) return;
  learning.late[static_cast<size_t>(learning.count++)] = late_ns;
  if (learning.count < CALIBRATION_ROUNDS) return;
  int64_t learned = margin_from(learning.late);
  wake_margin_ns = learning.first ? learned : std::min(wake_margin_ns, learned);
  learning.first = false;
  learning.count = 0;
}

// Whether a wait that begins left_ns before its deadline, within the
// margin, sleeps half of it to learn the first margin: counts such waits.
bool probe_sleep(int64_t left_ns) {
  if (!learning.on || !learning.first || left_ns <= PROBE_SLEEP_MIN_NS) return false;
  return ++learning.within_margin > PROBE_AFTER_WAITS;
}

}  // namespace

void lower_timer_slack() {
#if defined(__linux__)
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void learn_wake_margin() {
  wake_margin_ns = FIRST_MARGIN_NS;
  learning = MarginLearning{};
  learning.on = true;
}

void reset_wake_margin() {
  wake_margin_ns = FIRST_MARGIN_NS;
  learning = MarginLearning{};
  margin_ceiling_ns = MAX_MARGIN_NS;
}

void keep_wake_margin_short() {
  margin_ceiling_ns = ORDINARY_PRIORITY_MARGIN_NS;
  wake_margin_ns = std::min(wake_margin_ns, margin_ceiling_ns);
}

// A deadline that has passed costs one clock reading. Sleeps end a margin
// early (or, while the first margin is learned and waits keep beginning
// within it, half of what is left, once); the rest is spent reading the
// clock, which looks at the stop request on every turn. The reading after a
// sleep tells how late it woke.
int64_t wait_until(int64_t deadline_ns, bool (*ends_wait)()) {
  int64_t slept_until = -1;
  for (bool first_turn = true;; first_turn = false) {
    if (ends_wait()) return WAIT_ENDED_EARLY;
    int64_t now = monotonic_ns();
    if (slept_until >= 0) note_lateness(now - slept_until);
    if (now >= deadline_ns) return now;
    slept_until = -1;
    if (deadline_ns - now > wake_margin_ns) {
      learning.within_margin = 0;
      slept_until = std::min(deadline_ns - wake_margin_ns, now + LONGEST_SLEEP_NS);
      sleep_until(slept_until);
    } else if (first_turn && probe_sleep(deadline_ns - now)) {
      slept_until = now + (deadline_ns - now) / 2;
      sleep_until(slept_until);
    }
  }
}
