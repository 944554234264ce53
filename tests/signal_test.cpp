// SIGINT at random moments of many runs of the built player: during the
// calibration, while a big file loads, around the player's start, in long
// waits, in bursts of events without delay and while lyrics are converted.
// Every run must end (no hang) and, when it was signalled, end by SIGINT; it
// must leave on the ports nothing at all (a stop before the first record),
// the whole song, or a prefix of it that ends between two records followed by
// All Sound Off, with All Sound Off alone on ports 1 to 3.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "support/port_files.h"
#include "support/support.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const Bytes GM_ON = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};

// A tick lasts 500 microseconds at this timebase and the starting tempo.
constexpr uint16_t TIMEBASE = 1000;
constexpr uint32_t TICKS_PER_MS = 2;

// A song, the stream port 0 receives when it plays to the end, and the
// lengths of that stream at which one record's bytes end and the next begin.
struct Song {
  Song() = default;
  Song(std::string song_name, std::vector<std::string> song_options)
      : name(std::move(song_name)), options(std::move(song_options)), tracks(1) {}
  std::string name;
  std::vector<std::string> options;
  std::vector<TrackBuilder> tracks;
  Bytes stream = GM_ON;
  std::vector<size_t> boundaries = {0, GM_ON.size()};
  std::map<size_t, milliseconds> long_wait_before;  // by the stream length before the message waited for

  // A channel message of the last track, which goes to port 0.
  Song& note(uint32_t delta, std::initializer_list<uint8_t> message) {
    tracks.back().event(delta, message);
    if (delta / TICKS_PER_MS >= 100) long_wait_before[stream.size()] = milliseconds(delta / TICKS_PER_MS);
    stream.insert(stream.end(), message.begin(), message.end());
    boundaries.push_back(stream.size());
    return *this;
  }
  Bytes file() const { return smf(1, TIMEBASE, tracks); }
};

// Two notes with long waits between them.
Song long_waits() {
  Song song("long waits", {"-v"});
  song.note(0, {0x90, 0x3C, 0x40}).note(150 * TICKS_PER_MS, {0x80, 0x3C, 0x00});
  song.note(0, {0x90, 0x3E, 0x40}).note(100 * TICKS_PER_MS, {0x80, 0x3E, 0x00});
  // Every song ends with a wait after its last message, so a stop request
  // made before that message is still seen at the End of Track.
  song.tracks.back().end(60 * TICKS_PER_MS);
  return song;
}

// Thousands of messages without delay between two short waits.
Song zero_delta_burst() {
  Song song("zero-delta burst", {"-v"});
  song.note(0, {0x90, 0x3C, 0x40});
  for (int i = 0; i < 1500; ++i) {
    uint8_t key = static_cast<uint8_t>(i % 128);
    song.note(i == 0 ? 40 * TICKS_PER_MS : 0, {0x91, key, 0x40});
    song.note(0, {0x81, key, 0x00});
  }
  song.note(40 * TICKS_PER_MS, {0x80, 0x3C, 0x00});
  song.tracks.back().end(60 * TICKS_PER_MS);
  return song;
}

// Lyrics in Shift_JIS, converted to UTF-8, between notes half a millisecond apart.
Song lyrics() {
  Song song("text conversion", {"-v", "-t", "UTF-8"});
  for (int i = 0; i < 400; ++i) {
    song.tracks.back().text(0, 0x05, "\x82\xB3\x82\xAD\x82\xE7");
    song.note(1, {0x90, static_cast<uint8_t>(i % 128), 0x40});
  }
  song.tracks.back().end(60 * TICKS_PER_MS);
  return song;
}

// A track of a million delta-only events makes the load take a while;
// the notes of the second track follow them.
Song big_load() {
  Song song("big load", {"-v"});
  song.tracks.back().bytes.assign(1000000, 0x00);
  song.tracks.back().raw({0xFF, 0x2F, 0x00});
  song.tracks.emplace_back();
  song.note(0, {0x90, 0x3C, 0x40}).note(100 * TICKS_PER_MS, {0x80, 0x3C, 0x00});
  song.tracks.back().end(60 * TICKS_PER_MS);
  return song;
}

// One note, soon over: most signals land in the calibration or the load.
Song short_song() {
  Song song("calibration", {"-v"});
  song.note(0, {0x90, 0x3C, 0x40});
  song.tracks.back().end(60 * TICKS_PER_MS);
  return song;
}

// A song written once into its own directory, with the full run's length.
struct Scenario {
  Song song;
  TempDir dir;
  std::string path;
  Clock::duration full_run{};
};

// Whether text contains part.
bool has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// The file's size, 0 when it is not there.
off_t size_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

