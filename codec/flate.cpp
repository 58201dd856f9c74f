// codec/flate.cpp - the DEFLATE encoder with its dynamic-block writer and output bit stream, and
// Adler-32.
#include "codec/flate.h"

#include "codec/deflate_tables.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Long inputs are encoded by several threads where POSIX threads are at hand.
#if defined(__unix__) || defined(__APPLE__)
#define QV_DEFLATE_THREADS 1
#include <pthread.h>
#include <unistd.h>
#else
#define QV_DEFLATE_THREADS 0
#endif

// ---------------------------------------------------------------------------------------------
// Output bit stream
// ---------------------------------------------------------------------------------------------

static const uint64_t ds_first_capacity = 1048576;  // 1 MiB, doubled as needed

// Drops everything: a stream that could not grow loses its buffer and takes no more bits.
static void ds_fail(ds_stream *s) {
    free(s->data);
    s->data = nullptr;
    s->size = 0;
    s->capacity = 0;
    s->bit_buf = 0;
    s->bit_count = 0;
    s->failed = 1;
}

// Room for one more byte: capacity doubles (1 MiB from none). 0, or -1 with the stream failed.
static int ds_grow(ds_stream *s) {
    uint64_t cap = ds_first_capacity;
    if (s->capacity) {
        if (s->capacity > UINT64_MAX / 2 || s->capacity * 2 > (uint64_t)SIZE_MAX) {
            ds_fail(s);
            return -1;
        }
        cap = s->capacity * 2;
    }
    void *t = realloc(s->data, (size_t)cap);
    if (!t) {
        ds_fail(s);
        return -1;
    }
    s->data = (uint8_t *)t;
    s->capacity = cap;
    return 0;
}

void ds_put(ds_stream *s, uint32_t value, int32_t n) {
    if (s->failed) return;
    s->bit_buf |= (value & ((1u << n) - 1u)) << s->bit_count;
    s->bit_count += n;
    while (s->bit_count > 7) {  // RFC 1951 3.1.1: least significant bit first
        if (s->capacity < s->size + 1 && ds_grow(s) != 0) return;
        s->data[s->size++] = (uint8_t)(s->bit_buf & 0xFFu);
        s->bit_buf >>= 8;
        s->bit_count -= 8;
    }
}

// Writes the whole bytes of a 64-bit accumulator of cnt bits (the stream's own bit_buf empty), and
// keeps the remaining cnt % 8 bits. With room for 8 bytes it stores all 8 at once: the bytes past
// the whole ones lie within capacity and are written over later.
static inline void ds_flush_bytes(ds_stream *s, uint64_t *acc, int32_t *cnt) {
    int32_t whole = *cnt >> 3;
    if (whole == 0) return;
    if (!s->failed && s->capacity - s->size >= 8) {
        uint8_t *p = s->data + s->size;
        uint64_t v = *acc;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        memcpy(p, &v, 8);  // one store: the bytes in memory order are the low byte first
#else
        for (int32_t k = 0; k < 8; k++) p[k] = (uint8_t)(v >> (8 * k));
#endif
        s->size += (uint64_t)whole;
    } else {
        for (int32_t k = 0; k < whole; k++) ds_put(s, (uint32_t)(*acc >> (8 * k)) & 0xFFu, 8);
    }
    *acc >>= 8 * whole;  // whole < 8: cnt stays below 64
    *cnt -= 8 * whole;
}

// ---------------------------------------------------------------------------------------------
// Dynamic block writer
// ---------------------------------------------------------------------------------------------

static const int32_t heap_slots = 575;

// Code indexes by length and distance: j, the largest with deflate_len_base[j] <= length
// (3..258); k, the largest with deflate_dist_base[k] <= distance, looked up by distance - 1 up to
// 256 and above that by (distance - 1) >> 7 (every base above 256 is one more than a multiple of 128).
struct d_code_tables {
    uint8_t len[259];
    uint8_t dist[512];
};

static constexpr d_code_tables d_make_code_tables() {
    d_code_tables t{};
    for (int32_t len = 3; len <= 258; len++) {
        int32_t j = 28;
        while (deflate_len_base[j] > len) j--;
        t.len[len] = (uint8_t)j;
    }
    for (int32_t slot = 0; slot < 512; slot++) {
        int32_t dist = slot < 256 ? slot + 1 : ((slot - 256) << 7) + 1;  // the slot's smallest distance
        int32_t k = 29;
        while (k > 0 && deflate_dist_base[k] > dist) k--;
        t.dist[slot] = (uint8_t)k;
    }
    return t;
}

static constexpr d_code_tables d_codes = d_make_code_tables();

static inline int32_t len_code(int32_t len) { return d_codes.len[len]; }

