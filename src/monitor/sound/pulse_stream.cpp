// The live output's own PulseAudio stream and its thread.
#include "monitor/sound/pulse_stream.h"

#include <algorithm>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <sched.h>

#include "base/clock.h"
#include "monitor/constants.h"

namespace {

// Wakes whichever thread waits on the server's loop: a state changed, the
// server asked for data, or an answer came.
void wake(void* data) { pa_threaded_mainloop_signal(static_cast<PulseStream*>(data)->loop, 0); }
void on_context(pa_context*, void* data) { wake(data); }
void on_stream(pa_stream*, void* data) { wake(data); }
void on_request(pa_stream*, size_t, void* data) { wake(data); }
void on_answer(pa_stream*, int, void* data) { wake(data); }

// Whether the stream can still play. Under the loop's lock.
bool stream_good(PulseStream& stream) { return PA_STREAM_IS_GOOD(pa_stream_get_state(stream.stream)); }

// Asks the server where the stream stands and waits for the answer, so that
// the latency that follows is the server's own, not one carried forward
// from an older answer across a gap. Under the loop's lock.
void refresh_timing(PulseStream& stream) {
  pa_operation* asked = pa_stream_update_timing_info(stream.stream, on_answer, &stream);
  if (asked == nullptr) return;
  while (pa_operation_get_state(asked) == PA_OPERATION_RUNNING && stream_good(stream) &&
         !stream.ending.load(std::memory_order_acquire))
    pa_threaded_mainloop_wait(stream.loop);
  pa_operation_unref(asked);
}

// When the next frame written will sound, on the monotonic clock. Under the
// loop's lock.
int64_t next_frame_sounds_at(PulseStream& stream) {
  refresh_timing(stream);
  pa_usec_t latency = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream.stream, &latency, &negative) < 0 || negative) latency = 0;
  return monotonic_ns() + static_cast<int64_t>(latency) * 1000;
}

// Writes the chunk as the server makes room for it. False when the stream
// failed or the output ends. Under the loop's lock.
bool write_chunk(PulseStream& stream) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(stream.interleaved.data());
  size_t total = stream.interleaved.size() * sizeof(float);
  size_t done = 0;
  while (done < total) {
    if (stream.ending.load(std::memory_order_acquire) || !stream_good(stream)) return false;
    size_t room = pa_stream_writable_size(stream.stream);
    if (room == static_cast<size_t>(-1)) return false;
    if (room == 0) {
      pa_threaded_mainloop_wait(stream.loop);
      continue;
    }
    size_t count = std::min(room, total - done);
    if (pa_stream_write(stream.stream, bytes + done, count, nullptr, 0, PA_SEEK_RELATIVE) < 0) return false;
    done += count;
  }
  return true;
}

// Feeds the server chunk by chunk: the wait while silent, then the server's
// word on when the next frame sounds, then the chunk, rendered without the
// loop's lock and written as the server makes room, which paces the thread.
void* feed_stream(void* arg) {
  PulseStream& stream = *static_cast<PulseStream*>(arg);
  while (!stream.ending.load(std::memory_order_acquire)) {
    stream.wait(stream.data, stream.chunk_frames);
    pa_threaded_mainloop_lock(stream.loop);
    int64_t sound_ns = next_frame_sounds_at(stream);
    pa_threaded_mainloop_unlock(stream.loop);
    stream.render(stream.data, sound_ns, stream.chunk_frames, stream.left.data(), stream.right.data());
    for (size_t i = 0; i < stream.left.size(); ++i) {
      stream.interleaved[2 * i] = stream.left[i];
      stream.interleaved[2 * i + 1] = stream.right[i];
    }
    pa_threaded_mainloop_lock(stream.loop);
    bool written = write_chunk(stream);
    pa_threaded_mainloop_unlock(stream.loop);
    // A server gone ends the sound, not the monitor: its lines and file go on.
    if (!written) break;
  }
  return nullptr;
}

// Waits until the context is ready; false, with the server's reason, when
// it failed. Under the loop's lock.
bool context_ready(PulseStream& stream, std::string* reason) {
  for (;;) {
    pa_context_state_t state = pa_context_get_state(stream.context);
    if (state == PA_CONTEXT_READY) return true;
    if (!PA_CONTEXT_IS_GOOD(state)) {
      *reason = pa_strerror(pa_context_errno(stream.context));
      return false;
    }
    pa_threaded_mainloop_wait(stream.loop);
  }
}

