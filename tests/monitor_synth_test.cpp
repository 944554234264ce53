// The monitor as a sound module, judged by the sound it renders: the pitch of
// a held note, onsets against arrival stamps over four ports, drums on every
// port's channel 10, silence after All Sound Off and after the player's stop,
// each reset taking effect whatever its device ID, a damaged stream, the
// WAV header on every way out, and the lines of a synthesis that cannot run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <ostream>
#include <poll.h>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "monitor/constants.h"
#include "monitor/sound/soundfont.h"
#include "monitor/sound/stream_clock.h"
#include "monitor/sound/synth_queue.h"
#include "monitor/sound/synth_ring.h"
#include "support/monitor_output.h"
#include "support/port_files.h"
#include "support/rendered_sound.h"
#include "support/support.h"

namespace {

// Why the rendering tests cannot run here, or an empty text.
std::string cannot_render() {
  if (!SONGRELAY_MONITOR_SYNTH) return "the monitor was built without libfluidsynth";
  if (find_soundfont(default_soundfonts()).empty()) return "no SoundFont installed (timgm6mb-soundfont)";
  return "";
}

#define SKIP_UNLESS_RENDERING()                  \
  do {                                           \
    std::string reason = cannot_render();        \
    if (!reason.empty()) GTEST_SKIP() << reason; \
  } while (false)

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The monotonic clock in nanoseconds, the clock of the monitor's log.
int64_t monotonic_now_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A monitor rendering into a WAV file, with its log, and what it left. Each
// node keeps one writer from its first message to the end, as a player
// does: a writer that leaves silences its port.
struct Render {
  TempDir dir;
  ChildProcess monitor;
  std::string wav = dir.file("out.wav");
  std::string log = dir.file("monitor.log");
  RenderedSound sound;
  std::vector<LoggedMessage> messages;
  int writers[4] = {-1, -1, -1, -1};
  Render() = default;
  Render(const Render&) = delete;
  Render& operator=(const Render&) = delete;
  ~Render() { hang_up(); }
  // Writes bytes into port's node, through its writer.
  void send(int port, const Bytes& bytes) {
    int& fd = writers[port];
    if (fd < 0) fd = open(dir.file("umidi0." + std::to_string(port)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "port " << port << ": " << std::strerror(errno);
    // A burst larger than the FIFO goes in as the monitor makes room.
    for (size_t done = 0; done < bytes.size();) {
      ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
      if (count < 0 && errno == EAGAIN) {
        pollfd room = {fd, POLLOUT, 0};
        poll(&room, 1, 1000);
        continue;
      }
      ASSERT_GT(count, 0) << std::strerror(errno);
      done += static_cast<size_t>(count);
    }
  }
  // Closes every writer.
  void hang_up() {
    for (int& fd : writers) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
  }
  // Time of the first logged message on port starting with prefix.
  double at(int port, const std::string& prefix) const { return logged_time(messages, port, prefix); }
};

// Starts the monitor with --wav and --log and the extra options.
::testing::AssertionResult start_render(Render& render, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {
      SONGRELAY_MONITOR_BIN, "--dir", render.dir.path, "--quiet", "--wav", render.wav, "--log", render.log};
  args.insert(args.end(), extra.begin(), extra.end());
  if (!start_child(render.monitor, SONGRELAY_MONITOR_BIN, args)) return ::testing::AssertionFailure() << "no start";
  if (!read_child_until(render.monitor, "player options: "))
    return ::testing::AssertionFailure() << "no ready line: " << render.monitor.err;
  return ::testing::AssertionSuccess();
}

// Ends the monitor by signal_number (0: it ends by itself) and reads the file and the log.
::testing::AssertionResult finish_render(Render& render, int signal_number = SIGTERM) {
  render.hang_up();
  if (signal_number != 0) kill(render.monitor.pid, signal_number);
  if (!wait_child(render.monitor)) return ::testing::AssertionFailure() << "the monitor did not end";
  if (render.monitor.exit_status != 0)
    return ::testing::AssertionFailure() << "status " << render.monitor.exit_status << ": " << render.monitor.err;
  std::string problem = read_rendered(render.wav, render.sound);
  if (!problem.empty()) return ::testing::AssertionFailure() << render.wav << ": " << problem;
  render.messages = read_log(render.log);
  if (render.messages.empty()) return ::testing::AssertionFailure() << "nothing logged";
  return ::testing::AssertionSuccess();
}

// The level of the stretch from..to: its root mean square.
double rms_between(const RenderedSound& sound, double from, double to) {
  double sum = 0;
  size_t first = sound.at(from), last = sound.at(to);
  for (size_t i = first; i < last; ++i) sum += sound.samples[i] * sound.samples[i];
  return last > first ? std::sqrt(sum / static_cast<double>(last - first)) : 0;
}

// The oboe: it holds its level and sends little to the reverb, so that the
// room's echo cannot pass for a note that goes on sounding.
constexpr uint8_t OBOE = 68;

const Bytes GM_ON = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
// The GS reset as the player sends it, with device ID 0x20.
const Bytes GS_RESET_20 = {0xF0, 0x41, 0x20, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
const Bytes GS_RESET_10 = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
const Bytes XG_ON = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};

TEST(MonitorSynth, HeldA4SoundsAt440Hz) {
  SKIP_UNLESS_RENDERING();
  Render render;
  ASSERT_TRUE(start_render(render, {"--idle", "1"}));
  render.send(0, {0x90, 69, 100});
  pause_ms(800);
  render.send(0, {0x80, 69, 0});
  ASSERT_TRUE(finish_render(render, 0));
  double start = render.at(0, "90 45");
  EXPECT_NEAR(pitch_between(render.sound, start + 0.1, start + 0.6, 300, 700), 440.0, 4.4);
}

TEST(MonitorSynth, GainSetsTheLevel) {
  SKIP_UNLESS_RENDERING();
  // The same held note at the default level and at --gain 0.8.
  double levels[2] = {0, 0};
  const std::vector<std::string> options[2] = {{}, {"--gain", "0.8"}};
  for (int i = 0; i < 2; ++i) {
    Render render;
    ASSERT_TRUE(start_render(render, options[i]));
    render.send(0, {0xC0, OBOE, 0x90, 69, 100});
    pause_ms(400);
    ASSERT_TRUE(finish_render(render));
    double onset = render.at(0, "90 45");
    levels[i] = rms_between(render.sound, onset + 0.1, onset + 0.35);
  }
  ASSERT_GT(levels[0], 0.001);
  EXPECT_NEAR(levels[1] / levels[0], 4.0, 0.2);
}

TEST(MonitorSynth, OnsetsFollowArrivalStampsOnFourPorts) {
  SKIP_UNLESS_RENDERING();
  Render render;
  ASSERT_TRUE(start_render(render));
  // Uneven gaps, so that a render that drifts or snaps to a grid shows.
  const int GAPS_MS[12] = {130, 170, 110, 190, 150, 120, 180, 140, 160, 115, 175, 135};
  for (int i = 0; i < 12; ++i) {
    int port = i % 4;
    render.send(port, {0x90, 81, 100});
    pause_ms(70);
    render.send(port, {0xB0, 0x78, 0x00});
    pause_ms(GAPS_MS[i]);
  }
  ASSERT_TRUE(finish_render(render));
  std::vector<double> delays;
  for (const LoggedMessage& message : render.messages) {
    if (message.hex != "90 51 64") continue;
    double stamp = static_cast<double>(message.arrival_ns - render.messages.front().arrival_ns) / 1e9;
    double onset = onset_between(render.sound, stamp - 0.005, stamp + 0.06, 0.1);
    ASSERT_GE(onset, 0) << "no note at " << stamp;
    delays.push_back(onset - stamp);
  }
  ASSERT_EQ(delays.size(), 12u);
  std::vector<double> sorted = delays;
  std::sort(sorted.begin(), sorted.end());
  double attack = sorted[6];  // the SoundFont's own constant delay
  EXPECT_GE(attack, -0.0015);
  EXPECT_LT(attack, 0.03);
  for (size_t i = 0; i < delays.size(); ++i) EXPECT_NEAR(delays[i], attack, 0.002) << "note " << i;
}

TEST(MonitorSynth, ChannelTenOfEveryPortIsPercussion) {
  SKIP_UNLESS_RENDERING();
  Render render;
  ASSERT_TRUE(start_render(render));
  // After the player's own GS reset, which the library alone would ignore
  // and which sets every channel back to its default.
  render.send(0, GS_RESET_20);
  pause_ms(50);
  const Bytes NOTES[3][2] = {{{0x99, 42, 110}, {0xB9, 0x78, 0x00}},   // port 1, channel 10
                             {{0x90, 42, 110}, {0xB0, 0x78, 0x00}},   // port 1, channel 1
                             {{0x99, 42, 110}, {0xB9, 0x78, 0x00}}};  // port 3, channel 10
  const int PORTS[3] = {1, 1, 3};
  for (int i = 0; i < 3; ++i) {
    render.send(PORTS[i], NOTES[i][0]);
    pause_ms(250);
    render.send(PORTS[i], NOTES[i][1]);
    pause_ms(100);
  }
  ASSERT_TRUE(finish_render(render));
  double drum = periodicity_at(render.sound, render.at(1, "99 2A") + 0.01);
  double piano = periodicity_at(render.sound, render.at(1, "90 2A") + 0.01);
  double drum_port3 = periodicity_at(render.sound, render.at(3, "99 2A") + 0.01);
  EXPECT_LT(drum, 0.6) << "port 1 channel 10 sounds pitched";
  EXPECT_LT(drum_port3, 0.6) << "port 3 channel 10 sounds pitched";
  EXPECT_GT(piano, 0.9) << "port 1 channel 1 does not sound pitched";
}

// Checks that the sound is still on just before stop and silent from 50 ms after it.
void expect_silence_after(const RenderedSound& sound, double onset, double stop) {
  double note = peak_between(sound, onset, stop);
  ASSERT_GT(note, 0.005) << "no note before the stop";
  EXPECT_GT(peak_between(sound, stop - 0.05, stop), 0.2 * note) << "the note had ended by itself";
  EXPECT_LT(peak_between(sound, stop + 0.05, stop + 0.4), 0.03 * note) << "still sounding 50 ms after the stop";
}

// The General MIDI SoundFonts of Debian's packages: the silence tests play
// each that is installed by name, whichever is the default.
struct NamedSoundFont {
  const char* path;
  const char* package;
};

// Shown in the test's name as the file.
void PrintTo(const NamedSoundFont& font, std::ostream* out) { *out << font.path; }

class MonitorSoundFont : public ::testing::TestWithParam<NamedSoundFont> {};

INSTANTIATE_TEST_SUITE_P(
    Debian, MonitorSoundFont,
    ::testing::Values(NamedSoundFont{"/usr/share/sounds/sf2/TimGM6mb.sf2", "timgm6mb-soundfont"},
                      NamedSoundFont{"/usr/share/sounds/sf2/FluidR3_GM.sf2", "fluid-soundfont-gm"}),
    [](const ::testing::TestParamInfo<NamedSoundFont>& info) { return info.index == 0 ? "TimGM6mb" : "FluidR3_GM"; });

// The voice, not the room: with reverb and chorus off, All Sound Off leaves
// nothing of the note whatever echo the SoundFont asks for; and the header
// names the SoundFont and its presets.
TEST_P(MonitorSoundFont, AllSoundOffSilencesAtOnce) {
  SKIP_UNLESS_RENDERING();
  const NamedSoundFont& font = GetParam();
  if (access(font.path, R_OK) != 0) GTEST_SKIP() << font.path << " is not installed (" << font.package << ")";
  Render render;
  ASSERT_TRUE(start_render(render, {"--soundfont", font.path, "--reverb", "off", "--chorus", "off"}));
  std::string header = "songrelay-monitor: SoundFont " + std::string(font.path) + ", ";
  size_t at = render.monitor.out.find(header);
  ASSERT_NE(at, std::string::npos) << render.monitor.out;
  EXPECT_GE(std::atoi(render.monitor.out.c_str() + at + header.size()), 128) << "fewer presets than General MIDI has";
  render.send(2, {0xC4, OBOE, 0x94, 57, 100});
  pause_ms(500);
  render.send(2, {0xB4, 0x78, 0x00});
  pause_ms(500);
  ASSERT_TRUE(finish_render(render));
  expect_silence_after(render.sound, render.at(2, "94 39"), render.at(2, "B4 78 00"));
}

// Starts the player on a song that holds notes for ten seconds on ports 0
// and 3, into the monitor's nodes. Returns its process ID, or -1.
pid_t start_held_notes(Render& render) {
  std::string song = render.dir.file("held.mid");
  write_file(song, smf(0, 480,
                       {TrackBuilder()
                            .event(0, {0xC0, OBOE})
                            .event(0, {0x90, 57, 100})
                            .meta(0, 0x21, {3})
                            .event(0, {0xC1, OBOE})
                            .event(0, {0x91, 64, 100})
                            .event(9600, {0x81, 64, 0})
                            .meta(0, 0x21, {0})
                            .event(0, {0x80, 57, 0})
                            .end()}));
  std::vector<std::string> names = ready_port_names(render.monitor.out);
  if (names.size() != 4) return -1;
  return start_process(SONGRELAY_BIN,
                       {SONGRELAY_BIN, "-q", "-0", names[0], "-1", names[1], "-2", names[2], "-3", names[3], song}, -1,
                       -1);
}

TEST(MonitorSynth, PlayerStoppedBySigintLeavesSilence) {
  SKIP_UNLESS_RENDERING();
  Render render;
  ASSERT_TRUE(start_render(render, {"--reverb", "0", "--chorus", "0"}));
  pid_t player = start_held_notes(render);
  ASSERT_GT(player, 0);
  pause_ms(1000);
  kill(player, SIGINT);
  int status = 0;
  ASSERT_TRUE(wait_or_kill(player, status, 30000));
  EXPECT_EQ(shell_status(status), 130);
  pause_ms(300);
  ASSERT_TRUE(finish_render(render));
  double stop = std::max(render.at(0, "B0 78 00"), render.at(3, "B0 78 00"));
  ASSERT_GT(render.at(3, "B0 78 00"), 0) << "no All Sound Off on port 3";
  expect_silence_after(render.sound, render.at(0, "90 39"), stop);
}

TEST(MonitorSynth, PlayerKilledMidNoteLeavesSilenceAndTheNextPlays) {
  SKIP_UNLESS_RENDERING();
  Render render;
  ASSERT_TRUE(start_render(render, {"--reverb", "0", "--chorus", "0"}));
  pid_t player = start_held_notes(render);
  ASSERT_GT(player, 0);
  pause_ms(1000);
  // No All Sound Off can come from a player killed this way: only the
  // monitor's noticing its writer gone ends the notes.
  int64_t killed_ns = monotonic_now_ns();
  kill(player, SIGKILL);
  int status = 0;
  ASSERT_TRUE(wait_or_kill(player, status, 30000));
  pause_ms(500);
  // The next writer is heard.
  render.send(0, {0xC0, OBOE, 0x90, 69, 100});
  pause_ms(300);
  ASSERT_TRUE(finish_render(render));
  double killed = static_cast<double>(killed_ns - render.messages.front().arrival_ns) / 1e9;
  expect_silence_after(render.sound, render.at(0, "90 39"), killed);
  double next = render.at(0, "90 45");
  ASSERT_GT(next, killed);
  EXPECT_GT(peak_between(render.sound, next, next + 0.2), 0.005) << "the next writer is not heard";
}

// One reset and the kind of sound that bank 127 then selects on a melodic channel.
struct ResetCase {
  const char* name;
  Bytes reset;
  bool bank_127_drums;  // XG mode: bank 127 is a drum kit; GM mode ignores bank select
};

TEST(MonitorSynth, EachResetTakesEffectWhateverItsDeviceId) {
  SKIP_UNLESS_RENDERING();
  const std::vector<ResetCase> cases = {
      {"GS reset, device 0x10", GS_RESET_10, false},
      {"XG System On, device 0x10", XG_ON, true},
      {"GM System On", GM_ON, false},
      {"GS reset, device 0x20", GS_RESET_20, false},
  };
  Render render;
  ASSERT_TRUE(start_render(render));
  for (const ResetCase& test : cases) {
    // Volume 0 before the reset: only a reset brings the note back.
    render.send(0, {0xB0, 0x07, 0x00});
    pause_ms(30);
    render.send(0, test.reset);
    pause_ms(30);
    render.send(0, {0x90, 69, 100});
    pause_ms(200);
    render.send(0, {0xB0, 0x78, 0x00, 0xB1, 0x00, 0x7F, 0xC1, 0x00, 0x91, 42, 110});
    pause_ms(200);
    render.send(0, {0xB1, 0x78, 0x00, 0xB1, 0x00, 0x00, 0xC1, 0x00});
    pause_ms(100);
  }
  ASSERT_TRUE(finish_render(render));
  // Each case's messages are found from the stamp of its reset on.
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    std::vector<LoggedMessage> from_reset;
    size_t seen = 0;
    for (const LoggedMessage& message : render.messages) {
      if (message.hex.rfind("F0", 0) == 0) ++seen;  // each case sends one exclusive, its reset
      if (seen == i + 1) from_reset.push_back(message);
    }
    ASSERT_FALSE(from_reset.empty());
    int64_t origin = render.messages.front().arrival_ns;
    auto time_of = [&](const std::string& prefix) {
      for (const LoggedMessage& message : from_reset)
        if (message.hex.rfind(prefix, 0) == 0) return static_cast<double>(message.arrival_ns - origin) / 1e9;
      return -1.0;
    };
    double note = time_of("90 45");
    EXPECT_GT(peak_between(render.sound, note, note + 0.2), 0.005) << "the volume was not reset";
    double bank_note = time_of("91 2A");
    double pitched = periodicity_at(render.sound, bank_note + 0.01);
    if (cases[i].bank_127_drums) EXPECT_LT(pitched, 0.6) << "bank 127 is not a drum kit";
    else EXPECT_GT(pitched, 0.9) << "bank 127 gave no melodic sound";
  }
}

TEST(MonitorSynth, AResetActsOnItsOwnPortAlone) {
  SKIP_UNLESS_RENDERING();
  Render render;
  ASSERT_TRUE(start_render(render, {"--reverb", "0", "--chorus", "0"}));
  // An organ holds A3 on port 0; port 1 is reset the way the player and a
  // GS file each address it, then port 0 itself.
  const uint8_t ORGAN = 16;
  render.send(0, {0xC0, ORGAN, 0x90, 57, 100});
  pause_ms(300);
  render.send(1, GS_RESET_20);
  pause_ms(300);
  render.send(1, GS_RESET_10);
  pause_ms(300);
  render.send(0, GS_RESET_20);
  pause_ms(300);
  ASSERT_TRUE(finish_render(render));
  double onset = render.at(0, "90 39");
  double before = rms_between(render.sound, onset + 0.1, onset + 0.3);
  ASSERT_GT(before, 0.002) << "no organ";
  // Neither reset of port 1 changed the level or the timbre of port 0's note.
  double after_first = rms_between(render.sound, render.at(1, "F0 41 20") + 0.05, render.at(1, "F0 41 10"));
  double after_second = rms_between(render.sound, render.at(1, "F0 41 10") + 0.05, render.at(0, "F0"));
  EXPECT_NEAR(after_first, before, 0.1 * before);
  EXPECT_NEAR(after_second, before, 0.1 * before);
  EXPECT_GT(periodicity_at(render.sound, render.at(0, "F0") - 0.15), 0.9);
  // The reset of port 0 ends the note, as a module's initialisation does.
  double reset = render.at(0, "F0");
  EXPECT_LT(peak_between(render.sound, reset + 0.05, reset + 0.3), 0.01 * before);
}

// A queued message of port 0.
StampedMessage queued(const Bytes& bytes) {
  StampedMessage item;
  item.message.bytes = bytes;
  return item;
}

TEST(MonitorQueue, AFullQueueDropsNoteOnsAndKeepsWhatEndsASound) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"note-on", {0x90, 60, 100}, false},
      {"note-off", {0x80, 60, 0}, true},
      {"note-on of velocity 0", {0x90, 60, 0}, true},
      {"All Sound Off", {0xB3, 0x78, 0x00}, true},
      {"Reset All Controllers", {0xB3, 0x79, 0x00}, true},
      {"sustain let go", {0xB0, 0x40, 0x00}, true},
      {"GS reset", GS_RESET_20, true},
      {"volume, in the place of a note-on", {0xB0, 0x07, 0x40}, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    SynthQueue queue;
    for (size_t i = 0; i < SYNTH_QUEUE_LIMIT; ++i) queue_put(queue, queued({0x90, static_cast<uint8_t>(i % 128), 1}));
    queue_put(queue, queued(test.bytes));
    std::vector<StampedMessage> taken;
    queue_take_now(queue, taken);
    EXPECT_EQ(taken.size(), SYNTH_QUEUE_LIMIT);
    EXPECT_EQ(queue.dropped, 1u);
    EXPECT_EQ(taken.back().message.bytes == test.bytes, test.kept);
  }
  // With no note-on left to give way, what ends a sound is still kept; a
  // controller that ends nothing is not.
  SynthQueue offs;
  for (size_t i = 0; i < SYNTH_QUEUE_LIMIT; ++i) queue_put(offs, queued({0x80, 60, 0}));
  queue_put(offs, queued({0xB0, 0x07, 0x40}));
  StampedMessage gone;
  gone.action = SILENCE_PORT;
  queue_put(offs, std::move(gone));
  std::vector<StampedMessage> taken;
  queue_take_now(offs, taken);
  ASSERT_EQ(taken.size(), SYNTH_QUEUE_LIMIT + 1);
  EXPECT_EQ(taken.back().action, SILENCE_PORT);
  EXPECT_EQ(offs.dropped, 1u);
}