static inline int32_t dist_code(int32_t dist) {
    return dist <= 256 ? d_codes.dist[dist - 1] : d_codes.dist[256 + ((dist - 1) >> 7)];
}

// Queue order: lower frequency first, then the shallower subtree (a leaf before an internal node).
static bool d_smaller(const tree_node *tree, const tree_heap *h, int32_t x, int32_t y) {
    return tree[x].freq < tree[y].freq || (tree[x].freq == tree[y].freq && h->depth[x] <= h->depth[y]);
}

static void d_pqdown(tree_heap *h, const tree_node *tree, int32_t k) {
    int32_t v = h->heap[k];
    while (k <= h->heap_len / 2) {
        int32_t j = 2 * k;
        if (j < h->heap_len) {
            int32_t a = h->heap[j + 1], b = h->heap[j];
            if (tree[a].freq < tree[b].freq || (tree[a].freq == tree[b].freq && h->depth[a] < h->depth[b]))
                j++;
        }
        if (d_smaller(tree, h, v, h->heap[j])) break;
        h->heap[k] = h->heap[j];
        k = j;
    }
    h->heap[k] = v;
}

static uint16_t reverse_bits(uint32_t code, int32_t len) {
    uint32_t r = 0;
    for (int32_t b = 0; b < len; b++) {
        r = (r << 1) | (code & 1u);
        code >>= 1;
    }
    return (uint16_t)r;
}

int32_t d_build(tree_heap *h, tree_node *tree, int32_t elems, int32_t max_length) {
    memset(h, 0, sizeof *h);
    h->heap_max = heap_slots;
    h->max_code = -1;
    for (int32_t n = 0; n < elems; n++) {
        if (tree[n].freq) {
            h->heap[++h->heap_len] = n;
            h->max_code = n;
        } else {
            tree[n].len = 0;
        }
    }
    // Two codes at least, so that every code is complete.
    while (h->heap_len < 2) {
        int32_t node = h->max_code < 2 ? ++h->max_code : 0;
        h->heap[++h->heap_len] = node;
        tree[node].freq = 1;
        h->depth[node] = 0;
    }
    for (int32_t k = h->heap_len / 2; k >= 1; k--) d_pqdown(h, tree, k);

    // Merge the two least frequent nodes; removed nodes fill the slots from the top down.
    int32_t node = elems;
    do {
        int32_t n = h->heap[1];
        h->heap[1] = h->heap[h->heap_len--];
        d_pqdown(h, tree, 1);
        int32_t m = h->heap[1];
        h->heap[--h->heap_max] = n;
        h->heap[--h->heap_max] = m;
        tree[node].freq = tree[n].freq + tree[m].freq;
        int16_t d = h->depth[n] > h->depth[m] ? h->depth[n] : h->depth[m];
        h->depth[node] = (int16_t)(d + 1);
        tree[n].parent = tree[m].parent = (int16_t)node;
        h->heap[1] = node++;
        d_pqdown(h, tree, 1);
    } while (h->heap_len >= 2);
    h->heap[--h->heap_max] = h->heap[1];

    // Lengths from the root down, clamped to max_length.
    int32_t count[16] = {0};
    int32_t overflow = 0;
    tree[h->heap[h->heap_max]].len = 0;
    for (int32_t s = h->heap_max + 1; s < heap_slots; s++) {
        int32_t n = h->heap[s];
        int32_t bits = tree[tree[n].parent].len + 1;
        if (bits > max_length) {
            bits = max_length;
            overflow++;
        }
        tree[n].len = (int16_t)bits;
        if (n <= h->max_code) count[bits]++;
    }
    if (overflow > 0) {
        // Move a leaf from length b down to b + 1 together with an overflown one, until the
        // lengths fit again; then hand them out again, longest to the least frequent leaves.
        do {
            int32_t b = max_length - 1;
            while (b > 0 && count[b] == 0) b--;
            if (b == 0) break;
            count[b]--;
            count[b + 1] += 2;
            count[max_length]--;
            overflow -= 2;
        } while (overflow > 0);
        int32_t s = heap_slots;
        for (int32_t b = max_length; b >= 1; b--) {
            int32_t left = count[b];
            while (left > 0) {
                int32_t m = h->heap[--s];
                if (m > h->max_code) continue;
                tree[m].len = (int16_t)b;
                left--;
            }
        }
    }

    // RFC 1951 3.2.2: canonical codes, sent least significant bit first.
    int32_t bl_count[16] = {0};
    for (int32_t n = 0; n <= h->max_code; n++)
        if (tree[n].len > 0) bl_count[tree[n].len]++;
    uint32_t next[16] = {0};
    for (int32_t b = 2; b <= 15; b++) next[b] = (next[b - 1] + (uint32_t)bl_count[b - 1]) * 2u;
    for (int32_t n = 0; n <= h->max_code; n++) {
        int32_t len = tree[n].len;
        tree[n].code = len > 0 ? reverse_bits(next[len]++, len) : 0;
    }
    return h->max_code;
}

