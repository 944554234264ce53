// The monitor program end to end: each port decoded in order, the ways it
// ends (also with a console that stops reading or a closed standard error),
// a taken node name, and port names that reach the nodes from /dev/.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/monitor_output.h"
#include "support/port_files.h"
#include "support/support.h"

namespace {

TEST(MonitorBinary, DecodesEachPortInOrderAndRemovesItsNodesOnSignals) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
    TempDir dir;
    std::string log = dir.file("monitor.log");
    ChildProcess monitor;
    ASSERT_TRUE(start_child(monitor, SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", dir.path, "--log", log}));
    ASSERT_TRUE(read_child_until(monitor, "player options: ")) << monitor.err;
    for (int port = 0; port < 4; ++port) EXPECT_TRUE(is_fifo(dir.file("umidi0." + std::to_string(port))));

    write_node(dir.file("umidi0.0"), {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
    write_node(dir.file("umidi0.2"), {0xB2, 0x07, 0x64, 0x92});
    write_node(dir.file("umidi0.0"), {0x90, 0x45, 0x60});
    write_node(dir.file("umidi0.3"), {0xF0, 0x41, 0x10, 0x42, 0x12});
    write_node(dir.file("umidi0.2"), {0x45, 0xF8, 0x60, 0x45, 0x00});
    write_node(dir.file("umidi0.3"), {0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7});
    ASSERT_EQ(kill(monitor.pid, signal_number), 0);
    ASSERT_TRUE(wait_child(monitor)) << monitor.out << monitor.err;

    EXPECT_EQ(monitor.exit_status, 0) << monitor.err;
    EXPECT_EQ(port_lines(monitor.out, 0),
              (std::vector<std::string>{"--  System Exclusive   F0 7E 7F 09 01 F7 (GM System On)",
                                        " 1  Note On            A4 (69), velocity 96"}));
    EXPECT_EQ(port_lines(monitor.out, 1), std::vector<std::string>{});
    EXPECT_EQ(port_lines(monitor.out, 2),
              (std::vector<std::string>{" 3  Control Change     7 (Volume), value 100", "--  Timing Clock",
                                        " 3  Note On            A4 (69), velocity 96",
                                        " 3  Note On            A4 (69), velocity 0 (running status)"}));
    EXPECT_EQ(port_lines(monitor.out, 3),
              std::vector<std::string>{"--  System Exclusive   F0 41 10 42 12 40 00 7F 00 41 F7 (GS Reset)"});
    std::string log_text(reinterpret_cast<const char*>(read_file(log).data()), read_file(log).size());
    EXPECT_EQ(log_bytes(log_text, 0), (std::vector<std::string>{"F0 7E 7F 09 01 F7", "90 45 60"}));
    EXPECT_EQ(log_bytes(log_text, 2), (std::vector<std::string>{"B2 07 64", "F8", "92 45 60", "92 45 00"}));
    EXPECT_EQ(log_bytes(log_text, 3), std::vector<std::string>{"F0 41 10 42 12 40 00 7F 00 41 F7"});
    EXPECT_NE(monitor.err.find("7 messages; nodes removed"), std::string::npos) << monitor.err;
    for (int port = 0; port < 4; ++port) EXPECT_FALSE(path_exists(dir.file("umidi0." + std::to_string(port))));
  }
}

TEST(MonitorBinary, EndsByItselfWhenIdleOrOutOfTime) {
  TempDir dir;
  {
    ChildProcess monitor;
    ASSERT_TRUE(start_child(monitor, SONGRELAY_MONITOR_BIN,
                            {SONGRELAY_MONITOR_BIN, "--dir", dir.path, "--ports", "1", "--idle", "0.2"}));
    ASSERT_TRUE(read_child_until(monitor, "player options: ")) << monitor.err;
    write_node(dir.file("umidi0.0"), {0xC0, 0x6A, 0x90, 0x3C});
    ASSERT_TRUE(wait_child(monitor)) << monitor.out << monitor.err;
    EXPECT_EQ(monitor.exit_status, 0) << monitor.err;
    EXPECT_EQ(port_lines(monitor.out, 0),
              (std::vector<std::string>{" 1  Program Change     106", " 1  Note On            incomplete: 90 3C"}));
    EXPECT_FALSE(path_exists(dir.file("umidi0.0")));
  }
  {
    ChildProcess monitor;
    ASSERT_TRUE(start_child(monitor, SONGRELAY_MONITOR_BIN,
                            {SONGRELAY_MONITOR_BIN, "--dir", dir.path, "--quiet", "--timeout", "0.2"}));
    ASSERT_TRUE(wait_child(monitor)) << monitor.out << monitor.err;
    EXPECT_EQ(monitor.exit_status, 0) << monitor.err;
    EXPECT_NE(monitor.out.find("ready: umidi0.0 umidi0.1 umidi0.2 umidi0.3 in " + dir.path), std::string::npos)
        << monitor.out;
    EXPECT_NE(monitor.err.find("0 messages"), std::string::npos) << monitor.err;
  }
  EXPECT_FALSE(path_exists(dir.file("umidi0.0")));
  EXPECT_FALSE(path_exists(dir.file("umidi0.3")));
}

TEST(MonitorBinary, EachWriterThatLeavesIsSaidAndTheNextIsRead) {
  // Three writers in turn on port 2, the way a player opens the node anew
  // for each song, and one on port 0 that writes nothing.
  TempDir dir;
  ChildProcess monitor;
  ASSERT_TRUE(start_child(monitor, SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", dir.path}));
  ASSERT_TRUE(read_child_until(monitor, "player options: ")) << monitor.err;
  for (uint8_t key : {60, 62, 64}) {
    write_node(dir.file("umidi0.2"), {0x90, key, 0x40});
    ASSERT_TRUE(read_child_until(monitor, "umidi0.2: the last writer has gone; port 2 silenced\n")) << monitor.out;
    monitor.out.clear();
  }
  write_node(dir.file("umidi0.0"), {});
  // With no writer left the monitor waits without using the processor.
  double cpu_before = cpu_seconds(monitor.pid);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  double cpu_after = cpu_seconds(monitor.pid);
  if (cpu_before >= 0) {
    EXPECT_LT(cpu_after - cpu_before, 0.1) << "the monitor spins without a writer";
  }
  ASSERT_EQ(kill(monitor.pid, SIGTERM), 0);
  ASSERT_TRUE(wait_child(monitor));
  EXPECT_EQ(monitor.exit_status, 0) << monitor.err;
  EXPECT_NE(monitor.err.find("3 messages; nodes removed"), std::string::npos) << monitor.err;
  EXPECT_EQ(monitor.out.find("umidi0.0: the last writer"), std::string::npos) << "a writer of nothing was said";
}

TEST(MonitorBinary, StalledConsoleDoesNotHoldOffTheStop) {
  // Standard output is a pipe that nobody reads once the ready line is in:
  // far more lines than the pipe holds, then SIGTERM.
  TempDir dir;
  ChildProcess monitor;
  ASSERT_TRUE(start_child(monitor, SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", dir.path}));
  ASSERT_TRUE(read_child_until(monitor, "player options: ")) << monitor.err;
  Bytes notes;
  for (int i = 0; i < 4000; ++i) notes = notes + Bytes{0x90, static_cast<uint8_t>(i % 128), 0x40};
  write_node(dir.file("umidi0.1"), notes);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto stop_sent = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(monitor.pid, SIGTERM), 0);
  int status = 0;
  bool ended = wait_or_kill(monitor.pid, status, 10000);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stop_sent).count();
  monitor.pid = -1;
  EXPECT_TRUE(ended) << "still running 10 s after SIGTERM";
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(shell_status(status), 0);
  for (int port = 0; port < 4; ++port) EXPECT_FALSE(path_exists(dir.file("umidi0." + std::to_string(port))));
  read_child_until(monitor, "", 1000);
  EXPECT_NE(monitor.err.find("4000 messages; "), std::string::npos) << monitor.err;
  EXPECT_NE(monitor.err.find(" lines not shown (the output did not keep up); nodes removed\n"), std::string::npos)
      << monitor.err;
}

TEST(MonitorBinary, ClosedStandardErrorKeepsTheStatus) {
  // Standard error a pipe whose reader has gone, and standard error closed.
  TempDir dir;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  pid_t pid = start_process(SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", dir.path, "--timeout", "0.2"}, -1,
                            fds[1]);
  close(fds[1]);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_TRUE(wait_or_kill(pid, status, 30000));
  EXPECT_EQ(shell_status(status), 0);
  ProcessResult closed = run_process(
      "/bin/sh", {"/bin/sh", "-c", "exec \"$0\" --dir \"$1\" --timeout 0.2 2>&-", SONGRELAY_MONITOR_BIN, dir.path});
  EXPECT_EQ(closed.exit_status, 0);
  EXPECT_NE(closed.out.find("player options: "), std::string::npos) << closed.out;
  EXPECT_FALSE(path_exists(dir.file("umidi0.0")));
}

TEST(MonitorBinary, ExistingNodeNameIsRefusedAndLeftInPlace) {
  TempDir dir;
  write_file(dir.file("umidi0.2"), {'k', 'e', 'e', 'p'});
  ProcessResult result = run_process(SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", dir.path});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "songrelay-monitor: " + dir.file("umidi0.2") + " already exists; refusing to replace it\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(read_file(dir.file("umidi0.2")), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(path_exists(dir.file("umidi0.0")));
  EXPECT_FALSE(path_exists(dir.file("umidi0.1")));
}

// Removes /dev nodes of a test's own base name on every path.
struct DevNodeGuard {
  std::string base;
  ~DevNodeGuard() {
    for (int unit = 0; unit < 15; ++unit)
      for (int port = 0; port < 4; ++port) {
        std::string path = "/dev/" + base + std::to_string(unit) + "." + std::to_string(port);
        if (is_fifo(path)) unlink(path.c_str());
      }
  }
};

TEST(MonitorBinary, PortNamesReachTheNodesFromDev) {
  // The nodes go to /dev/ when it takes them, else to a temporary directory;
  // either way the printed names, read as the player reads them, reach them:
  // a plain name in /dev/, else the node's absolute path.
  DevNodeGuard guard{"srmon" + std::to_string(getpid()) + "t"};
  ChildProcess monitor;
  ASSERT_TRUE(start_child(monitor, SONGRELAY_MONITOR_BIN,
                          {SONGRELAY_MONITOR_BIN, "--base", guard.base, "--unit", "3", "--ports", "2"}));
  ASSERT_TRUE(read_child_until(monitor, "player options: ")) << monitor.err;
  std::vector<std::string> names = ready_port_names(monitor.out);
  ASSERT_EQ(names.size(), 2u) << monitor.out;
  for (size_t port = 0; port < names.size(); ++port) {
    EXPECT_EQ(names[port].substr(names[port].rfind('/') + 1), guard.base + "3." + std::to_string(port));
    EXPECT_TRUE(is_fifo(node_path(names[port]))) << names[port];
  }
  if (access("/dev", W_OK) == 0) {
    EXPECT_EQ(names[0], guard.base + "3.0");
  } else {
    EXPECT_EQ(names[0].front(), '/') << names[0];
  }
  write_node(node_path(names[1]), {0xFF});
  ASSERT_EQ(kill(monitor.pid, SIGTERM), 0);
  ASSERT_TRUE(wait_child(monitor));
  EXPECT_EQ(monitor.exit_status, 0) << monitor.err;
  EXPECT_EQ(port_lines(monitor.out, 1), std::vector<std::string>{"--  System Reset"});
  for (const std::string& name : names) EXPECT_FALSE(path_exists(node_path(name))) << name;
}

}  // namespace
