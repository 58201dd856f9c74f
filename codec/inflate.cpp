// codec/inflate.cpp - the inflate core (RFC 1951) behind the zlib stream decoder and the raw
// stream inflater, and the PNG row unfilter.
//
// Huffman codes are decoded through a first-level lookup table indexed by the next few input
// bits, whose entry gives the literal, or the base of a length or distance with the count of its
// extra bits; a code longer than the table, an unassigned one, or one whose bits are not all in
// the input yet, is decoded one bit at a time against the canonical code counts, which gives the
// same symbol or the same failure. No allocation; all state is the call's own. Running out of
// input sets the sticky `failed` flag of the call's state; every loop that reads input tests it,
// so the call ends with -1 wherever the input ran out.
#include "codec/inflate.h"

#include "codec/deflate_tables.h"

#include <cstring>

static const int max_bits = 15;        // longest code, RFC 1951 3.2.1
static const int max_lcodes = 286;     // literal/length codes in a dynamic block
static const int max_dcodes = 30;      // distance codes
static const int fix_lcodes = 288;     // literal/length symbols of the fixed code
static const int cl_codes = 19;        // code-length code symbols
static const uint64_t max_out = 1ull << 30;          // the zlib decoder's largest dst_cap
static const uint64_t max_raw_out = 0x7FFFFFFFu;     // the stream inflater's count is an int32_t
static const int lit_fast_bits = 10;   // lookup index width for literal/length codes
static const int dist_fast_bits = 10;  // for distance codes
static const int cl_fast_bits = 7;     // for the code-length code: its codes are at most 7 bits

// One lookup entry, 32 bits, for the code whose bits (bit-reversed, as codes arrive most
// significant bit first) are the low bits of the index:
//   bits 0..5    input bits the symbol takes: its code and the extra bits of a length or distance
//                (at most 15 + 13); 0: no code of at most the index width starts here, or its
//                symbol is one no block may use, and decode_slow decides
//   bit 6        a literal, its byte the value (in the code-length code: every symbol)
//   bit 7        the end-of-block code
//   bits 8..11   the code's length: the extra bits follow it
//   bits 16..31  the value: literal byte, symbol, or the base of a length or distance
// Taking all of a symbol's bits in one shift, and the extra bits from the bits before it, keeps
// one shift between one lookup and the next; as the count is the entry's low six bits, a 64-bit
// shift by the entry needs no masking on processors whose shifts count modulo 64.
typedef uint32_t fast_entry;
static const uint32_t fe_literal = 1u << 6;
static const uint32_t fe_end = 1u << 7;
static const int max_entry_bits = max_bits + 13;

static constexpr uint32_t fe_bits(fast_entry e) { return e & 63u; }
static constexpr uint32_t fe_code_bits(fast_entry e) { return (e >> 8) & 15u; }
static constexpr uint32_t fe_value(fast_entry e) { return e >> 16; }
static constexpr fast_entry fe_make(uint32_t value, uint32_t code_bits, uint32_t flags, uint32_t nbits) {
    return value << 16 | code_bits << 8 | flags | nbits;
}
// The value of a length or distance entry: its base plus the extra bits among the entry's bits,
// from `taken`, the bit buffer as it was before they were taken.
static inline uint64_t fe_extra_value(fast_entry e, uint64_t taken) {
    return fe_value(e) + ((taken & ((1ull << fe_bits(e)) - 1u)) >> fe_code_bits(e));
}

// What a table's symbols mean.
enum code_kind { code_lengths, code_litlen, code_dist };

// A canonical code: how many codes of each length (entry 0: symbols without a code), the
// symbols that have a code, ordered by length and, within one length, by value, and the lookup
// table of the codes of at most fast_bits bits.
struct huffman_table {
    const int16_t *length_counts;
    const int16_t *sorted_symbols;
    const fast_entry *fast;
    int fast_bits;
    code_kind kind;
};

// Where the two entries differ, on purpose: the zlib decoder reads what damaged PDF streams hold
// as far as the data allows, the stream inflater (PNG data) takes only well-formed streams.
struct inflate_rules {
    int check_nlen;    // 1: a stored block's NLEN must be LEN's complement
    int strict_codes;  // 1: the code-length code complete, the literal/length and distance codes
                       // complete but for a single one-bit code, and an end-of-block code present;
                       // 0: only over-subscribed codes are refused
};

