// Start-up and run control: the process-wide settings that main writes from
// the command line and the locale before the run, and that every room only reads.
#pragma once

#include <cstdint>

#include "meta/text_converter.h"
#include "song/options.h"

extern const char* device_base;    // -d argument, or null until the run picks "umidi"
extern const char* midi_path;      // the one file operand
extern const char* port_names[4];  // -0 … -3 arguments, null where not given

// Puts every setting back to its start value (the converter is not closed).
void clear_settings();

// Writes the two banner lines to standard error.
void print_banner();

// Writes the fourteen strings of the usage screen to standard error.
void print_usage();

// What the command line asked for once the options have been read.
enum ParseOutcome { PARSE_RUN = 0, PARSE_HELP = 1, PARSE_USAGE_ERROR = 2 };

// Reads the options and the one file operand into the settings; stops at the
// first operand, as the usage screen promises.
ParseOutcome parse_command_line(int argc, char** argv);

// Copies an encoding name into a 64-byte buffer in upper case, unless it has
// 64 characters or more, in which case the buffer keeps what it held.
void set_encoding_name(char (&buffer)[64], const char* name);

// Fills in the defaults: SHIFT_JISX0213 for the file; for the terminal, the
// encoding of LC_ALL, LC_CTYPE or LANG (the first set), else EUC-JP.
void choose_encodings();

// The verbose line that names the file, in the terminal's encoding chosen.
void print_file_line();
