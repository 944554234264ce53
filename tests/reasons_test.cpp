// Whole runs of the player that fail before the song: each failure's error
// lines come exactly as they always did, followed by one line that says
// why, in the system's words, and what to do.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/port_files.h"
#include "support/programs.h"
#include "support/support.h"

namespace {

const std::string BANNER =
    "songrelay: Simple MIDI-File Player for RAW-MIDI Interface(USB MIDI). Version 0.8.3 (2020/08/23)\n"
    " Written for musicians who drive a hardware synth from a terminal.\n";
const std::string PORT0_LINE = "Error!!: Can't Open RawMidi Device Port=0 => Can't play MIDI-File. Exit.\n";
const std::string HINT =
    "Hint: name port 0's node with -0 (for instance -0 snd/midiC1D0), "
    "or play to virtual ports made by songrelay-monitor.\n";

std::string open_line(const std::string& device, int port) {
  return "Error!!: Can't Open MidiDevice (Device=" + device + " Port=" + std::to_string(port) + ")\n";
}

// A base name that no device and no other test process uses.
std::string unused_base() { return "srreason" + std::to_string(getpid()) + "u"; }

// The group that owns path, by name.
std::string group_of(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return "?";
  const struct group* entry = getgrgid(info.st_gid);
  return entry != nullptr ? entry->gr_name : std::to_string(info.st_gid);
}

// The command line as this test may run it: as nobody when asked, or empty
// with why set when that cannot be done here.
std::vector<std::string> runnable(const std::vector<std::string>& argv, bool as_nobody, std::string& why) {
  if (!as_nobody) return argv;
  std::vector<std::string> wrapped = unprivileged(argv, why);
  if (wrapped.empty()) return wrapped;
  // The built player must be reachable by that user (a build under a closed home is not).
  std::vector<std::string> probe = unprivileged({SONGRELAY_BIN, "-h"}, why);
  if (run_process(probe[0], probe).exit_status != 0) {
    why = "a user without privilege cannot run " + std::string(SONGRELAY_BIN) + " here";
    return {};
  }
  return wrapped;
}

// A scratch directory that a user without privilege may enter, with ports 1
// and 2 that such a user may write and no node for port 3, whose error line
// shows that an optional port's failure gets no reason line.
struct FailingRun {
  TempDir dir;
  FailingRun() {
    chmod(dir.path.c_str(), 0755);
    for (const char* name : {"p1", "p2"}) {
      write_file(dir.file(name), {});
      chmod(dir.file(name).c_str(), 0666);
    }
  }
  // The player's command line: the options for port 0 (-0 or -d), then ports 1 to 3 and the song.
  std::vector<std::string> argv(const std::vector<std::string>& port0, const std::string& song) const {
    std::vector<std::string> line{SONGRELAY_BIN, "-t", "UTF-8"};
    line.insert(line.end(), port0.begin(), port0.end());
    for (const std::string& arg : {std::string("-1"), dir.file("p1"), std::string("-2"), dir.file("p2"),
                                   std::string("-3"), dir.file("p3"), song})
      line.push_back(arg);
    return line;
  }
};

// One way for port 0 to fail: what its node is, how it was named, the
// reason line that must follow the error lines (around the node's path),
// and whether the hint to name another node follows.
struct PortZeroCase {
  const char* what;
  std::vector<std::string> port0;  // the options that name port 0
  std::string device;              // port 0's name in its error line
  std::string node;                // the path the reason line names
  std::string before, after;       // the reason line around the path
  bool hint;
};

// Runs the case and compares the whole of standard error: the error lines
// unchanged and in their order, then the reason, then the hint if any.
void expect_reason(const FailingRun& run, const PortZeroCase& c, bool as_nobody) {
  SCOPED_TRACE(c.what);
  std::string why;
  std::vector<std::string> argv = runnable(run.argv(c.port0, run.dir.file("song.mid")), as_nobody, why);
  if (argv.empty()) GTEST_SKIP() << why;
  ProcessResult result = run_process(argv[0], argv);
  EXPECT_EQ(result.exit_status, 2);
  std::string expected = BANNER + open_line(c.device, 0) + open_line(run.dir.file("p3"), 3) + PORT0_LINE + c.before +
                         c.node + c.after + (c.hint ? HINT : "");
  EXPECT_EQ(result.err, expected);
  EXPECT_EQ(result.out, "");
}

TEST(PortZeroReason, EachFailureSaysWhyAfterTheErrorLines) {
  FailingRun run;
  const std::string fifo = run.dir.file("fifo"), missing = run.dir.file("missing"), dir = run.dir.file("dir");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string base = unused_base();
  const std::vector<PortZeroCase> cases = {
      {"a FIFO that no program reads",
       {"-0", fifo},
       fifo,
       fifo,
       "Reason: ",
       " is a FIFO that no program is reading: start songrelay-monitor first.\n",
       false},
      {"a node that does not exist, named by -0",
       {"-0", missing},
       missing,
       missing,
       "Reason: there is no node ",
       " (" + std::string(strerror(ENOENT)) + "): plug the interface in, or check the name.\n",
       false},
      {"no unit found by the search",
       {"-d", base},
       base + "15.0",
       "/dev/" + base + "15.0",
       "Reason: there is no node ",
       " (" + std::string(strerror(ENOENT)) + "): plug the interface in, or check the name.\n",
       true},
      {"a directory",
       {"-0", dir},
       dir,
       dir,
       "Reason: ",
       " is a directory, not a character device or FIFO (" + std::string(strerror(EISDIR)) +
           "): name the MIDI port's node itself.\n",
       false},
  };
  for (const PortZeroCase& c : cases) expect_reason(run, c, false);
}

// A song named as port 0 by a slip of the keyboard (-0 song.mid other.mid)
// is refused, said why, and left byte for byte as it was.
TEST(PortZeroReason, ARegularFileWithDataIsKeptWhole) {
  FailingRun run;
  const std::string song = run.dir.file("typo.mid");
  const Bytes bytes = smf(0, 96, {TrackBuilder().event(0, {0x90, 0x3C, 0x40}).end()});
  write_file(song, bytes);
  expect_reason(run,
                {"a song named as port 0",
                 {"-0", song},
                 song,
                 song,
                 "Reason: ",
                 " is a regular file with data, which songrelay will not overwrite: name the MIDI port's node, or "
                 "an empty file to capture the bytes sent.\n",
                 false},
                false);
  EXPECT_EQ(hex(read_file(song)), hex(bytes));
}

// A user outside the node's group, or a node that no group may write: the
// line names the node's mode and group, and says which of the two to mend.
// Root opens any node, so the player runs as nobody.
TEST(PortZeroReason, ANodeTheUserMayNotOpenNamesItsGroupAndMode) {
  FailingRun run;
  const std::string closed = run.dir.file("closed"), group_only = run.dir.file("group-only");
  ASSERT_EQ(mkfifo(closed.c_str(), 0), 0);
  ASSERT_EQ(mkfifo(group_only.c_str(), 0), 0);
  chmod(closed.c_str(), 0);  // past the umask
  chmod(group_only.c_str(), 0660);
  // Readers, so that nothing but the permission stands in the way.
  int readers[] = {open(closed.c_str(), O_RDONLY | O_NONBLOCK), open(group_only.c_str(), O_RDONLY | O_NONBLOCK)};
  const std::string denied = std::string(strerror(EACCES));
  const std::string closed_group = group_of(closed), own_group = group_of(group_only);
  const std::vector<PortZeroCase> cases = {
      {"mode 0000",
       {"-0", closed},
       closed,
       closed,
       "Reason: you may not open ",
       " (" + denied + "; mode 0000, group " + closed_group +
           "): give a group such as audio read and write access to it, and add yourself to that group.\n",
       false},
      {"mode 0660, another group",
       {"-0", group_only},
       group_only,
       group_only,
       "Reason: you may not open ",
       " (" + denied + "; mode 0660, group " + own_group + "): add yourself to the group that owns it, " + own_group +
           ", and log in again.\n",
       false},
  };
  for (const PortZeroCase& c : cases) expect_reason(run, c, true);
  for (int fd : readers) {
    if (fd >= 0) close(fd);
  }
}

// A FIFO left in /dev/ where the unit search finds it (a monitor that ended
// without removing its nodes): the reason points at the monitor, and the
// hint, which would point at the monitor and at -0, is left out.
TEST(PortZeroReason, AFifoFoundByTheUnitSearchGetsNoHint) {
  if (geteuid() != 0 || access("/dev", W_OK) != 0) GTEST_SKIP() << "needs root and a writable /dev/ for the FIFO";
  FailingRun run;
  const std::string base = unused_base();
  const std::string node = "/dev/" + base + "0.0";
  ASSERT_EQ(mkfifo(node.c_str(), 0666), 0);
  const PortZeroCase c = {"a FIFO in /dev/",
                          {"-d", base},
                          base + "0.0",
                          node,
                          "Reason: ",
                          " is a FIFO that no program is reading: start songrelay-monitor first.\n",
                          false};
  expect_reason(run, c, false);
  unlink(node.c_str());
}

// One way for the file to fail: the error line as it always was, then the
// file's name (harmless, as the -v line shows it) and the system's reason.
struct FileCase {
  const char* what;
  std::string file;
  std::string error_line;
  std::string shown;  // the file's name as the reason line shows it
  int error;
};

// Runs the player on the case's file with four ports that open, and
// compares the whole of standard error.
void expect_file_reason(const FileCase& c, const PortFiles& ports, bool as_nobody) {
  SCOPED_TRACE(c.what);
  std::string why;
  std::vector<std::string> argv = runnable(player_argv({"-t", "UTF-8"}, ports, c.file), as_nobody, why);
  if (argv.empty()) GTEST_SKIP() << why;
  ProcessResult result = run_process(argv[0], argv);
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.err, BANNER + c.error_line + "Reason: " + c.shown + ": " + strerror(c.error) + ".\n");
  EXPECT_EQ(result.out, "");
}

