// codec/ccitt.cpp - decoder for CCITT fax data (ITU-T T.4 and T.6).
//
// A row is decoded into its changing elements: the increasing positions where the colour changes,
// the first one from white to black (so an even count leaves the row white at its end). A
// two-dimensional row is coded against the row before it as reference; the first row's reference is
// an imaginary white row. The changing elements are then turned into bits a byte or a span at a time.
#include "codec/ccitt.h"

#include <cstdlib>
#include <cstring>

// ---- Code tables (ITU-T T.4 tables 1 to 5, T.6 table 1) ----

// What a run-length code is.
enum : uint8_t {
    rc_invalid = 0,  // no code (zero-initialised table entries)
    rc_term,         // terminating code, 0..63: ends the run
    rc_makeup,       // makeup code, 64..2560: more codes of the same run follow
    rc_sub,          // first-level entry that points to a second-level table
    rc_eol,          // 000000000001
    rc_uncomp,       // 000000001111: one-dimensional entrance to uncompressed mode
};

struct run_code {
    uint16_t bits;  // the code, its last bit in bit 0
    uint8_t len;
    uint16_t value;
    uint8_t kind;
};

static constexpr run_code white_codes[] = {
    {0x35, 8, 0, rc_term},    {0x07, 6, 1, rc_term},    {0x07, 4, 2, rc_term},    {0x08, 4, 3, rc_term},
    {0x0b, 4, 4, rc_term},    {0x0c, 4, 5, rc_term},    {0x0e, 4, 6, rc_term},    {0x0f, 4, 7, rc_term},
    {0x13, 5, 8, rc_term},    {0x14, 5, 9, rc_term},    {0x07, 5, 10, rc_term},   {0x08, 5, 11, rc_term},
    {0x08, 6, 12, rc_term},   {0x03, 6, 13, rc_term},   {0x34, 6, 14, rc_term},   {0x35, 6, 15, rc_term},
    {0x2a, 6, 16, rc_term},   {0x2b, 6, 17, rc_term},   {0x27, 7, 18, rc_term},   {0x0c, 7, 19, rc_term},
    {0x08, 7, 20, rc_term},   {0x17, 7, 21, rc_term},   {0x03, 7, 22, rc_term},   {0x04, 7, 23, rc_term},
    {0x28, 7, 24, rc_term},   {0x2b, 7, 25, rc_term},   {0x13, 7, 26, rc_term},   {0x24, 7, 27, rc_term},
    {0x18, 7, 28, rc_term},   {0x02, 8, 29, rc_term},   {0x03, 8, 30, rc_term},   {0x1a, 8, 31, rc_term},
    {0x1b, 8, 32, rc_term},   {0x12, 8, 33, rc_term},   {0x13, 8, 34, rc_term},   {0x14, 8, 35, rc_term},
    {0x15, 8, 36, rc_term},   {0x16, 8, 37, rc_term},   {0x17, 8, 38, rc_term},   {0x28, 8, 39, rc_term},
    {0x29, 8, 40, rc_term},   {0x2a, 8, 41, rc_term},   {0x2b, 8, 42, rc_term},   {0x2c, 8, 43, rc_term},
    {0x2d, 8, 44, rc_term},   {0x04, 8, 45, rc_term},   {0x05, 8, 46, rc_term},   {0x0a, 8, 47, rc_term},
    {0x0b, 8, 48, rc_term},   {0x52, 8, 49, rc_term},   {0x53, 8, 50, rc_term},   {0x54, 8, 51, rc_term},
    {0x55, 8, 52, rc_term},   {0x24, 8, 53, rc_term},   {0x25, 8, 54, rc_term},   {0x58, 8, 55, rc_term},
    {0x59, 8, 56, rc_term},   {0x5a, 8, 57, rc_term},   {0x5b, 8, 58, rc_term},   {0x4a, 8, 59, rc_term},
    {0x4b, 8, 60, rc_term},   {0x32, 8, 61, rc_term},   {0x33, 8, 62, rc_term},   {0x34, 8, 63, rc_term},
    {0x1b, 5, 64, rc_makeup},   {0x12, 5, 128, rc_makeup},  {0x17, 6, 192, rc_makeup},  {0x37, 7, 256, rc_makeup},
    {0x36, 8, 320, rc_makeup},  {0x37, 8, 384, rc_makeup},  {0x64, 8, 448, rc_makeup},  {0x65, 8, 512, rc_makeup},
    {0x68, 8, 576, rc_makeup},  {0x67, 8, 640, rc_makeup},  {0xcc, 9, 704, rc_makeup},  {0xcd, 9, 768, rc_makeup},
    {0xd2, 9, 832, rc_makeup},  {0xd3, 9, 896, rc_makeup},  {0xd4, 9, 960, rc_makeup},  {0xd5, 9, 1024, rc_makeup},
    {0xd6, 9, 1088, rc_makeup}, {0xd7, 9, 1152, rc_makeup}, {0xd8, 9, 1216, rc_makeup}, {0xd9, 9, 1280, rc_makeup},
    {0xda, 9, 1344, rc_makeup}, {0xdb, 9, 1408, rc_makeup}, {0x98, 9, 1472, rc_makeup}, {0x99, 9, 1536, rc_makeup},
    {0x9a, 9, 1600, rc_makeup}, {0x18, 6, 1664, rc_makeup}, {0x9b, 9, 1728, rc_makeup},
};