// How long ago the file was last written. The file's clock is the coarse
// one, so this can only come out longer than the truth, never shorter.
Clock::duration since_modified(const std::string& path) {
  struct stat info;
  timespec now;
  if (stat(path.c_str(), &info) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0) return Clock::duration::max();
  return std::chrono::seconds(now.tv_sec - info.st_mtim.tv_sec) +
         std::chrono::nanoseconds(now.tv_nsec - info.st_mtim.tv_nsec);
}

// What one run showed at the moment of the signal and at its end.
struct Observed {
  bool signalled = false;
  Clock::duration delay{};        // from just before the start to the signal
  bool built_before = false;      // after the signal: the reset notice, printed while the table is built
  off_t port0_before = 0;         // port 0's size just before the signal
  off_t port0_after = 0;          // and just after it
  Clock::duration since_write{};  // from port 0's last write to just before the signal
  bool hung = false;
  std::string hang_state;  // what the threads were doing when the run was given up
  int exit_status = -1;
  std::array<Bytes, 4> ports;
};

// Starts the player with its output in files; SIGINT has its default action
// in the child whatever this process does with it.
pid_t start(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
  int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = start_process(args[0], args, out_fd, err_fd);
  close(out_fd);
  close(err_fd);
  return pid;
}

// Each thread's scheduler state and the kernel function it waits in, where
// /proc shows them: tells a run that hangs from one that is only slow.
std::string thread_states(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::string states;
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return "(no /proc)";
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string stat = read_text(tasks + "/" + entry->d_name + "/stat");
    size_t name_end = stat.rfind(')');
    std::string state = name_end == std::string::npos ? "?" : stat.substr(name_end + 2, 1);
    states += " " + std::string(entry->d_name) + ":" + state + ":" + read_text(tasks + "/" + entry->d_name + "/wchan");
  }
  closedir(dir);
  return states;
}

// Waits for the child until the deadline; a child still running then is killed.
void finish(pid_t pid, Clock::time_point deadline, Observed* run) {
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (Clock::now() > deadline) {
      run->hang_state = thread_states(pid);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      run->hung = true;
      break;
    }
    std::this_thread::sleep_for(milliseconds(2));
  }
  run->exit_status = shell_status(status);
}

// Plays the scenario's song once in a fresh set of ports, with SIGINT after
// delay unless delay is negative.
Observed play(const Scenario& scenario, Clock::duration delay, Clock::duration hang_bound) {
  PortFiles ports;
  std::vector<std::string> args = player_argv(scenario.song.options, ports, scenario.path);
  const std::string out = ports.dir.file("out"), err = ports.dir.file("err"), port0 = ports.dir.file("p0");
  Observed run;
  Clock::time_point begin = Clock::now();
  pid_t pid = start(args, out, err);
  if (delay >= Clock::duration::zero()) {
    std::this_thread::sleep_until(begin + delay);
    run.signalled = true;
    run.since_write = since_modified(port0);
    run.port0_before = size_of(port0);
    // A child that has ended is a zombie until it is waited for: its pid
    // cannot have been given to another process.
    kill(pid, SIGINT);
    run.delay = Clock::now() - begin;
    run.port0_after = size_of(port0);
    run.built_before = has(read_text(err), "Auto Append");
  }
  finish(pid, begin + hang_bound, &run);
  for (int p = 0; p < 4; ++p) run.ports[p] = ports.received(p);
  return run;
}

// A run that played to the end: the whole song on port 0 and nothing else,
// which a stop request made during playback rules out.
std::string check_whole(const Song& song, const Observed& run) {
  if (run.ports[0] != song.stream)
    return "neither the whole song nor a stop: " + std::to_string(run.ports[0].size()) + " bytes";
  for (int p = 1; p < 4; ++p)
    if (!run.ports[p].empty()) return "port " + std::to_string(p) + " has bytes without a stop";
  if (run.port0_before > 0 && run.port0_after < static_cast<off_t>(song.stream.size()))
    return "a stop request during playback was not seen";
  return "";
}

// A run that stopped: the song up to a record boundary, then All Sound Off on every port.
std::string check_stopped(const Song& song, const Observed& run, size_t played) {
  if (!std::binary_search(song.boundaries.begin(), song.boundaries.end(), played))
    return "stopped inside a record, after " + std::to_string(played) + " bytes";
  if (!std::equal(run.ports[0].begin(), run.ports[0].begin() + static_cast<std::ptrdiff_t>(played),
                  song.stream.begin()))
    return "the bytes before the stop are not the song's";
  // A signal well inside a long wait: the record waited for is the one in
  // hand, and it must not be sent.
  auto wait = song.long_wait_before.find(static_cast<size_t>(run.port0_before));
  bool inside_wait = run.signalled && run.port0_before > 0 && run.port0_after == run.port0_before &&
                     wait != song.long_wait_before.end() && run.since_write + milliseconds(50) < wait->second;
  if (inside_wait && played != static_cast<size_t>(run.port0_before))
    return "the record in hand during a long wait was sent";
  for (int p = 1; p < 4; ++p)
    if (run.ports[p] != all_sound_off()) return "port " + std::to_string(p) + " lacks All Sound Off alone";
  return "";
}

