// Reading what songrelay-monitor shows: the port names of its ready line, the
// decoded lines of its standard output and the bytes of its log; and writing
// into its nodes as the player does.
#pragma once

#include <string>
#include <vector>

#include "support/support.h"

// The -0 … -3 names from the monitor's ready line, by port.
std::vector<std::string> ready_port_names(const std::string& out);

// The node a -0 … -3 name reaches, as the player finds it: an absolute name
// as it stands, any other under /dev/.
std::string node_path(const std::string& port_name);

// The decoded lines of one port, without their time column, in order.
std::vector<std::string> port_lines(const std::string& out, int port);

// The log lines of one port as their hex bytes, in order; also checks that
// the arrival times never go back.
std::vector<std::string> log_bytes(const std::string& log, int port);

// Writes bytes into a node the way the player does: opened read-write, one write.
void write_node(const std::string& path, const Bytes& bytes);
