// codec/jbig2_huffman.cpp - JBIG2 Huffman coding: the bit reader, the standard tables B.1 to B.15
// of ITU-T T.88, custom table segments, canonical code assignment and decoding.
#include <cstdlib>
#include <cstring>

#include "codec/jbig2_parts.h"

uint32_t jb2_bits_read(jb2_bits *b, uint32_t n) {
    uint64_t v = 0;
    while (n > 0) {
        if (b->pos >= b->len * 8u) {  // past the end: 0 bits, and the reader has failed
            b->failed = 1;
            v <<= n;
            break;
        }
        uint32_t off = (uint32_t)(b->pos & 7u), avail = 8u - off, take = n < avail ? n : avail;
        uint32_t byte = b->data[b->pos >> 3];
        v = (v << take) | ((byte >> (avail - take)) & ((1u << take) - 1u));
        b->pos += take;
        n -= take;
    }
    return (uint32_t)v;
}

void jb2_bits_align(jb2_bits *b) { b->pos = (b->pos + 7u) & ~(uint64_t)7u; }

// ---- The standard tables ----

#define R(p, r, l) {p, r, jb2_line_range, l}
#define LOW(p, l) {p, 32, jb2_line_lower, l}
#define UP(p, l) {p, 32, jb2_line_upper, l}
#define OOB(p) {p, 0, jb2_line_oob, 0}
static const jb2_huff_line table_b1[] = {R(1, 4, 0), R(2, 8, 16), R(3, 16, 272), UP(3, 65808)};
static const jb2_huff_line table_b2[] = {R(1, 0, 0),  R(2, 0, 1),  R(3, 0, 2), R(4, 3, 3),
                                         R(5, 6, 11), UP(6, 75), OOB(6)};
static const jb2_huff_line table_b3[] = {R(8, 8, -256), R(1, 0, 0),  R(2, 0, 1),
                                         R(3, 0, 2),    R(4, 3, 3),  R(5, 6, 11),
                                         LOW(8, -257),  UP(7, 75),   OOB(6)};
static const jb2_huff_line table_b4[] = {R(1, 0, 1),  R(2, 0, 2), R(3, 0, 3),
                                         R(4, 3, 4),  R(5, 6, 12), UP(5, 76)};
static const jb2_huff_line table_b5[] = {R(7, 8, -255), R(1, 0, 1),   R(2, 0, 2),
                                         R(3, 0, 3),    R(4, 3, 4),   R(5, 6, 12),
                                         LOW(7, -256),  UP(6, 76)};
static const jb2_huff_line table_b6[] = {
    R(5, 10, -2048), R(4, 9, -1024), R(4, 8, -512), R(4, 7, -256), R(5, 6, -128),
    R(5, 5, -64),    R(4, 5, -32),   R(2, 7, 0),    R(3, 7, 128),  R(3, 8, 256),
    R(4, 9, 512),    R(4, 10, 1024), LOW(6, -2049), UP(6, 2048)};
static const jb2_huff_line table_b7[] = {
    R(4, 9, -1024), R(3, 8, -512), R(4, 7, -256), R(5, 6, -128),  R(5, 5, -64),
    R(4, 5, -32),   R(4, 5, 0),    R(5, 5, 32),   R(5, 6, 64),    R(4, 7, 128),
    R(3, 8, 256),   R(3, 9, 512),  R(3, 10, 1024), LOW(5, -1025), UP(5, 2048)};
static const jb2_huff_line table_b8[] = {
    R(8, 3, -15), R(9, 1, -7),  R(8, 1, -5),   R(9, 0, -3),   R(7, 0, -2),  R(4, 0, -1),
    R(2, 1, 0),   R(5, 0, 2),   R(6, 0, 3),    R(3, 4, 4),    R(6, 1, 20),  R(4, 4, 22),
    R(4, 5, 38),  R(5, 6, 70),  R(5, 7, 134),  R(6, 7, 262),  R(7, 8, 390), R(6, 10, 646),
    LOW(9, -16),  UP(9, 1670),  OOB(2)};
static const jb2_huff_line table_b9[] = {
    R(8, 4, -31),  R(9, 2, -15), R(8, 2, -11),  R(9, 1, -7),   R(7, 1, -5),  R(4, 1, -3),
    R(3, 1, -1),   R(3, 1, 1),   R(5, 1, 3),    R(6, 1, 5),    R(3, 5, 7),   R(6, 2, 39),
    R(4, 5, 43),   R(4, 6, 75),  R(5, 7, 139),  R(5, 8, 267),  R(6, 8, 523), R(7, 9, 779),
    R(6, 11, 1291), LOW(9, -32), UP(9, 3339),   OOB(2)};
