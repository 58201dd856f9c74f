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

// Room for len more bytes at out: a fixed dst of dst_cap, or the growable output g (grown; *dst
// follows its storage). The room there is.
static uint64_t lzw_room(qv_outbuf *g, uint8_t **dst, uint64_t *dst_cap, uint64_t out, uint64_t len) {
    if (!g || *dst_cap - out >= len) return *dst_cap - out;
    g->len = out;
    uint64_t room = outbuf_reserve(g, len);
    *dst = g->data;
    *dst_cap = g->cap;
    return room;
}

// The string of code written at at[0, len), last byte first (code == next: the previous string
// and its first byte).
static void lzw_write(const lzw_entry *table, int code, int next, int prev, uint8_t first,
                      uint8_t *at, uint64_t len) {
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
}

// The decoder over a fixed dst (g null) or the growable output g. 0 with *dst_len, 1 when g is
// full at its max (its bytes up to max written), -1 as lzw_decompress.
static int lzw_run(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap,
                   qv_outbuf *g, uint64_t *dst_len) {
    lzw_entry table[table_size];
    for (int i = 0; i < 256; i++) table[i] = {0, 1, (uint8_t)i, (uint8_t)i};
    // A byte count so large that its bit count would wrap cannot be held in memory; cap it.
    if (src_len > UINT64_MAX / 8u) src_len = UINT64_MAX / 8u;

    int next = first_free;
    int prev = -1;  // -1: none (at the start and after a clear code)
    uint64_t bit_pos = 0, out = g ? g->len : 0;
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
        uint64_t room = lzw_room(g, &dst, &dst_cap, out, len);
        if (len > room) {
            if (!g || g->no_memory) return -1;
            uint8_t whole[table_size + 1];  // the string's first room bytes are what fits
            lzw_write(table, code, next, prev, first, whole, len);
            for (uint64_t i = 0; i < room; i++) dst[out + i] = whole[i];
            g->len = out + room;
            return 1;
        }
        lzw_write(table, code, next, prev, first, dst + out, len);
        out += len;
        if (prev >= 0 && next < table_size) {
            table[next] = {(uint16_t)prev, (uint16_t)(table[prev].len + 1u), first,
                           table[prev].first};
            next++;
        }
        prev = code;
    }
    if (g) g->len = out;
    if (dst_len) *dst_len = out;
    return 0;
}

int lzw_decompress(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap,
                   uint64_t *dst_len) {
    return lzw_run(src, src_len, dst, dst_cap, nullptr, dst_len) == 0 ? 0 : -1;
}

int lzw_grow(const uint8_t *src, uint64_t src_len, qv_outbuf *out) {
    uint8_t *dst = out->data;
    uint64_t cap = out->cap;
    out->cut = 0;
    int rc = lzw_run(src, src_len, dst, cap, out, nullptr);
    if (rc == 1) out->cut = 1;
    return rc < 0 ? -1 : 0;
}
