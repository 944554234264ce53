// Start-up and run control: the fixed sequence of one playback run, the
// interrupt handler and the state lock that lives for the run.
#pragma once

// Calibrates, opens the ports, arms SIGINT, loads, plays on a thread of its
// own and takes everything down; -1 when port 0 could not be opened, else 0.
int run_player();

// SIGINT handler: asks the player to stop, nothing more.
void on_sigint(int signal_number);

// Creates the run's mutex; 0 or the thread library's error number.
int init_state_lock();

// Destroys the run's mutex and returns the player state to idle; 0 or the error number.
int destroy_state_lock();
