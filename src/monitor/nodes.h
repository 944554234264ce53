// The monitor's raw MIDI nodes: FIFOs named as the player's unit search and
// port naming expect, read by the monitor and removed again at its end.
#pragma once

#include <string>
#include <sys/types.h>

#include "monitor/options.h"

constexpr int MAX_NODES = 4;

// Results of node set-up.
constexpr int NODES_OK = 0;
constexpr int NODES_EXIST = -1;   // a node name is taken; nothing was replaced
constexpr int NODES_FAILED = -2;  // a system call failed

// The nodes of one monitor run; one per process.
struct NodeSet {
  std::string dir;                    // directory holding the nodes
  bool temp_dir = false;              // dir was made here (temporary, or a missing -D one)
                                      // and is removed at the end
  int count = 0;                      // nodes created so far, ports 0 … count-1
  std::string paths[MAX_NODES];       // full path of each node
  std::string port_names[MAX_NODES];  // each node's name for -0 … -3: plain in /dev/, else absolute
  dev_t devices[MAX_NODES] = {};      // identity of each created node, so that only
  ino_t inodes[MAX_NODES] = {};       // our own node is ever removed
  // The reading ends. The monitor holds no writer of its own, so that a
  // node reads as ended when its last writer goes away.
  int read_fds[MAX_NODES] = {-1, -1, -1, -1};
};

// The nodes' permissions: those of --mode; run as root without it, 0660 for
// the group audio where that group exists, else 0666; otherwise -1, as the
// umask leaves them.
int node_mode(const MonitorOptions& options, bool root, bool audio_group);

// The permissions of a directory made for nodes of node_mode: the user's
// own, and read and search for the group and for others where the nodes
// are open to them, so that they can reach the nodes; 0700 for -1.
int node_dir_mode(int node_mode);

// Creates options.ports nodes: in options.dir when given (made when missing),
// otherwise in options.default_dir, falling back to a new temporary directory
// when that directory refuses them. Returns NODES_OK, or NODES_EXIST / NODES_FAILED after
// printing one line and removing whatever it had made.
int setup_nodes(NodeSet& nodes, const MonitorOptions& options);

// Opens the reading end of every node, non-blocking. Returns NODES_OK or
// NODES_FAILED after printing one line.
int open_nodes(NodeSet& nodes);

// Gives port a fresh reading end after its last writer went away, so that
// the node waits for the next writer instead of reading as ended from now
// on. The old end is handed back in old_fd, still open: read after the new
// one is open, it delivers whatever a writer that came and went meanwhile
// left, and a writer never finds the node without a reader. Returns
// NODES_OK, or NODES_FAILED after printing one line (then nothing changed).
int reopen_node(NodeSet& nodes, int port, int& old_fd);

// Closes every descriptor, removes every node made here that is still ours,
// and the temporary directory. Safe to call more than once.
void remove_nodes(NodeSet& nodes);

// The player options that reach the nodes: "-0 NAME -1 NAME …".
std::string player_arguments(const NodeSet& nodes);
