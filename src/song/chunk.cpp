// Song loading, chunk layer.
#include "song/chunk.h"

// Seven bits per byte, most significant first; bits pushed out past bit 31
// are lost, and the quantity never runs past end.
int read_vlq(uint32_t* value, const uint8_t* p, const uint8_t* end) {
  uint32_t result = 0;
  for (int n = 0; p + n < end; ++n) {
    result = (result << 7) | (p[n] & 0x7F);
    if ((p[n] & 0x80) == 0) {
      *value = result;
      return n + 1;
    }
  }
  return 0;
}
