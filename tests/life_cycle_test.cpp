// The life cycle of a run: the table of its transitions in one process, and
// whole runs of the player with a signal raised at a named point of it
// (the seam player), so that each edge between two phases is tried where
// it is, not by timing luck.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/life_cycle.h"
#include "support/port_files.h"
#include "support/support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// One step of a case: a move, or a stop or pause raised.
struct Step {
  enum Kind { MOVE, STOP, PAUSE } kind;
  RunPhase from = PHASE_LOADING;
  RunPhase to = PHASE_LOADING;
  int signal_number = 0;
  bool moves = true;  // for MOVE: whether the move is allowed
};

Step move(RunPhase from, RunPhase to, bool moves = true) { return {Step::MOVE, from, to, 0, moves}; }
Step stop(int signal_number) { return {Step::STOP, PHASE_LOADING, PHASE_LOADING, signal_number, true}; }
Step pause() { return {Step::PAUSE}; }

struct TableCase {
  const char* what;
  std::vector<Step> steps;
  RunPhase phase;  // after the steps
  Raised raised;
  int first_signal;
};

// raise_pause in loading would stop this process: no case raises one there.
TEST(LifeCycle, TransitionsFollowTheTable) {
  const std::vector<TableCase> cases = {
      {"a song that plays to its end",
       {move(PHASE_LOADING, PHASE_PLAYING), move(PHASE_PLAYING, PHASE_DRAINING), move(PHASE_DRAINING, PHASE_ENDING)},
       PHASE_ENDING,
       RAISED_NOTHING,
       0},
      {"a stop while loading ends the run before the player starts",
       {stop(SIGINT), move(PHASE_LOADING, PHASE_PLAYING, false)},
       PHASE_ENDING,
       RAISED_STOP,
       SIGINT},
      {"a stop while playing is silenced, never drained",
       {move(PHASE_LOADING, PHASE_PLAYING), stop(SIGTERM), move(PHASE_PLAYING, PHASE_DRAINING, false),
        move(PHASE_PLAYING, PHASE_SILENCING), move(PHASE_SILENCING, PHASE_ENDING)},
       PHASE_ENDING,
       RAISED_STOP,
       SIGTERM},
      {"a pause is taken by the move into pausing",
       {move(PHASE_LOADING, PHASE_PLAYING), pause(), move(PHASE_PLAYING, PHASE_PAUSING)},
       PHASE_PAUSING,
       RAISED_NOTHING,
       0},
      {"a stop wins over a pause not yet taken",
       {move(PHASE_LOADING, PHASE_PLAYING), pause(), stop(SIGINT), move(PHASE_PLAYING, PHASE_PAUSING, false)},
       PHASE_PLAYING,
       RAISED_STOP,
       SIGINT},
      {"a stop during a pause's silence: no stop of the process, the run ends",
       {move(PHASE_LOADING, PHASE_PLAYING), pause(), move(PHASE_PLAYING, PHASE_PAUSING), stop(SIGHUP),
        move(PHASE_PAUSING, PHASE_PAUSED, false), move(PHASE_PAUSING, PHASE_ENDING)},
       PHASE_ENDING,
       RAISED_STOP,
       SIGHUP},
      {"a second pause during a pause's silence is the same pause",
       {move(PHASE_LOADING, PHASE_PLAYING), pause(), move(PHASE_PLAYING, PHASE_PAUSING), pause()},
       PHASE_PAUSING,
       RAISED_NOTHING,
       0},
      {"a pause raised while draining is taken before the run ends",
       {move(PHASE_LOADING, PHASE_PLAYING), move(PHASE_PLAYING, PHASE_DRAINING), pause(),
        move(PHASE_DRAINING, PHASE_ENDING, false), move(PHASE_DRAINING, PHASE_PAUSING),
        move(PHASE_PAUSING, PHASE_PAUSED), move(PHASE_PAUSED, PHASE_DRAINING), move(PHASE_DRAINING, PHASE_ENDING)},
       PHASE_ENDING,
       RAISED_NOTHING,
       0},
      {"a stop while draining is silenced",
       {move(PHASE_LOADING, PHASE_PLAYING), move(PHASE_PLAYING, PHASE_DRAINING), stop(SIGINT),
        move(PHASE_DRAINING, PHASE_ENDING, false), move(PHASE_DRAINING, PHASE_SILENCING)},
       PHASE_SILENCING,
       RAISED_STOP,
       SIGINT},
      {"the first stop's signal is kept",
       {move(PHASE_LOADING, PHASE_PLAYING), stop(SIGTERM), stop(SIGHUP), stop(SIGINT)},
       PHASE_PLAYING,
       RAISED_STOP,
       SIGTERM},
      {"ending is never left, and a pause there is ignored",
       {stop(SIGINT), pause(), move(PHASE_ENDING, PHASE_PLAYING, false), move(PHASE_ENDING, PHASE_LOADING, false)},
       PHASE_ENDING,
       RAISED_STOP,
       SIGINT},
      {"a pause after a normal end is ignored",
       {move(PHASE_LOADING, PHASE_PLAYING), move(PHASE_PLAYING, PHASE_DRAINING), move(PHASE_DRAINING, PHASE_ENDING),
        pause()},
       PHASE_ENDING,
       RAISED_NOTHING,
       0},
      {"no move skips the table",
       {move(PHASE_LOADING, PHASE_DRAINING, false), move(PHASE_LOADING, PHASE_PAUSING, false),
        move(PHASE_LOADING, PHASE_SILENCING, false)},
       PHASE_LOADING,
       RAISED_NOTHING,
       0},
  };
  ASSERT_TRUE(open_stop_pipe());
  for (const TableCase& c : cases) {
    SCOPED_TRACE(c.what);
    reset_life_cycle();
    for (const Step& step : c.steps) {
      if (step.kind == Step::MOVE) {
        EXPECT_EQ(move_phase(step.from, step.to), step.moves) << phase_name(step.from) << " -> " << phase_name(step.to);
      } else if (step.kind == Step::STOP) {
        raise_stop(step.signal_number);
      } else {
        raise_pause();
      }
    }
    EXPECT_STREQ(phase_name(run_phase()), phase_name(c.phase));
    EXPECT_EQ(raised(), c.raised);
    EXPECT_EQ(first_stop_signal(), c.first_signal);
  }
  reset_life_cycle();
}

