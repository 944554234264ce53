// The live output: the audio callback, its timing and its driver.
#include "monitor/sound/fluid_live.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/stop_wait.h"
#include "monitor/constants.h"

namespace {

// The library's block: messages take effect at the start of one.
constexpr int BLOCK_FRAMES = 64;
// Periods of the sound card's buffer (ALSA and OSS; PulseAudio keeps one).
constexpr int LIVE_PERIODS = 3;
// The real-time priority asked for the audio thread (the library's own
// default, below the reader's when the reader has one); where the system
// refuses it, the thread plays at normal priority.
constexpr int LIVE_REALTIME_PRIO = 60;
// The longest the callback waits for a message while all is silent.
constexpr int LIVE_IDLE_WAIT_MS = 1000;
// The callback waits only after all has been silent this long: the stream
// restarts after a wait, and the server may then take the sound at another
// latency, so the rests within a song keep the stream running.
constexpr int64_t LIVE_IDLE_AFTER_NS = NS_PER_SECOND;
// The callbacks that show the stream running. The first comes at once; an
// audio server may ask for the next only when its output wakes (a null
// sink idle until then did so 1.4 s later); after that they come at the
// stream's pace.
constexpr int LIVE_RUNNING_CALLBACKS = 3;
// The longest the start waits for them, and how often it looks.
constexpr int LIVE_START_WAIT_MS = 3000;
constexpr int LIVE_START_LOOK_MS = 5;
#if SONGRELAY_PULSE
// Through the own stream the monitor renders this fraction of a period at a
// time, and the server keeps a period and a quarter of a chunk: a message
// waits at most a chunk for its turn, then the server's buffer, which is
// what the machine may hold the monitor up without a gap (about 8 ms, the
// rest being the chunk's render), within a latency of 20 ms at 512 frames.
constexpr int OWN_STREAM_CHUNKS = 2;
constexpr int OWN_STREAM_EXTRA_SHARE = 4;
#endif
// A message is played one period and this much after its arrival. One
// period is the least that keeps the latency constant: a message that
// arrives just after a callback is rendered by the next. The margin covers
// what the period's estimate may rise between two callbacks and the few
// microseconds between a message's stamp and its place in the ring; a
// message later than that still plays, at the start of its period.
constexpr int64_t LIVE_MARGIN_NS = NS_PER_MS / 10;

// Plays port's silence when the library takes it. False while it waits.
bool play_silence(LiveOutput& live, int port) {
  if (bank_admit(live.bank, port, SILENCE_PORT, nullptr, 0) == AFTER_A_BLOCK) return false;
  bank_play(live.bank, port, SILENCE_PORT, nullptr, 0);
  live.silence_due[port] = false;
  return true;
}

// Plays every message due before frame end of the period that starts at
// start_ns, as far as the library takes them before its next block.
void play_due(LiveOutput& live, int64_t start_ns, int end) {
  for (int port = 0; port < BANK_PORTS; ++port)
    if (live.silence_due[port] && !play_silence(live, port)) return;
  for (;;) {
    int port = ring_take_silence(live.ring);
    if (port >= 0) {
      live.silence_due[port] = true;
      if (!play_silence(live, port)) return;
      continue;
    }
    const uint8_t* bytes = nullptr;
    size_t length = 0;
    const SynthItem* item = ring_peek(live.ring, live.sysex, &bytes, &length);
    if (item == nullptr) return;
    // A message already late plays at once; a later one waits for its block.
    int64_t due_ns = item->arrival_ns + live.latency_ns - start_ns;
    if (due_ns > 0 && ns_to_frames(due_ns) >= end) return;
    StampedAction action = static_cast<StampedAction>(item->action);
    Admission admission = bank_admit(live.bank, item->port, action, bytes, length);
    if (admission == AFTER_A_BLOCK) return;
    if (admission == ADMIT) bank_play(live.bank, item->port, action, bytes, length);
    else ++live.unplayed;
    ring_pop(live.ring);
  }
}

// Whether nothing sounds and nothing waits to be played.
bool all_silent(LiveOutput& live) {
  for (bool due : live.silence_due)
    if (due) return false;
  return bank_asleep(live.bank) &&
         live.ring.written.load(std::memory_order_seq_cst) == live.ring.taken.load(std::memory_order_relaxed);
}

// With every module asleep the period would be silence: once that has
// lasted, the callback waits for the reader's doorbell instead (up to a
// limit), and the audio server plays silence meanwhile at no cost to the
// monitor. It waits on nothing the reader holds: the reader only writes a
// byte when it finds the bell set. The stream then starts again, and its
// clock with it.
void wait_while_silent(LiveOutput& live, int frames) {
  if (!live.may_wait) return;
  if (!all_silent(live)) {
    live.silent_ns = 0;
    return;
  }
  if (live.silent_ns < LIVE_IDLE_AFTER_NS) {
    live.silent_ns += frames_to_ns(frames);
    return;
  }
  live.waiting.store(true, std::memory_order_seq_cst);
  if (all_silent(live)) {
    pollfd bell = {live.bell[0], POLLIN, 0};
    poll(&bell, 1, LIVE_IDLE_WAIT_MS);
  }
  live.waiting.store(false, std::memory_order_relaxed);
  char bytes[16];
  while (read(live.bell[0], bytes, sizeof bytes) > 0) {
  }
}

// Counts the callback, up to the few that show the stream running, and
// waits while all is silent.
void begin_period(LiveOutput& live, int frames) {
  if (live.callbacks.load(std::memory_order_relaxed) < LIVE_RUNNING_CALLBACKS)
    live.callbacks.fetch_add(1, std::memory_order_relaxed);
  wait_while_silent(live, frames);
}

// Renders frames whose first is placed at start_ns, block by block, each
// block after the messages due in it.
void render_blocks(LiveOutput& live, int64_t start_ns, int frames, float* left, float* right) {
  std::fill(left, left + frames, 0.0f);
  std::fill(right, right + frames, 0.0f);
  for (int done = 0; done < frames; done += BLOCK_FRAMES) {
    int count = std::min(BLOCK_FRAMES, frames - done);
    play_due(live, start_ns, done + count);
    bank_render(live.bank, count, left + done, right + done);
  }
}

// The audio driver's callback: places the period on the monotonic clock,
// then renders it.
int render_live(void* data, int frames, int, float**, int outputs, float** out) {
  LiveOutput& live = *static_cast<LiveOutput*>(data);
  begin_period(live, frames);
  int64_t start_ns = stream_period_start(live.clock, monotonic_ns(), frames);
  if (outputs < 2) play_due(live, start_ns, frames);
  else render_blocks(live, start_ns, frames, out[0], out[1]);
  return FLUID_OK;
}

#if SONGRELAY_PULSE
// The own stream's two steps of a chunk.
void begin_chunk(void* data, int frames) { begin_period(*static_cast<LiveOutput*>(data), frames); }
void render_chunk(void* data, int64_t sound_ns, int frames, float* left, float* right) {
  render_blocks(*static_cast<LiveOutput*>(data), sound_ns, frames, left, right);
}
#endif

// Opens the library's audio driver; the audio libraries' own messages on
// standard error are held back meanwhile, so that a failure is one line.
fluid_audio_driver_t* open_audio_driver(LiveOutput& live) {
  int saved = dup(STDERR_FILENO);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null_fd >= 0) dup2(null_fd, STDERR_FILENO);
  fluid_audio_driver_t* driver = new_fluid_audio_driver2(live.driver_settings, render_live, &live);
  if (saved >= 0 && null_fd >= 0) dup2(saved, STDERR_FILENO);
  if (saved >= 0) close(saved);
  if (null_fd >= 0) close(null_fd);
  return driver;
}