TEST(FileReason, EachFileErrorNamesTheFileAndTheSystemsReason) {
  PortFiles ports;
  const std::string missing = ports.dir.file("missing.mid");
  const std::string steering = ports.dir.file("no\x1b]0;title\x07such\r.mid");
  const std::vector<FileCase> cases = {
      {"a file that is not there", missing, "Error!!: Can't get MIDI filesize (" + std::to_string(ENOENT) + ")\n",
       missing, ENOENT},
      {"a directory", ports.dir.path, "Error!!: Can't read MIDI file (" + std::to_string(EISDIR) + ")\n",
       ports.dir.path, EISDIR},
      {"a name that would steer the terminal", steering,
       "Error!!: Can't get MIDI filesize (" + std::to_string(ENOENT) + ")\n",
       ports.dir.file("no^[]0;title^Gsuch^M.mid"), ENOENT},
  };
  for (const FileCase& c : cases) expect_file_reason(c, ports, false);
}

// Root reads any file, so the player runs as nobody.
TEST(FileReason, AFileTheUserMayNotReadIsNamed) {
  PortFiles ports;
  chmod(ports.dir.path.c_str(), 0755);
  for (int p = 0; p < 4; ++p) chmod(ports.dir.file("p" + std::to_string(p)).c_str(), 0666);
  const std::string song = ports.dir.file("closed.mid");
  write_file(song, {'M', 'T', 'h', 'd'});
  chmod(song.c_str(), 0);
  expect_file_reason(
      {"mode 0000", song, "Error!!: Can't open MIDI file (" + std::to_string(EACCES) + ")\n", song, EACCES}, ports,
      true);
}

}  // namespace
