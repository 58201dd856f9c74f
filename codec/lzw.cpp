// codec/lzw.cpp - decoder for PDF LZWDecode data (early change 1).
#include "codec/lzw.h"

static const int clear_code = 256;
static const int end_code = 257;
static const int first_free = 258;
static const int table_size = 4096;  // codes are at most 12 bits

// One string of the table: its prefix's code and its last byte. len (1..4096) lets a string be
// written straight into place, last byte first, after one room check.
struct lzw_entry {
    uint16_t prefix;
    uint16_t len;
    uint8_t suffix;
    uint8_t first;  // the string's first byte
};

// Early change 1: the width grows one code before the table strictly needs it.
static int code_width(int next) {
    if (next + 1 < 512) return 9;
    if (next + 1 < 1024) return 10;
    if (next + 1 < 2048) return 11;
    return 12;
}

// The next code, most significant bit first, or -1 when any of its bits lies past the input.
static int read_code(const uint8_t *src, uint64_t src_len, uint64_t *bit_pos, int width) {
    if (*bit_pos > src_len * 8u || (uint64_t)width > src_len * 8u - *bit_pos) return -1;
    int code = 0;
    for (int i = 0; i < width; i++) {
        uint64_t p = *bit_pos + (uint64_t)i;
        code = (code << 1) | ((src[p >> 3] >> (7u - (p & 7u))) & 1);
    }
    *bit_pos += (uint64_t)width;
    return code;
}

int lzw_decompress(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap,
                   uint64_t *dst_len) {
    lzw_entry table[table_size];
    for (int i = 0; i < 256; i++) table[i] = {0, 1, (uint8_t)i, (uint8_t)i};
    // A byte count so large that its bit count would wrap cannot be held in memory; cap it.
    if (src_len > UINT64_MAX / 8u) src_len = UINT64_MAX / 8u;

    int next = first_free;
    int prev = -1;  // -1: none (at the start and after a clear code)
    uint64_t bit_pos = 0, out = 0;
    for (;;) {
        int code = read_code(src, src_len, &bit_pos, code_width(next));
        if (code < 0 || code == end_code) break;
        if (code == clear_code) {
            next = first_free;
            prev = -1;
            continue;
        }
        // The string of code: an entry, or (code == next) the previous string and its first byte.
        uint64_t len;
        uint8_t first;
        if (code < next) {
            len = table[code].len;
            first = table[code].first;
        } else if (code == next && prev >= 0) {
            len = (uint64_t)table[prev].len + 1u;
            first = table[prev].first;
        } else {
            return -1;  // names no string
        }
        if (len > dst_cap - out) return -1;
        uint8_t *at = dst + out;
        uint64_t i = len;
        int walk = code;
        if (code == next) {
            at[--i] = first;
            walk = prev;
        }
        while (i > 0) {  // the walk yields the bytes last to first
            at[--i] = table[walk].suffix;
            walk = table[walk].prefix;
        }
        out += len;
        if (prev >= 0 && next < table_size) {
            table[next] = {(uint16_t)prev, (uint16_t)(table[prev].len + 1u), first,
                           table[prev].first};
            next++;
        }
        prev = code;
    }
    if (dst_len) *dst_len = out;
    return 0;
}