static constexpr run_code black_codes[] = {
    {0x37, 10, 0, rc_term},   {0x02, 3, 1, rc_term},    {0x03, 2, 2, rc_term},    {0x02, 2, 3, rc_term},
    {0x03, 3, 4, rc_term},    {0x03, 4, 5, rc_term},    {0x02, 4, 6, rc_term},    {0x03, 5, 7, rc_term},
    {0x05, 6, 8, rc_term},    {0x04, 6, 9, rc_term},    {0x04, 7, 10, rc_term},   {0x05, 7, 11, rc_term},
    {0x07, 7, 12, rc_term},   {0x04, 8, 13, rc_term},   {0x07, 8, 14, rc_term},   {0x18, 9, 15, rc_term},
    {0x17, 10, 16, rc_term},  {0x18, 10, 17, rc_term},  {0x08, 10, 18, rc_term},  {0x67, 11, 19, rc_term},
    {0x68, 11, 20, rc_term},  {0x6c, 11, 21, rc_term},  {0x37, 11, 22, rc_term},  {0x28, 11, 23, rc_term},
    {0x17, 11, 24, rc_term},  {0x18, 11, 25, rc_term},  {0xca, 12, 26, rc_term},  {0xcb, 12, 27, rc_term},
    {0xcc, 12, 28, rc_term},  {0xcd, 12, 29, rc_term},  {0x68, 12, 30, rc_term},  {0x69, 12, 31, rc_term},
    {0x6a, 12, 32, rc_term},  {0x6b, 12, 33, rc_term},  {0xd2, 12, 34, rc_term},  {0xd3, 12, 35, rc_term},
    {0xd4, 12, 36, rc_term},  {0xd5, 12, 37, rc_term},  {0xd6, 12, 38, rc_term},  {0xd7, 12, 39, rc_term},
    {0x6c, 12, 40, rc_term},  {0x6d, 12, 41, rc_term},  {0xda, 12, 42, rc_term},  {0xdb, 12, 43, rc_term},
    {0x54, 12, 44, rc_term},  {0x55, 12, 45, rc_term},  {0x56, 12, 46, rc_term},  {0x57, 12, 47, rc_term},
    {0x64, 12, 48, rc_term},  {0x65, 12, 49, rc_term},  {0x52, 12, 50, rc_term},  {0x53, 12, 51, rc_term},
    {0x24, 12, 52, rc_term},  {0x37, 12, 53, rc_term},  {0x38, 12, 54, rc_term},  {0x27, 12, 55, rc_term},
    {0x28, 12, 56, rc_term},  {0x58, 12, 57, rc_term},  {0x59, 12, 58, rc_term},  {0x2b, 12, 59, rc_term},
    {0x2c, 12, 60, rc_term},  {0x5a, 12, 61, rc_term},  {0x66, 12, 62, rc_term},  {0x67, 12, 63, rc_term},
    {0x0f, 10, 64, rc_makeup},   {0xc8, 12, 128, rc_makeup},  {0xc9, 12, 192, rc_makeup},  {0x5b, 12, 256, rc_makeup},
    {0x33, 12, 320, rc_makeup},  {0x34, 12, 384, rc_makeup},  {0x35, 12, 448, rc_makeup},  {0x6c, 13, 512, rc_makeup},
    {0x6d, 13, 576, rc_makeup},  {0x4a, 13, 640, rc_makeup},  {0x4b, 13, 704, rc_makeup},  {0x4c, 13, 768, rc_makeup},
    {0x4d, 13, 832, rc_makeup},  {0x72, 13, 896, rc_makeup},  {0x73, 13, 960, rc_makeup},  {0x74, 13, 1024, rc_makeup},
    {0x75, 13, 1088, rc_makeup}, {0x76, 13, 1152, rc_makeup}, {0x77, 13, 1216, rc_makeup}, {0x52, 13, 1280, rc_makeup},
    {0x53, 13, 1344, rc_makeup}, {0x54, 13, 1408, rc_makeup}, {0x55, 13, 1472, rc_makeup}, {0x5a, 13, 1536, rc_makeup},
    {0x5b, 13, 1600, rc_makeup}, {0x64, 13, 1664, rc_makeup}, {0x65, 13, 1728, rc_makeup},
};

