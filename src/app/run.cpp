// Run control: the sequence of one playback run, the stop signals and the
// state lock that exists for the length of the run.
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
#include "base/stop.h"
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

// The first stop signal received; written only by the handler.
volatile sig_atomic_t first_stop_signal = 0;

// The stop signals as a set, for the masks.
sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const StopSignal& stop : STOP_SIGNALS) sigaddset(&set, stop.number);
  return set;
}

// Plays the loaded song on a thread of its own and waits for it to end.
// While it plays, the stop signals and the suspend key are held back from
// this thread, so they reach the player and break the sleep it is in.
PlayOutcome play_on_thread() {
  PlayOutcome outcome = PLAY_FAILED;
  pthread_t player;
  int error = pthread_create(&player, nullptr, player_thread, &outcome);
  if (error != 0) {
    console_printf(STDERR_FILENO, "Error!!: Can't Create Player-Thread (%d)\n", error);
    return PLAY_FAILED;
  }
  sigset_t stops = stop_signal_set(), saved;
  sigaddset(&stops, SIGTSTP);
  pthread_sigmask(SIG_BLOCK, &stops, &saved);
  pthread_join(player, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return outcome;
}

// The suspend key's handler: asks the player to silence the ports before the
// process stops.
void on_pause_signal(int) { request_pause(); }

// Takes over the suspend key, unless it was ignored when the program started
// (a shell without job control), which then stays so. Without the handler
// the key still stops the process, only without silencing the ports first.
void arm_pause_signal() {
  struct sigaction before;
  if (sigaction(SIGTSTP, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) return;
  struct sigaction action = {};
  action.sa_handler = on_pause_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGTSTP, &action, nullptr);
}

// Installs on_stop_signal without SA_RESTART, so an interrupted write or
// sleep returns instead of being resumed behind the handler's back.
bool arm_stop_signals() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
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

// Ends the console after the last record, taking every pause raised while
// it writes what is left, and one raised after it, as the player would:
// notes may still sound after the song's last record.
void finish_console() {
  while (stop_console() == CONSOLE_PAUSED) suspend_for_pause();
  if (raised() == RAISED_PAUSE) suspend_for_pause();
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
  if (init_state_lock() != 0) return RUN_FAILED;
  RunOutcome outcome = RUN_FAILED;
  if (load_midi_file(midi_path) != 0) {
    explain_load_failure(midi_path);
    // A stop ends the load early, and is no failure of the file.
    if (stop_raised()) outcome = RUN_STOPPED;
  } else {
    if (stop_raised()) {
      outcome = RUN_STOPPED;
    } else {
      // The song's text goes through the console's printing thread while it plays.
      start_console(longest_text_line(playback_info.longest_meta));
      outcome = run_outcome(play_on_thread());
      finish_console();
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
  RunOutcome outcome = stop_raised() ? RUN_STOPPED : run_with_ports_open();
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

void on_stop_signal(int signal_number) {
  if (first_stop_signal == 0) first_stop_signal = signal_number;
  request_stop();
}

int received_stop_signal() { return first_stop_signal; }

void forget_stop_signal() { first_stop_signal = 0; }

void end_by_signal(int signal_number) {
  signal(signal_number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal_number);
}

int init_state_lock() {
  int error = pthread_mutex_init(&state_lock, nullptr);
  if (error != 0) console_printf(STDERR_FILENO, "Error!!: Cannot Init. pthread-mutex\n");
  return error;
}

int destroy_state_lock() {
  int error = pthread_mutex_destroy(&state_lock);
  if (error != 0) {
    console_printf(STDERR_FILENO, "Error!!: Cannot Destroy pthread-mutex\n");
    return error;
  }
  player_state.store(PLAYER_IDLE);
  return 0;
}
