// The monitor's run: watching the nodes, showing and logging what arrives.
#include "monitor/monitor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "base/clock.h"
#include "base/life_cycle.h"
#include "base/standard_fds.h"
#include "base/stop_wait.h"
#include "monitor/constants.h"
#include "monitor/nodes.h"
#include "monitor/options.h"
#include "monitor/player_child.h"
#include "monitor/printer.h"
#include "monitor/sound/synth.h"

namespace {

// Everything one run of the monitor keeps; one per process.
struct MonitorRun {
  NodeSet nodes;
  DecoderState decoders[MAX_NODES];
  FILE* log = nullptr;
  bool quiet = false;
  int64_t start_ns = 0;       // when watching began
  int64_t first_ns = -1;      // arrival of the first byte on any port; -1 before
  int64_t last_data_ns = -1;  // arrival of the latest byte; -1 before any
  uint64_t message_count = 0;
  std::vector<DecodedMessage> decoded;  // reused for every read
  // Whether bytes came on a port since its reading end was opened; an end
  // reported without them left nothing sounding.
  bool written[MAX_NODES] = {};
  // When a port that reported an end without data is watched again; -1 when
  // it is watched. Only where a FIFO without any writer reads as ended.
  int64_t resume_ns[MAX_NODES] = {-1, -1, -1, -1};
  PlayerChild player;  // the player after "--", when there is one
};

// Asks the run to end: the base room's stop, whose pipe every wait here
// watches. The monitor has no phase beyond loading and ending.
void on_stop_signal(int signal_number) { raise_stop(signal_number); }

// Takes the stop signals for the whole monitor. Every other thread holds
// them from the start (run_monitor), so a stop signal waits for this one,
// asleep in sigwait, and becomes the base room's stop here. A signal taken
// by sigwait runs no handler: under ThreadSanitizer, which runs a handler
// only when the thread that took the signal next calls into the runtime, a
// SIGTERM was taken by the reader between two polls and left unhandled
// while it slept in the next one, about one run in four. A signal the
// monitor found ignored is discarded as it comes, so sigwait never sees it.
void* take_stop_signals(void*) {
  sigset_t waited = stop_signal_set(false);
  for (;;) {
    int signal_number = 0;
    if (sigwait(&waited, &signal_number) == 0) raise_stop(signal_number);
  }
  return nullptr;
}

// Starts the thread that takes the stop signals, detached; it lives as long
// as the process. The caller holds them already, and the thread inherits that.
int start_stop_taker() {
  pthread_t taker;
  int error = pthread_create(&taker, nullptr, take_stop_signals, nullptr);
  if (error != 0) {
    std::fprintf(stderr, "songrelay-monitor: cannot start the thread that takes the stop signals (%s)\n",
                 std::strerror(error));
    return -1;
  }
  pthread_detach(taker);
  return 0;
}

// The signals the run takes over, and their actions from before.
const int HANDLED_SIGNALS[4] = {SIGTERM, SIGINT, SIGHUP, SIGPIPE};
struct sigaction saved_actions[4];

// Makes the stop's wake-up pipe and sets the handlers for SIGTERM, SIGINT
// and SIGHUP, and ignores SIGPIPE so that a closed output cannot end the
// run without cleanup.
int install_stop_signals() {
  if (!open_stop_pipe()) {
    std::fprintf(stderr, "songrelay-monitor: cannot make a pipe (%s)\n", std::strerror(errno));
    return -1;
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_mask = stop_signal_set(false);
  for (int i = 0; i < 4; ++i) {
    int signal_number = HANDLED_SIGNALS[i];
    sigaction(signal_number, nullptr, &saved_actions[i]);
    // A monitor started in the background of a script finds SIGINT and
    // SIGHUP ignored and leaves them so: the interrupt key is then the
    // script's to handle, and the monitor listens on until the script stops it.
    bool keep_ignored = (signal_number == SIGINT || signal_number == SIGHUP) && saved_actions[i].sa_handler == SIG_IGN;
    if (keep_ignored) continue;
    action.sa_handler = signal_number == SIGPIPE ? SIG_IGN : on_stop_signal;
    sigaction(signal_number, &action, nullptr);
  }
  return 0;
}

// Puts the signal actions from before back; the stop's pipe lives as long
// as the process.
void remove_stop_signals() {
  for (int i = 0; i < 4; ++i) sigaction(HANDLED_SIGNALS[i], &saved_actions[i], nullptr);
}

// Plays, shows and logs the messages decoded from one read of port; the
// lines go to the printing thread in one piece.
void emit_decoded(MonitorRun& run, int port, int64_t arrival_ns) {
  std::string lines;
  for (const DecodedMessage& message : run.decoded) {
    synth_put(port, arrival_ns, message);
    if (!run.quiet) lines += format_monitor_line(arrival_ns - run.first_ns, port, describe_message(message));
    if (run.log != nullptr) std::fputs(format_log_line(port, arrival_ns, message).c_str(), run.log);
    ++run.message_count;
  }
  if (!lines.empty()) printer_put(lines);
  run.decoded.clear();
}

// Reads what one port holds, once, through fd, and decodes it. Returns
// read's result.
ssize_t read_port_from(MonitorRun& run, int port, int fd) {
  uint8_t buffer[4096];
  ssize_t count = read(fd, buffer, sizeof buffer);
  // Stamped at once, before any decoding or printing can delay it.
  int64_t arrival_ns = monotonic_ns();
  if (count <= 0) return count;
  run.written[port] = true;
  if (run.first_ns < 0) run.first_ns = arrival_ns;
  run.last_data_ns = arrival_ns;
  decode_bytes(run.decoders[port], buffer, static_cast<size_t>(count), run.decoded);
  emit_decoded(run, port, arrival_ns);
  return count;
}

// Reads what one port holds, once, and decodes it. Returns read's result.
ssize_t read_port(MonitorRun& run, int port) { return read_port_from(run, port, run.nodes.read_fds[port]); }

// The time left until the run must end, in whole milliseconds rounded up for
// poll; -1 when nothing limits the wait, 0 when the end has come.
int wait_limit_ms(const MonitorRun& run, const MonitorOptions& options) {
  int64_t deadline = -1;
  if (options.timeout_seconds > 0)
    deadline = run.start_ns + static_cast<int64_t>(options.timeout_seconds * NS_PER_SECOND);
  if (options.idle_seconds > 0 && run.last_data_ns >= 0) {
    int64_t idle_end = run.last_data_ns + static_cast<int64_t>(options.idle_seconds * NS_PER_SECOND);
    if (deadline < 0 || idle_end < deadline) deadline = idle_end;
  }
  if (deadline < 0) return -1;
  int64_t left = deadline - monotonic_ns();
  return left <= 0 ? 0 : static_cast<int>((left + NS_PER_MS - 1) / NS_PER_MS);
}

// How long a port whose reading end reports an end with no writer ever
// seen is left unwatched before it is looked at again.
constexpr int64_t RESUME_NS = 20 * NS_PER_MS;

// Takes in the rest of what a departed writer left, then, when the node has
// really ended, silences the port and says so; the node is open again for
// the next writer. Returns 0, or -1 after a failure it has reported.
int take_writer_leaving(MonitorRun& run, int port) {
  int old_fd = -1;
  if (reopen_node(run.nodes, port, old_fd) != NODES_OK) return -1;
  // Bounded, as a new writer may already be writing without end.
  constexpr int MAX_LEAVING_READS = 64;
  ssize_t count = 1;
  for (int reads = 0; reads < MAX_LEAVING_READS && count > 0; ++reads) count = read_port_from(run, port, old_fd);
  close(old_fd);
  // Not ended: a new writer came before the old one was noticed leaving.
  if (count != 0) return 0;
  int64_t now = monotonic_ns();
  if (run.written[port]) {
    synth_writer_gone(port, now);
    printer_put("songrelay-monitor: " + run.nodes.paths[port] + ": the last writer has gone; port " +
                std::to_string(port) + " silenced\n");
  } else {
    // Nothing came since the node was opened: either a writer that wrote
    // nothing, or a system that reports an end while no writer is there.
    // Either way the port is looked at again a little later, never in a loop.
    run.resume_ns[port] = now + RESUME_NS;
  }
  run.written[port] = false;
  return 0;
}

// The poll set: each port that is watched now. Returns the time in
// milliseconds until the next port is watched again, or -1.
int watched_fds(MonitorRun& run, pollfd* fds) {
  int64_t now = monotonic_ns();
  int64_t next = -1;
  for (int port = 0; port < run.nodes.count; ++port) {
    if (run.resume_ns[port] >= 0 && run.resume_ns[port] <= now) run.resume_ns[port] = -1;
    bool resting = run.resume_ns[port] >= 0;
    // A negative descriptor is left out by poll.
    fds[port] = {resting ? -1 : run.nodes.read_fds[port], POLLIN, 0};
    if (resting && (next < 0 || run.resume_ns[port] < next)) next = run.resume_ns[port];
  }
  return next < 0 ? -1 : static_cast<int>((next - now + NS_PER_MS - 1) / NS_PER_MS);
}

// Waits on every node beside the stop until a stop signal, the idle time or
// the time limit; with a player, until it ends, and after one of those, until
// it has ended after being stopped with the same signal (SIGTERM for the
// times), so that its All Sound Off is read. Returns 0, or 1 after a failure
// it has reported.
int watch_ports(MonitorRun& run, const MonitorOptions& options) {
  static_assert(MAX_NODES + 1 <= static_cast<int>(MAX_WAIT_FDS), "every node and the player are watched in one wait");
  pollfd fds[MAX_NODES + 1];
  for (;;) {
    int limit = wait_limit_ms(run, options);
    bool ending = stop_raised() || limit == 0;
    if (ending) {
      if (!player_running(run.player)) break;
      limit = stop_player(run.player, first_stop_signal() != 0 ? first_stop_signal() : SIGTERM);
      if (limit == 0) break;
    }
    // Every message of the rounds before is handed over; any later one is
    // stamped after this.
    synth_mark_quiet(monotonic_ns());
    int quiet_interval = synth_quiet_interval_ms();
    if (quiet_interval >= 0 && (limit < 0 || limit > quiet_interval)) limit = quiet_interval;
    int resume = watched_fds(run, fds);
    if (resume >= 0 && (limit < 0 || limit > resume)) limit = resume;
    const int player_at = run.nodes.count;
    fds[player_at] = {player_running(run.player) ? run.player.ended_fds[0] : -1, POLLIN, 0};
    WaitEnd end = wait_beside_stop(fds, static_cast<unsigned>(player_at + 1), limit,
                                   ending ? ENDS_ON_NEITHER : ENDS_ON_STOP);
    if (end != WAIT_READY) continue;
    for (int port = 0; port < run.nodes.count; ++port) {
      short events = fds[port].revents;
      if (events & (POLLERR | POLLNVAL)) {
        std::fprintf(stderr, "songrelay-monitor: %s failed\n", run.nodes.paths[port].c_str());
        return 1;
      }
      if (events & POLLHUP) {
        if (take_writer_leaving(run, port) != 0) return 1;
      } else if (events & POLLIN) {
        read_port(run, port);
      }
    }
    if (fds[player_at].revents != 0) {
      note_player_ended(run.player);
      if (!player_running(run.player)) break;
    }
  }
  return 0;
}

// Takes in what was written before the end came, then shows any message left
// unfinished on each port. The reads are bounded so that a writer that never
// stops cannot hold the end off.
void drain_ports(MonitorRun& run) {
  constexpr int MAX_DRAIN_READS = 64;
  for (int port = 0; port < run.nodes.count; ++port) {
    for (int reads = 0; reads < MAX_DRAIN_READS && read_port(run, port) > 0; ++reads) {
    }
    decoder_finish(run.decoders[port], run.decoded);
    if (!run.decoded.empty()) emit_decoded(run, port, monotonic_ns());
  }
}

// Prints the column heads and the line that tells people and scripts where
// the nodes are; the ready line comes last so that a script can start at once.
void print_ready(const MonitorRun& run) {
  std::string names;
  for (int port = 0; port < run.nodes.count; ++port) {
    names += port > 0 ? " " : "";
    names += run.nodes.paths[port].substr(run.nodes.paths[port].rfind('/') + 1);
  }
  char head[80];
  std::snprintf(head, sizeof head, "        time  P  Ch  %-17s  %s\n", "Message", "Values");
  printer_put(synth_header_line());
  if (!run.quiet) printer_put(head);
  printer_put("songrelay-monitor: ready: " + names + " in " + run.nodes.dir +
              "; player options: " + player_arguments(run.nodes) + "\n");
}

// Opens the log file, when one is asked for.
int open_log(MonitorRun& run, const MonitorOptions& options) {
  if (options.log_path.empty()) return 0;
  run.log = std::fopen(options.log_path.c_str(), "w");
  if (run.log == nullptr) {
    std::fprintf(stderr, "songrelay-monitor: cannot open %s (%s)\n", options.log_path.c_str(), std::strerror(errno));
    return -1;
  }
  // Not the player's to inherit.
  fcntl(fileno(run.log), F_SETFD, FD_CLOEXEC);
  return 0;
}

// Closes the log file; a failed final write is a failure of the run.
int close_log(MonitorRun& run, const MonitorOptions& options) {
  if (run.log == nullptr) return 0;
  int result = std::fclose(run.log);
  run.log = nullptr;
  if (result != 0) {
    std::fprintf(stderr, "songrelay-monitor: cannot write %s (%s)\n", options.log_path.c_str(), std::strerror(errno));
    return -1;
  }
  return 0;
}

// Writes the closing line on standard error, waiting a bounded time for room,
// so that a stalled console cannot hold the end off either.
void say_closing_line(const std::string& line) {
  constexpr int CLOSING_WAIT_MS = 1000;
  pollfd fd = {STDERR_FILENO, POLLOUT, 0};
  if (poll(&fd, 1, CLOSING_WAIT_MS) <= 0 || (fd.revents & POLLOUT) == 0) return;
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

// The closing line: messages seen, lines not shown when the console fell
// behind or stalled, and that the nodes are gone.
std::string closing_line(const MonitorRun& run) {
  std::string line = "songrelay-monitor: " + std::to_string(run.message_count) + " messages; ";
  uint64_t dropped = printer_dropped_lines();
  if (dropped > 0) line += std::to_string(dropped) + " lines not shown (the output did not keep up); ";
  return line + "nodes removed\n";
}

// Starts the player after "--", when there is one, on the nodes. Returns 0,
// or 1 after one line saying why it could not start.
int start_run_player(MonitorRun& run, const MonitorOptions& options) {
  if (options.player.empty()) return 0;
  std::string path = player_program(options.player[0], options.monitor_path, std::getenv("PATH"));
  return start_player(run.player, path, player_argv(options.player, run.nodes)) == 0 ? 0 : 1;
}

// Lets the last notes of a player that ended by itself ring out live, a
// second past its last message as the file gets, unless a stop comes.
void ring_out(const MonitorRun& run, const MonitorOptions& options) {
  if (!options.play || options.player.empty() || run.last_data_ns < 0) return;
  int64_t left = run.last_data_ns + NS_PER_SECOND - monotonic_ns();
  if (left > 0) wait_beside_stop(nullptr, 0, static_cast<int>((left + NS_PER_MS - 1) / NS_PER_MS), ENDS_ON_STOP);
}

// The exit status with a player: the player's, unless it ended well and the
// monitor did not, or its status was lost.
int status_with_player(int own_status, int player_wait_status) {
  if (player_wait_status < 0) return 1;
  int player = shell_exit_status(player_wait_status);
  return player != 0 ? player : own_status;
}

// Runs the monitor with its options; the nodes made are removed on every path.
int run_monitor(const MonitorOptions& options) {
  MonitorRun run;
  run.quiet = options.quiet;
  fill_standard_fds();
  if (install_stop_signals() != 0) return 1;
  // This thread and every thread the monitor or the sound library starts
  // hold the stop signals for the whole run, so that only the thread that
  // waits for them takes them (take_stop_signals); the handlers stay as the
  // fallback of a thread that lets them through. The player started after
  // "--" gets an empty mask.
  sigset_t saved_mask;
  hold_run_signals(&saved_mask);
  if (start_stop_taker() != 0 || printer_start(STDOUT_FILENO) != 0) {
    restore_signals(&saved_mask);
    remove_stop_signals();
    return 1;
  }
  int status = 1;
  int player_status = -1;  // the player's wait status, -1 without one
  bool started = open_log(run, options) == 0 && synth_start(options) == 0;
  if (started) {
    int64_t end_ns = monotonic_ns();
    if (setup_nodes(run.nodes, options) == NODES_OK) {
      if (open_nodes(run.nodes) == NODES_OK) {
        print_ready(run);
        run.start_ns = monotonic_ns();
        if (start_run_player(run, options) == 0) status = watch_ports(run, options);
        player_status = finish_player(run.player);
        drain_ports(run);
        ring_out(run, options);
        end_ns = monotonic_ns();
      }
      remove_nodes(run.nodes);
    }
    // The rest of the sound is rendered once the nodes are gone.
    if (synth_finish(end_ns) != 0) status = 1;
  }
  if (close_log(run, options) != 0) status = 1;
  // The nodes are gone before the console is waited for at all. SIGPIPE
  // stays ignored until after the closing line, so that a closed standard
  // error cannot turn a clean end into a death by signal.
  constexpr int PRINTER_IDLE_MS = 1000;
  printer_finish(PRINTER_IDLE_MS);
  if (status == 0) say_closing_line(closing_line(run));
  remove_stop_signals();
  if (options.player.empty()) return status;
  end_as_player_ended(player_status);
  return status_with_player(status, player_status);
}

}  // namespace

std::string format_monitor_line(int64_t elapsed_ns, int port, const MessageText& text) {
  char channel[16] = "--";
  if (text.channel > 0) std::snprintf(channel, sizeof channel, "%2d", text.channel);
  char line[160];
  std::snprintf(line, sizeof line, "%5lld.%06lld  %d  %s  %-17s  ", static_cast<long long>(elapsed_ns / NS_PER_SECOND),
                static_cast<long long>(elapsed_ns % NS_PER_SECOND / 1000), port, channel, text.name.c_str());
  std::string result = line + text.detail;
  while (!result.empty() && result.back() == ' ') result.pop_back();
  return result + "\n";
}

std::string format_log_line(int port, int64_t monotonic_ns, const DecodedMessage& message) {
  return std::to_string(port) + " " + std::to_string(monotonic_ns) + " " +
         hex_bytes(message.bytes.data(), message.bytes.size()) + "\n";
}

int monitor_main(int argc, char** argv) {
  MonitorOptions options;
  if (parse_monitor_options(argc, argv, options) != 0) {
    print_monitor_usage();
    return 1;
  }
  if (options.help) {
    print_monitor_usage();
    return 0;
  }
  return run_monitor(options);
}
