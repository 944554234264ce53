// Start-up: the whole songrelay program behind main, so that a test build
// can run it with a probe in the life cycle.
#pragma once

// Banner, settings, the text converter, one run, and the exit status that
// tells a script how the run went; a run stopped by a signal ends by it.
int songrelay_main(int argc, char** argv);
