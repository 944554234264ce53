// Synthesis through the library: a WAV render in step with the arrival
// stamps, in a thread of its own behind a queue, and a live output behind a
// ring, so that the reader of the nodes never waits for either.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "base/clock.h"
#include "monitor/constants.h"
#include "monitor/sound/fluid_bank.h"
#include "monitor/sound/fluid_live.h"
#include "monitor/sound/soundfont.h"
#include "monitor/sound/synth.h"
#include "monitor/sound/wav_file.h"

namespace {

// The file goes on this long past the last message, so that its notes can
// ring out even when the run ends at once.
constexpr int64_t TAIL_NS = NS_PER_SECOND;
constexpr int RENDER_FRAMES = 1024;
// How often the file catches up with the clock while the nodes are quiet, so
// that a long rest is rendered as it passes, not all at once after it.
constexpr int QUIET_INTERVAL_MS = 50;
// The library's block, in frames.
constexpr uint64_t LIBRARY_BLOCK = 64;

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
  uint64_t unrendered = 0;            // note-ons beyond what the library takes in one block
};

WavOutput wav_output;
LiveOutput live_output;
// Said in the header: the SoundFont and its number of presets.
std::string soundfont_line;

// The frame at which a moment after the first message falls, rounded down.
uint64_t frame_at(const WavOutput& out, int64_t ns) {
  int64_t since = std::max<int64_t>(0, ns - out.origin_ns);
  return static_cast<uint64_t>(ns_to_frames(since));
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
      const std::vector<uint8_t>& bytes = item.message.bytes;
      Admission admission;
      // A message the library cannot take now waits a block; the module
      // that refuses it has sounded since its last block, so it renders.
      while ((admission = bank_admit(out.bank, item.port, item.action, bytes.data(), bytes.size())) == AFTER_A_BLOCK)
        render_until(out, out.frames + LIBRARY_BLOCK);
      if (admission == DROP) {
        ++out.unrendered;
        continue;
      }
      bank_play(out.bank, item.port, item.action, bytes.data(), bytes.size());
      out.last_ns = item.arrival_ns;
      out.most_behind_ns = std::max(out.most_behind_ns, monotonic_ns() - item.arrival_ns);
    }
    if (!open) break;
    if (out.origin_ns >= 0 && quiet > out.origin_ns) render_until(out, frame_at(out, quiet));
  }
  if (out.origin_ns >= 0) render_until(out, frame_at(out, std::max(out.end_ns, out.last_ns + TAIL_NS)));
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
  live_free(live_output);
  free_bank(wav_output.bank);
  if (wav_output.file.file != nullptr) {
    wav_close(wav_output.file);
    unlink(wav_output.file.path.c_str());
  }
}

// Says how far the render went and what it lost, on standard error.
void report_wav(const WavOutput& out) {
  std::fprintf(stderr, "songrelay-monitor: %s: %.3f s rendered; the synthesizer was at most %.1f ms behind\n",
               out.file.path.c_str(), static_cast<double>(out.frames) / SAMPLE_RATE,
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
  if (options.play && !live_start(live_output, options, soundfont)) {
    live_stop(live_output);
    free_outputs();
    return -1;
  }
  if (!options.wav_path.empty() && !start_wav(options, soundfont)) {
    live_stop(live_output);
    free_outputs();
    return -1;
  }
  soundfont_line = describe_soundfont(soundfont, live_output.on ? live_output.bank : wav_output.bank);
  if (live_output.on) soundfont_line += live_line(live_output);
  return 0;
}

void synth_put(int port, int64_t arrival_ns, const DecodedMessage& message) {
  // Fragments and stray bytes play nothing.
  if (message.kind != MSG_COMPLETE && message.kind != MSG_RUNNING) return;
  if (live_output.on) live_put(live_output, port, arrival_ns, PLAY_MESSAGE, message.bytes.data(), message.bytes.size());
  if (wav_output.on) queue_put(wav_output.queue, StampedMessage{arrival_ns, port, message});
}

void synth_writer_gone(int port, int64_t arrival_ns) {
  StampedMessage item;
  item.arrival_ns = arrival_ns;
  item.port = port;
  item.action = SILENCE_PORT;
  if (live_output.on) live_put(live_output, port, arrival_ns, SILENCE_PORT, nullptr, 0);
  if (wav_output.on) queue_put(wav_output.queue, std::move(item));
}

std::string synth_header_line() { return soundfont_line; }

void synth_mark_quiet(int64_t now) {
  if (wav_output.on) wav_output.quiet_ns.store(now, std::memory_order_release);
}

int synth_quiet_interval_ms() { return wav_output.on ? QUIET_INTERVAL_MS : -1; }

int synth_finish(int64_t end_ns) {
  int status = 0;
  live_stop(live_output);
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