// Puts bytes on port into ring as a message arriving at arrival_ns.
void put(SynthRing& ring, int port, const Bytes& bytes, int64_t arrival_ns = 0) {
  ring_put(ring, port, arrival_ns, PLAY_MESSAGE, bytes.data(), bytes.size());
}

// Takes the next message out of ring as the callback does; empty when none waits.
Bytes take(SynthRing& ring) {
  static uint8_t sysex[SYNTH_RING_SYSEX];
  const uint8_t* bytes = nullptr;
  size_t length = 0;
  if (ring_peek(ring, sysex, &bytes, &length) == nullptr) return {};
  Bytes taken(bytes, bytes + length);
  ring_pop(ring);
  return taken;
}

TEST(MonitorRing, AFullRingDropsWhatStartsASoundAndSilencesThePortOfWhatEndsOne) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool silences;
  };
  const std::vector<Case> cases = {
      {"note-on", {0x90, 60, 100}, false},
      {"volume", {0xB0, 0x07, 0x40}, false},
      {"note-off", {0x80, 60, 0}, true},
      {"note-on of velocity 0", {0x90, 60, 0}, true},
      {"All Sound Off", {0xB3, 0x78, 0x00}, true},
      {"sustain let go", {0xB0, 0x40, 0x00}, true},
      {"GS reset", GS_RESET_20, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    auto ring = std::make_unique<SynthRing>();
    for (size_t i = 0; i < SYNTH_RING_ITEMS; ++i) put(*ring, 2, {0x90, static_cast<uint8_t>(i % 128), 1});
    put(*ring, 2, test.bytes);
    EXPECT_EQ(ring->dropped, 1u);
    // Room again: what comes next is kept, after the silence's point.
    take(*ring);
    put(*ring, 2, {0x90, 61, 100});
    for (size_t i = 1; i < SYNTH_RING_ITEMS; ++i) {
      ASSERT_EQ(ring_take_silence(*ring), -1) << "silenced before the note-ons it must end, at " << i;
      take(*ring);
    }
    EXPECT_EQ(ring_take_silence(*ring), test.silences ? 2 : -1);
    EXPECT_EQ(ring_take_silence(*ring), -1);
    EXPECT_EQ(take(*ring), (Bytes{0x90, 61, 100}));
    EXPECT_TRUE(take(*ring).empty());
  }
}

