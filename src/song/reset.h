// Song loading, automatic reset: the GM, GS and XG reset messages that go
// ahead of a song without one. The pre-scan reserves room for exactly what
// the builder writes, so both take the choice from here.
#pragma once

#include <cstdint>

#include "song/prescan.h"

inline constexpr uint8_t GM_SYSTEM_ON[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
inline constexpr uint8_t GS_RESET[] = {0xF0, 0x41, 0x20, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
inline constexpr uint8_t XG_SYSTEM_ON[] = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};

// One reset message, written as one system exclusive record.
struct ResetMessage {
  const uint8_t* bytes;
  uint32_t length;
};

// One of the three resets: the verbose notice and its one or two messages.
struct ResetChoice {
  const char* notice;
  uint32_t records;
  ResetMessage messages[2];
};

inline constexpr ResetChoice RESET_GM = {"  [songrelay ]: Auto Append GM-RESET Event before first MIDI Event.\n",
                                         1,
                                         {{GM_SYSTEM_ON, sizeof GM_SYSTEM_ON}, {nullptr, 0}}};
inline constexpr ResetChoice RESET_GS = {"  [songrelay ]: Auto Append GS-RESET Event before first MIDI Event.\n",
                                         1,
                                         {{GS_RESET, sizeof GS_RESET}, {nullptr, 0}}};
// XG sound modules expect GM System On first, then XG System On.
inline constexpr ResetChoice RESET_XG = {"  [songrelay ]: Auto Append XG-RESET Event before first MIDI Event.\n",
                                         2,
                                         {{GM_SYSTEM_ON, sizeof GM_SYSTEM_ON}, {XG_SYSTEM_ON, sizeof XG_SYSTEM_ON}}};

// The reset a song needs, or null when it carries one of its own; Yamaha wins
// over Roland when the song has messages of both.
inline const ResetChoice* choose_reset(ResetFlags flags) {
  if (flags & RF_RESET_FOUND_MASK) return nullptr;
  if (flags & RF_VENDOR_43) return &RESET_XG;
  if (flags & RF_VENDOR_41) return &RESET_GS;
  return &RESET_GM;
}

// The data bytes that a reset takes in the event data buffer.
inline uint32_t reset_bytes(const ResetChoice& choice) { return choice.messages[0].length + choice.messages[1].length; }
