// codec/flate.cpp - raw DEFLATE stream inflater (for PNG data), and the DEFLATE encoder with its
// dynamic-block writer and output bit stream.
#include "codec/flate.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// Stream inflater (RFC 1951)
// ---------------------------------------------------------------------------------------------

// RFC 1951 3.2.5: length symbols 257..285 and distance symbols 0..29.
static const int32_t base_len[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const int32_t extra_bits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const int32_t base_dist[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                      33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                      1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const int32_t dist_bits[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// RFC 1951 3.2.7: the order in which code-length code lengths are stored.
static const int32_t DECODE_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct in_stream {
    const uint8_t *bytes;
    uint64_t pos;    // bytes consumed
    uint64_t len;    // bytes available
    int32_t failed;  // sticky: once 1, every operation gives up
};

// Canonical code of one alphabet: codes of length L are first[L] .. first[L] + count[L] - 1 and
// stand for syms[offset[L]] onward, in symbol order.
struct huff_table {
    int32_t count[16];
    int32_t first[16];
    int32_t offset[16];
    uint16_t syms[288];
};

// Process-wide working state, reset or rewritten by every call or block that uses it: one
// qv_inflate at a time in a process.
static uint64_t s_bitbuf;  // pending input bits, the next in bit 0
static int32_t s_bitcnt;
static int32_t lit_lens[288];
static int32_t dist_lens[30];
static int32_t cl_lens[19];
static int32_t all_lens[320];  // a block uses at most 286 + 30

// The next n bits (n <= 13), first bit in bit 0. Bytes are loaded only as bits are needed, so
// fewer than 8 bits are pending after every call.
static uint32_t in_bits(in_stream *in, int32_t n) {
    if (in->failed) return 0;
    while (s_bitcnt < n) {
        if (in->pos >= in->len) {
            in->failed = 1;
            return 0;
        }
        s_bitbuf |= (uint64_t)in->bytes[in->pos] << s_bitcnt;
        in->pos++;
        s_bitcnt += 8;
    }
    uint32_t v = (uint32_t)(s_bitbuf & ((1u << n) - 1u));
    s_bitbuf >>= n;
    s_bitcnt -= n;
    return v;
}

// lengths[0, n) are 0..15, n <= 288. Incomplete codes (the empty one included) are accepted.
static int huff_build(in_stream *in, huff_table *t, const int32_t *lengths, int32_t n) {
    memset(t, 0, sizeof *t);
    for (int32_t s = 0; s < n; s++)
        if (lengths[s] > 0) t->count[lengths[s]]++;
    int32_t left = 1;
    for (int32_t len = 1; len <= 15; len++) {
        left = 2 * left - t->count[len];
        if (left < 0) {  // over-subscribed
            in->failed = 1;
            return 0;
        }
    }
    t->first[1] = 0;
    t->offset[1] = 0;
    for (int32_t len = 1; len < 15; len++) {
        t->first[len + 1] = (t->first[len] + t->count[len]) * 2;
        t->offset[len + 1] = t->offset[len] + t->count[len];
    }
    int32_t next[16];
    memcpy(next, t->offset, sizeof next);
    for (int32_t s = 0; s < n; s++)
        if (lengths[s] > 0) t->syms[next[lengths[s]]++] = (uint16_t)s;
    return 1;
}

// One bit at a time against the per-length ranges. A symbol, or -1 (failed set).
static int32_t huff_decode(in_stream *in, const huff_table *t) {
    int32_t code = 0;
    for (int32_t len = 1; len <= 15; len++) {
        uint32_t bit = in_bits(in, 1);
        if (in->failed) return -1;
        code = code * 2 + (int32_t)bit;
        if (code >= t->first[len] && code < t->first[len] + t->count[len])
            return t->syms[t->offset[len] + code - t->first[len]];
    }
    in->failed = 1;  // an unassigned code
    return -1;
}

static int fail_block(in_stream *in) {
    in->failed = 1;
    return 0;
}

// Symbols up to end of block. 1 at end of block, 0 on failure (failed set).
static int inflate_symbols(in_stream *in, const huff_table *lit, const huff_table *dist, uint8_t *dst,
                           uint64_t *out, uint64_t cap) {
    for (;;) {
        int32_t s = huff_decode(in, lit);
        if (in->failed || s < 0) return fail_block(in);
        if (s < 256) {
            if (*out >= cap) return fail_block(in);
            dst[(*out)++] = (uint8_t)s;
            continue;
        }
        if (s == 256) return 1;
        s -= 257;
        if (s > 28) return fail_block(in);  // symbols 286, 287
        uint64_t length = (uint64_t)base_len[s] + in_bits(in, extra_bits[s]);
        if (in->failed) return 0;
        int32_t d = huff_decode(in, dist);
        if (in->failed || d < 0 || d > 29) return fail_block(in);
        uint64_t distance = (uint64_t)base_dist[d] + in_bits(in, dist_bits[d]);
        if (in->failed) return 0;
        if (distance > *out || length > cap - *out) return fail_block(in);
        // Byte by byte: a distance shorter than the length repeats the bytes just written.
        uint64_t from = *out - distance;
        for (uint64_t k = 0; k < length; k++) dst[*out + k] = dst[from + k];
        *out += length;
    }
}

static int inflate_block_fixed(in_stream *in, uint8_t *dst, uint64_t *out, uint64_t cap) {
    int32_t s = 0;
    for (; s < 144; s++) lit_lens[s] = 8;  // RFC 1951 3.2.6
    for (; s < 256; s++) lit_lens[s] = 9;
    for (; s < 280; s++) lit_lens[s] = 7;
    for (; s < 288; s++) lit_lens[s] = 8;
    for (s = 0; s < 30; s++) dist_lens[s] = 5;
    huff_table lit, dist;
    huff_build(in, &lit, lit_lens, 288);
    huff_build(in, &dist, dist_lens, 30);
    return inflate_symbols(in, &lit, &dist, dst, out, cap);
}

static int inflate_block_dynamic(in_stream *in, uint8_t *dst, uint64_t *out, uint64_t cap) {
    int32_t nlen = (int32_t)in_bits(in, 5) + 257;
    int32_t ndist = (int32_t)in_bits(in, 5) + 1;
    int32_t ncode = (int32_t)in_bits(in, 4) + 4;
    if (in->failed) return 0;
    if (nlen > 286 || ndist > 30) return fail_block(in);

    memset(cl_lens, 0, sizeof cl_lens);
    for (int32_t k = 0; k < ncode; k++) cl_lens[DECODE_ORDER[k]] = (int32_t)in_bits(in, 3);
    if (in->failed) return 0;
    huff_table t;
    if (!huff_build(in, &t, cl_lens, 19)) return 0;

    // RFC 1951 3.2.7: repeat codes may run from the literal/length lengths into the distance ones.
    int32_t total = nlen + ndist, index = 0;
    while (index < total) {
        int32_t sym = huff_decode(in, &t);
        if (in->failed || sym < 0) return fail_block(in);
        if (sym < 16) {
            all_lens[index++] = sym;
            continue;
        }
        int32_t value = 0, repeat;
        if (sym == 16) {
            if (index == 0) return fail_block(in);
            value = all_lens[index - 1];
            repeat = 3 + (int32_t)in_bits(in, 2);
        } else if (sym == 17) {
            repeat = 3 + (int32_t)in_bits(in, 3);
        } else {
            repeat = 11 + (int32_t)in_bits(in, 7);
        }
        if (in->failed) return 0;
        if (repeat > total - index) return fail_block(in);
        while (repeat-- > 0) all_lens[index++] = value;
    }

    huff_table lit, dist;
    if (!huff_build(in, &lit, all_lens, nlen)) return 0;
    if (!huff_build(in, &dist, all_lens + nlen, ndist)) return 0;
    return inflate_symbols(in, &lit, &dist, dst, out, cap);
}

int32_t qv_inflate(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap) {
    // The count is returned as int32_t: never produce more than it can tell.
    if (dst_cap > 0x7FFFFFFFu) dst_cap = 0x7FFFFFFFu;
    if (!src) src_len = 0;
    if (!dst) dst_cap = 0;
    s_bitbuf = 0;
    s_bitcnt = 0;
    in_stream in = {src, 0, src_len, 0};
    uint64_t out = 0;
    for (;;) {
        uint32_t header = in_bits(&in, 3);
        if (in.failed) return -1;
        uint32_t final = header & 1u, type = header >> 1;
        if (type == 0) {
            // Stored: drop the pending bits; LEN starts at the byte after the block header.
            s_bitbuf = 0;
            s_bitcnt = 0;
            if (in.len - in.pos < 4) return -1;
            const uint8_t *p = in.bytes + in.pos;
            uint32_t len = (uint32_t)p[0] | (uint32_t)p[1] << 8;
            uint32_t nlen = (uint32_t)p[2] | (uint32_t)p[3] << 8;
            if (nlen != (~len & 0xFFFFu)) return -1;
            if (in.len - in.pos - 4 < len || len > dst_cap - out) return -1;
            if (len) memcpy(dst + out, p + 4, len);
            out += len;
            in.pos += 4u + len;
        } else if (type == 1) {
            if (!inflate_block_fixed(&in, dst, &out, dst_cap)) return -1;
        } else if (type == 2) {
            if (!inflate_block_dynamic(&in, dst, &out, dst_cap)) return -1;
        } else {
            return -1;
        }
        if (final) return (int32_t)out;
    }
}