// Makeup codes of either colour (T.4 table 3), the EOL, and the one-dimensional extension that
// enters uncompressed mode; the other extension values are left invalid.
static constexpr run_code shared_codes[] = {
    {0x08, 11, 1792, rc_makeup}, {0x0c, 11, 1856, rc_makeup}, {0x0d, 11, 1920, rc_makeup},
    {0x12, 12, 1984, rc_makeup}, {0x13, 12, 2048, rc_makeup}, {0x14, 12, 2112, rc_makeup},
    {0x15, 12, 2176, rc_makeup}, {0x16, 12, 2240, rc_makeup}, {0x17, 12, 2304, rc_makeup},
    {0x1c, 12, 2368, rc_makeup}, {0x1d, 12, 2432, rc_makeup}, {0x1e, 12, 2496, rc_makeup},
    {0x1f, 12, 2560, rc_makeup}, {0x01, 12, 0, rc_eol},          {0x0f, 12, 0, rc_uncomp},
};

// A two-level look-up table: the next first_bits bits index first; an rc_sub entry's value is the
// offset of a table of 2^second_bits entries indexed by the bits after those. An entry is the value
// (bits 0..15), the code's whole length (bits 16..23) and its kind (bits 24..31); shorter codes fill
// every entry that starts with them.
template <int first_bits, int second_bits, int subtables>
struct run_table {
    uint32_t first[1 << first_bits];
    uint32_t second[subtables << second_bits];
    int32_t used;       // second-level tables taken
    int32_t conflicts;  // codes that did not fit or overlapped another: 0, checked at compile time
};

static constexpr uint32_t rt_entry(uint32_t value, uint32_t len, uint32_t kind) {
    return value | len << 16 | kind << 24;
}
static inline uint32_t rt_value(uint32_t e) { return e & 0xffffu; }
static inline uint32_t rt_len(uint32_t e) { return (e >> 16) & 0xffu; }
static inline uint32_t rt_kind(uint32_t e) { return e >> 24; }

template <int F, int S, int N, size_t count>
static constexpr void rt_add(run_table<F, S, N> &t, const run_code (&codes)[count]) {
    for (size_t i = 0; i < count; i++) {
        const run_code &c = codes[i];
        uint32_t e = rt_entry(c.value, c.len, c.kind);
        if (c.len <= F) {
            uint32_t spread = 1u << (F - c.len);
            for (uint32_t j = 0; j < spread; j++) {
                uint32_t &slot = t.first[((uint32_t)c.bits << (F - c.len)) + j];
                if (slot != 0) t.conflicts++;
                slot = e;
            }
            continue;
        }
        uint32_t rest = (uint32_t)c.len - (uint32_t)F;
        if (rest > (uint32_t)S) {
            t.conflicts++;
            continue;
        }
        uint32_t &head = t.first[c.bits >> rest];
        if (head == 0) {
            if (t.used == N) {
                t.conflicts++;
                continue;
            }
            head = rt_entry((uint32_t)t.used++ << S, 0, rc_sub);
        } else if ((head >> 24) != rc_sub) {
            t.conflicts++;
            continue;
        }
        uint32_t base = head & 0xffffu, low = c.bits & ((1u << rest) - 1u), spread = 1u << (S - rest);
        for (uint32_t j = 0; j < spread; j++) {
            uint32_t &slot = t.second[base + (low << (S - rest)) + j];
            if (slot != 0) t.conflicts++;
            slot = e;
        }
    }
}

// White codes are 4 to 12 bits long, black ones 2 to 13; the first level holds the common ones.
typedef run_table<9, 3, 4> white_table_t;
typedef run_table<7, 6, 6> black_table_t;

static constexpr white_table_t build_white() {
    white_table_t t{};
    rt_add(t, white_codes);
    rt_add(t, shared_codes);
    return t;
}
static constexpr black_table_t build_black() {
    black_table_t t{};
    rt_add(t, black_codes);
    rt_add(t, shared_codes);
    return t;
}
static constexpr white_table_t white_table = build_white();
static constexpr black_table_t black_table = build_black();
static_assert(white_table.conflicts == 0, "white codes overlap or do not fit");
static_assert(black_table.conflicts == 0, "black codes overlap or do not fit");

// Two-dimensional mode codes (T.4 table 4): pass, horizontal, the seven vertical ones, and the
// extension 0000001xxx. All seven-bit patterns but 0000000 (an EOL or garbage) are codes.
enum : uint8_t { m_zeros = 0, m_pass, m_horiz, m_ext, m_v0, m_vr1, m_vr2, m_vr3, m_vl1, m_vl2, m_vl3 };
static const int32_t v_delta[16] = {0, 0, 0, 0, 0, 1, 2, 3, -1, -2, -3, 0, 0, 0, 0, 0};

struct mode_code {
    uint8_t bits, len, mode;
};
static constexpr mode_code mode_codes[] = {
    {0x01, 1, m_v0},  {0x03, 3, m_vr1}, {0x02, 3, m_vl1}, {0x01, 3, m_horiz}, {0x01, 4, m_pass},
    {0x03, 6, m_vr2}, {0x02, 6, m_vl2}, {0x03, 7, m_vr3}, {0x02, 7, m_vl3},   {0x01, 7, m_ext},
};

