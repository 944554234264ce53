// Synthesis through the library: a WAV render in step with the arrival
// stamps and a live output, each in a thread of its own behind a queue, so
// that the reader of the nodes never waits for either.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "fluid_module.h"
#include "soundfont.h"
#include "synth.h"
#include "wav_file.h"

namespace {

constexpr int64_t NS_PER_SECOND = 1000000000;
// The file goes on this long past the last message, so that its notes can
// ring out even when the run ends at once.
constexpr int64_t TAIL_NS = NS_PER_SECOND;
constexpr int RENDER_FRAMES = 1024;
// How often the file catches up with the clock while the nodes are quiet, so
// that a long rest is rendered as it passes, not all at once after it.
constexpr int QUIET_INTERVAL_MS = 50;

// The WAV render: a synthesizer advanced by exactly the frames between one
// arrival stamp and the next.
struct WavOutput {
  bool on = false;
  FluidModule module;
  WavFile file;
  SynthQueue queue;
  std::thread thread;
  int64_t origin_ns = -1;             // stamp of the first message: frame 0
  int64_t last_ns = -1;               // stamp of the latest message
  int64_t end_ns = 0;                 // the run's end, set before the queue closes
  uint64_t frames = 0;                // frames rendered so far
  int64_t most_behind_ns = 0;         // the longest a message waited to be played
  std::atomic<int64_t> quiet_ns{-1};  // no message stamped before this is still to come
};

// The live output: a synthesizer that the library's audio driver renders.
struct LiveOutput {
  bool on = false;
  FluidModule module;
  fluid_audio_driver_t* driver = nullptr;
  SynthQueue queue;
  std::thread thread;
};

WavOutput wav_output;
LiveOutput live_output;

// The monotonic clock in nanoseconds.
int64_t now_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * NS_PER_SECOND + now.tv_nsec;
}

// The frame at which a moment after the first message falls, rounded down.
uint64_t frame_at(const WavOutput& out, int64_t ns) {
  int64_t since = std::max<int64_t>(0, ns - out.origin_ns);
  return static_cast<uint64_t>(since / NS_PER_SECOND) * WAV_RATE +
         static_cast<uint64_t>(since % NS_PER_SECOND * WAV_RATE / NS_PER_SECOND);
}

// Renders the synthesizer up to frame target into the file.
void render_until(WavOutput& out, uint64_t target) {
  int16_t samples[RENDER_FRAMES * WAV_CHANNELS];
  while (out.frames < target) {
    int count = static_cast<int>(std::min<uint64_t>(RENDER_FRAMES, target - out.frames));
    fluid_synth_write_s16(out.module.synth, count, samples, 0, 2, samples, 1, 2);
    out.frames += static_cast<uint64_t>(count);
    // A file that cannot take more still lets the synthesizer go on.
    wav_append(out.file, samples, static_cast<size_t>(count));
  }
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
      play_message(out.module, item);
      out.last_ns = item.arrival_ns;
      out.most_behind_ns = std::max(out.most_behind_ns, now_ns() - item.arrival_ns);
    }
    if (!open) break;
    if (out.origin_ns >= 0 && quiet > out.origin_ns) render_until(out, frame_at(out, quiet));
  }
  if (out.origin_ns >= 0) render_until(out, frame_at(out, std::max(out.end_ns, out.last_ns + TAIL_NS)));
}

// The live thread: each message is played as soon as it comes.
void run_live_output() {
  std::vector<StampedMessage> batch;
  while (queue_take(live_output.queue, batch))
    for (const StampedMessage& item : batch) play_message(live_output.module, item);
}

// Opens the library's audio driver; the audio libraries' own messages on
// standard error are held back meanwhile, so that a failure is one line.
fluid_audio_driver_t* open_audio_driver(FluidModule& module) {
  int saved = dup(STDERR_FILENO);
  int null_fd = open("/dev/null", O_WRONLY);
  if (saved >= 0 && null_fd >= 0) dup2(null_fd, STDERR_FILENO);
  fluid_audio_driver_t* driver = new_fluid_audio_driver(module.settings, module.synth);
  if (saved >= 0 && null_fd >= 0) dup2(saved, STDERR_FILENO);
  if (saved >= 0) close(saved);
  if (null_fd >= 0) close(null_fd);
  return driver;
}

// Starts the live output through the named or default driver.
bool start_live(const MonitorOptions& options, const std::string& soundfont) {
  LiveOutput& out = live_output;
  if (!make_module_settings(out.module, true)) return false;
  if (!options.audio_driver.empty())
    fluid_settings_setstr(out.module.settings, "audio.driver", options.audio_driver.c_str());
  if (!make_module_synth(out.module, soundfont)) return false;
  char* driver_name = nullptr;
  fluid_settings_dupstr(out.module.settings, "audio.driver", &driver_name);
  std::string name = driver_name != nullptr ? driver_name : "default";
  fluid_free(driver_name);
  out.driver = open_audio_driver(out.module);
  if (out.driver == nullptr) {
    std::string reason = last_library_error();
    std::fprintf(stderr,
                 "songrelay-monitor: no audio output through the %s driver%s%s%s; render to a file with --wav FILE\n",
                 name.c_str(), reason.empty() ? "" : " (", reason.c_str(), reason.empty() ? "" : ")");
    return false;
  }
  out.thread = std::thread(run_live_output);
  out.on = true;
  return true;
}

// Starts the WAV render into options.wav_path.
bool start_wav(const MonitorOptions& options, const std::string& soundfont) {
  WavOutput& out = wav_output;
  if (!make_module_settings(out.module, false) || !make_module_synth(out.module, soundfont)) return false;
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
  free_module(live_output.module);
  free_module(wav_output.module);
  if (wav_output.file.file != nullptr) {
    wav_close(wav_output.file);
    unlink(wav_output.file.path.c_str());
  }
}

// Ends the live thread, if it runs.
void stop_live() {
  if (!live_output.on) return;
  queue_close(live_output.queue);
  live_output.thread.join();
  live_output.on = false;
}

// Says how far the render went and what it lost, on standard error.
void report_wav(const WavOutput& out) {
  std::fprintf(stderr, "songrelay-monitor: %s: %.3f s rendered; the synthesizer was at most %.1f ms behind\n",
               out.file.path.c_str(), static_cast<double>(out.frames) / WAV_RATE,
               static_cast<double>(out.most_behind_ns) / 1e6);
  if (out.queue.dropped > 0)
    std::fprintf(stderr, "songrelay-monitor: %llu messages not rendered (the synthesizer fell behind)\n",
                 static_cast<unsigned long long>(out.queue.dropped));
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
  return 0;
}

void synth_put(int port, int64_t arrival_ns, const DecodedMessage& message) {
  if (wav_output.on) queue_put(wav_output.queue, StampedMessage{arrival_ns, port, message});
  if (live_output.on) queue_put(live_output.queue, StampedMessage{arrival_ns, port, message});
}

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
