// Cutting one port's raw byte stream into messages.
#include "monitor/decoder.h"

namespace {

// Total length of a message opened by status, status included; 0 for a system
// exclusive, which runs until its end byte.
size_t message_length(uint8_t status) {
  if (status < 0xF0) {
    uint8_t type = status & 0xF0;
    return (type == 0xC0 || type == 0xD0) ? 2 : 3;
  }
  switch (status) {
    case 0xF0: return 0;
    case 0xF1:
    case 0xF3: return 2;
    case 0xF2: return 3;
    default: return 1;
  }
}

// Appends a unit of the given kind and bytes to the output.
void emit(std::vector<DecodedMessage>& out, MessageKind kind, std::vector<uint8_t> bytes) {
  out.push_back(DecodedMessage{kind, std::move(bytes)});
}

// Hands out the unfinished message, if any: a new status byte or the end of
// the stream cuts it, and it is shown rather than silently dropped.
void flush_pending(DecoderState& state, std::vector<DecodedMessage>& out) {
  if (!state.pending.empty()) emit(out, MSG_INCOMPLETE, std::move(state.pending));
  state.pending.clear();
  state.in_sysex = false;
  state.implied = false;
  state.needed = 0;
}

// Closes the open system exclusive with its end byte.
void end_sysex(DecoderState& state, std::vector<DecodedMessage>& out) {
  state.pending.push_back(0xF7);
  // A message whose head went out as a piece ends as a piece too.
  MessageKind kind = state.pending.front() == 0xF0 ? MSG_COMPLETE : MSG_SYSEX_PART;
  emit(out, kind, std::move(state.pending));
  state.pending.clear();
  state.in_sysex = false;
}

// Takes a status byte other than a real-time one.
void take_status(DecoderState& state, uint8_t status, std::vector<DecodedMessage>& out) {
  if (status == 0xF7) {
    if (state.in_sysex) {
      end_sysex(state, out);
    } else {
      flush_pending(state, out);
      emit(out, MSG_STRAY, {status});
    }
    state.running_status = 0;
    return;
  }
  flush_pending(state, out);
  // System common and exclusive messages cancel running status; channel
  // messages start it.
  state.running_status = status < 0xF0 ? status : 0;
  size_t length = message_length(status);
  if (length == 1) {
    emit(out, MSG_COMPLETE, {status});
    return;
  }
  state.pending.push_back(status);
  state.in_sysex = length == 0;
  state.needed = length;
}

// Takes a data byte: into the open message, into a new one under running
// status, or out as a stray byte.
void take_data(DecoderState& state, uint8_t data, std::vector<DecodedMessage>& out) {
  if (state.in_sysex) {
    state.pending.push_back(data);
    if (state.pending.size() >= SYSEX_PIECE_LIMIT) {
      emit(out, MSG_SYSEX_PART, std::move(state.pending));
      state.pending.clear();
    }
    return;
  }
  if (state.pending.empty()) {
    if (state.running_status == 0) {
      emit(out, MSG_STRAY, {data});
      return;
    }
    state.pending.push_back(state.running_status);
    state.needed = message_length(state.running_status);
    state.implied = true;
  }
  state.pending.push_back(data);
  if (state.pending.size() == state.needed) {
    emit(out, state.implied ? MSG_RUNNING : MSG_COMPLETE, std::move(state.pending));
    state.pending.clear();
    state.implied = false;
    state.needed = 0;
  }
}

}  // namespace

void decode_bytes(DecoderState& state, const uint8_t* data, size_t length, std::vector<DecodedMessage>& out) {
  for (size_t i = 0; i < length; ++i) {
    uint8_t byte = data[i];
    // Real-time bytes may fall anywhere, even inside another message, and
    // leave it undisturbed.
    if (byte >= 0xF8) emit(out, MSG_COMPLETE, {byte});
    else if (byte >= 0x80) take_status(state, byte, out);
    else take_data(state, byte, out);
  }
}

void decoder_finish(DecoderState& state, std::vector<DecodedMessage>& out) {
  flush_pending(state, out);
  state.running_status = 0;
}
