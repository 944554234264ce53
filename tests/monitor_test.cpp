// songrelay-monitor and the demo song: the stream decoder as a table of byte
// streams, the command line, the nodes, the monitor binary end to end, and
// the generated song.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "decoder.h"
#include "monitor.h"
#include "nodes.h"
#include "options.h"
#include "support/support.h"

namespace {

// ---------------------------------------------------------------------------
// Decoder

// A decoded message in one short line: "ch1 Note On C4 (60), velocity 100".
std::string compact(const MessageText& text) {
  std::string line = text.channel > 0 ? "ch" + std::to_string(text.channel) + " " : "";
  line += text.name;
  if (!text.detail.empty()) line += " " + text.detail;
  return line;
}

// Feeds the chunks one read at a time, then ends the stream.
std::vector<std::string> decode_chunks(const std::vector<Bytes>& chunks) {
  DecoderState state;
  std::vector<DecodedMessage> messages;
  for (const Bytes& chunk : chunks) decode_bytes(state, chunk.data(), chunk.size(), messages);
  decoder_finish(state, messages);
  std::vector<std::string> lines;
  for (const DecodedMessage& message : messages) lines.push_back(compact(describe_message(message)));
  return lines;
}

struct DecodeCase {
  const char* what;
  std::vector<Bytes> chunks;  // one entry per read
  std::vector<std::string> lines;
};

TEST(MonitorDecoder, TableOfStreams) {
  const std::vector<DecodeCase> cases = {
      {"note on and off", {{0x90, 0x3C, 0x64, 0x80, 0x3C, 0x40}},
       {"ch1 Note On C4 (60), velocity 100", "ch1 Note Off C4 (60), velocity 64"}},
      {"note names at both ends and with sharps", {{0x9F, 0x00, 0x7F, 0x9F, 0x7F, 0x01, 0x9F, 0x4E, 0x01}},
       {"ch16 Note On C-1 (0), velocity 127", "ch16 Note On G9 (127), velocity 1",
        "ch16 Note On F#5 (78), velocity 1"}},
      {"running status", {{0x90, 0x3C, 0x64, 0x3E, 0x64, 0x40, 0x00}},
       {"ch1 Note On C4 (60), velocity 100", "ch1 Note On D4 (62), velocity 100 (running status)",
        "ch1 Note On E4 (64), velocity 0 (running status)"}},
      {"running status across reads and program changes", {{0xC2, 0x05}, {0x06}, {0x07}},
       {"ch3 Program Change 5", "ch3 Program Change 6 (running status)", "ch3 Program Change 7 (running status)"}},
      {"real-time keeps running status, system common cancels it",
       {{0x90, 0x3C, 0x64, 0xF8, 0x3E, 0x64, 0xF6, 0x40, 0x00}},
       {"ch1 Note On C4 (60), velocity 100", "Timing Clock", "ch1 Note On D4 (62), velocity 100 (running status)",
        "Tune Request", "Stray Data 40", "Stray Data 00"}},
      {"real-time bytes inside a message", {{0x90, 0xF8, 0x3C, 0xFE, 0x64}},
       {"Timing Clock", "Active Sensing", "ch1 Note On C4 (60), velocity 100"}},
      {"message split over three reads", {{0xB0}, {0x07}, {0x64}}, {"ch1 Control Change 7 (Volume), value 100"}},
      {"GS reset split over reads", {{0xF0, 0x41, 0x10}, {0x42, 0x12, 0x40, 0x00}, {0x7F, 0x00, 0x41, 0xF7}},
       {"System Exclusive F0 41 10 42 12 40 00 7F 00 41 F7 (GS Reset)"}},
      {"real-time inside a system exclusive", {{0xF0, 0x7E, 0xF8, 0x7F, 0x09}, {0xFA, 0x01, 0xF7}},
       {"Timing Clock", "Start", "System Exclusive F0 7E 7F 09 01 F7 (GM System On)"}},
      {"GM System On of any device", {{0xF0, 0x7E, 0x10, 0x09, 0x01, 0xF7}},
       {"System Exclusive F0 7E 10 09 01 F7 (GM System On)"}},
      {"XG System On of any device", {{0xF0, 0x43, 0x1F, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}},
       {"System Exclusive F0 43 1F 4C 00 00 7E 00 F7 (XG System On)"}},
      {"look-alikes are not named",
       {{0xF0, 0x43, 0x20, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7, 0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F,
         0x00, 0x40, 0xF7}},
       {"System Exclusive F0 43 20 4C 00 00 7E 00 F7", "System Exclusive F0 41 10 42 12 40 00 7F 00 40 F7"}},
      {"status byte cuts an unfinished message", {{0x90, 0x3C}, {0xB0, 0x07, 0x64}},
       {"ch1 Note On incomplete: 90 3C", "ch1 Control Change 7 (Volume), value 100"}},
      {"status byte ends a system exclusive without F7", {{0xF0, 0x43, 0x10, 0x90, 0x3C, 0x64}},
       {"System Exclusive incomplete: F0 43 10", "ch1 Note On C4 (60), velocity 100"}},
      {"stray data bytes", {{0x3C, 0x40}}, {"Stray Data 3C", "Stray Data 40"}},
      {"F7 with no exclusive open", {{0x90, 0x3C, 0xF7, 0x40}},
       {"ch1 Note On incomplete: 90 3C", "End of Exclusive F7 (no System Exclusive open)", "Stray Data 40"}},
      {"unfinished message at the end of the stream", {{0xE0, 0x00}}, {"ch1 Pitch Bend incomplete: E0 00"}},
      {"pitch bend as a signed value", {{0xE0, 0x00, 0x00, 0xE0, 0x00, 0x40, 0xE1, 0x7F, 0x7F}},
       {"ch1 Pitch Bend -8192", "ch1 Pitch Bend 0", "ch2 Pitch Bend 8191"}},
      {"controller names",
       {{0xB0, 0, 1, 0xB0, 1, 2, 0xB0, 10, 3, 0xB0, 11, 4, 0xB0, 64, 127, 0xB0, 91, 5, 0xB0, 93, 6, 0xB0, 120, 0,
         0xB0, 121, 0, 0xB0, 123, 0, 0xB0, 3, 9}},
       {"ch1 Control Change 0 (Bank Select), value 1", "ch1 Control Change 1 (Modulation), value 2",
        "ch1 Control Change 10 (Pan), value 3", "ch1 Control Change 11 (Expression), value 4",
        "ch1 Control Change 64 (Sustain), value 127", "ch1 Control Change 91 (Reverb), value 5",
        "ch1 Control Change 93 (Chorus), value 6", "ch1 Control Change 120 (All Sound Off), value 0",
        "ch1 Control Change 121 (Reset All Controllers), value 0",
        "ch1 Control Change 123 (All Notes Off), value 0", "ch1 Control Change 3, value 9"}},
      {"program and pressure", {{0xC5, 0x6A, 0xD0, 0x40, 0xA9, 0x3C, 0x20}},
       {"ch6 Program Change 106", "ch1 Channel Pressure 64", "ch10 Key Pressure C4 (60), pressure 32"}},
      {"system common", {{0xF1, 0x35, 0xF2, 0x00, 0x08, 0xF3, 0x05, 0xF4, 0xF5, 0xF6}},
       {"MTC Quarter Frame type 3, value 5", "Song Position beat 1024", "Song Select song 5", "Undefined F4",
        "Undefined F5", "Tune Request"}},
      {"real-time names", {{0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF}},
       {"Timing Clock", "Undefined F9", "Start", "Continue", "Stop", "Undefined FD", "Active Sensing",
        "System Reset"}},
  };
  for (const DecodeCase& c : cases) EXPECT_EQ(decode_chunks(c.chunks), c.lines) << c.what;
}

TEST(MonitorDecoder, LongSystemExclusiveComesInBoundedPiecesWithEveryByte) {
  Bytes stream{0xF0};
  for (size_t i = 0; i < 2 * SYSEX_PIECE_LIMIT + 100; ++i) stream.push_back(static_cast<uint8_t>(i & 0x7F));
  stream.push_back(0xF7);
  DecoderState state;
  std::vector<DecodedMessage> messages;
  for (size_t at = 0; at < stream.size(); at += 1000)
    decode_bytes(state, stream.data() + at, std::min<size_t>(1000, stream.size() - at), messages);
  decoder_finish(state, messages);
  ASSERT_EQ(messages.size(), 3u);
  Bytes joined;
  for (const DecodedMessage& message : messages) {
    EXPECT_EQ(message.kind, MSG_SYSEX_PART);
    EXPECT_LE(message.bytes.size(), SYSEX_PIECE_LIMIT);
    joined.insert(joined.end(), message.bytes.begin(), message.bytes.end());
  }
  EXPECT_EQ(joined, stream);
  EXPECT_EQ(describe_message(messages[0]).detail.rfind("part: F0 00 01", 0), 0u);
  EXPECT_NE(describe_message(messages[0]).detail.find("(4096 bytes)"), std::string::npos);
}

TEST(MonitorDecoder, LinesAndLogLinesHaveTheirColumns) {
  EXPECT_EQ(format_monitor_line(1234567890, 2, MessageText{1, "Note On", "A4 (69), velocity 96"}),
            "    1.234567  2   1  Note On            A4 (69), velocity 96\n");
  EXPECT_EQ(format_monitor_line(5000, 0, MessageText{0, "Timing Clock", ""}),
            "    0.000005  0  --  Timing Clock\n");
  EXPECT_EQ(format_log_line(3, 987654321012, DecodedMessage{MSG_COMPLETE, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}),
            "3 987654321012 F0 7E 7F 09 01 F7\n");
}

// ---------------------------------------------------------------------------
// Command line

// Parses args (without argv[0]) with standard error captured.
int parse(std::vector<std::string> args, MonitorOptions& options, std::string& err) {
  args.insert(args.begin(), "songrelay-monitor");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  testing::internal::CaptureStderr();
  int result = parse_monitor_options(static_cast<int>(argv.size()), argv.data(), options);
  err = testing::internal::GetCapturedStderr();
  return result;
}

TEST(MonitorOptions, ValuesInShortAndLongSpelling) {
  MonitorOptions options;
  std::string err;
  ASSERT_EQ(parse({"-d", "mydev", "-u", "14", "-n1", "--dir=/x", "--log", "f.log", "-q", "-i", "0.5",
                   "--timeout=2"},
                  options, err),
            0)
      << err;
  EXPECT_EQ(options.base, "mydev");
  EXPECT_EQ(options.unit, 14);
  EXPECT_EQ(options.ports, 1);
  EXPECT_EQ(options.dir, "/x");
  EXPECT_EQ(options.log_path, "f.log");
  EXPECT_TRUE(options.quiet);
  EXPECT_DOUBLE_EQ(options.idle_seconds, 0.5);
  EXPECT_DOUBLE_EQ(options.timeout_seconds, 2.0);
  EXPECT_EQ(err, "");
}

TEST(MonitorOptions, BadArgumentsAreRefusedWithOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {"-n", "0"},   {"--ports", "5"},  {"-u", "15"},    {"-u", "1x"},     {"-i", "0"},      {"--idle=-1"},
      {"-t", "nan"}, {"-t", "inf"},     {"-d", "a/b"},   {"--base="},      {"--bogus"},      {"-x"},
      {"operand"},   {"-n"},            {"--quiet=yes"}, {"-qq"},          {"--dir", ""},
  };
  for (const std::vector<std::string>& args : cases) {
    MonitorOptions options;
    std::string err;
    EXPECT_EQ(parse(args, options, err), -1) << args[0];
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << args[0] << ": " << err;
  }
}