// Opens the output: the own stream for the pulseaudio driver where the
// monitor has one, the library's driver otherwise; sets the latency. False
// with the reason, when there is one.
bool open_output(LiveOutput& live, const MonitorOptions& options, std::string* reason) {
#if SONGRELAY_PULSE
  if (live.driver_name == "pulseaudio") {
    int chunk = std::max(BLOCK_FRAMES, options.period_frames / OWN_STREAM_CHUNKS);
    int buffer = options.period_frames + chunk / OWN_STREAM_EXTRA_SHARE;
    live.latency_ns = frames_to_ns(chunk) + frames_to_ns(buffer) + PULSE_LATENCY_SLACK_NS;
    live.own_stream = pulse_stream_start(live.pulse, buffer, chunk, LIVE_REALTIME_PRIO, begin_chunk, render_chunk,
                                         &live, reason);
    return live.own_stream;
  }
#endif
  live.latency_ns = frames_to_ns(options.period_frames) + LIVE_MARGIN_NS;
  live.driver = open_audio_driver(live);
  if (live.driver == nullptr) *reason = last_library_error();
  return live.driver != nullptr;
}

// Waits until the stream runs at its pace, up to a limit, or a stop.
void wait_for_stream(LiveOutput& live) {
  int64_t deadline = monotonic_ms() + LIVE_START_WAIT_MS;
  while (live.callbacks.load(std::memory_order_relaxed) < LIVE_RUNNING_CALLBACKS && monotonic_ms() < deadline)
    if (wait_beside_stop(nullptr, 0, LIVE_START_LOOK_MS, ENDS_ON_STOP) == WAIT_STOP) return;
}

}  // namespace

