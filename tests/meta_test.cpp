// Meta-event display: text lines, steering events, verbose lines and the
// text conversion, each event stored byte by byte as the builder stores it.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/settings.h"
#include "base/console.h"
#include "base/life_cycle.h"
#include "base/stop_wait.h"
#include "meta/meta.h"
#include "song/song.h"
#include "support/fresh_state.h"
#include "support/meta_replay.h"
#include "support/song_checks.h"
#include "support/support.h"

namespace {

constexpr uint8_t CANARY = 0xA5;
constexpr size_t CANARY_SIZE = 16;

// What one or more meta events printed.
struct Shown {
  std::string out;
  std::string err;
};

// FF, the type, the length field and the data, as the event data buffer holds them.
Bytes stored_meta(uint8_t type, const Bytes& data) {
  Bytes event = {0xFF, type};
  Bytes field = vlq(static_cast<uint32_t>(data.size()));
  event.insert(event.end(), field.begin(), field.end());
  event.insert(event.end(), data.begin(), data.end());
  return event;
}

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes text_event(uint8_t type, const std::string& text) { return stored_meta(type, text_bytes(text)); }

// The error line for a conversion that gave up with this errno.
std::string iconv_error(int code) { return "Error!!: iconv function error (" + std::to_string(code) + ")\n"; }

// Hands one stored event to the display as the player does; the buffer ends
// one spare byte after it (or holds more when a test checks that bytes beyond
// length are ignored). The tempo the display hands back to the player.
uint32_t hand_over(Bytes& stored, int length) {
  EventRecord record{};
  record.status = 0xFF;
  record.data1 = stored[1];
  record.length = static_cast<uint32_t>(length);
  return play_meta_event(&record, stored.data(), length);
}

// Plays the events in order and collects what they printed.
Shown play(const std::vector<Bytes>& events) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (Bytes stored : events) {
    int length = static_cast<int>(stored.size());
    stored.push_back(0);
    hand_over(stored, length);
  }
  Shown shown;
  shown.out = testing::internal::GetCapturedStdout();
  shown.err = testing::internal::GetCapturedStderr();
  return shown;
}

std::string play_out(const Bytes& event) { return play({event}).out; }

// Gives the player's text buffer size bytes, optionally followed by a canary.
void use_text_buffer(size_t size, bool canary) {
  free(playback_info.text);
  size_t block = size + (canary ? CANARY_SIZE : 0);
  playback_info.text = static_cast<char*>(malloc(block != 0 ? block : 1));
  memset(playback_info.text, 'z', block);
  if (canary) memset(playback_info.text + size, CANARY, CANARY_SIZE);
  playback_info.text_size = size;
}

bool canary_intact() {
  for (size_t i = 0; i < CANARY_SIZE; ++i) {
    if (static_cast<uint8_t>(playback_info.text[playback_info.text_size + i]) != CANARY) return false;
  }
  return true;
}

// Opens the converter from one encoding to another, as the program does.
bool use_converter(const char* from, const char* to) {
  close_text_converter();
  set_encoding_name(text_converter.source_encoding, from);
  set_encoding_name(text_converter.terminal_encoding, to);
  return open_text_converter();
}

class MetaTest : public testing::Test {
 protected:
  void SetUp() override {
    reset_process_state();
    tempo_state = TempoState{NO_CHANNEL, 500000, 480, 1041, 0};
    use_text_buffer(1024, false);
    ASSERT_TRUE(use_converter("SHIFT_JISX0213", "UTF-8")) << "SHIFT_JISX0213 to UTF-8 unavailable";
  }
  void TearDown() override {
    close_text_converter();
    reset_process_state();
  }
};

