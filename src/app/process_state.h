// Start-up and run control, process state: the one list of everything that
// lives for the whole process, and the one reset that puts all of it back to
// its start value (between tests and fuzz inputs; a run needs it only once).
//
//   state                                        owner
//   song_data, playback_info (with the player    song/song.cpp
//     state), tempo_state
//   the last load's error on its file            song/loader.cpp
//   option_flags                                 song/options.h
//   the wake-up pipe of a stop                   song/stop_wake.cpp
//   text_converter: the two encodings' names     meta/text_converter.h (names
//     and the three converters                     cleared here; converters
//                                                  opened by main, left open)
//   the console queue and its printing thread    meta/console.cpp
//   port_table, the stop counter, the paths      output/ports.cpp
//     opened, what was said of each port, and
//     whether bytes were lost
//   how each port's open ended                   output/open_reason.cpp
//   wake_margin_ns and its learning              player/timing.cpp
//   the pending pause                            player/player.cpp
//   device_base, midi_path, port_names           app/settings.cpp
//   state_lock and the first stop signal         app/run.cpp
#pragma once

// Puts every piece of process state above back to its start value. The
// ports are forgotten, not closed (a test may have planted fake descriptors);
// a printing thread still running is ended; the state lock is left to its
// own pair of calls, and the converters stay open.
void reset_process_state();
