// Run control: the sequence of one playback run, its signals and the state
// lock that exists for the length of the run. The run's phases and what
// each signal does in each are base/life_cycle.h's table.
#include "app/run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "app/reasons.h"
#include "app/settings.h"
#include "base/console.h"
#include "base/life_cycle.h"
#include "base/stop_wait.h"
#include "meta/meta.h"
#include "output/open_reason.h"
#include "output/ports.h"
#include "player/player.h"
#include "player/timing.h"
#include "song/loader.h"
#include "song/song.h"

namespace {

// Created and destroyed by every run, never locked (see run.h).
pthread_mutex_t state_lock;

const char DEFAULT_DEVICE_BASE[] = "umidi";

// The signals that stop a run, with the names their error lines give.
struct StopSignal {
  int number;
  const char* name;
};
const StopSignal STOP_SIGNALS[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// Plays the loaded song on a thread of its own and waits for it to end.
// The run's signals are held back from this thread from before the player
// is created to after it ends, so that only the player takes them and they
// break the sleep it is in.
PlayOutcome play_on_thread() {
  PlayOutcome outcome = PLAY_FAILED;
  pthread_t player;
  sigset_t saved;
  hold_run_signals(&saved);
  int error = pthread_create(&player, nullptr, player_thread, &outcome);
  if (error == 0) pthread_join(player, nullptr);
  restore_signals(&saved);
  if (error != 0) {
    console_printf(STDERR_FILENO, "Error!!: Can't Create Player-Thread (%d)\n", error);
    move_phase(PHASE_LOADING, PHASE_ENDING);
  }
  return outcome;
}

// The suspend key's handler: a pause for the run to take.
void on_pause_signal(int) { raise_pause(); }

// Takes over the suspend key, unless it was ignored when the program started
// (a shell without job control), which then stays so. Without the handler
// the key still stops the process, only without silencing the ports first.
void arm_pause_signal() {
  struct sigaction before;
  if (sigaction(SIGTSTP, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) return;
  struct sigaction action = {};
  action.sa_handler = on_pause_signal;
  // The stop signals wait while it runs: it may stop the process, and looks
  // for a stop pending first.
  action.sa_mask = stop_signal_set(true);
  action.sa_flags = 0;
  sigaction(SIGTSTP, &action, nullptr);
}

// Installs on_stop_signal without SA_RESTART, so an interrupted write or
// sleep returns instead of being resumed behind the handler's back. The
// run's other signals wait while it runs.
bool arm_stop_signals() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  action.sa_mask = stop_signal_set(true);
  action.sa_flags = 0;
  for (const StopSignal& stop : STOP_SIGNALS) {
    if (sigaction(stop.number, &action, nullptr) != 0) {
      console_printf(STDERR_FILENO, "Error!!: Can't Set Signal(%s) (%d)\n", stop.name, errno);
      return false;
    }
  }
  arm_pause_signal();
  return true;
}

// Follows the error lines and the reason of a port 0 that the unit search
// named and could not open, where another node would help: a newcomer
// without hardware learns the two ways on.
void print_no_device_hint() {
  console_printf(STDERR_FILENO,
                 "Hint: name port 0's node with -0 (for instance -0 snd/midiC1D0), "
                 "or play to virtual ports made by songrelay-monitor.\n");
}

// After the last record: waits for the console to write what is left,
// taking a pause or a stop raised meanwhile as the player would, since
// notes may still sound after the song's last record.
void drain_console() {
  if (!move_phase(PHASE_PLAYING, PHASE_DRAINING)) {
    // A stop came between the last record and the player's end.
    silence_for_stop(PHASE_PLAYING);
    end_console(ENDS_ON_NEITHER);
    return;
  }
  pass_life_point(POINT_DRAIN);
  for (;;) {
    ConsoleEnd end = end_console(ENDS_ON_STOP_OR_PAUSE);
    if (end == CONSOLE_PAUSED) {
      pause_run(PHASE_DRAINING);
      continue;
    }
    // The console has ended with nothing raised; a pause or a stop raised
    // since keeps the run in draining, to be taken.
    if (end == CONSOLE_ENDED && move_phase(PHASE_DRAINING, PHASE_ENDING)) return;
    if (raised() == RAISED_PAUSE) {
      pause_run(PHASE_DRAINING);
      continue;
    }
    silence_for_stop(PHASE_DRAINING);
    end_console(ENDS_ON_NEITHER);
    return;
  }
}

// Ends the console after a playback that did not reach its last record:
// the run is ending already.
void end_console_after_playback(PlayOutcome played) {
  if (played == PLAY_ENDED) {
    drain_console();
  } else {
    end_console(ENDS_ON_NEITHER);
  }
}

// What the outcome of the playback makes of the run: a song that played to
// its end failed all the same when a port lost bytes of it.
RunOutcome run_outcome(PlayOutcome played) {
  switch (played) {
    case PLAY_ENDED: return port_bytes_lost() ? RUN_FAILED : RUN_PLAYED;
    case PLAY_STOPPED: return RUN_STOPPED;
    default: return RUN_FAILED;
  }
}

// The steps between opening the ports and releasing the song; the caller
// closes the ports. A stop asked for by then ends the run before the player starts.
RunOutcome run_with_ports_open() {
  if (init_state_lock() != 0) {
    move_phase(PHASE_LOADING, PHASE_ENDING);
    return RUN_FAILED;
  }
  RunOutcome outcome = RUN_FAILED;
  if (load_midi_file(midi_path) != 0) {
    explain_load_failure(midi_path);
    // A stop ends the load early, and is no failure of the file.
    if (stop_raised()) outcome = RUN_STOPPED;
    move_phase(PHASE_LOADING, PHASE_ENDING);
  } else {
    if (stop_raised()) {
      outcome = RUN_STOPPED;
    } else {
      // The song's text goes through the console's printing thread while it plays.
      start_console(longest_text_line(playback_info.longest_meta));
      PlayOutcome played = play_on_thread();
      end_console_after_playback(played);
      outcome = stop_raised() ? RUN_STOPPED : run_outcome(played);
    }
    free_data_buffer();
    free_event_table();
  }
  destroy_state_lock();
  return outcome;
}

// Opens the ports and plays; the caller has armed the stop.
RunOutcome open_and_play() {
  // The player inherits the timer slack, and measures its margin from its
  // own first sleeps, at its own priority, instead of before the song.
  lower_timer_slack();
  learn_wake_margin();
  if (stop_raised()) return RUN_STOPPED;
  if (device_base == nullptr) device_base = DEFAULT_DEVICE_BASE;
  for (int p = 0; p < 4; ++p) port_table.names[p] = port_names[p];
  if (open_ports(device_base, &port_table) != 0) {
    bool other_node_helps = explain_port_open(0);
    if (port_names[0] == nullptr && other_node_helps) print_no_device_hint();
    return RUN_FAILED;
  }
  RunOutcome outcome = RUN_STOPPED;
  if (!stop_raised()) {
    outcome = run_with_ports_open();
  } else {
    move_phase(PHASE_LOADING, PHASE_ENDING);
  }
  pass_life_point(POINT_ENDING);
  close_ports();
  return outcome;
}

}  // namespace

// The stop signals are armed first, so that a stop during the set-up or
// the opening of the ports ends the run as one during playback does.
RunOutcome run_player() {
  // Every wait of the run ends on this pipe; it lives as long as the process.
  if (!open_stop_pipe()) {
    console_printf(STDERR_FILENO, "Error!!: Can't Make the Stop's Wake-up Pipe: %s\n", strerror(errno));
    return RUN_FAILED;
  }
  if (!arm_stop_signals()) return RUN_FAILED;
  return open_and_play();
}

void on_stop_signal(int signal_number) { raise_stop(signal_number); }

int init_state_lock() {
  int error = pthread_mutex_init(&state_lock, nullptr);
  if (error != 0) console_printf(STDERR_FILENO, "Error!!: Cannot Init. pthread-mutex\n");
  return error;
}

int destroy_state_lock() {
  int error = pthread_mutex_destroy(&state_lock);
  if (error != 0) console_printf(STDERR_FILENO, "Error!!: Cannot Destroy pthread-mutex\n");
  return error;
}
