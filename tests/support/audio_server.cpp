// The private PulseAudio server of the live tests.
#include "support/audio_server.h"

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <thread>

namespace {

// The path of a program found on the PATH, or an empty text.
std::string which(const std::string& program) {
  ProcessResult found = run_process("/bin/sh", {"/bin/sh", "-c", "command -v \"$0\"", program});
  std::string path = found.exit_status == 0 ? found.out : "";
  while (!path.empty() && path.back() == '\n') path.pop_back();
  return path;
}

// Ends a child with a signal and reaps it.
void end_child(pid_t& pid, int signal_number) {
  if (pid <= 0) return;
  kill(pid, signal_number);
  int status = 0;
  wait_or_kill(pid, status, 5000);
  pid = -1;
}

}  // namespace

AudioServer::~AudioServer() {
  end_child(recorder, SIGINT);
  end_child(server, SIGTERM);
}

std::string audio_server_missing() {
  for (const char* program : {"pulseaudio", "pactl", "parecord"})
    if (which(program).empty()) return std::string(program) + " is not installed (pulseaudio, pulseaudio-utils)";
  return "";
}

std::vector<std::string> audio_server_env(const AudioServer& audio) {
  // PULSE_RUNTIME_PATH too: run as root, the server would otherwise look
  // for the system-wide directory.
  return {"XDG_RUNTIME_DIR=" + audio.dir.file("run"),
          "HOME=" + audio.dir.file("home"),
          "PULSE_RUNTIME_PATH=" + audio.dir.file("run/pulse"),
          "PULSE_SERVER=unix:" + audio.dir.file("run/pulse/native"),
          "PULSE_SINK=sink",
          "DISPLAY"};
}

std::string start_audio_server(AudioServer& audio) {
  for (const char* sub : {"run", "run/pulse", "home"})
    if (mkdir(audio.dir.file(sub).c_str(), 0700) != 0) return std::string("cannot make ") + sub;
  std::string config =
      "load-module module-null-sink sink_name=sink rate=44100 channels=2\n"
      "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
      audio.dir.file("run/pulse/native") + "\nset-default-sink sink\n";
  write_file(audio.dir.file("default.pa"), Bytes(config.begin(), config.end()));
  // No daemon, no exit when idle, no configuration but the test's own.
  audio.server = start_process(which("pulseaudio"),
                               {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false", "-F",
                                audio.dir.file("default.pa")},
                               -1, -1, audio_server_env(audio));
  if (audio.server <= 0) return "pulseaudio did not start";
  std::string pactl = which("pactl");
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (run_process(pactl, {"pactl", "info"}, audio_server_env(audio)).exit_status == 0) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return "pulseaudio did not answer within 10 s";
}

std::string start_recording(AudioServer& audio) {
  audio.recorder = start_process(which("parecord"),
                                 {"parecord", "--device=sink.monitor", "--rate=44100", "--channels=2", "--format=s16le",
                                  "--file-format=wav", "--latency-msec=10", audio.recording},
                                 -1, -1, audio_server_env(audio));
  return audio.recorder > 0 ? "" : "parecord did not start";
}

bool stop_recording(AudioServer& audio) {
  if (audio.recorder <= 0) return false;
  kill(audio.recorder, SIGINT);
  int status = 0;
  bool ended = wait_or_kill(audio.recorder, status, 5000);
  audio.recorder = -1;
  return ended;
}
