// Song loading, pre-scan.
#include "song/prescan.h"

#include <cstdio>

#include "base/life_cycle.h"
#include "song/event_walk.h"
#include "song/options.h"
#include "song/reset.h"
#include "song/song.h"

namespace {

// What the pre-scan adds up over all tracks.
struct ScanTotals {
  uint32_t event_count;
  uint32_t data_size;
  uint32_t longest_meta;
  ResetFlags flags;
};

// Counts one track's events up to the end of its chunk; 1 after the message
// when a delta time is longer than four bytes, or without one on a stop (its first four bytes, inside
// the chunk, all have the top bit set). A track whose last event runs past
// its chunk ends before that event, where the builder will end it too.
int scan_track(int index, const TrackState& track, ScanTotals* totals) {
  const uint8_t* p = track.start;
  const uint8_t* end = track.start + track.length;
  uint8_t running_status = 0;
  // Counted here and added up once the track is done.
  uint32_t count = 0;
  while (p < end) {
    // A stop ends the scan, without a message: the run says why it ends.
    if (count % LOAD_STOP_STRIDE == 0 && stop_raised()) return 1;
    // A channel message needs nothing but its count and its running status.
    int size = quick_channel_size(p, end, running_status);
    if (size != 0) {
      running_status = quick_channel_running(p, running_status);
      count += 1;
      p += size;
      continue;
    }
    WalkedEvent event;
    WalkResult result = walk_any_event(p, end, running_status, &event);
    if (result == WALK_LONG_DELTA) {
      fprintf(stderr, "Error!!: [Trk %d] DeltaTime Value is Wrong!", index);
      return 1;
    }
    if (result != WALK_EVENT) {
      fprintf(stderr, "WARNING! : [Trk %d] Event Runs Past End of Track!\n", index);
      break;
    }
    if (event.kind == EVENT_SYSEX) {
      totals->flags = classify_sysex(totals->flags, event.bytes, event.body_length);
    }
    if (event.kind == EVENT_META && event.body_length > totals->longest_meta) {
      totals->longest_meta = event.body_length;
    }
    // Events after an early End of Track are still counted: the builder
    // stops at the End of Track and leaves their records zero.
    if (is_end_of_track(event) && event.next != end) {
      fprintf(stderr, "WARNING! : [Trk %d] Track DataSize is Wrong!\n", index);
    }
    totals->data_size += data_bytes_of(event);
    count += 1;
    running_status = running_after(event, running_status);
    p = event.next;
  }
  totals->event_count += count;
  return 0;
}

// Compares a body's bytes from index first on with a pattern.
bool body_matches(const uint8_t* body, uint32_t first, const uint8_t* pattern, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (body[first + i] != pattern[i]) return false;
  }
  return true;
}

}  // namespace

int prescan_tracks(uint32_t* event_count, uint32_t* data_size, uint32_t* longest_meta, ResetFlags* flags) {
  ScanTotals totals{};
  for (int i = 0; i < song_data.track_count; ++i) {
    if (scan_track(i, song_data.tracks[i], &totals) != 0) return 1;
  }
  const ResetChoice* reset = choose_reset(totals.flags);
  if (!(option_flags & OPT_NO_RESET) && reset != nullptr) {
    totals.event_count += reset->records;
    totals.data_size += reset_bytes(*reset);
  }
  *event_count = totals.event_count;
  *data_size = totals.data_size;
  *longest_meta = totals.longest_meta;
  *flags = totals.flags;
  return 0;
}

// The device-number bytes of the XG and GS messages are not compared, so a
// reset for any device counts; GM System On is compared whole, so only the
// broadcast device 0x7F counts. An empty body has no maker to tell.
ResetFlags classify_sysex(ResetFlags flags, const uint8_t* body, uint32_t length) {
  if (length == 0) return flags;
  if (body[0] == 0x43) {
    flags |= RF_VENDOR_43;
  } else if (body[0] == 0x41) {
    flags |= RF_VENDOR_41;
  } else {
    flags |= RF_VENDOR_OTHER;
  }
  // The maker bit may stem from an earlier message: byte 0 is not looked at again.
  if ((flags & RF_VENDOR_43) && !(flags & RF_XG_RESET_FOUND) && length == 8 &&
      body_matches(body, 2, XG_SYSTEM_ON + 3, 6)) {
    flags |= RF_XG_RESET_FOUND;
  }
  if ((flags & RF_VENDOR_41) && !(flags & RF_GS_RESET_FOUND) && length == 10 &&
      body_matches(body, 2, GS_RESET + 3, 8)) {
    flags |= RF_GS_RESET_FOUND;
  }
  if (!(flags & RF_GM_RESET_FOUND) && length == 5 && body_matches(body, 0, GM_SYSTEM_ON + 1, 5)) {
    flags |= RF_GM_RESET_FOUND;
  }
  return flags;
}
