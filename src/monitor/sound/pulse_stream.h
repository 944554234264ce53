// The live output's own stream to a PulseAudio server, used for the
// pulseaudio driver where the monitor is built with the server's client
// library. The library's driver of that name does not say where its stream
// stands, so its callbacks can only guess when their sound will be heard;
// this stream asks the server before each chunk, with a fresh answer, when
// the chunk's first frame will sound, and the messages are placed against
// that.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

// Called before each chunk: may wait while all is silent (see fluid_live).
using ChunkWait = void (*)(void* data, int frames);
// Renders frames into left and right; the first frame sounds at sound_ns
// on the monotonic clock.
using ChunkRender = void (*)(void* data, int64_t sound_ns, int frames, float* left, float* right);

// One stream and the thread that feeds it.
struct PulseStream {
  // The client library's loop, which runs the server's side of the stream
  // in a thread of its own; the two threads take its lock in turn.
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  pthread_t thread{};
  bool started = false;  // the thread runs until stopped
  // Set by the thread that stops the stream (under the loop's lock, with a
  // signal that wakes a wait there), read by the stream's own thread at each
  // chunk and each wait; release and acquire order the chunk it ends after.
  std::atomic<bool> ending{false};
  ChunkWait wait = nullptr;
  ChunkRender render = nullptr;
  void* data = nullptr;
  int chunk_frames = 0;
  std::vector<float> left, right, interleaved;  // sized at the start: the render allocates nothing
};

// The most that the time until a chunk's first frame sounds exceeds the
// server's buffer, as this server keeps it (its sink's own share of the
// buffer included).
constexpr int64_t PULSE_LATENCY_SLACK_NS = 500000;

// Connects to the default server with a buffer of buffer_frames (stereo,
// 32-bit float, 44.1 kHz) and starts the thread that renders chunk_frames at
// a time, at the real-time priority asked for where the system allows it.
// False, with the server's reason, when it cannot connect.
bool pulse_stream_start(PulseStream& stream, int buffer_frames, int chunk_frames, int realtime_prio, ChunkWait wait,
                        ChunkRender render, void* data, std::string* reason);

// Ends the thread after its chunk (the caller ends a wait in ChunkWait
// first) and closes the stream.
void pulse_stream_stop(PulseStream& stream);
