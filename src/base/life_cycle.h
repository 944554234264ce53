// Base, the life cycle of a run: its phases, the one state that holds the
// phase together with what was raised, the one way to raise a stop or a
// pause (from a signal handler or any thread), and the one way to ask.
//
// The phases of a run, and what each signal does in each of them:
//
//   phase      entered from               SIGINT, SIGTERM, SIGHUP      SIGTSTP                     SIGCONT
//   ---------  -------------------------  ---------------------------  --------------------------  -----------------
//   loading    the start of the process   ending at once: the load     the process stops at once   the process goes
//              (nothing has been sent)    and the start end, nothing   (nothing sounds), unless a  on loading
//                                         to silence                   stop waits to be taken
//   playing    loading (the player's      the player silences every    the player silences every   -
//              first byte: the reset      port: silencing              port and stops: pausing
//              and its delay, the song)
//   draining   playing (the last record   the main thread silences     as in playing, taken by     -
//              was sent; the console      every port: silencing        the main thread
//              writes what is left)
//   pausing    playing or draining        noted: the silence goes on,  ignored: the same pause     -
//              (All Sound Off is sent)    then ending, not stopped
//   paused     pausing (SIGSTOP, with     held until SIGCONT, then     held until SIGCONT, then a  back to where the
//              the run's signals held)    as in playing or draining    new pause                   pause came from
//   silencing  playing or draining        noted only                   ignored                     -
//   ending     loading, playing,          noted only                   ignored                     -
//              draining, pausing or
//              silencing
//
// "Noted" means that the first stop's signal is kept for the exit status:
// the run ends by the first it takes. (Two stop signals that are both
// pending before the taking thread runs again are handed over by the
// kernel lowest number first; no process can tell which was sent first.) No phase is entered again once left, but for
// paused, which returns to the phase it came from, and ending is left only by the end of the process (or a test's
// reset).
//
// Every transition is one compare-and-exchange on run_state, which holds
// the phase, whether a stop and an untaken pause were raised, and the first
// stop's signal, so that no decision rests on two loads. The transitions
// and what each needs of the state (move_phase):
//
//   loading   -> playing    no stop (a stop in loading has moved it to ending)
//   loading   -> ending     always (a failed load, or a player that could not start)
//   playing   -> draining   no stop (a raised pause is kept, for the drain to take)
//   playing   -> pausing    a pause and no stop (the pause is taken)
//   playing   -> silencing  a stop
//   playing   -> ending     always (every device went away)
//   draining  -> pausing    a pause and no stop
//   draining  -> silencing  a stop
//   draining  -> ending     nothing raised (a pause or a stop is taken first)
//   pausing   -> paused     no stop (then the process stops: stop_process_for_pause)
//   pausing   -> ending     a stop (the ports are silent already)
//   paused    -> ending     a stop, held at the last look (the process was not stopped)
//   paused    -> playing    always, to where it came from; a stop held
//   paused    -> draining     while the process was stopped is taken there
//   silencing -> ending     always
//
// A stop always wins over a pause that has not yet stopped the process:
// the thread that takes a pause holds the run's signals, looks at the
// state and at the signals pending, and only then stops the process. A stop
// sent in the instant between that last look and the kernel's stop finds
// the process stopped; it is held, and ends the run after SIGCONT with
// every port silenced.
//
// Only one thread takes the run's signals at any time: the main thread
// until the player starts, the player while it plays, the main thread
// again after the join; every other thread holds them (hold_run_signals
// before it is created). A handler therefore never runs beside another.
//
// Every wait of a run ends on a stop and on a pause through the wake-up
// pipe (the read end stays readable while a stop or an untaken pause is
// raised) or through the signal itself:
//  - the clock wait before each record (the player; the reset delay is one
//    of them): an absolute clock_nanosleep in slices of at most 20 ms,
//    broken by the signal, which only the player takes while it plays; the
//    slice bounds the one case where the signal lands between the last look
//    and the sleep. A clock sleep keeps the timing at the machine's floor,
//    which a poll on the pipe would not.
//  - every poll beside the pipe, through wait_beside_stop (base/stop_wait.h):
//    the wait for room in a full port, the printer's waits, the main
//    thread's wait for the printer, the monitor's wait for its nodes.
//  - the All Sound Off wait (whoever silences): poll on the ports, two
//    seconds at most for all of them together; neither a stop nor a pause
//    cuts it short.
//  - the load loops look at the stop every 65,536 events or reads.
//
// Why a pipe: its write is one of the few calls a signal handler may make,
// and its read end can be polled beside a device or the console in the same
// poll, on every POSIX system. signalfd is Linux only and would take the
// signal away from the handler whose delivery breaks the player's clock
// sleep; a condition variable can neither be signalled from a handler nor
// waited on beside a descriptor.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>

