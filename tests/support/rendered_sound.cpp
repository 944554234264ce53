// Reading and measuring the monitor's rendered sound.
#include "support/rendered_sound.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "support/support.h"

namespace {

// A little-endian unsigned number of bytes bytes at offset.
uint32_t le(const Bytes& data, size_t offset, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | data[offset + static_cast<size_t>(i)];
  return value;
}

// The normalised correlation of the stretch with itself lag samples later.
double correlation(const RenderedSound& sound, size_t start, size_t length, size_t lag) {
  double cross = 0, first = 0, second = 0;
  for (size_t i = start; i < start + length && i + lag < sound.samples.size(); ++i) {
    cross += sound.samples[i] * sound.samples[i + lag];
    first += sound.samples[i] * sound.samples[i];
    second += sound.samples[i + lag] * sound.samples[i + lag];
  }
  return first > 0 && second > 0 ? cross / std::sqrt(first * second) : 0;
}

}  // namespace

size_t RenderedSound::at(double seconds) const {
  double index = std::max(0.0, seconds * rate);
  return std::min(samples.size(), static_cast<size_t>(index));
}

std::string read_rendered(const std::string& path, RenderedSound& sound) {
  Bytes data = read_file(path);
  if (data.size() < 44) return "shorter than a header: " + std::to_string(data.size()) + " bytes";
  if (std::string(data.begin(), data.begin() + 4) != "RIFF" ||
      std::string(data.begin() + 8, data.begin() + 16) != "WAVEfmt ")
    return "not a RIFF WAVE file";
  if (le(data, 4, 4) != data.size() - 8)
    return "RIFF size " + std::to_string(le(data, 4, 4)) + " for a file of " + std::to_string(data.size()) + " bytes";
  if (le(data, 16, 4) != 16 || le(data, 20, 2) != 1 || le(data, 22, 2) != 2 || le(data, 24, 4) != 44100 ||
      le(data, 28, 4) != 44100 * 4 || le(data, 32, 2) != 4 || le(data, 34, 2) != 16)
    return "not 16-bit stereo PCM at 44.1 kHz";
  if (std::string(data.begin() + 36, data.begin() + 40) != "data" || le(data, 40, 4) != data.size() - 44)
    return "data size " + std::to_string(le(data, 40, 4)) + " for " + std::to_string(data.size() - 44) + " bytes";
  sound.rate = 44100;
  sound.samples.clear();
  for (size_t i = 44; i + 3 < data.size(); i += 4) {
    auto left = static_cast<int16_t>(le(data, i, 2));
    auto right = static_cast<int16_t>(le(data, i + 2, 2));
    sound.samples.push_back((left + right) / 65536.0);
  }
  return "";
}

std::vector<LoggedMessage> read_log(const std::string& path) {
  std::vector<LoggedMessage> log;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    LoggedMessage message;
    long long arrival = 0;
    if (!(words >> message.port >> arrival)) continue;
    message.arrival_ns = arrival;
    std::getline(words >> std::ws, message.hex);
    log.push_back(message);
  }
  return log;
}

double logged_time(const std::vector<LoggedMessage>& log, int port, const std::string& prefix) {
  for (const LoggedMessage& message : log)
    if ((port < 0 || message.port == port) && message.hex.compare(0, prefix.size(), prefix) == 0)
      return static_cast<double>(message.arrival_ns - log.front().arrival_ns) / 1e9;
  return -1;
}

double peak_between(const RenderedSound& sound, double from, double to) {
  double peak = 0;
  for (size_t i = sound.at(from); i < sound.at(to); ++i) peak = std::max(peak, std::fabs(sound.samples[i]));
  return peak;
}

double periodicity_at(const RenderedSound& sound, double from) {
  size_t start = sound.at(from);
  size_t length = static_cast<size_t>(sound.rate / 10);
  double best = 0;
  for (size_t lag = static_cast<size_t>(sound.rate / 1000); lag <= static_cast<size_t>(sound.rate / 40); ++lag)
    best = std::max(best, correlation(sound, start, length, lag));
  return best;
}

double pitch_between(const RenderedSound& sound, double from, double to, double low_hz, double high_hz) {
  size_t start = sound.at(from);
  size_t length = sound.at(to) - start;
  auto shortest = static_cast<size_t>(sound.rate / high_hz);
  auto longest = static_cast<size_t>(sound.rate / low_hz) + 1;
  size_t best_lag = shortest;
  double best = -2;
  for (size_t lag = shortest; lag <= longest; ++lag) {
    double value = correlation(sound, start, length, lag);
    if (value > best) {
      best = value;
      best_lag = lag;
    }
  }
  // A parabola through the peak and its neighbours places it between lags.
  double before = correlation(sound, start, length, best_lag - 1);
  double after = correlation(sound, start, length, best_lag + 1);
  double bend = before - 2 * best + after;
  double shift = bend != 0 ? 0.5 * (before - after) / bend : 0;
  return sound.rate / (static_cast<double>(best_lag) + shift);
}

double onset_between(const RenderedSound& sound, double from, double to, double fraction) {
  double threshold = fraction * peak_between(sound, from, to);
  if (threshold <= 0) return -1;
  for (size_t i = sound.at(from); i < sound.at(to); ++i)
    if (std::fabs(sound.samples[i]) > threshold) return static_cast<double>(i) / sound.rate;
  return -1;
}
