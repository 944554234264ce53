// Song loading, merge queue: the tick at which each track's next event is
// due, and which track's event comes next when the tracks are merged into one
// table.
#pragma once

#include <cstdint>

// The due tick of a track that has ended: later than any event of a song,
// whose ticks, counted from its start, stay below 2^60 (2^32 events of at
// most 2^28 ticks each).
inline constexpr uint64_t NEVER_DUE = UINT64_MAX;

// A tournament over the tracks: the leaves hold each track's due tick, every
// node above them the earliest tick below it, so that changing one track's
// tick and finding the next track each take one walk between a leaf and the
// root. The tree lives in one block, released with the queue.
struct MergeQueue {
  uint64_t* ticks = nullptr;  // node 1 is the root, nodes i * 2 and i * 2 + 1 its children
  uint32_t first_leaf = 0;    // track t's leaf is node first_leaf + t
  MergeQueue() = default;
  MergeQueue(const MergeQueue&) = delete;
  MergeQueue& operator=(const MergeQueue&) = delete;
  ~MergeQueue();
};

// Makes room for track_count tracks, none of them due (every tick NEVER_DUE);
// 0, or -2 after its message when there is no memory for it.
int open_merge_queue(MergeQueue* queue, int track_count);

// Sets when the track's next event is due; NEVER_DUE once the track has ended.
void set_due(MergeQueue* queue, int track, uint64_t tick);

// When the track's next event is due.
uint64_t due_tick(const MergeQueue& queue, int track);

// Puts the current track back with the tick its next event is due (NEVER_DUE
// once it has ended) and takes the track whose event comes next: the one due
// earliest; on a tie the current track, otherwise the first in cyclic order
// after it. -1 when every track has ended.
int pass_turn(MergeQueue* queue, int current, uint64_t due);
