// The one-command form, "songrelay-monitor [options] -- songrelay [options]
// FILE": which program a bare "songrelay" is, the player's status handed on
// (also a death by signal), a player that cannot start, and the stops that
// reach both, with the player's All Sound Off heard before the end.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "monitor/player_child.h"
#include "support/monitor_output.h"
#include "support/support.h"

namespace {

// Writes an executable shell script.
void write_script(const std::string& path, const std::string& body) {
  std::string text = "#!/bin/sh\n" + body + "\n";
  write_file(path, Bytes(text.begin(), text.end()));
  chmod(path.c_str(), 0755);
}

// Reads the child's output to its end and reaps it, leaving its raw wait
// status in status: a test tells an end by a signal from an exit with 128 +
// that signal.
bool wait_raw(ChildProcess& child, int& status) {
  if (!read_child_until(child, "")) return false;
  bool ended = wait_or_kill(child.pid, status);
  child.pid = -1;
  return ended;
}

// One note on port 0, held for hold_ticks at 96 ticks a beat (120 beats a
// minute), then its note-off.
Bytes one_note_song(uint32_t hold_ticks) {
  TrackBuilder track;
  track.event(0, {0x90, 0x45, 0x60}).event(hold_ticks, {0x80, 0x45, 0x00}).end();
  return smf(0, 96, {track});
}

TEST(MonitorPlayer, ABareSongrelayIsTakenFromBesideTheMonitor) {
  TempDir scratch;
  ASSERT_EQ(mkdir(scratch.file("both").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(scratch.file("lone").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(scratch.file("plain").c_str(), 0755), 0);
  for (const char* path : {"both/songrelay-monitor", "both/songrelay", "lone/songrelay-monitor"})
    write_script(scratch.file(path), "exit 0");
  // Beside this monitor, a songrelay that cannot be run.
  write_script(scratch.file("plain/songrelay-monitor"), "exit 0");
  write_file(scratch.file("plain/songrelay"), {'x'});
  struct Case {
    std::string name, monitor_path, path_list, expected;
  };
  const std::string both = scratch.file("both"), lone = scratch.file("lone");
  const std::vector<Case> cases = {
      {"songrelay", both + "/songrelay-monitor", "", both + "/songrelay"},
      {"songrelay", lone + "/songrelay-monitor", both, "songrelay"},
      {"songrelay", scratch.file("plain/songrelay-monitor"), both, "songrelay"},
      // Started by name: the monitor is where the PATH search found it.
      {"songrelay", "songrelay-monitor", "/nonexistent:" + both + ":" + lone, both + "/songrelay"},
      {"songrelay", "songrelay-monitor", lone + ":" + both, "songrelay"},
      {"songrelay", "", both, "songrelay"},
      // Any other name is the PATH search's, or a path as it stands.
      {"./songrelay", both + "/songrelay-monitor", "", "./songrelay"},
      {"songrelay-old", both + "/songrelay-monitor", "", "songrelay-old"},
      {"/usr/bin/songrelay", both + "/songrelay-monitor", "", "/usr/bin/songrelay"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name + " from " + test.monitor_path + " with PATH " + test.path_list);
    EXPECT_EQ(player_program(test.name, test.monitor_path, test.path_list.c_str()), test.expected);
  }
  EXPECT_EQ(player_program("songrelay", "songrelay-monitor", nullptr), "songrelay");
}

TEST(MonitorPlayer, TheSongPlaysAndTheMonitorEndsWithThePlayersStatus) {
  // The real player, named by a bare "songrelay" beside a monitor started
  // through a link, as in a build directory, with a PATH that has no player.
  TempDir work;
  ASSERT_EQ(symlink(SONGRELAY_MONITOR_BIN, work.file("songrelay-monitor").c_str()), 0);
  ASSERT_EQ(symlink(SONGRELAY_BIN, work.file("songrelay").c_str()), 0);
  write_file(work.file("song.mid"), one_note_song(48));
  struct Case {
    std::vector<std::string> player_args;
    int status;
  };
  const std::vector<Case> cases = {
      {{"-v", work.file("song.mid")}, 0},
      {{work.file("missing.mid")}, 2},     // a file that cannot be loaded: the run failed
      {{"-Z", work.file("song.mid")}, 1},  // a usage error
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.player_args.back() + " with " + test.player_args.front());
    std::vector<std::string> args = {work.file("songrelay-monitor"), "--dir", work.file("ports"), "--", "songrelay"};
    args.insert(args.end(), test.player_args.begin(), test.player_args.end());
    ProcessResult run = run_process(work.file("songrelay-monitor"), args, {"PATH=/nonexistent"});
    EXPECT_EQ(run.exit_status, test.status) << run.err;
    EXPECT_NE(run.err.find("; nodes removed\n"), std::string::npos) << run.err;
    EXPECT_FALSE(path_exists(work.file("ports")));
    if (test.status == 0) {
      EXPECT_NE(run.out.find("[MIDI File ]: " + work.file("song.mid")), std::string::npos) << run.out;
      EXPECT_EQ(port_lines(run.out, 0),
                (std::vector<std::string>{"--  System Exclusive   F0 7E 7F 09 01 F7 (GM System On)",
                                          " 1  Note On            A4 (69), velocity 96",
                                          " 1  Note Off           A4 (69), velocity 0"}));
    }
  }
}

TEST(MonitorPlayer, AnyProgramsStatusIsHandedOnAndItsNodesNamed) {
  // A stand-in player that records its arguments, writes a note into the
  // node -0 names and ends as the case says.
  TempDir work;
  struct Case {
    std::string ending;
    bool signaled;  // the monitor ends by a signal rather than exiting
    int code;       // its exit status, or the signal
  };
  const std::vector<Case> cases = {
      {"exit 0", false, 0},
      {"exit 7", false, 7},
      // Ended by a stop signal, the monitor ends by it too, as the player does.
      {"kill -TERM $$", true, SIGTERM},
      {"kill -HUP $$", true, SIGHUP},
      // Killed outright, the monitor exits as a shell shows it.
      {"kill -KILL $$", false, 128 + SIGKILL},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.ending);
    std::string args_file = work.file("args");
    write_script(work.file("player"),
                 "printf '%s\\n' \"$@\" >'" + args_file + "'\nprintf '\\220\\105\\140' >\"$2\"\n" + test.ending);
    ChildProcess monitor;
    ASSERT_TRUE(start_child(monitor, SONGRELAY_MONITOR_BIN,
                            {SONGRELAY_MONITOR_BIN, "--dir", work.file("ports"), "--ports", "2", "--",
                             work.file("player"), "-v", "song.mid"}));
    int status = 0;
    ASSERT_TRUE(wait_raw(monitor, status)) << monitor.out << monitor.err;
    EXPECT_EQ(WIFSIGNALED(status), test.signaled) << monitor.err;
    EXPECT_EQ(test.signaled ? WTERMSIG(status) : WEXITSTATUS(status), test.code) << monitor.err;
    EXPECT_EQ(port_lines(monitor.out, 0), std::vector<std::string>{" 1  Note On            A4 (69), velocity 96"});
    std::string port = work.file("ports/umidi0.");
    EXPECT_EQ(read_text(args_file), "-0\n" + port + "0\n-1\n" + port + "1\n-v\nsong.mid\n");
    EXPECT_NE(monitor.err.find("1 messages; nodes removed\n"), std::string::npos) << monitor.err;
    EXPECT_FALSE(path_exists(work.file("ports")));
  }
}

// The signal mask and ignored signals of a process, from its status in /proc.
struct SignalState {
  unsigned long long blocked = 0, ignored = 0;
};

// Reads SigBlk and SigIgn from a copy of /proc/PID/status.
SignalState signal_state(const std::string& status) {
  SignalState state;
  for (const char* field : {"SigBlk:", "SigIgn:"}) {
    size_t at = status.find(field);
    if (at == std::string::npos) continue;
    unsigned long long value = std::stoull(status.substr(at + std::strlen(field)), nullptr, 16);
    (field[3] == 'B' ? state.blocked : state.ignored) = value;
  }
  return state;
}

TEST(MonitorPlayer, ThePlayerStartsWithNoSignalHeldOrIgnoredAndNoneOfTheMonitorsFiles) {
  // The monitor ignores SIGPIPE and its threads hold the stop signals; none
  // of that may reach the player, which would then die on a closed pipe or
  // never see the interrupt key. Nor may the monitor's nodes and log.
  if (!path_exists("/proc/self/status")) GTEST_SKIP() << "needs /proc/PID/status and fd (Linux)";
  TempDir work;
  // The shell's own mask is read by the program it becomes: a shell blocks
  // every signal for a moment around each fork, so a child reading
  // /proc/$$/status may catch it in that moment.
  write_script(work.file("player"), "ls -l /proc/$$/fd/ >'" + work.file("fds") + "'\nexec cat /proc/self/status >'" +
                                        work.file("status") + "'");
  ProcessResult run = run_process(SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", work.file("ports"), "--quiet",
                                                          "--log", work.file("log"), "--", work.file("player")});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  SignalState state = signal_state(read_text(work.file("status")));
  EXPECT_EQ(state.blocked, 0u);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    EXPECT_EQ(state.ignored & (1ull << (signal_number - 1)), 0u) << "signal " << signal_number << " ignored";
  std::string fds = read_text(work.file("fds"));
  EXPECT_EQ(fds.find(work.file("log")), std::string::npos) << fds;
  EXPECT_EQ(fds.find(work.file("ports")), std::string::npos) << fds;
}

