// Whole runs of the built player: song text that the file's encoding (as -l
// names it) or the terminal's cannot carry is shown with placeholders and
// reported once, and text cut for want of room leaves an ISO-2022 terminal
// in ASCII.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/port_files.h"
#include "support/support.h"

namespace {

const std::string REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
const std::string ERROR_LINE = "Error!!: iconv function error (";

// How many times part occurs in text.
int occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// Whether an ISO-2022-JP line leaves the terminal shifted: its last escape
// sequence is not the one back to ASCII.
bool leaves_shift_open(const std::string& line) {
  size_t last = line.rfind('\x1B');
  return last != std::string::npos && line.compare(last, 3, "\x1B(B") != 0;
}

// Katakana and controls in turn, then katakana alone: for ISO-2022-JP-3
// each pair makes 9 bytes (ESC ( I, the katakana, ESC ( B, the control in
// caret notation), more than the text buffer counts for it, so the text is
// cut among the katakana at its end, where the terminal is shifted.
std::string switching_text() {
  std::string text;
  for (int i = 0; i < 240; ++i) text += "\xB1\x01";
  return text + std::string(60, '\xB2');
}

// One text event, each through a whole run: the line shown on standard
// output and the error line on standard error, once or not at all.
TEST(SongText, TextTheEncodingsCannotCarryIsShownWithPlaceholdersAndReportedOnce) {
  struct Case {
    const char* what;
    std::vector<std::string> options;
    std::string text;
    std::string shown;  // empty: checked for its shifts only
    std::string error;  // the errno in the error line, or empty for none
  };
  const std::vector<Case> cases = {
      {"valid",
       {"-l", "SHIFT_JIS", "-t", "UTF-8"},
       "\x82\xA0"
       "abc",
       "\xE3\x81\x82"
       "abc",
       ""},
      {"one byte not in Shift_JIS",
       {"-l", "SHIFT_JIS", "-t", "UTF-8"},
       "a\xFF"
       "b",
       "a" + REPLACEMENT + "b",
       "84"},
      {"six bytes not in Shift_JIS",
       {"-l", "SHIFT_JIS", "-t", "UTF-8"},
       "a\xFF\xFF\xFF\xFF\xFF\xFF"
       "b",
       "a" + REPLACEMENT + REPLACEMENT + REPLACEMENT + REPLACEMENT + REPLACEMENT,
       "84"},
      {"a character the terminal lacks",
       {"-l", "SHIFT_JIS", "-t", "ISO-8859-1"},
       "\x82\xA0"
       "a",
       "?a",
       "84"},
      {"cut on an ISO-2022-JP-3 terminal", {"-t", "ISO-2022-JP-3"}, switching_text(), "", "7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TrackBuilder track;
    track.text(0, 0x05, c.text).event(0, {0x90, 0x3C, 0x40}).event(10, {0x80, 0x3C, 0x00}).end();
    PortFiles ports;
    write_file(ports.dir.file("song.mid"), smf(0, 96, {track}));
    std::vector<std::string> options = c.options;
    options.push_back("-r");
    ProcessResult run = run_process(SONGRELAY_BIN, player_argv(options, ports, ports.dir.file("song.mid")));
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(hex(ports.received(0)), hex({0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00}));
    const std::string label = "  [Lylic     ]: ";
    ASSERT_EQ(run.out.compare(0, label.size(), label), 0) << run.out;
    if (!c.shown.empty()) {
      EXPECT_EQ(run.out, label + c.shown + "\n");
    } else {
      EXPECT_EQ(run.out.substr(run.out.size() - 4), "\x1B(B\n") << hex(Bytes(run.out.begin(), run.out.end()));
      EXPECT_FALSE(leaves_shift_open(run.out)) << hex(Bytes(run.out.begin(), run.out.end()));
    }
    if (c.error.empty()) {
      EXPECT_EQ(occurrences(run.err, ERROR_LINE), 0) << run.err;
    } else {
      EXPECT_EQ(occurrences(run.err, ERROR_LINE), 1) << run.err;
      EXPECT_EQ(occurrences(run.err, ERROR_LINE + c.error + ")\n"), 1) << run.err;
    }
  }
}

}  // namespace
