// Tick timing and the player's schedule against a scripted monotonic clock.
// Linked with --wrap=clock_gettime, --wrap=clock_nanosleep and --wrap=write,
// so readings, sleeps and the bytes sent are counted at fake times, not timed.
#include "player/timing.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/settings.h"
#include "base/life_cycle.h"
#include "output/ports.h"
#include "player/player.h"
#include "player/priority.h"
#include "player/schedule.h"
#include "song/loader.h"
#include "song/song.h"
#include "support/fresh_state.h"
#include "support/support.h"

extern "C" int __real_clock_gettime(clockid_t clock, timespec* now);
extern "C" int __real_clock_nanosleep(clockid_t clock, int flags, const timespec* until, timespec* left);
extern "C" ssize_t __real_write(int fd, const void* data, size_t count);

namespace {

constexpr int64_t MS = 1000000;
constexpr int64_t US = 1000;

// The fake clock: each reading costs per_reading_ns; an absolute sleep wakes
// at its target plus the next lateness of the script (or late_ns), unless a
// signal is scripted to break it at a given moment.
struct FakeClock {
  bool armed = false;
  int64_t now = 0;
  int64_t per_reading_ns = 0;
  int64_t late_ns = 0;
  std::vector<int64_t> lateness;  // consumed one per sleep, then late_ns
  size_t next_late = 0;
  int64_t break_at = -1;  // a sleep across this moment ends there with EINTR
  std::function<void()> on_break;
  std::string log;  // 'g' per reading, 's' per sleep
  std::vector<int64_t> sleep_targets;
  bool bad_call = false;  // a clock other than the monotonic one, or a relative sleep
};

FakeClock fake;

// Every write to the fake port, with the fake time it was made at.
struct Sent {
  int64_t at;
  Bytes bytes;
};
std::vector<Sent> sent;
// The port's descriptor: /dev/null, so that the poll before All Sound Off
// finds a real node ready; its writes are recorded instead of made.
int fake_port_fd = -1;

constexpr size_t READING_LIMIT = 10000000;

}  // namespace

extern "C" int __wrap_clock_gettime(clockid_t clock, timespec* now) {
  if (!fake.armed) return __real_clock_gettime(clock, now);
  if (clock != CLOCK_MONOTONIC) fake.bad_call = true;
  // A wait that miscounts time may never end; fail the test instead of hanging.
  if (fake.log.size() > READING_LIMIT) throw std::runtime_error("the clock was read without end");
  fake.log += 'g';
  now->tv_sec = static_cast<time_t>(fake.now / 1000000000);
  now->tv_nsec = static_cast<long>(fake.now % 1000000000);
  fake.now += fake.per_reading_ns;
  return 0;
}

extern "C" int __wrap_clock_nanosleep(clockid_t clock, int flags, const timespec* until, timespec* left) {
  if (!fake.armed) return __real_clock_nanosleep(clock, flags, until, left);
  if (clock != CLOCK_MONOTONIC || flags != TIMER_ABSTIME) fake.bad_call = true;
  fake.log += 's';
  int64_t target = static_cast<int64_t>(until->tv_sec) * 1000000000 + until->tv_nsec;
  fake.sleep_targets.push_back(target);
  if (fake.break_at >= 0 && fake.break_at < target) {
    fake.now = std::max(fake.now, fake.break_at);
    fake.break_at = -1;
    if (fake.on_break) fake.on_break();
    return EINTR;
  }
  int64_t late = fake.next_late < fake.lateness.size() ? fake.lateness[fake.next_late++] : fake.late_ns;
  fake.now = std::max(fake.now, target + late);
  return 0;
}

extern "C" ssize_t __wrap_write(int fd, const void* data, size_t count) {
  if (!fake.armed || fd != fake_port_fd) return __real_write(fd, data, count);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  sent.push_back({fake.now, Bytes(bytes, bytes + count)});
  return static_cast<ssize_t>(count);
}

