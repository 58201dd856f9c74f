// codec/ascii.cpp - ASCIIHexDecode, ASCII85Decode and RunLengthDecode filters.
//
// All three are lenient: bytes outside their alphabet are skipped, malformed input only yields
// other bytes. Their one failure is an allocation that cannot be made.
#include "codec/ascii.h"

#include <cstdlib>
#include <cstring>

#include "codec/chars.h"

// Powers of 85 by digit position within a group, most significant first.
static const uint32_t pow85[5] = {52200625u, 614125u, 7225u, 85u, 1u};

uint8_t *decode_hex(const uint8_t *src, uint64_t len, uint64_t *out_len) {
    // Two digits per byte, plus one byte for a lone last digit: len / 2 + 2 is always enough.
    if (len / 2u + 2u > (uint64_t)SIZE_MAX || len / 2u + 2u > ascii_max_out + 2u) return nullptr;
    uint8_t *out = (uint8_t *)malloc((size_t)(len / 2u + 2u));
    if (!out) return nullptr;
    uint64_t n = 0;
    int pending = -1;  // -1: no digit waiting for its low half
    for (uint64_t i = 0; i < len; i++) {
        uint8_t c = src[i];
        if (c == '>') break;
        if (is_c_space(c)) continue;
        int v = hex_value(c);
        if (v < 0) continue;  // not a digit ('<' included): ignored
        if (pending < 0) {
            pending = v;
        } else {
            out[n++] = (uint8_t)((pending << 4) | v);
            pending = -1;
        }
    }
    if (pending >= 0) out[n++] = (uint8_t)(pending << 4);  // "A" alone gives A0
    if (out_len) *out_len = n;
    return out;
}

// Makes room for 4 more bytes after n, doubling plus 16, never beyond ascii_max_out. 0, or -1
// when the output would pass ascii_max_out or cannot grow (buffer freed, *buf NULL).
static int a85_room(uint8_t **buf, uint64_t *cap, uint64_t n) {
    if (n + 4u > ascii_max_out) {
        free(*buf);
        *buf = nullptr;
        return -1;
    }
    if (*cap - n >= 4) return 0;
    if (*cap * 2u + 16u > (uint64_t)SIZE_MAX) {
        free(*buf);
        *buf = nullptr;
        return -1;
    }
    uint64_t grown = *cap * 2u + 16u;  // *cap < n + 4 <= ascii_max_out: no wrap
    if (grown > ascii_max_out) grown = ascii_max_out;
    void *t = realloc(*buf, (size_t)grown);
    if (!t) {
        free(*buf);
        *buf = nullptr;
        return -1;
    }
    *buf = (uint8_t *)t;
    *cap = grown;
    return 0;
}

static void put_be32(uint8_t *p, uint32_t v, int count) {
    for (int i = 0; i < count; i++) p[i] = (uint8_t)(v >> (24 - 8 * i));
}

uint8_t *decode_a85(const uint8_t *src, uint64_t len, uint64_t *out_len) {
    if (len > UINT64_MAX - 16u || len + 16u > (uint64_t)SIZE_MAX) return nullptr;
    uint64_t cap = len + 16u;  // five digits give four bytes: enough without 'z'

    uint8_t *out = (uint8_t *)malloc((size_t)cap);
    if (!out) return nullptr;
    uint64_t n = 0;
    uint32_t acc = 0;  // wraps modulo 2^32 for a group above 2^32 - 1
    int k = 0;         // digits in the current group
    for (uint64_t i = 0; i < len; i++) {
        uint8_t c = src[i];
        if (c == '~') {
            if (i + 1 < len && src[i + 1] == '>') break;
            continue;  // a '~' not followed by '>' is passed over
        }
        if (is_c_space(c)) continue;
        if (c == 'z') {
            if (k != 0) continue;  // 'z' inside a group is ignored
            if (a85_room(&out, &cap, n) != 0) return nullptr;
            memset(out + n, 0, 4);
            n += 4;
            continue;
        }
        if (c < '!' || c > 'u') continue;
        acc += (uint32_t)(c - '!') * pow85[k];
        if (++k == 5) {
            if (a85_room(&out, &cap, n) != 0) return nullptr;
            put_be32(out + n, acc, 4);
            n += 4;
            acc = 0;
            k = 0;
        }
    }
    // A final group of k digits (2..4) is completed with 'u' digits and gives k - 1 bytes; a
    // single digit carries less than one byte and is dropped.
    if (k >= 2) {
        for (int j = k; j < 5; j++) acc += 84u * pow85[j];
        if (a85_room(&out, &cap, n) != 0) return nullptr;
        put_be32(out + n, acc, k - 1);
        n += (uint64_t)(k - 1);
    }
    if (out_len) *out_len = n;
    return out;
}

// PDF RunLengthDecode: a length byte 0..127 is followed by that many plus one literal bytes,
// 129..255 by one byte repeated 257 minus that many times, and 128 ends the data. A run cut off
// by the end of the input gives the bytes that exist (none for a repeat without its byte).
// The first pass sizes the output exactly, so the second writes without checks.
static uint64_t runlength_walk(const uint8_t *src, uint64_t len, uint8_t *out) {
    uint64_t n = 0, i = 0;
    while (i < len) {
        uint8_t c = src[i++];
        if (c == 128) break;
        if (c < 128) {
            uint64_t run = (uint64_t)c + 1u;
            if (run > len - i) run = len - i;
            if (out) memcpy(out + n, src + i, (size_t)run);
            n += run;
            i += run;
        } else {
            if (i == len) break;
            uint64_t run = 257u - (uint64_t)c;
            if (out) memset(out + n, src[i], (size_t)run);
            n += run;
            i++;
        }
    }
    return n;
}

uint8_t *decode_runlength(const uint8_t *src, uint64_t len, uint64_t *out_len) {
    // At most 128 output bytes per 2 input bytes: n <= 64 * len + 128; no wrap while len < 2^57.
    if (len > (UINT64_MAX >> 7)) return nullptr;
    uint64_t n = runlength_walk(src, len, nullptr);
    if (n >= (uint64_t)SIZE_MAX || n > ascii_max_out) return nullptr;
    uint8_t *out = (uint8_t *)malloc((size_t)(n ? n : 1u));  // malloc(0) may give NULL
    if (!out) return nullptr;
    runlength_walk(src, len, out);
    if (out_len) *out_len = n;
    return out;
}