TEST_F(MetaTest, TextTypesShowTheirLabelsAndOtherTypesNothing) {
  struct Case {
    uint8_t type;
    std::string line;
  };
  const std::vector<Case> cases = {
      {0x01, "  [Text      ]: hello\n"},
      {0x02, "  [Copyright ]: hello\n"},
      {0x03, "  [Title     ]: hello\n"},
      {0x04, "  [Instrument]: hello\n"},
      {0x05, "  [Lylic     ]: hello\n"},
      {0x06, "  [Marker    ]: hello\n"},
      {0x07, "  [Que Point ]: hello\n"},
      {0x08, "  [Program   ]: hello\n"},
      {0x09, "  [Device    ]: hello\n"},
      {0x00, ""},
      {0x0A, ""},
      {0x1F, ""},
      {0x2F, ""},
      {0x54, ""},
      {0x7F, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(play_out(text_event(c.type, "hello")), c.line) << "type " << int(c.type);
  }
}

TEST_F(MetaTest, ChannelPrefixShowsOnEveryLaterTextLine) {
  Shown shown = play({text_event(0x01, "before"), stored_meta(0x20, {0x00}), text_event(0x05, "la"),
                      text_event(0x03, "name"), stored_meta(0x20, {0xFF}), text_event(0x01, "x")});
  EXPECT_EQ(shown.out,
            "  [Text      ]: before\n"
            "  [Lylic     ]: (Channel:0) la\n"
            "  [Title     ]: (Channel:0) name\n"
            "  [Text      ]: (Channel:255) x\n");
  EXPECT_EQ(tempo_state.channel, 0xFFu);
}

TEST_F(MetaTest, PortChangesOnlyForZeroToThree) {
  struct Case {
    uint8_t value;
    int32_t port;
  };
  const std::vector<Case> cases = {{0, 0}, {3, 3}, {4, 1}, {0x7F, 1}, {0xFF, 1}};
  for (const Case& c : cases) {
    tempo_state.port = 1;
    EXPECT_EQ(play_out(stored_meta(0x21, {c.value})), "");
    EXPECT_EQ(tempo_state.port, c.port) << "value " << int(c.value);
  }
}

// The new tempo is shown and handed to the player, whose schedule follows
// it; the same tempo again leaves the schedule alone.
TEST_F(MetaTest, SetTempoHandsTheNewTempoToThePlayerAndShowsQuarterNotesPerMinute) {
  struct Case {
    Bytes data;
    uint16_t timebase;
    bool verbose;
    uint32_t tempo;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{0x07, 0xA1, 0x20}, 480, true, 500000, "  [Tempo     ]: 120\n"},
      {{0xFF, 0xFF, 0xFF}, 480, true, 0xFFFFFF, "  [Tempo     ]: 3\n"},
      {{0x00, 0x00, 0x01}, 96, true, 1, "  [Tempo     ]: 60000000\n"},
      {{0x00, 0x00, 0x00}, 480, true, 0, "  [Tempo     ]: 0\n"},
      {{0x07, 0xA1, 0x20}, 0, true, 500000, "  [Tempo     ]: 120\n"},
      {{0x09, 0x27, 0xC0}, 96, false, 600000, ""},
      // A longer event still takes its tempo from bytes 3 to 5.
      {{0x07, 0xA1, 0x20, 0x55}, 480, true, 500000, "  [Tempo     ]: 120\n"},
  };
  for (const Case& c : cases) {
    option_flags = c.verbose ? OPT_VERBOSE : 0;
    tempo_state.timebase = c.timebase;
    tempo_state.tempo = 12345;
    Bytes stored = stored_meta(0x51, c.data);
    stored.push_back(0);
    for (uint32_t handed : {c.tempo, TEMPO_UNCHANGED}) {
      testing::internal::CaptureStdout();
      EXPECT_EQ(hand_over(stored, static_cast<int>(stored.size() - 1)), handed) << hex(c.data);
      EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line) << hex(c.data);
      EXPECT_EQ(tempo_state.tempo, c.tempo) << hex(c.data);
    }
  }
}

TEST_F(MetaTest, TimeSignatureShownInVerboseModeWhenByteTwoIsFour) {
  struct Case {
    Bytes data;
    bool verbose;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{0x06, 0x03, 0x18, 0x08}, true, "  [Rhythm    ]: 6/8 \n"},
      {{0x04, 0x02, 0x18, 0x08}, true, "  [Rhythm    ]: 4/4 \n"},
      {{0x04, 0x1F, 0x18, 0x08}, true, "  [Rhythm    ]: 4/-2147483648 \n"},
      {{0x04, 0x20, 0x18, 0x08}, true, "  [Rhythm    ]: 4/1 \n"},
      {{0xFF, 0x22, 0x18, 0x08}, true, "  [Rhythm    ]: 255/4 \n"},
      {{0x06, 0x03, 0x18, 0x08}, false, ""},
      {{0x06, 0x03, 0x18}, true, ""},
      {{0x06, 0x03, 0x18, 0x08, 0x00}, true, ""},
  };
  for (const Case& c : cases) {
    option_flags = c.verbose ? OPT_VERBOSE : 0;
    EXPECT_EQ(play_out(stored_meta(0x58, c.data)), c.line) << hex(c.data);
  }
}

TEST_F(MetaTest, KeySignatureShowsNameOrUnknownKey) {
  struct Case {
    Bytes data;
    bool verbose;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{0xFD, 0x01}, true, "  [KeySign.  ]: C Minor\n"},
      {{0x00, 0x00}, true, "  [KeySign.  ]: C Major\n"},
      {{0xF9, 0x00}, true, "  [KeySign.  ]: C Flat Major\n"},
      {{0xF9, 0x01}, true, "  [KeySign.  ]: A Flat Minor\n"},
      {{0x07, 0x01}, true, "  [KeySign.  ]: A Sharp Minor\n"},
      {{0x03, 0x01}, true, "  [KeySign.  ]: F Sharp Minor\n"},
      {{0x08, 0x00}, true, "  [KeySign.  ]: Unknown Key (15:0)\n"},
      {{0xF8, 0x00}, true, "  [KeySign.  ]: Unknown Key (-1:0)\n"},
      {{0x00, 0x02}, true, "  [KeySign.  ]: Unknown Key (7:2)\n"},
      {{0x00, 0xFF}, true, "  [KeySign.  ]: Unknown Key (7:ff)\n"},
      {{0x80, 0x00}, true, "  [KeySign.  ]: Unknown Key (-121:0)\n"},
      {{0xFD, 0x01}, false, ""},
      {{0xFD}, true, ""},
      {{0xFD, 0x01, 0x00}, true, ""},
  };
  for (const Case& c : cases) {
    option_flags = c.verbose ? OPT_VERBOSE : 0;
    EXPECT_EQ(play_out(stored_meta(0x59, c.data)), c.line) << hex(c.data);
  }
}