TEST(MonitorOptions, UsageScreenOnBadOptionsAndHelp) {
  ProcessResult bad = run_process(SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--ports", "9"});
  EXPECT_EQ(bad.exit_status, 1);
  EXPECT_NE(bad.err.find("Usage: songrelay-monitor"), std::string::npos) << bad.err;
  EXPECT_EQ(bad.out, "");
  ProcessResult help = run_process(SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "-h"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.err.find("Usage: songrelay-monitor"), std::string::npos);
  EXPECT_EQ(help.out, "");
}

// ---------------------------------------------------------------------------
// Nodes

bool is_fifo(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// Points TMPDIR somewhere for the scope.
struct TmpdirOverride {
  std::string saved;
  bool had = false;
  explicit TmpdirOverride(const std::string& dir) {
    const char* old = std::getenv("TMPDIR");
    had = old != nullptr;
    if (had) saved = old;
    setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TmpdirOverride() {
    if (had) setenv("TMPDIR", saved.c_str(), 1);
    else unsetenv("TMPDIR");
  }
};

TEST(MonitorNodes, RefusedDefaultDirectoryFallsBackToATemporaryOne) {
  TempDir scratch;
  TmpdirOverride tmpdir(scratch.path);
  MonitorOptions options;
  options.default_dir = scratch.file("no-such-dir");
  options.ports = 2;
  options.unit = 5;
  NodeSet nodes;
  testing::internal::CaptureStderr();
  ASSERT_EQ(setup_nodes(nodes, options), NODES_OK);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("using a temporary directory"), std::string::npos) << err;
  EXPECT_TRUE(nodes.temp_dir);
  EXPECT_EQ(nodes.dir.rfind(scratch.path + "/songrelay-mon-", 0), 0u) << nodes.dir;
  EXPECT_EQ(player_arguments(nodes), "-0 .." + nodes.dir + "/umidi5.0 -1 .." + nodes.dir + "/umidi5.1");
  EXPECT_TRUE(is_fifo("/dev/" + nodes.port_names[0]));
  EXPECT_TRUE(is_fifo("/dev/" + nodes.port_names[1]));
  EXPECT_FALSE(exists(nodes.dir + "/umidi5.2"));
  std::string dir = nodes.dir;
  remove_nodes(nodes);
  EXPECT_FALSE(exists(dir));
}

TEST(MonitorNodes, ANameTakenOverByOthersIsNotRemoved) {
  TempDir scratch;
  MonitorOptions options;
  options.dir = scratch.path;
  NodeSet nodes;
  ASSERT_EQ(setup_nodes(nodes, options), NODES_OK);
  ASSERT_EQ(unlink(scratch.file("umidi0.1").c_str()), 0);
  write_file(scratch.file("umidi0.1"), {1, 2, 3});
  remove_nodes(nodes);
  EXPECT_EQ(read_file(scratch.file("umidi0.1")), (Bytes{1, 2, 3}));
  for (const char* name : {"umidi0.0", "umidi0.2", "umidi0.3"}) EXPECT_FALSE(exists(scratch.file(name))) << name;
  EXPECT_TRUE(exists(scratch.path));
}

// ---------------------------------------------------------------------------
// The monitor binary

constexpr int PATIENCE_MS = 30000;  // generous: only a hung program ever waits this long

int64_t now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A program running in the background, its output collected as it comes.
struct Background {
  pid_t pid = -1;
  int fds[2] = {-1, -1};  // its standard output and standard error
  std::string out, err;
  int exit_status = -1;
  Background() = default;
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  ~Background() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
};

// Starts program with args (argv[0] included), standard input empty.
void start(Background& child, const std::vector<std::string>& args) {
  int out_pipe[2], err_pipe[2];
  ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(err_pipe, O_CLOEXEC), 0);
  child.pid = start_process(args[0], args, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  child.fds[0] = out_pipe[0];
  child.fds[1] = err_pipe[0];
  ASSERT_GE(child.pid, 0);
}

// Collects output until standard output holds needle (true) or both pipes
// are closed or the patience is used up (false).
bool read_until(Background& child, const std::string& needle) {
  int64_t give_up = now_ms() + PATIENCE_MS;
  std::string* sinks[2] = {&child.out, &child.err};
  while (needle.empty() || child.out.find(needle) == std::string::npos) {
    pollfd fds[2] = {{child.fds[0], POLLIN, 0}, {child.fds[1], POLLIN, 0}};
    if (fds[0].fd < 0 && fds[1].fd < 0) return false;
    int64_t left = give_up - now_ms();
    if (left <= 0) return false;
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(child.fds[i]);
        child.fds[i] = -1;
      }
    }
  }
  return true;
}