// One code-length symbol, times over, with its extra bits: counted into counts when that is not
// null, else written with the codes of codes.
static void d_length_symbol(ds_stream *stream, tree_node *counts, const tree_node *codes, int32_t sym,
                            int32_t times, int32_t extra, int32_t extra_len) {
    if (counts) {
        counts[sym].freq += (uint32_t)times;
        return;
    }
    for (int32_t k = 0; k < times; k++) {
        ds_put(stream, codes[sym].code, codes[sym].len);
        if (extra_len > 0) ds_put(stream, (uint32_t)extra, extra_len);
    }
}

// One walk over the lengths of leaves 0..max_code (len(max_code + 1) = -1 as the guard), in the
// run encoding of RFC 1951 3.2.7: runs of 3 to 6 repeats of the previous length (16), and of 3 to
// 10 (17) or 11 to 138 (18) zeros.
static void d_walk_tree(ds_stream *stream, const tree_node *tree, int32_t max_code, tree_node *counts,
                        const tree_node *codes) {
    int32_t prevlen = -1, count = 0;
    int32_t nextlen = tree[0].len;
    int32_t max_count = 7, min_count = 4;
    if (nextlen == 0) max_count = 138, min_count = 3;
    for (int32_t n = 0; n <= max_code; n++) {
        int32_t curlen = nextlen;
        nextlen = tree[n + 1].len;
        if (++count < max_count && curlen == nextlen) continue;
        if (count < min_count) {
            d_length_symbol(stream, counts, codes, curlen, count, 0, 0);
        } else if (curlen != 0) {
            if (curlen != prevlen) {
                d_length_symbol(stream, counts, codes, curlen, 1, 0, 0);
                count--;
            }
            d_length_symbol(stream, counts, codes, 16, 1, count - 3, 2);
        } else if (count <= 10) {
            d_length_symbol(stream, counts, codes, 17, 1, count - 3, 3);
        } else {
            d_length_symbol(stream, counts, codes, 18, 1, count - 11, 7);
        }
        count = 0;
        prevlen = curlen;
        if (nextlen == 0) max_count = 138, min_count = 3;
        else if (curlen == nextlen) max_count = 6, min_count = 3;
        else max_count = 7, min_count = 4;
    }
}

// Counts into bl_tree the code-length symbols that d_send_tree will write.
static void d_scan_tree(const tree_node *tree, int32_t max_code, tree_node *bl_tree) {
    d_walk_tree(nullptr, tree, max_code, bl_tree, nullptr);
}

static void d_send_tree(ds_stream *stream, const tree_node *tree, int32_t max_code, const tree_node *bl_tree) {
    d_walk_tree(stream, tree, max_code, nullptr, bl_tree);
}

void d_write_block(ds_stream *stream, const lz_symbol *symbols, uint64_t count, tree_node *lit_tree,
                   tree_node *dist_tree, int32_t final) {
    tree_heap heap;
    int32_t max_l = d_build(&heap, lit_tree, 286, 15);
    int32_t max_d = d_build(&heap, dist_tree, 30, 15);

    tree_node bl_tree[39];
    memset(bl_tree, 0, sizeof bl_tree);
    lit_tree[max_l + 1].len = -1;  // guards: runs stop at the end of each list
    dist_tree[max_d + 1].len = -1;
    d_scan_tree(lit_tree, max_l, bl_tree);
    d_scan_tree(dist_tree, max_d, bl_tree);
    d_build(&heap, bl_tree, 19, 7);
    int32_t max_blindex = 18;
    while (max_blindex > 3 && bl_tree[deflate_cl_order[max_blindex]].len == 0) max_blindex--;

    ds_put(stream, (uint32_t)(final ? 1 : 0), 1);
    ds_put(stream, 2, 2);  // BTYPE 2: dynamic Huffman codes
    ds_put(stream, (uint32_t)(max_l - 256), 5);
    ds_put(stream, (uint32_t)max_d, 5);
    ds_put(stream, (uint32_t)(max_blindex - 3), 4);
    for (int32_t k = 0; k <= max_blindex; k++) ds_put(stream, (uint32_t)bl_tree[deflate_cl_order[k]].len, 3);
    d_send_tree(stream, lit_tree, max_l, bl_tree);
    d_send_tree(stream, dist_tree, max_d, bl_tree);

    // The symbols go out through a 64-bit accumulator, several bytes at a time: the same bits, in
    // the same order, as one ds_put per code and per extra-bits field.
    uint64_t acc = stream->bit_buf;
    int32_t cnt = stream->bit_count;
    stream->bit_buf = 0;
    stream->bit_count = 0;
    for (uint64_t i = 0; i < count; i++) {
        const lz_symbol *sym = &symbols[i];
        if (sym->length == 0) {
            acc |= (uint64_t)lit_tree[sym->value].code << cnt;
            cnt += lit_tree[sym->value].len;
        } else {
            // At most 15 + 5 + 15 + 13 bits, onto fewer than 16 pending.
            int32_t j = len_code(sym->length);
            acc |= (uint64_t)lit_tree[257 + j].code << cnt;
            cnt += lit_tree[257 + j].len;
            acc |= (uint64_t)(uint32_t)(sym->length - deflate_len_base[j]) << cnt;
            cnt += deflate_len_extra[j];
            int32_t k = dist_code(sym->value);
            acc |= (uint64_t)dist_tree[k].code << cnt;
            cnt += dist_tree[k].len;
            acc |= (uint64_t)(uint32_t)(sym->value - deflate_dist_base[k]) << cnt;
            cnt += deflate_dist_extra[k];
        }
        if (cnt >= 16) ds_flush_bytes(stream, &acc, &cnt);
    }
    ds_flush_bytes(stream, &acc, &cnt);
    stream->bit_buf |= (uint32_t)acc;  // fewer than 8 bits left
    stream->bit_count = cnt;
    ds_put(stream, lit_tree[256].code, lit_tree[256].len);
}

