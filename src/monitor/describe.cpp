// Names and values of decoded messages, as a MIDI monitor shows them.
#include <algorithm>
#include <cstdio>

#include "monitor/decoder.h"

namespace {

// A system exclusive longer than this is shown by its head and its length;
// the log keeps every byte.
constexpr size_t SYSEX_SHOWN = 32;

// The name of a status byte; a data byte in front means a later piece of a
// system exclusive.
const char* status_name(uint8_t status) {
  static const char* const CHANNEL_NAMES[7] = {"Note Off",       "Note On",          "Key Pressure", "Control Change",
                                               "Program Change", "Channel Pressure", "Pitch Bend"};
  static const char* const SYSTEM_NAMES[16] = {
      "System Exclusive", "MTC Quarter Frame", "Song Position", "Song Select", "Undefined", "Undefined", "Tune Request",
      "End of Exclusive", "Timing Clock",      "Undefined",     "Start",       "Continue",  "Stop",      "Undefined",
      "Active Sensing",   "System Reset"};
  if (status < 0x80) return "System Exclusive";
  if (status < 0xF0) return CHANNEL_NAMES[(status >> 4) - 8];
  return SYSTEM_NAMES[status & 0x0F];
}

// "C4 (60)": a note by name and number.
std::string note_text(int note) { return note_name(note) + " (" + std::to_string(note) + ")"; }

// The values of a whole channel message.
std::string channel_detail(const std::vector<uint8_t>& bytes) {
  int type = bytes[0] & 0xF0;
  int first = bytes[1];
  int second = bytes.size() > 2 ? bytes[2] : 0;
  switch (type) {
    case 0x80:
    case 0x90: return note_text(first) + ", velocity " + std::to_string(second);
    case 0xA0: return note_text(first) + ", pressure " + std::to_string(second);
    case 0xB0: {
      std::string name = controller_name(first);
      std::string controller = std::to_string(first);
      if (!name.empty()) controller += " (" + name + ")";
      return controller + ", value " + std::to_string(second);
    }
    case 0xE0: return std::to_string(((second << 7) | first) - 8192);
    default: return std::to_string(first);
  }
}

// The values of a whole system common message.
std::string common_detail(const std::vector<uint8_t>& bytes) {
  switch (bytes[0]) {
    case 0xF1: return "type " + std::to_string(bytes[1] >> 4) + ", value " + std::to_string(bytes[1] & 0x0F);
    case 0xF2: return "beat " + std::to_string((bytes[2] << 7) | bytes[1]);
    case 0xF3: return "song " + std::to_string(bytes[1]);
    case 0xF4:
    case 0xF5:
    case 0xF9:
    case 0xFD: return hex_bytes(bytes.data(), 1);
    default: return "";
  }
}

// A system exclusive in hex, long ones cut, recognised ones named.
std::string sysex_detail(const std::vector<uint8_t>& bytes) {
  std::string text = hex_bytes(bytes.data(), bytes.size() < SYSEX_SHOWN ? bytes.size() : SYSEX_SHOWN);
  if (bytes.size() > SYSEX_SHOWN) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
  std::string name = sysex_name(bytes);
  if (!name.empty()) text += " (" + name + ")";
  return text;
}

}  // namespace

std::string note_name(int note) {
  static const char* const names[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
  return std::string(names[note % 12]) + std::to_string(note / 12 - 1);
}

const char* controller_name(int controller) {
  switch (controller) {
    case 0: return "Bank Select";
    case 1: return "Modulation";
    case 2: return "Breath";
    case 4: return "Foot";
    case 5: return "Portamento Time";
    case 6: return "Data Entry";
    case 7: return "Volume";
    case 8: return "Balance";
    case 10: return "Pan";
    case 11: return "Expression";
    case 32: return "Bank Select LSB";
    case 38: return "Data Entry LSB";
    case 64: return "Sustain";
    case 65: return "Portamento";
    case 66: return "Sostenuto";
    case 67: return "Soft Pedal";
    case 71: return "Resonance";
    case 72: return "Release Time";
    case 73: return "Attack Time";
    case 74: return "Brightness";
    case 84: return "Portamento Control";
    case 91: return "Reverb";
    case 93: return "Chorus";
    case 94: return "Variation";
    case 96: return "Data Increment";
    case 97: return "Data Decrement";
    case 98: return "NRPN LSB";
    case 99: return "NRPN MSB";
    case 100: return "RPN LSB";
    case 101: return "RPN MSB";
    case 120: return "All Sound Off";
    case 121: return "Reset All Controllers";
    case 122: return "Local Control";
    case 123: return "All Notes Off";
    case 124: return "Omni Off";
    case 125: return "Omni On";
    case 126: return "Mono On";
    case 127: return "Poly On";
    default: return "";
  }
}

const char* sysex_name(const std::vector<uint8_t>& bytes) { return sysex_name(bytes.data(), bytes.size()); }

const char* sysex_name(const uint8_t* bytes, size_t n) {
  // The device number (byte 2) is not compared: any device's reset is named.
  if (n == 6 && bytes[0] == 0xF0 && bytes[1] == 0x7E && bytes[3] == 0x09 && bytes[5] == 0xF7) {
    if (bytes[4] == 0x01) return "GM System On";
    if (bytes[4] == 0x02) return "GM System Off";
    if (bytes[4] == 0x03) return "GM2 System On";
  }
  static const uint8_t GS_TAIL[8] = {0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
  if (n == 11 && bytes[0] == 0xF0 && bytes[1] == 0x41 && std::equal(GS_TAIL, GS_TAIL + 8, bytes + 3)) return "GS Reset";
  static const uint8_t XG_TAIL[6] = {0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
  if (n == 9 && bytes[0] == 0xF0 && bytes[1] == 0x43 && (bytes[2] & 0xF0) == 0x10 &&
      std::equal(XG_TAIL, XG_TAIL + 6, bytes + 3))
    return "XG System On";
  return "";
}

std::string hex_bytes(const uint8_t* bytes, size_t length) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += pair;
  }
  return text;
}

MessageText describe_message(const DecodedMessage& message) {
  const std::vector<uint8_t>& bytes = message.bytes;
  uint8_t status = bytes[0];
  MessageText text;
  if (message.kind == MSG_STRAY) {
    text.name = status == 0xF7 ? "End of Exclusive" : "Stray Data";
    text.detail = status == 0xF7 ? "F7 (no System Exclusive open)" : hex_bytes(bytes.data(), 1);
    return text;
  }
  if (status >= 0x80 && status < 0xF0) text.channel = (status & 0x0F) + 1;
  text.name = status_name(status);
  if (message.kind == MSG_INCOMPLETE) {
    text.detail = "incomplete: " + hex_bytes(bytes.data(), bytes.size());
  } else if (message.kind == MSG_SYSEX_PART) {
    text.detail = "part: " + sysex_detail(bytes);
  } else if (status == 0xF0) {
    text.detail = sysex_detail(bytes);
  } else {
    text.detail = status < 0xF0 ? channel_detail(bytes) : common_detail(bytes);
    if (message.kind == MSG_RUNNING) text.detail += " (running status)";
  }
  return text;
}