TEST(MonitorRing, AWriterGoneFindingTheRingFullSilencesItsPort) {
  auto ring = std::make_unique<SynthRing>();
  for (size_t i = 0; i < SYNTH_RING_ITEMS; ++i) put(*ring, 0, {0x90, 60, 1});
  ring_put(*ring, 3, 0, SILENCE_PORT, nullptr, 0);
  while (!take(*ring).empty()) {
  }
  EXPECT_EQ(ring_take_silence(*ring), 3);
}

TEST(MonitorRing, ALongExclusiveGoesInPiecesAcrossTheEndAndComesOutWhole) {
  auto ring = std::make_unique<SynthRing>();
  // Move the ring's positions near its end, so that the pieces wrap.
  for (size_t i = 0; i + 2 < SYNTH_RING_ITEMS; ++i) {
    put(*ring, 0, {0xB0, 0x07, 0x40});
    take(*ring);
  }
  Bytes tuning = {0xF0, 0x7E, 0x7F, 0x08, 0x01};
  tuning.resize(407, 0x21);
  tuning.push_back(0xF7);
  put(*ring, 1, tuning, 5);
  put(*ring, 1, {0x90, 60, 100}, 6);
  uint8_t sysex[SYNTH_RING_SYSEX];
  const uint8_t* bytes = nullptr;
  size_t length = 0;
  const SynthItem* item = ring_peek(*ring, sysex, &bytes, &length);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->port, 1);
  EXPECT_EQ(item->arrival_ns, 5);
  EXPECT_EQ(Bytes(bytes, bytes + length), tuning);
  ring_pop(*ring);
  EXPECT_EQ(take(*ring), (Bytes{0x90, 60, 100}));
  EXPECT_EQ(ring->dropped, 0u);
}

