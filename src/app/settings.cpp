// Start-up: the settings, the banner, the usage screen, the command line and
// the choice of the two text encodings.
#include "app/settings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

const char* device_base;
const char* midi_path;
const char* port_names[4];

namespace {

// Templates copied whole, so the rest of each 64-byte buffer is zero.
const char DEFAULT_SOURCE_ENCODING[64] = "SHIFT_JISX0213";
const char DEFAULT_TERMINAL_ENCODING[64] = "EUC-JP";

// The leading '+' keeps glibc from moving operands in front of options.
const char OPTION_STRING[] = "+d:0:1:2:3:vqrhl:t:";

// Upper-cases a NUL-terminated name in place, one byte at a time; bytes of
// 0x80 and above reach toupper negative in the C locale and stay as they are.
void upper_case(char* name) {
  for (; *name != '\0'; ++name) *name = static_cast<char>(toupper(*name));
}

// Makes the next getopt call start from the first argument again.
void restart_getopt() {
#if defined(__GLIBC__)
  optind = 0;
#else
  optreset = 1;
  optind = 1;
#endif
}

// The locale variable that names the character set, in the order POSIX
// gives: LC_ALL, then LC_CTYPE, then LANG; the first that is set and not
// empty wins, or null when none is.
const char* ctype_locale() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

// Takes the terminal encoding from what follows the first '.' of the locale,
// up to an '@' that begins a modifier (de_DE.UTF-8@euro is in UTF-8): the
// modifier names a variant of the locale, never part of the encoding.
void encoding_from_locale() {
  const char* locale = ctype_locale();
  if (locale == nullptr || strnlen(locale, 64) > 63) return;
  const char* dot = strchr(locale, '.');
  if (dot == nullptr) return;
  const char* encoding = dot + 1;
  size_t length = strcspn(encoding, "@");
  if (length == 0) return;
  // The value has at most 63 characters, so what follows its dot has at most 62.
  memset(text_converter.terminal_encoding, 0, sizeof text_converter.terminal_encoding);
  memcpy(text_converter.terminal_encoding, encoding, length);
  upper_case(text_converter.terminal_encoding);
}

}  // namespace

void clear_settings() {
  option_flags = 0;
  device_base = nullptr;
  midi_path = nullptr;
  for (const char*& name : port_names) name = nullptr;
  memset(text_converter.source_encoding, 0, sizeof text_converter.source_encoding);
  memset(text_converter.terminal_encoding, 0, sizeof text_converter.terminal_encoding);
}

void print_banner() {
  fputs("songrelay: Simple MIDI-File Player for RAW-MIDI Interface(USB MIDI). Version 0.8.3 (2020/08/23)\n", stderr);
  fputs(" Written for musicians who drive a hardware synth from a terminal.\n", stderr);
}

void print_usage() {
  fputs("usage: songrelay [option] MIDIfile(.mid)\n", stderr);
  fputs("  -d device_name      Use RAW-MIDI device /dev/[device_name]X.Y (X & Y is auto-serarch)\n", stderr);
  fputs("  -0 device_fullname  Use Port-0 RAW-MIDI device /dev/[device_fullname]\n", stderr);
  fputs("  -1 device_fullname  Use Port-1 RAW-MIDI device /dev/[device_fullname]\n", stderr);
  fputs("  -2 device_fullname  Use Port-2 RAW-MIDI device /dev/[device_fullname]\n", stderr);
  fputs("  -3 device_fullname  Use Port-3 RAW-MIDI device /dev/[device_fullname]\n", stderr);
  fputs("  -r                  Not auto-append XG/GS/GM REST code\n", stderr);
  fputs("  -q                  Quiet mode (No output Meta-Event Text for console)\n", stderr);
  fputs("  -v                  Verbose mode\n", stderr);
  fputs("  -l language_code    Text Language-Code in MIDI-File MetaEvent\n", stderr);
  fputs("  -t language_code    Output Text Language-Code for Terminal\n", stderr);
  fputs("  -h                  Help (This Message)\n", stderr);
  fputs("\n        The parameter \"language_code\" of Option -l & -t is ability\n", stderr);
  fputs("        to specify a value that is displayed in the command \"iconv -l\"\n\n", stderr);
}

void set_encoding_name(char (&buffer)[64], const char* name) {
  size_t length = strnlen(name, sizeof buffer);
  if (length > 63) return;
  memset(buffer, 0, sizeof buffer);
  memcpy(buffer, name, length);
  upper_case(buffer);
}

ParseOutcome parse_command_line(int argc, char** argv) {
  restart_getopt();
  int option;
  while ((option = getopt(argc, argv, OPTION_STRING)) != -1) {
    switch (option) {
      case 'd': device_base = optarg; break;
      case '0':
      case '1':
      case '2':
      case '3': port_names[option - '0'] = optarg; break;
      case 'v': option_flags |= OPT_VERBOSE; break;
      case 'q': option_flags |= OPT_QUIET; break;
      case 'r': option_flags |= OPT_NO_RESET; break;
      case 'l': set_encoding_name(text_converter.source_encoding, optarg); break;
      case 't': set_encoding_name(text_converter.terminal_encoding, optarg); break;
      case 'h': print_usage(); return PARSE_HELP;
      default: print_usage(); return PARSE_USAGE_ERROR;
    }
  }
  if (argc - optind != 1) {
    print_usage();
    return PARSE_USAGE_ERROR;
  }
  midi_path = argv[optind];
  return PARSE_RUN;
}

void choose_encodings() {
  if (text_converter.source_encoding[0] == '\0')
    memcpy(text_converter.source_encoding, DEFAULT_SOURCE_ENCODING, sizeof DEFAULT_SOURCE_ENCODING);
  if (text_converter.terminal_encoding[0] == '\0') encoding_from_locale();
  if (text_converter.terminal_encoding[0] == '\0')
    memcpy(text_converter.terminal_encoding, DEFAULT_TERMINAL_ENCODING, sizeof DEFAULT_TERMINAL_ENCODING);
}

// The name is shown as song text is, so that a file name cannot steer the
// terminal either.
void print_file_line() {
  if (!(option_flags & OPT_VERBOSE)) return;
  fputs("  [MIDI File ]: ", stdout);
  print_harmless_name(midi_path);
  putchar('\n');
}
