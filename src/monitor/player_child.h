// The player that the monitor runs on its own nodes (the one-command form,
// "songrelay-monitor [options] -- songrelay [options] FILE"): started with
// -0 … -3 naming the nodes, watched until it ends, stopped with the signal
// that stops the monitor, and its status handed on as the monitor's own.
//
// Why a watching thread: the run's one wait is a poll on the nodes, so the
// player's end must make a descriptor readable. A thread that waits for the
// player with waitid(WNOWAIT) and then writes one byte to a pipe does that
// on every POSIX system, without a SIGCHLD handler that would interrupt the
// calls of the printing and audio threads. The thread leaves the player
// unreaped, so that its pid cannot be reused before the main thread, the
// only one that signals it, has reaped it.
#pragma once

#include <cstdint>
#include <pthread.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include "monitor/nodes.h"

// How long a stopped player is given to end before it is killed: its All
// Sound Off waits two seconds at most for ports that do not drain, and its
// console a little more; the rest is room for a loaded machine.
constexpr int PLAYER_STOP_GRACE_MS = 5000;

// One player run by the monitor; one per process. Only the main thread
// touches it, besides the watching thread, which reads pid (written before
// the thread is made, set back only after it is joined: creation and join
// order the accesses) and writes to the pipe.
struct PlayerChild {
  pid_t pid = -1;                // the player until it is reaped; -1 before and after
  std::string program;           // its name as given, for messages
  int ended_fds[2] = {-1, -1};   // one byte arrives on [0] once it has ended
  pthread_t watcher{};           // the thread that waits for its end
  bool watching = false;         // whether watcher is to be joined
  bool ended = false;            // its end has been seen on ended_fds[0]
  int stop_signal = 0;           // the signal sent to stop it; 0 before
  int64_t stop_deadline_ns = 0;  // when it is killed if it has not ended after the stop
};

// The program to start for name: a bare "songrelay" is taken from the
// directory the monitor was started from (the directory part of
// monitor_path, or, without one, the first directory of path_list holding
// it) when an executable songrelay sits there; any other name is returned
// as it is, for the usual PATH search.
std::string player_program(const std::string& name, const std::string& monitor_path, const char* path_list);

// The player's arguments: the program as given, then -0 … -3 naming the
// nodes, then the rest of command (the player's own options and file, so
// that a port the user names wins).
std::vector<std::string> player_argv(const std::vector<std::string>& command, const NodeSet& nodes);

// Starts argv with the program path, with an empty signal mask and the
// signals the monitor handles or ignores at their default, in the monitor's
// process group (so that the interrupt key reaches both), and starts
// watching it. Returns 0, or -1 after one line naming the program and why it
// could not start.
int start_player(PlayerChild& child, const std::string& path, const std::vector<std::string>& argv);

// Whether a player was started and has not been seen to end.
bool player_running(const PlayerChild& child);

// Takes the byte that says the player has ended; the caller polls
// ended_fds[0] and calls it once that is readable.
void note_player_ended(PlayerChild& child);

// Asks a running player to stop with signal_number, once, and gives it
// PLAYER_STOP_GRACE_MS from then to end. Returns the milliseconds left of
// that time, rounded up for poll (0 once it has passed); the caller goes on
// reading the nodes until the player ends or the time is up, so that its
// All Sound Off is heard.
int stop_player(PlayerChild& child, int signal_number);

// Reaps the player, stopping it first when it has not ended (SIGTERM, unless
// it was stopped already, then SIGKILL once its time is up, said in one
// line), and stops watching it. Returns its wait status, or -1 when no
// player was started or its status is lost (said in one line).
int finish_player(PlayerChild& child);

// The exit status a shell shows for a wait status: the exit code, or 128 +
// the signal that ended the process.
int shell_exit_status(int wait_status);

// Ends the monitor by the signal that ended the player, when that is one of
// the stop signals (SIGINT, SIGTERM, SIGHUP), as the player itself ends by
// them: a shell that ran the monitor then stops its script as it would for
// the player. Returns when the signal is another one (a crash or SIGKILL,
// which the monitor does not fake; it then exits 128 + the signal) or does
// not end the process.
void end_as_player_ended(int wait_status);
