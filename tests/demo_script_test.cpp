// tools/demo.sh as a new user runs it on a machine without an audio output:
// the song is rendered to BUILD_DIR/sakura.wav, a file that plays, and the
// demo ends by saying where it is and which installed player plays it.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "monitor/sound/soundfont.h"
#include "support/rendered_sound.h"
#include "support/support.h"

namespace {

TEST(DemoScript, RendersTheSongWhereNoAudioOutputOpens) {
  if (!SONGRELAY_MONITOR_SYNTH) GTEST_SKIP() << "the monitor was built without libfluidsynth";
  if (find_soundfont(default_soundfonts()).empty()) GTEST_SKIP() << "no SoundFont installed (timgm6mb-soundfont)";
  TempDir build;
  // Here the monitor finds no audio output, or the demo would play aloud.
  ProcessResult probe = run_process(
      SONGRELAY_MONITOR_BIN, {SONGRELAY_MONITOR_BIN, "--dir", build.path, "--play", "--timeout", "0.1", "--quiet"});
  if (probe.exit_status == 0) GTEST_SKIP() << "this machine has an audio output; the demo would play aloud";
  ASSERT_EQ(symlink(SONGRELAY_BIN, build.file("songrelay").c_str()), 0);
  ASSERT_EQ(symlink(SONGRELAY_MONITOR_BIN, build.file("songrelay-monitor").c_str()), 0);

  ProcessResult demo = run_process(
      "/bin/sh", {"/bin/sh", std::string(SONGRELAY_SOURCE_DIR) + "/tools/demo.sh", build.path}, {"LANG=C.UTF-8"});
  EXPECT_EQ(demo.exit_status, 0) << demo.err;
  std::string wav = build.file("sakura.wav");
  // The last line suggests a player that is installed here, or none.
  std::string said = "demo: the song is in " + wav + " (16-bit stereo WAV)";
  size_t at = demo.err.rfind(said);
  ASSERT_NE(at, std::string::npos) << demo.err;
  std::string rest = demo.err.substr(at + said.size());
  const std::string suggestion = "; listen with any audio player, for example: ";
  if (rest != "\n") {
    ASSERT_EQ(rest.rfind(suggestion, 0), 0u) << rest;
    std::string player = rest.substr(suggestion.size(), rest.find(' ', suggestion.size()) - suggestion.size());
    EXPECT_NE(std::string(" aplay play paplay pw-play ffplay ").find(" " + player + " "), std::string::npos) << player;
    EXPECT_EQ(run_process("/bin/sh", {"/bin/sh", "-c", "command -v \"$0\"", player}).exit_status, 0)
        << player << " is not installed";
    EXPECT_EQ(rest.substr(rest.size() - wav.size() - 1), wav + "\n") << rest;
  }
  EXPECT_NE(demo.out.find("[Lylic     ]: "), std::string::npos) << demo.out;
  RenderedSound sound;
  ASSERT_EQ(read_rendered(wav, sound), "");
  // The whole song (33 s) and its last notes' echo, with music throughout.
  double seconds = static_cast<double>(sound.samples.size()) / sound.rate;
  EXPECT_GT(seconds, 33.0);
  EXPECT_LT(seconds, 40.0);
  for (double at = 1; at < 32; at += 5) EXPECT_GT(peak_between(sound, at, at + 2), 0.01) << "silent at " << at << " s";
}

}  // namespace