TEST_F(MetaTest, QuietModeHidesTextButStillSteersAndShowsVerboseLines) {
  option_flags = OPT_QUIET | OPT_VERBOSE;
  Bytes text = text_event(0x01, "hidden");
  Shown shown = play({text, stored_meta(0x20, {0x03}), stored_meta(0x21, {0x02}), text_event(0x05, "la"),
                      stored_meta(0x51, {0x09, 0x27, 0xC0}), stored_meta(0x58, {0x03, 0x02, 0x18, 0x08}),
                      stored_meta(0x59, {0x01, 0x00})});
  EXPECT_EQ(shown.out,
            "  [Tempo     ]: 100\n"
            "  [Rhythm    ]: 3/4 \n"
            "  [KeySign.  ]: G Major\n");
  EXPECT_EQ(shown.err, "");
  EXPECT_EQ(tempo_state.channel, 3u);
  EXPECT_EQ(tempo_state.port, 2);
  EXPECT_EQ(tempo_state.tempo, 600000u);
  EXPECT_EQ(playback_info.text[0], 'z') << "quiet mode converts nothing";

  option_flags = OPT_QUIET;
  EXPECT_EQ(play_out(stored_meta(0x51, {0x07, 0xA1, 0x20})), "");
  EXPECT_EQ(tempo_state.tempo, 500000u);
}

// Events cut short before their data: the bytes after length belong to the
// next event and would change the state if they were read.
TEST_F(MetaTest, ShortEventsReadNothingPastTheirEnd) {
  struct Case {
    Bytes stored;
    int length;
  };
  const std::vector<Case> cases = {
      {{0xFF, 0x51, 0x02, 0x07, 0xA1, 0x20}, 5},
      {{0xFF, 0x51, 0x00, 0x07, 0xA1, 0x20}, 3},
      {{0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}, 2},
      {{0xFF, 0x20, 0x00, 0x05}, 3},
      {{0xFF, 0x21, 0x00, 0x02}, 3},
      {{0xFF, 0x58, 0x04, 0x06, 0x03, 0x18, 0x08}, 6},
      {{0xFF, 0x58, 0x04, 0x06, 0x03}, 4},
      {{0xFF, 0x59, 0x02, 0xFD, 0x01}, 4},
      {{0xFF, 0x01, 0x05, 'h', 'i'}, 1},
  };
  option_flags = OPT_VERBOSE;
  for (Case c : cases) {
    tempo_state = TempoState{NO_CHANNEL, 600000, 480, 1250, 1};
    testing::internal::CaptureStdout();
    EXPECT_EQ(hand_over(c.stored, c.length), TEMPO_UNCHANGED) << hex(c.stored);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << hex(c.stored) << " length " << c.length;
    EXPECT_EQ(tempo_state.tempo, 600000u) << hex(c.stored);
    EXPECT_EQ(tempo_state.channel, NO_CHANNEL) << hex(c.stored);
    EXPECT_EQ(tempo_state.port, 1) << hex(c.stored);
  }
}

TEST_F(MetaTest, EmptyTextShowsLabelOnly) {
  EXPECT_EQ(play_out(stored_meta(0x05, {})), "  [Lylic     ]: \n");
  EXPECT_EQ(playback_info.text[0], '\0');
}

TEST_F(MetaTest, TextEndsAtAnInnerNul) {
  EXPECT_EQ(play_out(stored_meta(0x01, {'a', 'b', 0x00, 'c', 'd'})), "  [Text      ]: ab\n");
}

TEST_F(MetaTest, TerminatorAfterTheTextIsPutBack) {
  Bytes stored = text_event(0x01, "abc");
  int length = static_cast<int>(stored.size());
  stored.push_back(0x5A);
  testing::internal::CaptureStdout();
  hand_over(stored, length);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "  [Text      ]: abc\n");
  EXPECT_EQ(stored, (Bytes{0xFF, 0x01, 0x03, 'a', 'b', 'c', 0x5A}));
}

// Where the text starts depends on the event's whole length, not on how many
// bytes its length field really takes.
TEST_F(MetaTest, LengthFieldSizeFollowsTheEventLength) {
  const std::string a127(127, 'a');
  const std::string b128(128, 'b');
  Bytes run_on = {0xFF, 0x01};
  run_on.resize(131, 0x80);
  struct Case {
    const char* name;
    Bytes stored;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"padded field in a short event", {0xFF, 0x01, 0x80, 0x02, 'h', 'i'}, "  [Text      ]: ^Bhi\n"},
      {"longest one-byte field, 130 bytes", text_event(0x01, a127), "  [Text      ]: " + a127 + "\n"},
      {"padded field, 131 bytes", Bytes{0xFF, 0x01, 0x80, 0x7F} + Bytes(a127.begin(), a127.end()),
       "  [Text      ]: " + a127 + "\n"},
      {"two-byte field, 132 bytes", text_event(0x01, b128), "  [Text      ]: " + b128 + "\n"},
      {"field running to the end", run_on, "  [Text      ]: \n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(play_out(c.stored), c.line) << c.name;
  }
}

TEST_F(MetaTest, ShiftJisTextShownAsUtf8) {
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {{0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA}, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {{'A', 0xB1, 'z'}, "A\xEF\xBD\xB1z"},
  };
  for (const auto& [sjis, utf8] : cases) {
    Shown shown = play({stored_meta(0x05, sjis)});
    EXPECT_EQ(shown.out, "  [Lylic     ]: " + utf8 + "\n") << hex(sjis);
    EXPECT_EQ(shown.err, "");
  }
}

