// Reading the monitor's command line.
#include "monitor/options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Longest time option accepted, so the deadlines stay well inside 64-bit nanoseconds.
constexpr double MAX_SECONDS = 1e6;

// One option: its short and long spelling and whether it takes a value.
struct OptionEntry {
  char short_name;
  const char* long_name;
  bool takes_value;
};

const OptionEntry OPTION_TABLE[] = {
    {'d', "base", true},          {'u', "unit", true},   {'n', "ports", true},  {'D', "dir", true},
    {'l', "log", true},           {'q', "quiet", false}, {'i', "idle", true},   {'t', "timeout", true},
    {'h', "help", false},         {'w', "wav", true},    {'p', "play", false},  {'a', "audio-driver", true},
    {'s', "soundfont", true},     {'g', "gain", true},   {'R', "reverb", true}, {'C', "chorus", true},
    {'z', "audio-bufsize", true}, {'m', "mode", true},
};

// The entry of a long option name (text up to '=' or its end), or null.
const OptionEntry* find_long(const char* name, size_t length) {
  for (const OptionEntry& entry : OPTION_TABLE)
    if (std::strlen(entry.long_name) == length && std::strncmp(entry.long_name, name, length) == 0) return &entry;
  return nullptr;
}

// The entry of a short option letter, or null.
const OptionEntry* find_short(char letter) {
  for (const OptionEntry& entry : OPTION_TABLE)
    if (entry.short_name == letter) return &entry;
  return nullptr;
}

// Reads a whole decimal integer within [low, high] into value.
int parse_int(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || number < low || number > high) return -1;
  value = static_cast<int>(number);
  return 0;
}

// Reads a number of seconds above 0 and at most MAX_SECONDS into value.
int parse_seconds(const char* text, double& value) {
  char* end = nullptr;
  errno = 0;
  double number = std::strtod(text, &end);
  if (*text == '\0' || *end != '\0' || errno != 0 || !std::isfinite(number) || number <= 0 || number > MAX_SECONDS)
    return -1;
  value = number;
  return 0;
}

// Reads a number within [low, high] into value.
int parse_number(const char* text, double low, double high, double& value) {
  char* end = nullptr;
  errno = 0;
  double number = std::strtod(text, &end);
  if (*text == '\0' || *end != '\0' || errno != 0 || !std::isfinite(number) || number < low || number > high) return -1;
  value = number;
  return 0;
}

// Reads permissions in octal, 0 to 0777.
int parse_mode(const char* text, int& value) {
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(text, &end, 8);
  if (*text < '0' || *text > '7' || *end != '\0' || errno != 0 || number > 0777) return -1;
  value = static_cast<int>(number);
  return 0;
}

// Reads a switch: 1, on or yes; 0, off or no.
int parse_switch(const char* text, bool& value) {
  for (const char* word : {"1", "on", "yes"})
    if (std::strcmp(text, word) == 0) return value = true, 0;
  for (const char* word : {"0", "off", "no"})
    if (std::strcmp(text, word) == 0) return value = false, 0;
  return -1;
}

// Stores a value that must not be empty into field.
int take_text(const char* value, std::string& field) {
  field = value;
  return *value == '\0' ? -1 : 0;
}

// Stores the value of one option. Returns 0, or -1 after saying what is wrong.
int apply_option(const OptionEntry& entry, const char* value, MonitorOptions& options) {
  int result = 0;
  const char* expected = "";
  switch (entry.short_name) {
    case 'd':
      // A node name is looked up at the top of /dev/ by the player, so the
      // base cannot hold a '/', and the player's name buffers hold 255 bytes.
      options.base = value;
      result = (*value == '\0' || std::strchr(value, '/') != nullptr || std::strlen(value) > 200) ? -1 : 0;
      expected = "a name without '/'";
      break;
    case 'u':
      result = parse_int(value, 0, 14, options.unit);
      expected = "0 to 14";
      break;
    case 'n':
      result = parse_int(value, 1, 4, options.ports);
      expected = "1 to 4";
      break;
    case 'D':
      result = take_text(value, options.dir);
      expected = "a directory";
      break;
    case 'l':
      result = take_text(value, options.log_path);
      expected = "a file name";
      break;
    case 'q': options.quiet = true; break;
    case 'i':
      result = parse_seconds(value, options.idle_seconds);
      expected = "seconds above 0";
      break;
    case 't':
      result = parse_seconds(value, options.timeout_seconds);
      expected = "seconds above 0";
      break;
    case 'h': options.help = true; break;
    case 'w':
      result = take_text(value, options.wav_path);
      expected = "a file name";
      break;
    case 'p': options.play = true; break;
    case 'a':
      // Naming a driver asks for live sound through it.
      options.play = true;
      result = take_text(value, options.audio_driver);
      expected = "a driver name";
      break;
    case 's':
      result = take_text(value, options.soundfont);
      expected = "a file name";
      break;
    case 'g':
      result = parse_number(value, 0, 10, options.gain);
      expected = "0 to 10";
      break;
    case 'R':
      result = parse_switch(value, options.reverb);
      expected = "on or off";
      break;
    case 'C':
      result = parse_switch(value, options.chorus);
      expected = "on or off";
      break;
    case 'm':
      result = parse_mode(value, options.mode);
      expected = "octal permissions, 0 to 0777";
      break;
    case 'z':
      result = parse_int(value, 64, 8192, options.period_frames);
      expected = "64 to 8192 frames";
      break;
  }
  if (result != 0)
    std::fprintf(stderr, "songrelay-monitor: bad value for --%s: \"%s\" (%s)\n", entry.long_name, value, expected);
  return result;
}

}  // namespace

