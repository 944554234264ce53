// Base, the life cycle of a run: the state word, its transitions, and the
// wake-up pipe.
#include "base/life_cycle.h"

#include <cerrno>
#include <pthread.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/pipe.h"

void (*life_point_probe)(LifePoint point) = nullptr;

namespace {

// The state word: the phase in the low byte, then the raised bits, then the
// first stop's signal in the third byte.
constexpr uint32_t PHASE_MASK = 0xFF;
constexpr uint32_t STOP_BIT = 0x100;
constexpr uint32_t PAUSE_BIT = 0x200;
constexpr int SIGNAL_SHIFT = 16;
constexpr uint32_t SIGNAL_MASK = 0xFFu << SIGNAL_SHIFT;

// The run's one state. Written by signal handlers (raise_stop, raise_pause)
// and by whichever thread owns the phase (move_phase), only ever by
// compare-and-exchange, so a stop stored by a handler is never overwritten
// by a transition read before it. Sequentially consistent: the thread that
// empties the wake-up pipe and then looks at the state sees every stop
// whose byte it read.
std::atomic<uint32_t> run_state{PHASE_LOADING};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the run state must be storable from a signal handler");

// The wake-up pipe's ends. Written once, by the main thread before any
// other thread exists, and never again (the pipe is not closed), so a
// relaxed load anywhere after sees them.
std::atomic<int> read_end{-1};
std::atomic<int> write_end{-1};

RunPhase phase_of(uint32_t state) { return static_cast<RunPhase>(state & PHASE_MASK); }

// The signals that stop a run; SIGTSTP is the pause.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// What a transition needs of the state besides its phase.
enum Need { ALWAYS, NO_STOP, NOTHING_RAISED, A_STOP, A_PAUSE_NO_STOP };

// The transitions of the header's table; a missing one is not allowed.
struct Transition {
  RunPhase from;
  RunPhase to;
  Need need;
};
constexpr Transition TRANSITIONS[] = {
    {PHASE_LOADING, PHASE_PLAYING, NO_STOP},
    {PHASE_LOADING, PHASE_ENDING, ALWAYS},
    {PHASE_PLAYING, PHASE_DRAINING, NO_STOP},
    {PHASE_PLAYING, PHASE_PAUSING, A_PAUSE_NO_STOP},
    {PHASE_PLAYING, PHASE_SILENCING, A_STOP},
    {PHASE_PLAYING, PHASE_ENDING, ALWAYS},
    {PHASE_DRAINING, PHASE_PAUSING, A_PAUSE_NO_STOP},
    {PHASE_DRAINING, PHASE_SILENCING, A_STOP},
    {PHASE_DRAINING, PHASE_ENDING, NOTHING_RAISED},
    {PHASE_PAUSING, PHASE_PAUSED, NO_STOP},
    {PHASE_PAUSING, PHASE_ENDING, A_STOP},
    {PHASE_PAUSED, PHASE_PLAYING, ALWAYS},
    {PHASE_PAUSED, PHASE_DRAINING, ALWAYS},
    {PHASE_PAUSED, PHASE_ENDING, A_STOP},
    {PHASE_SILENCING, PHASE_ENDING, ALWAYS},
};

// The need of the move from one phase to another, or false when the table has no such move.
bool find_need(RunPhase from, RunPhase to, Need* need) {
  for (const Transition& transition : TRANSITIONS) {
    if (transition.from == from && transition.to == to) {
      *need = transition.need;
      return true;
    }
  }
  return false;
}

// Whether a state meets a need.
bool meets(uint32_t state, Need need) {
  bool stop = (state & STOP_BIT) != 0;
  switch (need) {
    case NO_STOP: return !stop;
    case NOTHING_RAISED: return !stop && (state & PAUSE_BIT) == 0;
    case A_STOP: return stop;
    case A_PAUSE_NO_STOP: return !stop && (state & PAUSE_BIT) != 0;
    default: return true;
  }
}

// Whether a pause raised in this phase is one for a thread to take.
bool takes_pauses(RunPhase phase) { return phase == PHASE_PLAYING || phase == PHASE_DRAINING; }

// One byte makes the read end readable.
void wake() { poke_pipe(write_end.load(std::memory_order_relaxed)); }

// Whether a stop signal is pending for this thread or the process.
bool stop_signal_pending() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int number : STOP_SIGNALS) {
    if (sigismember(&pending, number) == 1) return true;
  }
  return false;
}

// Stops the process with the stop signals held, unless one is pending: a
// stop that came after the last look at the state is then taken at once
// by the caller's handler or thread. True when the process was stopped
// (and has been continued).
bool stop_unless_stop_pending() {
  if (stop_signal_pending()) return false;
  raise(SIGSTOP);
  return true;
}

// Takes the pause that the wake-up pipe holds: it is emptied, and made
// readable again when a stop was raised meanwhile.
void forget_pause_bytes() {
  drain_pipe(read_end.load(std::memory_order_relaxed));
  if (stop_raised()) wake();
}

}  // namespace

