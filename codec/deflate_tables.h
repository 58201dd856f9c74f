// codec/deflate_tables.h - the fixed tables of the DEFLATE format, shared by the inflate decoder,
// the stream inflater and the encoder, and the match copy of both inflaters.
#ifndef QV_CODEC_DEFLATE_TABLES_H
#define QV_CODEC_DEFLATE_TABLES_H
#include <cstdint>
#include <cstring>

// RFC 1951 3.2.5: base length and extra bits of length symbols 257..285.
inline constexpr int32_t deflate_len_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                                 15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                                 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr int32_t deflate_len_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// RFC 1951 3.2.5: base distance and extra bits of distance symbols 0..29.
inline constexpr int32_t deflate_dist_base[30] = {1,    2,    3,    4,    5,    7,     9,     13,
                                                  17,   25,   33,   49,   65,   97,    129,   193,
                                                  257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                                  4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr int32_t deflate_dist_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                   6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// RFC 1951 3.2.7: the order in which a dynamic block stores the code-length code's lengths.
inline constexpr int32_t deflate_cl_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                                 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Copies a match of len (3..258) bytes from dist (>= 1) bytes back to to[0, len): exactly those
// bytes, as a byte-by-byte copy would, including when the match overlaps itself. to[len, 8) must
// lie inside the output buffer too: a short match is one 8-byte store that writes the bytes after
// it back unchanged.
static inline void deflate_copy_match(uint8_t *to, uint64_t dist, uint64_t len) {
    const uint8_t *from = to - dist;
    uint8_t *const end = to + len;
    if (dist >= 8) {  // 8 bytes at a time never read a byte the same copy writes
        if (len <= 8) {  // one 8-byte store; the bytes after the match are stored back as they were
            uint64_t v, old;
            memcpy(&v, from, 8);
            memcpy(&old, to, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            uint64_t mine = ~(uint64_t)0 << (64 - 8 * len);  // the first len bytes
#else
            uint64_t mine = ~(uint64_t)0 >> (64 - 8 * len);
#endif
            v = (v & mine) | (old & ~mine);
            memcpy(to, &v, 8);
        } else {
            do {
                memcpy(to, from, 8);
                to += 8;
                from += 8;
            } while (end - to >= 8);
            // The last bytes as the 8 that end the match: the ones copied again are the same.
            if (to < end) memcpy(end - 8, end - 8 - dist, 8);
        }
    } else if (dist == 1) {
        memset(to, from[0], (size_t)len);
    } else {
        // A pattern of period dist: each step stores 8 bytes read dist back, of which the first
        // dist are the pattern's and the rest are stored again by the next step.
        while (end - to >= 8) {
            uint64_t v;
            memcpy(&v, from, 8);
            memcpy(to, &v, 8);
            to += dist;
            from += dist;
        }
        while (to < end) *to++ = *from++;
    }
}

#endif
