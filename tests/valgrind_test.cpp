// Whole plays of the built player under valgrind's memcheck: no invalid
// access, no use of uninitialised memory, and nothing definitely or
// indirectly lost at exit. A sanitizer build cannot run under valgrind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/port_files.h"
#include "support/programs.h"
#include "support/sanitized.h"
#include "support/support.h"

namespace {

// Wherever the system installs it: /usr/bin on Debian, /usr/local/bin on FreeBSD.
const std::string VALGRIND = find_on_path("valgrind", getenv("PATH"));

// What a play left: the process and port 0's bytes (the songs use port 0 only).
struct Played {
  ProcessResult process;
  Bytes port0;
  std::string valgrind_log;
};

// Plays song once, under valgrind when asked, with regular files as ports.
Played play(const Bytes& song, const std::vector<std::string>& options, bool under_valgrind) {
  TempDir dir;
  std::vector<std::string> argv;
  if (under_valgrind) {
    argv = {VALGRIND,
            "--quiet",
            "--error-exitcode=99",
            "--leak-check=full",
            "--errors-for-leak-kinds=definite,indirect",
            "--show-leak-kinds=definite,indirect",
            "--log-file=" + dir.file("valgrind.log")};
  }
  PortFiles ports;
  write_file(dir.file("song.mid"), song);
  for (const std::string& arg : player_argv(options, ports, dir.file("song.mid"))) argv.push_back(arg);
  Played played;
  played.process = run_process(argv[0], argv);
  played.port0 = ports.received(0);
  played.valgrind_log = read_text(dir.file("valgrind.log"));
  return played;
}

// Console output without its first line, which names the song's temporary path.
std::string after_first_line(const std::string& text) {
  size_t end = text.find('\n');
  return end == std::string::npos ? "" : text.substr(end + 1);
}

class Valgrind : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SANITIZED_BUILD) GTEST_SKIP() << "sanitizer build: valgrind cannot run it";
    if (VALGRIND.empty()) GTEST_SKIP() << "no valgrind on the PATH";
  }

  // The play under valgrind must match a play without it and report nothing.
  void expect_clean(const Bytes& song, const std::vector<std::string>& options) {
    Played plain = play(song, options, false);
    ASSERT_EQ(plain.process.exit_status, 0) << plain.process.err;
    Played checked = play(song, options, true);
    EXPECT_EQ(checked.process.exit_status, 0) << checked.valgrind_log;
    EXPECT_EQ(checked.valgrind_log, "");
    EXPECT_EQ(after_first_line(checked.process.out), after_first_line(plain.process.out));
    EXPECT_EQ(hex(checked.port0), hex(plain.port0));
    EXPECT_FALSE(checked.port0.empty());
  }
};

TEST_F(Valgrind, ShortSongWithEveryKindOfEvent) {
  TrackBuilder conductor, notes;
  conductor.text(0, 0x03, "Title")
      .meta(0, 0x51, {0x07, 0xA1, 0x20})
      .meta(0, 0x58, {0x04, 0x02, 0x18, 0x08})
      .meta(0, 0x59, {0x00, 0x01})
      .meta(0, 0x20, {0x00})
      .text(1, 0x05, "\x82\xB3\x82\xAD\x82\xE7")
      .text(1, 0x01, std::string(200, '\xB1'))  // half-width katakana: more than the buffer holds
      .end(2);
  notes.sysex(0, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x04, 0x7F, 0x3D, 0xF7})
      .event(0, {0x90, 0x3C, 0x40})
      .event(1, {0x3E, 0x40})
      .event(0, {0xF7, 0x02, 0xF8, 0xFA})
      .event(1, {0xC0, 0x05})
      .raw({0x00, 0x3C})  // a data byte in the program change's running status
      .event(1, {0x80, 0x3C, 0x00})
      .end()
      .event(0, {0x90, 0x40, 0x40});  // after End of Track: counted, never played
  expect_clean(smf(1, 0x7FFF, {conductor, notes}), {"-v", "-t", "UTF-8"});
}

TEST_F(Valgrind, DemoSongAtAHigherTimebase) {
  Bytes song = read_file(SONGRELAY_SOURCE_DIR "/examples/sakura.mid");
  ASSERT_GT(song.size(), 14u);
  // The same events, each tick much shorter: the whole song in a moment.
  song[12] = 0x7F;
  song[13] = 0xFF;
  expect_clean(song, {"-v", "-t", "UTF-8"});
}

// The lookup that finds valgrind: the first executable file of the name
// along the PATH, past a directory or a file without execute permission
// of that name, with an empty entry standing for the current directory.
TEST(ProgramLookup, FindsTheFirstExecutableOnThePath) {
  TempDir dir;
  for (const char* sub : {"a", "b", "c", "d"}) mkdir(dir.file(sub).c_str(), 0755);
  mkdir(dir.file("a/tool").c_str(), 0755);  // a directory of the name
  write_file(dir.file("b/tool"), {'#', '!'});
  chmod(dir.file("b/tool").c_str(), 0644);  // no execute permission
  for (const char* sub : {"c", "d"}) {
    write_file(dir.file(std::string(sub) + "/tool"), {'#', '!'});
    chmod(dir.file(std::string(sub) + "/tool").c_str(), 0755);
  }
  const std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c"), d = dir.file("d");
  struct Case {
    const char* what;
    std::string path_list;
    std::string found;
  };
  const std::vector<Case> cases = {
      {"past a directory and a file it may not run", a + ":" + b + ":" + c + ":" + d, c + "/tool"},
      {"the first of two", d + ":" + c, d + "/tool"},
      {"none of the directories has it", a + ":" + b + ":" + dir.path, ""},
      {"an empty list", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(find_on_path("tool", c.path_list.c_str()), c.found) << c.what;
  EXPECT_EQ(find_on_path("tool", nullptr), "");
  // An empty entry is the directory the lookup runs in.
  char* here = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(d.c_str()), 0);
  std::string found = find_on_path("tool", (a + "::" + c).c_str());
  EXPECT_EQ(chdir(here), 0);
  free(here);
  EXPECT_EQ(found, "./tool");
}

}  // namespace
