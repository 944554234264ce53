// Raw MIDI ports: the unit search and the names given to unnamed ports,
// against real entries made in /dev/ under a base name of this process's own.
#include "output/ports.h"
#include "support/fresh_state.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Paths made in /dev/, kept where a fatal signal handler can still reach them.
char made_paths[64][300];
volatile sig_atomic_t made_count = 0;

// Removes what this process made in /dev/, then dies of the signal as it would have.
void remove_made_paths_and_die(int signal_number) {
  for (int i = 0; i < made_count; ++i) unlink(made_paths[i]);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Removes them also when a crash or an interrupt ends the test early.
void remove_on_fatal_signals() {
  for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGINT, SIGTERM, SIGHUP})
    std::signal(signal_number, remove_made_paths_and_die);
}

// Entries made under /dev/ for one test case, removed on every way out.
struct DevEntries {
  bool made = true;
  explicit DevEntries(const std::vector<std::string>& names) {
    remove_on_fatal_signals();
    made_count = 0;
    for (const std::string& name : names) {
      if (made_count == 64) {
        made = false;
        break;
      }
      snprintf(made_paths[made_count], sizeof made_paths[0], "/dev/%s", name.c_str());
      int fd = open(made_paths[made_count], O_WRONLY | O_CREAT | O_EXCL, 0600);
      if (fd < 0) {
        made = false;
        break;
      }
      close(fd);
      made_count = made_count + 1;
    }
  }
  ~DevEntries() {
    for (int i = 0; i < made_count; ++i) unlink(made_paths[i]);
    made_count = 0;
  }
  DevEntries(const DevEntries&) = delete;
  DevEntries& operator=(const DevEntries&) = delete;
};

// A base no real device uses, and no other test process either.
std::string test_base() { return "songrelay-test-" + std::to_string(getpid()) + "-u"; }

class PortsDevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/dev", W_OK) != 0)
      GTEST_SKIP() << "needs root and a writable /dev/ to make the entries it searches for";
    reset_process_state();
  }
  void TearDown() override {
    close_ports();
    reset_process_state();
  }
  const std::string base = test_base();
};

// Exact names only, and only at the top level of /dev/.
TEST_F(PortsDevTest, DeviceExistsMatchesWholeNamesOnly) {
  const std::string long_name = (base + std::string(255, 'n')).substr(0, 255);
  DevEntries entries({base + "0.0", base + "0.01", long_name});
  ASSERT_TRUE(entries.made) << "could not make the entries under /dev/";
  struct Case {
    std::string name;
    int expected;
  };
  const std::vector<Case> cases = {
      {base + "0.0", 1},
      {base + "0.01", 1},
      {base + "0.", 0},     // a prefix of an entry
      {base + "0.010", 0},  // an entry is a prefix of it
      {base + "0.1", 0},
      {"../dev/" + base + "0.0", 0},  // names with a '/' are not looked up below /dev/
      {long_name, 1},                 // 255 characters, the longest a name can be
      {long_name + "n", 0},           // 256: past the limit, even though its first 255 match
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(device_exists(c.name.c_str()), c.expected) << c.name;
}

// The unit is the first of 0 … 14 whose port 0 node exists, else 15; the
// unnamed ports take the first port names of that unit that no port uses.
TEST_F(PortsDevTest, UnitSearchAndNaming) {
  struct Case {
    const char* what;
    std::vector<std::string> entries;     // under /dev/, after the base
    std::array<const char*, 4> given;     // as -0 … -3 would give them, after the base
    std::array<const char*, 4> expected;  // the names after open_ports, after the base
  };
  const std::vector<std::string> unit0 = {"0.0", "0.1", "0.2", "0.3", "2.0"};
  const std::vector<Case> cases = {
      {"only unit 3 has a port 0 node", {"2.1", "3.0", "5.0"}, {}, {"3.0", "3.1", "3.2", "3.3"}},
      {"unit 14 is the last probed", {"14.0", "14.1"}, {}, {"14.0", "14.1", "14.2", "14.3"}},
      {"no unit found: unit 15", {}, {}, {"15.0", "15.1", "15.2", "15.3"}},
      {"unit 15 is not probed but its nodes are used", {"15.0"}, {}, {"15.0", "15.1", "15.2", "15.3"}},
      {"0.01 and 0. are not unit 0", {"0.01", "0.", "1.0"}, {}, {"1.0", "1.1", "1.2", "1.3"}},
      {"nothing given", unit0, {}, {"0.0", "0.1", "0.2", "0.3"}},
      {"-1 0.0", unit0, {nullptr, "0.0", nullptr, nullptr}, {"0.1", "0.0", "0.2", "0.3"}},
      {"-0 2.0", unit0, {"2.0", nullptr, nullptr, nullptr}, {"2.0", "0.0", "0.1", "0.2"}},
      {"-0 0.3 -2 0.0", unit0, {"0.3", nullptr, "0.0", nullptr}, {"0.3", "0.1", "0.0", "0.2"}},
      {"a name given to a later port is skipped",
       unit0,
       {nullptr, nullptr, nullptr, "0.0"},
       {"0.1", "0.2", "0.3", "0.0"}},
      {"all given: kept as they are", unit0, {"0.2", "0.2", "9.9", "0.0"}, {"0.2", "0.2", "9.9", "0.0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> paths;
    for (const std::string& entry : c.entries) paths.push_back(base + entry);
    DevEntries entries(paths);
    ASSERT_TRUE(entries.made) << "could not make the entries under /dev/";
    const std::set<std::string> existing(paths.begin(), paths.end());

    reset_port_table();
    std::string given[4];
    for (int p = 0; p < 4; ++p) {
      if (c.given[p] == nullptr) continue;
      given[p] = base + c.given[p];
      port_table.names[p] = given[p].c_str();
    }
    testing::internal::CaptureStderr();
    int result = open_ports(base.c_str(), &port_table);
    std::string err = testing::internal::GetCapturedStderr();

    std::string expected_err;
    for (int p = 0; p < 4; ++p) {
      ASSERT_NE(port_table.ports[p].name, nullptr) << "port " << p;
      std::string expected = base + c.expected[p];
      EXPECT_EQ(port_table.ports[p].name, expected) << "port " << p;
      if (c.given[p] != nullptr) {
        EXPECT_EQ(port_table.ports[p].name, given[p].c_str()) << "port " << p;
      }
      bool exists = existing.count(expected) != 0;
      EXPECT_EQ(port_table.ports[p].fd >= 0, exists) << "port " << p;
      if (!exists)
        expected_err += "Error!!: Can't Open MidiDevice (Device=" + expected + " Port=" + std::to_string(p) + ")\n";
    }
    bool port0_open = existing.count(base + c.expected[0]) != 0;
    if (!port0_open) expected_err += "Error!!: Can't Open RawMidi Device Port=0 => Can't play MIDI-File. Exit.\n";
    EXPECT_EQ(err, expected_err);
    EXPECT_EQ(result, port0_open ? 0 : -1);
    close_ports();
  }
}

}  // namespace
