// Shared test helper: the process-wide records put back in one place.
#include "support/fresh_state.h"

#include "app/settings.h"
#include "output/ports.h"
#include "player/player.h"
#include "player/timing.h"
#include "song/song.h"
#include "song/stop_wake.h"

void reset_process_state() {
  reset_song_state();
  reset_port_table();
  close_stop_wake();
  reset_wake_margin();
  reset_pause_request();
  clear_settings();
  playback_info.state.store(PLAYER_IDLE);
}
