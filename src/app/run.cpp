// Run control: the sequence of one playback run, the SIGINT handler and the
// state lock that exists for the length of the run.
#include "app/run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <pthread.h>

#include "app/settings.h"
#include "output/ports.h"
#include "player/player.h"
#include "player/timing.h"
#include "song/loader.h"
#include "song/song.h"

namespace {

pthread_mutex_t state_lock;

const char default_device_base[] = "umidi";

// Plays the loaded song on a thread of its own and waits for it to end.
// While it plays, SIGINT is held back from this thread, so the interrupt
// reaches the player and breaks a write that a stalled device keeps blocked.
void play_on_thread() {
  pthread_t player;
  int error = pthread_create(&player, nullptr, player_thread, nullptr);
  if (error != 0) {
    fprintf(stderr, "Error!!: Can't Create Player-Thread (%d)\n", error);
    return;
  }
  sigset_t interrupt, saved;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, &saved);
  pthread_join(player, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// Installs on_sigint without SA_RESTART: an interrupted write or sleep
// returns instead of being resumed behind the handler's back.
bool arm_interrupt() {
  struct sigaction action = {};
  action.sa_handler = on_sigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return sigaction(SIGINT, &action, nullptr) == 0;
}

// The steps between arming SIGINT and releasing the song; the caller closes the ports.
void run_with_ports_open() {
  if (!arm_interrupt()) {
    fprintf(stderr, "Error!!: Can't Set Signal(SIGINT) (%d)\n", errno);
    return;
  }
  if (init_state_lock() != 0) return;
  if (load_midi_file(midi_path) == 0) {
    play_on_thread();
    free_data_buffer();
    free_event_table();
  }
  destroy_state_lock();
}

}  // namespace

int run_player() {
  calibrate_sleep();
  if (device_base == nullptr) device_base = default_device_base;
  int result = open_ports(device_base, &port_table);
  if (result != 0) return result;
  run_with_ports_open();
  close_ports();
  return 0;
}

void on_sigint(int) { request_stop(); }

int init_state_lock() {
  int error = pthread_mutex_init(&state_lock, nullptr);
  if (error != 0) fputs("Error!!: Cannot Init. pthread-mutex\n", stderr);
  return error;
}

int destroy_state_lock() {
  int error = pthread_mutex_destroy(&state_lock);
  if (error != 0) {
    fputs("Error!!: Cannot Destroy pthread-mutex\n", stderr);
    return error;
  }
  playback_info.state.store(PLAYER_IDLE);
  return 0;
}
