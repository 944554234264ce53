// The ring between the reader of the nodes and the live output's audio
// callback: a fixed number of fixed-size items, one writer (the reader) and
// one reader (the callback), so that neither ever takes a lock, waits or
// allocates. The same shape as the library's own event ring: only ring_put
// runs on the writer's side, only ring_peek, ring_pop and ring_take_silence
// on the reader's, and the two sides may run in parallel.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "monitor/sound/synth_queue.h"

// Items in the ring. At the dense piece's 4,000 messages a second this is
// eight seconds of them: a callback that far behind has lost its place
// anyway.
constexpr size_t SYNTH_RING_ITEMS = 1 << 15;
// Bytes a single item carries: every channel message and the common system
// exclusive messages (resets, GS and XG parameters) fit one item; a longer
// exclusive takes several items in a row.
constexpr size_t SYNTH_ITEM_BYTES = 20;
// The longest system exclusive message carried whole, as the decoder keeps it.
constexpr size_t SYNTH_RING_SYSEX = SYSEX_PIECE_LIMIT;
// No silence waits for a port.
constexpr uint64_t NO_SILENCE = UINT64_MAX;

// One message as the reader stamped it, or one piece of it.
struct SynthItem {
  int64_t arrival_ns = 0;  // monotonic clock, absolute
  uint8_t port = 0;
  uint8_t action = PLAY_MESSAGE;  // a StampedAction
  uint8_t length = 0;             // bytes used in bytes
  bool more = false;              // the message goes on in the next item
  uint8_t bytes[SYNTH_ITEM_BYTES] = {};
};

// The hand-over point of the live output.
struct SynthRing {
  SynthItem items[SYNTH_RING_ITEMS];
  // Items put so far. Written by the reader (sequentially consistent, so
  // at least release) once an item, all the pieces of one message, is in
  // place; the callback's acquire load then sees the whole item.
  std::atomic<uint64_t> written{0};
  // Items the callback is done with. Written by the callback with release
  // after it has read an item; the reader's acquire load then may reuse the
  // place.
  std::atomic<uint64_t> taken{0};
  // Per port, where a message that ends a sound found the ring full: the
  // port is silenced once the callback has taken every item before that
  // point. Set by the reader (release, after the items before it are
  // written); cleared by the callback with a compare-and-exchange, so that
  // a later point the reader sets meanwhile is never lost.
  std::atomic<uint64_t> silence_at[4] = {{NO_SILENCE}, {NO_SILENCE}, {NO_SILENCE}, {NO_SILENCE}};
  // Messages not put because the ring was full. The reader's alone; read
  // once the callback has stopped.
  uint64_t dropped = 0;
  // Items of the message that ring_peek returned last. The callback's alone.
  uint64_t peeked = 0;
};

// Puts one whole message, never waiting. When the ring has no room for it,
// a message that ends a sound (and a writer gone) is not lost: its port is
// silenced, pedals lifted and every sound ended, once the callback has
// played what came before it, which ends any note the message would have
// ended; anything else is dropped and counted.
void ring_put(SynthRing& ring, int port, int64_t arrival_ns, StampedAction action, const uint8_t* bytes, size_t length);

// The first item not taken yet, nullptr when none waits; *bytes and
// *length get its message, the pieces of a long one joined into sysex (at
// least SYNTH_RING_SYSEX bytes). The callback's side only.
const SynthItem* ring_peek(SynthRing& ring, uint8_t* sysex, const uint8_t** bytes, size_t* length);

// Takes the item that ring_peek returned, all its pieces. The callback's side only.
void ring_pop(SynthRing& ring);

// The port whose silence is due now that the items before its point are
// taken, cleared from the ring; -1 when none is. The callback's side only.
int ring_take_silence(SynthRing& ring);
