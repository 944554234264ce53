// Synthesis through the library: a WAV render in step with the arrival
// stamps and a live output, each in a thread of its own behind a queue, so
// that the reader of the nodes never waits for either.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "base/clock.h"
#include "monitor/sound/fluid_bank.h"
#include "monitor/sound/soundfont.h"
#include "monitor/sound/synth.h"
#include "monitor/sound/wav_file.h"

namespace {

constexpr int64_t NS_PER_SECOND = 1000000000;
// The file goes on this long past the last message, so that its notes can
// ring out even when the run ends at once.
constexpr int64_t TAIL_NS = NS_PER_SECOND;
constexpr int RENDER_FRAMES = 1024;
// How often the file catches up with the clock while the nodes are quiet, so
// that a long rest is rendered as it passes, not all at once after it.
constexpr int QUIET_INTERVAL_MS = 50;
// The live output plays at most this many messages before it renders a
// period, so that a burst costs a few periods of delay, not an underrun.
constexpr size_t LIVE_MESSAGES_PER_PERIOD = 2048;
// Periods of the sound card's buffer (ALSA and OSS; PulseAudio keeps one).
constexpr int LIVE_PERIODS = 3;
// The longest the live output waits for a message while all is silent.
constexpr int LIVE_IDLE_WAIT_MS = 1000;

// The WAV render: four modules advanced by exactly the frames between one
// arrival stamp and the next.
struct WavOutput {
  bool on = false;
  ModuleBank bank;
  WavFile file;
  SynthQueue queue;
  std::thread thread;
  int64_t origin_ns = -1;             // stamp of the first message: frame 0
  int64_t last_ns = -1;               // stamp of the latest message
  int64_t end_ns = 0;                 // the run's end, set before the queue closes
  uint64_t frames = 0;                // frames rendered so far
  int64_t most_behind_ns = 0;         // the longest a message waited to be played
  std::atomic<int64_t> quiet_ns{-1};  // no message stamped before this is still to come
  uint64_t played_block = 0;          // the library block the messages below fall in
  size_t played_in_block = 0;         // messages played in it
  uint64_t unrendered = 0;            // note-ons beyond what the library takes in one block
};

// The live output: four modules that the library's audio driver renders
// through render_live, which also plays the messages waiting for it.
struct LiveOutput {
  bool on = false;
  ModuleBank bank;
  fluid_settings_t* driver_settings = nullptr;
  fluid_audio_driver_t* driver = nullptr;
  SynthQueue queue;
  std::vector<StampedMessage> pending;  // taken from the queue, not all played yet
  size_t next = 0;                      // the first of pending still to play
  bool may_wait = false;                // the driver's thread is ours to hold while silent
};

WavOutput wav_output;
LiveOutput live_output;
// Said in the header: the SoundFont and its number of presets.
std::string soundfont_line;

// The frame at which a moment after the first message falls, rounded down.
uint64_t frame_at(const WavOutput& out, int64_t ns) {
  int64_t since = std::max<int64_t>(0, ns - out.origin_ns);
  return static_cast<uint64_t>(since / NS_PER_SECOND) * WAV_RATE +
         static_cast<uint64_t>(since % NS_PER_SECOND * WAV_RATE / NS_PER_SECOND);
}

// One float sample as a 16-bit one, clipped at full scale.
int16_t to_s16(float sample) {
  float scaled = std::nearbyint(sample * 32767.0f);
  return static_cast<int16_t>(std::max(-32767.0f, std::min(32767.0f, scaled)));
}

// Renders the modules up to frame target into the file.
void render_until(WavOutput& out, uint64_t target) {
  float left[RENDER_FRAMES];
  float right[RENDER_FRAMES];
  int16_t samples[RENDER_FRAMES * WAV_CHANNELS];
  while (out.frames < target) {
    int count = static_cast<int>(std::min<uint64_t>(RENDER_FRAMES, target - out.frames));
    std::fill(left, left + count, 0.0f);
    std::fill(right, right + count, 0.0f);
    bank_render(out.bank, count, left, right);
    for (int i = 0; i < count; ++i) {
      samples[2 * i] = to_s16(left[i]);
      samples[2 * i + 1] = to_s16(right[i]);
    }
    out.frames += static_cast<uint64_t>(count);
    // A file that cannot take more still lets the synthesizer go on.
    wav_append(out.file, samples, static_cast<size_t>(count));
  }
}

// Whether the library can take the message before the block it falls in
// is rendered. The library queues what a message does to its voices until
// it renders its next block of 64 frames, and what overflows that queue is
// lost, All Sound Off included; in a burst stamped within one block, the
// note-ons beyond a module's voices are dropped and counted, since they
// could not all sound anyway.
bool room_in_block(WavOutput& out, const StampedMessage& item) {
  constexpr uint64_t LIBRARY_BLOCK = 64;
  // No more than the voices a module has: each note-on may start several
  // voices and steal as many, each a few events in the library's queue.
  constexpr size_t NOTE_ONS_PER_BLOCK = 256;
  uint64_t block = (out.frames + LIBRARY_BLOCK - 1) / LIBRARY_BLOCK;
  if (block != out.played_block) {
    out.played_block = block;
    out.played_in_block = 0;
  }
  const std::vector<uint8_t>& bytes = item.message.bytes;
  bool note_on = item.action == PLAY_MESSAGE && bytes.size() == 3 && (bytes[0] & 0xF0) == 0x90 && bytes[2] != 0;
  if (note_on && out.played_in_block >= NOTE_ONS_PER_BLOCK) {
    ++out.unrendered;
    return false;
  }
  ++out.played_in_block;
  return true;
}

// The WAV thread: each message is played after the frames up to its stamp.
void run_wav_output() {
  WavOutput& out = wav_output;
  std::vector<StampedMessage> batch;
  for (;;) {
    // Read before the queue is taken: every message stamped before it is
    // then in the batch.
    int64_t quiet = out.quiet_ns.load(std::memory_order_acquire);
    bool open = queue_take(out.queue, batch, QUIET_INTERVAL_MS);
    for (const StampedMessage& item : batch) {
      if (out.origin_ns < 0) out.origin_ns = item.arrival_ns;
      render_until(out, frame_at(out, item.arrival_ns));
      if (!room_in_block(out, item)) continue;
      bank_play(out.bank, item);
      out.last_ns = item.arrival_ns;
      out.most_behind_ns = std::max(out.most_behind_ns, monotonic_ns() - item.arrival_ns);
    }
    if (!open) break;
    if (out.origin_ns >= 0 && quiet > out.origin_ns) render_until(out, frame_at(out, quiet));
  }
  if (out.origin_ns >= 0) render_until(out, frame_at(out, std::max(out.end_ns, out.last_ns + TAIL_NS)));
}

// The audio driver's callback: plays what came since the last period, then
// renders the period. A burst is spread over several periods rather than
// holding one up for long.
int render_live(void* data, int frames, int, float**, int outputs, float** out) {
  LiveOutput& live = *static_cast<LiveOutput*>(data);
  if (live.next == live.pending.size()) {
    // With every module asleep the period would be silence: the callback
    // waits for a message instead (up to a limit), and the audio server
    // plays silence meanwhile at no cost to the monitor. The first period
    // after the wait starts the stream again at once.
    if (live.may_wait && bank_asleep(live.bank)) queue_take(live.queue, live.pending, LIVE_IDLE_WAIT_MS);
    else queue_take_now(live.queue, live.pending);
    live.next = 0;
  }
  size_t end = std::min(live.pending.size(), live.next + LIVE_MESSAGES_PER_PERIOD);
  for (; live.next < end; ++live.next) bank_play(live.bank, live.pending[live.next]);
  if (outputs < 2) return FLUID_OK;
  std::fill(out[0], out[0] + frames, 0.0f);
  std::fill(out[1], out[1] + frames, 0.0f);
  bank_render(live.bank, frames, out[0], out[1]);
  return FLUID_OK;
}

// Opens the library's audio driver; the audio libraries' own messages on
// standard error are held back meanwhile, so that a failure is one line.
fluid_audio_driver_t* open_audio_driver(LiveOutput& out) {
  int saved = dup(STDERR_FILENO);
  int null_fd = open("/dev/null", O_WRONLY);
  if (saved >= 0 && null_fd >= 0) dup2(null_fd, STDERR_FILENO);
  fluid_audio_driver_t* driver = new_fluid_audio_driver2(out.driver_settings, render_live, &out);
  if (saved >= 0 && null_fd >= 0) dup2(saved, STDERR_FILENO);
  if (saved >= 0) close(saved);
  if (null_fd >= 0) close(null_fd);
  return driver;
}

// Starts the live output through the named or default driver.
bool start_live(const MonitorOptions& options, const std::string& soundfont) {
  LiveOutput& out = live_output;
  if (!make_bank(out.bank, soundfont, options)) return false;
  out.driver_settings = new_fluid_settings();
  if (out.driver_settings == nullptr) {
    std::fputs("songrelay-monitor: cannot set up the audio output\n", stderr);
    return false;
  }
  fluid_settings_setnum(out.driver_settings, "synth.sample-rate", 44100.0);
  fluid_settings_setint(out.driver_settings, "audio.period-size", options.period_frames);
  fluid_settings_setint(out.driver_settings, "audio.periods", LIVE_PERIODS);
  if (!options.audio_driver.empty())
    fluid_settings_setstr(out.driver_settings, "audio.driver", options.audio_driver.c_str());
  char* driver_name = nullptr;
  fluid_settings_dupstr(out.driver_settings, "audio.driver", &driver_name);
  std::string name = driver_name != nullptr ? driver_name : "default";
  fluid_free(driver_name);
  // These drivers call back from a thread of their own that then writes to
  // the device or server; a callback that waits holds up nothing else. A
  // server's process callback (JACK, PipeWire) must never wait.
  out.may_wait = name == "pulseaudio" || name == "alsa" || name == "oss";
  out.driver = open_audio_driver(out);
  if (out.driver == nullptr) {
    std::string reason = last_library_error();
    std::fprintf(stderr,
                 "songrelay-monitor: no audio output through the %s driver%s%s%s; render to a file with --wav FILE\n",
                 name.c_str(), reason.empty() ? "" : " (", reason.c_str(), reason.empty() ? "" : ")");
    return false;
  }
  out.on = true;
  return true;
}

// Starts the WAV render into options.wav_path.
bool start_wav(const MonitorOptions& options, const std::string& soundfont) {
  WavOutput& out = wav_output;
  if (!make_bank(out.bank, soundfont, options)) return false;
  if (wav_open(out.file, options.wav_path) != 0) return false;
  out.thread = std::thread(run_wav_output);
  out.on = true;
  return true;
}

// Frees what the outputs hold; a file still open here belongs to a failed
// start and is removed.
void free_outputs() {
  if (live_output.driver != nullptr) delete_fluid_audio_driver(live_output.driver);
  live_output.driver = nullptr;
  if (live_output.driver_settings != nullptr) delete_fluid_settings(live_output.driver_settings);
  live_output.driver_settings = nullptr;
  free_bank(live_output.bank);
  free_bank(wav_output.bank);
  if (wav_output.file.file != nullptr) {
    wav_close(wav_output.file);
    unlink(wav_output.file.path.c_str());
  }
}

// Ends the live output, if it plays: the driver stops calling render_live,
// which the closed queue no longer lets wait.
void stop_live() {
  if (!live_output.on) return;
  queue_close(live_output.queue);
  delete_fluid_audio_driver(live_output.driver);
  live_output.driver = nullptr;
  live_output.on = false;
}

// Says how far the render went and what it lost, on standard error.
void report_wav(const WavOutput& out) {
  std::fprintf(stderr, "songrelay-monitor: %s: %.3f s rendered; the synthesizer was at most %.1f ms behind\n",
               out.file.path.c_str(), static_cast<double>(out.frames) / WAV_RATE,
               static_cast<double>(out.most_behind_ns) / 1e6);
  uint64_t lost = out.queue.dropped + out.unrendered;
  if (lost > 0)
    std::fprintf(stderr, "songrelay-monitor: %llu messages not rendered (the synthesizer fell behind)\n",
                 static_cast<unsigned long long>(lost));
}

// The header's line about the sound: the SoundFont as named, the file it
// is when that is a link (Debian's default is one), and its presets.
std::string describe_soundfont(const std::string& path, const ModuleBank& bank) {
  std::string line = "songrelay-monitor: SoundFont " + path;
  char real[PATH_MAX];
  if (realpath(path.c_str(), real) != nullptr && path != real) line += std::string(" (") + real + ")";
  return line + ", " + std::to_string(bank_preset_count(bank)) + " presets\n";
}

}  // namespace