// What cannot be converted shows as a placeholder, never as the raw byte
// (which could be half of a control sequence): U+FFFD where the terminal's
// encoding has it, '?' elsewhere. The fifth failure ends the text after its
// placeholder. A text with any failure is reported once, with the errno of
// its last.
TEST_F(MetaTest, UnconvertibleTextShowsAPlaceholderUntilTheFifthFailure) {
  const std::string R = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
  struct Case {
    const char* from;
    const char* to;
    std::string in;
    std::string shown;
    std::string err;
  };
  // Adjacent literals keep each hex escape apart from the letters after it.
  // clang-format off
  const std::vector<Case> cases = {
      {"SHIFT_JISX0213", "UTF-8", "ab\x82\xA0", "ab\xE3\x81\x82", ""},
      {"SHIFT_JISX0213", "UTF-8", "\xFF" "ab", R + "ab", iconv_error(EILSEQ)},
      {"SHIFT_JISX0213", "UTF-8", "a\xFF" "b\xFF", "a" + R + "b" + R, iconv_error(EILSEQ)},
      {"SHIFT_JISX0213", "UTF-8", "ab\x93", "ab" + R, iconv_error(EINVAL)},
      {"SHIFT_JISX0213", "UTF-8", "a\xFF\xFF\xFF\xFF", "a" + R + R + R + R, iconv_error(EILSEQ)},
      {"SHIFT_JISX0213", "UTF-8", "a\xFF\xFF\xFF\xFF\xFF", "a" + R + R + R + R + R, iconv_error(EILSEQ)},
      {"SHIFT_JISX0213", "UTF-8", "a\xFF" "b\xFF" "c\xFF" "d\xFF" "e\xFF" "f\xFF" "g",
       "a" + R + "b" + R + "c" + R + "d" + R + "e" + R, iconv_error(EILSEQ)},
      // A lead byte whose second byte is no trail byte: the second is read again.
      {"SHIFT_JISX0213", "UTF-8", "\x9B" "2J", R + "2J", iconv_error(EILSEQ)},
      // Characters the terminal's encoding lacks, and a terminal without U+FFFD.
      {"SHIFT_JISX0213", "ISO-8859-1", "\x82\xA0" "a", "?a", iconv_error(EILSEQ)},
      {"SHIFT_JISX0213", "ISO-8859-1", "\x82\xA0" "a\xFF", "?a?", iconv_error(EILSEQ)},
      {"SHIFT_JISX0213", "EUC-JP", "\x82\xA0\xFF", "\xA4\xA2?", iconv_error(EILSEQ)},
      // Each byte of a sequence cut short is one failure.
      {"UTF-8", "ASCII", "caf\xC3\xA9 \xE2\x82", "caf? ??", iconv_error(EILSEQ)},
  };
  // clang-format on
  for (const Case& c : cases) {
    ASSERT_TRUE(use_converter(c.from, c.to)) << c.from << " to " << c.to;
    Shown shown = play({text_event(0x01, c.in)});
    EXPECT_EQ(shown.out, "  [Text      ]: " + c.shown + "\n") << c.to << " " << hex(text_bytes(c.in));
    EXPECT_EQ(shown.err, c.err) << c.to << " " << hex(text_bytes(c.in));
  }
}

// A buffer smaller than the player's cuts a text at the last whole character
// that fits, reports the cut, and never writes past its end.
TEST_F(MetaTest, ConversionNeverWritesPastTheTextBuffer) {
  Bytes katakana;
  for (int b = 0xA1; b <= 0xDF; ++b) katakana.push_back(static_cast<uint8_t>(b));
  std::string katakana_fitting;  // the first 31 of the 63 characters, 3 bytes each
  for (int i = 0; i < 31; ++i) {
    uint32_t code = 0xFF61 + i;
    katakana_fitting += static_cast<char>(0xE0 | code >> 12);
    katakana_fitting += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    katakana_fitting += static_cast<char>(0x80 | (code & 0x3F));
  }
  struct Case {
    const char* name;
    Bytes in;
    size_t text_size;
    std::string shown;
    std::vector<std::string> errs;  // any one of these
  };
  const std::vector<Case> cases = {
      {"half-width katakana", katakana, katakana.size() * 3 / 2 + 1, katakana_fitting, {iconv_error(E2BIG)}},
      {"no room at all", text_bytes("abc"), 1, "", {iconv_error(E2BIG)}},
      {"room for two", text_bytes("abcd"), 3, "ab", {iconv_error(E2BIG)}},
      {"bad bytes after the room is gone",
       text_bytes("ab\xFF\xFF"),
       3,
       "ab",
       {iconv_error(E2BIG), iconv_error(EILSEQ)}},
      {"a placeholder that does not fit", text_bytes("\xFF\xFF\xFF"), 3, "", {iconv_error(E2BIG)}},
      {"room for one placeholder", text_bytes("\xFF\xFF\xFF"), 5, "\xEF\xBF\xBD", {iconv_error(E2BIG)}},
      {"character one byte too big", text_bytes("a\xB1"), 4, "a", {iconv_error(E2BIG)}},
      {"exact fit", text_bytes("\xB1\xB2"), 7, "\xEF\xBD\xB1\xEF\xBD\xB2", {""}},
  };
  for (bool canary : {false, true}) {
    for (const Case& c : cases) {
      use_text_buffer(c.text_size, canary);
      Shown shown = play({stored_meta(0x01, c.in)});
      EXPECT_EQ(shown.out, "  [Text      ]: " + c.shown + "\n") << c.name;
      EXPECT_NE(std::find(c.errs.begin(), c.errs.end(), shown.err), c.errs.end()) << c.name << ": " << shown.err;
      if (canary) {
        EXPECT_TRUE(canary_intact()) << c.name;
      }
    }
  }
}