static const inflate_rules zlib_rules = {0, 1};
static const inflate_rules raw_rules = {1, 0};

struct inflate_state {
    const inflate_rules *rules;
    uint8_t *out_buf;
    uint64_t out_cap;
    uint64_t out_pos;       // also the farthest a back-reference may reach
    const uint8_t *in_buf;  // the DEFLATE data (after the 2-byte header of a zlib stream)
    uint64_t in_len;
    uint64_t in_pos;
    uint64_t bit_buf;       // pending input bits, the next one in bit 0; zero above bit_count
    int bit_count;          // 0..63; whole bytes among them are returned before a stored block
    int failed;             // sticky: input ran out
    qv_outbuf *grow;        // null: out_buf is fixed; else the growable output out_buf lies in
};

// Builds a table from n code lengths. 0: complete code, or no codes at all (every decode fails);
// >0: incomplete (codes left free at length 15); <0: over-subscribed.
static constexpr int construct(int16_t *length_counts, int16_t *sorted_symbols,
                               const int16_t *lengths, int n) {
    for (int len = 0; len <= max_bits; len++) length_counts[len] = 0;
    for (int sym = 0; sym < n; sym++) length_counts[lengths[sym]]++;
    if (length_counts[0] == n) return 0;
    int left = 1;
    for (int len = 1; len <= max_bits; len++) {
        left = 2 * left - length_counts[len];
        if (left < 0) return left;
    }
    int16_t offs[max_bits + 1] = {};
    for (int len = 1; len < max_bits; len++) offs[len + 1] = (int16_t)(offs[len] + length_counts[len]);
    for (int sym = 0; sym < n; sym++)
        if (lengths[sym] != 0) sorted_symbols[offs[lengths[sym]]++] = (int16_t)sym;
    return left;
}

// The entry of symbol sym of a table of kind, as if its code had no bits (decoded elsewhere): its
// bits are the extra bits. 0 for a literal/length symbol no block may use (286, 287).
static constexpr fast_entry symbol_entry(code_kind kind, int sym) {
    if (kind == code_lengths) return fe_make((uint32_t)sym, 0, fe_literal, 0);
    if (kind == code_dist)
        return fe_make((uint32_t)deflate_dist_base[sym], 0, 0, (uint32_t)deflate_dist_extra[sym]);
    if (sym < 256) return fe_make((uint32_t)sym, 0, fe_literal, 0);
    if (sym == 256) return fe_make(0, 0, fe_end, 0);
    if (sym >= 257 + 29) return 0;
    return fe_make((uint32_t)deflate_len_base[sym - 257], 0, 0, (uint32_t)deflate_len_extra[sym - 257]);
}

// Fills the lookup table of fast_bits index bits from a table made by construct. Codes are
// handed out in sorted_symbols order (RFC 1951 3.2.2), consecutive within one length.
static constexpr void fill_fast(fast_entry *fast, int fast_bits, code_kind kind,
                                const int16_t *length_counts, const int16_t *sorted_symbols) {
    uint32_t size = 1u << fast_bits;
    for (uint32_t i = 0; i < size; i++) fast[i] = 0;
    uint32_t code = 0;
    int index = 0;
    for (int len = 1; len <= fast_bits && len <= max_bits; len++) {
        for (int k = 0; k < length_counts[len]; k++, code++, index++) {
            fast_entry e = symbol_entry(kind, sorted_symbols[index]);
            if (e == 0) continue;
            uint32_t rev = 0;
            for (int b = 0; b < len; b++) rev |= ((code >> b) & 1u) << (len - 1 - b);
            e += fe_make(0, (uint32_t)len, 0, (uint32_t)len);
            for (uint32_t i = rev; i < size; i += 1u << len) fast[i] = e;
        }
        code <<= 1;
    }
}

// The fixed code of RFC 1951 3.2.6, built at compile time so no call ever writes it.
struct fixed_tables {
    int16_t lencnt[max_bits + 1];
    int16_t lensym[fix_lcodes];
    int16_t distcnt[max_bits + 1];
    int16_t distsym[max_dcodes];
    fast_entry lenfast[1 << lit_fast_bits];
    fast_entry distfast[1 << dist_fast_bits];
};