int parse_monitor_options(int argc, char** argv, MonitorOptions& options) {
  if (argc > 0) options.monitor_path = argv[0];
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) {
      // Everything after it is the player's, options that look like the
      // monitor's included.
      options.player.assign(argv + i + 1, argv + argc);
      if (options.player.empty() || options.player[0].empty()) {
        std::fprintf(stderr, "songrelay-monitor: no program after \"--\"\n");
        return -1;
      }
      return 0;
    }
    const OptionEntry* entry = nullptr;
    const char* value = nullptr;
    if (std::strncmp(arg, "--", 2) == 0 && arg[2] != '\0') {
      const char* equals = std::strchr(arg + 2, '=');
      size_t length = equals ? static_cast<size_t>(equals - arg - 2) : std::strlen(arg + 2);
      entry = find_long(arg + 2, length);
      if (entry != nullptr && equals != nullptr) value = equals + 1;
      if (entry != nullptr && equals != nullptr && !entry->takes_value) entry = nullptr;
    } else if (arg[0] == '-' && arg[1] != '\0' && arg[1] != '-') {
      entry = find_short(arg[1]);
      if (entry != nullptr && arg[2] != '\0') {
        if (!entry->takes_value) entry = nullptr;
        else value = arg + 2;
      }
    }
    if (entry == nullptr) {
      std::fprintf(stderr, "songrelay-monitor: unknown argument: \"%s\"\n", arg);
      return -1;
    }
    if (entry->takes_value && value == nullptr) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "songrelay-monitor: option needs a value: \"%s\"\n", arg);
        return -1;
      }
      value = argv[++i];
    }
    if (apply_option(*entry, value, options) != 0) return -1;
  }
  return 0;
}

void print_monitor_usage() {
  std::fputs(
      "Usage: songrelay-monitor [options] [-- songrelay [player options] FILE]\n"
      "Creates raw MIDI nodes as FIFOs and shows every MIDI message written to them.\n"
      "With a program after \"--\", runs it with -0 ... -3 naming the nodes, ends\n"
      "when it ends and exits with its status; a bare \"songrelay\" is taken from\n"
      "beside songrelay-monitor when it is there, otherwise from the PATH.\n"
      "  -d, --base NAME    base name of the nodes NAME<unit>.<port> (default \"umidi\")\n"
      "  -u, --unit N       unit number, 0 to 14 (default 0)\n"
      "  -n, --ports N      number of ports, 1 to 4 (default 4)\n"
      "  -D, --dir DIR      make the nodes in DIR, made when missing (default /dev/,\n"
      "                     or a temporary directory when /dev/ does not take them)\n"
      "  -m, --mode MODE    the nodes' permissions in octal (default: as the umask\n"
      "                     leaves them; run as root, 0660 and group audio)\n"
      "  -l, --log FILE     write one line per message to FILE: the port, the time of\n"
      "                     its arrival in nanoseconds on the monotonic clock\n"
      "                     (CLOCK_MONOTONIC, absolute) and its bytes in hex\n"
      "  -q, --quiet        do not show the decoded messages\n"
      "  -i, --idle SEC     end after SEC seconds without data, once data has come\n"
      "  -t, --timeout SEC  end after SEC seconds in all\n"
      "  -w, --wav FILE     also render the messages to FILE, a 16-bit stereo 44.1 kHz\n"
      "                     WAV file, in step with their arrival times\n"
      "  -p, --play         also play the messages live on the audio output\n"
      "  -a, --audio-driver NAME\n"
      "                     play live through the synthesizer library's driver NAME\n"
      "                     (alsa, pulseaudio, oss, jack, ...) instead of its default\n"
      "  -s, --soundfont FILE\n"
      "                     the SoundFont for --wav and --play (default: the first of\n"
      "                     /usr/share/sounds/sf2/default-GM.sf2, TimGM6mb.sf2 and\n"
      "                     FluidR3_GM.sf2 there, /usr/share/soundfonts/default.sf2,\n"
      "                     /usr/local/share/sounds/sf2/FluidR3_GM.sf2 and\n"
      "                     TimGM6mb.sf2 there); the header names the one loaded\n"
      "  -g, --gain GAIN    output level of --wav and --play, 0 to 10 (default 0.2)\n"
      "  -R, --reverb on|off, -C, --chorus on|off\n"
      "                     the synthesizer's reverb and chorus (default on)\n"
      "  -z, --audio-bufsize FRAMES\n"
      "                     frames --play renders at a time, 64 to 8192 (default\n"
      "                     512, 11.6 ms); more is safer against dropouts but later\n"
      "  -h, --help         show this screen\n"
      "Each port is a General MIDI module of its own, with its drums on channel 10;\n"
      "a reset acts on its port alone. When the last writer of a node goes away,\n"
      "its port falls silent.\n"
      "It ends on SIGINT or SIGTERM and removes the nodes it made on every exit;\n"
      "a player it runs is given the same signal (-i and -t give it SIGTERM) and\n"
      "waited for, a few seconds at most, so that its All Sound Off is heard.\n"
      "A node name that already exists is refused, never replaced.\n",
      stderr);
}
