// Start-up and run control, reasons. Every name in these lines came from
// the command line or the environment, so each is shown as song text is,
// unable to steer the terminal.
#include "app/reasons.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "meta/text_converter.h"
#include "song/loader.h"

namespace {

// Says that iconv does not know an encoding, which option names it, and where the known ones are listed.
void say_unknown_encoding(const char* role, const char* name) {
  fprintf(stderr, "Reason: %s ", role);
  print_harmless_name(name, stderr);
  fputs(" is not one that iconv knows; iconv -l lists the known ones.\n", stderr);
}

}  // namespace

void explain_load_failure(const char* path) {
  int error = load_file_error();
  if (error == 0) return;
  fputs("Reason: ", stderr);
  print_harmless_name(path, stderr);
  fprintf(stderr, ": %s.\n", strerror(error));
}

void explain_converter_failure(int error) {
  const TextConverter& t = text_converter;
  bool source_unknown = encoding_unknown(t.source_encoding);
  bool terminal_unknown = encoding_unknown(t.terminal_encoding);
  if (source_unknown) say_unknown_encoding("the song's text encoding (-l)", t.source_encoding);
  if (terminal_unknown) say_unknown_encoding("the terminal's encoding (-t, else the locale's)", t.terminal_encoding);
  if (source_unknown || terminal_unknown) return;
  // Both names are known: iconv cannot convert between these two, or ran short of something.
  fputs("Reason: iconv cannot convert from ", stderr);
  print_harmless_name(t.source_encoding, stderr);
  fputs(" to ", stderr);
  print_harmless_name(t.terminal_encoding, stderr);
  fprintf(stderr, " (%s).\n", strerror(error));
}
