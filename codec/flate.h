// codec/flate.h - DEFLATE encoder into zlib streams, and Adler-32.
#ifndef QV_CODEC_FLATE_H
#define QV_CODEC_FLATE_H
#include <cstdint>

// Compresses src[0, src_len) (0 allowed) into a new zlib stream. 0: *dst (malloc'd, caller frees)
// and *dst_len set. -1: out of memory at any point (or a null pointer other than src with
// src_len 0); *dst and *dst_len not written, nothing leaked. Inputs of more than one segment
// (256 KiB) are encoded by as many threads as there are processors online, at most 8; the bytes
// are the same whatever the number of threads. Several threads may call it at once.
int qv_deflate(const uint8_t *src, uint64_t src_len, uint8_t **dst, uint64_t *dst_len);

// Adler-32 of p[0, len) (RFC 1950 8.2): 1 for no bytes.
uint32_t qv_adler32(const uint8_t *p, uint64_t len);

// qv_deflate's stream placed after prefix bytes (at most 512 KiB) that the caller fills in: *dst
// holds prefix + the stream's bytes, *dst_len counts both; the prefix bytes are not written. For an
// encoder that wraps the stream (a PNG's IDAT chunk) without copying it. threads as
// qv_deflate_threads takes them.
int qv_deflate_after(const uint8_t *src, uint64_t src_len, uint64_t prefix, uint8_t **dst, uint64_t *dst_len,
                     int32_t threads);
// Input that is not in memory as one piece (a PNG's rows: each a filter byte, then pixels): fill
// writes its bytes [at, at + n) to out, n at most 1 MiB; it may be called from several threads at
// once, for different ranges.
struct deflate_source {
    void (*fill)(const void *ctx, uint64_t at, uint64_t n, uint8_t *out);
    const void *ctx;
    uint64_t len;  // bytes in all
};
// qv_deflate_after of the bytes source gives: the same stream, each segment filled into a buffer of
// the thread that encodes it, so the whole input is never held at once. 0, or -1 as qv_deflate_after.
int qv_deflate_source(const deflate_source *source, uint64_t prefix, uint8_t **dst, uint64_t *dst_len,
                      int32_t threads);
// The Adler-32 of two parts one after the other, from each part's and the second's length.
uint32_t qv_adler32_combine(uint32_t first, uint32_t second, uint64_t second_len);
// The threads qv_deflate uses: as many as processors online, at most 8 (1 without threads).
int32_t qv_deflate_thread_count();

// ---- For tests and the library's own code: the encoder's parts. ----

// qv_deflate with at most threads threads (below 2: the calling thread alone). When a thread
// cannot be started, the threads already running take its share.
int qv_deflate_threads(const uint8_t *src, uint64_t src_len, uint8_t **dst, uint64_t *dst_len, int32_t threads);

// Output bit stream over a growable heap buffer; the next bit to go out is bit 0 of bit_buf.
struct ds_stream {
    uint32_t bit_buf;
    int32_t bit_count;  // pending bits, 0..7 between calls of ds_put
    uint8_t *data;      // heap; null once the stream has failed
    uint64_t size;      // bytes written
    uint64_t capacity;  // bytes allocated
    int32_t failed;     // 1 once data could not grow: data freed, every later ds_put ignored
};

// One node of a Huffman tree: leaves first (one per symbol), internal nodes after them.
struct tree_node {
    uint32_t freq;   // leaf frequency, or the sum of the children
    int16_t len;     // code length; 0 for a leaf without a code; -1 as the end guard of a length list
    uint16_t code;   // bit-reversed, so ds_put sends its first bit first
    int16_t parent;
};

// Workspace of d_build. heap[1..heap_len] is the queue; heap[heap_max..574] the removed nodes.
struct tree_heap {
    int32_t heap[575];
    int32_t heap_len;
    int32_t heap_max;
    int32_t max_code;
    int16_t depth[576];  // height of the subtree below each node
};

// One parsed symbol: length 0 and the byte, or a match of length 3..258 at distance 1..32767.
struct lz_symbol {
    uint16_t length;
    uint16_t value;
};

// Appends the low n bits (1..15) of value, first bit = bit 0. Grows data by doubling; when it
// cannot, the stream fails (see ds_stream).
void ds_put(ds_stream *stream, uint32_t value, int32_t n);

// Length-limited canonical Huffman code (at most max_length bits) for leaves 0..elems-1 of tree
// (their freq set, everything else zeroed). Sets len and code of the leaves; alphabets with fewer
// than two used symbols get forced codes. Returns max_code, the largest symbol given a code.
int32_t d_build(tree_heap *heap, tree_node *tree, int32_t elems, int32_t max_length);

// Writes one dynamic Huffman block (RFC 1951 BTYPE 2) of count symbols. lit_tree (572 nodes) and
// dist_tree (61 nodes) arrive zeroed but for the leaf frequencies, leaf 256 counted once for the
// end of block; they are consumed. final: BFINAL.
void d_write_block(ds_stream *stream, const lz_symbol *symbols, uint64_t count, tree_node *lit_tree,
                   tree_node *dist_tree, int32_t final);

// Parses block[0, block_len) (at most 2^30 bytes) greedily, with no match reaching outside it,
// and writes it with d_write_block. 0, or -1 when its symbol array cannot be allocated (nothing
// written).
int d_emit_block(ds_stream *stream, const uint8_t *block, uint64_t block_len, int32_t final);

#endif
