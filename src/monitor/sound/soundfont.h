// The SoundFont the synthesizer plays from: named on the command line, or the
// first that exists of a short list of the places where packages put one.
#pragma once

#include <string>
#include <vector>

// The places looked at, in order, when no SoundFont is named.
const std::vector<std::string>& default_soundfonts();

// The first file of candidates that exists and can be read, or an empty text.
std::string find_soundfont(const std::vector<std::string>& candidates);

// The one line said when no SoundFont is found.
const char* missing_soundfont_line();
