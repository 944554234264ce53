// A PulseAudio server of a test's own: a null sink, in a private runtime
// directory and home, started and ended with the fixture, whose sound is
// recorded from the sink's monitor source.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "support/support.h"

// One private server and its recorder.
struct AudioServer {
  TempDir dir;
  pid_t server = -1;
  pid_t recorder = -1;
  std::string recording = dir.file("recording.wav");
  AudioServer() = default;
  AudioServer(const AudioServer&) = delete;
  AudioServer& operator=(const AudioServer&) = delete;
  ~AudioServer();
};

// Why no private server can run here (its programs are missing), or an
// empty text.
std::string audio_server_missing();

// The environment entries that point a client at the server.
std::vector<std::string> audio_server_env(const AudioServer& audio);

// Starts the server and waits until it answers. An empty text, or what failed.
std::string start_audio_server(AudioServer& audio);

// Starts recording the null sink into audio.recording (16-bit stereo 44.1 kHz WAV).
std::string start_recording(AudioServer& audio);

// Ends the recording so that its file is whole. False when it did not end.
bool stop_recording(AudioServer& audio);
