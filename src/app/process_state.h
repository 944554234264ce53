// Start-up and run control, process state: the one list of everything that
// lives for the whole process, and the one reset that puts all of it back to
// its start value (between tests and fuzz inputs; a run needs it only once).
//
//   state                                        owner
//   the run's phase, what was raised, the first  base/life_cycle.cpp (the
//     stop's signal and the wake-up pipe           pipe is emptied, never closed)
//   the console lanes and the printing thread    base/console.cpp
//   song_data, playback_info, tempo_state        song/song.cpp
//   the last load's error on its file            song/loader.cpp
//   option_flags                                 song/options.h
//   text_converter: the two encodings' names     meta/text_converter.h (names
//     and the three converters                     cleared here; converters
//                                                  opened by main, left open)
//   port_table: the names given and each         output/ports.cpp
//     port's record (its name, path and
//     descriptor, how its open ended, what was
//     said of it, what a pause left to send)
//   wake_margin_ns and its learning              player/timing.cpp
//   device_base, midi_path, port_names           app/settings.cpp
//   state_lock                                   app/run.cpp
#pragma once

// Puts every piece of process state above back to its start value. The
// ports are forgotten, not closed (a test may have planted fake descriptors);
// a printing thread still running is ended; the state lock is left to its
// own pair of calls, and the converters stay open.
void reset_process_state();
