// Song loading, pre-scan: the first walk over every track, which sizes the
// event table and the data buffer and finds the reset messages in the file.
#pragma once

#include <cstdint>

// What the file's system exclusive messages say about makers and resets.
using ResetFlags = uint16_t;
enum : ResetFlags {
  RF_VENDOR_OTHER = 0x09,
  RF_VENDOR_43 = 0x02,
  RF_VENDOR_41 = 0x04,
  RF_GM_RESET_FOUND = 0x10,
  RF_XG_RESET_FOUND = 0x20,
  RF_GS_RESET_FOUND = 0x40,
  RF_RESET_FOUND_MASK = 0xF0,
};

// Walks every track once; 0 with the four results filled, or 1 after the
// delta-time message, with nothing filled.
int prescan_tracks(uint32_t* event_count, uint32_t* data_size, uint32_t* longest_meta, ResetFlags* flags);

// Adds what one system exclusive body tells to the flags.
ResetFlags classify_sysex(ResetFlags flags, const uint8_t* body, uint32_t length);