// The stream's period start as the callback's clock would see it: times in
// microseconds, periods of 512 frames (11,609.977 us).
TEST(MonitorStreamClock, ThePeriodStartFollowsTheStreamNotTheLateCallbacks) {
  const int64_t PERIOD = frames_to_ns(512);
  const double RISE = static_cast<double>(PERIOD / STREAM_RISE_DIVISOR);
  struct Case {
    const char* name;
    std::vector<int64_t> late_us;  // how late each callback is against the stream's own line
    int64_t moved_at;              // the callback from which the stream's line moved, or -1
    int64_t moved_us;              // by how much
  };
  const std::vector<Case> cases = {
      {"on time", std::vector<int64_t>(40, 0), -1, 0},
      {"jitter", {0, 900, 300, 2500, 40, 0, 1200, 3000, 700, 0, 150, 2200, 0, 800, 1900, 0}, -1, 0},
      {"one held up half a period, the next catching up", {0, 0, 0, 5800, 0, 0, 0, 0}, -1, 0},
      {"a pause that ran the buffer dry", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4, 40000},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    StreamClock clock;
    const int64_t ORIGIN = 5 * NS_PER_SECOND;
    for (size_t k = 0; k < test.late_us.size(); ++k) {
      int64_t line = ORIGIN + static_cast<int64_t>(k) * PERIOD;
      if (test.moved_at >= 0 && static_cast<int64_t>(k) >= test.moved_at) line += test.moved_us * 1000;
      int64_t now = line + test.late_us[k] * 1000;
      int64_t start = stream_period_start(clock, now, 512);
      EXPECT_LE(start, now) << "callback " << k;
      // Within the rise a callback allows since the line was last seen.
      EXPECT_NEAR(static_cast<double>(start - line), 0.0, 20 * RISE) << "callback " << k;
    }
  }
  // A stream whose line moved later and stayed (the server took a buffer
  // 2.9 ms deeper) is followed once a whole window of callbacks shows it;
  // before that the estimate keeps the earlier line.
  for (int64_t jitter_us : {0, 1500}) {
    SCOPED_TRACE(jitter_us);
    StreamClock clock;
    const int MOVE_AT = 50;
    for (int k = 0; k < MOVE_AT + 2 * STREAM_WINDOW; ++k) {
      int64_t line = static_cast<int64_t>(k) * PERIOD + (k >= MOVE_AT ? 2900000 : 0);
      int64_t start = stream_period_start(clock, line + (k % 5 == 2 ? jitter_us * 1000 : 0), 512);
      int64_t expected = k < MOVE_AT + STREAM_WINDOW - 1 ? line - (k >= MOVE_AT ? 2900000 : 0) : line;
      ASSERT_NEAR(static_cast<double>(start - expected), 0.0, STREAM_WINDOW * RISE) << "callback " << k;
    }
  }
  // A clock of the output slower by 200 parts per million is followed.
  StreamClock clock;
  for (int k = 0; k < 4000; ++k) {
    int64_t line = static_cast<int64_t>(k) * PERIOD * 10002 / 10000;
    int64_t start = stream_period_start(clock, line + (k % 7 == 3 ? 2000000 : 0), 512);
    if (k > 100) {
      ASSERT_NEAR(static_cast<double>(start - line), 0.0, 2 * RISE) << "callback " << k;
    }
  }
}

