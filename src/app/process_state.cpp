// Start-up and run control, process state: one reset for all of it.
#include "app/process_state.h"

#include "app/run.h"
#include "app/settings.h"
#include "meta/console.h"
#include "output/open_reason.h"
#include "output/ports.h"
#include "player/player.h"
#include "player/timing.h"
#include "song/loader.h"
#include "song/song.h"
#include "song/stop_wake.h"

// Each owner resets its own part; the order does not matter, since none of
// these reads another's state.
void reset_process_state() {
  stop_console();
  reset_song_state();
  forget_load_file_error();
  close_stop_wake();
  reset_port_table();
  forget_port_opens();
  reset_wake_margin();
  reset_pause_request();
  clear_settings();
  forget_stop_signal();
}
