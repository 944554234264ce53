// The monitor's MIDI stream decoder: cuts the raw byte stream of one port
// into whole messages, whatever the reads that delivered it, and names them
// for display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A leading part of a system exclusive message is handed out once it reaches
// this many bytes, so an endless message cannot make the decoder grow without
// bound.
constexpr size_t SYSEX_PIECE_LIMIT = 4096;

// What the decoder cut from the stream.
enum MessageKind : uint8_t {
  MSG_COMPLETE,    // a whole message, its own status byte first
  MSG_RUNNING,     // a whole channel message whose status came from running status
  MSG_INCOMPLETE,  // a message cut short by a status byte or by the end of the stream
  MSG_STRAY,       // a data byte with no status to belong to, or an F7 with no exclusive open
  MSG_SYSEX_PART,  // a piece of a system exclusive too long to keep whole
};

// One unit of the stream: a message, a fragment of one, or a stray byte.
struct DecodedMessage {
  MessageKind kind = MSG_COMPLETE;
  std::vector<uint8_t> bytes;  // status first, also when running status supplied it
};

// The decoder's memory of one port between reads.
struct DecoderState {
  uint8_t running_status = 0;    // channel status that data bytes may continue; 0 = none
  bool in_sysex = false;         // a system exclusive is open (F0 seen, no end yet)
  bool implied = false;          // the pending message's status came from running status
  size_t needed = 0;             // total length of the pending non-exclusive message
  std::vector<uint8_t> pending;  // bytes of the message being assembled
};

// The display form of a message: its channel, name and values.
struct MessageText {
  int channel = 0;     // 1 to 16, or 0 for messages that have no channel
  std::string name;    // "Note On", "System Exclusive", …
  std::string detail;  // values, hex bytes and remarks
};

// Feeds bytes that one read delivered to the decoder; whole messages, fragments
// and stray bytes are appended to out in stream order.
void decode_bytes(DecoderState& state, const uint8_t* data, size_t length, std::vector<DecodedMessage>& out);

// Hands out whatever message was left unfinished when the stream ended.
void decoder_finish(DecoderState& state, std::vector<DecodedMessage>& out);

// The note name of a MIDI note number, middle C (60) being "C4".
std::string note_name(int note);

// The usual name of a control change number, or an empty text.
const char* controller_name(int controller);

// The name of a recognised reset message (GM System On, GS Reset, XG System On, …),
// or an empty text.
const char* sysex_name(const std::vector<uint8_t>& bytes);

// The same of bytes in place; it allocates nothing, for the audio callback.
const char* sysex_name(const uint8_t* bytes, size_t length);

// Bytes as upper-case hex pairs separated by blanks.
std::string hex_bytes(const uint8_t* bytes, size_t length);

// The channel, name and values of a decoded message.
MessageText describe_message(const DecodedMessage& message);
