// Finding a SoundFont.
#include "monitor/sound/soundfont.h"

#include <unistd.h>

const std::vector<std::string>& default_soundfonts() {
  // Debian's alternative first, which the administrator chooses; then the
  // files of the GM SoundFont packages of Debian and FreeBSD.
  static const std::vector<std::string> LIST = {
      "/usr/share/sounds/sf2/default-GM.sf2",       "/usr/share/sounds/sf2/TimGM6mb.sf2",
      "/usr/share/sounds/sf2/FluidR3_GM.sf2",       "/usr/share/soundfonts/default.sf2",
      "/usr/local/share/sounds/sf2/FluidR3_GM.sf2", "/usr/local/share/sounds/sf2/TimGM6mb.sf2",
  };
  return LIST;
}

std::string find_soundfont(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates)
    if (access(path.c_str(), R_OK) == 0) return path;
  return "";
}

const char* missing_soundfont_line() {
  return "songrelay-monitor: no SoundFont found; install one (Debian: apt-get install timgm6mb-soundfont; "
         "FreeBSD: pkg install fluid-soundfont) or name a file with --soundfont FILE\n";
}