static constexpr fixed_tables build_fixed() {
    fixed_tables t = {};
    int16_t lengths[fix_lcodes] = {};
    int sym = 0;
    for (; sym < 144; sym++) lengths[sym] = 8;
    for (; sym < 256; sym++) lengths[sym] = 9;
    for (; sym < 280; sym++) lengths[sym] = 7;
    for (; sym < fix_lcodes; sym++) lengths[sym] = 8;
    construct(t.lencnt, t.lensym, lengths, fix_lcodes);
    for (sym = 0; sym < max_dcodes; sym++) lengths[sym] = 5;
    construct(t.distcnt, t.distsym, lengths, max_dcodes);
    fill_fast(t.lenfast, lit_fast_bits, code_litlen, t.lencnt, t.lensym);
    fill_fast(t.distfast, dist_fast_bits, code_dist, t.distcnt, t.distsym);
    return t;
}

static constexpr fixed_tables s_fixed = build_fixed();

// Loads whole bytes while at least 8 bits of room are left in bit_buf.
static inline void refill(inflate_state *s) {
    while (s->bit_count <= 56 && s->in_pos < s->in_len) {
        s->bit_buf |= (uint64_t)s->in_buf[s->in_pos++] << s->bit_count;
        s->bit_count += 8;
    }
}

// The next n bits (n <= 13), the first bit read in bit 0. Out of input: sets failed and
// returns 0.
static inline int bits(inflate_state *s, int n) {
    if (s->bit_count < n) {
        refill(s);
        if (s->bit_count < n) {
            s->failed = 1;
            return 0;
        }
    }
    int val = (int)(s->bit_buf & ((1u << n) - 1u));
    s->bit_buf >>= n;
    s->bit_count -= n;
    return val;
}

// Canonical decoding one bit at a time: the next symbol of h, or -10 when no code of up to
// 15 bits matches or the input ran out (failed set). Codes are stored most significant bit
// first, so each bit is appended at the low end.
static int decode_slow(inflate_state *s, const huffman_table *h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= max_bits; len++) {
        code |= bits(s, 1);
        if (s->failed) return -10;
        int count = h->length_counts[len];
        if (code - count < first) return h->sorted_symbols[index + (code - first)];
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return -10;
}

// The next symbol of h with its extra bits, all its bits taken: an entry whose value is the
// literal, symbol, length or distance itself (code bits and bit count 0), or 0 when there is no
// usable symbol or the input ran out. The lookup is taken only when the symbol's bits lie whole
// within the bits already loaded (bits above bit_count read as 0 in the index); a code is a
// prefix of no other, so decode_slow would have found the same symbol.
static inline fast_entry decode(inflate_state *s, const huffman_table *h) {
    if (s->bit_count < max_entry_bits) refill(s);
    fast_entry e = h->fast[s->bit_buf & ((1u << h->fast_bits) - 1u)];
    uint32_t n = fe_bits(e);
    uint64_t value;
    if (n != 0 && n <= (uint32_t)s->bit_count) {
        value = fe_extra_value(e, s->bit_buf);
        s->bit_buf >>= n;
        s->bit_count -= (int)n;
    } else {
        int sym = decode_slow(s, h);
        if (sym < 0) return 0;
        e = symbol_entry(h->kind, sym);
        if (e == 0) return 0;
        value = fe_value(e) + (uint64_t)bits(s, (int)fe_bits(e));
        if (s->failed) return 0;
    }
    return fe_make((uint32_t)value, 0, e & (fe_literal | fe_end), 0);
}

// codes_fast keeps the bit state in locals; these move it to and from s, and consume n bits.
#define QV_STORE()               \
    do {                         \
        s->in_pos = in_pos;      \
        s->out_pos = out_pos;    \
        s->bit_buf = bit_buf;    \
        s->bit_count = bit_count; \
    } while (0)
#define QV_LOAD()                \
    do {                         \
        in_pos = s->in_pos;      \
        bit_buf = s->bit_buf;    \
        bit_count = s->bit_count; \
    } while (0)
#define QV_TAKE(n)                    \
    do {                              \
        bit_buf >>= (n);              \
        bit_count -= (int)(n);        \
    } while (0)

