// Meta-event display, text converter: text decoded into Unicode code points,
// filtered so that it cannot steer the terminal, and encoded for the
// terminal. Filtering code points rather than bytes finds the controls in
// every encoding: a C1 control is one byte in ISO-8859-1, two in UTF-8, and
// its byte is part of a character in Shift_JIS. An ISO-2022 terminal still
// gets the escape sequences that its own encoding needs, since the encoder
// writes them, never the text.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/life_cycle.h"
#include "meta/meta.h"
#include "meta/text_converter.h"
#include "song/song.h"

namespace {

const iconv_t NOT_OPEN = reinterpret_cast<iconv_t>(-1);
constexpr const char* UNICODE = "UTF-32BE";
constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

// Code points decoded at a time, and the most that one of them is shown as
// ("M-^[" for U+009B).
constexpr size_t BATCH = 64;
constexpr size_t MOST_SHOWN = 4;

// Bytes of text offered to the decoder at a time, and the most that one
// character with the escape sequence before it takes in any encoding.
constexpr size_t DECODE_OFFER = BATCH;
constexpr size_t LONGEST_SEQUENCE = 8;

// Room that a text too long for its buffer leaves for the encoder's return
// to its initial state: ESC ( B after a character held back for a mark, at
// most. The text buffer counts it among what a text adds once.
constexpr size_t CLOSING_ROOM = 8;

// One conversion between two stages and where it stands.
struct Conversion {
  iconv_t decode;        // text to UTF-32BE
  iconv_t encode;        // UTF-32BE to the terminal
  uint32_t placeholder;  // a code point the terminal's encoding has
  char* out;             // where the next byte goes
  size_t out_space;
  size_t keep;   // code points to show: those before the line endings at the end
  size_t taken;  // code points looked at so far
  int failures;
  int error;  // errno of the last failure
  bool over;  // the text ended (U+0000, the fifth failure, or no room)
  bool cut;   // no room was left
};

bool is_line_ending(uint32_t point) { return point == '\r' || point == '\n'; }

// The code points a character is shown as: a control character other than
// TAB in caret notation, as terminals echo control keys (ESC is ^[, CR ^M,
// DEL ^?), a C1 control with M- in front of the caret form of its low seven
// bits (U+009B, the one-byte CSI, is M-^[); any other as it is.
size_t shown_as(uint32_t point, uint32_t* shown) {
  bool c0 = point < 0x20 && point != '\t';
  bool c1 = point >= 0x80 && point <= 0x9F;
  if (!c0 && !c1 && point != 0x7F) {
    shown[0] = point;
    return 1;
  }
  size_t count = 0;
  if (c1) {
    shown[count++] = 'M';
    shown[count++] = '-';
  }
  uint32_t low = point & 0x7F;
  shown[count++] = '^';
  shown[count++] = low == 0x7F ? '?' : low + 0x40;
  return count;
}

void put_big_endian(uint32_t point, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(point >> 24);
  bytes[1] = static_cast<unsigned char>(point >> 16);
  bytes[2] = static_cast<unsigned char>(point >> 8);
  bytes[3] = static_cast<unsigned char>(point);
}

uint32_t get_big_endian(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

// Notes a failure with its errno; the fifth ends the text.
void fail(Conversion* c, int error) {
  c->error = error;
  if (++c->failures >= MAX_FAILED_CALLS) c->over = true;
}

// Ends the text for want of room, as the caller reports it: with the most
// failures and E2BIG.
void cut(Conversion* c) {
  c->error = E2BIG;
  c->failures = MAX_FAILED_CALLS;
  c->over = true;
  c->cut = true;
}

// Encodes what is left of a run of big-endian code points up to the first
// that fails; false when no room was left, the text then cut after its last
// whole character.
bool encode_fitting(Conversion* c, char** in, size_t* left) {
  if (iconv(c->encode, in, left, &c->out, &c->out_space) != static_cast<size_t>(-1) || errno != E2BIG) return true;
  cut(c);
  return false;
}

// Encodes count code points from big-endian bytes; one that the terminal's
// encoding lacks is a failure and shows as the placeholder, which it has.
// After the fifth failure, its placeholder is the last thing shown.
void encode(Conversion* c, unsigned char* bytes, size_t count) {
  char* in = reinterpret_cast<char*>(bytes);
  size_t left = count * 4;
  while (left > 0 && encode_fitting(c, &in, &left) && left > 0) {
    fail(c, errno);
    in += 4;
    left -= 4;
    unsigned char placeholder_bytes[4];
    put_big_endian(c->placeholder, placeholder_bytes);
    char* placeholder = reinterpret_cast<char*>(placeholder_bytes);
    size_t placeholder_left = sizeof placeholder_bytes;
    if (!encode_fitting(c, &placeholder, &placeholder_left) || c->over) return;
  }
}

// Shows a batch of decoded code points: the text ends at U+0000 and before
// its closing line endings; the rest is filtered and encoded in one go.
void show(Conversion* c, const uint32_t* points, size_t count) {
  unsigned char bytes[BATCH * MOST_SHOWN * 4 + MOST_SHOWN * 4];
  size_t used = 0;
  bool ended = false;
  for (size_t i = 0; i < count && !ended; ++i, ++c->taken) {
    ended = points[i] == 0 || c->taken >= c->keep;
    if (ended) break;
    uint32_t shown[MOST_SHOWN];
    size_t parts = shown_as(points[i], shown);
    for (size_t p = 0; p < parts; ++p, ++used) put_big_endian(shown[p], bytes + used * 4);
  }
  encode(c, bytes, used);
  if (ended) c->over = true;
}

// Counts a batch of decoded code points towards keep: up to U+0000, the
// count that leaves out the line endings at the end.
void count(Conversion* c, const uint32_t* points, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (points[i] == 0) {
      c->over = true;
      return;
    }
    ++c->taken;
    if (!is_line_ending(points[i])) c->keep = c->taken;
  }
}

// Decodes the text a batch at a time and hands each batch on; a byte that
// cannot be decoded (an invalid or incomplete sequence) is a failure and
// becomes the placeholder, and decoding goes on behind it. Each call is
// offered one batch of bytes only: offered the whole rest, iconv's
// multi-step conversions decode far more than a batch holds and then decode
// it again to find where the batch ended, which made a long text cost its
// length for every batch. A failure within a character's length of the
// offer's end, with more text behind it, may be a character the offer cut:
// the next call, offered the bytes from there on, decides.
void decode(Conversion* c, const uint8_t* text, size_t length, void (*take)(Conversion*, const uint32_t*, size_t)) {
  char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(text));
  while (length > 0 && !c->over) {
    // A stop ends the text where it is: the run is ending.
    if (stop_raised()) {
      c->over = true;
      break;
    }
    unsigned char bytes[BATCH * 4];
    char* at = reinterpret_cast<char*>(bytes);
    size_t space = sizeof bytes;
    size_t offered = std::min(length, DECODE_OFFER);
    size_t unread = offered;
    bool failed = iconv(c->decode, &in, &unread, &at, &space) == static_cast<size_t>(-1);
    int error = errno;
    bool cut_by_offer = offered < length && unread < LONGEST_SEQUENCE;
    length -= offered - unread;
    uint32_t points[BATCH + 1];
    size_t decoded = (sizeof bytes - space) / 4;
    for (size_t i = 0; i < decoded; ++i) points[i] = get_big_endian(bytes + i * 4);
    // A batch full before the first character would never move on.
    if (failed && !cut_by_offer && (error != E2BIG || decoded == 0)) {
      ++in;
      --length;
      points[decoded++] = c->placeholder;
      fail(c, error);
    }
    take(c, points, decoded);
  }
}