namespace {

// Arms the fake clock for one scope.
struct ArmedClock {
  explicit ArmedClock(int64_t start, int64_t per_reading_ns = 0, int64_t late_ns = 0) {
    fake = FakeClock{};
    fake.armed = true;
    fake.now = start;
    fake.per_reading_ns = per_reading_ns;
    fake.late_ns = late_ns;
  }
  ~ArmedClock() { fake.armed = false; }
};

bool never() { return false; }

int stop_after_calls = -1;  // the stop predicate says yes from this call on
bool counted_stop() { return stop_after_calls >= 0 && stop_after_calls-- == 0; }

// The margin that a test sets goes back with the rest of the process state.
struct Wait : FreshStateTest {};
struct Calibration : FreshStateTest {};

TEST_F(Wait, SleepsToTheDeadlineLessTheMarginThenReadsTheClock) {
  struct Case {
    const char* what;
    int64_t margin, start, deadline, per_reading, late;
    const char* log;
    std::vector<int64_t> targets;
    int64_t returned;
  };
  const std::vector<Case> cases = {
      {"a deadline already passed costs one reading", 100 * US, 5 * MS, 4 * MS, 0, 0, "g", {}, 5 * MS},
      {"a deadline reached exactly returns at once", 100 * US, 5 * MS, 5 * MS, 0, 0, "g", {}, 5 * MS},
      {"within the margin it only reads the clock", 100 * US, 0, 30 * US, 10 * US, 0, "gggg", {}, 30 * US},
      {"one sleep, then readings for the margin", 100 * US, 0, 10 * MS, 25 * US, 0, "gsggggg", {9900 * US}, 10 * MS},
      {"a sleep that wakes past the deadline is not slept again",
       100 * US,
       0,
       10 * MS,
       0,
       300 * US,
       "gsg",
       {9900 * US},
       10200 * US},
      {"a long rest sleeps in steps of at most 20 ms",
       1 * MS,
       0,
       50 * MS,
       250 * US,
       0,
       "gsgsgsggggg",
       {20 * MS, 40 * MS, 49 * MS},
       50 * MS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ArmedClock clock(c.start, c.per_reading, c.late);
    wake_margin_ns = c.margin;
    EXPECT_EQ(wait_until(c.deadline, never), c.returned);
    EXPECT_EQ(fake.log, c.log);
    EXPECT_EQ(fake.sleep_targets, c.targets);
    EXPECT_FALSE(fake.bad_call) << "only absolute sleeps on the monotonic clock";
  }
}

TEST_F(Wait, AStopEndsAWaitOfAnyLength) {
  // An hour's rest: a signal breaks the first sleep, and the wait sees the stop.
  ArmedClock clock(0);
  wake_margin_ns = 100 * US;
  stop_after_calls = 1;  // the check before the sleep says no, the one after says yes
  fake.break_at = 5 * MS;
  EXPECT_EQ(wait_until(3600 * 1000 * MS, counted_stop), WAIT_ENDED_EARLY);
  EXPECT_EQ(fake.log, "gs");
  EXPECT_LE(fake.now, 5 * MS);

  // A stop asked for while the clock is being read ends the spinning too.
  ArmedClock spin(0, 1 * US);
  wake_margin_ns = 100 * US;
  stop_after_calls = 3;
  EXPECT_EQ(wait_until(50 * US, counted_stop), WAIT_ENDED_EARLY);
  EXPECT_EQ(fake.log, "ggg");

  // A stop request that comes between the check and the sleep, where no
  // signal can break the sleep, is seen at the end of that step.
  ArmedClock lost(0);
  wake_margin_ns = 100 * US;
  stop_after_calls = 1;
  EXPECT_EQ(wait_until(3600 * 1000 * MS, counted_stop), WAIT_ENDED_EARLY);
  EXPECT_EQ(fake.now, 20 * MS);
  stop_after_calls = -1;
}

TEST_F(Wait, ASignalThatIsNotAStopOnlyShortensOneSleep) {
  ArmedClock clock(0, 50 * US);
  wake_margin_ns = 100 * US;
  fake.break_at = 3 * MS;
  EXPECT_EQ(wait_until(10 * MS, never), 10 * MS);
  EXPECT_EQ(fake.sleep_targets, (std::vector<int64_t>{9900 * US, 9900 * US}));
}

TEST_F(Calibration, MarginIsAHighPercentileOfTheLatenessClamped) {
  struct Case {
    const char* what;
    std::vector<int64_t> lateness;
    int64_t expected;
  };
  std::vector<int64_t> spread;
  for (int i = 0; i < 50; ++i) spread.push_back((i + 1) * 10 * US);  // 10 … 500 µs
  std::vector<int64_t> five_outliers(45, 60 * US);
  for (int64_t pause : {9 * MS, 4 * MS, 7 * MS, 3 * MS, 5 * MS}) five_outliers.push_back(pause);
  const std::vector<Case> cases = {
      {"the 45th of fifty, not the mean", spread, 450 * US},
      {"the five worst wake-ups do not count", five_outliers, 60 * US},
      {"never below the cost of reading the clock", std::vector<int64_t>(50, 1 * US), 20 * US},
      {"never above 1 ms", std::vector<int64_t>(50, 7 * MS), 1 * MS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ArmedClock clock(123 * MS, 1 * US);
    fake.lateness = c.lateness;
    learn_wake_margin();
    for (int i = 0; i < 50; ++i) wait_until(fake.now + 5 * MS, never);
    EXPECT_EQ(wake_margin_ns, c.expected);
    EXPECT_FALSE(fake.bad_call);
    reset_wake_margin();
  }
}

// Without a calibration before the song, the margin starts at 1 ms and the
// player's own first fifty sleeps set it by the same rule; later sleeps
// leave it alone.
TEST_F(Calibration, ThePlayersFirstFiftySleepsSetTheMargin) {
  std::vector<int64_t> spread;
  for (int i = 0; i < 50; ++i) spread.push_back((i + 1) * 10 * US);  // 10 … 500 µs
  ArmedClock clock(123 * MS, 1 * US);
  fake.lateness = spread;
  fake.late_ns = 7 * MS;
  learn_wake_margin();
  EXPECT_EQ(wake_margin_ns, 1 * MS);
  for (int i = 0; i < 49; ++i) wait_until(fake.now + 5 * MS, never);
  EXPECT_EQ(wake_margin_ns, 1 * MS) << "set before the fiftieth sleep";
  wait_until(fake.now + 5 * MS, never);
  EXPECT_EQ(wake_margin_ns, 450 * US);
  for (int i = 0; i < 60; ++i) wait_until(fake.now + 50 * MS, never);
  EXPECT_EQ(wake_margin_ns, 450 * US) << "the late sleeps after the fiftieth changed it";
  EXPECT_FALSE(fake.bad_call);
  reset_wake_margin();
}

// A song whose every record is due within the first margin of the one
// before still learns: while the first margin is unknown, once twenty waits
// in a row began within it, each such wait sleeps half of what is left, and
// those sleeps set it. Without them it spins the whole song (a dense piece
// at 1 ms a record took 96 % of a processor). A few close records among
// sparse ones change nothing.
TEST_F(Calibration, WaitsKeptWithinTheFirstMarginSleepHalfTheRestAndLearn) {
  ArmedClock clock(123 * MS, 1 * US);
  fake.late_ns = 60 * US;
  learn_wake_margin();
  int64_t last = fake.now;
  for (int i = 0; i < 20; ++i) last = wait_until(last + 800 * US, never);
  EXPECT_TRUE(fake.sleep_targets.empty()) << "slept before twenty waits in a row fell within the margin";
  int64_t start = fake.now;
  EXPECT_EQ(wait_until(start + 800 * US, never), start + 800 * US);
  EXPECT_EQ(fake.sleep_targets, (std::vector<int64_t>{start + 400 * US})) << "one sleep of half the rest";
  last = fake.now;
  for (int i = 0; i < 60 && wake_margin_ns == 1 * MS; ++i) last = wait_until(last + 800 * US, never);
  EXPECT_EQ(wake_margin_ns, 60 * US);
  // Learned, a wait of 800 µs sleeps to its margin and then reads the clock.
  fake.sleep_targets.clear();
  int64_t deadline = fake.now + 800 * US;
  wait_until(deadline, never);
  EXPECT_EQ(fake.sleep_targets, (std::vector<int64_t>{deadline - 60 * US}));
  EXPECT_FALSE(fake.bad_call);
  reset_wake_margin();

  // Ordinary sleeps between the close records start the count again.
  ArmedClock mixed(0, 1 * US);
  learn_wake_margin();
  for (int i = 0; i < 60; ++i) wait_until(fake.now + (i % 10 == 9 ? 5 * MS : 800 * US), never);
  EXPECT_EQ(fake.sleep_targets.size(), 6u) << "only the six waits of 5 ms slept";
  reset_wake_margin();
}

// After the first fifty, a window of sleeps that woke earlier lowers the
// margin: a start-up whose sleeps woke late does not set it for the song.
TEST_F(Calibration, ALaterWindowThatWokeEarlierLowersTheMargin) {
  std::vector<int64_t> lateness;
  for (int i = 0; i < 50; ++i) lateness.push_back((i + 1) * 10 * US);  // 10 … 500 µs
  for (int i = 0; i < 60; ++i) lateness.push_back(30 * US);
  ArmedClock clock(123 * MS, 1 * US);
  fake.lateness = lateness;
  fake.late_ns = 7 * MS;
  learn_wake_margin();
  for (int i = 0; i < 50; ++i) wait_until(fake.now + 5 * MS, never);
  EXPECT_EQ(wake_margin_ns, 450 * US);
  for (int i = 0; i < 60; ++i) wait_until(fake.now + 5 * MS, never);
  EXPECT_EQ(wake_margin_ns, 30 * US) << "the start-up's late sleeps held the margin";
  for (int i = 0; i < 100; ++i) wait_until(fake.now + 50 * MS, never);
  EXPECT_EQ(wake_margin_ns, 30 * US) << "a window of late sleeps raised it";
  EXPECT_FALSE(fake.bad_call);
  reset_wake_margin();
}

// A player at ordinary priority spins 100 µs at most before a due time: at
// once, and after learning from sleeps that woke later than that.
TEST_F(Calibration, AtOrdinaryPriorityTheMarginStaysShort) {
  std::vector<int64_t> spread;
  for (int i = 0; i < 50; ++i) spread.push_back((i + 1) * 10 * US);  // 10 … 500 µs
  ArmedClock clock(123 * MS, 1 * US);
  fake.lateness = spread;
  learn_wake_margin();
  keep_wake_margin_short();
  EXPECT_EQ(wake_margin_ns, 100 * US);
  for (int i = 0; i < 50; ++i) wait_until(fake.now + 5 * MS, never);
  EXPECT_EQ(wake_margin_ns, 100 * US) << "the learned margin went past the ceiling";
  EXPECT_FALSE(fake.bad_call);
}

// The length of many ticks, in exact integer arithmetic, at the extremes.
TEST(Schedule, TicksToNanosecondsIsExactAndNeverWraps) {
  struct Case {
    const char* what;
    uint64_t ticks;
    TickLength tick;
    int64_t ns;
  };
  const int64_t latest = INT64_MAX;
  const std::vector<Case> cases = {
      {"a 2^28-tick rest at tempo 0xFFFFFF and timebase 1 (142 years)", 1ull << 28, tick_length(1, 0xFFFFFF),
       static_cast<int64_t>(1ull << 28) * 16777215 * 1000},
      {"the same rest at timebase 30720", 1ull << 28, tick_length(30720, 0xFFFFFF),
       static_cast<int64_t>((1ull << 28) / 30720 * 16777215000ull + (1ull << 28) % 30720 * 16777215000ull / 30720)},
      {"a remainder per tick is kept, not dropped: 960 ticks at 120 bpm", 960, tick_length(960, 500000), 500000000},
      {"one tick of 520.833 µs is cut once, not per tick", 1, tick_length(960, 500000), 520833},
      {"tempo 0 makes every tick instant", 1000, tick_length(480, 0), 0},
      {"a song longer than the clock can count holds at its end", ~0ull, tick_length(1, 0xFFFFFF), latest},
      {"time code 29.97 fps, 100 ticks per frame: 30000 ticks", 30000, tick_length(0xE364, 0), 10010000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ticks_to_ns(c.ticks, c.tick), c.ns);
  }
  Schedule schedule;
  start_schedule(&schedule, latest - 10, tick_length(1, 500000));
  EXPECT_EQ(advance_schedule(&schedule, 1), latest) << "a due time near the clock's end holds there";
}

// Lateness up to the bound is left alone; beyond it the schedule moves once per pause.
TEST(Schedule, OnlyAPauseBeyondTheBoundMovesTheSchedule) {
  Schedule schedule;
  start_schedule(&schedule, 0, tick_length(1000, 1000000));  // a millisecond per tick
  int64_t due = advance_schedule(&schedule, 100);
  absorb_pause(&schedule, due + LATE_BOUND_NS);
  EXPECT_EQ(schedule.moves, 0u);
  EXPECT_EQ(advance_schedule(&schedule, 100), 200 * MS);
  absorb_pause(&schedule, 200 * MS + LATE_BOUND_NS + 1);
  EXPECT_EQ(schedule.moves, 1u);
  EXPECT_EQ(advance_schedule(&schedule, 100), 300 * MS + LATE_BOUND_NS + 1);
}

// The player's schedule as the bytes leave it: a song is loaded, played on
// this thread against the fake clock, and the time of every write is compared
// with the exact due times.
class Playback : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_process_state();
    option_flags = OPT_QUIET | OPT_NO_RESET;
    sent.clear();
    if (fake_port_fd < 0) fake_port_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  }
  // The player raises its own thread's priority where it may; this thread
  // goes back to ordinary scheduling for the tests after it.
  void TearDown() override {
    drop_real_time();
    reset_process_state();
  }

  // Loads the song and plays it from fake time 0 with the given sleep
  // lateness. Without a margin every sleep goes to its target, so the times
  // of the writes are the due times plus whatever the sleeps add.
  PlayOutcome play(const Bytes& image, int64_t late_ns = 0, std::vector<int64_t> lateness = {}) {
    EXPECT_EQ(parse_midi_image(image.data(), image.size()), 0);
    port_table.ports[0].fd = fake_port_fd;
    ArmedClock clock(0, 0, late_ns);
    fake.lateness = std::move(lateness);
    wake_margin_ns = 0;
    PlayOutcome outcome = PLAY_FAILED;
    player_thread(&outcome);
    readings = fake.log;
    return outcome;
  }

  // The times of the writes, in nanoseconds from the start.
  std::vector<int64_t> times() const {
    std::vector<int64_t> at;
    for (const Sent& s : sent) at.push_back(s.at);
    return at;
  }

  std::string readings;
};

// A note on every given delta, from one track at the division given.
Bytes notes(uint16_t division, const std::vector<uint32_t>& deltas, const Bytes& tempo = {}) {
  TrackBuilder track;
  if (!tempo.empty()) track.meta(0, 0x51, tempo);
  for (uint32_t delta : deltas) track.event(delta, {0x90, 0x3C, 0x40});
  track.end();
  return smf(0, division, {track});
}

TEST_F(Playback, EveryRecordGoesOutAtItsExactDueTime) {
  struct Case {
    const char* what;
    uint16_t division;
    Bytes tempo;
    std::vector<uint32_t> deltas;
    std::vector<int64_t> due;
  };
  const std::vector<Case> cases = {
      {"timebase 1: a tick is a quarter note", 1, {}, {0, 1, 2}, {0, 500 * MS, 1500 * MS}},
      {"timebase 96", 96, {}, {1, 95}, {5208333, 500 * MS}},
      {"timebase 480", 480, {}, {480, 1}, {500 * MS, 501041666}},
      {"timebase 960 plays no faster than written", 960, {}, {960, 960, 960}, {500 * MS, 1000 * MS, 1500 * MS}},
      {"timebase 30720: 16.28 µs ticks without a remainder dropped", 30720, {}, {30720, 1}, {500 * MS, 500016276}},
      {"zero deltas go out together", 480, {}, {0, 0, 240, 0}, {0, 0, 250 * MS, 250 * MS}},
      {"time code 25 fps × 40 ticks: a millisecond per tick", 0xE728, {}, {1000, 1}, {1000 * MS, 1001 * MS}},
      {"time code 24 fps × 4 ticks", 0xE804, {}, {96}, {1000 * MS}},
      {"time code -29 is 29.97 fps", 0xE301, {}, {30, 30000}, {1001 * MS, 1002001 * MS}},
      {"time code 30 fps × 80 ticks", 0xE250, {}, {2400}, {1000 * MS}},
      {"a set-tempo event changes nothing in time code", 0xE728, {0x0F, 0x42, 0x40}, {1000}, {1000 * MS}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    EXPECT_EQ(play(notes(c.division, c.deltas, c.tempo)), PLAY_ENDED);
    EXPECT_EQ(times(), c.due);
  }
}

TEST_F(Playback, TempoChangesReanchorAtTheirOwnDueTime) {
  // 480 ticks at 500,000 µs, then a tempo of 1,000,000 from tick 480, then
  // 333,333 µs (a remainder per tick) from tick 960.
  TrackBuilder track;
  track.event(480, {0x90, 0x3C, 0x40});
  track.meta(0, 0x51, {0x0F, 0x42, 0x40});
  track.event(240, {0x90, 0x3D, 0x40});
  track.event(240, {0x90, 0x3E, 0x40});
  track.meta(0, 0x51, {0x05, 0x16, 0x15});
  track.event(7, {0x90, 0x3F, 0x40});
  track.event(473, {0x90, 0x40, 0x40});
  track.end();
  EXPECT_EQ(play(smf(0, 480, {track})), PLAY_ENDED);
  EXPECT_EQ(times(), (std::vector<int64_t>{500 * MS, 1000 * MS, 1500 * MS, 1500 * MS + 4861106, 1833333 * US}));
}

TEST_F(Playback, ZeroDeltasCostNoClockReading) {
  EXPECT_EQ(play(notes(480, {0, 0, 0, 10, 0, 0})), PLAY_ENDED);
  // One reading starts the schedule, the only wait costs a sleep and a
  // reading before and after it; the records around it read nothing.
  EXPECT_EQ(readings, "ggsg");
  EXPECT_EQ(sent.size(), 6u);
}

TEST_F(Playback, LateWakeUpsDoNotAccumulate) {
  // Every sleep wakes 3 ms late, well inside the bound: each note is 3 ms
  // late and no later, however many came before.
  std::vector<uint32_t> deltas(100, 48);
  EXPECT_EQ(play(notes(480, deltas), 3 * MS), PLAY_ENDED);
  ASSERT_EQ(sent.size(), 100u);
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].at, static_cast<int64_t>(i + 1) * 50 * MS + 3 * MS);
}

