// Pre-scan: event and byte counts, delta-time checks, running status, the
// reset flags and the room kept for the automatic reset.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "song/prescan.h"
#include "support/song_fixture.h"

namespace {

// The pre-scan's four results and what it wrote to standard error.
struct Scan {
  int result = 0;
  uint32_t events = 7, data = 7, longest = 7;  // unchanged when the scan fails
  ResetFlags flags = 7;
  std::string err;
};

class PrescanTest : public SongTest {
 protected:
  Scan scan(const std::vector<TrackBuilder>& tracks) {
    Bytes image = smf(1, 480, tracks);
    index_image(image);
    Scan s;
    testing::internal::CaptureStderr();
    s.result = prescan_tracks(&s.events, &s.data, &s.longest, &s.flags);
    s.err = testing::internal::GetCapturedStderr();
    return s;
  }
};

TEST_F(PrescanTest, DeltaTimesOfFourBytesPassAndOfFiveFail) {
  option_flags = OPT_NO_RESET;
  TrackBuilder good;
  good.raw({0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 64}).end();
  Scan passed = scan({good});
  EXPECT_EQ(passed.result, 0);
  EXPECT_EQ(passed.events, 2u);
  EXPECT_EQ(passed.err, "");

  // Four bytes with the top bit set make the delta time wrong as soon as the
  // chunk holds them, wherever the fifth byte would be.
  const std::vector<std::pair<std::string, TrackBuilder>> wrong = {
      {"five bytes", TrackBuilder().raw({0x80, 0x80, 0x80, 0x80, 0x00, 0x90, 60, 64}).end()},
      {"four at the chunk's end", TrackBuilder().event(0, {0xC0, 5}).raw({0x81, 0x80, 0x80, 0x80})},
      {"five at the chunk's end", TrackBuilder().raw({0x80, 0x80, 0x80, 0x80, 0x80})},
  };
  for (const auto& [name, bad] : wrong) {
    SCOPED_TRACE(name);
    reset_song_state();
    Scan failed = scan({good, bad});
    EXPECT_EQ(failed.result, 1);
    EXPECT_EQ(failed.err, "Error!!: [Trk 1] DeltaTime Value is Wrong!");
    EXPECT_EQ(failed.events, 7u);
    EXPECT_EQ(failed.data, 7u);
    EXPECT_EQ(failed.longest, 7u);
    EXPECT_EQ(failed.flags, 7);
  }
}

TEST_F(PrescanTest, CountsEventsBytesAndTheLongestMeta) {
  option_flags = OPT_NO_RESET;
  struct Case {
    std::string name;
    std::vector<TrackBuilder> tracks;
    uint32_t events, data, longest;
    std::string err;
  };
  std::vector<Case> cases;
  cases.push_back({"own status then running status",
                   {TrackBuilder().event(0, {0x90, 60, 64}).event(0, {62, 64}).end()},
                   3,
                   3,
                   0,
                   ""});
  // The data bytes after a sysex, an escape or a meta still use the note-on's status;
  // were it lost, 62 and 64 would be read as two delta-only events.
  cases.push_back({"running status survives sysex, escape and meta",
                   {TrackBuilder()
                        .event(0, {0x90, 60, 64})
                        .sysex(0, {0x7D, 0xF7})
                        .event(0, {62, 64})
                        .event(0, {0xF7, 0x01, 0xF8})
                        .event(0, {63, 64})
                        .text(0, 0x01, "ab")
                        .event(0, {64, 64})
                        .end()},
                   8,
                   3 + 1 + 5 + 3,
                   2,
                   ""});
  // Track 1 starts without running status: 60 is a delta-only event, then 60
  // is read as a delta time and the End of Track's 0 as another delta-only event.
  cases.push_back({"running status starts again in every track",
                   {TrackBuilder().event(0, {0x90, 60, 64}).end(), TrackBuilder().raw({0, 60}).end()},
                   2 + 3,
                   6,
                   0,
                   ""});
  cases.push_back(
      {"system bytes are delta-only events", {TrackBuilder().event(0, {0xF4}).event(0, {0xF9}).end()}, 3, 3, 0, ""});
  cases.push_back({"meta of 200 bytes", {TrackBuilder().meta(0, 0x03, Bytes(200, 'x')).end()}, 2, 204 + 3, 200, ""});
  cases.push_back({"empty sysex", {TrackBuilder().sysex(0, {}).end()}, 2, 1 + 3, 0, ""});
  cases.push_back({"events after an early End of Track",
                   {TrackBuilder().end().event(0, {0x90, 60, 64}).text(0, 0x01, "x")},
                   3,
                   3 + 4,
                   1,
                   "WARNING! : [Trk 0] Track DataSize is Wrong!\n"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_song_state();
    Scan s = scan(c.tracks);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.events, c.events);
    EXPECT_EQ(s.data, c.data);
    EXPECT_EQ(s.longest, c.longest);
    EXPECT_EQ(s.err, c.err);
  }
}

TEST_F(PrescanTest, TrackEndsBeforeAnEventThatRunsPastItsChunk) {
  option_flags = OPT_NO_RESET;
  const std::string cut = "WARNING! : [Trk 0] Event Runs Past End of Track!\n";
  struct Case {
    std::string name;
    TrackBuilder track;
    uint32_t events, data;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"note-on without its last byte", TrackBuilder().event(0, {0x90, 60, 64}).raw({0, 0x90, 60}), 1, 0, cut},
      {"running status without its last byte", TrackBuilder().event(0, {0x90, 60, 64}).raw({0, 62}), 1, 0, cut},
      {"delta time alone", TrackBuilder().event(0, {0x90, 60, 64}).raw({0}), 1, 0, cut},
      {"delta time cut", TrackBuilder().raw({0x81}), 0, 0, cut},
      {"three continuation bytes at the end", TrackBuilder().event(0, {0xC0, 5}).raw({0xFF, 0x80, 0x80}), 1, 0, cut},
      {"meta type missing", TrackBuilder().raw({0, 0xFF}), 0, 0, cut},
      {"meta data cut", TrackBuilder().text(0, 0x01, "x").raw({0, 0xFF, 0x01, 0x05, 'a', 'b'}), 1, 4, cut},
      {"meta length past 32 bits", TrackBuilder().raw({0, 0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 1}), 0, 0, cut},
      {"sysex length cut", TrackBuilder().raw({0, 0xF0, 0x81}), 0, 0, cut},
      {"sysex body cut", TrackBuilder().raw({0, 0xF0, 0x05, 0x7E, 0x7F}), 0, 0, cut},
      {"escape bytes cut", TrackBuilder().raw({0, 0xF7, 0x02, 0xF8}), 0, 0, cut},
      {"no End of Track", TrackBuilder().event(0, {0x90, 60, 64}), 1, 0, ""},
      {"empty chunk", TrackBuilder(), 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_song_state();
    Scan s = scan({c.track});
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.events, c.events);
    EXPECT_EQ(s.data, c.data);
    EXPECT_EQ(s.err, c.err);
  }
}