// ---------------------------------------------------------------------------------------------
// Deflate encoder
// ---------------------------------------------------------------------------------------------

static const int32_t d_window = 32768;
static const int32_t d_max_chain = 128;  // candidates reached per search
static const int32_t d_max_match = 258;
static const uint64_t d_max_block = (uint64_t)1 << 30;  // positions stay in int32_t

// Chains of positions within the current block, each entry base + position. Every block starts
// with a base above all the entries written before it, so those read as positions below 0: the
// chains start empty without clearing the tables, and position 0 of a block, like an empty entry,
// is never a candidate. Each thread that encodes takes a set of its own for the time it encodes.
struct d_chains {
    int32_t head[32768];
    int32_t prev[32768];
    int32_t base;       // of the current block
    int32_t next_base;  // above every entry written so far
};
static const int32_t d_max_threads = 8;

// A set of chains for one thread for the time it encodes, zeroed (which reads as empty). Null when
// memory runs out.
static d_chains *d_chains_take() { return (d_chains *)calloc(1, sizeof(d_chains)); }

static void d_chains_give(d_chains *ch) { free(ch); }

// Starts the chains of a block of n <= d_max_block positions.
static void d_begin_block(d_chains *ch, int32_t n) {
    ch->base = ch->next_base;
    if (ch->base > INT32_MAX - (int32_t)d_max_block - 1) {  // rarely: clear, count from 0 again
        memset(ch->head, 0, sizeof ch->head);
        memset(ch->prev, 0, sizeof ch->prev);
        ch->base = 0;
    }
    ch->next_base = ch->base + n + 1;
}

static inline uint32_t d_hash(const uint8_t *p) {
    return (((uint32_t)p[0] * 31u + p[1]) * 31u + p[2]) & 0x7FFFu;
}

static inline void d_insert(d_chains *ch, const uint8_t *block, int32_t p) {
    uint32_t h = d_hash(block + p);
    ch->prev[p & 0x7FFF] = ch->head[h];
    ch->head[h] = ch->base + p;
}

// Counts on from len while a[len] == b[len], up to max_len; a + max_len lies within the block.
static inline int32_t d_match_more(const uint8_t *a, const uint8_t *b, int32_t len, int32_t max_len) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (len + 8 <= max_len) {
        uint64_t x, y;
        memcpy(&x, a + len, 8);
        memcpy(&y, b + len, 8);
        if (x != y) return len + (int32_t)(__builtin_ctzll(x ^ y) >> 3);  // the first unequal byte
        len += 8;
    }
#endif
    while (len < max_len && a[len] == b[len]) len++;
    return len;
}

