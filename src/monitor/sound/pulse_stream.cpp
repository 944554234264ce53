// The live output's own PulseAudio stream and its thread.
#include "monitor/sound/pulse_stream.h"

#include <pulse/error.h>
#include <pulse/simple.h>
#include <sched.h>

#include "base/clock.h"
#include "monitor/constants.h"

namespace {

// Feeds the server chunk by chunk: the wait while silent, then the server's
// word on when the next frame sounds, then the chunk. The write blocks
// while the server's buffer is full, which paces the thread.
void* feed_stream(void* arg) {
  PulseStream& stream = *static_cast<PulseStream*>(arg);
  size_t bytes = stream.interleaved.size() * sizeof(float);
  while (!stream.ending.load(std::memory_order_acquire)) {
    stream.wait(stream.data, stream.chunk_frames);
    int error = 0;
    pa_usec_t latency = pa_simple_get_latency(stream.server, &error);
    int64_t now = monotonic_ns();
    if (latency == static_cast<pa_usec_t>(-1)) latency = 0;
    stream.render(stream.data, now + static_cast<int64_t>(latency) * 1000, stream.chunk_frames, stream.left.data(),
                  stream.right.data());
    for (int i = 0; i < stream.chunk_frames; ++i) {
      stream.interleaved[2 * static_cast<size_t>(i)] = stream.left[static_cast<size_t>(i)];
      stream.interleaved[2 * static_cast<size_t>(i) + 1] = stream.right[static_cast<size_t>(i)];
    }
    // A server gone ends the sound, not the monitor: its lines and file go on.
    if (pa_simple_write(stream.server, stream.interleaved.data(), bytes, &error) < 0) break;
  }
  return nullptr;
}

}  // namespace

bool pulse_stream_start(PulseStream& stream, int buffer_frames, int chunk_frames, int realtime_prio, ChunkWait wait,
                        ChunkRender render, void* data, std::string* reason) {
  pa_sample_spec spec = {PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(SAMPLE_RATE), 2};
  uint32_t frame_bytes = 2 * sizeof(float);
  // The server keeps buffer_frames queued and asks for more as it plays.
  pa_buffer_attr attributes = {static_cast<uint32_t>(-1), static_cast<uint32_t>(buffer_frames) * frame_bytes,
                               static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1)};
  int error = 0;
  stream.server = pa_simple_new(nullptr, "songrelay-monitor", PA_STREAM_PLAYBACK, nullptr, "live", &spec, nullptr,
                                &attributes, &error);
  if (stream.server == nullptr) {
    *reason = pa_strerror(error);
    return false;
  }
  stream.wait = wait;
  stream.render = render;
  stream.data = data;
  stream.buffer_frames = buffer_frames;
  stream.chunk_frames = chunk_frames;
  stream.left.assign(static_cast<size_t>(chunk_frames), 0.0f);
  stream.right.assign(static_cast<size_t>(chunk_frames), 0.0f);
  stream.interleaved.assign(2 * static_cast<size_t>(chunk_frames), 0.0f);
  stream.ending.store(false, std::memory_order_relaxed);
  if (pthread_create(&stream.thread, nullptr, feed_stream, &stream) != 0) {
    *reason = "cannot start its thread";
    pa_simple_free(stream.server);
    stream.server = nullptr;
    return false;
  }
  stream.started = true;
  // Refused without the right to it: the thread then plays at normal priority.
  sched_param priority = {};
  priority.sched_priority = realtime_prio;
  pthread_setschedparam(stream.thread, SCHED_FIFO, &priority);
  return true;
}

void pulse_stream_stop(PulseStream& stream) {
  if (stream.started) {
    stream.ending.store(true, std::memory_order_release);
    pthread_join(stream.thread, nullptr);
    stream.started = false;
  }
  if (stream.server != nullptr) pa_simple_free(stream.server);
  stream.server = nullptr;
}