// Puts both stages back in their initial state for the next text.
void reset(Conversion* c) {
  iconv(c->decode, nullptr, nullptr, nullptr, nullptr);
  iconv(c->encode, nullptr, nullptr, nullptr, nullptr);
}

// Decodes the text into out up to its closing line endings and puts the
// encoder back in its initial state at the end; false, the encoder left
// where it stood, when the closing shift found no room.
bool show_and_close(Conversion* c, const uint8_t* in, size_t in_length) {
  decode(c, in, in_length, show);
  return iconv(c->encode, nullptr, nullptr, &c->out, &c->out_space) != static_cast<size_t>(-1);
}

// Converts a text through two stages into out. With line endings dropped, a
// first pass finds where the closing ones begin: they only end the line that
// is printed anyway. The encoder's closing shift (back to ASCII, or a
// character it held back for a mark that may follow) is written at the end,
// so nothing of this text reaches the next. A text that leaves no room for
// that shift is shown again with CLOSING_ROOM kept free for it, so that a
// cut text never leaves an ISO-2022 terminal shifted; should even that not
// do, it shows empty. Returns the failures, errno telling the last one;
// *out_length gets the bytes written before the NUL, which may hold NULs of
// their own (UTF-16 writes one in every ASCII character).
int convert_through(iconv_t decoder, iconv_t encoder, uint32_t placeholder, bool drop_line_endings, char* out,
                    size_t out_space, const uint8_t* in, size_t in_length, size_t* out_length) {
  size_t keep = SIZE_MAX;
  if (drop_line_endings) {
    Conversion counting = {decoder, encoder, placeholder, out, out_space, 0, 0, 0, 0, false, false};
    decode(&counting, in, in_length, count);
    keep = counting.keep;
    reset(&counting);
  }
  Conversion c = {decoder, encoder, placeholder, out, out_space, keep, 0, 0, 0, false, false};
  if (!show_and_close(&c, in, in_length)) {
    reset(&c);
    size_t kept_free = std::min(out_space, CLOSING_ROOM);
    c = Conversion{decoder, encoder, placeholder, out, out_space - kept_free, keep, 0, 0, 0, false, false};
    decode(&c, in, in_length, show);
    c.out_space += kept_free;
    if (iconv(c.encode, nullptr, nullptr, &c.out, &c.out_space) == static_cast<size_t>(-1)) c.out = out;
    cut(&c);
  }
  reset(&c);
  *c.out = '\0';
  *out_length = static_cast<size_t>(c.out - out);
  errno = c.error;
  return c.failures;
}

