// Playback, player thread: walks the event table and sends each event at its time.
#pragma once

// The thread body: plays the loaded table from the first record to the last,
// or until a stop request is seen.
void* player_thread(void* unused);

// Asks the player to silence the ports and end (ignored while it starts up).
void request_stop();
