// Writes the fuzzer's seed corpus: small songs, each showing one feature of
// the event syntax or one kind of damage, into the directory given.
#include <cstdio>
#include <string>
#include <vector>

#include "support/support.h"

namespace {

// A track with notes in running status, a program change and a pitch bend.
TrackBuilder melody(uint8_t channel) {
  TrackBuilder t;
  t.event(0, {static_cast<uint8_t>(0xC0 | channel), 5})
      .event(0, {static_cast<uint8_t>(0x90 | channel), 60, 100})
      .event(96, {60, 0})
      .event(0, {62, 100})
      .event(96, {static_cast<uint8_t>(0x80 | channel), 62, 64})
      .event(0, {static_cast<uint8_t>(0xE0 | channel), 0, 0x40})
      .end(48);
  return t;
}

// A conductor track with the usual meta events.
TrackBuilder conductor() {
  TrackBuilder t;
  t.text(0, 0x03, "seed")
      .meta(0, 0x51, {0x07, 0xA1, 0x20})
      .meta(0, 0x58, {0x04, 0x02, 0x18, 0x08})
      .meta(0, 0x59, {0x00, 0x00})
      .meta(0, 0x21, {0x01})
      .meta(0, 0x20, {0x09})
      .end(192);
  return t;
}

Bytes truncated(Bytes image, size_t cut) {
  image.resize(image.size() - cut);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_fuzz_seeds DIRECTORY\n");
    return 2;
  }
  const std::string dir = argv[1];
  TrackBuilder resets;
  resets.sysex(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7})
      .sysex(0, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7})
      .sysex(0, {0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7})
      .event(0, {0xF7, 0x02, 0xF8, 0xFA})
      .sysex(0, {})
      .end();
  TrackBuilder odd_bytes;
  odd_bytes.raw({0x05, 0x3C}).event(1, {0xF4}).event(0, {0xF9}).event(0x0FFFFFFF, {0x90, 60, 1}).end();
  TrackBuilder early_end;
  early_end.event(0, {0x90, 60, 100}).end().event(0, {0x80, 60, 0}).text(0, 0x01, "after");
  TrackBuilder long_meta;
  long_meta.meta(0, 0x05, Bytes(200, 'a')).end();
  Bytes foreign = smf(1, 96, {melody(0), melody(1)});
  foreign[30] = 'X';  // the second chunk's type
  const std::vector<std::pair<std::string, Bytes>> seeds = {
      {"one-track", smf(0, 96, {melody(0)})},
      {"three-tracks", smf(1, 480, {conductor(), melody(0), melody(9)})},
      {"resets", smf(1, 96, {resets, melody(2)})},
      {"odd-bytes", smf(1, 96, {odd_bytes})},
      {"early-end", smf(1, 96, {early_end, melody(3)})},
      {"long-meta", smf(2, 24, {long_meta})},
      {"no-tracks", smf(1, 96, {})},
      {"empty-chunk", smf(1, 96, {TrackBuilder(), melody(4)})},
      {"cut-file", truncated(smf(1, 96, {melody(0), melody(1)}), 7)},
      {"missing-chunk", truncated(smf(1, 96, {melody(0), melody(1)}), 40)},
      {"foreign-chunk", foreign},
  };
  for (const auto& [name, image] : seeds) write_file(dir + "/" + name + ".mid", image);
  return 0;
}
