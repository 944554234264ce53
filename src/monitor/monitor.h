// The monitor's run: nodes up, messages read, decoded, shown and logged until
// a signal, the idle time or the time limit ends it, nodes down.
#pragma once

#include <cstdint>
#include <string>

#include "monitor/decoder.h"

// One decoded line: "   12.345678  0   1  Note On           A4 (69), velocity 96".
// elapsed_ns counts from the first byte that reached any port.
std::string format_monitor_line(int64_t elapsed_ns, int port, const MessageText& text);

// One log line: "0 123456789012 90 45 60", the port, the arrival time in
// nanoseconds on the monotonic clock (absolute), and the bytes in hex.
std::string format_log_line(int port, int64_t monotonic_ns, const DecodedMessage& message);

// The whole program: reads the command line and runs. Returns the exit status:
// 0 after a clean end and after -h, 1 on a usage error or a failure.
int monitor_main(int argc, char** argv);
