// Tick timing against a scripted clock. Linked with --wrap=usleep and
// --wrap=gettimeofday, so sleeps and clock readings are counted, not timed.
#include "player/timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

extern "C" int __real_gettimeofday(struct timeval* now, void* zone);
extern "C" int __real_usleep(useconds_t usec);

namespace {

// The fake clock: either it advances by fixed steps per reading and per
// sleep, or it hands out scripted readings one after the other.
struct FakeClock {
  bool armed = false;
  int64_t now = 0;          // microseconds
  int64_t per_reading = 1;  // a reading takes a little time
  int64_t per_sleep = 1000;
  std::vector<timeval> script;
  size_t next = 0;
  bool overrun = false;  // a reading was asked for past the end of the script
  std::vector<useconds_t> sleep_args;
  std::string log;       // 'g' per reading, 's' per sleep, in order
  int64_t last_reading = 0;
};

FakeClock fake_clock;

// Far more readings and sleeps than any case here needs.
constexpr size_t READING_LIMIT = 1000000;

// A clock reading of s seconds and us microseconds.
timeval at(int64_t s, int64_t us) {
  timeval t;
  t.tv_sec = static_cast<time_t>(s);
  t.tv_usec = static_cast<suseconds_t>(us);
  return t;
}

// The program's value before any test changes it.
const int64_t initial_overhead = usleep_overhead;

}  // namespace

extern "C" int __wrap_gettimeofday(struct timeval* now, void* zone) {
  if (!fake_clock.armed) return __real_gettimeofday(now, zone);
  // A wait that miscounts time may never end; fail the test instead of hanging.
  if (fake_clock.log.size() > READING_LIMIT) throw std::runtime_error("the clock was read without end");
  fake_clock.log += 'g';
  if (!fake_clock.script.empty()) {
    if (fake_clock.next < fake_clock.script.size()) {
      *now = fake_clock.script[fake_clock.next++];
    } else {
      fake_clock.overrun = true;
      *now = at(1000000000, 0);  // far ahead, so that a wrong wait still ends
    }
    return 0;
  }
  *now = at(fake_clock.now / 1000000, fake_clock.now % 1000000);
  fake_clock.last_reading = fake_clock.now;
  fake_clock.now += fake_clock.per_reading;
  return 0;
}

extern "C" int __wrap_usleep(useconds_t usec) {
  if (!fake_clock.armed) return __real_usleep(usec);
  fake_clock.log += 's';
  fake_clock.sleep_args.push_back(usec);
  fake_clock.now += fake_clock.per_sleep;
  return 0;
}

namespace {

// Arms the fake clock for one scope and keeps usleep_overhead as it was.
struct ArmedClock {
  int64_t saved_overhead = usleep_overhead;
  ArmedClock(int64_t start, int64_t per_reading, int64_t per_sleep, std::vector<timeval> script = {}) {
    fake_clock = FakeClock{true, start, per_reading, per_sleep, std::move(script), 0, false, {}, "", 0};
  }
  ~ArmedClock() {
    fake_clock.armed = false;
    usleep_overhead = saved_overhead;
  }
};

std::string repeat(const std::string& part, int64_t times) {
  std::string text;
  for (int64_t i = 0; i < times; ++i) text += part;
  return text;
}

TEST(TimingTest, OverheadStartsAt2050) { EXPECT_EQ(initial_overhead, 2050); }

// The clock moves 1000 µs per sleep and 1 µs per reading, starting just
// before a change of second, so most waits run across one.
TEST(TimingTest, WaitSleepsOnlyWhileMoreThanTheOverheadRemains) {
  struct Case {
    const char* what;
    int64_t overhead;
    int64_t usec;
    int64_t sleeps;
    int64_t readings;  // the start included
    int64_t lasted;    // from the start reading to the last
  };
  const std::vector<Case> cases = {
      {"a wait of 0 reads the clock once more", 2050, 0, 0, 2, 1},
      {"a negative wait is the same", 2050, -5000, 0, 2, 1},
      {"a wait as long as the overhead never sleeps", 2050, 2050, 0, 2051, 2050},
      {"one microsecond more sleeps once", 2050, 2051, 1, 1052, 2051},
      {"10,000 with 2,250 sleeps until 2,250 remain", 2250, 10000, 8, 2001, 10000},
      {"2.5 seconds last 2.5 seconds", 2050, 2500000, 2496, 4001, 2500000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int64_t start = 5 * 1000000 + 999500;
    ArmedClock clock(start, 1, 1000);
    usleep_overhead = c.overhead;
    EXPECT_EQ(wait_usec(c.usec), 0);
    // Every sleep comes before the spinning, each followed by a reading.
    EXPECT_EQ(fake_clock.log, "g" + repeat("sg", c.sleeps) + repeat("g", c.readings - 1 - c.sleeps));
    EXPECT_EQ(fake_clock.last_reading - start, c.lasted);
    for (useconds_t arg : fake_clock.sleep_args) EXPECT_EQ(arg, 1000u);
  }
}

// Elapsed time counts whole seconds as well as microseconds.
TEST(TimingTest, WaitCountsTimeAcrossAChangeOfSecond) {
  struct Case {
    int64_t usec;
    std::vector<timeval> readings;
  };
  const std::vector<Case> cases = {
      {2100, {at(5, 999500), at(6, 1600)}},
      {2101, {at(5, 999500), at(6, 1600), at(6, 1601)}},
      {1000500, {at(5, 999500), at(6, 999999), at(7, 0)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.usec);
    ArmedClock clock(0, 0, 0, c.readings);
    usleep_overhead = 10000000;  // no sleeps: only the readings count
    EXPECT_EQ(wait_usec(c.usec), 0);
    EXPECT_EQ(fake_clock.next, c.readings.size());
    EXPECT_FALSE(fake_clock.overrun) << "the wait went on past its time";
  }
}

// Fifty measurements of reading, 1 ms sleep, reading; their mean plus an eighth.
TEST(TimingTest, CalibrationTakesTheMeanPlusAnEighth) {
  struct Case {
    const char* what;
    int64_t per_sleep;
    std::vector<timeval> script;
    int64_t expected;
  };
  std::vector<timeval> crossing;
  for (int i = 0; i < 50; ++i) {
    crossing.push_back(at(5, 999500));
    crossing.push_back(at(6, 1600));
  }
  const std::vector<Case> cases = {
      {"fifty sleeps of 2,000", 2000, {}, 2250},
      {"fifty of 2,100 across a change of second", 0, crossing, 2362},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ArmedClock clock(5 * 1000000 + 990000, 0, c.per_sleep, c.script);
    EXPECT_EQ(calibrate_sleep(), c.expected);
    EXPECT_EQ(usleep_overhead, c.expected);
    EXPECT_EQ(fake_clock.log, repeat("gsg", 50));
    EXPECT_FALSE(fake_clock.overrun);
    for (useconds_t arg : fake_clock.sleep_args) EXPECT_EQ(arg, 1000u);
  }
}

}  // namespace
