// codec/ascii.h - ASCIIHexDecode, ASCII85Decode and RunLengthDecode filters.
#ifndef QV_CODEC_ASCII_H
#define QV_CODEC_ASCII_H
#include <cstdint>

// Largest output of one call: 1 GiB, the room of the other decoders of an image's filter chain.
// ASCII85 ('z': four bytes per input byte) and RunLength (128 bytes per two) expand their input.
const uint64_t ascii_max_out = (uint64_t)1 << 30;

// Each decodes src[0, len) (no NUL needed, never read past len) into a new malloc'd buffer
// (caller frees) and sets *out_len (when out_len is not null), or returns NULL, *out_len
// untouched, when the output would exceed ascii_max_out or the buffer cannot be allocated.
// Malformed input never fails otherwise: bytes outside the filter's alphabet are skipped.
//
// decode_hex: hex digit pairs, whitespace and other bytes skipped, '>' ends the data, a lone
// last digit gives one byte with a low half of 0.
// decode_a85: groups of five '!'..'u' digits give four bytes (a group above 2^32 - 1 wraps),
// 'z' between groups gives four zero bytes, "~>" ends the data, a last group of 2 to 4 digits
// gives 1 to 3 bytes and a lone last digit none. A leading "<~" is not special.
// decode_runlength: length byte 0..127 copies the next n + 1 bytes, 129..255 repeats the next
// byte 257 - n times, 128 ends the data; a run cut off by the end of the input gives the bytes
// that exist.
uint8_t *decode_hex(const uint8_t *src, uint64_t len, uint64_t *out_len);
uint8_t *decode_a85(const uint8_t *src, uint64_t len, uint64_t *out_len);
uint8_t *decode_runlength(const uint8_t *src, uint64_t len, uint64_t *out_len);

#endif