bool synth_built_in() { return true; }

int synth_start(const MonitorOptions& options) {
  if (!synth_wanted(options)) return 0;
  capture_library_messages();
  std::string soundfont = options.soundfont.empty() ? find_soundfont(default_soundfonts()) : options.soundfont;
  if (soundfont.empty()) {
    std::fputs(missing_soundfont_line(), stderr);
    return -1;
  }
  // The live output first: it is the one likelier to fail, and then no file
  // is left behind.
  if (options.play && !start_live(options, soundfont)) {
    stop_live();
    free_outputs();
    return -1;
  }
  if (!options.wav_path.empty() && !start_wav(options, soundfont)) {
    stop_live();
    free_outputs();
    return -1;
  }
  soundfont_line = describe_soundfont(soundfont, live_output.on ? live_output.bank : wav_output.bank);
  return 0;
}

void synth_put(int port, int64_t arrival_ns, const DecodedMessage& message) {
  if (wav_output.on) queue_put(wav_output.queue, StampedMessage{arrival_ns, port, message});
  if (live_output.on) queue_put(live_output.queue, StampedMessage{arrival_ns, port, message});
}

void synth_writer_gone(int port, int64_t arrival_ns) {
  StampedMessage item;
  item.arrival_ns = arrival_ns;
  item.port = port;
  item.action = SILENCE_PORT;
  if (wav_output.on) queue_put(wav_output.queue, StampedMessage(item));
  if (live_output.on) queue_put(live_output.queue, std::move(item));
}

std::string synth_header_line() { return soundfont_line; }

void synth_mark_quiet(int64_t now) {
  if (wav_output.on) wav_output.quiet_ns.store(now, std::memory_order_release);
}

int synth_quiet_interval_ms() { return wav_output.on ? QUIET_INTERVAL_MS : -1; }

int synth_finish(int64_t end_ns) {
  int status = 0;
  stop_live();
  if (wav_output.on) {
    {
      std::lock_guard<std::mutex> guard(wav_output.queue.lock);
      wav_output.end_ns = end_ns;
    }
    queue_close(wav_output.queue);
    wav_output.thread.join();
    wav_output.on = false;
    if (wav_close(wav_output.file) != 0) status = -1;
    report_wav(wav_output);
  }
  free_outputs();
  return status;
}