// Indexed by the next 7 bits: the mode (low 4 bits) and its code's length (high 4 bits).
struct mode_table_t {
    uint8_t e[128];
};
static constexpr mode_table_t build_modes() {
    mode_table_t t{};
    for (const mode_code &c : mode_codes)
        for (uint32_t j = 0; j < (1u << (7 - c.len)); j++) t.e[((uint32_t)c.bits << (7 - c.len)) + j] = (uint8_t)(c.len << 4 | c.mode);
    return t;
}
static constexpr mode_table_t mode_table = build_modes();

// A run of more than any row's width is cut here, so sums cannot overflow.
static const uint32_t run_cap = 1u << 24;
// Bits of the input at most (2^57 bytes), so bit counts cannot overflow.
static const uint64_t max_src_len = (uint64_t)1 << 57;

// ---- Bit reader ----

// The bits of src, most significant first. Past the data it reads zero bits (no code is all
// zeros, so decoding stops within a few codes); bits_used tells whether a row went past the end.
struct cc_bits {
    const uint8_t *src;
    uint64_t len;  // bytes of src
    uint64_t pos;  // next byte to load into buf; may pass len by the zero bytes loaded
    uint64_t buf;  // the next cnt bits, from the top; the bits below them are 0 or the same stream bits
    uint32_t cnt;  // 0..63
};

static inline uint64_t load_be64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Tops buf up to at least 56 bits.
static inline void bits_fill(cc_bits &b) {
    if (b.pos < b.len && b.len - b.pos >= 8) {
        // Eight bytes at once; the bytes only partly taken come again next time, bit for bit the same.
        b.buf |= load_be64(b.src + b.pos) >> b.cnt;
        b.pos += (63u - b.cnt) >> 3;
        b.cnt |= 56u;
        return;
    }
    while (b.cnt < 56) {  // at most 63 bits: a shift by 64 is undefined
        uint64_t v = b.pos < b.len ? b.src[b.pos] : 0;
        b.buf |= v << (56 - b.cnt);
        b.pos++;
        b.cnt += 8;
    }
}

static inline void bits_drop(cc_bits &b, uint32_t n) {  // n <= cnt, n < 64
    b.buf <<= n;
    b.cnt -= n;
}

static inline uint64_t bits_used(const cc_bits &b) { return b.pos * 8u - b.cnt; }

// To the next byte boundary: bits used is pos * 8 - cnt, so cnt mod 8 bits are left in the byte.
static inline void bits_align(cc_bits &b) { bits_drop(b, b.cnt & 7u); }

// One bit, or -1 past the data.
static int32_t bits_one(cc_bits &b, uint64_t total) {
    if (b.cnt < 1) bits_fill(b);
    if (bits_used(b) >= total) return -1;
    int32_t v = (int32_t)(b.buf >> 63);
    bits_drop(b, 1);
    return v;
}

// Looks for an EOL here: 11 or more zero bits (fill, then the EOL's own) and a 1. Returns 1 with the
// EOL consumed; 0 when a 1 comes after fewer zeros (*zeros = their count, nothing consumed); -1
// when only zeros are left (consumed).
static int32_t eol_ahead(cc_bits &b, uint64_t total, uint32_t *zeros) {
    uint64_t seen = 0;
    for (;;) {
        if (b.cnt < 56) bits_fill(b);
        if (bits_used(b) >= total) return -1;
        uint32_t z = b.buf ? (uint32_t)__builtin_clzll(b.buf) : 64u;
        if (z < b.cnt) {  // a 1 among the valid bits (a 1 is never padding)
            if (seen + z < 11) {
                *zeros = z;
                return 0;
            }
            bits_drop(b, z + 1);
            return 1;
        }
        seen += b.cnt;  // at least 56: whatever follows, this is no row's code
        bits_drop(b, b.cnt);
    }
}

// Consumes up to and including the next EOL. 0, or -1 when the data ends first.
static int32_t skip_to_eol(cc_bits &b, uint64_t total) {
    for (;;) {
        uint32_t z = 0;
        int32_t r = eol_ahead(b, total, &z);
        if (r != 0) return r > 0 ? 0 : -1;
        bits_drop(b, z + 1);  // z < 11 <= cnt after eol_ahead's fill
    }
}

// ---- Rows ----

struct cc_state {
    cc_bits bits;
    uint64_t total;     // bits in src
    int32_t k, columns, align, eol, eob, black1, max_damaged;
    uint64_t row_bytes;
    uint64_t row_limit;  // rows to decode at most
    // Changing elements of the reference row and the row being decoded, each followed by at least
    // three copies of columns as sentinels, so b1 and b2 can be looked up without a bound check.
    int32_t *ref, *cur;
    int32_t nref, ncur;
    uint8_t *out;        // row_cap rows
    uint64_t row_cap;
    int32_t no_eol_rows;  // K > 0 rows that had no EOL before them
    // Signs of misread data that are tolerated: changes placed past the row's end (cut there), and
    // K > 0 rows read as two-dimensional where a one-dimensional row was due (the first row, or
    // after K - 1 two-dimensional ones). They decide between the two readings of K > 0 data.
    int64_t anomalies;
    int32_t no_memory;
};

