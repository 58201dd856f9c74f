// Tests of codec/flate: the encoder's parse and block layout (read back with a test-side DEFLATE
// reader that records every symbol), its code builder, round trips through zlib and both of the
// library's inflaters, and the raw DEFLATE stream inflater on zlib output and hand-built streams.
#include "codec/flate.h"
#include "codec/inflate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define FLATE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FLATE_TEST_ASAN 1
#endif
#endif

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

typedef std::vector<uint8_t> bytes;

// ---- test-side DEFLATE tools ----------------------------------------------------------------

// Bits out least significant first; Huffman codes most significant bit first (RFC 1951 3.1.1).
struct bit_writer {
    bytes out;
    uint32_t acc = 0;
    int n = 0;
    void put(uint32_t v, int bits) {
        for (int i = 0; i < bits; i++) {
            acc |= ((v >> i) & 1u) << n;
            if (++n == 8) out.push_back((uint8_t)acc), acc = 0, n = 0;
        }
    }
    void code(uint32_t c, int len) {
        for (int i = len - 1; i >= 0; i--) put((c >> i) & 1u, 1);
    }
    void align() {
        if (n) out.push_back((uint8_t)acc), acc = 0, n = 0;
    }
    bytes done() {
        align();
        return out;
    }
};

// RFC 1951 3.2.2: canonical codes for the given lengths.
static std::vector<uint32_t> canonical(const std::vector<int> &lens) {
    int count[16] = {0};
    for (int l : lens) count[l]++;
    count[0] = 0;
    uint32_t next[16] = {0}, code = 0;
    for (int b = 1; b < 16; b++) next[b] = code = (code + (uint32_t)count[b - 1]) << 1;
    std::vector<uint32_t> codes(lens.size());
    for (size_t s = 0; s < lens.size(); s++)
        if (lens[s]) codes[s] = next[lens[s]]++;
    return codes;
}

// A dynamic block header whose code-length code gives symbols 0..15 four bits each, so that every
// length is sent as itself with no repeat codes.
static void put_dynamic_header(bit_writer &w, int final, const std::vector<int> &lit, const std::vector<int> &dist) {
    w.put((uint32_t)final, 1);
    w.put(2, 2);
    w.put((uint32_t)(lit.size() - 257), 5);
    w.put((uint32_t)(dist.size() - 1), 5);
    w.put(15, 4);  // all 19 code-length lengths
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (int k = 0; k < 19; k++) w.put(order[k] < 16 ? 4 : 0, 3);
    for (int l : lit) w.code((uint32_t)l, 4);
    for (int l : dist) w.code((uint32_t)l, 4);
}

// One symbol as read back: length 0 and a byte, or a match.
struct sym {
    int length, value;
    bool operator==(const sym &o) const { return length == o.length && value == o.value; }
};
struct block_trace {
    int final = 0, hlit = 0, hdist = 0, hclen = 0;
    std::vector<int> lit_lens, dist_lens;
    std::vector<std::pair<int, int>> cl_syms;  // code-length symbol, extra value
    std::vector<sym> syms;
    size_t out_start = 0, out_end = 0;  // bytes of the output this block produced
};
struct stream_trace {
    bool ok = false;
    std::vector<block_trace> blocks;
    bytes out;
    uint32_t adler = 0;
};

// Reads a zlib stream that must consist of dynamic blocks only, as the encoder writes them.
struct trace_reader {
    const bytes &in;
    size_t pos = 2;
    uint32_t acc = 0;
    int n = 0;
    bool bad = false;
    explicit trace_reader(const bytes &b) : in(b) {}
    uint32_t bits(int k) {
        uint32_t v = 0;
        for (int i = 0; i < k; i++) {
            if (n == 0) {
                if (pos >= in.size()) return bad = true, 0;
                acc = in[pos++], n = 8;
            }
            v |= (acc & 1u) << i, acc >>= 1, n--;
        }
        return v;
    }
    // Symbol by code: key (1 << length) | code, so codes of different lengths never collide.
    static std::vector<int> table(const std::vector<int> &lens) {
        std::vector<int> t((size_t)1 << 16, -1);
        std::vector<uint32_t> codes = canonical(lens);
        for (size_t s = 0; s < lens.size(); s++)
            if (lens[s]) t[(1u << lens[s]) | codes[s]] = (int)s;
        return t;
    }
    int decode(const std::vector<int> &t) {
        uint32_t code = 0;
        for (int l = 1; l <= 15 && !bad; l++) {
            code = code << 1 | bits(1);
            if (t[(1u << l) | code] >= 0) return t[(1u << l) | code];
        }
        bad = true;
        return -1;
    }
};

static const int t_len_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const int t_len_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const int t_dist_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const int t_dist_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

static stream_trace trace(const bytes &z) {
    stream_trace t;
    if (z.size() < 6 || z[0] != 0x78 || z[1] != 0x01) return t;
    trace_reader r(z);
    for (;;) {
        block_trace b;
        b.out_start = t.out.size();
        b.final = (int)r.bits(1);
        if (r.bits(2) != 2) return t;
        b.hlit = (int)r.bits(5), b.hdist = (int)r.bits(5), b.hclen = (int)r.bits(4);
        static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        std::vector<int> cl(19, 0);
        for (int k = 0; k < b.hclen + 4; k++) cl[order[k]] = (int)r.bits(3);
        std::vector<int> lens, cl_table = trace_reader::table(cl);
        size_t total = (size_t)(b.hlit + 257 + b.hdist + 1);
        while (lens.size() < total && !r.bad) {
            int s = r.decode(cl_table), extra = 0;
            if (s < 16) lens.push_back(s);
            else if (s == 16) extra = (int)r.bits(2), lens.insert(lens.end(), (size_t)(3 + extra), lens.back());
            else if (s == 17) extra = (int)r.bits(3), lens.insert(lens.end(), (size_t)(3 + extra), 0);
            else extra = (int)r.bits(7), lens.insert(lens.end(), (size_t)(11 + extra), 0);
            b.cl_syms.push_back({s, extra});
        }
        if (r.bad || lens.size() != total) return t;
        b.lit_lens.assign(lens.begin(), lens.begin() + b.hlit + 257);
        b.dist_lens.assign(lens.begin() + b.hlit + 257, lens.end());
        std::vector<int> lit_table = trace_reader::table(b.lit_lens), dist_table = trace_reader::table(b.dist_lens);
        for (;;) {
            int s = r.decode(lit_table);
            if (r.bad) return t;
            if (s < 256) {
                b.syms.push_back({0, s});
                t.out.push_back((uint8_t)s);
                continue;
            }
            if (s == 256) break;
            int len = t_len_base[s - 257] + (int)r.bits(t_len_extra[s - 257]);
            int d = r.decode(dist_table);
            if (r.bad) return t;
            int dist = t_dist_base[d] + (int)r.bits(t_dist_extra[d]);
            if ((size_t)dist > t.out.size()) return t;
            for (int k = 0; k < len; k++) t.out.push_back(t.out[t.out.size() - (size_t)dist]);
            b.syms.push_back({len, dist});
        }
        b.out_end = t.out.size();
        t.blocks.push_back(b);
        if (b.final) break;
    }
    if (r.pos + 4 != z.size()) return t;  // one padding byte at most, then the trailer
    t.adler = (uint32_t)z[r.pos] << 24 | (uint32_t)z[r.pos + 1] << 16 | (uint32_t)z[r.pos + 2] << 8 | z[r.pos + 3];
    t.ok = true;
    return t;
}