// Encodes one code point on its own into out (16 bytes) and puts the
// encoder back in its initial state; the bytes it took, or -1.
int encode_alone(iconv_t encoder, uint32_t point, char* out) {
  unsigned char in_bytes[4];
  put_big_endian(point, in_bytes);
  char* in = reinterpret_cast<char*>(in_bytes);
  size_t in_left = sizeof in_bytes;
  char* at = out;
  size_t out_left = 16;
  bool converted = iconv(encoder, &in, &in_left, &at, &out_left) != static_cast<size_t>(-1);
  iconv(encoder, nullptr, nullptr, nullptr, nullptr);
  return converted ? static_cast<int>(at - out) : -1;
}

// The terminal's placeholder: U+FFFD where its encoding has it, else '?'.
uint32_t placeholder_for(iconv_t encoder) {
  char bytes[16];
  return encode_alone(encoder, REPLACEMENT_CHARACTER, bytes) > 0 ? REPLACEMENT_CHARACTER : '?';
}

// Whether the terminal's encoding writes ASCII as ASCII, as a file name's
// bytes are written; UTF-16 and its kin do not, and a name is then shown
// byte by byte.
bool writes_ascii_as_is(iconv_t encoder) {
  char bytes[16];
  return encode_alone(encoder, '/', bytes) == 1 && bytes[0] == '/';
}

// Closes one converter if it is open.
void close_one(iconv_t* handle) {
  if (*handle != NOT_OPEN) iconv_close(*handle);
  *handle = NOT_OPEN;
}