// The whole text through one iconv call and the closing shift: what a valid
// text without controls converts to.
std::string converted_at_once(const char* from, const char* to, const std::string& text) {
  iconv_t direct = iconv_open(to, from);
  if (direct == reinterpret_cast<iconv_t>(-1)) return "(no converter)";
  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char* at = &out[0];
  size_t out_left = out.size();
  bool whole = iconv(direct, &in, &in_left, &at, &out_left) != static_cast<size_t>(-1) &&
               iconv(direct, nullptr, nullptr, &at, &out_left) != static_cast<size_t>(-1);
  iconv_close(direct);
  return whole ? out.substr(0, out.size() - out_left) : "(not convertible)";
}

// Texts shown one after another through a converter, and the lines expected.
struct TextCase {
  const char* what;
  const char* from;
  const char* to;  // also the terminal encoding's name
  std::vector<std::string> texts;
  std::string shown;     // all the lines
  size_t text_size = 0;  // 0: the player's size for the longest of the texts
  std::string err = "";
};

// Shows each case's texts as lyrics with a buffer followed by a canary.
void check_texts(const std::vector<TextCase>& cases) {
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(use_converter(c.from, c.to)) << c.from << " to " << c.to << " unavailable";
    std::vector<Bytes> events;
    uint32_t longest = 0;
    for (const std::string& text : c.texts) {
      events.push_back(text_event(0x05, text));
      longest = std::max(longest, static_cast<uint32_t>(text.size()));
    }
    use_text_buffer(c.text_size != 0 ? c.text_size : text_buffer_size(longest), true);
    Shown shown = play(events);
    EXPECT_EQ(shown.out, c.shown);
    EXPECT_EQ(shown.err, c.err);
    EXPECT_TRUE(canary_intact());
  }
}

// The player's buffer holds any text after conversion, however much the
// terminal's encoding makes it grow; and every text leaves the converter in
// its initial state, so nothing held back or shifted carries into the next.
TEST_F(MetaTest, EveryTextConvertsWholeAndOnItsOwn) {
  const std::string kana6 = "\xEF\xBD\xB1\xEF\xBD\xB2\xEF\xBD\xB3\xEF\xBD\xB4\xEF\xBD\xB5\xEF\xBD\xB6";
  const std::string ka_pair = "\xE3\x81\x8B\xE3\x82\x9A";  // a kana and its combining mark
  const std::vector<TextCase> cases = {
      {"six half-width katakana, 3 UTF-8 bytes each",
       "SHIFT_JISX0213",
       "UTF-8",
       {"\xB1\xB2\xB3\xB4\xB5\xB6"},
       "  [Lylic     ]: " + kana6 + "\n"},
      {"JIS X 0213 pairs, 2 characters for 2 bytes",
       "SHIFT_JISX0213",
       "UTF-8",
       {"\x82\xF5\x82\xF5\x82\xF5"},
       "  [Lylic     ]: " + ka_pair + ka_pair + ka_pair + "\n"},
      {"UTF-32, a byte-order mark and 4 bytes a character, NULs among them",
       "SHIFT_JISX0213",
       "UTF-32",
       {"aaaa"},
       "  [Lylic     ]: " + converted_at_once("SHIFT_JISX0213", "UTF-32", "aaaa") + "\n"},
      {"UTF-16, a NUL in every ASCII character: the text is shown whole",
       "SHIFT_JISX0213",
       "UTF-16",
       {"Sakura \x8D\xF7"},
       "  [Lylic     ]: " + converted_at_once("SHIFT_JISX0213", "UTF-16", "Sakura \x8D\xF7") + "\n"},
      {"ISO-2022-JP-3, an escape before every byte",
       "SHIFT_JISX0213",
       "ISO-2022-JP-3",
       {"a\xB1"
        "a\xB1"},
       "  [Lylic     ]: a\x1B(I1\x1B(Ba\x1B(I1\x1B(B\n"},
      {"a character held back for a mark that may follow",
       "UTF-8",
       "SHIFT_JISX0213",
       {"\xE3\x81\x82\xE3\x81\x8B", "\xE3\x81\x95"},
       "  [Lylic     ]: \x82\xA0\x82\xA9\n  [Lylic     ]: \x82\xB3\n"},
      {"ISO-2022-JP shifts back to ASCII at the end of each text",
       "UTF-8",
       "ISO-2022-JP",
       {"\xE3\x81\x82", "\xE3\x81\x84", "a"},
       "  [Lylic     ]: \x1B$B$\"\x1B(B\n  [Lylic     ]: \x1B$B$$\x1B(B\n  [Lylic     ]: a\n"},
      {"no room for the shift back: the character goes, cut and reported, the next text starts afresh",
       "UTF-8",
       "ISO-2022-JP",
       {"\xE3\x81\x82", "a"},
       "  [Lylic     ]: \n  [Lylic     ]: a\n",
       6,
       iconv_error(E2BIG)},
      {"room for the character and the shift back",
       "UTF-8",
       "ISO-2022-JP",
       {"\xE3\x81\x82", "a"},
       "  [Lylic     ]: \x1B$B$\"\x1B(B\n  [Lylic     ]: a\n",
       9},
  };
  check_texts(cases);
}