// Collects the rest of the output and reaps the program. False when it has
// not ended within the patience.
bool wait_exit(Background& child) {
  read_until(child, "");
  if (child.fds[0] >= 0 || child.fds[1] >= 0) return false;
  int status = 0;
  if (waitpid(child.pid, &status, 0) != child.pid) return false;
  child.pid = -1;
  child.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

// The -0 … -3 names from the monitor's ready line, by port.
std::vector<std::string> ready_port_names(const std::string& out) {
  std::vector<std::string> names;
  size_t at = out.find("player options: ");
  if (at == std::string::npos) return names;
  std::istringstream words(out.substr(at + 16, out.find('\n', at) - at - 16));
  std::string flag, name;
  while (words >> flag >> name) names.push_back(name);
  return names;
}

// Writes bytes into a node the way the player does: opened read-write, one write.
void write_node(const std::string& path, const Bytes& bytes) {
  int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

// The decoded lines of one port, without their time column, in order.
std::vector<std::string> port_lines(const std::string& out, int port) {
  std::vector<std::string> lines;
  std::istringstream stream(out);
  std::string line;
  const std::string mark = "  " + std::to_string(port) + "  ";
  while (std::getline(stream, line))
    if (line.size() > 17 && line[5] == '.' && line.compare(12, mark.size(), mark) == 0) lines.push_back(line.substr(17));
  return lines;
}

// The log lines of one port as their hex bytes, in order; also checks that
// the arrival times never go back.
std::vector<std::string> log_bytes(const std::string& log, int port) {
  std::vector<std::string> bytes;
  std::istringstream stream(log);
  std::string line;
  long long last_ns = 0;
  while (std::getline(stream, line)) {
    int line_port = -1;
    long long ns = 0;
    int consumed = 0;
    EXPECT_EQ(std::sscanf(line.c_str(), "%d %lld %n", &line_port, &ns, &consumed), 2) << line;
    if (line_port != port) continue;
    EXPECT_GE(ns, last_ns) << line;
    last_ns = ns;
    bytes.push_back(line.substr(static_cast<size_t>(consumed)));
  }
  return bytes;
}

TEST(MonitorBinary, DecodesEachPortInOrderAndRemovesItsNodesOnSignals) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
    TempDir dir;
    std::string log = dir.file("monitor.log");
    Background monitor;
    start(monitor, {SONGRELAY_MONITOR_BIN, "--dir", dir.path, "--log", log});
    ASSERT_TRUE(read_until(monitor, "player options: ")) << monitor.err;
    for (int port = 0; port < 4; ++port) EXPECT_TRUE(is_fifo(dir.file("umidi0." + std::to_string(port))));

    write_node(dir.file("umidi0.0"), {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
    write_node(dir.file("umidi0.2"), {0xB2, 0x07, 0x64, 0x92});
    write_node(dir.file("umidi0.0"), {0x90, 0x45, 0x60});
    write_node(dir.file("umidi0.3"), {0xF0, 0x41, 0x10, 0x42, 0x12});
    write_node(dir.file("umidi0.2"), {0x45, 0xF8, 0x60, 0x45, 0x00});
    write_node(dir.file("umidi0.3"), {0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7});
    ASSERT_EQ(kill(monitor.pid, signal_number), 0);
    ASSERT_TRUE(wait_exit(monitor)) << monitor.out << monitor.err;

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
    for (int port = 0; port < 4; ++port) EXPECT_FALSE(exists(dir.file("umidi0." + std::to_string(port))));
  }
}

TEST(MonitorBinary, EndsByItselfWhenIdleOrOutOfTime) {
  TempDir dir;
  {
    Background monitor;
    start(monitor, {SONGRELAY_MONITOR_BIN, "--dir", dir.path, "--ports", "1", "--idle", "0.2"});
    ASSERT_TRUE(read_until(monitor, "player options: ")) << monitor.err;
    write_node(dir.file("umidi0.0"), {0xC0, 0x6A, 0x90, 0x3C});
    ASSERT_TRUE(wait_exit(monitor)) << monitor.out << monitor.err;
    EXPECT_EQ(monitor.exit_status, 0) << monitor.err;
    EXPECT_EQ(port_lines(monitor.out, 0),
              (std::vector<std::string>{" 1  Program Change     106", " 1  Note On            incomplete: 90 3C"}));
    EXPECT_FALSE(exists(dir.file("umidi0.0")));
  }
  {
    Background monitor;
    start(monitor, {SONGRELAY_MONITOR_BIN, "--dir", dir.path, "--quiet", "--timeout", "0.2"});
    ASSERT_TRUE(wait_exit(monitor)) << monitor.out << monitor.err;
    EXPECT_EQ(monitor.exit_status, 0) << monitor.err;
    EXPECT_NE(monitor.out.find("ready: umidi0.0 umidi0.1 umidi0.2 umidi0.3 in " + dir.path), std::string::npos)
        << monitor.out;
    EXPECT_NE(monitor.err.find("0 messages"), std::string::npos) << monitor.err;
  }
  EXPECT_FALSE(exists(dir.file("umidi0.0")));
  EXPECT_FALSE(exists(dir.file("umidi0.3")));
}

TEST(MonitorBinary, ExistingNodeNameIsRefusedAndLeftInPlace) {
  TempDir dir;
  write_file(dir.file("umidi0.2"), {'k', 'e', 'e', 'p'});
  ProcessResult result = run_process(SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", dir.path});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "songrelay-monitor: " + dir.file("umidi0.2") + " already exists; refusing to replace it\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(read_file(dir.file("umidi0.2")), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(exists(dir.file("umidi0.0")));
  EXPECT_FALSE(exists(dir.file("umidi0.1")));
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
  // either way the printed names, read relative to /dev/, reach them.
  DevNodeGuard guard{"srmon" + std::to_string(getpid()) + "t"};
  Background monitor;
  start(monitor, {SONGRELAY_MONITOR_BIN, "--base", guard.base, "--unit", "3", "--ports", "2"});
  ASSERT_TRUE(read_until(monitor, "player options: ")) << monitor.err;
  std::vector<std::string> names = ready_port_names(monitor.out);
  ASSERT_EQ(names.size(), 2u) << monitor.out;
  for (size_t port = 0; port < names.size(); ++port) {
    EXPECT_EQ(names[port].substr(names[port].rfind('/') + 1), guard.base + "3." + std::to_string(port));
    EXPECT_TRUE(is_fifo("/dev/" + names[port])) << names[port];
  }
  if (access("/dev", W_OK) == 0) {
    EXPECT_EQ(names[0], guard.base + "3.0");
  }
  write_node("/dev/" + names[1], {0xFF});
  ASSERT_EQ(kill(monitor.pid, SIGTERM), 0);
  ASSERT_TRUE(wait_exit(monitor));
  EXPECT_EQ(monitor.exit_status, 0) << monitor.err;
  EXPECT_EQ(port_lines(monitor.out, 1), std::vector<std::string>{"--  System Reset"});
  for (const std::string& name : names) EXPECT_FALSE(exists("/dev/" + name)) << name;
}

// ---------------------------------------------------------------------------
// The demo song

const std::string DEMO_SONG = std::string(SONGRELAY_SOURCE_DIR) + "/examples/sakura.mid";
constexpr uint32_t DEMO_END_TICK = 240 + 14 * 1920;

// One event of a track: its absolute tick and its bytes (meta events whole).
struct SongEvent {
  uint32_t tick;
  Bytes bytes;
};

// Reads a variable-length quantity at at, moving at past it.
uint32_t take_vlq(const Bytes& data, size_t& at) {
  uint32_t value = 0;
  for (int i = 0; i < 4 && at < data.size(); ++i) {
    uint8_t byte = data[at++];
    value = (value << 7) | (byte & 0x7F);
    if (byte < 0x80) break;
  }
  return value;
}

// The events of every track chunk of a Standard MIDI File image.
std::vector<std::vector<SongEvent>> song_tracks(const Bytes& image) {
  std::vector<std::vector<SongEvent>> tracks;
  size_t at = 14;
  while (at + 8 <= image.size()) {
    size_t length = (size_t{image[at + 4]} << 24) | (size_t{image[at + 5]} << 16) | (size_t{image[at + 6]} << 8) |
                    image[at + 7];
    Bytes body(image.begin() + static_cast<long>(at + 8), image.begin() + static_cast<long>(at + 8 + length));
    at += 8 + length;
    std::vector<SongEvent> events;
    uint32_t tick = 0;
    uint8_t running = 0;
    size_t i = 0;
    while (i < body.size()) {
      tick += take_vlq(body, i);
      size_t start = i;
      uint8_t status = body[i] >= 0x80 ? body[i++] : running;
      if (status == 0xFF) {
        ++i;
        uint32_t n = take_vlq(body, i);
        i += n;
        events.push_back({tick, Bytes(body.begin() + static_cast<long>(start), body.begin() + static_cast<long>(i))});
        continue;
      }
      running = status;
      size_t data_bytes = ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) ? 1 : 2;
      Bytes message{status};
      message.insert(message.end(), body.begin() + static_cast<long>(i),
                     body.begin() + static_cast<long>(i + data_bytes));
      i += data_bytes;
      events.push_back({tick, message});
    }
    tracks.push_back(events);
  }
  return tracks;
}

// The text of a meta event whose length fits one byte.
std::string meta_text(const Bytes& event) { return std::string(event.begin() + 3, event.end()); }

// Shift_JIS text as UTF-8.
std::string sjis_to_utf8(const std::string& text) {
  iconv_t converter = iconv_open("UTF-8", "SHIFT_JIS");
  if (converter == reinterpret_cast<iconv_t>(-1)) return "(no converter)";
  std::string in = text, out(text.size() * 3, '\0');
  char* in_at = in.data();
  char* out_at = out.data();
  size_t in_left = in.size(), out_left = out.size();
  size_t result = iconv(converter, &in_at, &in_left, &out_at, &out_left);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1)) return "(not Shift_JIS)";
  out.resize(out.size() - out_left);
  return out;
}

TEST(DemoSong, GeneratorWritesTheCommittedFile) {
  TempDir dir;
  ProcessResult result = run_process(SONGRELAY_MAKE_DEMO_BIN, {SONGRELAY_MAKE_DEMO_BIN, dir.file("out.mid")});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  Bytes committed = read_file(DEMO_SONG);
  ASSERT_FALSE(committed.empty());
  EXPECT_EQ(read_file(dir.file("out.mid")), committed);
}

TEST(DemoSong, HeaderTracksMetaEventsAndMelody) {
  Bytes image = read_file(DEMO_SONG);
  ASSERT_GE(image.size(), 14u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 14),
            (Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 3, 0x01, 0xE0}));
  std::vector<std::vector<SongEvent>> tracks = song_tracks(image);
  ASSERT_EQ(tracks.size(), 3u);
  for (const std::vector<SongEvent>& track : tracks) {
    ASSERT_FALSE(track.empty());
    EXPECT_EQ(track.back().bytes, (Bytes{0xFF, 0x2F, 0x00}));
    EXPECT_EQ(track.back().tick, DEMO_END_TICK);
  }
  std::map<uint8_t, std::string> texts;  // first text of each type in track 0
  std::string lyrics, melody;
  int note_ons[3] = {};
  for (size_t t = 0; t < 3; ++t)
    for (const SongEvent& event : tracks[t]) {
      const Bytes& b = event.bytes;
      if (b[0] == 0xFF && t == 0 && b[1] >= 0x01 && b[1] <= 0x04 && !texts.count(b[1]))
        texts[b[1]] = meta_text(b);
      if (b[0] == 0xFF && b[1] == 0x05) lyrics += meta_text(b);
      if (b[0] == 0xFF && (b[1] == 0x58 || b[1] == 0x59)) texts[b[1]] = hex(Bytes(b.begin() + 3, b.end()));
      if ((b[0] & 0xF0) == 0xC0) {
        EXPECT_EQ(b[0] & 0x0F, static_cast<int>(t));
      }
      if ((b[0] & 0xF0) == 0x90 && b[2] > 0) {
        EXPECT_EQ(b[0] & 0x0F, static_cast<int>(t)) << "track " << t << " plays on its own channel";
        ++note_ons[t];
        if (t == 0) melody += (melody.empty() ? "" : " ") + note_name(b[1]);
      }
    }
  EXPECT_EQ(texts[0x03], "Sakura Sakura");
  EXPECT_NE(texts[0x02].find("Public domain"), std::string::npos);
  EXPECT_EQ(sjis_to_utf8(texts[0x01]), "さくら さくら 日本古謡");
  EXPECT_EQ(texts[0x58], "04 02 18 08");
  EXPECT_EQ(texts[0x59], "00 01");
  EXPECT_EQ(sjis_to_utf8(lyrics),
            "さくらさくら" "やよいのそらは" "みわたすかぎり" "かすみかくもか" "においぞいずる" "いざやいざや" "みにゆかん");
  EXPECT_EQ(melody,
            "A4 A4 B4 A4 A4 B4 "
            "A4 B4 C5 B4 A4 B4 A4 F4 E4 C4 E4 F4 E4 E4 C4 B3 "
            "A4 B4 C5 B4 A4 B4 A4 F4 E4 C4 E4 F4 E4 E4 C4 B3 "
            "A4 A4 B4 A4 A4 B4 "
            "E4 F4 B4 A4 F4 E4");
  EXPECT_GT(note_ons[1], 0);
  EXPECT_GT(note_ons[2], 0);
}

