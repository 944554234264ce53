// The reader-to-callback ring of the live output.
#include "monitor/sound/synth_ring.h"

#include <algorithm>
#include <cstring>

#include "monitor/constants.h"

namespace {

// The items a message of length bytes takes.
size_t items_for(size_t length) {
  return length <= SYNTH_ITEM_BYTES ? 1 : (length + SYNTH_ITEM_BYTES - 1) / SYNTH_ITEM_BYTES;
}

// Marks port to be silenced after every item written so far.
void silence_after_written(SynthRing& ring, int port) {
  ring.silence_at[port].store(ring.written.load(std::memory_order_relaxed), std::memory_order_release);
}

}  // namespace

void ring_put(SynthRing& ring, int port, int64_t arrival_ns, StampedAction action, const uint8_t* bytes,
              size_t length) {
  if (port < 0 || port >= 4) return;
  bool ends = action == SILENCE_PORT || ends_a_sound(bytes, length);
  uint64_t written = ring.written.load(std::memory_order_relaxed);
  uint64_t taken = ring.taken.load(std::memory_order_acquire);
  size_t count = items_for(length);
  if (length > SYNTH_RING_SYSEX || written - taken + count > SYNTH_RING_ITEMS) {
    ++ring.dropped;
    if (ends) silence_after_written(ring, port);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    SynthItem& item = ring.items[(written + i) % SYNTH_RING_ITEMS];
    size_t offset = i * SYNTH_ITEM_BYTES;
    size_t piece = std::min(SYNTH_ITEM_BYTES, length - std::min(length, offset));
    item.arrival_ns = arrival_ns;
    item.port = static_cast<uint8_t>(port);
    item.action = static_cast<uint8_t>(action);
    item.length = static_cast<uint8_t>(piece);
    item.more = i + 1 < count;
    if (piece > 0) std::memcpy(item.bytes, bytes + offset, piece);
  }
  // Sequentially consistent, not only release: the live output's doorbell
  // orders this store before the reader's look at whether the callback waits.
  ring.written.store(written + count, std::memory_order_seq_cst);
}

const SynthItem* ring_peek(SynthRing& ring, uint8_t* sysex, const uint8_t** bytes, size_t* length) {
  uint64_t taken = ring.taken.load(std::memory_order_relaxed);
  uint64_t written = ring.written.load(std::memory_order_acquire);
  if (taken == written) return nullptr;
  const SynthItem& first = ring.items[taken % SYNTH_RING_ITEMS];
  ring.peeked = 1;
  *bytes = first.bytes;
  *length = first.length;
  if (!first.more) return &first;
  // The writer publishes every piece of a message at once.
  size_t joined = 0;
  for (const SynthItem* piece = &first;; piece = &ring.items[(taken + ring.peeked++) % SYNTH_RING_ITEMS]) {
    std::memcpy(sysex + joined, piece->bytes, piece->length);
    joined += piece->length;
    if (!piece->more) break;
  }
  *bytes = sysex;
  *length = joined;
  return &first;
}

void ring_pop(SynthRing& ring) {
  uint64_t taken = ring.taken.load(std::memory_order_relaxed);
  ring.taken.store(taken + ring.peeked, std::memory_order_release);
  ring.peeked = 0;
}

int ring_take_silence(SynthRing& ring) {
  uint64_t taken = ring.taken.load(std::memory_order_relaxed);
  for (int port = 0; port < 4; ++port) {
    uint64_t at = ring.silence_at[port].load(std::memory_order_acquire);
    if (at == NO_SILENCE || at > taken) continue;
    if (ring.silence_at[port].compare_exchange_strong(at, NO_SILENCE, std::memory_order_acq_rel)) return port;
  }
  return -1;
}