static const jb2_huff_line table_b10[] = {
    R(7, 4, -21),  R(8, 0, -5),  R(7, 0, -4),   R(5, 0, -3),   R(2, 2, -2),   R(5, 0, 2),
    R(6, 0, 3),    R(7, 0, 4),   R(8, 0, 5),    R(2, 6, 6),    R(5, 5, 70),   R(6, 5, 102),
    R(6, 6, 134),  R(6, 7, 198), R(6, 8, 326),  R(6, 9, 582),  R(6, 10, 1094), R(7, 11, 2118),
    LOW(8, -22),   UP(8, 4166),  OOB(2)};
static const jb2_huff_line table_b11[] = {
    R(1, 0, 1),  R(2, 1, 2),  R(4, 0, 4),  R(4, 1, 5),  R(5, 1, 7),  R(5, 2, 9), R(6, 2, 13),
    R(7, 2, 17), R(7, 3, 21), R(7, 4, 29), R(7, 5, 45), R(7, 6, 77), UP(7, 141)};
static const jb2_huff_line table_b12[] = {
    R(1, 0, 1),  R(2, 0, 2),  R(3, 1, 3),  R(5, 0, 5),  R(5, 1, 6),  R(6, 1, 8), R(7, 0, 10),
    R(7, 1, 11), R(7, 2, 13), R(7, 3, 17), R(7, 4, 25), R(8, 5, 41), UP(8, 73)};
static const jb2_huff_line table_b13[] = {
    R(1, 0, 1),  R(3, 0, 2),  R(4, 0, 3),  R(5, 0, 4),  R(4, 1, 5),  R(3, 3, 7), R(6, 1, 15),
    R(6, 2, 17), R(6, 3, 21), R(6, 4, 29), R(6, 5, 45), R(7, 6, 77), UP(7, 141)};
static const jb2_huff_line table_b14[] = {R(3, 0, -2), R(3, 0, -1), R(1, 0, 0), R(3, 0, 1),
                                          R(3, 0, 2)};
static const jb2_huff_line table_b15[] = {
    R(7, 4, -24), R(6, 2, -8), R(5, 1, -4), R(4, 0, -2), R(3, 0, -1), R(1, 0, 0),  R(3, 0, 1),
    R(4, 0, 2),   R(5, 1, 3),  R(6, 2, 5),  R(7, 4, 9),  LOW(7, -25), UP(7, 25)};
#undef R
#undef LOW
#undef UP
#undef OOB

#define TABLE(t) {t, sizeof t / sizeof t[0]}
static const struct {
    const jb2_huff_line *lines;
    uint32_t n;
} std_tables[15] = {TABLE(table_b1),  TABLE(table_b2),  TABLE(table_b3),  TABLE(table_b4),
                    TABLE(table_b5),  TABLE(table_b6),  TABLE(table_b7),  TABLE(table_b8),
                    TABLE(table_b9),  TABLE(table_b10), TABLE(table_b11), TABLE(table_b12),
                    TABLE(table_b13), TABLE(table_b14), TABLE(table_b15)};
#undef TABLE

// ---- Building and decoding ----

// Codes are assigned by prefix length, and in table order within a length; lines of prefix
// length 0 get none.
int jb2_huff_build(jb2_huff_table *t, const jb2_huff_line *lines, uint32_t n) {
    memset(t, 0, sizeof *t);
    for (uint32_t i = 0; i < n; i++) {
        if (lines[i].preflen > 32 || lines[i].rangelen > 32) return -1;
        t->count[lines[i].preflen]++;
    }
    t->count[0] = 0;
    uint32_t used = 0;  // lines with a code
    for (uint32_t len = 1; len <= 32; len++) {
        uint64_t first = ((uint64_t)t->first[len - 1] + t->count[len - 1]) * 2u;
        if (first + t->count[len] > (1ull << len)) return -1;  // more codes than the length holds
        t->first[len] = (uint32_t)first;
        t->start[len] = used;
        used += t->count[len];
    }
    if (used > 0) {
        t->lines = (jb2_huff_line *)malloc(sizeof(jb2_huff_line) * used);
        if (!t->lines) return -1;
    }
    uint32_t fill[33];
    memcpy(fill, t->start, sizeof fill);
    for (uint32_t i = 0; i < n; i++)
        if (lines[i].preflen > 0) t->lines[fill[lines[i].preflen]++] = lines[i];
    t->n = used;
    return 0;
}

void jb2_huff_free(jb2_huff_table *t) {
    free(t->lines);
    memset(t, 0, sizeof *t);
}

int jb2_huff_std_build(jb2_huff_std *s) {
    memset(s, 0, sizeof *s);
    for (int i = 0; i < 15; i++) {
        if (jb2_huff_build(&s->t[i], std_tables[i].lines, std_tables[i].n) < 0) {
            jb2_huff_std_free(s);
            return -1;
        }
    }
    return 0;
}

void jb2_huff_std_free(jb2_huff_std *s) {
    for (int i = 0; i < 15; i++) jb2_huff_free(&s->t[i]);
}