// Best match at i (i + 3 <= n) among the first d_max_chain candidates within the window: the
// longest of 3 bytes or more, the nearest among equals. Its length, 0 if none; *dist its distance.
static inline uint32_t d_load16(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

static inline uint32_t d_load32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

static int32_t d_search(const d_chains *ch, const uint8_t *block, int32_t n, int32_t i, int32_t *dist) {
    int32_t limit = i >= d_window ? i - d_window : 0;
    int32_t max_len = n - i < d_max_match ? n - i : d_max_match;
    int32_t best = 2, best_dist = 0;  // shorter matches never count
    const uint8_t *at = block + i;
    // The first three bytes, as a candidate's first four bytes read them with the fourth masked
    // off (a candidate lies before i, so its four bytes lie within the block).
    const uint8_t head3[4] = {at[0], at[1], at[2], 0};
    const uint8_t ones3[4] = {0xFF, 0xFF, 0xFF, 0};
    const uint32_t want3 = d_load32(head3), mask3 = d_load32(ones3);
    uint32_t end2 = d_load16(at + best - 1);  // bytes best - 1 and best
    const int32_t base = ch->base;
    const int32_t *prev = ch->prev;
    int32_t c = ch->head[d_hash(at)] - base;
    for (int32_t tried = 0; c > limit && tried < d_max_chain; tried++) {
        const uint8_t *from = block + c;
        // Only a candidate that also matches at[best - 1] and at[best] can be longer than the
        // best so far.
        if (d_load16(from + best - 1) == end2 && (d_load32(from) & mask3) == want3) {
            int32_t len = d_match_more(at, from, 3, max_len);
            if (len > best) {
                best = len;
                best_dist = i - c;
                if (len == max_len) break;  // nothing later can be longer
                end2 = d_load16(at + best - 1);
            }
        }
        c = prev[c & 0x7FFF] - base;
    }
    *dist = best_dist;
    return best > 2 ? best : 0;
}

static void d_record_match(lz_symbol *sym, tree_node *lit_tree, tree_node *dist_tree, int32_t len,
                           int32_t dist) {
    sym->length = (uint16_t)len;
    sym->value = (uint16_t)dist;
    lit_tree[257 + len_code(len)].freq++;
    dist_tree[dist_code(dist)].freq++;
}

static int d_emit_block_with(d_chains *ch, ds_stream *stream, const uint8_t *block, uint64_t block_len,
                             int32_t final) {
    if (block_len > d_max_block || (!block && block_len > 0)) return -1;
    uint64_t bytes = block_len ? block_len * sizeof(lz_symbol) : sizeof(lz_symbol);  // < 2^33
    if (bytes > (uint64_t)SIZE_MAX) return -1;
    tree_node lit_tree[572], dist_tree[61];
    memset(lit_tree, 0, sizeof lit_tree);
    memset(dist_tree, 0, sizeof dist_tree);
    d_begin_block(ch, (int32_t)block_len);
    lz_symbol *syms = (lz_symbol *)malloc((size_t)bytes);
    if (!syms) return -1;
    lit_tree[256].freq = 1;  // end of block

    int32_t n = (int32_t)block_len, i = 0;
    uint64_t count = 0;
    while (i < n) {
        lz_symbol *sym = &syms[count++];
        int32_t max_len = n - i < d_max_match ? n - i : d_max_match;
        if (i + 3 > n) {
            sym->length = 0;
            sym->value = block[i];
            lit_tree[block[i]].freq++;
            i++;
            continue;
        }
        const uint8_t *at = block + i;
        if (i >= 1 && at[-1] == at[0] && at[0] == at[1] && at[1] == at[2]) {
            // A run of one byte value: distance 1, one position inserted.
            int32_t len = d_match_more(at, at - 1, 3, max_len);
            d_record_match(sym, lit_tree, dist_tree, len, 1);
            d_insert(ch, block, i + len - 3);
            i += len;
            continue;
        }
        if (i >= 4 && i + 8 <= n && memcmp(at, at - 4, 8) == 0) {
            // Repeated 4-byte pixels: distance 4, one position inserted.
            int32_t len = d_match_more(at, at - 4, 8, max_len);
            d_record_match(sym, lit_tree, dist_tree, len, 4);
            d_insert(ch, block, i + len - 3);
            i += len;
            continue;
        }
        int32_t dist = 0;
        int32_t len = d_search(ch, block, n, i, &dist);
        if (len >= 3) {
            d_record_match(sym, lit_tree, dist_tree, len, dist);
            for (int32_t p = i; p < i + len && p + 3 <= n; p++) d_insert(ch, block, p);
            i += len;
        } else {
            sym->length = 0;
            sym->value = at[0];
            lit_tree[at[0]].freq++;
            d_insert(ch, block, i);
            i++;
        }
    }
    d_write_block(stream, syms, count, lit_tree, dist_tree, final);
    free(syms);
    return 0;
}

int d_emit_block(ds_stream *stream, const uint8_t *block, uint64_t block_len, int32_t final) {
    d_chains *ch = d_chains_take();
    if (!ch) return -1;
    int rc = d_emit_block_with(ch, stream, block, block_len, final);
    d_chains_give(ch);
    return rc;
}

// RFC 1950 8.2: sums modulo 65521, reduced after at most 5552 bytes so that b cannot overflow.
uint32_t qv_adler32(const uint8_t *p, uint64_t len) {
    uint32_t a = 1, b = 0;
    while (len > 0) {
        uint64_t run = len < 5552 ? len : 5552;
        len -= run;
        // 8 bytes per step: b grows by 8 a plus the bytes weighted 8, 7, ..., 1, as it would
        // byte by byte (the same sums, so the same bound).
        for (; run >= 8; run -= 8, p += 8) {
            b += 8u * a + 8u * p[0] + 7u * p[1] + 6u * p[2] + 5u * p[3] + 4u * p[4] + 3u * p[5] + 2u * p[6] + p[7];
            a += (uint32_t)p[0] + p[1] + p[2] + p[3] + p[4] + p[5] + p[6] + p[7];
        }
        while (run-- > 0) {
            a += *p++;
            b += a;
        }
        a %= 65521u;
        b %= 65521u;
    }
    return (b << 16) | a;
}

// Room for extra more bytes, allocated at once (ds_put still doubles past it). 0, or -1 with the
// stream failed.
static int ds_reserve(ds_stream *s, uint64_t extra) {
    if (s->failed) return -1;
    if (s->capacity - s->size >= extra) return 0;
    if (extra > UINT64_MAX - s->size || s->size + extra > (uint64_t)SIZE_MAX) {
        ds_fail(s);
        return -1;
    }
    void *t = realloc(s->data, (size_t)(s->size + extra));
    if (!t) {
        ds_fail(s);
        return -1;
    }
    s->data = (uint8_t *)t;
    s->capacity = s->size + extra;
    return 0;
}

// Appends every bit of b, pending ones included, to a: the bits a stream would hold had b's been
// put into it directly. 0, or -1 with a failed.
static int ds_append(ds_stream *a, const ds_stream *b) {
    if (a->failed || b->failed) {
        if (!a->failed) ds_fail(a);
        return -1;
    }
    if (b->size > UINT64_MAX - a->size) {
        ds_fail(a);
        return -1;
    }
    if (ds_reserve(a, b->size + 1) != 0) return -1;
    if (a->bit_count == 0) {
        if (b->size) memcpy(a->data + a->size, b->data, (size_t)b->size);
        a->size += b->size;
    } else {
        // Each byte of b straddles two of a: its low bits complete a's pending ones.
        uint32_t carry = a->bit_buf;
        const int32_t shift = a->bit_count;
        uint8_t *out = a->data + a->size;
        for (uint64_t k = 0; k < b->size; k++) {
            uint32_t v = carry | (uint32_t)b->data[k] << shift;
            out[k] = (uint8_t)v;
            carry = v >> 8;
        }
        a->size += b->size;
        a->bit_buf = carry;
    }
    if (b->bit_count > 0) ds_put(a, b->bit_buf, b->bit_count);
    return a->failed ? -1 : 0;
}

// A long input is cut into segments of whole blocks, encoded by several threads at once, each
// segment into its own stream, and the streams joined in order. Every block depends only on its
// own bytes, so the output is the same bytes as one thread's.
struct d_job {
    const uint8_t *src;             // the input, or null when source gives it
    const deflate_source *source;   // fills each segment into the thread's own buffer
    uint32_t *adlers;               // with source: the Adler-32 of each segment
    uint64_t src_len;
    uint64_t block_size;
    uint64_t segment_size;  // a multiple of block_size
    int32_t segments;
    ds_stream *out;                // one per segment
    std::atomic<int32_t> next;     // the next segment to take
    std::atomic<int32_t> failed;   // set by a thread that ran out of memory
};

// Takes segments until none is left, encoding each with the chains ch.
static void d_job_run(d_job *job, d_chains *ch) {
    uint8_t *own = nullptr;  // with a source: this thread's segment, as the source fills it
    if (job->source && !(own = (uint8_t *)malloc((size_t)job->segment_size))) {
        job->failed.store(1);
        return;
    }
    for (;;) {
        int32_t k = job->next.fetch_add(1);
        if (k >= job->segments || job->failed.load()) break;
        uint64_t at = (uint64_t)k * job->segment_size, start = at;
        uint64_t end = job->src_len - at < job->segment_size ? job->src_len : at + job->segment_size;
        const uint8_t *bytes = own ? own : job->src + start;
        if (own) {
            job->source->fill(job->source->ctx, start, end - start, own);
            job->adlers[k] = qv_adler32(own, end - start);
        }
        ds_stream *s = &job->out[k];
        // Room for the segment stored with a little over 8 bits a byte; rarely more is needed.
        ds_reserve(s, (end - at) + (end - at) / 8 + 1024);
        while (at < end && !s->failed) {
            uint64_t len = end - at < job->block_size ? end - at : job->block_size;
            if (d_emit_block_with(ch, s, bytes + (at - start), len, at + len == job->src_len) != 0) break;
            at += len;
        }
        if (at < end || s->failed) {
            job->failed.store(1);
            break;
        }
    }
    free(own);
}

uint32_t qv_adler32_combine(uint32_t first, uint32_t second, uint64_t second_len) {
    // With A = 1 + the bytes' sum and B = the sum of the A after each byte: the second part's sums
    // started from A = 1 instead of the first part's A, which adds (A1 - 1) to its A and
    // (A1 - 1) * second_len to its B.
    const uint64_t mod = 65521u;
    uint64_t a1 = first & 0xFFFFu, b1 = first >> 16, a2 = second & 0xFFFFu, b2 = second >> 16;
    uint64_t n = second_len % mod;
    uint64_t a = (a1 + a2 + mod - 1) % mod;
    uint64_t b = (b1 + b2 + n * ((a1 + mod - 1) % mod)) % mod;
    return (uint32_t)(b << 16 | a);
}

#if QV_DEFLATE_THREADS
struct d_helper {
    d_job *job;
    d_chains *chains;
};

static void *d_helper_main(void *arg) {
    d_helper *h = (d_helper *)arg;
    d_job_run(h->job, h->chains);
    return nullptr;
}
#endif

// Blocks of 64 KiB, or of 1 MiB above 64 MiB of input; segments of four small blocks or one large.
static uint64_t d_block_size(uint64_t src_len) { return src_len <= ((uint64_t)64 << 20) ? 65536u : 1048576u; }
static uint64_t d_segment_size(uint64_t block_size) { return block_size == 65536u ? 4 * block_size : block_size; }

// Encodes src (or, when source is given, what it fills in) as the blocks of the stream s (after its
// header), with up to threads threads; with a source, *adler is set to the Adler-32 of its bytes.
// 0, or -1 when memory ran out.
static int d_emit_all(ds_stream *s, const uint8_t *src, const deflate_source *source, uint64_t src_len,
                      uint64_t block_size, int32_t threads, uint32_t *adler) {
    *adler = 1;
    if (src_len == 0) return d_emit_block(s, nullptr, 0, 1);
    uint64_t segment_size = d_segment_size(block_size);
    uint64_t segments = (src_len - 1) / segment_size + 1;
#if QV_DEFLATE_THREADS
    if (threads > d_max_threads) threads = d_max_threads;
    if ((uint64_t)threads > segments) threads = (int32_t)segments;
#else
    threads = 1;
#endif
    if (source && segments > INT32_MAX) return -1;
    d_chains *own = d_chains_take();
    if (!own) return -1;
    if (!source && (threads < 2 || segments > INT32_MAX)) {
        int rc = 0;
        for (uint64_t at = 0; at < src_len && !s->failed && rc == 0;) {
            uint64_t len = src_len - at < block_size ? src_len - at : block_size;
            rc = d_emit_block_with(own, s, src + at, len, at + len == src_len);
            at += len;
        }
        d_chains_give(own);
        return rc != 0 || s->failed ? -1 : 0;
    }
    d_job job;
    job.src = source ? nullptr : src;
    job.source = source;
    job.adlers = source ? (uint32_t *)calloc((size_t)segments, sizeof(uint32_t)) : nullptr;
    job.src_len = src_len;
    job.block_size = block_size;
    job.segment_size = segment_size;
    job.segments = (int32_t)segments;
    job.out = (ds_stream *)calloc((size_t)segments, sizeof(ds_stream));  // segments < 2^31
    job.next.store(0);
    job.failed.store(0);
    // Each segment's room taken here, by one thread, so that the encoded segments come from this
    // thread's memory and not from every helper's (memory the allocator would keep for each).
    for (int32_t k = 0; job.out && k < job.segments; k++) {
        uint64_t at = (uint64_t)k * segment_size, n = src_len - at < segment_size ? src_len - at : segment_size;
        ds_reserve(&job.out[k], n + n / 8 + 1024);
    }
    if (!job.out || (source && !job.adlers)) {
        free(job.out);
        free(job.adlers);
        d_chains_give(own);
        return -1;
    }
    int rc = 0;
#if QV_DEFLATE_THREADS
    pthread_t ids[d_max_threads];
    d_helper helpers[d_max_threads];
    int32_t started = 0;
    pthread_attr_t attr;
    int have_attr = pthread_attr_init(&attr) == 0;
    if (have_attr) pthread_attr_setstacksize(&attr, (size_t)1 << 20);  // the encoder needs little
    // Fewer helpers, or none, when chains or threads run out: the calling thread takes what is left.
    for (int32_t t = 1; t < threads; t++) {
        helpers[started].job = &job;
        helpers[started].chains = d_chains_take();
        if (!helpers[started].chains) break;
        if (pthread_create(&ids[started], have_attr ? &attr : nullptr, d_helper_main, &helpers[started]) != 0) {
            d_chains_give(helpers[started].chains);
            break;
        }
        started++;
    }
    if (have_attr) pthread_attr_destroy(&attr);
    d_job_run(&job, own);
    for (int32_t t = 0; t < started; t++) {
        pthread_join(ids[t], nullptr);
        d_chains_give(helpers[t].chains);
    }
#else
    d_job_run(&job, own);
#endif
    d_chains_give(own);
    if (job.failed.load()) rc = -1;
    uint64_t total = 0;
    for (int32_t k = 0; k < job.segments && rc == 0; k++) total += job.out[k].size + 1;  // < src_len * 2
    if (rc == 0 && ds_reserve(s, total + 16) != 0) rc = -1;
    for (int32_t k = 0; k < job.segments; k++) {
        if (rc == 0 && ds_append(s, &job.out[k]) != 0) rc = -1;
        free(job.out[k].data);
    }
    free(job.out);
    if (source) {
        for (int32_t k = 0; k < job.segments && rc == 0; k++) {
            uint64_t at = (uint64_t)k * segment_size;
            uint64_t n = src_len - at < segment_size ? src_len - at : segment_size;
            *adler = qv_adler32_combine(*adler, job.adlers[k], n);
        }
        free(job.adlers);
    }
    return rc;
}

// qv_deflate_after of src, or of what source gives when src is null.
static int d_deflate(const uint8_t *src, const deflate_source *source, uint64_t src_len, uint64_t prefix,
                     uint8_t **dst, uint64_t *dst_len, int32_t threads) {
    if ((!src && !source && src_len > 0) || !dst || !dst_len || prefix > ds_first_capacity / 2) return -1;
    ds_stream s;
    memset(&s, 0, sizeof s);
    // Room for a small input stored (a caller may keep the buffer as its file: no 1 MiB for a
    // small image), at most ds_first_capacity; more is added as the stream grows.
    uint64_t first = src_len < ds_first_capacity ? prefix + src_len + src_len / 8 + 64 : ds_first_capacity;
    if (first > ds_first_capacity) first = ds_first_capacity;
    s.data = (uint8_t *)malloc((size_t)first);
    if (!s.data) return -1;
    s.capacity = first;
    s.size = prefix;  // the caller's bytes, written later

    ds_put(&s, 0x78, 8);  // RFC 1950: CM 8, CINFO 7 (32 KiB window)
    ds_put(&s, 0x01, 8);  // FLEVEL 0, no dictionary; 0x7801 is a multiple of 31

    uint64_t block_size = d_block_size(src_len);
    uint32_t adler = 1;
    if (d_emit_all(&s, src, source, src_len, block_size, threads, &adler) != 0) goto fail;
    if (!source) adler = qv_adler32(src, src_len);
    if (s.bit_count > 0) ds_put(&s, 0, 8 - s.bit_count);  // the last byte, high bits zero
    s.bit_buf = 0;
    s.bit_count = 0;
    for (int32_t shift = 24; shift >= 0; shift -= 8) ds_put(&s, (adler >> shift) & 0xFFu, 8);
    if (s.failed) goto fail;
    *dst = s.data;
    *dst_len = s.size;
    return 0;
fail:
    free(s.data);
    return -1;
}

int qv_deflate_after(const uint8_t *src, uint64_t src_len, uint64_t prefix, uint8_t **dst, uint64_t *dst_len,
                     int32_t threads) {
    return d_deflate(src, nullptr, src_len, prefix, dst, dst_len, threads);
}

int qv_deflate_source(const deflate_source *source, uint64_t prefix, uint8_t **dst, uint64_t *dst_len,
                      int32_t threads) {
    if (!source || !source->fill) return -1;
    uint64_t n = source->len;
    if (n > d_segment_size(d_block_size(n))) return d_deflate(nullptr, source, n, prefix, dst, dst_len, threads);
    // One segment: filled once and encoded as bytes in memory, without the segments' machinery.
    uint8_t *bytes = (uint8_t *)malloc(n ? (size_t)n : 1);
    if (!bytes) return -1;
    source->fill(source->ctx, 0, n, bytes);
    int rc = d_deflate(bytes, nullptr, n, prefix, dst, dst_len, threads);
    free(bytes);
    return rc;
}

int qv_deflate_threads(const uint8_t *src, uint64_t src_len, uint8_t **dst, uint64_t *dst_len, int32_t threads) {
    return d_deflate(src, nullptr, src_len, 0, dst, dst_len, threads);
}

int32_t qv_deflate_thread_count() {
    int32_t threads = 1;
#if QV_DEFLATE_THREADS
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    threads = online < 1 ? 1 : online > d_max_threads ? d_max_threads : (int32_t)online;
#endif
    return threads;
}

int qv_deflate(const uint8_t *src, uint64_t src_len, uint8_t **dst, uint64_t *dst_len) {
    return qv_deflate_after(src, src_len, 0, dst, dst_len, qv_deflate_thread_count());
}
