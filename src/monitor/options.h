// The monitor's command line.
#pragma once

#include <string>
#include <vector>

// Everything the command line chooses; one per process.
struct MonitorOptions {
  std::string base = "umidi";  // node base name, as the player's -d
  int unit = 0;                // X in <base>X.Y
  int ports = 4;               // nodes <base>X.0 … <base>X.(ports-1)
  std::string dir;             // forced node directory; empty = /dev/ or a temporary one
  std::string log_path;        // machine-readable log; empty = none
  bool quiet = false;          // no decoded lines
  double idle_seconds = 0;     // stop after this long without data once data came; 0 = never
  double timeout_seconds = 0;  // stop after this long in all; 0 = never
  bool help = false;           // -h: show the usage screen and end
  std::string wav_path;        // render the messages to this WAV file; empty = none
  bool play = false;           // play the messages live through the audio driver
  std::string audio_driver;    // the library's audio driver for --play; empty = its default
  std::string soundfont;       // the SoundFont; empty = the first of the search list
  double gain = 0.2;           // the output level, as the library's synth.gain
  bool reverb = true;          // the modules' reverb
  bool chorus = true;          // the modules' chorus
  int period_frames = 512;     // frames the live output renders at a time
  int mode = -1;               // the nodes' permissions; -1 = as the user's umask leaves
                               // them, or 0660 for group audio when run as root
  // The player to run on the nodes, as given after "--": the program, then
  // its options and file; empty = none, the monitor waits for writers.
  std::vector<std::string> player;
  // How the monitor was started (its argv[0]): a bare "songrelay" after
  // "--" is looked for beside it first.
  std::string monitor_path;
  // Where the nodes go when no directory is forced; a temporary directory is
  // taken when this one refuses them. Not an option: tests point it elsewhere.
  std::string default_dir = "/dev";
};

// Reads the arguments after argv[0] into options; "--" ends the monitor's
// options, and what follows it is the player's command. Returns 0, or -1
// after printing one line saying what is wrong.
int parse_monitor_options(int argc, char** argv, MonitorOptions& options);

// Prints the usage screen on standard error.
void print_monitor_usage();