// A custom table: flags (out-of-band line, bits per prefix length and per range length), the
// lowest and the highest value, then the lines until the ranges reach the highest value, then the
// lower and upper range lines and, if present, the out-of-band line.
int jb2_huff_parse(const uint8_t *data, uint64_t len, jb2_huff_table *t) {
    memset(t, 0, sizeof *t);
    if (len < 9) return -1;
    int oob = data[0] & 1;
    uint32_t ps = ((data[0] >> 1) & 7u) + 1u, rs = ((data[0] >> 4) & 7u) + 1u;
    int32_t low = (int32_t)((uint32_t)data[1] << 24 | (uint32_t)data[2] << 16 | (uint32_t)data[3] << 8 | data[4]);
    int32_t high = (int32_t)((uint32_t)data[5] << 24 | (uint32_t)data[6] << 16 | (uint32_t)data[7] << 8 | data[8]);
    jb2_bits b = {data + 9, len - 9, 0, 0};
    uint32_t cap = 64, n = 0;
    jb2_huff_line *lines = (jb2_huff_line *)malloc(sizeof(jb2_huff_line) * cap);
    int rc = -1;
    if (!lines) return -1;
    int64_t cur = low;
    do {  // each line reads ps + rs bits, so the loop ends with the data at the latest
        if (n + 3 >= cap) {
            if (cap >= jbig2_max_table_lines) goto done;
            void *grown = realloc(lines, sizeof(jb2_huff_line) * cap * 2);
            if (!grown) goto done;
            lines = (jb2_huff_line *)grown;
            cap *= 2;
        }
        uint32_t pl = jb2_bits_read(&b, ps), rl = jb2_bits_read(&b, rs);
        if (b.failed || rl > 32) goto done;
        lines[n++] = {(uint8_t)pl, (uint8_t)rl, jb2_line_range, (int32_t)cur};
        cur += (int64_t)1 << rl;
    } while (cur < high);
    lines[n++] = {(uint8_t)jb2_bits_read(&b, ps), 32, jb2_line_lower, (int32_t)((int64_t)low - 1)};
    lines[n++] = {(uint8_t)jb2_bits_read(&b, ps), 32, jb2_line_upper, high};
    if (oob) lines[n++] = {(uint8_t)jb2_bits_read(&b, ps), 0, jb2_line_oob, 0};
    if (b.failed) goto done;
    rc = jb2_huff_build(t, lines, n);
done:
    free(lines);
    return rc;
}

int jb2_huff_decode(jb2_bits *b, const jb2_huff_table *t, int64_t *value) {
    uint32_t code = 0;
    for (uint32_t len = 1; len <= 32; len++) {
        code = (code << 1) | jb2_bits_read(b, 1);
        if (b->failed) return -1;
        if (t->count[len] == 0 || code - t->first[len] >= t->count[len] || code < t->first[len])
            continue;
        const jb2_huff_line &l = t->lines[t->start[len] + (code - t->first[len])];
        if (l.kind == jb2_line_oob) return 1;
        int64_t off = l.rangelen ? jb2_bits_read(b, l.rangelen) : 0;
        if (b->failed) return -1;
        *value = l.kind == jb2_line_lower ? (int64_t)l.low - off : (int64_t)l.low + off;
        return 0;
    }
    return -1;
}

// Run codes 0 to 31 give a code length; 32 repeats the previous symbol's 3 to 6 times, 33 gives
// 3 to 10 zero lengths, 34 gives 11 to 138.
int jb2_symbol_codes(jb2_bits *b, uint32_t nsyms, jb2_huff_table *t) {
    memset(t, 0, sizeof *t);
    jb2_huff_line runs[35];
    for (uint32_t i = 0; i < 35; i++)
        runs[i] = {(uint8_t)jb2_bits_read(b, 4), 0, jb2_line_range, (int32_t)i};
    jb2_huff_table rt;
    if (b->failed || jb2_huff_build(&rt, runs, 35) < 0) return -1;
    jb2_huff_line *lines = (jb2_huff_line *)malloc(sizeof(jb2_huff_line) * (nsyms ? nsyms : 1));
    int rc = -1;
    uint32_t i = 0;
    if (!lines) goto done;
    while (i < nsyms) {
        int64_t code;
        if (jb2_huff_decode(b, &rt, &code) != 0) goto done;
        uint32_t len = 0, repeat = 1;
        if (code < 32) {
            len = (uint32_t)code;
        } else if (code == 32) {  // the previous symbol's length again
            if (i == 0) goto done;
            len = lines[i - 1].preflen;
            repeat = 3 + jb2_bits_read(b, 2);
        } else {
            repeat = code == 33 ? 3 + jb2_bits_read(b, 3) : 11 + jb2_bits_read(b, 7);
        }
        if (b->failed || repeat > nsyms - i) goto done;
        for (uint32_t k = 0; k < repeat; k++, i++) lines[i] = {(uint8_t)len, 0, jb2_line_range, (int32_t)i};
    }
    jb2_bits_align(b);
    rc = jb2_huff_build(t, lines, nsyms);
done:
    free(lines);
    jb2_huff_free(&rt);
    return rc;
}
