// The monitor's command line: values in both spellings, bad arguments refused
// with one line, and the usage screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "monitor/options.h"
#include "support/support.h"

namespace {

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
  ASSERT_EQ(parse({"-d", "mydev", "-u", "14", "-n1", "--dir=/x", "--log", "f.log", "-q", "-i", "0.5", "--timeout=2"},
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
  MonitorOptions sound;
  ASSERT_EQ(parse({"-w", "a.wav", "--soundfont=gm.sf2"}, sound, err), 0) << err;
  EXPECT_EQ(sound.wav_path, "a.wav");
  EXPECT_EQ(sound.soundfont, "gm.sf2");
  EXPECT_FALSE(sound.play);
  // Naming an audio driver asks for live sound.
  ASSERT_EQ(parse({"--wav=b.wav", "-aoss"}, sound, err), 0) << err;
  EXPECT_EQ(sound.wav_path, "b.wav");
  EXPECT_EQ(sound.audio_driver, "oss");
  EXPECT_TRUE(sound.play);
  MonitorOptions level;
  ASSERT_EQ(parse({"-g", "1.5", "--reverb=off", "-C", "no", "-z", "512", "--mode", "0640"}, level, err), 0) << err;
  EXPECT_DOUBLE_EQ(level.gain, 1.5);
  EXPECT_FALSE(level.reverb);
  EXPECT_FALSE(level.chorus);
  EXPECT_EQ(level.period_frames, 512);
  EXPECT_EQ(level.mode, 0640);
}

// "--" ends the monitor's options: everything after it is the player's
// command, however much it looks like the monitor's own options.
TEST(MonitorOptions, APlayerCommandFollowsTheDoubleDash) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> player;
    bool quiet;
  };
  const std::vector<Case> cases = {
      {{"--", "songrelay", "song.mid"}, {"songrelay", "song.mid"}, false},
      {{"-q", "--play", "--", "songrelay", "-v", "-t", "UTF-8", "a b.mid"},
       {"songrelay", "-v", "-t", "UTF-8", "a b.mid"},
       true},
      {{"--", "./songrelay", "-q", "-h", "--", "--wav=x"}, {"./songrelay", "-q", "-h", "--", "--wav=x"}, false},
      {{"-d", "--", "--", "/bin/true"}, {"/bin/true"}, false},
      {{"-q"}, {}, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::PrintToString(test.args));
    MonitorOptions options;
    std::string err;
    ASSERT_EQ(parse(test.args, options, err), 0) << err;
    EXPECT_EQ(options.player, test.player);
    EXPECT_EQ(options.quiet, test.quiet);
    EXPECT_FALSE(options.help);
    EXPECT_EQ(options.wav_path, "");
    EXPECT_EQ(options.monitor_path, "songrelay-monitor");
  }
}

TEST(MonitorOptions, BadArgumentsAreRefusedWithOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {"-n", "0"},
      {"--ports", "5"},
      {"-u", "15"},
      {"-u", "1x"},
      {"-i", "0"},
      {"--idle=-1"},
      {"-t", "nan"},
      {"-t", "inf"},
      {"-d", "a/b"},
      {"--base="},
      {"--bogus"},
      {"-x"},
      {"operand"},
      {"-n"},
      {"--quiet=yes"},
      {"-qq"},
      {"--dir", ""},
      {"--wav="},
      {"-s", ""},
      {"--play=yes"},
      {"-a"},
      {"--audio-driver", ""},
      {"-g", "-1"},
      {"--gain=11"},
      {"-R", "maybe"},
      {"--chorus="},
      {"-z", "32"},
      {"-z", "9000"},
      {"-m", "0800"},
      {"--mode=1777"},
      {"-m", "rw"},
      {"-m", "-1"},
      {"--"},
      {"-q", "--", ""},
      {"song.mid", "--", "songrelay"},
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

}  // namespace