enum : int32_t { row_ok = 0, row_damaged = -1 };

// Records a colour change at x (the next changing element is never to the left of the last one).
// A change where the last one was undoes it (a zero-length run); changes at the row's end or past
// it are not kept (the row ends there).
static inline void push_change(int32_t *ch, int32_t &n, int32_t x, int32_t columns) {
    if (x >= columns) return;
    if (n > 0 && ch[n - 1] == x)
        n--;
    else
        ch[n++] = x;
}

static inline void end_changes(int32_t *ch, int32_t n, int32_t columns) {
    ch[n] = ch[n + 1] = ch[n + 2] = ch[n + 3] = columns;
}

// b1: the first changing element of the reference row right of a0 whose colour is the opposite of
// a0's (colour 0: white, so an element at an even index). Every element before index bi - 1 is at
// or left of the a0 that found bi, and a0 never moves left, so the search starts there.
static inline uint32_t find_b1(const int32_t *ref, uint32_t bi, int32_t a0, uint32_t colour) {
    uint32_t j = bi > 0 ? bi - 1 : 0;
    j += (j ^ colour) & 1u;
    while (ref[j] <= a0) j += 2;  // stops at a sentinel: a0 < columns
    return j;
}

// One run of a colour: makeup codes, then a terminating code. Returns the length, or -1 when the
// next code is no run code of that colour (not consumed; *kind says what it is).
template <int F, int S, int N>
static inline int32_t read_run(cc_bits &b, const run_table<F, S, N> &t, uint32_t *kind) {
    uint32_t run = 0;
    for (;;) {
        if (b.cnt < 13) bits_fill(b);
        uint32_t e = t.first[b.buf >> (64 - F)];
        if (rt_kind(e) == rc_sub) e = t.second[rt_value(e) + (uint32_t)((b.buf << F) >> (64 - S))];
        uint32_t kd = rt_kind(e);
        if (kd != rc_term && kd != rc_makeup) {
            *kind = kd;
            return -1;
        }
        bits_drop(b, rt_len(e));
        run += rt_value(e);
        if (kd == rc_term) return (int32_t)run;
        if (run > run_cap) run = run_cap;
    }
}

static inline int32_t read_run_colour(cc_bits &b, uint32_t colour, uint32_t *kind) {
    return colour ? read_run(b, black_table, kind) : read_run(b, white_table, kind);
}

// Uncompressed mode from x (T.4 4.4, T.6 2.2.6): "1", "01" .. "00001" are that many white pixels
// and a black one, "000001" five white pixels; 6 to 10 zeros and a 1 leave the mode after 0 to 4
// white pixels, the bit after them giving the colour of the next run. Returns the position after
// the exit with that colour set, or -1 on a longer run of zeros or the data's end.
static int32_t read_uncompressed(cc_bits &b, uint64_t total, int32_t *ch, int32_t &n, int32_t x,
                                 int32_t columns) {
    for (;;) {
        if (b.cnt < 12) bits_fill(b);
        if (bits_used(b) >= total) return -1;
        uint32_t z = b.buf ? (uint32_t)__builtin_clzll(b.buf) : 64u;
        if (z > 10) return -1;
        uint32_t whites = z <= 5 ? z : z - 6;
        if ((n & 1) && whites > 0) push_change(ch, n, x, columns);
        x += (int32_t)whites;
        if (x > columns) x = columns;
        if (z == 5) {
            bits_drop(b, 6);
            continue;
        }
        bits_drop(b, z + 1);
        if (z < 5) {  // a black pixel
            if (!(n & 1)) push_change(ch, n, x, columns);
            if (x < columns) x++;
            continue;
        }
        int32_t tag = bits_one(b, total);
        if (tag < 0) return -1;
        if ((uint32_t)tag != ((uint32_t)n & 1u)) push_change(ch, n, x, columns);
        return x;
    }
}

// A one-dimensional row (T.4 4.1) into st->cur.
static int32_t decode_1d_row(cc_state *st, cc_bits &b) {
    int32_t *cur = st->cur, n = 0, x = 0;
    const int32_t columns = st->columns;
    while (x < columns) {
        uint32_t kind = rc_invalid;
        int32_t run = read_run_colour(b, (uint32_t)n & 1u, &kind);
        if (run < 0) {
            if (kind != rc_uncomp) return row_damaged;
            bits_drop(b, 12);
            x = read_uncompressed(b, st->total, cur, n, x, columns);
            if (x < 0) return row_damaged;
            continue;
        }
        int64_t end = (int64_t)x + run;
        if (end > columns) {
            st->anomalies++;
            end = columns;
        }
        x = (int32_t)end;
        push_change(cur, n, x, columns);
    }
    st->ncur = n;
    end_changes(cur, n, columns);
    return row_ok;
}