// Waits until the stream is ready; as context_ready.
bool stream_ready(PulseStream& stream, std::string* reason) {
  for (;;) {
    pa_stream_state_t state = pa_stream_get_state(stream.stream);
    if (state == PA_STREAM_READY) return true;
    if (!PA_STREAM_IS_GOOD(state)) {
      *reason = pa_strerror(pa_context_errno(stream.context));
      return false;
    }
    pa_threaded_mainloop_wait(stream.loop);
  }
}

// Connects to the default server and opens the stream, keeping
// buffer_frames queued. Under the loop's lock, the loop running.
bool connect_stream(PulseStream& stream, int buffer_frames, std::string* reason) {
  stream.context = pa_context_new(pa_threaded_mainloop_get_api(stream.loop), "songrelay-monitor");
  if (stream.context == nullptr) {
    *reason = "cannot make a client";
    return false;
  }
  pa_context_set_state_callback(stream.context, on_context, &stream);
  if (pa_context_connect(stream.context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0 || !context_ready(stream, reason)) {
    if (reason->empty()) *reason = pa_strerror(pa_context_errno(stream.context));
    return false;
  }
  pa_sample_spec format = {PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(SAMPLE_RATE), 2};
  stream.stream = pa_stream_new(stream.context, "live", &format, nullptr);
  if (stream.stream == nullptr) {
    *reason = pa_strerror(pa_context_errno(stream.context));
    return false;
  }
  pa_stream_set_state_callback(stream.stream, on_stream, &stream);
  pa_stream_set_write_callback(stream.stream, on_request, &stream);
  uint32_t frame_bytes = 2 * sizeof(float);
  // The server keeps buffer_frames queued and asks for more as it plays.
  pa_buffer_attr attributes = {static_cast<uint32_t>(-1), static_cast<uint32_t>(buffer_frames) * frame_bytes,
                               static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1)};
  pa_stream_flags_t flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_ADJUST_LATENCY |
                                                           PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_playback(stream.stream, nullptr, &attributes, flags, nullptr, nullptr) < 0) {
    *reason = pa_strerror(pa_context_errno(stream.context));
    return false;
  }
  return stream_ready(stream, reason);
}

// Closes what connect_stream opened and ends the loop.
void close_server(PulseStream& stream) {
  if (stream.loop == nullptr) return;
  pa_threaded_mainloop_lock(stream.loop);
  if (stream.stream != nullptr) {
    pa_stream_disconnect(stream.stream);
    pa_stream_unref(stream.stream);
  }
  if (stream.context != nullptr) {
    pa_context_disconnect(stream.context);
    pa_context_unref(stream.context);
  }
  pa_threaded_mainloop_unlock(stream.loop);
  pa_threaded_mainloop_stop(stream.loop);
  pa_threaded_mainloop_free(stream.loop);
  stream.stream = nullptr;
  stream.context = nullptr;
  stream.loop = nullptr;
}

}  // namespace

bool pulse_stream_start(PulseStream& stream, int buffer_frames, int chunk_frames, int realtime_prio, ChunkWait wait,
                        ChunkRender render, void* data, std::string* reason) {
  stream.loop = pa_threaded_mainloop_new();
  if (stream.loop == nullptr || pa_threaded_mainloop_start(stream.loop) < 0) {
    *reason = "cannot start the client's loop";
    if (stream.loop != nullptr) pa_threaded_mainloop_free(stream.loop);
    stream.loop = nullptr;
    return false;
  }
  pa_threaded_mainloop_lock(stream.loop);
  bool connected = connect_stream(stream, buffer_frames, reason);
  pa_threaded_mainloop_unlock(stream.loop);
  if (!connected) {
    close_server(stream);
    return false;
  }
  stream.wait = wait;
  stream.render = render;
  stream.data = data;
  stream.chunk_frames = chunk_frames;
  stream.left.assign(static_cast<size_t>(chunk_frames), 0.0f);
  stream.right.assign(static_cast<size_t>(chunk_frames), 0.0f);
  stream.interleaved.assign(2 * static_cast<size_t>(chunk_frames), 0.0f);
  stream.ending.store(false, std::memory_order_relaxed);
  if (pthread_create(&stream.thread, nullptr, feed_stream, &stream) != 0) {
    *reason = "cannot start its thread";
    close_server(stream);
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
    // The thread may wait on the loop for room or an answer: wake it there.
    pa_threaded_mainloop_lock(stream.loop);
    stream.ending.store(true, std::memory_order_release);
    pa_threaded_mainloop_signal(stream.loop, 0);
    pa_threaded_mainloop_unlock(stream.loop);
    pthread_join(stream.thread, nullptr);
    stream.started = false;
  }
  close_server(stream);
}
