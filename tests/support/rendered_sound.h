// Reading what songrelay-monitor rendered: its WAV file checked field by
// field against its size, the arrival stamps of its log, and a few measures
// of the sound (level, periodicity, pitch, onset) over stretches of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A rendered file as one channel (left and right averaged), at its rate.
struct RenderedSound {
  int rate = 0;
  std::vector<double> samples;  // -1 … 1
  // The sample at a time in seconds from the file's start, clamped.
  size_t at(double seconds) const;
};

// Reads a 16-bit stereo 44.1 kHz PCM WAV file whose RIFF and data sizes match
// the file exactly. An empty text, or what is wrong with it.
std::string read_rendered(const std::string& path, RenderedSound& sound);

// One line of the monitor's log: the port, the arrival stamp, the hex bytes.
struct LoggedMessage {
  int port = 0;
  int64_t arrival_ns = 0;
  std::string hex;
};

// Every line of a monitor's log, in order.
std::vector<LoggedMessage> read_log(const std::string& path);

// The time in the rendered file, in seconds, of the first logged message
// whose hex bytes start with prefix on port (-1: any port), counted from the
// first message of the log, which is the file's start; -1 when none.
double logged_time(const std::vector<LoggedMessage>& log, int port, const std::string& prefix);

// The largest absolute sample between two times in seconds.
double peak_between(const RenderedSound& sound, double from, double to);

// The largest normalised autocorrelation over lags 1 ms to 25 ms of 100 ms
// starting at a time: near 1 for a pitched note, low for a noisy drum.
double periodicity_at(const RenderedSound& sound, double from);

// The fundamental frequency of the stretch from..to, in Hz, by the strongest
// autocorrelation between low_hz and high_hz, interpolated between lags.
double pitch_between(const RenderedSound& sound, double from, double to, double low_hz, double high_hz);

// The first time in from..to at which the sound exceeds fraction of the peak
// of that stretch; -1 when it stays silent.
double onset_between(const RenderedSound& sound, double from, double to, double fraction);