Bytes repeated(const Bytes& block, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all = all + block;
  return all;
}

// A whole run of the seam player: a signal sent by the test while the song
// plays (0: none), the seam's signals at named points, and the outcome.
struct RunCase {
  const char* what;
  bool rests;         // the song's note is followed by a minute's rest; else it ends at once
  int pressed;        // sent by the test once the note has gone out; 0 for none
  const char* seam;   // SONGRELAY_SEAM
  bool stops;         // the process stops (the test continues it, after `while_stopped`)
  int while_stopped;  // sent while it is stopped, before SIGCONT; 0 for none
  int exit_status;    // as a shell shows it
  int sound_offs;     // All Sound Off blocks on every port after the note
};

TEST(LifeCycle, ASignalAtEachEdgeOfARun) {
  const std::vector<RunCase> cases = {
      {"a stop while the console drains silences every port", false, 0, "drain:SIGINT", false, 0, 128 + SIGINT, 1},
      {"a pause while the console drains silences, stops, and ends as played", false, 0, "drain:SIGTSTP", true, 0, 0,
       1},
      {"a stop after the pause's last look at the state wins", true, SIGTSTP, "pause-last-look:SIGINT", false, 0,
       128 + SIGINT, 1},
      {"a stop during a pause's silence ends the run unstopped", true, SIGTSTP, "pause-silence:SIGTERM", false, 0,
       128 + SIGTERM, 1},
      {"a pause during a stop's silence is ignored", true, SIGINT, "stop-silence:SIGTSTP", false, 0, 128 + SIGINT, 1},
      {"a pause while ending is ignored", true, SIGINT, "ending:SIGTSTP", false, 0, 128 + SIGINT, 1},
      {"the first of two stop signals is the exit status", true, SIGTERM, "stop-silence:SIGHUP", false, 0,
       128 + SIGTERM, 1},
      {"a stop held while stopped ends the run after SIGCONT, silenced", true, SIGTSTP, "", true, SIGINT, 128 + SIGINT,
       2},
      {"a stop while draining, then a second stop during its silence", false, 0, "drain:SIGHUP,stop-silence:SIGINT",
       false, 0, 128 + SIGHUP, 1},
  };
  const Bytes note = {0x90, 0x3C, 0x40};
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.what);
    PortFiles ports;
    TrackBuilder track;
    // Timebase 10 at the starting tempo: a tick is 50 ms, 1200 ticks a minute.
    track.event(0, {0x90, 0x3C, 0x40}).end(c.rests ? 1200 : 0);
    write_file(ports.dir.file("song.mid"), smf(0, 10, {track}));
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = start_process(SONGRELAY_SEAMS_BIN, player_argv({"-r", "-q"}, ports, ports.dir.file("song.mid")), quiet,
                              quiet, {std::string("SONGRELAY_SEAM=") + c.seam});
    close(quiet);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_size(ports.dir.file("p0"), 3)) << "the note never came";
    if (c.pressed != 0) kill(pid, c.pressed);
    int status = 0;
    Seen seen = wait_stopped_or_ended(pid, status, 10000);
    if (c.stops) {
      ASSERT_EQ(seen, SEEN_STOPPED);
      if (c.while_stopped != 0) {
        kill(pid, c.while_stopped);
        std::this_thread::sleep_for(milliseconds(100));
      }
      kill(pid, SIGCONT);
      seen = wait_stopped_or_ended(pid, status, 10000);
    }
    if (seen == SEEN_STOPPED) kill(pid, SIGCONT);
    EXPECT_EQ(seen, SEEN_ENDED) << (seen == SEEN_STOPPED ? "stopped after a stop" : "did not end");
    if (seen != SEEN_ENDED) {
      ASSERT_TRUE(wait_or_kill(pid, status, 10000));
    }
    EXPECT_EQ(shell_status(status), c.exit_status);
    EXPECT_EQ(hex(ports.received(0)), hex(note + repeated(all_sound_off(), c.sound_offs)));
    for (int p = 1; p < 4; ++p) {
      EXPECT_EQ(hex(ports.received(p)), hex(repeated(all_sound_off(), c.sound_offs))) << "port " << p;
    }
  }
}

}  // namespace