TEST(MonitorPlayer, APlayerThatCannotStartIsNamedInOneLine) {
  TempDir work;
  write_file(work.file("not-a-program"), {'x'});
  struct Case {
    std::string program, reason;
  };
  const std::vector<Case> cases = {
      {work.file("missing"), "No such file or directory"},
      {work.file("not-a-program"), "Permission denied"},
      {"songrelay-nowhere", "No such file or directory"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.program);
    ProcessResult run = run_process(
        SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", work.file("ports"), "--", test.program, "song.mid"},
        {"PATH=" + work.path});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "songrelay-monitor: cannot start " + test.program + " (" + test.reason + ")\n");
    EXPECT_FALSE(path_exists(work.file("ports")));
  }
}

TEST(MonitorPlayer, AStopReachesThePlayerAndItsAllSoundOffIsHeard) {
  // A song that would hold its note for 20 s. The interrupt key of a
  // terminal reaches the monitor and the player in either order; a signal
  // sent to the monitor alone is passed on as it is, the end of the idle
  // time as SIGTERM. Either
  // way the player silences its ports, and the monitor shows that before it
  // ends as the player did.
  TempDir work;
  write_file(work.file("song.mid"), one_note_song(40 * 96));
  std::string pid_file = work.file("player.pid");
  write_script(work.file("player"), "echo $$ >'" + pid_file + "'\nexec '" + SONGRELAY_BIN + "' \"$@\"");
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool to_monitor, to_player, player_first;
    int signal_number;  // sent, and the signal the monitor ends by
  };
  const std::vector<Case> cases = {
      {"interrupt key, player first", {}, true, true, true, SIGINT},
      {"interrupt key, monitor first", {}, true, true, false, SIGINT},
      {"SIGINT to the monitor alone", {}, true, false, false, SIGINT},
      {"SIGTERM to the monitor alone", {}, true, false, false, SIGTERM},
      // Counted from the player's first bytes, so it is playing by then.
      {"idle time", {"--idle", "1"}, false, false, false, SIGTERM},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    unlink(pid_file.c_str());
    std::vector<std::string> args = {SONGRELAY_MONITOR_BIN, "--dir", work.file("ports")};
    args.insert(args.end(), test.options.begin(), test.options.end());
    args.insert(args.end(), {"--", work.file("player"), work.file("song.mid")});
    ChildProcess monitor;
    ASSERT_TRUE(start_child(monitor, SONGRELAY_MONITOR_BIN, args));
    ASSERT_TRUE(read_child_until(monitor, "Note On ")) << monitor.out << monitor.err;
    pid_t player = static_cast<pid_t>(std::stol(read_text(pid_file)));
    if (test.to_player && test.player_first) kill(player, test.signal_number);
    if (test.to_monitor) kill(monitor.pid, test.signal_number);
    if (test.to_player && !test.player_first) kill(player, test.signal_number);
    int status = 0;
    ASSERT_TRUE(wait_raw(monitor, status)) << monitor.out << monitor.err;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == test.signal_number) << "wait status " << status << "\n"
                                                                               << monitor.err;
    std::vector<std::string> lines = port_lines(monitor.out, 0);
    size_t silenced = 0;
    for (const std::string& line : lines)
      if (line.find("Control Change     120 (All Sound Off)") != std::string::npos) ++silenced;
    EXPECT_EQ(silenced, 16u) << monitor.out;
    EXPECT_EQ(port_lines(monitor.out, 3).size(), 16u) << "All Sound Off reaches every port";
    EXPECT_NE(monitor.err.find(" messages; nodes removed\n"), std::string::npos) << monitor.err;
    EXPECT_FALSE(path_exists(work.file("ports")));
  }
}

TEST(MonitorPlayer, APlayerThatIgnoresTheStopIsKilledInTheEnd) {
  TempDir work;
  // The note says that the stop is ignored from now on.
  write_script(work.file("player"), "trap '' TERM\nprintf '\\220\\105\\140' >\"$2\"\nexec sleep 60");
  ChildProcess monitor;
  ASSERT_TRUE(start_child(monitor, SONGRELAY_MONITOR_BIN,
                          {SONGRELAY_MONITOR_BIN, "--dir", work.file("ports"), "--", work.file("player")}));
  ASSERT_TRUE(read_child_until(monitor, "Note On ")) << monitor.err;
  kill(monitor.pid, SIGTERM);
  int status = 0;
  ASSERT_TRUE(wait_raw(monitor, status)) << monitor.out << monitor.err;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGKILL) << "wait status " << status;
  EXPECT_NE(
      monitor.err.find("songrelay-monitor: " + work.file("player") + " did not end within 5 s of the stop; killed\n"),
      std::string::npos)
      << monitor.err;
  EXPECT_FALSE(path_exists(work.file("ports")));
}

}  // namespace
