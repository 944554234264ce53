// Playback, priority: the player thread's claim on the processor.
#pragma once

// Moves the calling thread to a modest real-time priority where the process
// may (root, or a real-time limit above 0 as audio groups grant); where it
// may not, the thread silently stays as it is. True when it moved.
bool raise_to_real_time();

// Puts the calling thread back to ordinary scheduling.
void drop_real_time();
