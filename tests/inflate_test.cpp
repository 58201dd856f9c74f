// Tests of the zlib stream decoder and the PNG row unfilter.
#include "codec/inflate.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

typedef std::vector<uint8_t> bytes;

// ---------------------------------------------------------------------------------------------
// Test-side DEFLATE writer: fields LSB first, Huffman codes MSB first (RFC 1951 3.1.1).

struct bit_writer {
    bytes out;
    uint32_t acc = 0;
    int n = 0;
    void put(uint32_t v, int nb) {
        for (int i = 0; i < nb; i++) {
            acc |= ((v >> i) & 1u) << n;
            if (++n == 8) {
                out.push_back((uint8_t)acc);
                acc = 0;
                n = 0;
            }
        }
    }
    void huff(uint32_t code, int len) {
        for (int i = len - 1; i >= 0; i--) put((code >> i) & 1u, 1);
    }
    void align() {
        if (n) put(0, 8 - n);
    }
    void byte(uint8_t b) { put(b, 8); }
    bytes zlib(bool trailer = false) {  // zlib header, the data, optionally a zero Adler-32
        bytes r = {0x78, 0x9c};
        r.insert(r.end(), out.begin(), out.end());
        if (n) r.push_back((uint8_t)acc);
        if (trailer) r.insert(r.end(), 4, 0);
        return r;
    }
};

// Canonical codes from code lengths (RFC 1951 3.2.2).
static std::vector<uint32_t> canon(const std::vector<int> &lens) {
    int bl_count[16] = {};
    for (int l : lens) bl_count[l]++;
    bl_count[0] = 0;
    uint32_t next[16] = {};
    uint32_t code = 0;
    for (int b = 1; b < 16; b++) {
        code = (code + (uint32_t)bl_count[b - 1]) << 1;
        next[b] = code;
    }
    std::vector<uint32_t> codes(lens.size());
    for (size_t i = 0; i < lens.size(); i++)
        if (lens[i]) codes[i] = next[lens[i]]++;
    return codes;
}

static const int t_lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const int t_lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const int t_dbase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const int t_dext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

static void fixed_sym(bit_writer &w, int sym) {  // RFC 1951 3.2.6
    if (sym < 144) w.huff(0x30u + (uint32_t)sym, 8);
    else if (sym < 256) w.huff(0x190u + (uint32_t)(sym - 144), 9);
    else if (sym < 280) w.huff((uint32_t)(sym - 256), 7);
    else w.huff(0xc0u + (uint32_t)(sym - 280), 8);
}

static void fixed_len(bit_writer &w, int len) {  // a length 3..258: symbol, then extra bits
    int s = 28;
    while (t_lbase[s] > len) s--;
    fixed_sym(w, 257 + s);
    w.put((uint32_t)(len - t_lbase[s]), t_lext[s]);
}

static void fixed_dist(bit_writer &w, int dist) {
    int s = 29;
    while (t_dbase[s] > dist) s--;
    w.huff((uint32_t)s, 5);
    w.put((uint32_t)(dist - t_dbase[s]), t_dext[s]);
}

