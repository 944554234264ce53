// Start-up and run control: the fixed sequence of one playback run, the
// stop signals' handler and the state lock that lives for the run.
#pragma once

// How a run ended, for the exit status.
enum RunOutcome {
  RUN_PLAYED,   // the song played to its end
  RUN_FAILED,   // nothing could be played, or a port lost bytes of the song
  RUN_STOPPED,  // a stop signal ended it
};

// Arms the stop signals, opens the ports, loads, plays on a thread
// of its own and takes everything down.
RunOutcome run_player();

// The handler of SIGINT, SIGTERM and SIGHUP: raises the stop with the
// signal, nothing more (the first stop's signal is the run's exit status:
// first_stop_signal of base/life_cycle.h).
void on_stop_signal(int signal_number);

// Creates the run's mutex; 0 or the thread library's error number. The
// mutex is never locked: the player state it once guarded is an atomic byte
// that a signal handler may store. It is kept so that a run creates and
// destroys it, and its failures are reported, as before.
int init_state_lock();

// Destroys the run's mutex; 0 or the error number. The run's phase is left
// as it is: a run that has ended stays ending while the process can still
// take a signal.
int destroy_state_lock();
