// Start-up: the songrelay program's body: banner, settings, the text
// converter, one run, and the exit status that tells a script how the run went.
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "app/program.h"
#include "app/reasons.h"
#include "app/run.h"
#include "app/settings.h"
#include "base/life_cycle.h"
#include "base/standard_fds.h"

namespace {

// Exit statuses besides 0 (the song played to its end) and 1 (usage, or a
// converter that cannot be opened); a run stopped by a signal ends by it.
constexpr int EXIT_RUN_FAILED = 2;

// The exit status for a run that ended without a signal, or the fallback
// status of a signal that could not be raised.
int exit_status(RunOutcome outcome, int stop_signal) {
  if (stop_signal != 0) return 128 + stop_signal;
  return outcome == RUN_PLAYED ? 0 : EXIT_RUN_FAILED;
}

}  // namespace

int songrelay_main(int argc, char** argv) {
  // A caller that closed standard output (>&-) must not have its number
  // taken by a port or a pipe, which would then receive the console's lines.
  fill_standard_fds();
  // A console piped into a reader that goes away (head, a closed terminal)
  // makes a write fail instead of ending the player with a note held.
  signal(SIGPIPE, SIG_IGN);
  // Lyrics must reach a pipe or a log as they are sung, not when a buffer fills.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  print_banner();
  clear_settings();
  ParseOutcome outcome = parse_command_line(argc, argv);
  if (outcome == PARSE_HELP) return 0;
  if (outcome == PARSE_USAGE_ERROR) return 1;
  choose_encodings();
  bool converter_open = open_text_converter();
  int open_error = errno;
  // The file is named even when the converter then cannot be opened.
  print_file_line();
  if (!converter_open) {
    errno = open_error;
    fflush(stdout);
    fprintf(stderr, "Error!!: Can't Initialize libiconv (%d)\n", errno);
    explain_converter_failure(open_error);
    return 1;
  }
  RunOutcome run = run_player();
  close_text_converter();
  int stop_signal = first_stop_signal();
  if (stop_signal != 0) {
    fflush(stdout);
    end_by_signal(stop_signal);
  }
  return exit_status(run, stop_signal);
}