// Shows a name byte by byte when its encoding cannot be decoded: controls in
// caret notation, the bytes of C1 controls too, everything else as it is.
void print_bytes_harmless(const char* name, FILE* stream) {
  for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(name); *byte != '\0'; ++byte) {
    uint32_t shown[MOST_SHOWN];
    size_t parts = shown_as(*byte, shown);
    for (size_t p = 0; p < parts; ++p) putc(static_cast<int>(shown[p]), stream);
  }
}

// Whether iconv can open a converter between the two names; false with
// errno set by the failed open.
bool can_open(const char* to, const char* from) {
  iconv_t probe = iconv_open(to, from);
  if (probe == NOT_OPEN) return false;
  iconv_close(probe);
  return true;
}

}  // namespace

bool open_text_converter() {
  TextConverter& t = text_converter;
  t.handle = iconv_open(t.terminal_encoding, t.source_encoding);
  if (t.handle != NOT_OPEN) t.to_unicode = iconv_open(UNICODE, t.source_encoding);
  if (t.to_unicode != NOT_OPEN) t.from_unicode = iconv_open(t.terminal_encoding, UNICODE);
  if (t.from_unicode == NOT_OPEN) {
    int error = errno;
    close_text_converter();
    errno = error;
    return false;
  }
  t.placeholder = placeholder_for(t.from_unicode);
  return true;
}

void close_text_converter() {
  close_one(&text_converter.handle);
  close_one(&text_converter.to_unicode);
  close_one(&text_converter.from_unicode);
}

// What cannot be decoded or encoded shows as the placeholder, and conversion
// goes on behind it; the fifth such failure ends the text there. A text that
// does not fit is cut at the last whole character and reported with E2BIG.
int convert_text(char* out, size_t out_space, const uint8_t* in, size_t in_length, size_t* out_length) {
  *out_length = 0;
  if (out == nullptr) return 0;
  *out = '\0';
  if (in_length == 0) return 0;
  const TextConverter& t = text_converter;
  if (t.to_unicode == NOT_OPEN || t.from_unicode == NOT_OPEN) return 0;
  return convert_through(t.to_unicode, t.from_unicode, t.placeholder, true, out, out_space, in, in_length, out_length);
}

// The name is decoded from the terminal's own encoding and shown as song
// text is; a name too long for its buffer is cut. Without a converter for
// that encoding, or a buffer, the name is shown byte by byte.
void print_harmless_name(const char* name, FILE* stream) {
  const char* terminal = text_converter.terminal_encoding;
  iconv_t decoder = iconv_open(UNICODE, terminal);
  iconv_t encoder = decoder != NOT_OPEN ? iconv_open(terminal, UNICODE) : NOT_OPEN;
  size_t length = strlen(name);
  size_t size = text_buffer_size(static_cast<uint32_t>(length < UINT32_MAX ? length : UINT32_MAX));
  bool usable = encoder != NOT_OPEN && writes_ascii_as_is(encoder);
  char* shown = usable && size != 0 ? static_cast<char*>(malloc(size)) : nullptr;
  if (shown != nullptr) {
    int saved = errno;
    size_t shown_length = 0;
    convert_through(decoder, encoder, placeholder_for(encoder), false, shown, size - 1,
                    reinterpret_cast<const uint8_t*>(name), length, &shown_length);
    errno = saved;
    fwrite(shown, 1, shown_length, stream);
  } else {
    print_bytes_harmless(name, stream);
  }
  free(shown);
  close_one(&encoder);
  close_one(&decoder);
}

// Tried both ways, since an encoding may be known for decoding only (or for
// encoding only); only EINVAL from both says that the name itself is unknown.
bool encoding_unknown(const char* name) {
  int saved = errno;
  bool unknown = !can_open(UNICODE, name) && errno == EINVAL && !can_open(name, UNICODE) && errno == EINVAL;
  errno = saved;
  return unknown;
}