// The symbol loop while at least 8 input bytes and 258 bytes of output room are left, with the
// state in locals: every refill tops the bit buffer up to 56 bits or more by one 8-byte load, which
// covers a whole length/distance pair (at most 15 + 5 + 15 + 13 bits), so input cannot run out
// and output cannot overflow inside one step. Bits above bit_count hold the input bytes that
// follow, exactly as a later refill would put them there (so a refill that ORs them in again
// changes nothing, and a lookup may read them). Codes longer than the lookup go through
// decode_slow. 0, -10, -11 as codes; 2 when the loop has left the region where it may run, with
// the state stored back (bits above bit_count cleared) for the careful loop.
static int codes_fast(inflate_state *s, const huffman_table *lencode, const huffman_table *distcode) {
    const uint8_t *in = s->in_buf;
    const uint64_t in_len = s->in_len;
    uint8_t *out = s->out_buf;
    const uint64_t out_cap = s->out_cap;
    const fast_entry *lfast = lencode->fast, *dfast = distcode->fast;
    const uint64_t lmask = (1u << lit_fast_bits) - 1u, dmask = (1u << dist_fast_bits) - 1u;  // the widths every table has
    uint64_t in_pos = s->in_pos, out_pos = s->out_pos, bit_buf = s->bit_buf;
    int bit_count = s->bit_count;
    int result = 2;
    // From the second step on, the next literal/length entry is looked up before the refill: a
    // step uses at most 48 of the 64 bits its refill loaded, so at least 16 true input bits, more
    // than a lookup index, lie at the bottom of bit_buf (decode_slow reads within them too).
    fast_entry e = 0;
    int ready = 0;
    while (in_len - in_pos >= 8 && out_cap - out_pos >= 258) {
        uint64_t word;
        memcpy(&word, in + in_pos, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        bit_buf |= word << bit_count;
        in_pos += (uint64_t)((63 - bit_count) >> 3);
        bit_count |= 56;
        if (!ready) e = lfast[bit_buf & lmask];
        ready = 1;

        if (e & fe_literal) {  // up to three literals on one refill: 30 bits at most
            uint8_t lit = (uint8_t)fe_value(e);
            QV_TAKE(fe_bits(e));
            e = lfast[bit_buf & lmask];
            out[out_pos++] = lit;
            if (!(e & fe_literal)) continue;
            lit = (uint8_t)fe_value(e);
            QV_TAKE(fe_bits(e));
            e = lfast[bit_buf & lmask];
            out[out_pos++] = lit;
            if (!(e & fe_literal)) continue;
            lit = (uint8_t)fe_value(e);
            QV_TAKE(fe_bits(e));
            e = lfast[bit_buf & lmask];
            out[out_pos++] = lit;
            continue;
        }
        if (fe_bits(e) == 0) {
            QV_STORE();
            int sym = decode_slow(s, lencode);
            QV_LOAD();
            if (sym < 0) {
                result = sym;
                break;
            }
            e = symbol_entry(code_litlen, sym);  // its bits: the extra bits alone
            if (e == 0) {
                result = -10;
                break;
            }
            if (e & fe_literal) {
                out[out_pos++] = (uint8_t)sym;
                ready = 0;
                continue;
            }
        }
        uint64_t taken = bit_buf;
        QV_TAKE(fe_bits(e));
        if (e & fe_end) {
            result = 0;
            break;
        }
        uint64_t len = fe_extra_value(e, taken);
        e = dfast[bit_buf & dmask];
        if (fe_bits(e) == 0) {
            QV_STORE();
            int dsym = decode_slow(s, distcode);
            QV_LOAD();
            if (dsym < 0) {
                result = dsym;
                break;
            }
            e = symbol_entry(code_dist, dsym);  // a table holds at most 30 distance symbols
        }
        taken = bit_buf;
        QV_TAKE(fe_bits(e));
        uint64_t dist = fe_extra_value(e, taken);
        e = lfast[bit_buf & lmask];
        if (dist > out_pos) {
            result = -11;
            break;
        }
        uint8_t *to = out + out_pos;
        out_pos += len;
        deflate_copy_match(to, dist, len);
    }
    if (bit_count < 64) bit_buf &= ((uint64_t)1 << bit_count) - 1u;
    QV_STORE();
#undef QV_STORE
#undef QV_LOAD
#undef QV_TAKE
    return result;
}

// Room for n more output bytes: a growable output grows (up to its max). The room there is
// afterwards, less than n when the output is full.
static uint64_t out_room(inflate_state *s, uint64_t n) {
    uint64_t room = s->out_cap - s->out_pos;
    if (room >= n || !s->grow) return room;
    s->grow->len = s->out_pos;
    room = outbuf_reserve(s->grow, n);
    s->out_buf = s->grow->data;
    s->out_cap = s->grow->cap;
    return room;
}

// One symbol of a block, decoded with every check. 0: end of block; 1: output full (a growable
// output holds as much of a last match as fits); 2: a literal or match written; -10: invalid
// symbol or input ran out; -11: distance before the first byte.
static int codes_step(inflate_state *s, const huffman_table *lencode, const huffman_table *distcode) {
    fast_entry e = decode(s, lencode);
    if (e == 0) return -10;
    if (e & fe_literal) {
        if (out_room(s, 1) == 0) return 1;
        s->out_buf[s->out_pos++] = (uint8_t)fe_value(e);
        return 2;
    }
    if (e & fe_end) return 0;
    uint64_t len = fe_value(e);
    e = decode(s, distcode);
    if (e == 0) return -10;
    uint64_t dist = fe_value(e);
    if (dist > s->out_pos) return -11;
    uint64_t room = out_room(s, len);
    bool full = len > room;
    if (full) {
        if (!s->grow) return 1;
        len = room;  // the bytes up to the limit
    }
    uint8_t *out = s->out_buf + s->out_pos;
    const uint8_t *from = out - dist;
    if (dist >= len) {
        memcpy(out, from, (size_t)len);
    } else {  // byte by byte: the copy repeats the bytes it has just written
        for (uint64_t i = 0; i < len; i++) out[i] = from[i];
    }
    s->out_pos += len;
    return full ? 1 : 2;
}

// Decodes one compressed block's symbols through its end-of-block code: the fast loop while it
// may run, one careful step where it may not, and the fast loop again (a growable output makes
// room for it first). 0: end of block; 1: output full; -10, -11 as codes_step.
static int codes(inflate_state *s, const huffman_table *lencode, const huffman_table *distcode) {
    for (;;) {
        if (s->grow && s->out_cap - s->out_pos < 258) (void)out_room(s, 258);
        int fast = codes_fast(s, lencode, distcode);
        if (fast != 2) return fast;
        int step = codes_step(s, lencode, distcode);
        if (step != 2) return step;
    }
}

// RFC 1951 3.2.4; NLEN is compared with LEN only under check_nlen. 0, -1, or 1 when a growable
// output is full (the bytes that fit copied).
static int stored(inflate_state *s) {
    // The block continues at the next whole byte: give back the whole bytes loaded ahead and
    // drop the rest of the partly used one.
    s->in_pos -= (uint64_t)(s->bit_count / 8);
    s->bit_buf = 0;
    s->bit_count = 0;
    if (s->in_len - s->in_pos < 4) return -1;
    const uint8_t *p = s->in_buf + s->in_pos;
    uint64_t len = (uint64_t)p[0] | ((uint64_t)p[1] << 8);
    uint64_t nlen = (uint64_t)p[2] | ((uint64_t)p[3] << 8);
    if (s->rules->check_nlen && nlen != (~len & 0xFFFFu)) return -1;
    s->in_pos += 4;
    if (s->in_len - s->in_pos < len) return -1;
    uint64_t room = out_room(s, len), n = len <= room ? len : room;
    if (n < len && !s->grow) return -1;
    if (n != 0) memcpy(s->out_buf + s->out_pos, s->in_buf + s->in_pos, (size_t)n);
    s->in_pos += n;
    s->out_pos += n;
    return n < len ? 1 : 0;
}

static int fixed(inflate_state *s) {
    const huffman_table lencode = {s_fixed.lencnt, s_fixed.lensym, s_fixed.lenfast, lit_fast_bits,
                                   code_litlen};
    const huffman_table distcode = {s_fixed.distcnt, s_fixed.distsym, s_fixed.distfast,
                                    dist_fast_bits, code_dist};
    int rc = codes(s, &lencode, &distcode);
    return rc == 0 || rc == 1 ? rc : -1;
}

// An over-subscribed code is never usable; under strict_codes an incomplete code is accepted only
// as a single one-bit code (every symbol has length 0 or 1).
static int code_usable(const inflate_state *s, int err, const int16_t *counts, int n) {
    if (err < 0) return 0;
    if (s->rules->strict_codes && err > 0 && n != counts[0] + counts[1]) return 0;
    return 1;
}

// RFC 1951 3.2.7. 0, -1, or 1 when the output is full.
static int dynamic(inflate_state *s) {
    int16_t lengths[max_lcodes + max_dcodes];
    int16_t lencnt[max_bits + 1], lensym[max_lcodes];
    int16_t distcnt[max_bits + 1], distsym[max_dcodes];
    fast_entry lenfast[1 << lit_fast_bits], distfast[1 << dist_fast_bits];
    huffman_table lencode = {lencnt, lensym, lenfast, lit_fast_bits, code_litlen};
    huffman_table distcode = {distcnt, distsym, distfast, dist_fast_bits, code_dist};

    int nlen = bits(s, 5) + 257;
    int ndist = bits(s, 5) + 1;
    int ncode = bits(s, 4) + 4;
    if (s->failed || nlen > max_lcodes || ndist > max_dcodes) return -1;

    // The code-length code, in the literal/length table's arrays.
    int index = 0;
    for (; index < ncode; index++) lengths[deflate_cl_order[index]] = (int16_t)bits(s, 3);
    if (s->failed) return -1;
    for (; index < cl_codes; index++) lengths[deflate_cl_order[index]] = 0;
    int err = construct(lencnt, lensym, lengths, cl_codes);
    if (err < 0 || (s->rules->strict_codes && err != 0)) return -1;
    fill_fast(lenfast, cl_fast_bits, code_lengths, lencnt, lensym);
    const huffman_table clcode = {lencnt, lensym, lenfast, cl_fast_bits, code_lengths};

    // Literal/length and distance lengths, one sequence: repeats may cross from one to the other.
    index = 0;
    while (index < nlen + ndist) {
        fast_entry e = decode(s, &clcode);
        if (e == 0) return -1;
        int sym = (int)fe_value(e);
        if (sym < 16) {
            lengths[index++] = (int16_t)sym;
            continue;
        }
        int16_t len = 0;
        int rep;
        if (sym == 16) {
            if (index == 0) return -1;  // nothing to repeat
            len = lengths[index - 1];
            rep = 3 + bits(s, 2);
        } else if (sym == 17) {
            rep = 3 + bits(s, 3);
        } else {
            rep = 11 + bits(s, 7);
        }
        if (s->failed || index + rep > nlen + ndist) return -1;
        while (rep-- > 0) lengths[index++] = len;
    }

    // No end-of-block code: the block could never end.
    if (s->rules->strict_codes && lengths[256] == 0) return -1;
    err = construct(lencnt, lensym, lengths, nlen);
    if (!code_usable(s, err, lencnt, nlen)) return -1;
    err = construct(distcnt, distsym, lengths + nlen, ndist);
    if (!code_usable(s, err, distcnt, ndist)) return -1;
    fill_fast(lenfast, lit_fast_bits, code_litlen, lencnt, lensym);
    fill_fast(distfast, dist_fast_bits, code_dist, distcnt, distsym);
    int rc = codes(s, &lencode, &distcode);
    return rc == 0 || rc == 1 ? rc : -1;
}

// The blocks of the DEFLATE data src[0, src_len) into dst[0, dst_cap), or into the growable output
// grow (dst and dst_cap then unused), under rules, up to and with the final block. 0 and *out_len
// = bytes written, or -1. A fixed dst that is too small fails; a growable output that reaches its
// max stops there with grow->cut set (0).
static int inflate_blocks(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap,
                          qv_outbuf *grow, const inflate_rules *rules, uint64_t *out_len) {
    inflate_state s;
    memset(&s, 0, sizeof s);
    s.rules = rules;
    s.out_buf = grow ? grow->data : dst;
    s.out_cap = grow ? grow->cap : dst_cap;
    s.out_pos = grow ? grow->len : 0;
    s.grow = grow;
    s.in_buf = src;
    s.in_len = src_len;
    int err = 0;
    for (;;) {
        int last = bits(&s, 1);
        int type = bits(&s, 2);
        if (s.failed) return -1;
        if (type == 0)
            err = stored(&s);
        else if (type == 1)
            err = fixed(&s);
        else if (type == 2)
            err = dynamic(&s);
        else
            err = -1;
        if (err < 0 || s.failed || (err == 1 && (!grow || grow->no_memory))) return -1;
        if (last || err == 1) break;
    }
    if (grow) {
        grow->len = s.out_pos;
        grow->cut = err == 1;
    }
    *out_len = s.out_pos;
    return 0;
}

int inflate_decompress(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap,
                       uint64_t *dst_len) {
    if (dst_len) *dst_len = 0;
    // RFC 1950 2.2: CM must be 8 (deflate); a preset dictionary is not supported. CINFO and
    // FCHECK are not examined, and the Adler-32 trailer is never read.
    if (!src || src_len < 2 || dst_cap > max_out) return -1;
    if ((src[0] & 0x0f) != 8 || (src[1] & 0x20) != 0) return -1;
    uint64_t n = 0;
    if (inflate_blocks(src + 2, src_len - 2, dst, dst_cap, nullptr, &zlib_rules, &n) != 0) return -1;
    if (dst_len) *dst_len = n;
    return 0;
}

int inflate_grow(const uint8_t *src, uint64_t src_len, qv_outbuf *out) {
    if (out->max > max_out) out->max = max_out;
    out->cut = 0;
    if (!src || src_len < 2) return -1;
    if ((src[0] & 0x0f) != 8 || (src[1] & 0x20) != 0) return -1;
    uint64_t n = 0;
    return inflate_blocks(src + 2, src_len - 2, nullptr, 0, out, &zlib_rules, &n) == 0 ? 0 : -1;
}

int32_t qv_inflate(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap) {
    // The count is returned as int32_t: never produce more than it can tell.
    if (dst_cap > max_raw_out) dst_cap = max_raw_out;
    if (!src) src_len = 0;
    if (!dst) dst_cap = 0;
    uint64_t n = 0;
    if (inflate_blocks(src, src_len, dst, dst_cap, nullptr, &raw_rules, &n) != 0) return -1;
    return (int32_t)n;  // n <= max_raw_out
}

// The PNG Paeth predictor of left a, up b and up-left c; ties go to a, then b.
static inline int paeth(int a, int b, int c) {
    int p = a + b - c;
    int pa = p > a ? p - a : a - p;
    int pb = p > b ? p - b : b - p;
    int pc = p > c ? p - c : c - p;
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

void png_unfilter_row(uint8_t type, const uint8_t *src, uint8_t *dst, const uint8_t *prev,
                      uint64_t n, uint64_t bpp) {
    // Byte i is read before dst[i] is written, and dst[i] can only fall on a source byte already
    // read: that is what lets dst lie at or before src in the same buffer.
    switch (type) {
    case 1:
        for (uint64_t i = 0; i < n; i++) dst[i] = (uint8_t)(src[i] + (i >= bpp ? dst[i - bpp] : 0));
        return;
    case 2:
        if (prev) {
            for (uint64_t i = 0; i < n; i++) dst[i] = (uint8_t)(src[i] + prev[i]);
            return;
        }
        break;
    case 3:
        for (uint64_t i = 0; i < n; i++) {
            int a = i >= bpp ? dst[i - bpp] : 0;
            int b = prev ? prev[i] : 0;
            dst[i] = (uint8_t)(src[i] + (a + b) / 2);  // the sum is not cut to 8 bits
        }
        return;
    case 4:
        for (uint64_t i = 0; i < n; i++) {
            int a = i >= bpp ? dst[i - bpp] : 0;
            int b = prev ? prev[i] : 0;
            int c = prev && i >= bpp ? prev[i - bpp] : 0;
            dst[i] = (uint8_t)(src[i] + paeth(a, b, c));
        }
        return;
    default:
        break;
    }
    if (dst != src) memmove(dst, src, (size_t)n);  // None, Up in the first row, unknown types
}

int inflate_png_unfilter(uint8_t *rows, uint64_t rows_len, int32_t row_bytes) {
    if (row_bytes <= 0) return -1;
    uint64_t rb = (uint64_t)row_bytes;
    uint64_t nrows = rows_len / (rb + 1);
    for (uint64_t r = 0; r < nrows; r++) {
        const uint8_t *src = rows + r * (rb + 1);
        if (src[0] > 4) return -1;
        uint8_t *x = rows + r * rb;  // rows are packed as they are unfiltered
        png_unfilter_row(src[0], src + 1, x, r > 0 ? x - rb : nullptr, rb, 1);
    }
    return 0;
}
