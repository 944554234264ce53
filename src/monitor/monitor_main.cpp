// The songrelay-monitor executable: everything lives in the monitor library.
#include "monitor/monitor.h"

int main(int argc, char** argv) { return monitor_main(argc, argv); }