// A two-dimensional row (T.4 4.2, T.6 2.2) against st->ref into st->cur. a0 starts on an imaginary
// white element left of the row (-1); a0's colour is the parity of the changes recorded so far.
static int32_t decode_2d_row(cc_state *st, cc_bits &b) {
    const int32_t *ref = st->ref;
    int32_t *cur = st->cur, n = 0, a0 = -1;
    const int32_t columns = st->columns;
    uint32_t bi = 0;  // index of b1 in ref; nothing is left of -1
    while (a0 < columns) {
        if (b.cnt < 32) bits_fill(b);
        uint32_t e = mode_table.e[b.buf >> 57];
        uint32_t mode = e & 15u;
        bits_drop(b, e >> 4);
        if (mode >= m_v0) {
            int32_t a1 = ref[bi] + v_delta[mode];
            if (a1 < 0 || a1 < a0) return row_damaged;
            if (a1 > columns) {
                st->anomalies++;
                a1 = columns;
            }
            push_change(cur, n, a1, columns);
            a0 = a1;
        } else if (mode == m_horiz) {
            uint32_t colour = (uint32_t)n & 1u, kind = 0;
            int32_t r1 = read_run_colour(b, colour, &kind);
            if (r1 < 0) return row_damaged;
            int32_t r2 = read_run_colour(b, colour ^ 1u, &kind);
            if (r2 < 0) return row_damaged;
            int64_t a1 = (int64_t)(a0 < 0 ? 0 : a0) + r1, a2 = a1 + r2;
            if (a2 > columns) {
                st->anomalies++;
                a2 = columns;
                if (a1 > columns) a1 = columns;
            }
            push_change(cur, n, (int32_t)a1, columns);
            push_change(cur, n, (int32_t)a2, columns);
            a0 = (int32_t)a2;
        } else if (mode == m_pass) {
            a0 = ref[bi + 1];  // b2; a0 keeps its colour
        } else if (mode == m_ext) {
            if (b.cnt < 3) bits_fill(b);
            if ((b.buf >> 61) != 7u) return row_damaged;  // only 111, uncompressed mode, is defined
            bits_drop(b, 3);
            a0 = read_uncompressed(b, st->total, cur, n, a0 < 0 ? 0 : a0, columns);
            if (a0 < 0) return row_damaged;
        } else {
            return row_damaged;  // 0000000: an EOL inside the row, or no code
        }
        if (a0 < columns) bi = find_b1(ref, bi, a0, (uint32_t)n & 1u);
    }
    st->ncur = n;
    end_changes(cur, n, columns);
    return row_ok;
}

// Sets or clears bits [x0, x1) of a row.
template <bool set>
static inline void fill_span(uint8_t *row, uint32_t x0, uint32_t x1) {
    uint32_t first = x0 >> 3, last = (x1 - 1) >> 3;
    uint8_t head = (uint8_t)(0xffu >> (x0 & 7u)), tail = (uint8_t)(0xff00u >> (((x1 - 1) & 7u) + 1));
    if (first == last) {
        head &= tail;
        if (set) row[first] |= head; else row[first] &= (uint8_t)~head;
        return;
    }
    if (set) row[first] |= head; else row[first] &= (uint8_t)~head;
    uint32_t mid = last - first - 1;
    if (mid > 0) memset(row + first + 1, set ? 0xff : 0, mid);
    if (set) row[last] |= tail; else row[last] &= (uint8_t)~tail;
}

// Writes a row from its changing elements: black between ch[2i] and ch[2i + 1] (to the end when the
// count is odd). black_is_1 sets black bits; otherwise the row starts white (1s) and black is cleared.
template <bool black1>
static void write_row(uint8_t *row, const int32_t *ch, int32_t n, int32_t columns, uint64_t row_bytes) {
    memset(row, black1 ? 0 : 0xff, row_bytes);
    for (int32_t i = 0; i < n; i += 2) {
        uint32_t x0 = (uint32_t)ch[i], x1 = i + 1 < n ? (uint32_t)ch[i + 1] : (uint32_t)columns;
        fill_span<black1>(row, x0, x1);
    }
    if (!black1 && (columns & 7)) row[row_bytes - 1] &= (uint8_t)(0xff00u >> (columns & 7));
}

// The place of row r in the output, grown by doubling; null when out of memory.
static uint8_t *row_slot(cc_state *st, uint64_t r) {
    if (r < st->row_cap) return st->out + r * st->row_bytes;
    uint64_t cap = st->row_cap * 2u;
    if (cap < 64u) cap = 64u;
    if (cap > st->row_limit) cap = st->row_limit;
    void *t = realloc(st->out, cap * st->row_bytes);  // row_limit x row_bytes <= ccitt_max_output
    if (!t) {
        st->no_memory = 1;
        return nullptr;
    }
    st->out = (uint8_t *)t;
    st->row_cap = cap;
    return st->out + r * st->row_bytes;
}

static int32_t emit_row(cc_state *st, uint64_t r, const int32_t *ch, int32_t n) {
    uint8_t *row = row_slot(st, r);
    if (!row) return -1;
    if (st->black1)
        write_row<true>(row, ch, n, st->columns, st->row_bytes);
    else
        write_row<false>(row, ch, n, st->columns, st->row_bytes);
    return 0;
}