TEST(DemoSong, PlaysThroughTheMonitorMessageByMessage) {
  TempDir dir;
  std::string log = dir.file("monitor.log");
  Background monitor;
  start(monitor, {SONGRELAY_MONITOR_BIN, "--dir", dir.path, "--quiet", "--log", log});
  ASSERT_TRUE(read_until(monitor, "player options: ")) << monitor.err;
  std::vector<std::string> names = ready_port_names(monitor.out);
  ASSERT_EQ(names.size(), 4u);
  ProcessResult player = run_process(SONGRELAY_BIN, {SONGRELAY_BIN, "-t", "UTF-8", "-0", names[0], "-1", names[1],
                                                     "-2", names[2], "-3", names[3], DEMO_SONG});
  ASSERT_EQ(kill(monitor.pid, SIGTERM), 0);
  ASSERT_TRUE(wait_exit(monitor));
  EXPECT_EQ(monitor.exit_status, 0) << monitor.err;
  for (const std::string& name : names) EXPECT_FALSE(exists("/dev/" + name)) << name;
  EXPECT_NE(player.out.find("[Title     ]: Sakura Sakura"), std::string::npos) << player.out << player.err;
  EXPECT_EQ(player.exit_status, 0);
  EXPECT_NE(player.out.find("さ"), std::string::npos) << "lyrics shown in the terminal's encoding";
  std::string log_text(reinterpret_cast<const char*>(read_file(log).data()), read_file(log).size());
  std::vector<std::string> arrived = log_bytes(log_text, 0);
  for (int port = 1; port < 4; ++port) EXPECT_EQ(log_bytes(log_text, port), std::vector<std::string>{});
  ASSERT_FALSE(arrived.empty());
  EXPECT_EQ(arrived[0], "F0 7E 7F 09 01 F7") << "the automatic GM System On comes first";
  // Each track plays on its own channel, so every channel's messages must
  // arrive complete and in the order of their track.
  std::map<int, std::vector<std::string>> expected, received;
  std::vector<std::vector<SongEvent>> tracks = song_tracks(read_file(DEMO_SONG));
  for (const std::vector<SongEvent>& track : tracks)
    for (const SongEvent& event : track)
      if (event.bytes[0] < 0xF0) expected[event.bytes[0] & 0x0F].push_back(hex(event.bytes));
  for (size_t i = 1; i < arrived.size(); ++i) received[std::stoi(arrived[i].substr(1, 1), nullptr, 16)].push_back(arrived[i]);
  EXPECT_EQ(received, expected);
  EXPECT_EQ(arrived.size(), 1 + expected[0].size() + expected[1].size() + expected[2].size());
}

}  // namespace
