// Raw MIDI output, why a node did not open. The open's errno alone does not
// say enough: ENXIO is a FIFO without a reader or a device node whose device
// is gone, and EACCES is best answered with the node's group and mode. So
// the node is looked at once more when the reason is written, right after
// the open failed.
#include "output/open_reason.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>

#include "meta/text_converter.h"

namespace {

// What stands in the way of opening a node, as the user can act on it.
enum Trouble { NO_NODE, NO_READER, DENIED, NOT_A_NODE, NO_DEVICE, IN_USE, BECAME_FIFO, HOLDS_DATA, OTHER };

// Reads the open's error together with what the node is now (when it could be looked at).
Trouble trouble_of(int error, bool seen, mode_t mode) {
  if (error == NODE_BECAME_FIFO) return BECAME_FIFO;
  if (error == NODE_HOLDS_DATA) return HOLDS_DATA;
  if (error == ENOENT || error == ENOTDIR) return NO_NODE;
  if (error == EACCES) return DENIED;
  if (seen && !S_ISCHR(mode) && !S_ISFIFO(mode)) return NOT_A_NODE;
  if (error == ENXIO || error == ENODEV) return seen && S_ISFIFO(mode) ? NO_READER : NO_DEVICE;
  if (error == EBUSY) return IN_USE;
  return OTHER;
}

// What a node that is neither a character device nor a FIFO is.
const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return "a special file";
}

// The reason line's start: the tag and, where the sentence begins with it, the path.
void begin(const char* before_path, const char* path) {
  fputs("Reason: ", stderr);
  fputs(before_path, stderr);
  print_harmless_name(path, stderr);
}

// Permission denied: the node's mode and group say whether joining its group is enough.
void say_denied(const char* path, bool seen, const struct stat& node) {
  begin("you may not open ", path);
  if (!seen) {
    fprintf(stderr, " (%s): a directory on its path is closed to you.\n", strerror(EACCES));
    return;
  }
  char group[64];
  const struct group* entry = getgrgid(node.st_gid);
  if (entry != nullptr && entry->gr_name != nullptr) {
    snprintf(group, sizeof group, "%s", entry->gr_name);
  } else {
    snprintf(group, sizeof group, "%lu", static_cast<unsigned long>(node.st_gid));
  }
  unsigned mode = static_cast<unsigned>(node.st_mode) & 07777u;
  fprintf(stderr, " (%s; mode %04o, group %s): ", strerror(EACCES), mode, group);
  if ((mode & 060u) == 060u) {
    fprintf(stderr, "add yourself to the group that owns it, %s, and log in again.\n", group);
  } else {
    fputs("give a group such as audio read and write access to it, and add yourself to that group.\n", stderr);
  }
}

}  // namespace

bool explain_open(const Port* port) {
  if (port->open_error == 0) return false;
  const char* path = port->path;
  int error = port->open_error;
  struct stat node = {};
  bool seen = stat(path, &node) == 0;
  Trouble trouble = trouble_of(error, seen, node.st_mode);
  switch (trouble) {
    case NO_NODE:
      begin("there is no node ", path);
      fprintf(stderr, " (%s): plug the interface in, or check the name.\n", strerror(error));
      return true;
    case NO_READER:
      begin("", path);
      fputs(" is a FIFO that no program is reading: start songrelay-monitor first.\n", stderr);
      return false;
    case DENIED: say_denied(path, seen, node); return false;
    case NOT_A_NODE:
      begin("", path);
      fprintf(stderr, " is %s, not a character device or FIFO (%s): name the MIDI port's node itself.\n",
              kind_of(node.st_mode), strerror(error));
      return true;
    case NO_DEVICE:
      begin("", path);
      fprintf(stderr,
              " is a device node, but no device answers behind it (%s): plug the interface in, or load its "
              "driver.\n",
              strerror(error));
      return true;
    case IN_USE:
      begin("", path);
      fprintf(stderr, " is in use by another program (%s): end that program first.\n", strerror(error));
      return false;
    case BECAME_FIFO:
      begin("", path);
      fputs(" became a FIFO while it was being opened: run songrelay again.\n", stderr);
      return false;
    case HOLDS_DATA:
      begin("", path);
      fputs(
          " is a regular file with data, which songrelay will not overwrite: name the MIDI port's node, or an "
          "empty file to capture the bytes sent.\n",
          stderr);
      return true;
    case OTHER: break;
  }
  begin("", path);
  fprintf(stderr, ": %s.\n", strerror(error));
  return true;
}

bool explain_port_open(int port) { return port >= 0 && port < PORT_COUNT && explain_open(&port_table.ports[port]); }

void explain_files_kept(const PortTable* table) {
  for (int p = 1; p < PORT_COUNT; ++p) {
    if (table->ports[p].open_error == NODE_HOLDS_DATA) explain_open(&table->ports[p]);
  }
}
