// The monitor's stream decoder as a table of byte streams, and the columns of
// its screen and log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "monitor/decoder.h"
#include "monitor/monitor.h"
#include "support/support.h"

namespace {

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
      {"note on and off",
       {{0x90, 0x3C, 0x64, 0x80, 0x3C, 0x40}},
       {"ch1 Note On C4 (60), velocity 100", "ch1 Note Off C4 (60), velocity 64"}},
      {"note names at both ends and with sharps",
       {{0x9F, 0x00, 0x7F, 0x9F, 0x7F, 0x01, 0x9F, 0x4E, 0x01}},
       {"ch16 Note On C-1 (0), velocity 127", "ch16 Note On G9 (127), velocity 1",
        "ch16 Note On F#5 (78), velocity 1"}},
      {"running status",
       {{0x90, 0x3C, 0x64, 0x3E, 0x64, 0x40, 0x00}},
       {"ch1 Note On C4 (60), velocity 100", "ch1 Note On D4 (62), velocity 100 (running status)",
        "ch1 Note On E4 (64), velocity 0 (running status)"}},
      {"running status across reads and program changes",
       {{0xC2, 0x05}, {0x06}, {0x07}},
       {"ch3 Program Change 5", "ch3 Program Change 6 (running status)", "ch3 Program Change 7 (running status)"}},
      {"real-time keeps running status, system common cancels it",
       {{0x90, 0x3C, 0x64, 0xF8, 0x3E, 0x64, 0xF6, 0x40, 0x00}},
       {"ch1 Note On C4 (60), velocity 100", "Timing Clock", "ch1 Note On D4 (62), velocity 100 (running status)",
        "Tune Request", "Stray Data 40", "Stray Data 00"}},
      {"real-time bytes inside a message",
       {{0x90, 0xF8, 0x3C, 0xFE, 0x64}},
       {"Timing Clock", "Active Sensing", "ch1 Note On C4 (60), velocity 100"}},
      {"message split over three reads", {{0xB0}, {0x07}, {0x64}}, {"ch1 Control Change 7 (Volume), value 100"}},
      {"GS reset split over reads",
       {{0xF0, 0x41, 0x10}, {0x42, 0x12, 0x40, 0x00}, {0x7F, 0x00, 0x41, 0xF7}},
       {"System Exclusive F0 41 10 42 12 40 00 7F 00 41 F7 (GS Reset)"}},
      {"real-time inside a system exclusive",
       {{0xF0, 0x7E, 0xF8, 0x7F, 0x09}, {0xFA, 0x01, 0xF7}},
       {"Timing Clock", "Start", "System Exclusive F0 7E 7F 09 01 F7 (GM System On)"}},
      {"GM System On of any device",
       {{0xF0, 0x7E, 0x10, 0x09, 0x01, 0xF7}},
       {"System Exclusive F0 7E 10 09 01 F7 (GM System On)"}},
      {"XG System On of any device",
       {{0xF0, 0x43, 0x1F, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}},
       {"System Exclusive F0 43 1F 4C 00 00 7E 00 F7 (XG System On)"}},
      {"look-alikes are not named",
       {{0xF0, 0x43, 0x20, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7, 0xF0,
         0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x40, 0xF7}},
       {"System Exclusive F0 43 20 4C 00 00 7E 00 F7", "System Exclusive F0 41 10 42 12 40 00 7F 00 40 F7"}},
      {"status byte cuts an unfinished message",
       {{0x90, 0x3C}, {0xB0, 0x07, 0x64}},
       {"ch1 Note On incomplete: 90 3C", "ch1 Control Change 7 (Volume), value 100"}},
      {"status byte ends a system exclusive without F7",
       {{0xF0, 0x43, 0x10, 0x90, 0x3C, 0x64}},
       {"System Exclusive incomplete: F0 43 10", "ch1 Note On C4 (60), velocity 100"}},
      {"stray data bytes", {{0x3C, 0x40}}, {"Stray Data 3C", "Stray Data 40"}},
      {"F7 with no exclusive open",
       {{0x90, 0x3C, 0xF7, 0x40}},
       {"ch1 Note On incomplete: 90 3C", "End of Exclusive F7 (no System Exclusive open)", "Stray Data 40"}},
      {"unfinished message at the end of the stream", {{0xE0, 0x00}}, {"ch1 Pitch Bend incomplete: E0 00"}},
      {"pitch bend as a signed value",
       {{0xE0, 0x00, 0x00, 0xE0, 0x00, 0x40, 0xE1, 0x7F, 0x7F}},
       {"ch1 Pitch Bend -8192", "ch1 Pitch Bend 0", "ch2 Pitch Bend 8191"}},
      {"controller names",
       {{0xB0, 0,    1,  0xB0, 1,    2,   0xB0, 10,   3,   0xB0, 11,   4,   0xB0, 64,   127, 0xB0, 91,
         5,    0xB0, 93, 6,    0xB0, 120, 0,    0xB0, 121, 0,    0xB0, 123, 0,    0xB0, 3,   9}},
       {"ch1 Control Change 0 (Bank Select), value 1", "ch1 Control Change 1 (Modulation), value 2",
        "ch1 Control Change 10 (Pan), value 3", "ch1 Control Change 11 (Expression), value 4",
        "ch1 Control Change 64 (Sustain), value 127", "ch1 Control Change 91 (Reverb), value 5",
        "ch1 Control Change 93 (Chorus), value 6", "ch1 Control Change 120 (All Sound Off), value 0",
        "ch1 Control Change 121 (Reset All Controllers), value 0", "ch1 Control Change 123 (All Notes Off), value 0",
        "ch1 Control Change 3, value 9"}},
      {"program and pressure",
       {{0xC5, 0x6A, 0xD0, 0x40, 0xA9, 0x3C, 0x20}},
       {"ch6 Program Change 106", "ch1 Channel Pressure 64", "ch10 Key Pressure C4 (60), pressure 32"}},
      {"system common",
       {{0xF1, 0x35, 0xF2, 0x00, 0x08, 0xF3, 0x05, 0xF4, 0xF5, 0xF6}},
       {"MTC Quarter Frame type 3, value 5", "Song Position beat 1024", "Song Select song 5", "Undefined F4",
        "Undefined F5", "Tune Request"}},
      {"real-time names",
       {{0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF}},
       {"Timing Clock", "Undefined F9", "Start", "Continue", "Stop", "Undefined FD", "Active Sensing", "System Reset"}},
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
  EXPECT_EQ(format_monitor_line(5000, 0, MessageText{0, "Timing Clock", ""}), "    0.000005  0  --  Timing Clock\n");
  EXPECT_EQ(format_log_line(3, 987654321012, DecodedMessage{MSG_COMPLETE, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}),
            "3 987654321012 F0 7E 7F 09 01 F7\n");
}

}  // namespace