// What comes before a Group 3 row: fill and EOLs, each followed by a tag bit when K > 0. A
// byte-aligned row start has two readings: eol_first looks for an EOL from where the last row ended
// (fill then an EOL ending on a byte boundary, as TIFF and Ghostscript write with EndOfLine), else
// the start is aligned first (rows and an RTC starting on a byte boundary). Returns the number of
// EOLs (after_eol: one already consumed by the damage recovery), or -1 when the data ends; *tag is
// the last tag bit (-1: none read).
static int32_t g3_row_start(cc_state *st, cc_bits &b, int32_t after_eol, int32_t eol_first, int32_t *tag) {
    int32_t eols = 0;
    *tag = -1;
    if (after_eol) {
        eols = 1;
        if (st->k > 0 && (*tag = bits_one(b, st->total)) < 0) return -1;
    } else if (st->align && !eol_first) {
        bits_align(b);
    }
    for (;;) {
        uint32_t zeros = 0;
        int32_t r = eol_ahead(b, st->total, &zeros);
        if (r < 0) return -1;
        if (r == 0) break;
        eols++;
        if (st->k > 0 && (*tag = bits_one(b, st->total)) < 0) return -1;
        if (eols >= 6) break;  // RTC
    }
    if (eols == 0 && st->align) bits_align(b);
    return eols;
}

enum : int32_t { row_end = 1 };  // with row_ok and row_damaged: the data's end or an RTC

// One Group 3 row, what comes before it included (see g3_row_start), into st->cur. since_1d: the
// two-dimensional rows since the last one-dimensional one (-1: none yet), updated.
static int32_t g3_row(cc_state *st, cc_bits &b, int32_t after_eol, int32_t eol_first, int32_t periodic,
                      int64_t *since_1d, int32_t *eols_out) {
    int32_t tag = -1;
    int32_t eols = g3_row_start(st, b, after_eol, eol_first, &tag);
    *eols_out = eols;
    if (eols < 0 || eols >= 6) return row_end;
    int32_t one_d = 1;
    if (st->k > 0) {
        if (eols == 0) {
            st->no_eol_rows++;
            if (!periodic && (tag = bits_one(b, st->total)) < 0) return row_end;
        }
        int32_t due = *since_1d < 0 || *since_1d + 1 >= st->k;
        one_d = tag >= 0 ? tag : due;
        if (due && !one_d) st->anomalies++;
    }
    *since_1d = one_d ? 0 : *since_1d + 1;
    return one_d ? decode_1d_row(st, b) : decode_2d_row(st, b);
}

// After the last row wanted: the EOFB or RTC that may follow, consumed so that the bytes used
// include it. Nothing else is consumed but fill.
static void read_block_end(cc_state *st, cc_bits &b) {
    uint32_t zeros = 0;
    if (st->k >= 0) {
        int32_t tag = -1;
        g3_row_start(st, b, 0, !st->align || st->eol, &tag);
        return;
    }
    if (st->align) bits_align(b);
    if (eol_ahead(b, st->total, &zeros) > 0) eol_ahead(b, st->total, &zeros);
}

// One decoding pass from the start of src. periodic: K > 0 rows with no EOL before them have no tag
// bit, one-dimensional after every K - 1 two-dimensional ones. Returns the rows decoded (-1: no
// memory); *clean = 1 when it ended without damage.
static int64_t decode_pass(cc_state *st, int32_t periodic, int32_t *clean) {
    cc_bits b = st->bits;
    b.pos = 0;
    b.buf = 0;
    b.cnt = 0;
    uint64_t rows = 0;
    int32_t damaged = 0, prev_damaged = 0, after_eol = 0;
    int64_t since_1d = -1;
    // Whether the rows have EOLs before them (-1: not known yet). The first row starts on a byte
    // boundary, where both readings of a row start agree, so it tells; until then EndOfLine does.
    int32_t eol_rows = -1;
    *clean = 0;
    st->anomalies = 0;
    st->nref = 0;
    end_changes(st->ref, 0, st->columns);
    st->no_eol_rows = 0;
    for (;; rows++) {
        if (rows == st->row_limit) {
            if (st->eob) read_block_end(st, b);
            *clean = 1;
            break;
        }
        uint64_t start = bits_used(b);
        int32_t status;
        if (st->k < 0) {
            if (st->align) bits_align(b);
            uint32_t zeros = 0;
            int32_t r = eol_ahead(b, st->total, &zeros);
            if (r != 0) {  // EOFB, or only zeros left
                if (r > 0) eol_ahead(b, st->total, &zeros);
                *clean = 1;
                break;
            }
            status = decode_2d_row(st, b);
        } else {
            cc_bits before = b;
            int64_t since_before = since_1d;
            int32_t eol_first = eol_rows >= 0 ? eol_rows : !st->align || st->eol, eols = 0;
            status = g3_row(st, b, after_eol, eol_first, periodic, &since_1d, &eols);
            if (status == row_damaged && st->align && !after_eol) {
                // Perhaps the other reading of the aligned row start; if it fails too, the first
                // attempt's damage stands.
                cc_bits first = b;
                int64_t since_first = since_1d;
                b = before;
                since_1d = since_before;
                status = g3_row(st, b, 0, !eol_first, periodic, &since_1d, &eols);
                if (status == row_damaged) {
                    b = first;
                    since_1d = since_first;
                }
            }
            if (status == row_ok && eol_rows < 0 && !after_eol) eol_rows = eols > 0;
            after_eol = 0;
            if (status == row_end) {
                *clean = 1;
                break;
            }
        }
        if (status == row_ok && bits_used(b) > st->total) status = row_damaged;  // ran off the end
        if (status == row_ok) {
            if (emit_row(st, rows, st->cur, st->ncur) < 0) break;
            int32_t *t = st->ref;
            st->ref = st->cur;
            st->cur = t;
            st->nref = st->ncur;
            prev_damaged = 0;
            continue;
        }
        // Damaged: resume at the next EOL if allowed, with the row before (or white) in its place.
        if (st->k < 0 || !st->eol || damaged >= st->max_damaged) break;
        if (skip_to_eol(b, st->total) < 0 || bits_used(b) <= start) break;
        damaged++;
        after_eol = 1;
        if (prev_damaged || rows == 0) {
            st->nref = 0;
            end_changes(st->ref, 0, st->columns);
        }
        if (emit_row(st, rows, st->ref, st->nref) < 0) break;
        prev_damaged = 1;
    }
    st->bits = b;
    return st->no_memory ? -1 : (int64_t)rows;
}