// Whether no port received a byte.
bool nothing_sent(const Observed& run) {
  for (const Bytes& port : run.ports)
    if (!port.empty()) return false;
  return true;
}

// What is wrong with one run, or nothing. A signalled run ends by SIGINT
// wherever the signal found it, unless it had played the whole song first,
// and a stop requested before the song was built sends nothing of it.
std::string check(const Song& song, const Observed& run) {
  if (run.hung) return "did not end in time; threads" + run.hang_state;
  // A signal that comes as the process ends finds no run left to stop.
  if (run.exit_status == 0) return check_whole(song, run);
  if (!run.signalled) return "exit status " + std::to_string(run.exit_status);
  if (run.exit_status != 128 + SIGINT) return "a stopped run ended with status " + std::to_string(run.exit_status);
  if (nothing_sent(run)) return "";
  if (!run.built_before) return "a stop requested before the song was built let bytes out";
  const Bytes silence = all_sound_off();
  const Bytes& p0 = run.ports[0];
  bool silenced = p0.size() >= silence.size() && std::equal(silence.begin(), silence.end(), p0.end() - silence.size());
  return silenced ? check_stopped(song, run, p0.size() - silence.size()) : check_whole(song, run);
}

// One line about a run for a failure message.
std::string describe(const Song& song, const Observed& run) {
  return song.name + ", SIGINT after " +
         std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(run.delay).count()) + " us, port 0 " +
         std::to_string(run.port0_before) + "->" + std::to_string(run.port0_after) + " bytes of " +
         std::to_string(song.stream.size()) + ", exit " + std::to_string(run.exit_status);
}

// The seed from SONGRELAY_SIGNAL_SEED, or a fresh one.
uint32_t choose_seed() {
  if (const char* fixed = getenv("SONGRELAY_SIGNAL_SEED")) return static_cast<uint32_t>(strtoul(fixed, nullptr, 10));
  return std::random_device{}();
}

TEST(Signals, InterruptAtRandomMomentsNeverHangsCrashesOrCutsARecord) {
  std::vector<Song (*)()> makers = {long_waits, zero_delta_burst, lyrics, big_load, short_song};
  std::vector<std::unique_ptr<Scenario>> scenarios;
  // One undisturbed run of each song first: it must play whole, and its
  // length sets the window for the signals and the bound for a hang.
  for (auto make : makers) {
    auto scenario = std::make_unique<Scenario>();
    scenario->song = make();
    scenario->path = scenario->dir.file("song.mid");
    write_file(scenario->path, scenario->song.file());
    Clock::time_point begin = Clock::now();
    Observed whole = play(*scenario, Clock::duration(-1), std::chrono::seconds(60));
    scenario->full_run = Clock::now() - begin;
    ASSERT_EQ(check(scenario->song, whole), "") << describe(scenario->song, whole);
    ASSERT_EQ(whole.ports[0], scenario->song.stream) << scenario->song.name;
    scenarios.push_back(std::move(scenario));
  }

  const uint32_t seed = choose_seed();
  std::cout << "signal stress seed " << seed << " (SONGRELAY_SIGNAL_SEED repeats it)\n";
  constexpr int RUNS = 200;
  constexpr int WORKERS = 4;
  std::vector<std::pair<int, Clock::duration>> plan;
  std::mt19937 random(seed);
  for (int i = 0; i < RUNS; ++i) {
    int which = static_cast<int>(random() % scenarios.size());
    auto window = std::chrono::duration_cast<std::chrono::microseconds>(scenarios[which]->full_run).count();
    plan.emplace_back(which, std::chrono::microseconds(random() % (window + 1)));
  }

  std::vector<std::string> failures;
  std::array<int, 3> endings = {0, 0, 0};  // nothing sent, stopped, played whole
  std::mutex lock;
  std::vector<std::thread> workers;
  for (int w = 0; w < WORKERS; ++w) {
    workers.emplace_back([&, w] {
      for (int i = w; i < RUNS; i += WORKERS) {
        const Scenario& scenario = *scenarios[plan[i].first];
        // Generous, for machines under load: a hang, not a slow run, is what this catches.
        Observed run = play(scenario, plan[i].second, 3 * scenario.full_run + std::chrono::seconds(5));
        std::string problem = check(scenario.song, run);
        std::lock_guard<std::mutex> guard(lock);
        if (!problem.empty()) failures.push_back(problem + " (" + describe(scenario.song, run) + ")");
        if (nothing_sent(run)) endings[0]++;
        else endings[run.ports[0] == scenario.song.stream ? 2 : 1]++;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  std::cout << "nothing sent " << endings[0] << ", stopped " << endings[1] << ", played whole " << endings[2] << "\n";
  for (const std::string& failure : failures) ADD_FAILURE() << failure << ", seed " << seed;
}

}  // namespace
