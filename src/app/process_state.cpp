// Start-up and run control, process state: one reset for all of it.
#include "app/process_state.h"

#include "app/run.h"
#include "app/settings.h"
#include "base/console.h"
#include "base/life_cycle.h"
#include "base/stop_wait.h"
#include "output/ports.h"
#include "player/player.h"
#include "player/timing.h"
#include "song/loader.h"
#include "song/song.h"

// Each owner resets its own part; the order does not matter, since none of
// these reads another's state.
void reset_process_state() {
  end_console(ENDS_ON_NEITHER);
  reset_song_state();
  forget_load_file_error();
  // The pipe lives as long as the process; tests get it as a run does.
  open_stop_pipe();
  reset_life_cycle();
  reset_port_table();
  reset_wake_margin();
  clear_settings();
}