static bytes deflate_bytes(const bytes &in) {
    uint8_t *z = nullptr;
    uint64_t zlen = 0;
    EXPECT_EQ(0, qv_deflate(in.data(), in.size(), &z, &zlen));
    bytes out(z, z + zlen);
    free(z);
    return out;
}

static uint32_t ref_adler(const bytes &in) {
    uint64_t a = 1, b = 0;
    for (uint8_t c : in) a = (a + c) % 65521, b = (b + a) % 65521;
    return (uint32_t)(b << 16 | a);
}

static bytes noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes b(n);
    for (uint8_t &c : b) c = (uint8_t)(rng() >> 24);
    return b;
}

// ---- encoder: framing and parse ------------------------------------------------------------------

TEST(Deflate, EmptyInputIsOneEndOfBlockOnly) {
    bytes z = deflate_bytes({});
    const bytes want = {0x78, 0x01, 0x05, 0xc1, 0x81, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x10, 0xff, 0xd5, 0x08, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(want, z);
    stream_trace t = trace(z);
    ASSERT_TRUE(t.ok);
    ASSERT_EQ(1u, t.blocks.size());
    const block_trace &b = t.blocks[0];
    EXPECT_EQ(1, b.final);
    EXPECT_EQ(0, b.hlit);   // leaves 0 and 256 got one-bit codes
    EXPECT_EQ(1, b.hdist);  // two forced distance codes
    EXPECT_TRUE(b.syms.empty());
    EXPECT_EQ(1, b.lit_lens[0]);
    EXPECT_EQ(1, b.lit_lens[256]);
    EXPECT_EQ((std::vector<int>{1, 1}), b.dist_lens);
    const std::vector<std::pair<int, int>> cl = {{1, 0}, {18, 127}, {18, 106}, {1, 0}, {1, 0}, {1, 0}};
    EXPECT_EQ(cl, b.cl_syms);  // 1, 138 zeros, 117 zeros, 1; then the distances 1, 1
}

struct parse_case {
    const char *name;
    bytes input;
    std::vector<sym> want;
};

static bytes repeat(const std::string &unit, size_t n) {
    bytes b;
    while (b.size() < n) b.push_back((uint8_t)unit[b.size() % unit.size()]);
    return b;
}

TEST(Deflate, ParseChoices) {
    const parse_case cases[] = {
        {"two bytes", {'a', 'b'}, {{0, 'a'}, {0, 'b'}}},
        {"three different bytes", {'a', 'b', 'c'}, {{0, 'a'}, {0, 'b'}, {0, 'c'}}},
        {"three equal bytes are no run", {7, 7, 7}, {{0, 7}, {0, 7}, {0, 7}}},
        {"four equal bytes", {7, 7, 7, 7}, {{0, 7}, {3, 1}}},
        {"1000 equal bytes", bytes(1000, 0x41), {{0, 0x41}, {258, 1}, {258, 1}, {258, 1}, {225, 1}}},
        {"RGBA pixels", repeat("RGBA", 1000), {{0, 'R'}, {0, 'G'}, {0, 'B'}, {0, 'A'}, {258, 4}, {258, 4}, {258, 4}, {222, 4}}},
        {"period 4 needs 8 bytes left", bytes{'x', 'R', 'G', 'B', 'A', 'R', 'G', 'B', 'A', 'R', 'G', 'B'},
         {{0, 'x'}, {0, 'R'}, {0, 'G'}, {0, 'B'}, {0, 'A'}, {7, 4}}},  // a chain match instead
        {"nearest of equal lengths", bytes{'#', 'a', 'b', 'c', 'X', 'a', 'b', 'c', 'Y', 'a', 'b', 'c'},
         {{0, '#'}, {0, 'a'}, {0, 'b'}, {0, 'c'}, {0, 'X'}, {3, 4}, {0, 'Y'}, {3, 4}}},
        {"longer beats nearer", bytes{'#', 'a', 'b', 'c', 'd', 'Q', 'a', 'b', 'c', 'Z', 'a', 'b', 'c', 'd'},
         {{0, '#'}, {0, 'a'}, {0, 'b'}, {0, 'c'}, {0, 'd'}, {0, 'Q'}, {3, 5}, {0, 'Z'}, {4, 9}}},
        {"block start is no chain source", bytes{'x', 'y', 'z', 'x', 'y', 'z'},
         {{0, 'x'}, {0, 'y'}, {0, 'z'}, {0, 'x'}, {0, 'y'}, {0, 'z'}}},
    };
    for (const parse_case &c : cases) {
        SCOPED_TRACE(c.name);
        stream_trace t = trace(deflate_bytes(c.input));
        ASSERT_TRUE(t.ok);
        ASSERT_EQ(1u, t.blocks.size());
        EXPECT_EQ(c.input, t.out);
        ASSERT_EQ(c.want.size(), t.blocks[0].syms.size());
        for (size_t k = 0; k < c.want.size(); k++) {
            EXPECT_EQ(c.want[k].length, t.blocks[0].syms[k].length) << "symbol " << k;
            EXPECT_EQ(c.want[k].value, t.blocks[0].syms[k].value) << "symbol " << k;
        }
    }
}

// A block without matches: its distance code is the two forced one-bit codes.
TEST(Deflate, NoMatchesGiveForcedDistanceCode) {
    stream_trace t = trace(deflate_bytes(bytes{'q', 'w', 'e', 'r', 't', 'y'}));
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(1, t.blocks[0].hdist);
    EXPECT_EQ((std::vector<int>{1, 1}), t.blocks[0].dist_lens);
}

struct block_case {
    const char *name;
    size_t size;
    std::vector<size_t> block_sizes;
};

TEST(Deflate, BlockBoundaries) {
    const block_case cases[] = {
        {"one byte", 1, {1}},
        {"64 KiB - 1", 65535, {65535}},
        {"64 KiB", 65536, {65536}},
        {"64 KiB + 1", 65537, {65536, 1}},
        {"128 KiB + 3", 131075, {65536, 65536, 3}},
    };
    for (const block_case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes in = noise(c.size, 11);
        stream_trace t = trace(deflate_bytes(in));
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(in, t.out);
        ASSERT_EQ(c.block_sizes.size(), t.blocks.size());
        for (size_t k = 0; k < t.blocks.size(); k++) {
            EXPECT_EQ(c.block_sizes[k], t.blocks[k].out_end - t.blocks[k].out_start);
            EXPECT_EQ(k + 1 == t.blocks.size() ? 1 : 0, t.blocks[k].final);
        }
        if (c.size == 65537) {  // the last byte alone: a literal
            ASSERT_EQ(1u, t.blocks[1].syms.size());
            EXPECT_EQ(0, t.blocks[1].syms[0].length);
        }
    }
}

// Above 64 MiB the blocks are 1 MiB; at 64 MiB they are still 64 KiB.
TEST(Deflate, LargeInputUsesMegabyteBlocks) {
    for (size_t size : {(size_t)64 << 20, ((size_t)64 << 20) + 1}) {
        SCOPED_TRACE(size);
        bytes in(size);
        for (size_t k = 0; k < size; k++) in[k] = (uint8_t)(k >> 14);  // runs, so the parse is quick
        bytes z = deflate_bytes(in);
        stream_trace t = trace(z);
        ASSERT_TRUE(t.ok);
        EXPECT_TRUE(in == t.out);
        EXPECT_EQ(ref_adler(in), t.adler);
        size_t block = size > ((size_t)64 << 20) ? (size_t)1 << 20 : 65536;
        ASSERT_EQ((size + block - 1) / block, t.blocks.size());
        EXPECT_EQ(block, t.blocks[0].out_end);
        EXPECT_EQ(size % block ? size % block : block, t.blocks.back().out_end - t.blocks.back().out_start);
    }
}

// Every block starts from empty chains: identical blocks parse identically, and no match
// reaches before its block or farther than 32767 bytes.
TEST(Deflate, BlocksAreIndependent) {
    bytes half = noise(65536, 5);
    for (size_t k = 0; k < half.size(); k += 97) half[k] = half[k / 3];  // some matches
    bytes in = half;
    in.insert(in.end(), half.begin(), half.end());
    stream_trace t = trace(deflate_bytes(in));
    ASSERT_TRUE(t.ok);
    ASSERT_EQ(2u, t.blocks.size());
    EXPECT_TRUE(t.blocks[0].syms == t.blocks[1].syms);
    EXPECT_TRUE(t.blocks[0].lit_lens == t.blocks[1].lit_lens);
    EXPECT_EQ(in, t.out);
}

static void check_distances(const stream_trace &t) {
    for (const block_trace &b : t.blocks) {
        size_t at = 0;  // position within the block
        for (const sym &s : b.syms) {
            if (s.length) {
                EXPECT_LE(s.value, 32767);
                ASSERT_LE((size_t)s.value, at);
                // The first byte of a block is reached only by the run and period-4 rules.
                if ((size_t)s.value == at) EXPECT_TRUE(s.value == 1 || s.value == 4) << "at " << at;
            }
            at += s.length ? (size_t)s.length : 1u;
        }
    }
}

TEST(Deflate, WindowLimit) {
    // A 20-byte pattern, then zeros, then the pattern again at distance 32767 or 32768.
    const bytes pattern = {200, 201, 202, 203, 204, 205, 206, 207, 208, 209,
                           210, 211, 212, 213, 214, 215, 216, 217, 218, 219};
    for (int dist : {32767, 32768}) {
        SCOPED_TRACE(dist);
        bytes in(40000, 0);
        std::copy(pattern.begin(), pattern.end(), in.begin() + 1);
        std::copy(pattern.begin(), pattern.end(), in.begin() + 1 + dist);
        stream_trace t = trace(deflate_bytes(in));
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(in, t.out);
        check_distances(t);
        size_t at = 0;
        const sym *found = nullptr;
        for (const sym &s : t.blocks[0].syms) {
            if (at == (size_t)(1 + dist)) found = &s;
            at += s.length ? (size_t)s.length : 1u;
        }
        ASSERT_NE(nullptr, found);
        if (dist == 32767) {
            EXPECT_EQ(32767, found->value);
            EXPECT_GE(found->length, 20);
        } else {
            EXPECT_EQ(0, found->length);  // out of the window: a literal
        }
    }
}

// The chain walk measures only the first 128 candidates it reaches.
TEST(Deflate, ChainWalkStopsAfter128Candidates) {
    for (int shorter : {127, 128}) {
        SCOPED_TRACE(shorter);
        const std::string tail = "-long-tail-of-the-match";
        std::string text = "#XYZ" + tail;  // position 0 is never a candidate
        for (int k = 0; k < shorter; k++) text += std::string("XYZ") + (char)(0x80 + k);
        size_t last = text.size();
        text += "XYZ" + tail;
        bytes in(text.begin(), text.end());
        stream_trace t = trace(deflate_bytes(in));
        ASSERT_TRUE(t.ok);
        size_t at = 0;
        sym got = {-1, -1};
        for (const sym &s : t.blocks[0].syms) {
            if (at == last) got = s;
            at += s.length ? (size_t)s.length : 1u;
        }
        if (shorter == 127) {
            EXPECT_EQ((int)(3 + tail.size()), got.length);
            EXPECT_EQ((int)last - 1, got.value);
        } else {
            EXPECT_EQ(3, got.length);
            EXPECT_EQ(4, got.value);
        }
    }
}

// Inputs for the output digest: no floating point, so they are the same everywhere.
static std::vector<bytes> digest_inputs() {
    std::vector<bytes> v;
    std::mt19937 rng(2024);
    v.push_back({});
    for (size_t n = 1; n < 24; n++) {
        bytes b(n);
        for (uint8_t &c : b) c = (uint8_t)(rng() % 3);
        v.push_back(b);
    }
    for (int t = 0; t < 24; t++) {
        size_t n = 1 + rng() % 200000;
        bytes b(n);
        for (size_t i = 0; i < n; i++) {
            switch (t % 6) {
            case 0: b[i] = (uint8_t)rng(); break;
            case 1: b[i] = (uint8_t)(rng() % 4); break;
            case 2: b[i] = i / 4 % 500 == 0 ? (uint8_t)rng() : (uint8_t)"RGBA"[i % 4]; break;
            case 3: b[i] = (uint8_t)"the quick brown fox jumps over the lazy dog. "[i * 13 / 7 % 45]; break;
            case 4: b[i] = i % 4 == 3 ? 255 : (uint8_t)(i / 4 % 2000 / 8 + i / 8000 + rng() % 5); break;
            default: b[i] = (uint8_t)(rng() % 16 * 17); break;
            }
        }
        v.push_back(b);
    }
    std::string words;
    static const char *w[] = {"alpha", "beta", "gamma", "delta", "eps", "zeta", "eta", "theta"};
    while (words.size() < 300000) words += std::string(w[rng() % 8]) + (rng() % 5 ? " " : "\n");
    v.push_back(bytes(words.begin(), words.end()));
    return v;
}

static uint64_t fnv1a(const uint8_t *p, size_t n, uint64_t h) {
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// The encoder's output is fully determined; this digest over fixed inputs was recorded from the
// first, plainest version of the encoder, so any speed-up that changes one byte shows here.
TEST(Deflate, OutputDigestIsStable) {
    uint64_t h = 1469598103934665603ull;
    for (const bytes &in : digest_inputs()) {
        bytes z = deflate_bytes(in);
        h = fnv1a(z.data(), z.size(), h);
    }
    EXPECT_EQ(0xcee6654031c37047ull, h);
}

// ---- round trips through every decoder ------------------------------------------------------------

static bytes rgba_rows(int w, int h, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes b;
    for (int y = 0; y < h; y++) {
        b.push_back((uint8_t)(y % 5));  // filter byte
        for (int x = 0; x < w; x++) {
            bool flat = (x / 16 + y / 16) % 3 != 0;
            b.push_back(flat ? 30 : (uint8_t)(x + y));
            b.push_back(flat ? 60 : (uint8_t)(rng() % 4));
            b.push_back(flat ? 90 : (uint8_t)(x * 3));
            b.push_back(255);
        }
    }
    return b;
}

// Long inputs are encoded in segments by several threads and joined; the bytes must be those of
// one thread, whatever the count and wherever the joins fall within a byte.
TEST(Deflate, ThreadsGiveTheSameBytes) {
    std::vector<std::pair<std::string, bytes>> inputs;
    for (size_t n : {262143u, 262144u, 262145u, 524288u, 600001u, 1500000u}) {
        bytes b = noise(n, (uint32_t)n);
        for (size_t k = 0; k < n; k++)
            if ((k / 3000) % 3) b[k] = (uint8_t)(k / 4 % 300 + k / 9000);  // mixed, so bits do not align
        inputs.push_back({"mixed " + std::to_string(n), b});
    }
    inputs.push_back({"RGBA rows", rgba_rows(700, 400, 9)});
    inputs.push_back({"zeros", bytes(3000000, 0)});
#ifndef FLATE_TEST_ASAN
    // Above 64 MiB the blocks are 1 MiB and each is a segment of its own.
    bytes big = rgba_rows(4000, 4200, 10);
    big.resize(((size_t)64 << 20) + 1500001);
    inputs.push_back({"64 MiB + 1500001", big});
#endif
    for (const auto &c : inputs) {
        SCOPED_TRACE(c.first);
        const bytes &in = c.second;
        std::vector<bytes> outs;
        for (int32_t threads : {1, 0, 2, 3, 8, 50}) {
            uint8_t *z = nullptr;
            uint64_t zlen = 0;
            ASSERT_EQ(0, qv_deflate_threads(in.data(), in.size(), &z, &zlen, threads));
            outs.push_back(bytes(z, z + zlen));
            free(z);
        }
        outs.push_back(deflate_bytes(in));
        // After a caller's prefix (a PNG's signature and chunk heads): the same stream behind it.
        for (uint64_t prefix : {1u, 41u, 512u << 10}) {
            uint8_t *z = nullptr;
            uint64_t zlen = 0;
            ASSERT_EQ(0, qv_deflate_after(in.data(), in.size(), prefix, &z, &zlen, 2));
            ASSERT_GE(zlen, prefix);
            outs.push_back(bytes(z + prefix, z + zlen));
            free(z);
        }
        // From a source that fills each segment when a thread takes it: the same stream.
        struct filler {
            static void fill(const void *ctx, uint64_t at, uint64_t n, uint8_t *out) {
                const bytes &b = *(const bytes *)ctx;
                if (n) memcpy(out, b.data() + at, (size_t)n);
            }
        };
        deflate_source source = {filler::fill, &in, in.size()};
        for (int32_t threads : {1, 2, 3}) {
            uint8_t *z = nullptr;
            uint64_t zlen = 0;
            ASSERT_EQ(0, qv_deflate_source(&source, 5, &z, &zlen, threads));
            ASSERT_GE(zlen, 5u);
            outs.push_back(bytes(z + 5, z + zlen));
            free(z);
        }
        for (size_t k = 1; k < outs.size(); k++) EXPECT_TRUE(outs[k] == outs[0]) << "variant " << k;
        bytes back(in.size());
        uint64_t got = 0;
        ASSERT_EQ(0, inflate_decompress(outs[0].data(), outs[0].size(), back.data(), back.size(), &got));
        ASSERT_EQ(in.size(), got);
        EXPECT_TRUE(back == in);
    }
}

static std::vector<std::pair<std::string, bytes>> round_trip_inputs() {
    std::vector<std::pair<std::string, bytes>> v;
    v.push_back({"empty", {}});
    v.push_back({"one byte", {0x5a}});
    v.push_back({"noise 1000", noise(1000, 2)});
    v.push_back({"noise 300000", noise(300000, 3)});
    v.push_back({"zeros 100000", bytes(100000, 0)});
    v.push_back({"runs", [] {
                     bytes b;
                     for (int k = 0; b.size() < 200000; k++) b.insert(b.end(), (size_t)(k * 37 % 700), (uint8_t)k);
                     return b;
                 }()});
    v.push_back({"RGBA rows", rgba_rows(300, 200, 4)});
    std::string text;
    for (int k = 0; text.size() < 150000; k++)
        text += "line " + std::to_string(k * 7919 % 1000) + ": the quick brown fox jumps over the lazy dog\n";
    v.push_back({"text", bytes(text.begin(), text.end())});
    v.push_back({"1 MiB + 1", rgba_rows(1000, 262, 6)});
    v.back().second.resize((1u << 20) + 1);
    for (size_t n : {32767u, 32768u, 32769u, 65535u, 65536u, 65537u, 131072u, 131073u}) {
        bytes b = noise(n, (uint32_t)n);
        for (size_t k = 0; k < n; k++)
            if ((k / 1000) % 2) b[k] = (uint8_t)(k % 7);
        v.push_back({"edge " + std::to_string(n), b});
    }
    return v;
}

TEST(Deflate, RoundTrips) {
    for (const auto &c : round_trip_inputs()) {
        SCOPED_TRACE(c.first);
        const bytes &in = c.second;
        bytes z = deflate_bytes(in);
        ASSERT_GE(z.size(), 6u);
        EXPECT_EQ(0x78, z[0]);
        EXPECT_EQ(0x01, z[1]);
        uint32_t adler = ref_adler(in);
        EXPECT_EQ(adler, (uint32_t)z[z.size() - 4] << 24 | (uint32_t)z[z.size() - 3] << 16 |
                             (uint32_t)z[z.size() - 2] << 8 | z[z.size() - 1]);
        stream_trace t = trace(z);
        ASSERT_TRUE(t.ok);
        EXPECT_TRUE(in == t.out);
        check_distances(t);

        bytes back(in.size() + 1, 0xEE);
        int32_t n = qv_inflate(z.data() + 2, z.size() - 6, back.data(), back.size());
        ASSERT_EQ((int32_t)in.size(), n);
        EXPECT_TRUE(std::equal(in.begin(), in.end(), back.begin()));
        uint64_t got = 0;
        std::fill(back.begin(), back.end(), 0xEE);
        ASSERT_EQ(0, inflate_decompress(z.data(), z.size(), back.data(), back.size(), &got));
        ASSERT_EQ(in.size(), got);
        EXPECT_TRUE(std::equal(in.begin(), in.end(), back.begin()));
#ifdef HAVE_ZLIB
        uLongf zn = (uLongf)back.size();
        ASSERT_EQ(Z_OK, uncompress(back.data(), &zn, z.data(), (uLong)z.size()));
        ASSERT_EQ(in.size(), (size_t)zn);
        EXPECT_TRUE(std::equal(in.begin(), in.end(), back.begin()));
#endif
    }
}

// ---- code builder and block writer ---------------------------------------------------------------

static std::vector<int> build_lengths(const std::vector<uint32_t> &freq, int max_length, int *max_code = nullptr) {
    std::vector<tree_node> tree(2 * freq.size() + 1);
    memset(tree.data(), 0, tree.size() * sizeof(tree_node));
    for (size_t k = 0; k < freq.size(); k++) tree[k].freq = freq[k];
    tree_heap heap;
    int mc = d_build(&heap, tree.data(), (int32_t)freq.size(), max_length);
    if (max_code) *max_code = mc;
    std::vector<int> lens;
    for (size_t k = 0; k < freq.size(); k++) lens.push_back(tree[k].len);
    // The codes must be the canonical ones for these lengths, bit-reversed.
    std::vector<uint32_t> codes = canonical(lens);
    for (size_t k = 0; k < freq.size(); k++) {
        uint32_t rev = 0;
        for (int b = 0; b < lens[k]; b++) rev |= ((codes[k] >> b) & 1u) << (lens[k] - 1 - b);
        EXPECT_EQ(rev, tree[k].code) << "symbol " << k;
    }
    return lens;
}

// Sum of 2^-len over the codes, in units of 2^-15: 32768 for a complete code.
static uint64_t kraft(const std::vector<int> &lens) {
    uint64_t k = 0;
    for (int l : lens)
        if (l) k += (uint64_t)1 << (15 - l);
    return k;
}

struct build_case {
    const char *name;
    std::vector<uint32_t> freq;
    std::vector<int> want;
    int want_max_code;
};

TEST(CodeBuilder, SmallAlphabets) {
    const build_case cases[] = {
        {"nothing used", {0, 0, 0, 0}, {1, 1, 0, 0}, 1},
        {"only 0 used", {5, 0, 0, 0}, {1, 1, 0, 0}, 1},
        {"only 1 used", {0, 5, 0, 0}, {0, 1, 1, 0}, 2},
        {"only 3 used", {0, 0, 0, 5}, {1, 0, 0, 1}, 3},
        {"leaf leaves the queue before an equal internal node", {1, 1, 2, 2}, {2, 2, 2, 2}, 3},
        {"RFC 1951 3.2.2 shape", {2, 4, 1, 1}, {2, 1, 3, 3}, 3},
    };
    for (const build_case &c : cases) {
        SCOPED_TRACE(c.name);
        int mc = -2;
        EXPECT_EQ(c.want, build_lengths(c.freq, 15, &mc));
        EXPECT_EQ(c.want_max_code, mc);
    }
}

TEST(CodeBuilder, LengthLimitKeepsCodeComplete) {
    struct limit_case {
        const char *name;
        size_t elems;
        int max_length;
        uint32_t seed;  // 0: Fibonacci frequencies
    };
    const limit_case cases[] = {
        {"Fibonacci over 25 literals", 286, 15, 0}, {"Fibonacci over 30 distances", 30, 15, 0},
        {"Fibonacci over 19 code lengths", 19, 7, 0}, {"random skewed literals", 286, 15, 1},
        {"random skewed code lengths", 19, 7, 2},
    };
    for (const limit_case &c : cases) {
        for (int round = 0; round < (c.seed ? 200 : 1); round++) {
            SCOPED_TRACE(c.name);
            std::vector<uint32_t> freq(c.elems, 0);
            if (!c.seed) {
                uint32_t a = 1, b = 1;
                for (size_t k = 0; k < c.elems && k < 30; k++) freq[k] = a, b = a + b, a = b - a;
            } else {
                std::mt19937 rng(c.seed * 1000 + (uint32_t)round);
                for (uint32_t &f : freq)
                    if (rng() % 3) f = 1u << (rng() % 22);
            }
            std::vector<int> lens = build_lengths(freq, c.max_length);
            int longest = 0;
            for (size_t k = 0; k < lens.size(); k++) {
                longest = std::max(longest, lens[k]);
                if (freq[k]) EXPECT_GT(lens[k], 0) << "used symbol " << k << " without a code";
            }
            EXPECT_LE(longest, c.max_length);
            EXPECT_EQ(32768u, kraft(lens));
            if (!c.seed && c.elems > 19) {
                EXPECT_EQ(c.max_length, longest);  // the limit was needed
            }
        }
    }
}

// A run of equal lengths is the length once and repeat code 16; a run continuing the previous
// length sends no extra copy.
TEST(BlockWriter, RepeatCodesForEqualLengths) {
    bytes in;
    for (int k = 'A'; k <= 'O'; k++) in.push_back((uint8_t)k);  // 15 literals + end of block: 4 bits each
    stream_trace t = trace(deflate_bytes(in));
    ASSERT_TRUE(t.ok);
    const block_trace &b = t.blocks[0];
    for (int k = 'A'; k <= 'O'; k++) EXPECT_EQ(4, b.lit_lens[(size_t)k]);
    const std::vector<std::pair<int, int>> want = {
        {18, 65 - 11},  // symbols 0..64
        {4, 0},         {16, 3}, {16, 3}, {4, 0}, {4, 0},  // 'A'..'O': 1 + 6 + 6 + 2
        {18, 127},      {18, 27},                          // 80..255
        {4, 0},                                            // end of block
        {1, 0},         {1, 0},                            // distances
    };
    EXPECT_EQ(want, b.cl_syms);
}

// Writes symbols straight through d_write_block and reads them back.
TEST(BlockWriter, WritesGivenSymbols) {
    std::vector<lz_symbol> syms = {{0, 'a'}, {0, 'b'}, {3, 2}, {258, 1}, {10, 3}, {0, 0}};
    tree_node lit[572], dist[61];
    memset(lit, 0, sizeof lit);
    memset(dist, 0, sizeof dist);
    lit[256].freq = 1;
    lit['a'].freq = lit['b'].freq = lit[0].freq = 1;
    lit[257].freq = lit[285].freq = lit[264].freq = 1;
    dist[1].freq = dist[0].freq = dist[2].freq = 1;
    ds_stream s;
    memset(&s, 0, sizeof s);
    ds_put(&s, 0x78, 8);
    ds_put(&s, 0x01, 8);
    d_write_block(&s, syms.data(), syms.size(), lit, dist, 1);
    ASSERT_FALSE(s.failed);
    ASSERT_NE(nullptr, s.data);
    bytes z(s.data, s.data + s.size);
    if (s.bit_count) z.push_back((uint8_t)s.bit_buf);
    free(s.data);
    bytes expect = {'a', 'b'};
    for (int k = 0; k < 3; k++) expect.push_back(expect[expect.size() - 2]);
    for (int k = 0; k < 258; k++) expect.push_back(expect.back());
    for (int k = 0; k < 10; k++) expect.push_back(expect[expect.size() - 3]);
    expect.push_back(0);
    z.insert(z.end(), 4, 0);  // a trailer the reader skips
    stream_trace t = trace(z);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(expect, t.out);
    ASSERT_EQ(syms.size(), t.blocks[0].syms.size());
    EXPECT_EQ(258, t.blocks[0].syms[3].length);
}

TEST(BitStream, PutsLeastSignificantBitFirstAndGrows) {
    ds_stream s;
    memset(&s, 0, sizeof s);
    ds_put(&s, 1, 1);
    ds_put(&s, 2, 2);
    ds_put(&s, 0x1F, 5);  // 1 + 10b<<1 + 11111b<<3
    ds_put(&s, 0x7FFF, 15);
    ASSERT_EQ(2u, s.size);
    EXPECT_EQ(0xFD, s.data[0]);
    EXPECT_EQ(0xFF, s.data[1]);
    EXPECT_EQ(7, s.bit_count);
    EXPECT_EQ(1048576u, s.capacity);
    for (int k = 0; k < 1048576; k++) ds_put(&s, 0, 8);
    EXPECT_EQ(2097152u, s.capacity);
    EXPECT_EQ(1048578u, s.size);
    free(s.data);
}

// A buffer that cannot grow is dropped, and the stream takes no more bytes.
TEST(BitStream, FailedGrowthDropsTheBuffer) {
    ds_stream s;
    memset(&s, 0, sizeof s);
    s.data = (uint8_t *)malloc(1);
    s.capacity = s.size = UINT64_MAX / 2 + 1;  // doubling would wrap
    ds_put(&s, 0xAB, 8);
    EXPECT_EQ(1, s.failed);
    EXPECT_EQ(nullptr, s.data);
    EXPECT_EQ(0u, s.size);
    ds_put(&s, 0xCD, 8);
    EXPECT_EQ(nullptr, s.data);
    EXPECT_EQ(0u, s.size);
}

// Out of memory at any point, first buffer, symbol array or a later growth of the output, gives -1
// with nothing stored. The child process caps its address space a little above what it uses.
TEST(Deflate, OutOfMemoryGivesMinusOne) {
#ifdef FLATE_TEST_ASAN
    GTEST_SKIP() << "the sanitizer's shadow memory does not run under an address space cap";
#else
    // Each child starts afresh: memory the earlier tests freed must not lie ready in the heap.
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    struct oom_case {
        uint64_t margin;
        int want;
    };
    const oom_case cases[] = {
        {64 << 10, -1},   // the first buffer
        {1200 << 10, -1}, // the first buffer fits; little else does
        {3 << 20, -1},    // early growth
        {24 << 20, -1},   // growth from 16 to 32 MiB
        {300 << 20, 0},   // room enough: the cap itself breaks nothing
    };
    for (const oom_case &c : cases) {
        SCOPED_TRACE(c.margin);
        EXPECT_EXIT(
            {
                bytes in = noise((size_t)20 << 20, 8);  // incompressible: the output outgrows 16 MiB
                unsigned long pages = 0;
                FILE *f = fopen("/proc/self/statm", "r");
                if (!f || fscanf(f, "%lu", &pages) != 1) exit(2);
                fclose(f);
                rlimit rl;
                getrlimit(RLIMIT_AS, &rl);
                rl.rlim_cur = (rlim_t)((uint64_t)pages * (uint64_t)sysconf(_SC_PAGESIZE) + c.margin);
                if (setrlimit(RLIMIT_AS, &rl) != 0) exit(3);
                uint8_t *z = (uint8_t *)&pages;
                uint64_t zlen = 7;
                int rc = qv_deflate_threads(in.data(), in.size(), &z, &zlen, 1);
                if (rc != c.want) exit(4);
                if (rc == -1) exit(z == (uint8_t *)&pages && zlen == 7 ? 0 : 5);
                exit(zlen > in.size() ? 0 : 6);
            },
            ::testing::ExitedWithCode(0), "");
    }
    // With threads, memory may run out in a helper, in a segment's stream or in the join: at
    // every cap the result is -1 with nothing stored, or the whole stream.
    EXPECT_EXIT(
        {
            bytes in = noise((size_t)6 << 20, 9);
            for (size_t k = 0; k < in.size(); k += 3) in[k] = (uint8_t)(k / 7000);
            bytes back(in.size());
            unsigned long pages = 0;
            FILE *f = fopen("/proc/self/statm", "r");
            if (!f || fscanf(f, "%lu", &pages) != 1) exit(2);
            fclose(f);
            int failures = 0;
            int successes = 0;
            for (uint64_t margin = 64 << 10; margin < (uint64_t)40 << 20; margin += 1 << 20) {
                rlimit rl;
                getrlimit(RLIMIT_AS, &rl);
                rl.rlim_cur = (rlim_t)((uint64_t)pages * (uint64_t)sysconf(_SC_PAGESIZE) + margin);
                if (setrlimit(RLIMIT_AS, &rl) != 0) exit(3);
                uint8_t *z = (uint8_t *)&pages;
                uint64_t zlen = 7;
                int rc = qv_deflate_threads(in.data(), in.size(), &z, &zlen, 4);
                rl.rlim_cur = rl.rlim_max;
                setrlimit(RLIMIT_AS, &rl);
                if (rc == -1) {
                    if (z != (uint8_t *)&pages || zlen != 7) exit(5);
                    failures++;
                } else {
                    uint64_t got = 0;
                    if (rc != 0 || inflate_decompress(z, zlen, back.data(), back.size(), &got) != 0 ||
                        got != in.size() || back != in)
                        exit(6);
                    free(z);
                    successes++;
                }
            }
            exit(failures > 0 && successes > 0 ? 0 : 7);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}

TEST(Deflate, NullArgumentsRefused) {
    uint8_t *z = nullptr;
    uint64_t zlen = 0;
    EXPECT_EQ(-1, qv_deflate(nullptr, 5, &z, &zlen));
    EXPECT_EQ(-1, qv_deflate((const uint8_t *)"abc", 3, nullptr, &zlen));
    EXPECT_EQ(-1, qv_deflate((const uint8_t *)"abc", 3, &z, nullptr));
    ASSERT_EQ(0, qv_deflate(nullptr, 0, &z, &zlen));  // empty input
    EXPECT_EQ(18u, zlen);
    free(z);
    z = nullptr;
    zlen = 7;
    EXPECT_EQ(-1, qv_deflate_after((const uint8_t *)"abc", 3, (512u << 10) + 1, &z, &zlen, 1)) << "prefix too long";
    EXPECT_EQ(nullptr, z);
    EXPECT_EQ(7u, zlen);
}

// The Adler-32 of two parts joined is that of the whole, wherever the cut (the sums' modulus is
// crossed by long parts and by bytes of 255).
TEST(Deflate, Adler32OfJoinedParts) {
    bytes all = noise(200000, 4);
    bytes ones(70000, 0xFF);
    all.insert(all.end(), ones.begin(), ones.end());
    for (size_t cut : {(size_t)0, (size_t)1, (size_t)5552, (size_t)65521, (size_t)65522, (size_t)199999, all.size()}) {
        SCOPED_TRACE(cut);
        uint32_t a = qv_adler32(all.data(), cut), b = qv_adler32(all.data() + cut, all.size() - cut);
        EXPECT_EQ(qv_adler32(all.data(), all.size()), qv_adler32_combine(a, b, all.size() - cut));
    }
}

TEST(Deflate, OversizedBlockRefused) {
    ds_stream s;
    memset(&s, 0, sizeof s);
    uint8_t byte = 0;
    EXPECT_EQ(-1, d_emit_block(&s, &byte, ((uint64_t)1 << 30) + 1, 1));
    EXPECT_EQ(0u, s.size);
}

// ---- stream inflater ----------------------------------------------------------------------------

static int32_t inflate_into(const bytes &raw, size_t cap, bytes *out = nullptr) {
    bytes buf(cap ? cap : 1, 0xEE);
    int32_t n = qv_inflate(raw.data(), raw.size(), buf.data(), cap);
    if (out) *out = bytes(buf.begin(), buf.begin() + (n > 0 ? n : 0));
    return n;
}

static void put_stored(bit_writer &w, int final, const bytes &data, uint16_t nlen_xor = 0xFFFF) {
    w.put((uint32_t)final, 1);
    w.put(0, 2);
    w.align();
    uint16_t len = (uint16_t)data.size(), nlen = (uint16_t)(len ^ nlen_xor);
    w.put(len, 16);
    w.put(nlen, 16);
    for (uint8_t c : data) w.put(c, 8);
}

// Fixed-code literal (RFC 1951 3.2.6).
static void put_fixed_literal(bit_writer &w, int c) {
    if (c < 144) w.code((uint32_t)(0x30 + c), 8);
    else if (c < 256) w.code((uint32_t)(0x190 + c - 144), 9);
    else if (c < 280) w.code((uint32_t)(c - 256), 7);
    else w.code((uint32_t)(0xC0 + c - 280), 8);
}

struct inflate_case {
    const char *name;
    bytes raw;
    size_t cap;
    int32_t want;
    bytes want_out;
};

static std::vector<inflate_case> inflate_cases() {
    std::vector<inflate_case> v;
    bit_writer w;
    put_stored(w, 1, {'h', 'i'});
    v.push_back({"stored", w.done(), 10, 2, {'h', 'i'}});

    w = bit_writer();
    put_stored(w, 1, {'h', 'i'}, 0xFFFE);
    v.push_back({"stored with bad NLEN", w.done(), 10, -1, {}});

    w = bit_writer();
    put_stored(w, 1, {});
    v.push_back({"stored empty final", w.done(), 0, 0, {}});

    w = bit_writer();
    put_stored(w, 0, {'a'});
    put_stored(w, 1, {'b', 'c'});
    v.push_back({"two stored blocks", w.done(), 3, 3, {'a', 'b', 'c'}});

    w = bit_writer();
    put_stored(w, 1, {'a', 'b', 'c'});
    bytes r = w.done();
    r.resize(r.size() - 1);
    v.push_back({"stored data cut short", r, 10, -1, {}});

    w = bit_writer();
    put_stored(w, 1, {'a', 'b', 'c'});
    v.push_back({"stored over capacity", w.done(), 2, -1, {}});

    w = bit_writer();
    w.put(1, 1), w.put(3, 2);
    v.push_back({"block type 3", w.done(), 10, -1, {}});

    // Fixed block: 'a', then length 258 at distance 1 (symbol 285, distance code 0).
    w = bit_writer();
    w.put(1, 1), w.put(1, 2);
    put_fixed_literal(w, 'a');
    put_fixed_literal(w, 285);
    w.code(0, 5);
    put_fixed_literal(w, 256);
    v.push_back({"fixed 259 copies", w.done(), 259, 259, bytes(259, 'a')});
    v.push_back({"fixed one byte over capacity", v.back().raw, 258, -1, {}});

    // Distance equal to the output count is valid; one more fails.
    for (int dist : {2, 3}) {
        w = bit_writer();
        w.put(1, 1), w.put(1, 2);
        put_fixed_literal(w, 'x');
        put_fixed_literal(w, 'y');
        put_fixed_literal(w, 257);  // length 3
        w.code((uint32_t)(dist - 1), 5);
        put_fixed_literal(w, 256);
        v.push_back({dist == 2 ? "distance = output count" : "distance past output", w.done(), 10,
                     dist == 2 ? 5 : -1, dist == 2 ? bytes{'x', 'y', 'x', 'y', 'x'} : bytes{}});
    }

    w = bit_writer();
    w.put(1, 1), w.put(1, 2);
    put_fixed_literal(w, 286);
    v.push_back({"length symbol 286", w.done(), 10, -1, {}});

    w = bit_writer();
    w.put(1, 1), w.put(1, 2);
    put_fixed_literal(w, 'x');
    put_fixed_literal(w, 257);
    w.code(30, 5);
    v.push_back({"distance symbol 30", w.done(), 10, -1, {}});

    // Dynamic: an incomplete literal/length code of two 2-bit codes ('A' and end of block).
    std::vector<int> lit(257, 0), dist1(1, 0);
    lit['A'] = 2, lit[256] = 2;
    std::vector<uint32_t> lc = canonical(lit);
    w = bit_writer();
    put_dynamic_header(w, 1, lit, dist1);
    w.code(lc['A'], 2), w.code(lc['A'], 2), w.code(lc[256], 2);
    v.push_back({"incomplete literal code", w.done(), 10, 2, {'A', 'A'}});

    w = bit_writer();
    put_dynamic_header(w, 1, lit, dist1);
    w.code(lc['A'], 2);
    w.code(3, 2);  // unassigned, then ones up to 15 bits
    w.put(0x1FFF, 13);
    v.push_back({"unassigned code", w.done(), 10, -1, {}});

    std::vector<int> over(257, 0);
    over['A'] = over['B'] = over[256] = 1;
    w = bit_writer();
    put_dynamic_header(w, 1, over, dist1);
    v.push_back({"over-subscribed literal code", w.done(), 10, -1, {}});

    std::vector<int> no_end(257, 0);
    no_end['A'] = no_end['B'] = 1;
    w = bit_writer();
    put_dynamic_header(w, 1, no_end, dist1);
    w.code(0, 1), w.code(1, 1);
    v.push_back({"no end-of-block code runs out of input", w.done(), 100, -1, {}});

    // Code-length code with only symbols 1 and 18 (incomplete: 2 of 8 codes of 3 bits).
    w = bit_writer();
    w.put(1, 1), w.put(2, 2), w.put(0, 5), w.put(0, 5), w.put(14, 4);
    for (int k = 0; k < 18; k++) w.put(k == 2 || k == 17 ? 3 : 0, 3);  // order: 18 at 2, 1 at 17
    // Canonical: symbol 1 -> 000, symbol 18 -> 001.
    w.code(1, 3), w.put(138 - 11, 7);  // 0..137 zero
    w.code(1, 3), w.put(118 - 11, 7);  // 138..255 zero
    w.code(0, 3), w.code(0, 3);        // 256 and distance 0 lengths
    w.code(0, 1);                      // end of block, the one literal/length code
    v.push_back({"incomplete code-length code", w.done(), 10, 0, {}});

    w = bit_writer();
    w.put(1, 1), w.put(2, 2), w.put(0, 5), w.put(0, 5), w.put(0, 4);
    w.put(1, 3), w.put(1, 3), w.put(0, 3), w.put(1, 3);  // 16, 17 and 0 one bit each: over-subscribed
    v.push_back({"over-subscribed code-length code", w.done(), 10, -1, {}});

    w = bit_writer();
    w.put(1, 1), w.put(2, 2), w.put(0, 5), w.put(0, 5), w.put(0, 4);
    w.put(1, 3), w.put(0, 3), w.put(0, 3), w.put(1, 3);  // 16 -> 0, 0 -> 1
    w.code(0, 1);
    v.push_back({"repeat 16 first", w.done(), 10, -1, {}});

    w = bit_writer();
    w.put(1, 1), w.put(2, 2), w.put(0, 5), w.put(0, 5), w.put(0, 4);
    w.put(0, 3), w.put(1, 3), w.put(1, 3), w.put(0, 3);  // 17 -> 0, 18 -> 1
    w.code(1, 1), w.put(127, 7);
    w.code(1, 1), w.put(127, 7);  // 276 zeros: past 257 + 1
    v.push_back({"repeat past the lengths", w.done(), 10, -1, {}});

    w = bit_writer();
    w.put(1, 1), w.put(2, 2), w.put(30, 5), w.put(0, 5), w.put(0, 4);
    v.push_back({"HLIT 30", w.done(), 10, -1, {}});

    w = bit_writer();
    put_stored(w, 1, {'z'});
    bytes tail = w.done();
    tail.push_back(0xFF), tail.push_back(0x07);
    v.push_back({"data after the final block ignored", tail, 10, 1, {'z'}});

    v.push_back({"empty input", {}, 10, -1, {}});
    return v;
}

TEST(StreamInflater, HandBuiltStreams) {
    for (const inflate_case &c : inflate_cases()) {
        SCOPED_TRACE(c.name);
        bytes out;
        EXPECT_EQ(c.want, inflate_into(c.raw, c.cap, &out));
        if (c.want >= 0) EXPECT_EQ(c.want_out, out);
    }
}

#ifdef HAVE_ZLIB
static bytes zlib_raw(const bytes &in, int level, int strategy, int mem_level) {
    z_stream z;
    memset(&z, 0, sizeof z);
    EXPECT_EQ(Z_OK, deflateInit2(&z, level, Z_DEFLATED, -15, mem_level, strategy));
    bytes out(deflateBound(&z, (uLong)in.size()) + 64);
    z.next_in = (Bytef *)in.data();
    z.avail_in = (uInt)in.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    EXPECT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TEST(StreamInflater, DecodesZlibRawDeflate) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    std::vector<std::pair<std::string, bytes>> inputs = round_trip_inputs();
    for (int level = 0; level <= 9; level++) {
        for (int strategy : strategies) {
            for (size_t k = 0; k < inputs.size(); k += (level % 3) + 1) {
                const bytes &in = inputs[k].second;
                SCOPED_TRACE(inputs[k].first + " level " + std::to_string(level) + " strategy " +
                             std::to_string(strategy));
                bytes raw = zlib_raw(in, level, strategy, level == 9 ? 1 : 8);
                bytes out;
                ASSERT_EQ((int32_t)in.size(), inflate_into(raw, in.size(), &out));
                EXPECT_TRUE(in == out);
            }
        }
    }
}
#endif

// Every prefix of a stream fails; every one-byte change gives -1 or a count within capacity, and
// a call after a failed one decodes as if alone.
TEST(StreamInflater, TruncationAndMutation) {
    bytes in = rgba_rows(40, 20, 9);
    bytes z = deflate_bytes(in);
    bytes raw(z.begin() + 2, z.end() - 4);
    std::vector<bytes> streams = {raw};
#ifdef HAVE_ZLIB
    streams.push_back(zlib_raw(in, 9, Z_DEFAULT_STRATEGY, 8));
    streams.push_back(zlib_raw(in, 1, Z_FIXED, 8));
    streams.push_back(zlib_raw(in, 0, Z_DEFAULT_STRATEGY, 8));
#endif
    for (size_t s = 0; s < streams.size(); s++) {
        SCOPED_TRACE(s);
        const bytes &good = streams[s];
        bytes out;
        for (size_t len = 0; len < good.size(); len++) {
            bytes cut(good.begin(), good.begin() + len);
            ASSERT_EQ(-1, inflate_into(cut, in.size())) << "prefix " << len;
        }
        for (size_t at = 0; at < good.size(); at++) {
            for (uint8_t flip : {0x01, 0x80, 0xFF}) {
                bytes bad = good;
                bad[at] ^= flip;
                int32_t n = inflate_into(bad, in.size());
                ASSERT_TRUE(n == -1 || (n >= 0 && (size_t)n <= in.size())) << "byte " << at;
            }
            ASSERT_EQ((int32_t)in.size(), inflate_into(good, in.size(), &out));
        }
        EXPECT_EQ(in, out);
    }
}

TEST(StreamInflater, CapacityAboveTwoGigabytesIsClamped) {
    bit_writer w;
    put_stored(w, 1, {'o', 'k'});
    bytes raw = w.done();
    uint8_t buf[2];
    EXPECT_EQ(2, qv_inflate(raw.data(), raw.size(), buf, (uint64_t)1 << 33));
    EXPECT_EQ('o', buf[0]);
}

// ---- the stream inflater against its first, bit-at-a-time version ------------------------------

// The stream inflater as it was before its lookup tables, kept as the reference the table-driven
// one must match: the same result and the same bytes in the whole output buffer, for every input
// and capacity, failures included.
namespace bitwise {
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

// The first version's working state, in file statics reset or rewritten by every call or block
// that uses it: this reference decodes one stream at a time.
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

int32_t inflate(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap) {
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
}  // namespace bitwise

// Both inflaters on the same input and capacity, each into a buffer of 0xEE bytes.
static void expect_same_as_bitwise(const bytes &raw, uint64_t cap) {
    bytes a((size_t)cap + 8, 0xEE), b((size_t)cap + 8, 0xEE);
    int32_t want = bitwise::inflate(raw.data(), raw.size(), b.data(), cap);
    int32_t got = qv_inflate(raw.data(), raw.size(), a.data(), cap);
    ASSERT_EQ(want, got) << "input of " << raw.size() << " bytes, capacity " << cap;
    ASSERT_TRUE(a == b) << "output differs; input of " << raw.size() << " bytes, capacity " << cap;
}

// Every prefix, and single-byte changes at every position (a few of each kind), of one stream.
static void sweep_against_bitwise(const bytes &raw, uint64_t cap, std::mt19937 &rng) {
    for (size_t n = 0; n <= raw.size(); n += 1 + n / 64) {
        expect_same_as_bitwise(bytes(raw.begin(), raw.begin() + (ptrdiff_t)n), cap);
        if (::testing::Test::HasFatalFailure()) return;
    }
    for (size_t at = 0; at < raw.size(); at += 1 + at / 32) {
        bytes bad = raw;
        bad[at] ^= (uint8_t)(1u << (rng() % 8));
        expect_same_as_bitwise(bad, cap);
        bad[at] = (uint8_t)rng();
        expect_same_as_bitwise(bad, cap);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// The fuzz corpus of the stream inflater: first byte b gives the capacity b * 1024 + 1.
TEST(StreamInflaterDifferential, FuzzCorpus) {
    std::string dir = std::string(__FILE__);
    dir = dir.substr(0, dir.find_last_of('/') + 1) + "../fuzz/corpus/flate";
    DIR *d = opendir(dir.c_str());
    if (!d) GTEST_SKIP() << "no corpus at " << dir;
    std::vector<std::string> names;
    while (dirent *ent = readdir(d))
        if (ent->d_name[0] != '.') names.push_back(ent->d_name);
    closedir(d);
    std::mt19937 rng(5);
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        FILE *f = fopen((dir + "/" + name).c_str(), "rb");
        ASSERT_NE(nullptr, f);
        bytes file;
        int c;
        while ((c = fgetc(f)) != EOF) file.push_back((uint8_t)c);
        fclose(f);
        if (file.empty()) continue;
        bytes raw(file.begin() + 1, file.end());
        for (uint64_t cap : {(uint64_t)file[0] * 1024u + 1u, (uint64_t)0, (uint64_t)300, (uint64_t)70000})
            sweep_against_bitwise(raw, cap, rng);
    }
}

TEST(StreamInflaterDifferential, RandomBytes) {
    std::mt19937 rng(11);
    for (int i = 0; i < 30000; i++) {
        bytes raw((size_t)(rng() % 64));
        for (uint8_t &b : raw) b = (uint8_t)rng();
        // Steer most inputs to a fixed or a dynamic block, where the symbol loops are.
        if (!raw.empty() && i % 3 != 0) raw[0] = (uint8_t)((raw[0] & ~6u) | (i % 3 == 1 ? 2u : 4u));
        expect_same_as_bitwise(raw, rng() % 2 ? 64 : 4096);
        if (HasFatalFailure()) return;
    }
}

TEST(StreamInflaterDifferential, EncodedStreams) {
    std::mt19937 rng(3);
    std::vector<bytes> inputs = {noise(5000, 1), rgba_rows(40, 30, 2), repeat("abcabcabd", 3000),
                                 bytes(70000, 'x'), noise(100, 4)};
    for (const bytes &in : inputs) {
        bytes z = deflate_bytes(in);
        bytes raw(z.begin() + 2, z.end() - 4);
        SCOPED_TRACE(in.size());
        for (uint64_t cap : {(uint64_t)in.size(), (uint64_t)in.size() - 1, (uint64_t)in.size() / 2,
                             (uint64_t)in.size() + 300})
            expect_same_as_bitwise(raw, cap);
        sweep_against_bitwise(raw, in.size(), rng);
    }
}

#ifdef HAVE_ZLIB
// Raw DEFLATE from zlib: every level and strategy, fixed and stored blocks, long and short codes.
TEST(StreamInflaterDifferential, ZlibStreams) {
    std::mt19937 rng(9);
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (int round = 0; round < 30; round++) {
        size_t n = (size_t)(rng() % 3 == 0 ? rng() % 300 : rng() % 40000);
        bytes in = round % 3 == 0 ? noise(n, (uint32_t)round) : round % 3 == 1 ? rgba_rows(50, (int)(n / 200) + 1, (uint32_t)round) : repeat("stream 12 0 R /Length ", n / 20 + 1);
        z_stream zs;
        memset(&zs, 0, sizeof zs);
        ASSERT_EQ(Z_OK, deflateInit2(&zs, (int)(rng() % 10), Z_DEFLATED, -15, 1 + (int)(rng() % 9), strategies[rng() % 5]));
        bytes raw(deflateBound(&zs, (uLong)in.size()) + 64);
        zs.next_in = in.data();
        zs.avail_in = (uInt)in.size();
        zs.next_out = raw.data();
        zs.avail_out = (uInt)raw.size();
        ASSERT_EQ(Z_STREAM_END, deflate(&zs, Z_FINISH));
        raw.resize(zs.total_out);
        deflateEnd(&zs);
        SCOPED_TRACE("round " + std::to_string(round));
        expect_same_as_bitwise(raw, in.size());
        expect_same_as_bitwise(raw, in.size() ? in.size() - 1 - rng() % in.size() : 0);
        sweep_against_bitwise(raw, in.size() + 10, rng);
        if (HasFatalFailure()) return;
    }
}
#endif
