// The queue between the reader of the nodes and the WAV file's thread:
// messages with their arrival stamps, handed over without the reader ever
// waiting on the synthesizer. That thread is no audio thread: it may wait
// on the queue's lock, which the reader holds only for an append.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "monitor/decoder.h"

// Beyond this many messages waiting, note-ons are dropped and counted to
// make room: a synthesizer that far behind has lost its place anyway, but
// what ends a sound is kept, so that a burst that ends in All Sound Off
// still ends in silence.
constexpr size_t SYNTH_QUEUE_LIMIT = 1 << 16;

// What a queued item asks of its port's module.
enum StampedAction : uint8_t {
  PLAY_MESSAGE,  // play the message
  SILENCE_PORT,  // the port's last writer is gone: end its sounds
};

// One message as the reader stamped it.
struct StampedMessage {
  int64_t arrival_ns = 0;  // monotonic clock, absolute
  int port = 0;
  DecodedMessage message;
  StampedAction action = PLAY_MESSAGE;
};

// The hand-over point; one per synthesizer thread.
struct SynthQueue {
  std::mutex lock;
  std::condition_variable ready;
  std::vector<StampedMessage> items;
  bool closed = false;
  size_t note_ons = 0;  // note-ons among items
  uint64_t dropped = 0;
};

// Adds a message. When the queue is full, the message is dropped if it is a
// note-on; anything else takes the place of the newest note-on waiting, and
// what ends a sound (note-offs, channel-mode messages, pedals let go, system
// exclusive messages, a writer gone) is kept even when none waits. Drops are
// counted. The lock is held only for the append, never while the
// synthesizer works.
void queue_put(SynthQueue& queue, StampedMessage&& item);

// Waits for messages, up to timeout_ms (-1: no limit), and moves all of them
// into out (emptied first). Returns false once the queue is closed and empty.
bool queue_take(SynthQueue& queue, std::vector<StampedMessage>& out, int timeout_ms = -1);

// Moves every waiting message into out (emptied first) without waiting.
void queue_take_now(SynthQueue& queue, std::vector<StampedMessage>& out);

// Tells the thread that nothing more will come.
void queue_close(SynthQueue& queue);
