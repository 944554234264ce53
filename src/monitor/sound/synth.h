// The monitor as four General MIDI sound modules, one per port: every
// message that reaches the nodes is played by its port's SoundFont
// synthesizer, rendered to a WAV file in step with its arrival stamp, played
// live on the audio output, or both.
#pragma once

#include <cstdint>
#include <string>

#include "monitor/decoder.h"
#include "monitor/options.h"

// Whether this build has a synthesizer (the library was found at build time).
bool synth_built_in();

// Whether options ask for any synthesis.
inline bool synth_wanted(const MonitorOptions& options) {
  return !options.wav_path.empty() || options.play || !options.soundfont.empty();
}

// Loads the SoundFont and opens the outputs that options ask for, each with
// its own thread. Returns 0, or -1 after one line saying what is missing.
int synth_start(const MonitorOptions& options);

// Hands one decoded message with the port it came on and its arrival stamp
// to every output. Never waits for a synthesizer.
void synth_put(int port, int64_t arrival_ns, const DecodedMessage& message);

// Tells the outputs that the last writer of port's node has gone at
// arrival_ns: the port's module ends its sounds then.
void synth_writer_gone(int port, int64_t arrival_ns);

// The header's line naming the SoundFont loaded and its number of presets;
// empty when nothing is synthesized.
std::string synth_header_line();

// Tells the outputs that no message stamped before now_ns is still to come,
// so that the file can be rendered that far while the nodes are quiet. The
// reader calls it before each wait.
void synth_mark_quiet(int64_t now_ns);

// The longest the reader may wait before it marks the quiet time again, in
// milliseconds; -1 when nothing needs it.
int synth_quiet_interval_ms();

// Ends synthesis: the WAV file is rendered up to end_ns (the run's end, on
// the monotonic clock) and at least a second past the last message, its
// header completed, and the outputs closed. Returns 0, or -1 when the file
// could not be written as a whole (said already).
int synth_finish(int64_t end_ns);