const char* phase_name(RunPhase phase) {
  static const char* const NAMES[] = {"loading", "playing", "draining", "pausing", "paused", "silencing", "ending"};
  return phase <= PHASE_ENDING ? NAMES[phase] : "unknown";
}

bool open_stop_pipe() {
  if (read_end.load(std::memory_order_relaxed) >= 0) return true;
  int ends[2];
  if (!open_quiet_pipe(ends)) return false;
  read_end.store(ends[0], std::memory_order_relaxed);
  write_end.store(ends[1], std::memory_order_relaxed);
  return true;
}

int stop_pipe_fd() { return read_end.load(std::memory_order_relaxed); }

// The stop bit, the first signal and, in loading, the move to ending, in one
// exchange; the byte last, so that a thread woken by it finds the stop.
void raise_stop(int signal_number) {
  uint32_t state = run_state.load();
  uint32_t wanted;
  do {
    wanted = state | STOP_BIT;
    if ((state & SIGNAL_MASK) == 0 && signal_number > 0 && signal_number < 256) {
      wanted |= static_cast<uint32_t>(signal_number) << SIGNAL_SHIFT;
    }
    if (phase_of(state) == PHASE_LOADING) wanted = (wanted & ~PHASE_MASK) | PHASE_ENDING;
  } while (!run_state.compare_exchange_weak(state, wanted));
  wake();
}

void raise_pause() {
  uint32_t state = run_state.load();
  for (;;) {
    if ((state & STOP_BIT) != 0) return;
    RunPhase phase = phase_of(state);
    if (phase == PHASE_LOADING) {
      // Nothing has been sent: the process stops at once. The handler holds
      // the stop signals, so one pending now is taken after it returns.
      stop_unless_stop_pending();
      return;
    }
    if (!takes_pauses(phase)) return;
    if (run_state.compare_exchange_weak(state, state | PAUSE_BIT)) break;
  }
  wake();
}

Raised raised() {
  uint32_t state = run_state.load();
  if ((state & STOP_BIT) != 0) return RAISED_STOP;
  return (state & PAUSE_BIT) != 0 ? RAISED_PAUSE : RAISED_NOTHING;
}

bool stop_raised() { return (run_state.load() & STOP_BIT) != 0; }

RunPhase run_phase() { return phase_of(run_state.load()); }

int first_stop_signal() { return static_cast<int>((run_state.load() & SIGNAL_MASK) >> SIGNAL_SHIFT); }

bool move_phase(RunPhase from, RunPhase to) {
  Need need;
  if (!find_need(from, to, &need)) return false;
  uint32_t state = run_state.load();
  for (;;) {
    if (phase_of(state) != from || !meets(state, need)) return false;
    uint32_t wanted = (state & ~PHASE_MASK) | to;
    // A pause is taken by the move into pausing; any other keeps it.
    if (to == PHASE_PAUSING) wanted &= ~PAUSE_BIT;
    if (run_state.compare_exchange_weak(state, wanted)) return true;
  }
}

int64_t stop_process_for_pause(RunPhase resume_to) {
  sigset_t saved;
  hold_run_signals(&saved);
  bool stopped = false;
  int64_t stopped_at = monotonic_ns();
  if (move_phase(PHASE_PAUSING, PHASE_PAUSED)) {
    pass_life_point(POINT_PAUSE_LAST_LOOK);
    stopped = stop_unless_stop_pending();
  }
  if (!stopped) {
    // A stop won, raised before the last look or held since: letting the
    // signals go takes a held one here, and the run ends with the ports
    // already silent.
    restore_signals(&saved);
    forget_pause_bytes();
    if (move_phase(PHASE_PAUSING, PHASE_ENDING) || move_phase(PHASE_PAUSED, PHASE_ENDING)) return PAUSE_ENDED_BY_STOP;
    // A held signal that the system has not yet handed over: the run plays
    // on and takes the stop at its next look.
    move_phase(PHASE_PAUSED, resume_to);
    return 0;
  }
  int64_t stopped_ns = monotonic_ns() - stopped_at;
  move_phase(PHASE_PAUSED, resume_to);
  forget_pause_bytes();
  restore_signals(&saved);
  return stopped_ns;
}

sigset_t stop_signal_set(bool with_pause) {
  sigset_t set;
  sigemptyset(&set);
  for (int number : STOP_SIGNALS) sigaddset(&set, number);
  if (with_pause) sigaddset(&set, SIGTSTP);
  return set;
}

void hold_run_signals(sigset_t* saved) {
  sigset_t run_signals = stop_signal_set(true);
  pthread_sigmask(SIG_BLOCK, &run_signals, saved);
}

void restore_signals(const sigset_t* saved) { pthread_sigmask(SIG_SETMASK, saved, nullptr); }

void end_by_signal(int signal_number) {
  signal(signal_number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal_number);
}

void reset_life_cycle() {
  run_state.store(PHASE_LOADING);
  drain_pipe(read_end.load(std::memory_order_relaxed));
}
