// The monitor's numbers and tests of MIDI facts, written once: the time
// units, the sample rate that every sound output runs at, the controllers
// that the sound side treats apart, and the test of a note-on and of a
// message that ends a sound.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int64_t NS_PER_SECOND = 1000000000;
constexpr int64_t NS_PER_MS = 1000000;

// The rate of the file, of the live output and of every module, so that
// one module's timing is the same whichever output it plays into.
constexpr int SAMPLE_RATE = 44100;

// The controllers that end sounds or set a channel back.
constexpr int CC_SUSTAIN = 64;
constexpr int CC_SOSTENUTO = 66;
constexpr int CC_ALL_SOUND_OFF = 120;
constexpr int CC_ALL_NOTES_OFF = 123;
// From here on, a control change is a channel-mode message.
constexpr int CC_FIRST_MODE = 120;

// Whether bytes are a note-on that starts a note: velocity above 0.
inline bool is_note_on(const uint8_t* bytes, size_t length) {
  return length == 3 && (bytes[0] & 0xF0) == 0x90 && bytes[2] != 0;
}

// Whether bytes end a sound or set a module back: a note-off (or a note-on
// of velocity 0), a channel-mode message, a pedal let go, or a system
// exclusive message (the resets among them).
inline bool ends_a_sound(const uint8_t* bytes, size_t length) {
  if (length == 0) return false;
  if (bytes[0] == 0xF0) return true;
  if (length != 3) return false;
  int kind = bytes[0] & 0xF0;
  if (kind == 0x80 || (kind == 0x90 && bytes[2] == 0)) return true;
  if (kind != 0xB0) return false;
  if (bytes[1] >= CC_FIRST_MODE) return true;
  return (bytes[1] == CC_SUSTAIN || bytes[1] == CC_SOSTENUTO) && bytes[2] < 64;
}

// Nanoseconds as frames at the sample rate, rounded down; exact for any
// run the monitor can have, with no overflow in the product.
inline int64_t ns_to_frames(int64_t ns) {
  return ns / NS_PER_SECOND * SAMPLE_RATE + ns % NS_PER_SECOND * SAMPLE_RATE / NS_PER_SECOND;
}

// Frames at the sample rate as nanoseconds, rounded down.
inline int64_t frames_to_ns(int64_t frames) {
  return frames / SAMPLE_RATE * NS_PER_SECOND + frames % SAMPLE_RATE * NS_PER_SECOND / SAMPLE_RATE;
}