// A dynamic block header. HCLEN is always 15 (all 19 code-length lengths written); items are
// code-length symbols with the value of their extra bits.
struct cl_item { int sym; int extra; };
static void dyn_header(bit_writer &w, int nlen, int ndist, const std::vector<int> &cl_lens,
                       const std::vector<cl_item> &items) {
    static const int ord[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w.put((uint32_t)(nlen - 257), 5);
    w.put((uint32_t)(ndist - 1), 5);
    w.put(15, 4);
    for (int i = 0; i < 19; i++) w.put((uint32_t)cl_lens[(size_t)ord[i]], 3);
    std::vector<uint32_t> codes = canon(cl_lens);
    for (const cl_item &it : items) {
        w.huff(codes[(size_t)it.sym], cl_lens[(size_t)it.sym]);
        if (it.sym == 16) w.put((uint32_t)it.extra, 2);
        if (it.sym == 17) w.put((uint32_t)it.extra, 3);
        if (it.sym == 18) w.put((uint32_t)it.extra, 7);
    }
}

// A code-length code in which 0..15 all have 4-bit codes (complete), 16..18 none.
static std::vector<int> plain_cl() {
    std::vector<int> cl(19, 0);
    for (int i = 0; i < 16; i++) cl[(size_t)i] = 4;
    return cl;
}

// Header of a dynamic block whose lengths are all written as plain symbols 0..15.
static void dyn_plain(bit_writer &w, const std::vector<int> &lit, const std::vector<int> &dist) {
    std::vector<cl_item> items;
    for (int l : lit) items.push_back({l, 0});
    for (int l : dist) items.push_back({l, 0});
    dyn_header(w, (int)lit.size(), (int)dist.size(), plain_cl(), items);
}

struct result {
    int rc;
    uint64_t len;
    bytes out;
};

static result run(const bytes &src, uint64_t cap) {
    result r;
    r.out.assign((size_t)cap + 1, 0xee);
    r.len = 12345;
    r.rc = inflate_decompress(src.data(), src.size(), r.out.data(), cap, &r.len);
    r.out.resize((size_t)(r.rc == 0 ? r.len : 0));
    return r;
}

static bytes str_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

// ---------------------------------------------------------------------------------------------
// Header and entry checks

TEST(Inflate, ShortInputRefused) {
    uint8_t buf[4];
    uint64_t len = 99;
    const uint8_t src[2] = {0x78, 0x9c};
    EXPECT_EQ(-1, inflate_decompress(src, 0, buf, sizeof buf, &len));
    EXPECT_EQ(0u, len);
    len = 99;
    EXPECT_EQ(-1, inflate_decompress(src, 1, buf, sizeof buf, &len));
    EXPECT_EQ(0u, len);
    // Two header bytes and nothing else: the first block header is missing.
    EXPECT_EQ(-1, inflate_decompress(src, 2, buf, sizeof buf, &len));
}

static bytes empty_fixed_stream(uint8_t cmf, uint8_t flg) {
    bit_writer w;
    w.put(1, 1);
    w.put(1, 2);
    fixed_sym(w, 256);
    bytes z = w.zlib();
    z[0] = cmf;
    z[1] = flg;
    return z;
}

TEST(Inflate, HeaderChecks) {
    struct hcase { const char *name; uint8_t cmf, flg; int want; };
    static const hcase cases[] = {
        {"usual 78 9c", 0x78, 0x9c, 0},
        {"wrong FCHECK accepted", 0x78, 0x00, 0},
        {"CINFO 15 accepted", 0xf8, 0x00, 0},
        {"CINFO 0 accepted", 0x08, 0x1d, 0},
        {"FDICT refused", 0x78, 0xbb, -1},
        {"FDICT alone refused", 0x78, 0x20, -1},
        {"CM 7 refused", 0x77, 0x9c, -1},
        {"CM 15 refused", 0x7f, 0x9c, -1},
        {"raw deflate refused (no header)", 0x03, 0x00, -1},
    };
    for (const hcase &c : cases) {
        SCOPED_TRACE(c.name);
        result r = run(empty_fixed_stream(c.cmf, c.flg), 16);
        EXPECT_EQ(c.want, r.rc);
        EXPECT_EQ(0u, r.len);
    }
}

TEST(Inflate, CapacityLimit) {
    bit_writer w;
    w.put(1, 1);
    w.put(1, 2);
    fixed_sym(w, 'x');
    fixed_sym(w, 256);
    bytes z = w.zlib();
    std::vector<uint8_t> buf(8);
    uint64_t len = 7;
    // The decoder writes only what it produces, so a small buffer may claim a large capacity.
    EXPECT_EQ(0, inflate_decompress(z.data(), z.size(), buf.data(), 1ull << 30, &len));
    EXPECT_EQ(1u, len);
    len = 7;
    buf[0] = 0;
    EXPECT_EQ(-1, inflate_decompress(z.data(), z.size(), buf.data(), (1ull << 30) + 1, &len));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(0, buf[0]);  // refused before any byte was decoded
    // A null out-length is tolerated.
    EXPECT_EQ(0, inflate_decompress(z.data(), z.size(), buf.data(), 8, nullptr));
}

// ---------------------------------------------------------------------------------------------
// Hand-built streams

// "abcabcabc" as literals a b c, then length 6 distance 3; then the end-of-block code.
static bytes abc_fixed(bool final_block = true) {
    bit_writer w;
    w.put(final_block ? 1 : 0, 1);
    w.put(1, 2);
    fixed_sym(w, 'a');
    fixed_sym(w, 'b');
    fixed_sym(w, 'c');
    fixed_len(w, 6);
    fixed_dist(w, 3);
    fixed_sym(w, 256);
    return w.zlib();
}

TEST(Inflate, TrailerNotRead) {
    bytes z = abc_fixed();
    struct tcase { const char *name; bytes tail; };
    const tcase cases[] = {
        {"no trailer", {}},
        {"wrong trailer", {1, 2, 3, 4}},
        {"half a trailer", {0x11}},
        {"garbage after", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
    };
    for (const tcase &c : cases) {
        SCOPED_TRACE(c.name);
        bytes s = z;
        s.insert(s.end(), c.tail.begin(), c.tail.end());
        result r = run(s, 64);
        ASSERT_EQ(0, r.rc);
        EXPECT_EQ(str_bytes("abcabcabc"), r.out);
    }
}

TEST(Inflate, OutputCapacityExact) {
    bytes z = abc_fixed();
    for (uint64_t cap = 0; cap <= 12; cap++) {
        SCOPED_TRACE(cap);
        result r = run(z, cap);
        EXPECT_EQ(cap >= 9 ? 0 : -1, r.rc);
        EXPECT_EQ(cap >= 9 ? 9u : 0u, r.len);
    }
}

TEST(Inflate, StoredBlocks) {
    struct scase { const char *name; std::vector<std::pair<bool, bytes>> blocks; bool bad_nlen;
                   int want; std::string out; };
    // Each block: (final, payload).
    const scase cases[] = {
        {"one final block", {{true, str_bytes("hello")}}, false, 0, "hello"},
        {"NLEN not enforced", {{true, str_bytes("hello")}}, true, 0, "hello"},
        {"empty block then final", {{false, {}}, {true, str_bytes("x")}}, false, 0, "x"},
        {"empty final block only", {{true, {}}}, false, 0, ""},
        {"two blocks", {{false, str_bytes("ab")}, {true, str_bytes("cd")}}, false, 0, "abcd"},
        {"no final block", {{false, str_bytes("ab")}}, false, -1, ""},
    };
    for (const scase &c : cases) {
        SCOPED_TRACE(c.name);
        bit_writer w;
        for (const auto &b : c.blocks) {
            w.put(b.first ? 1 : 0, 1);
            w.put(0, 2);
            w.align();
            uint16_t len = (uint16_t)b.second.size();
            uint16_t nlen = c.bad_nlen ? (uint16_t)0x1234 : (uint16_t)~len;
            w.put(len, 16);
            w.put(nlen, 16);
            for (uint8_t x : b.second) w.byte(x);
        }
        result r = run(w.zlib(), 64);
        EXPECT_EQ(c.want, r.rc);
        if (c.want == 0) EXPECT_EQ(str_bytes(c.out), r.out);
    }
}

TEST(Inflate, StoredBlockAfterFixedStartsAtNextByte) {
    bit_writer w;
    w.put(0, 1);  // fixed block, not final
    w.put(1, 2);
    fixed_sym(w, 'A');
    fixed_sym(w, 256);
    w.put(1, 1);  // stored, final
    w.put(0, 2);
    w.align();
    w.put(2, 16);
    w.put(0xfffd, 16);
    w.byte('B');
    w.byte('C');
    result r = run(w.zlib(), 8);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(str_bytes("ABC"), r.out);
}

TEST(Inflate, StoredBlockFailures) {
    struct fcase { const char *name; bytes data; uint64_t cap; };
    // Stored-block data after the block header byte 0x01 (final, stored).
    const fcase cases[] = {
        {"LEN missing", {0x01}, 8},
        {"NLEN half missing", {0x01, 0x03, 0x00, 0xfc}, 8},
        {"payload short", {0x01, 0x03, 0x00, 0xfc, 0xff, 'a', 'b'}, 8},
        {"payload does not fit", {0x01, 0x03, 0x00, 0xfc, 0xff, 'a', 'b', 'c'}, 2},
    };
    for (const fcase &c : cases) {
        SCOPED_TRACE(c.name);
        bytes z = {0x78, 0x01};
        z.insert(z.end(), c.data.begin(), c.data.end());
        result r = run(z, c.cap);
        EXPECT_EQ(-1, r.rc);
        EXPECT_EQ(0u, r.len);
    }
    bytes ok = {0x78, 0x01, 0x01, 0x03, 0x00, 0xfc, 0xff, 'a', 'b', 'c'};
    EXPECT_EQ(0, run(ok, 3).rc);
}

TEST(Inflate, BackReferences) {
    struct bcase { const char *name; int literals; int len; int dist; int want; uint64_t out_len; };
    const bcase cases[] = {
        {"distance = bytes written", 3, 3, 3, 0, 6},
        {"distance one too far", 3, 3, 4, -1, 0},
        {"distance before any byte", 0, 3, 1, -1, 0},
        {"distance 1 length 258 repeats", 1, 258, 1, 0, 259},
        {"overlapping copy", 2, 10, 2, 0, 12},
        {"longest distance", 32768, 258, 32768, 0, 32768 + 258},
        {"longest distance one short", 32767, 3, 32768, -1, 0},
    };
    for (const bcase &c : cases) {
        SCOPED_TRACE(c.name);
        bit_writer w;
        w.put(1, 1);
        w.put(1, 2);
        for (int i = 0; i < c.literals; i++) fixed_sym(w, 'a' + i % 26);
        fixed_len(w, c.len);
        fixed_dist(w, c.dist);
        fixed_sym(w, 256);
        result r = run(w.zlib(), 40000);
        EXPECT_EQ(c.want, r.rc);
        EXPECT_EQ(c.out_len, r.len);
        if (c.want == 0) {
            for (size_t i = (size_t)c.literals; i < r.out.size(); i++)
                ASSERT_EQ(r.out[i - (size_t)c.dist], r.out[i]) << i;
        }
    }
}

TEST(Inflate, AllLengthAndDistanceCodes) {
    // Every length 3..258 and a spread of distances, checked against a direct expansion.
    bit_writer w;
    w.put(1, 1);
    w.put(1, 2);
    bytes want;
    for (int i = 0; i < 300; i++) {
        int c = (i * 7 + 3) % 256;
        fixed_sym(w, c);
        want.push_back((uint8_t)c);
    }
    std::mt19937 rng(7);
    for (int len = 3; len <= 258; len++) {
        int dist = 1 + (int)(rng() % std::min<size_t>(want.size(), 32768));
        fixed_len(w, len);
        fixed_dist(w, dist);
        for (int i = 0; i < len; i++) want.push_back(want[want.size() - (size_t)dist]);
    }
    fixed_sym(w, 256);
    result r = run(w.zlib(), want.size());
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(want, r.out);
}

TEST(Inflate, FixedBlockInvalidSymbols) {
    struct icase { const char *name; int lensym; int distsym; };
    const icase cases[] = {
        {"length symbol 286", 286, -1},
        {"length symbol 287", 287, -1},
        {"distance symbol 30", 257, 30},
        {"distance symbol 31", 257, 31},
    };
    for (const icase &c : cases) {
        SCOPED_TRACE(c.name);
        bit_writer w;
        w.put(1, 1);
        w.put(1, 2);
        fixed_sym(w, 'a');
        fixed_sym(w, c.lensym);
        if (c.distsym >= 0) w.huff((uint32_t)c.distsym, 5);
        fixed_sym(w, 256);
        for (int i = 0; i < 4; i++) w.byte(0);  // enough bits for any 15-bit attempt
        result r = run(w.zlib(), 64);
        EXPECT_EQ(-1, r.rc);
        EXPECT_EQ(0u, r.len);
    }
}

TEST(Inflate, BlockType3Refused) {
    bit_writer w;
    w.put(1, 1);
    w.put(3, 2);
    w.byte(0);
    EXPECT_EQ(-1, run(w.zlib(), 8).rc);
}

// Literal/length lengths with 'a', 'b' and end-of-block 2 bits each plus 'c' (complete: 4 codes
// of length 2), and one distance code of length 1.
static std::vector<int> lit_abc() {
    std::vector<int> lit(257, 0);
    lit['a'] = 2;
    lit['b'] = 2;
    lit['c'] = 2;
    lit[256] = 2;
    return lit;
}

static void emit_dyn(bit_writer &w, const std::vector<int> &lit, const std::string &text) {
    std::vector<uint32_t> codes = canon(lit);
    for (char ch : text) w.huff(codes[(uint8_t)ch], lit[(uint8_t)ch]);
    w.huff(codes[256], lit[256]);
}

TEST(Inflate, DynamicBlockShapes) {
    struct dcase {
        const char *name;
        std::vector<int> lit, dist;
        std::string text;
        int want;
    };
    std::vector<int> single_eob(257, 0);
    single_eob[256] = 1;
    std::vector<int> eob_and_a_incomplete(257, 0);
    eob_and_a_incomplete[256] = 1;
    eob_and_a_incomplete['a'] = 2;
    std::vector<int> over(257, 0);
    over[256] = 1;
    over['a'] = 1;
    over['b'] = 1;
    std::vector<int> no_eob = lit_abc();
    no_eob[256] = 0;
    no_eob['d'] = 2;
    std::vector<int> lit_two_one_bit(257, 0);
    lit_two_one_bit['a'] = 1;
    lit_two_one_bit[256] = 1;
    std::vector<int> dist30(30, 5);  // 28 five-bit and 2 four-bit codes: complete
    dist30[0] = dist30[29] = 4;
    std::vector<int> full286 = lit_abc();
    full286.resize(286, 0);
    const dcase cases[] = {
        {"complete code", lit_abc(), {1}, "abcab", 0},
        {"lit code at 286 symbols", full286, {1}, "cab", 0},
        {"single one-bit end-of-block code", single_eob, {1}, "", 0},
        {"two one-bit codes", lit_two_one_bit, {1}, "aaa", 0},
        {"incomplete lit code of other shape", eob_and_a_incomplete, {1}, "a", -1},
        {"over-subscribed lit code", over, {1}, "", -1},
        {"no end-of-block code", no_eob, {1}, "", -1},
        {"all distance lengths zero", lit_abc(), {0}, "abc", 0},
        {"single one-bit distance code", lit_abc(), {0, 1}, "abc", 0},
        {"incomplete distance code", lit_abc(), {0, 2}, "abc", -1},
        {"over-subscribed distance code", lit_abc(), {1, 1, 1}, "abc", -1},
        {"complete distance code of 30", lit_abc(), dist30, "a", 0},
        {"incomplete distance code of 30", lit_abc(), std::vector<int>(30, 5), "a", -1},
    };
    for (const dcase &c : cases) {
        SCOPED_TRACE(c.name);
        bit_writer w;
        w.put(1, 1);
        w.put(2, 2);
        dyn_plain(w, c.lit, c.dist);
        emit_dyn(w, c.lit, c.text);
        w.byte(0);
        w.byte(0);
        result r = run(w.zlib(), 64);
        EXPECT_EQ(c.want, r.rc);
        if (c.want == 0) EXPECT_EQ(str_bytes(c.text), r.out);
        else EXPECT_EQ(0u, r.len);
    }
}

TEST(Inflate, DynamicWithoutDistancesFailsOnlyOnLengthSymbol) {
    std::vector<int> lit = lit_abc();
    lit['c'] = 0;
    lit.push_back(2);  // symbol 257  // length 3, but there is no distance code
    bit_writer w;
    w.put(1, 1);
    w.put(2, 2);
    dyn_plain(w, lit, {0});
    std::vector<uint32_t> codes = canon(lit);
    w.huff(codes['a'], 2);
    w.huff(codes[257], 2);
    for (int i = 0; i < 4; i++) w.byte(0);
    EXPECT_EQ(-1, run(w.zlib(), 64).rc);
}

TEST(Inflate, DynamicUsesDistanceCode) {
    // lit: a, b, end-of-block, length 3 (symbol 257) all 2 bits; distances 1 and 2 one bit each.
    std::vector<int> lit(258, 0);
    lit['a'] = lit['b'] = lit[256] = lit[257] = 2;
    std::vector<int> dist = {1, 1};
    bit_writer w;
    w.put(1, 1);
    w.put(2, 2);
    dyn_plain(w, lit, dist);
    std::vector<uint32_t> lc = canon(lit), dc = canon(dist);
    w.huff(lc['a'], 2);
    w.huff(lc['b'], 2);
    w.huff(lc[257], 2);
    w.huff(dc[1], 1);  // distance 2
    w.huff(lc[257], 2);
    w.huff(dc[0], 1);  // distance 1
    w.huff(lc[256], 2);
    result r = run(w.zlib(), 64);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(str_bytes("ababaaaa"), r.out);
}

TEST(Inflate, DynamicHeaderFailures) {
    // Code-length code: 0, 1, 2 with 2-bit codes, 16 and 18 with 3-bit codes (complete), no 17.
    std::vector<int> rep_cl(19, 0);
    rep_cl[0] = rep_cl[1] = rep_cl[2] = 2;
    rep_cl[16] = rep_cl[18] = 3;
    std::vector<int> incomplete_cl(19, 0);
    incomplete_cl[1] = 1;
    std::vector<int> over_cl(19, 0);
    over_cl[0] = over_cl[1] = over_cl[2] = 1;
    std::vector<int> empty_cl(19, 0);

    // 97 zeros, 'a' = 1, 138 + 20 zeros (98..255), end-of-block = 1, one distance length 1.
    const std::vector<cl_item> good = {{18, 86}, {1, 0}, {18, 127}, {18, 9}, {1, 0}, {1, 0}};
    // 255 zeros, 255 = 1, then 16 copies that 1 three times: 256 and, across the boundary,
    // both distance lengths (nlen 257 + ndist 2 = 259 lengths exactly).
    const std::vector<cl_item> across = {{18, 127}, {18, 106}, {1, 0}, {16, 0}};
    struct hcase { const char *name; int nlen, ndist; std::vector<int> cl; std::vector<cl_item> items;
                   int want; bytes out; };
    const hcase cases[] = {
        {"valid with zero runs", 257, 1, rep_cl, good, 0, {'a'}},
        {"16 repeats across into distances", 257, 2, rep_cl, across, 0, {0xff}},
        {"16 as first symbol", 257, 1, rep_cl, {{16, 0}}, -1, {}},
        {"16 repeat past the end", 257, 1, rep_cl, across, -1, {}},
        {"zero run past the end", 257, 1, rep_cl, {{18, 127}, {18, 127}}, -1, {}},
        {"incomplete code-length code", 257, 1, incomplete_cl, {}, -1, {}},
        {"over-subscribed code-length code", 257, 1, over_cl, {}, -1, {}},
        {"empty code-length code", 257, 1, empty_cl, {}, -1, {}},
        {"HLIT 30 (287 codes)", 287, 1, rep_cl, good, -1, {}},
        {"HDIST 30 (31 codes)", 257, 31, rep_cl, good, -1, {}},
        {"HDIST 31 (32 codes)", 257, 32, rep_cl, good, -1, {}},
    };
    for (const hcase &c : cases) {
        SCOPED_TRACE(c.name);
        bit_writer w;
        w.put(1, 1);
        w.put(2, 2);
        dyn_header(w, c.nlen, c.ndist, c.cl, c.items);
        w.huff(0, 1);  // the one literal (code 0), then end-of-block (code 1)
        w.huff(1, 1);
        for (int i = 0; i < 40; i++) w.byte(0);
        result r = run(w.zlib(), 64);
        EXPECT_EQ(c.want, r.rc);
        EXPECT_EQ(c.out, r.out);
    }
}

TEST(Inflate, IndependentCalls) {
    // A failing call leaves nothing behind that changes the next one.
    bytes good = abc_fixed();
    bytes bad = good;
    bad.resize(bad.size() - 1);
    result a = run(good, 32);
    result b = run(bad, 32);
    result c = run(good, 32);
    EXPECT_EQ(0, a.rc);
    EXPECT_EQ(-1, b.rc);
    EXPECT_EQ(0, c.rc);
    EXPECT_EQ(a.out, c.out);
}

// Truncation at every length: a cut inside the DEFLATE data fails with nothing reported; a cut
// in the Adler-32 trailer changes nothing.
static void check_truncations(const bytes &z, size_t deflate_end, const bytes &want) {
    for (size_t n = 0; n <= z.size(); n++) {
        bytes cut(z.begin(), z.begin() + (ptrdiff_t)n);
        result r = run(cut, want.size() + 8);
        if (n < deflate_end) {
            ASSERT_EQ(-1, r.rc) << "cut at " << n;
            ASSERT_EQ(0u, r.len);
        } else {
            ASSERT_EQ(0, r.rc) << "cut at " << n;
            ASSERT_EQ(want, r.out);
        }
    }
}

TEST(Inflate, TruncatedHandBuilt) {
    check_truncations(abc_fixed(), abc_fixed().size(), str_bytes("abcabcabc"));
}

// ---------------------------------------------------------------------------------------------
// zlib as an oracle

#ifdef HAVE_ZLIB

static bytes make_data(int kind, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes d(n);
    for (size_t i = 0; i < n; i++) {
        switch (kind) {
        case 0: d[i] = (uint8_t)rng(); break;                          // noise
        case 1: d[i] = (uint8_t)((i / 37) % 3);  break;                // runs
        case 2: d[i] = (uint8_t)"the quick brown fox "[rng() % 20]; break;  // text-like
        case 3: d[i] = (uint8_t)(i % 4 == 3 ? 255 : (i / 4) % 251); break;  // RGBA-like pixels
        default: d[i] = (uint8_t)(rng() % 4 == 0 ? rng() : d[i ? i - 1 : 0]); break;  // mixed
        }
    }
    return d;
}

static bytes zlib_compress(const bytes &d, int level, int strategy, int window_bits, int mem_level,
                           int flush_every = 0) {
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    EXPECT_EQ(Z_OK, deflateInit2(&zs, level, Z_DEFLATED, window_bits, mem_level, strategy));
    bytes out(deflateBound(&zs, d.size()) + 64 + (flush_every ? d.size() / (size_t)flush_every * 16 : 0));
    zs.next_out = out.data();
    zs.avail_out = (uInt)out.size();
    size_t pos = 0;
    int k = 0;
    for (;;) {
        size_t chunk = d.size() - pos;
        if (flush_every) chunk = std::min<size_t>((size_t)flush_every, chunk);
        zs.next_in = const_cast<uint8_t *>(d.data()) + pos;
        zs.avail_in = (uInt)chunk;
        pos += chunk;
        // Alternate flush kinds: both end in an empty stored block, a full flush also resets
        // the window.
        int flush = pos >= d.size() ? Z_FINISH : ((k++ % 2) ? Z_SYNC_FLUSH : Z_FULL_FLUSH);
        int rc = deflate(&zs, flush);
        if (flush == Z_FINISH) {
            EXPECT_EQ(Z_STREAM_END, rc);
            break;
        }
        EXPECT_EQ(Z_OK, rc);
    }
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

TEST(InflateZlib, Compress2AllLevels) {
    const size_t sizes[] = {0, 1, 2, 100, 65535, 65536, 70000, 300000};
    for (int kind = 0; kind < 5; kind++) {
        for (size_t n : sizes) {
            bytes d = make_data(kind, n, (uint32_t)(n + (size_t)kind));
            for (int level = 0; level <= 9; level++) {
                SCOPED_TRACE("kind " + std::to_string(kind) + " size " + std::to_string(n) +
                             " level " + std::to_string(level));
                uLongf zl = compressBound(d.size());
                bytes z(zl);
                ASSERT_EQ(Z_OK, compress2(z.data(), &zl, d.data(), d.size(), level));
                z.resize(zl);
                result r = run(z, d.size());
                ASSERT_EQ(0, r.rc);
                ASSERT_EQ(d, r.out);
                if (n > 0) ASSERT_EQ(-1, run(z, d.size() - 1).rc);
            }
        }
    }
}

TEST(InflateZlib, Strategies) {
    struct scase { const char *name; int strategy; };
    const scase strategies[] = {{"default", Z_DEFAULT_STRATEGY}, {"filtered", Z_FILTERED},
                                {"huffman only", Z_HUFFMAN_ONLY}, {"rle", Z_RLE},
                                {"fixed", Z_FIXED}};
    for (const scase &s : strategies) {
        for (int kind = 0; kind < 5; kind++) {
            for (int wbits : {9, 12, 15}) {
                for (int mem : {1, 8, 9}) {
                    for (int flush_every : {0, 1000}) {
                        SCOPED_TRACE(std::string(s.name) + " kind " + std::to_string(kind) +
                                     " wbits " + std::to_string(wbits) + " mem " +
                                     std::to_string(mem) + " flush " + std::to_string(flush_every));
                        bytes d = make_data(kind, 50000, (uint32_t)kind * 31u + (uint32_t)wbits);
                        bytes z = zlib_compress(d, 6, s.strategy, wbits, mem, flush_every);
                        result r = run(z, d.size());
                        ASSERT_EQ(0, r.rc);
                        ASSERT_EQ(d, r.out);
                    }
                }
            }
        }
    }
}

TEST(InflateZlib, TruncatedAtEveryLength) {
    for (int level : {0, 1, 9}) {
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
            SCOPED_TRACE("level " + std::to_string(level) + " strategy " + std::to_string(strategy));
            bytes d = make_data(4, 3000, 5);
            bytes z = zlib_compress(d, level, strategy, 15, 8);
            check_truncations(z, z.size() - 4, d);
        }
    }
}

#endif  // HAVE_ZLIB

// ---------------------------------------------------------------------------------------------
// The first, bit-at-a-time decoder, kept as the reference the table-driven one must match in
// every result: success or failure, length, and output.

namespace ref {
static const int max_bits = 15;        // longest code, RFC 1951 3.2.1
static const int max_lcodes = 286;     // literal/length codes in a dynamic block
static const int max_dcodes = 30;      // distance codes
static const int fix_lcodes = 288;     // literal/length symbols of the fixed code
static const uint64_t max_out = 1ull << 30;

// RFC 1951 3.2.5: base and extra bits of length symbols 257..285 and distance symbols 0..29.
static const int16_t lens[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const int16_t lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const int16_t dists[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                  33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                  1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const int16_t dext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// RFC 1951 3.2.7: order of the code-length code lengths in a dynamic block header.
static const int16_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A canonical code: how many codes of each length (entry 0: symbols without a code), and the
// symbols that have a code, ordered by length and, within one length, by value.
struct huffman_table {
    const int16_t *length_counts;
    const int16_t *sorted_symbols;
};

struct inflate_state {
    uint8_t *out_buf;
    uint64_t out_cap;
    uint64_t out_pos;       // also the farthest a back-reference may reach
    const uint8_t *in_buf;  // the DEFLATE data, after the 2-byte zlib header
    uint64_t in_len;
    uint64_t in_pos;
    uint32_t bit_buf;       // pending input bits, the next one in bit 0
    int bit_count;          // 0..7 between symbols, at most 20 inside bits()
    int failed;             // sticky: input ran out
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

// The fixed code of RFC 1951 3.2.6, built at compile time so no call ever writes it.
struct fixed_tables {
    int16_t lencnt[max_bits + 1];
    int16_t lensym[fix_lcodes];
    int16_t distcnt[max_bits + 1];
    int16_t distsym[max_dcodes];
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
    return t;
}

static constexpr fixed_tables s_fixed = build_fixed();

// The next n bits (n <= 13), the first bit read in bit 0. Bytes are taken only as bits are
// needed. Out of input: sets failed and returns 0.
static int bits(inflate_state *s, int n) {
    uint32_t val = s->bit_buf;
    while (s->bit_count < n) {
        if (s->in_pos == s->in_len) {
            s->failed = 1;
            return 0;
        }
        val |= (uint32_t)s->in_buf[s->in_pos++] << s->bit_count;
        s->bit_count += 8;
    }
    s->bit_buf = val >> n;
    s->bit_count -= n;
    return (int)(val & ((1u << n) - 1u));
}

// The next symbol of h, or -10 when no code of up to 15 bits matches or the input ran out
// (failed set). Codes are stored most significant bit first, so each bit is appended at the low end.
static int decode(inflate_state *s, const huffman_table *h) {
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

// Decodes one compressed block's symbols through its end-of-block code. 0: end of block;
// 1: output full; -10: invalid symbol or input ran out; -11: distance before the first byte.
static int codes(inflate_state *s, const huffman_table *lencode, const huffman_table *distcode) {
    for (;;) {
        int sym = decode(s, lencode);
        if (sym < 0) return sym;
        if (sym < 256) {
            if (s->out_pos == s->out_cap) return 1;
            s->out_buf[s->out_pos++] = (uint8_t)sym;
            continue;
        }
        if (sym == 256) return 0;
        sym -= 257;
        if (sym >= 29) return -10;  // symbols 286 and 287 exist only in the fixed code's lengths
        uint64_t len = (uint64_t)(lens[sym] + bits(s, lext[sym]));
        if (s->failed) return -10;
        int dsym = decode(s, distcode);
        if (dsym < 0) return dsym;  // a table holds at most 30 distance symbols: no bound needed
        uint64_t dist = (uint64_t)(dists[dsym] + bits(s, dext[dsym]));
        if (s->failed) return -10;
        if (dist > s->out_pos) return -11;
        if (len > s->out_cap - s->out_pos) return 1;
        // Byte by byte: a distance shorter than the length repeats the bytes just written.
        uint8_t *out = s->out_buf + s->out_pos;
        const uint8_t *from = out - dist;
        for (uint64_t i = 0; i < len; i++) out[i] = from[i];
        s->out_pos += len;
    }
}

// RFC 1951 3.2.4. LEN's complement NLEN is read but not enforced. 0 or -1.
static int stored(inflate_state *s) {
    s->bit_buf = 0;  // the block continues at the next whole byte
    s->bit_count = 0;
    if (s->in_len - s->in_pos < 4) return -1;
    const uint8_t *p = s->in_buf + s->in_pos;
    uint64_t len = (uint64_t)p[0] | ((uint64_t)p[1] << 8);
    s->in_pos += 4;
    if (s->in_len - s->in_pos < len || s->out_cap - s->out_pos < len) return -1;
    if (len != 0) memcpy(s->out_buf + s->out_pos, s->in_buf + s->in_pos, (size_t)len);
    s->in_pos += len;
    s->out_pos += len;
    return 0;
}

static int fixed(inflate_state *s) {
    const huffman_table lencode = {s_fixed.lencnt, s_fixed.lensym};
    const huffman_table distcode = {s_fixed.distcnt, s_fixed.distsym};
    return codes(s, &lencode, &distcode) == 0 ? 0 : -1;
}

// An incomplete code is accepted only as a single one-bit code: every symbol has length 0 or 1.
static int code_usable(int err, const int16_t *counts, int n) {
    if (err < 0) return 0;
    if (err > 0 && n != counts[0] + counts[1]) return 0;
    return 1;
}

// RFC 1951 3.2.7. 0 or -1.
static int dynamic(inflate_state *s) {
    int16_t lengths[max_lcodes + max_dcodes];
    int16_t lencnt[max_bits + 1], lensym[max_lcodes];
    int16_t distcnt[max_bits + 1], distsym[max_dcodes];
    huffman_table lencode = {lencnt, lensym};
    huffman_table distcode = {distcnt, distsym};

    int nlen = bits(s, 5) + 257;
    int ndist = bits(s, 5) + 1;
    int ncode = bits(s, 4) + 4;
    if (s->failed || nlen > max_lcodes || ndist > max_dcodes) return -1;

    // The code-length code: the first 19 entries of lengths serve for it.
    int index = 0;
    for (; index < ncode; index++) lengths[order[index]] = (int16_t)bits(s, 3);
    if (s->failed) return -1;
    for (; index < 19; index++) lengths[order[index]] = 0;
    if (construct(lencnt, lensym, lengths, 19) != 0) return -1;

    // Literal/length and distance lengths, one sequence: repeats may cross from one to the other.
    index = 0;
    while (index < nlen + ndist) {
        int sym = decode(s, &lencode);
        if (sym < 0) return -1;
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

    if (lengths[256] == 0) return -1;  // no end-of-block code: the block could never end
    int err = construct(lencnt, lensym, lengths, nlen);
    if (!code_usable(err, lencnt, nlen)) return -1;
    err = construct(distcnt, distsym, lengths + nlen, ndist);
    if (!code_usable(err, distcnt, ndist)) return -1;
    return codes(s, &lencode, &distcode) == 0 ? 0 : -1;
}

int decompress(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap,
                       uint64_t *dst_len) {
    if (dst_len) *dst_len = 0;
    // RFC 1950 2.2: CM must be 8 (deflate); a preset dictionary is not supported. CINFO and
    // FCHECK are not examined, and the Adler-32 trailer is never read.
    if (!src || src_len < 2 || dst_cap > max_out) return -1;
    if ((src[0] & 0x0f) != 8 || (src[1] & 0x20) != 0) return -1;

    inflate_state s;
    memset(&s, 0, sizeof s);
    s.out_buf = dst;
    s.out_cap = dst_cap;
    s.in_buf = src + 2;
    s.in_len = src_len - 2;

    for (;;) {
        int last = bits(&s, 1);
        int type = bits(&s, 2);
        if (s.failed) return -1;
        int err;
        if (type == 0)
            err = stored(&s);
        else if (type == 1)
            err = fixed(&s);
        else if (type == 2)
            err = dynamic(&s);
        else
            err = -1;
        if (err != 0 || s.failed) return -1;
        if (last) break;
    }
    if (dst_len) *dst_len = s.out_pos;
    return 0;
}
}  // namespace ref


// Both decoders on the same input and capacity: the same result, length and output.
static void expect_same(const bytes &z, uint64_t cap) {
    result a = run(z, cap);
    bytes rout((size_t)cap + 1, 0xee);
    uint64_t rlen = 12345;
    int rrc = ref::decompress(z.data(), z.size(), rout.data(), cap, &rlen);
    rout.resize(rrc == 0 ? (size_t)rlen : 0);
    ASSERT_EQ(rrc, a.rc);
    ASSERT_EQ(rlen, a.len);
    ASSERT_EQ(rout, a.out);
}

TEST(InflateDifferential, HandBuiltStreams) {
    std::vector<bytes> streams = {abc_fixed()};
    std::vector<int> single_eob(257, 0);
    single_eob[256] = 1;
    for (const std::vector<int> &lit : {lit_abc(), single_eob}) {
        bit_writer w;
        w.put(1, 1);
        w.put(2, 2);
        dyn_plain(w, lit, {0, 1});
        emit_dyn(w, lit, lit == single_eob ? "" : "abcabc");
        streams.push_back(w.zlib());
    }
    for (const bytes &z : streams) {
        for (size_t n = 0; n <= z.size(); n++) {
            bytes cut(z.begin(), z.begin() + (ptrdiff_t)n);
            for (uint64_t cap : {0, 3, 9, 64}) expect_same(cut, cap);
        }
    }
}

TEST(InflateDifferential, RandomBytesAfterHeader) {
    std::mt19937 rng(2024);
    for (int i = 0; i < 20000; i++) {
        bytes z = {0x78, 0x9c};
        size_t n = rng() % 40;
        for (size_t j = 0; j < n; j++) z.push_back((uint8_t)rng());
        expect_same(z, rng() % 2 ? 64 : 4096);
    }
}

// The fuzz corpus of the decoder (first byte b: capacity b * 1024 + 1, then the zlib stream), each
// input with its prefixes and single-byte changes, at its own capacity and at others.
TEST(InflateDifferential, FuzzCorpus) {
    std::string dir = std::string(__FILE__);
    dir = dir.substr(0, dir.find_last_of('/') + 1) + "../fuzz/corpus/inflate";
    DIR *d = opendir(dir.c_str());
    if (!d) GTEST_SKIP() << "no corpus at " << dir;
    std::vector<std::string> names;
    while (dirent *ent = readdir(d))
        if (ent->d_name[0] != '.') names.push_back(ent->d_name);
    closedir(d);
    std::mt19937 rng(8);
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        FILE *f = fopen((dir + "/" + name).c_str(), "rb");
        ASSERT_NE(nullptr, f);
        bytes file;
        int c;
        while ((c = fgetc(f)) != EOF) file.push_back((uint8_t)c);
        fclose(f);
        if (file.empty()) continue;
        bytes z(file.begin() + 1, file.end());
        for (uint64_t cap : {(uint64_t)file[0] * 1024u + 1u, (uint64_t)0, (uint64_t)300, (uint64_t)70000}) {
            for (size_t n = 0; n <= z.size(); n += 1 + n / 64) expect_same(bytes(z.begin(), z.begin() + (ptrdiff_t)n), cap);
            for (size_t at = 2; at < z.size(); at += 1 + at / 32) {
                bytes bad = z;
                bad[at] ^= (uint8_t)(1u << (rng() % 8));
                expect_same(bad, cap);
                bad[at] = (uint8_t)rng();
                expect_same(bad, cap);
            }
            if (HasFatalFailure()) return;
        }
    }
}

#ifdef HAVE_ZLIB
TEST(InflateDifferential, ZlibStreamsAndMutations) {
    std::mt19937 rng(77);
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (int round = 0; round < 40; round++) {
        int kind = round % 5;
        size_t n = (size_t)(rng() % 3 == 0 ? rng() % 300 : rng() % 20000);
        bytes d = make_data(kind, n, (uint32_t)round);
        int level = (int)(rng() % 10);
        int strategy = strategies[rng() % 5];
        int wbits = 9 + (int)(rng() % 7);
        bytes z = zlib_compress(d, level, strategy, wbits, 1 + (int)(rng() % 9),
                                rng() % 3 == 0 ? 777 : 0);
        SCOPED_TRACE("round " + std::to_string(round));
        expect_same(z, d.size());
        if (n) expect_same(z, d.size() - 1 - rng() % n);
        for (int t = 0; t < 40; t++) expect_same(bytes(z.begin(), z.begin() + (ptrdiff_t)(rng() % z.size())), d.size());
        for (int m = 0; m < 200; m++) {
            bytes mz = z;
            int flips = 1 + (int)(rng() % 3);
            for (int f = 0; f < flips; f++) {
                size_t at = 2 + rng() % (mz.size() - 2);
                mz[at] ^= m % 2 ? (uint8_t)(1u << (rng() % 8)) : (uint8_t)rng();
            }
            expect_same(mz, d.size() + 300);
        }
    }
}
#endif

// ---------------------------------------------------------------------------------------------
// PNG row unfilter

static int paeth_ref(int a, int b, int c) {
    int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// Filters rows (the PNG encoder's direction) so the unfilter can be checked against the source.
static bytes filter_rows(const bytes &img, int rb, const std::vector<int> &types) {
    bytes out;
    size_t rows = img.size() / (size_t)rb;
    for (size_t r = 0; r < rows; r++) {
        int f = types[r % types.size()];
        out.push_back((uint8_t)f);
        for (int j = 0; j < rb; j++) {
            int x = img[r * (size_t)rb + (size_t)j];
            int a = j ? img[r * (size_t)rb + (size_t)j - 1] : 0;
            int b = r ? img[(r - 1) * (size_t)rb + (size_t)j] : 0;
            int c = (r && j) ? img[(r - 1) * (size_t)rb + (size_t)j - 1] : 0;
            int pred[5] = {0, a, b, (a + b) / 2, paeth_ref(a, b, c)};
            out.push_back((uint8_t)(x - pred[f]));
        }
    }
    return out;
}

TEST(Unfilter, RoundTripAllFilters) {
    std::mt19937 rng(1);
    for (int rb : {1, 2, 3, 7, 64}) {
        for (int f = 0; f < 6; f++) {
            SCOPED_TRACE("row_bytes " + std::to_string(rb) + " filter " + std::to_string(f));
            std::vector<int> types = f < 5 ? std::vector<int>{f} : std::vector<int>{4, 0, 3, 1, 2, 4};
            bytes img((size_t)rb * 9);
            for (uint8_t &x : img) x = (uint8_t)(rng() % 3 == 0 ? 255 : rng());
            bytes rows = filter_rows(img, rb, types);
            ASSERT_EQ(0, inflate_png_unfilter(rows.data(), rows.size(), rb));
            EXPECT_EQ(img, bytes(rows.begin(), rows.begin() + (ptrdiff_t)img.size()));
        }
    }
}

TEST(Unfilter, KnownRows) {
    struct ucase { const char *name; bytes rows; int rb; int want; bytes image; };
    const ucase cases[] = {
        {"single None row", {0, 5, 6, 7}, 3, 0, {5, 6, 7}},
        {"Sub", {1, 5, 1, 255}, 3, 0, {5, 6, 5}},
        {"Up in row 0 is a copy", {2, 5, 6, 7}, 3, 0, {5, 6, 7}},
        {"Average in row 0 adds a/2", {3, 10, 1, 1}, 3, 0, {10, 6, 4}},
        {"Paeth in row 0 acts as Sub", {4, 10, 1, 1}, 3, 0, {10, 11, 12}},
        // Row 1 byte 0: 128 + 255 / 2 = 255; byte 1: 0 + (255 + 255) / 2 = 255.
        {"Average of 255 and 255 adds 255", {0, 255, 255, 3, 128, 0}, 2, 0, {255, 255, 255, 255}},
        {"Paeth uses the row above", {0, 10, 20, 4, 1, 0}, 2, 0, {10, 20, 11, 20}},
        {"Up", {0, 1, 2, 2, 1, 1}, 2, 0, {1, 2, 2, 3}},
        {"partial last row ignored", {0, 1, 2, 2, 9}, 2, 0, {1, 2}},
        {"shorter than a row", {2, 9}, 2, 0, {}},
        {"empty", {}, 5, 0, {}},
    };
    for (const ucase &c : cases) {
        SCOPED_TRACE(c.name);
        bytes rows = c.rows;
        ASSERT_EQ(c.want, inflate_png_unfilter(rows.data(), rows.size(), c.rb));
        EXPECT_EQ(c.image, bytes(rows.begin(), rows.begin() + (ptrdiff_t)c.image.size()));
        if (c.rows.size() < (size_t)c.rb + 1) EXPECT_EQ(c.rows, rows);  // untouched
    }
}

TEST(Unfilter, PaethChoice) {
    // Predictor for neighbours a (left), b (up), c (up-left). Ties between different values are
    // possible only as a/c (pa = pc < pb) and b/c (pb = pc < pa): a before c, b before c.
    struct pcase { const char *name; int a, b, c, want; };
    const pcase cases[] = {
        {"c nearest", 3, 5, 4, 4},         {"b nearest", 1, 3, 1, 3},
        {"a nearest", 4, 2, 0, 4},         {"b wins over far a", 2, 4, 0, 4},
        {"a/c tie goes to a", 0, 3, 2, 0}, {"b/c tie goes to b", 3, 0, 2, 0},
        {"midpoint c", 10, 20, 15, 15},    {"wide values", 255, 0, 255, 0},
    };
    for (const pcase &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.want, paeth_ref(c.a, c.b, c.c));
        // Row 0 (None) holds c, b. Row 1 (Paeth): byte 0 predicts from b = c (up), so store
        // a - c to get a; byte 1 is 0, so it becomes the predictor itself.
        bytes rows = {0, (uint8_t)c.c, (uint8_t)c.b, 4, (uint8_t)(c.a - c.c), 0};
        ASSERT_EQ(0, inflate_png_unfilter(rows.data(), rows.size(), 2));
        EXPECT_EQ(c.a, rows[2]);
        EXPECT_EQ(c.want, rows[3]);
    }
}

TEST(Unfilter, Failures) {
    bytes rows = {0, 1, 2};
    bytes keep = rows;
    EXPECT_EQ(-1, inflate_png_unfilter(rows.data(), rows.size(), 0));
    EXPECT_EQ(-1, inflate_png_unfilter(rows.data(), rows.size(), -3));
    EXPECT_EQ(keep, rows);
    EXPECT_EQ(-1, inflate_png_unfilter(nullptr, 0, 0));
    EXPECT_EQ(0, inflate_png_unfilter(nullptr, 0, 4));

    // Filter 5 in the third row: rows 0 and 1 already unfiltered and packed.
    bytes bad = {1, 1, 1, 2, 1, 1, 5, 7, 7, 0, 0, 0};
    EXPECT_EQ(-1, inflate_png_unfilter(bad.data(), bad.size(), 2));
    EXPECT_EQ((bytes{1, 2, 2, 3}), bytes(bad.begin(), bad.begin() + 4));
    for (int f = 5; f < 256; f += 50) {
        bytes one = {(uint8_t)f, 1};
        EXPECT_EQ(-1, inflate_png_unfilter(one.data(), one.size(), 1));
    }
}