// Whether an ISO-2022-JP line leaves the terminal shifted: its last escape
// sequence is not the one back to ASCII.
bool leaves_shift_open(const std::string& line) {
  size_t last = line.rfind('\x1B');
  return last != std::string::npos && line.compare(last, 3, "\x1B(B") != 0;
}

// A text cut for want of room still ends with the shift back to ASCII, so an
// ISO-2022 terminal is never left in katakana or kanji mode: at every buffer
// size, for texts that switch sets at every character (a control shown in
// caret notation is ASCII between two katakana, which makes 4.5 bytes for
// each byte of text, more than the player's buffer counts).
TEST_F(MetaTest, ACutTextEndsBackInAscii) {
  std::string switching;
  for (int i = 0; i < 8; ++i) switching += "\xB1\x01";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"ISO-2022-JP-3", switching},
      {"ISO-2022-JP-3",
       "\x82\xA0\xB1"
       "a\x82\xF5\x88\x9F"},
      {"ISO-2022-JP",
       "\x82\xA0\x82\xA2"
       "a\x82\xA4"},
  };
  for (const auto& [terminal, text] : cases) {
    ASSERT_TRUE(use_converter("SHIFT_JISX0213", terminal)) << terminal;
    size_t whole_size = text_buffer_size(static_cast<uint32_t>(text.size()));
    for (size_t size = 1; size <= whole_size; ++size) {
      SCOPED_TRACE(std::string(terminal) + " " + hex(text_bytes(text)) + ", buffer of " + std::to_string(size));
      use_text_buffer(size, true);
      Shown shown = play({text_event(0x05, text)});
      ASSERT_EQ(shown.out.compare(0, 16, "  [Lylic     ]: "), 0) << shown.out;
      std::string line = shown.out.substr(16, shown.out.size() - 17);
      EXPECT_LE(line.size(), size - 1);
      EXPECT_FALSE(leaves_shift_open(line)) << hex(text_bytes(line));
      EXPECT_TRUE(canary_intact());
    }
  }
  // The player's own buffer cuts a longer switching text after a katakana,
  // and the cut ends with the shift back.
  for (int i = 0; i < 32; ++i) switching += "\xB1\x01";
  ASSERT_TRUE(use_converter("SHIFT_JISX0213", "ISO-2022-JP-3"));
  use_text_buffer(text_buffer_size(static_cast<uint32_t>(switching.size())), true);
  Shown shown = play({text_event(0x05, switching)});
  EXPECT_EQ(shown.err, iconv_error(E2BIG));
  ASSERT_GT(shown.out.size(), 20u);
  EXPECT_EQ(shown.out.substr(shown.out.size() - 4), "\x1B(B\n") << hex(text_bytes(shown.out));
}

// Control characters cannot steer the terminal, whatever its encoding: they
// show in caret notation (M- in front for the C1 controls) and a line ending
// at the end of a text is dropped. TAB stays; an escape-based encoding keeps
// the escapes of its own shifts, and only those.
TEST_F(MetaTest, ControlCharactersShowAsCaretNotation) {
  const std::vector<TextCase> cases = {
      {"a window title", "SHIFT_JISX0213", "UTF-8", {"\x1B]0;owned\x07"}, "  [Lylic     ]: ^[]0;owned^G\n"},
      {"clear screen", "SHIFT_JISX0213", "UTF-8", {"\x1B[2J"}, "  [Lylic     ]: ^[[2J\n"},
      {"a line of its own",
       "SHIFT_JISX0213",
       "UTF-8",
       {"la\nError!!: fake\rla"},
       "  [Lylic     ]: la^JError!!: fake^Mla\n"},
      {"first and last C0 codes, DEL", "SHIFT_JISX0213", "UTF-8", {"\x01\x1F\x7F"}, "  [Lylic     ]: ^A^_^?\n"},
      {"TAB stays", "SHIFT_JISX0213", "UTF-8", {"a\tb"}, "  [Lylic     ]: a\tb\n"},
      {"line endings at the end are dropped",
       "SHIFT_JISX0213",
       "UTF-8",
       {"one\r\n", "two\r", "\n"},
       "  [Lylic     ]: one\n  [Lylic     ]: two\n  [Lylic     ]: \n"},
      {"after a double-byte character",
       "SHIFT_JISX0213",
       "UTF-8",
       {"\x93\xFA\x1B"},
       "  [Lylic     ]: \xE6\x97\xA5^[\n"},
      {"C1 controls in UTF-8",
       "ISO-8859-1",
       "UTF-8",
       {"\x9B"
        "2J\x85\xA0"},
       "  [Lylic     ]: M-^[2JM-^E\xC2\xA0\n"},
      {"EUC-JP: ESC shown, 0x8E is part of a kana",
       "SHIFT_JISX0213",
       "EUC-JP",
       {"\x1B[2J\xB1"},
       "  [Lylic     ]: ^[[2J\x8E\xB1\n"},
      {"C1 controls in ISO-8859-1",
       "ISO-8859-1",
       "ISO-8859-1",
       {"\x9B"
        "2J\x9D"
        "0;t\x9C\x90q\x9C\xE9"},
       "  [Lylic     ]: M-^[2JM-^]0;tM-^\\M-^PqM-^\\\xE9\n"},
      {"C1 controls of an EUC-JP text",
       "EUC-JP",
       "EUC-JP",
       {"\x9B"
        "2J\xA4\xA2"},
       "  [Lylic     ]: M-^[2J\xA4\xA2\n"},
      {"line endings inside stay visible, a NUL ends the text",
       "SHIFT_JISX0213",
       "UTF-8",
       {std::string("a\r\nb\n\0c\x1B", 8)},
       "  [Lylic     ]: a^M^Jb\n"},
      {"ISO-2022-JP: its own shifts only",
       "UTF-8",
       "ISO-2022-JP",
       {"\xE3\x81\x82\x1B[2J\xC2\x9B\r"},
       "  [Lylic     ]: \x1B$B$\"\x1B(B^[[2JM-^[\n"},
  };
  check_texts(cases);
}

