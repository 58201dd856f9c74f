// codec/outbuf.h - a decoder's growable output: the buffer grows as the output grows (doubling),
// never past a limit the caller sets, so what a stream takes follows what it decodes to, not a
// ratio to its input. Shared by the decoders that can write into it (inflate_grow, lzw_grow).
#ifndef QV_CODEC_OUTBUF_H
#define QV_CODEC_OUTBUF_H
#include <cstdint>
#include <cstdlib>

// First storage of an output that starts empty; it then doubles.
const uint64_t outbuf_first_cap = 4096;

// data (malloc'd, owned by whoever holds the struct) holds len bytes in cap; the output never
// passes max bytes. cut: the decoder stopped at max with more output to come (the bytes up to max
// are right). no_memory: a growth failed (data and len are kept as they were). All zero but max is
// an empty output.
struct qv_outbuf {
    uint8_t *data;
    uint64_t len;
    uint64_t cap;
    uint64_t max;
    int cut;
    int no_memory;
};

// Room for n more bytes after len, grown when needed: the room there is afterwards, which is less
// than n only at max or when memory ran out (no_memory set).
inline uint64_t outbuf_reserve(qv_outbuf *o, uint64_t n) {
    uint64_t room = o->cap - o->len;
    if (room >= n || o->cap >= o->max || o->no_memory) return room;
    uint64_t want = o->max - o->len < n ? o->max : o->len + n;  // at most max
    uint64_t cap = o->cap ? o->cap : outbuf_first_cap;
    while (cap < want) cap = cap > o->max / 2 ? o->max : cap * 2;
    if (cap > o->max) cap = o->max;
    void *t = realloc(o->data, (size_t)(cap ? cap : 1));
    if (!t) {
        o->no_memory = 1;
        return room;
    }
    o->data = (uint8_t *)t;
    o->cap = cap;
    return cap - o->len;
}

// Releases the storage; all fields but max zero.
inline void outbuf_free(qv_outbuf *o) {
    free(o->data);
    uint64_t max = o->max;
    *o = qv_outbuf{nullptr, 0, 0, max, 0, 0};
}

#endif
