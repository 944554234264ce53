// Song loading, cursor: a BoundedCursor, a position over the bytes of the file
// image that knows where they end (TrackState::cursor is a bare position).
// Every read of the image goes through one, so that a truncated file is found
// where it is read; the one exception is the channel-message fast path of
// event_walk.h, which checks its bounds once for the whole message.
#pragma once

#include <cstddef>
#include <cstdint>

// Where the next byte is read, and where the bytes that may be read end.
struct BoundedCursor {
  const uint8_t* pos;
  const uint8_t* end;
};

// The bytes left to read.
inline size_t bytes_left(const BoundedCursor& c) { return c.pos < c.end ? static_cast<size_t>(c.end - c.pos) : 0; }

// Looks at the next byte without taking it; false at the end.
inline bool peek_u8(const BoundedCursor& c, uint8_t* value) {
  if (c.pos >= c.end) return false;
  *value = *c.pos;
  return true;
}

// Takes one byte; false at the end.
inline bool take_u8(BoundedCursor* c, uint8_t* value) {
  if (!peek_u8(*c, value)) return false;
  c->pos += 1;
  return true;
}

// Takes count bytes and tells where they begin; false, taking nothing, when
// fewer are left.
inline bool take_span(BoundedCursor* c, size_t count, const uint8_t** start) {
  if (bytes_left(*c) < count) return false;
  *start = c->pos;
  c->pos += count;
  return true;
}

// Takes a big-endian 16-bit number; false, taking nothing, when fewer than
// two bytes are left.
inline bool take_u16(BoundedCursor* c, uint16_t* value) {
  const uint8_t* b = nullptr;
  if (!take_span(c, 2, &b)) return false;
  *value = static_cast<uint16_t>(b[0] << 8 | b[1]);
  return true;
}

// Takes a big-endian 32-bit number; false, taking nothing, when fewer than
// four bytes are left.
inline bool take_u32(BoundedCursor* c, uint32_t* value) {
  const uint8_t* b = nullptr;
  if (!take_span(c, 4, &b)) return false;
  *value = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
           b[3];
  return true;
}

// Takes a variable-length quantity: seven bits a byte, most significant
// first, up to the first byte whose top bit is clear; bits pushed out past
// bit 31 are lost. False, taking nothing and leaving value alone, when the
// quantity runs on to the end.
inline bool take_vlq(BoundedCursor* c, uint32_t* value) {
  uint32_t result = 0;
  for (const uint8_t* p = c->pos; p < c->end; ++p) {
    result = result << 7 | (*p & 0x7F);
    if ((*p & 0x80) == 0) {
      *value = result;
      c->pos = p + 1;
      return true;
    }
  }
  return false;
}
