// Raw MIDI output: the port table.
#include "output/ports.h"

PortTable port_table = {{nullptr, nullptr, nullptr, nullptr}, {-1, -1, -1, -1}};

void reset_port_table() { port_table = PortTable{{nullptr, nullptr, nullptr, nullptr}, {-1, -1, -1, -1}}; }