// A long text is decoded a piece at a time; wherever a piece ends (inside a
// two-byte character, an escape sequence, a character and the mark joined
// to it, an invalid byte), the text converts as if decoded in one go.
TEST_F(MetaTest, LongTextsConvertAlikeWhereverTheirPiecesEnd) {
  const std::string R = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
  struct Case {
    const char* from;
    const char* to;
    std::string tail;   // after the padding
    std::string shown;  // empty: as converted at once
    int failures;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"SHIFT_JISX0213", "UTF-8", "\x93\xFA\x96\x7B\x8C\xEA" "b", "", 0},
      {"SHIFT_JISX0213", "UTF-8", "\x82\xF5\x82\xF5", "", 0},
      {"UTF-8", "SHIFT_JISX0213", "\xE3\x81\x8B\xE3\x82\x9A\xE3\x81\x82", "", 0},
      {"ISO-2022-JP", "UTF-8", "\x1B$B$\"$$\x1B(Bb", "", 0},
      {"SHIFT_JISX0213", "UTF-8", "\xFF" "b", R + "b", 1},
      {"SHIFT_JISX0213", "UTF-8", "\x9B" "2J", R + "2J", 1},
      {"SHIFT_JISX0213", "UTF-8", "b\x93", "b" + R, 1},
  };
  // clang-format on
  for (const Case& c : cases) {
    ASSERT_TRUE(use_converter(c.from, c.to)) << c.from << " to " << c.to;
    for (size_t pad = 50; pad < 140; ++pad) {
      std::string text = std::string(pad, 'a') + c.tail;
      std::string expected = c.shown.empty() ? converted_at_once(c.from, c.to, text) : std::string(pad, 'a') + c.shown;
      std::vector<char> out(text_buffer_size(static_cast<uint32_t>(text.size())));
      size_t out_length = 0;
      int failures = convert_text(out.data(), out.size() - 1, text_bytes(text).data(), text.size(), &out_length);
      EXPECT_EQ(out_length, strlen(out.data()));
      EXPECT_EQ(out.data(), expected) << c.from << " to " << c.to << ", " << pad << " bytes before "
                                      << hex(text_bytes(c.tail));
      EXPECT_EQ(failures, c.failures) << c.from << " to " << c.to << ", " << pad << " bytes before "
                                      << hex(text_bytes(c.tail));
    }
  }
}

// A text longer than the player converts between two events is dropped
// whole, unconverted: the text buffer is not touched, and one line says so.
TEST_F(MetaTest, ATextBeyondTheLongestConvertedIsDroppedUnconverted) {
  use_text_buffer(text_buffer_size(LONGEST_CONVERTED_TEXT + 1), false);
  const std::string longest = "\x82\xA0" + std::string(LONGEST_CONVERTED_TEXT - 2, 'a');
  std::string shown = "\xE3\x81\x82" + std::string(LONGEST_CONVERTED_TEXT - 2, 'a');
  Shown whole = play({text_event(0x05, longest)});
  EXPECT_EQ(whole.out, "  [Lylic     ]: " + shown + "\n");
  EXPECT_EQ(whole.err, "");

  memset(playback_info.text, 'z', playback_info.text_size);
  Shown dropped = play({text_event(0x05, longest + "b")});
  EXPECT_EQ(dropped.out, "");
  EXPECT_EQ(dropped.err, "songrelay: a text of 65 KB was not shown: texts over 64 KB are not converted.\n");
  EXPECT_EQ(std::string(playback_info.text, 16), std::string(16, 'z')) << "the text was converted";
}

// Standard output and error of this process redirected for one test: output
// into a pipe that nobody reads until drain() is called, error into a file.
struct StalledStreams {
  StalledStreams() {
    fflush(stdout);
    fflush(stderr);
    saved_out = dup(STDOUT_FILENO);
    saved_err = dup(STDERR_FILENO);
    if (pipe(out_pipe) != 0) return;
    int err = open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    close(err);
    close(out_pipe[1]);
    ok = true;
  }
  // Reads the pipe until quiet and done is set; the console's end waits for
  // the printer to write everything.
  void drain() {
    reader = std::thread([this] {
      for (;;) {
        pollfd ready = {out_pipe[0], POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0) {
          if (done) return;
          continue;
        }
        char chunk[4096];
        ssize_t count = read(out_pipe[0], chunk, sizeof chunk);
        if (count > 0) out.append(chunk, static_cast<size_t>(count));
      }
    });
  }
  // Puts the streams back once drain's reader has everything.
  void restore() {
    if (saved_out < 0) return;
    done = true;
    if (reader.joinable()) reader.join();
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    if (out_pipe[0] >= 0) close(out_pipe[0]);
    saved_out = saved_err = -1;
    err = read_text(dir.file("err"));
  }
  // A test that ends early still gets its streams back.
  ~StalledStreams() { restore(); }
  TempDir dir;
  bool ok = false;
  int saved_out = -1, saved_err = -1;
  int out_pipe[2] = {-1, -1};
  std::atomic<bool> done{false};
  std::thread reader;
  std::string out, err;
};