void ccitt_params_default(ccitt_params *p) {
    memset(p, 0, sizeof *p);
    p->columns = 1728;
    p->end_of_block = 1;
}

int32_t ccitt_decode(const uint8_t *src, uint64_t src_len, const ccitt_params *p, uint8_t **dst,
                     uint64_t *dst_len, uint64_t *src_used) {
    if (!p || !dst || !dst_len || (!src && src_len > 0)) return -1;
    if (p->columns < 1 || p->columns > ccitt_max_columns || p->rows < 0 || p->damaged_rows_before_error < 0)
        return -1;
    if (src_len > max_src_len) src_len = max_src_len;

    cc_state st;
    memset(&st, 0, sizeof st);
    st.bits.src = src;
    st.bits.len = src_len;
    st.total = src_len * 8u;
    st.k = p->k;
    st.columns = p->columns;
    st.align = p->encoded_byte_align != 0;
    st.eol = p->end_of_line != 0;
    st.eob = p->end_of_block != 0;
    st.black1 = p->black_is_1 != 0;
    st.max_damaged = p->damaged_rows_before_error;
    st.row_bytes = ((uint64_t)p->columns + 7u) / 8u;
    // Every row takes at least one bit.
    st.row_limit = ccitt_max_output / st.row_bytes;
    if (st.row_limit > st.total) st.row_limit = st.total;
    if (p->rows > 0 && (uint64_t)p->rows < st.row_limit) st.row_limit = (uint64_t)p->rows;

    int64_t rows = -1;
    size_t elems = (size_t)p->columns + 8u;  // at most columns changes, then the sentinels
    st.ref = (int32_t *)malloc(elems * sizeof(int32_t));
    st.cur = (int32_t *)malloc(elems * sizeof(int32_t));
    if (st.ref && st.cur) {
        int32_t clean = 0;
        rows = decode_pass(&st, 0, &clean);
        if (rows >= 0 && st.k > 0 && st.no_eol_rows > 0 && (!clean || st.anomalies > 0)) {
            // Perhaps written without tag bits: decode that way too and keep the better result (a
            // clean end, then fewer anomalies, then more rows), decoding the first way again when
            // it wins, as the output holds the other now.
            int32_t clean2 = 0;
            int64_t anomalies = st.anomalies;
            int64_t other = decode_pass(&st, 1, &clean2);
            int better = clean2 != clean ? clean2 > clean
                         : st.anomalies != anomalies ? st.anomalies < anomalies : other > rows;
            if (other >= 0 && !better) other = decode_pass(&st, 0, &clean);
            rows = other;
        }
    }
    free(st.ref);
    free(st.cur);
    if (rows >= 0 && !st.out) {  // no row: still a buffer, as promised
        st.out = (uint8_t *)malloc(1);
        if (!st.out) rows = -1;
    } else if (rows > 0 && (uint64_t)rows < st.row_cap) {
        void *t = realloc(st.out, (uint64_t)rows * st.row_bytes);  // shrinking; the old block stays if it fails
        if (t) st.out = (uint8_t *)t;
    }
    if (rows < 0) {
        free(st.out);
        return -1;
    }
    *dst = st.out;
    *dst_len = (uint64_t)rows * st.row_bytes;
    if (src_used) {
        uint64_t used = (bits_used(st.bits) + 7u) / 8u;
        *src_used = used < src_len ? used : src_len;
    }
    return (int32_t)rows;
}