TEST(MonitorSynth, BurstBeyondTheQueueEndingInAllSoundOffEndsInSilence) {
  SKIP_UNLESS_RENDERING();
  Render render;
  ASSERT_TRUE(start_render(render, {"--reverb", "0", "--chorus", "0"}));
  Bytes burst;
  burst.reserve(150000 * 3 + 48);
  for (int i = 0; i < 150000; ++i)
    burst = std::move(burst) +
            Bytes{static_cast<uint8_t>(0x90 | (i % 16 == 9 ? 0 : i % 16)), static_cast<uint8_t>(36 + i % 60), 100};
  for (uint8_t channel = 0; channel < 16; ++channel) burst = std::move(burst) + Bytes{uint8_t(0xB0 | channel), 0x78, 0};
  render.send(1, burst);
  pause_ms(1500);
  ASSERT_TRUE(finish_render(render));
  double first = render.at(1, "90");
  double stop = render.at(1, "BF 78 00");
  ASSERT_GT(stop, 0);
  EXPECT_GT(peak_between(render.sound, first, stop + 0.01), 0.005) << "the burst did not sound";
  double end = static_cast<double>(render.sound.samples.size()) / render.sound.rate;
  EXPECT_LT(peak_between(render.sound, stop + 0.05, end), 0.0005) << "sounding after All Sound Off";
  // Where the reader is slow (a sanitizer's build) the synthesizer keeps up
  // and the queue never fills; MonitorQueue covers the rule itself.
  if (render.monitor.err.find("messages not rendered") == std::string::npos)
    GTEST_SKIP() << "the synthesizer kept up with the burst here, so the queue never filled";
}