TEST_F(PrescanTest, ResetFlagsAndTheRoomForTheAutomaticReset) {
  const Bytes gm_on = {0x7E, 0x7F, 0x09, 0x01, 0xF7};
  const Bytes gm_other_device = {0x7E, 0x10, 0x09, 0x01, 0xF7};
  const Bytes gs_reset_10 = {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
  const Bytes gs_reset_33 = {0x41, 0x33, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
  const Bytes gs_other = {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x01, 0x41, 0xF7};
  const Bytes xg_on = {0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
  const Bytes yamaha_other = {0x43, 0x10, 0x4C, 0x00, 0x00, 0x01, 0x00, 0xF7};
  const Bytes xg_tail_other_maker = {0x7D, 0x00, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
  struct Case {
    std::string name;
    std::vector<Bytes> bodies;
    OptionFlags options;
    ResetFlags flags;
    uint32_t added_events, added_bytes;
  };
  const std::vector<Case> cases = {
      {"no sysex: GM", {}, 0, 0, 1, 6},
      {"no sysex with -r", {}, OPT_NO_RESET, 0, 0, 0},
      {"GM System On", {gm_on}, 0, RF_VENDOR_OTHER | RF_GM_RESET_FOUND, 0, 0},
      {"GM for another device is not a reset", {gm_other_device}, 0, RF_VENDOR_OTHER, 1, 6},
      {"GS reset, device 0x10", {gs_reset_10}, 0, RF_VENDOR_41 | RF_GS_RESET_FOUND, 0, 0},
      {"GS reset, device 0x33", {gs_reset_33}, 0, RF_VENDOR_41 | RF_GS_RESET_FOUND, 0, 0},
      {"Roland, no reset: GS", {gs_other}, 0, RF_VENDOR_41, 1, 11},
      {"XG System On", {xg_on}, 0, RF_VENDOR_43 | RF_XG_RESET_FOUND, 0, 0},
      {"Yamaha, no reset: XG", {yamaha_other}, 0, RF_VENDOR_43, 2, 15},
      {"Yamaha with -r", {yamaha_other}, OPT_NO_RESET, RF_VENDOR_43, 0, 0},
      {"both makers: XG", {gs_other, yamaha_other}, 0, RF_VENDOR_41 | RF_VENDOR_43, 2, 15},
      {"XG tail after a Yamaha message",
       {yamaha_other, xg_tail_other_maker},
       0,
       RF_VENDOR_43 | RF_VENDOR_OTHER | RF_XG_RESET_FOUND,
       0,
       0},
      {"XG tail without a Yamaha message", {xg_tail_other_maker}, 0, RF_VENDOR_OTHER, 1, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_song_state();
    option_flags = c.options;
    TrackBuilder track;
    uint32_t song_bytes = 3;
    for (const Bytes& body : c.bodies) {
      track.sysex(0, body);
      song_bytes += static_cast<uint32_t>(body.size()) + 1;
    }
    Scan s = scan({track.end()});
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.flags, c.flags);
    EXPECT_EQ(s.events, c.bodies.size() + 1 + c.added_events);
    EXPECT_EQ(s.data, song_bytes + c.added_bytes);
  }
}

TEST_F(PrescanTest, EmptySysexBodyHasNoMaker) {
  // The byte after the empty body is the next delta time, 0x43: it must not
  // be taken for a Yamaha maker byte.
  TrackBuilder track;
  track.raw({0x00, 0xF0, 0x00, 0x43, 0xFF, 0x2F, 0x00});
  Scan s = scan({track});
  EXPECT_EQ(s.flags, 0);
  EXPECT_EQ(s.events, 2u + 1);
  EXPECT_EQ(s.data, 1u + 3 + 6);
  EXPECT_EQ(classify_sysex(RF_VENDOR_41, nullptr, 0), RF_VENDOR_41);
}

}  // namespace