// With the printing thread stalled on a console that stops reading, a text
// whose line the queue cannot hold is dropped at once, without being
// converted (the text buffer stays as it was), and counted; every line kept
// comes out whole once the console reads again.
TEST_F(MetaTest, ATextTheConsoleCannotHoldIsDroppedUnconvertedAndCounted) {
  ASSERT_TRUE(use_converter("SHIFT_JISX0213", "UTF-8"));
  const std::string text(4096, 'a');
  playback_info.longest_meta = static_cast<uint32_t>(text.size() + 4);
  use_text_buffer(text_buffer_size(playback_info.longest_meta), false);
  StalledStreams streams;
  ASSERT_TRUE(streams.ok);
  ASSERT_TRUE(start_console(longest_text_line(playback_info.longest_meta)));
  int shown = 0;
  bool converted = true;
  // The pipe takes 64 KB and the queue about as much again; then a drop.
  for (; shown < 200 && converted; ++shown) {
    memset(playback_info.text, 'z', playback_info.text_size);
    Bytes event = text_event(0x01, text);
    int length = static_cast<int>(event.size());
    event.push_back(0);
    hand_over(event, length);
    converted = playback_info.text[0] != 'z';
  }
  streams.drain();
  end_console(ENDS_ON_NEITHER);
  streams.restore();
  EXPECT_FALSE(converted) << "every text was converted, though the console took nothing";
  const std::string line = "  [Text      ]: " + text + "\n";
  std::string kept;
  for (int i = 0; i < shown - 1; ++i) kept += line;
  EXPECT_TRUE(streams.out == kept) << streams.out.size() << " bytes shown, not the " << shown - 1
                                   << " lines before the drop";
  EXPECT_NE(streams.err.find("songrelay: 1 line of song text (4 KB) was not shown"), std::string::npos) << streams.err;
}

// A stop ends a text's conversion where it is: the run is ending, and the
// player must not go on converting the rest.
TEST_F(MetaTest, AStopEndsTheConversionOfAText) {
  const std::string text = "\x82\xA0" + std::string(LONGEST_CONVERTED_TEXT - 2, 'a');
  use_text_buffer(text_buffer_size(LONGEST_CONVERTED_TEXT), false);
  raise_stop();
  Shown shown = play({text_event(0x05, text)});
  reset_life_cycle();
  EXPECT_EQ(shown.out, "  [Lylic     ]: \n");
  EXPECT_EQ(shown.err, "");
}

TEST_F(MetaTest, MissingTextBufferShowsEmptyTextAndWritesNothing) {
  free(playback_info.text);
  playback_info.text = nullptr;
  playback_info.text_size = 0;
  EXPECT_EQ(play_out(text_event(0x01, "abc")), "  [Text      ]: \n");

  use_text_buffer(0, true);
  EXPECT_EQ(play_out(text_event(0x01, "abc")), "  [Text      ]: \n");
  EXPECT_EQ(play_out(stored_meta(0x01, {})), "  [Text      ]: \n");
  EXPECT_TRUE(canary_intact());
}

TEST_F(MetaTest, ConvertTextWithoutOutputWritesNothing) {
  const uint8_t in[] = {'a', 'b'};
  size_t out_length = 1;
  EXPECT_EQ(convert_text(nullptr, 10, in, sizeof in, &out_length), 0);
  EXPECT_EQ(out_length, 0u);
  char out[2] = {'z', 'z'};
  out_length = 1;
  EXPECT_EQ(convert_text(out, 1, in, 0, &out_length), 0);
  EXPECT_EQ(out_length, 0u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'z');
}

// Loads each file and plays its meta events through the display with the
// options and converter that its format field chooses, as the meta fuzz
// target does; what broke, if anything, is reported per file.
void replay_files(const std::vector<std::string>& files) {
  reset_song_state();
  for (const std::string& file : files) {
    Bytes image = read_file(file);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const char* broken = replay_meta_events(image.data(), image.size());
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(broken, nullptr) << file << ": " << broken;
    EXPECT_EQ(song_data.events, nullptr) << file;
  }
}

TEST(MetaReplay, FuzzFindingsStayFixed) {
  std::vector<std::string> files = files_in(SONGRELAY_SOURCE_DIR "/fuzz/regressions");
  ASSERT_FALSE(files.empty());
  replay_files(files);
}

TEST(MetaReplay, CorpusFilesPlayThroughTheDisplay) {
  std::vector<std::string> files = files_in(SONGRELAY_CORPUS_DIR, ".mid");
  ASSERT_FALSE(files.empty()) << "no corpus at " << SONGRELAY_CORPUS_DIR;
  replay_files(files);
}

}  // namespace