TEST(MonitorSynth, DamagedStreamEndsInSilence) {
  SKIP_UNLESS_RENDERING();
  Render render;
  ASSERT_TRUE(start_render(render));
  // Random bytes, a cut exclusive, stray data and end bytes, an exclusive
  // longer than the decoder keeps whole, on every port.
  uint32_t seed = 12345;
  for (int port = 0; port < 4; ++port) {
    Bytes noise;
    for (int i = 0; i < 3000; ++i) {
      seed = seed * 1103515245u + 12345u;
      noise.push_back(static_cast<uint8_t>(seed >> 16));
    }
    render.send(port, noise);
    render.send(port, {0x90, 60, 100, 0xF0, 0x41, 0x10, 0x42, 0x93, 0x40, 0x64, 0x12, 0x34, 0xF7, 0xF7});
    Bytes long_exclusive = {0xF0, 0x43};
    long_exclusive.resize(6000, 0x11);
    render.send(port, long_exclusive + Bytes{0xF7});
  }
  pause_ms(300);
  for (int port = 0; port < 4; ++port) render.send(port, all_sound_off());
  pause_ms(300);
  ASSERT_TRUE(finish_render(render));
  double stop = render.at(3, "BF 78 00");
  ASSERT_GT(stop, 0);
  double loudest = peak_between(render.sound, 0, stop);
  double end = static_cast<double>(render.sound.samples.size()) / render.sound.rate;
  ASSERT_GT(end, stop + 0.99) << "the file stops before the sound has died";
  // Whatever the damage started, nothing sounds once its echo has died.
  EXPECT_LT(peak_between(render.sound, end - 0.1, end), 0.01 * loudest);
}