// The phases above.
enum RunPhase : uint32_t {
  PHASE_LOADING = 0,
  PHASE_PLAYING = 1,
  PHASE_DRAINING = 2,
  PHASE_PAUSING = 3,
  PHASE_PAUSED = 4,
  PHASE_SILENCING = 5,
  PHASE_ENDING = 6,
};

// The phase's name, for tests and messages.
const char* phase_name(RunPhase phase);

// What has been raised and not yet dealt with; a stop outranks a pause.
enum Raised { RAISED_NOTHING, RAISED_PAUSE, RAISED_STOP };

// Makes the wake-up pipe above descriptor 2; it then lives as long as the
// process, so no thread ever polls a closed or reused descriptor. False,
// errno telling why, when it cannot be made.
bool open_stop_pipe();

// The read end to poll for POLLIN; -1 before open_stop_pipe.
int stop_pipe_fd();

// Raises a stop: in loading the run moves to ending, elsewhere the phase's
// owner silences and ends; the first stop's signal_number (0 for a stop
// that no signal raised) is kept. Async-signal-safe.
void raise_stop(int signal_number = 0);

// Raises a pause as the table says; in loading it stops the process itself
// (see above). Async-signal-safe; the handler of SIGTSTP, which must hold
// the stop signals while it runs (stop_signal_set).
void raise_pause();

// What has been raised: RAISED_STOP once a stop was, RAISED_PAUSE while a
// pause waits to be taken, RAISED_NOTHING otherwise.
Raised raised();

// Whether a stop has been raised.
bool stop_raised();

// The phase now.
RunPhase run_phase();

// The first stop's signal, or 0.
int first_stop_signal();

// Moves the run from one phase to another in one compare-and-exchange, if
// the table above allows it and the state meets its need; false, changing
// nothing, otherwise.
bool move_phase(RunPhase from, RunPhase to);

// What stop_process_for_pause returns when a stop came first.
constexpr int64_t PAUSE_ENDED_BY_STOP = -1;

// From pausing, with every port silent: stops the process unless a stop
// came first, and once it is continued moves the run back to resume_to,
// the phase the pause came from. The nanoseconds the process was stopped,
// or PAUSE_ENDED_BY_STOP with the run in ending, not stopped. The run's
// signals are held from before the last look to after the return to
// resume_to, so a stop held while stopped is taken there.
int64_t stop_process_for_pause(RunPhase resume_to);

// SIGINT, SIGTERM and SIGHUP, and with_pause SIGTSTP as well.
sigset_t stop_signal_set(bool with_pause);

// Holds the run's signals (the stop signals and SIGTSTP) back from the
// calling thread, and from the threads it creates until it lets them go,
// saving the mask before into *saved.
void hold_run_signals(sigset_t* saved);

// Puts back a mask that hold_run_signals saved.
void restore_signals(const sigset_t* saved);

// Ends the process by that signal with its default action, as a shell
// expects of a program that was interrupted; returns only if it could not.
void end_by_signal(int signal_number);

// Puts the state back to loading with nothing raised and empties the pipe
// (between tests and runs of one process); the pipe stays open.
void reset_life_cycle();

// Named points of the life cycle where a test build may raise a signal,
// so that an interleaving is tested by where it happens, not by timing.
enum LifePoint {
  POINT_PAUSE_LAST_LOOK,  // paused: the state was looked at, the pending signals not yet
  POINT_PAUSE_SILENCE,    // pausing: before the All Sound Off
  POINT_DRAIN,            // draining: before the wait for the console
  POINT_STOP_SILENCE,     // silencing: before the All Sound Off
  POINT_ENDING,           // ending: the run's last step before the ports close
  POINT_COUNT,
};

// Called at each named point when set; null in every ordinary run.
extern void (*life_point_probe)(LifePoint point);

// Calls the probe, if any, at point.
inline void pass_life_point(LifePoint point) {
  if (life_point_probe != nullptr) life_point_probe(point);
}