TEST_F(Playback, APauseLongerThanTheBoundMovesTheRestLater) {
  // A millisecond per tick. The third wait wakes 300 ms late: that note
  // goes out at once, and the rest keep their spacing from it instead of
  // coming in a burst. A wake-up 15 ms late is inside the bound and moves nothing.
  EXPECT_EQ(play(notes(500, {10, 10, 10, 10, 10}), 0, {0, 0, 300 * MS, 15 * MS}), PLAY_ENDED);
  EXPECT_EQ(times(), (std::vector<int64_t>{10 * MS, 20 * MS, 330 * MS, 355 * MS, 355 * MS}));
}

TEST_F(Playback, AStopDuringARestSilencesAndSendsNothingMore) {
  Bytes song = notes(480, {0, 480 * 3600, 0});
  ASSERT_EQ(parse_midi_image(song.data(), song.size()), 0);
  port_table.ports[0].fd = fake_port_fd;
  ArmedClock clock(0);
  wake_margin_ns = 100 * US;
  fake.break_at = 700 * MS;
  fake.on_break = [] { raise_stop(); };
  PlayOutcome outcome = PLAY_FAILED;
  player_thread(&outcome);
  EXPECT_EQ(outcome, PLAY_STOPPED);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes, (Bytes{0x90, 0x3C, 0x40}));
  EXPECT_EQ(sent[1].bytes.size(), 48u) << "All Sound Off, and not the note in hand";
  EXPECT_EQ(sent[1].at, 700 * MS);
  reset_life_cycle();
}

TEST_F(Playback, AStopBeforeTheStartSendsNothing) {
  Bytes song = notes(480, {0, 0});
  ASSERT_EQ(parse_midi_image(song.data(), song.size()), 0);
  port_table.ports[0].fd = fake_port_fd;
  raise_stop();
  ArmedClock clock(0);
  PlayOutcome outcome = PLAY_FAILED;
  player_thread(&outcome);
  EXPECT_EQ(outcome, PLAY_STOPPED);
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(fake.log, "") << "not even the clock is read";
  reset_life_cycle();
}

}  // namespace