TEST(MonitorSynth, HeaderIsWholeOnEveryWayOut) {
  SKIP_UNLESS_RENDERING();
  struct WayOut {
    const char* name;
    std::vector<std::string> options;
    int signal_number;
  };
  const std::vector<WayOut> ways = {
      {"--idle", {"--idle", "0.2"}, 0},
      {"--timeout", {"--timeout", "0.5"}, 0},
      {"SIGINT", {}, SIGINT},
      {"SIGTERM", {}, SIGTERM},
  };
  for (const WayOut& way : ways) {
    SCOPED_TRACE(way.name);
    Render render;
    ASSERT_TRUE(start_render(render, way.options));
    render.send(0, {0x90, 69, 100});
    pause_ms(100);
    render.send(0, {0x80, 69, 0});
    ASSERT_TRUE(finish_render(render, way.signal_number));
    // Up to the end of the run, and at least a second past the last message.
    double last = render.at(0, "80 45");
    EXPECT_GE(render.sound.samples.size(), static_cast<size_t>((last + 0.999) * render.sound.rate));
    EXPECT_GT(peak_between(render.sound, 0, 0.1), 0.005);
    EXPECT_NE(render.monitor.err.find(render.wav + ": "), std::string::npos) << render.monitor.err;
  }
}

TEST(MonitorSynth, SynthesisThatCannotRunSaysSoInOneLine) {
  TempDir dir;
  struct Case {
    std::vector<std::string> options;
    std::string says;
    std::vector<std::string> env;
  };
  std::vector<Case> cases;
  if (!SONGRELAY_MONITOR_SYNTH) {
    cases = {{{"--wav", dir.file("x.wav")}, "synthesis is not built in", {}},
             {{"--play"}, "synthesis is not built in", {}}};
  } else {
    cases = {{{"--audio-driver", "nosuchdriver"}, "no audio output through the nosuchdriver driver", {}},
             {{"--wav", dir.file("x.wav"), "--soundfont", dir.file("none.sf2")}, "cannot load the SoundFont", {}},
             {{"--audio-driver", "pulseaudio", "--wav", dir.file("x.wav")},
              "no audio output through the pulseaudio driver",
              {"PULSE_SERVER=unix:" + dir.file("no-server")}},
             {{"--wav", dir.file("no/such/dir/x.wav")}, "cannot open " + dir.file("no/such/dir/x.wav"), {}}};
    if (find_soundfont(default_soundfonts()).empty()) cases.resize(2);
  }
  for (const Case& test : cases) {
    SCOPED_TRACE(test.options[0]);
    std::vector<std::string> args = {SONGRELAY_MONITOR_BIN, "--dir", dir.path};
    args.insert(args.end(), test.options.begin(), test.options.end());
    ProcessResult result = run_process(SONGRELAY_MONITOR_BIN, args, test.env);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.err.find(test.says), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_FALSE(path_exists(dir.file("umidi0.0")));
    EXPECT_FALSE(path_exists(dir.file("x.wav")));
  }
}

TEST(MonitorSynth, SoundFontSearchTakesTheFirstThatExists) {
  TempDir dir;
  write_file(dir.file("b.sf2"), {'R', 'I', 'F', 'F'});
  write_file(dir.file("c.sf2"), {'R', 'I', 'F', 'F'});
  EXPECT_EQ(find_soundfont({dir.file("a.sf2"), dir.file("b.sf2"), dir.file("c.sf2")}), dir.file("b.sf2"));
  EXPECT_EQ(find_soundfont({dir.file("a.sf2")}), "");
  EXPECT_EQ(default_soundfonts().front(), "/usr/share/sounds/sf2/default-GM.sf2");
}

}  // namespace