bool live_start(LiveOutput& live, const MonitorOptions& options, const std::string& soundfont) {
  if (!make_bank(live.bank, soundfont, options)) return false;
  live.driver_settings = new_fluid_settings();
  if (live.driver_settings == nullptr) {
    std::fputs("songrelay-monitor: cannot set up the audio output\n", stderr);
    return false;
  }
  fluid_settings_setnum(live.driver_settings, "synth.sample-rate", SAMPLE_RATE);
  fluid_settings_setint(live.driver_settings, "audio.period-size", options.period_frames);
  fluid_settings_setint(live.driver_settings, "audio.periods", LIVE_PERIODS);
  fluid_settings_setint(live.driver_settings, "audio.realtime-prio", LIVE_REALTIME_PRIO);
  if (!options.audio_driver.empty())
    fluid_settings_setstr(live.driver_settings, "audio.driver", options.audio_driver.c_str());
  char* driver_name = nullptr;
  fluid_settings_dupstr(live.driver_settings, "audio.driver", &driver_name);
  live.driver_name = driver_name != nullptr ? driver_name : "default";
  fluid_free(driver_name);
  // These drivers call back from a thread of their own that then writes to
  // the device or server; a callback that waits holds up nothing else. A
  // server's process callback (JACK, PipeWire) must never wait.
  live.may_wait = live.driver_name == "pulseaudio" || live.driver_name == "alsa" || live.driver_name == "oss";
  if (live.may_wait && pipe(live.bell) != 0) live.may_wait = false;
  for (int fd : live.bell) {
    if (fd < 0) continue;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  std::string reason;
  if (!open_output(live, options, &reason)) {
    std::fprintf(stderr,
                 "songrelay-monitor: no audio output through the %s driver%s%s%s; render to a file with --wav FILE\n",
                 live.driver_name.c_str(), reason.empty() ? "" : " (", reason.c_str(), reason.empty() ? "" : ")");
    return false;
  }
  live.on = true;
  wait_for_stream(live);
  return true;
}

void live_put(LiveOutput& live, int port, int64_t arrival_ns, StampedAction action, const uint8_t* bytes,
              size_t length) {
  ring_put(live.ring, port, arrival_ns, action, bytes, length);
  if (live.waiting.load(std::memory_order_seq_cst) && live.waiting.exchange(false, std::memory_order_seq_cst)) {
    ssize_t ignored = write(live.bell[1], "x", 1);
    (void)ignored;
  }
}

std::string live_line(const LiveOutput& live) {
  // Rounded up: the sound is never sooner than said.
  int64_t ms = (live.latency_ns + NS_PER_MS - 1) / NS_PER_MS;
  return "songrelay-monitor: playing live through " + live.driver_name + ", latency " + std::to_string(ms) + " ms\n";
}

void live_stop(LiveOutput& live) {
  if (!live.on) return;
  // A callback resting while all is silent wakes to end.
  if (live.bell[1] >= 0) {
    ssize_t ignored = write(live.bell[1], "x", 1);
    (void)ignored;
  }
#if SONGRELAY_PULSE
  if (live.own_stream) pulse_stream_stop(live.pulse);
#endif
  if (live.driver != nullptr) delete_fluid_audio_driver(live.driver);
  live.driver = nullptr;
  live.on = false;
  uint64_t lost = live.ring.dropped + live.unplayed;
  if (lost > 0)
    std::fprintf(stderr, "songrelay-monitor: %llu messages not played live (the synthesizer fell behind)\n",
                 static_cast<unsigned long long>(lost));
}

void live_free(LiveOutput& live) {
#if SONGRELAY_PULSE
  pulse_stream_stop(live.pulse);
#endif
  if (live.driver != nullptr) delete_fluid_audio_driver(live.driver);
  live.driver = nullptr;
  if (live.driver_settings != nullptr) delete_fluid_settings(live.driver_settings);
  live.driver_settings = nullptr;
  free_bank(live.bank);
  for (int& fd : live.bell) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}
