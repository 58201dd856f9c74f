// Tests of the LZWDecode decoder.
#include "codec/lzw.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

typedef std::vector<uint8_t> bytes;

// Codes packed most significant bit first, across byte boundaries.
struct code_writer {
    bytes out;
    uint64_t nbits = 0;
    void put(int code, int width) {
        for (int i = width - 1; i >= 0; i--) {
            if (nbits % 8 == 0) out.push_back(0);
            if ((code >> i) & 1) out.back() |= (uint8_t)(0x80u >> (nbits % 8));
            nbits++;
        }
    }
};

// Width of the code the decoder reads when its table holds `entries` entries (258 after a clear):
// one bit more as soon as the table reaches 511, 1023 and 2047 entries (early change).
static int width_for(int entries) {
    if (entries >= 2047) return 12;
    if (entries >= 1023) return 11;
    if (entries >= 511) return 10;
    return 9;
}

struct enc_options {
    bool clear_first = true;
    bool end_code = true;
    bool clear_when_full = true;
    int clear_every = 0;  // a clear code after this many codes (0: never)
};

// An LZW encoder written from the other side: a dictionary of (prefix code, byte) pairs.
static bytes lzw_encode(const bytes &data, const enc_options &o) {
    code_writer w;
    std::map<uint32_t, int> dict;
    int enc_next = 258;
    int since_clear = 0;  // codes written since the last clear
    // The decoder adds an entry for every code but the first after a clear.
    auto decoder_entries = [&]() { return since_clear == 0 ? 258 : std::min(4096, 257 + since_clear); };
    auto emit = [&](int code) {
        w.put(code, width_for(decoder_entries()));
        since_clear++;
    };
    auto clear = [&]() {
        w.put(256, width_for(decoder_entries()));
        dict.clear();
        enc_next = 258;
        since_clear = 0;
    };
    if (o.clear_first) clear();
    int cur = -1;
    for (uint8_t c : data) {
        if (cur < 0) {
            cur = c;
            continue;
        }
        uint32_t key = ((uint32_t)cur << 8) | c;
        auto it = dict.find(key);
        if (it != dict.end()) {
            cur = it->second;
            continue;
        }
        emit(cur);
        if (enc_next < 4096) dict[key] = enc_next++;
        if ((enc_next == 4096 && o.clear_when_full) || (o.clear_every && since_clear >= o.clear_every))
            clear();
        cur = c;
    }
    if (cur >= 0) emit(cur);
    if (o.end_code) w.put(257, width_for(decoder_entries()));
    return w.out;
}

struct result {
    int rc;
    uint64_t len;
    bytes out;
};

static result run(const bytes &src, uint64_t cap) {
    result r;
    r.out.assign((size_t)cap + 1, 0xee);
    r.len = 777;
    r.rc = lzw_decompress(src.data(), src.size(), r.out.data(), cap, &r.len);
    r.out.resize(r.rc == 0 ? (size_t)r.len : 0);
    return r;
}

TEST(Lzw, PdfStandardExample) {
    const bytes src = {0x80, 0x0b, 0x60, 0x50, 0x22, 0x0c, 0x0c, 0x85, 0x01};
    const bytes want = {0x2d, 0x2d, 0x2d, 0x2d, 0x2d, 0x41, 0x2d, 0x2d, 0x2d, 0x42};
    // The standard writes the example in decimal: 45 45 45 45 45 65 45 45 45 66.
    result r = run(src, 64);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(want, r.out);
    // Our encoder writes the same bytes.
    EXPECT_EQ(src, lzw_encode(want, enc_options()));
}

TEST(Lzw, KnownStreams) {
    struct kcase { const char *name; std::vector<std::pair<int, int>> codes; bytes tail; int want;
                   bytes out; };
    const kcase cases[] = {
        {"clear and end only", {{256, 9}, {257, 9}}, {}, 0, {}},
        {"no clear at start", {{'a', 9}, {'b', 9}, {257, 9}}, {}, 0, {'a', 'b'}},
        {"bytes after end ignored", {{'a', 9}, {257, 9}}, {0xff, 0xff, 0x12}, 0, {'a'}},
        {"no end code", {{256, 9}, {'a', 9}, {'b', 9}}, {}, 0, {'a', 'b'}},
        {"code equal to next entry", {{'a', 9}, {258, 9}, {259, 9}}, {}, 0,
         {'a', 'a', 'a', 'a', 'a', 'a'}},
        {"entry reused", {{'a', 9}, {'b', 9}, {258, 9}, {257, 9}}, {}, 0, {'a', 'b', 'a', 'b'}},
        {"first code 258", {{258, 9}}, {}, -1, {}},
        {"code above next entry", {{'a', 9}, {259, 9}}, {}, -1, {}},
        {"first code after clear 258", {{'a', 9}, {'b', 9}, {256, 9}, {258, 9}}, {}, -1, {}},
        {"clear resets the table", {{'a', 9}, {'b', 9}, {256, 9}, {'c', 9}, {'d', 9}, {258, 9}},
         {}, 0, {'a', 'b', 'c', 'd', 'c', 'd'}},
        {"repeated clears", {{256, 9}, {256, 9}, {'x', 9}, {256, 9}, {257, 9}}, {}, 0, {'x'}},
    };
    for (const kcase &c : cases) {
        SCOPED_TRACE(c.name);
        code_writer w;
        for (const auto &p : c.codes) w.put(p.first, p.second);
        bytes src = w.out;
        src.insert(src.end(), c.tail.begin(), c.tail.end());
        result r = run(src, 64);
        EXPECT_EQ(c.want, r.rc);
        EXPECT_EQ(c.want == 0 ? c.out.size() : 777u, r.len);
        EXPECT_EQ(c.out, r.out);
    }
}

TEST(Lzw, EmptyAndPartialInput) {
    uint64_t len = 5;
    uint8_t buf[4];
    EXPECT_EQ(0, lzw_decompress(nullptr, 0, buf, sizeof buf, &len));
    EXPECT_EQ(0u, len);
    // One byte cannot hold a 9-bit code.
    const uint8_t one[1] = {0x30};
    len = 5;
    EXPECT_EQ(0, lzw_decompress(one, 1, buf, sizeof buf, &len));
    EXPECT_EQ(0u, len);
    // 'a' (9 bits) and 7 bits of a second code: the partial code is ignored.
    code_writer w;
    w.put('a', 9);
    w.put('b', 9);
    len = 5;
    EXPECT_EQ(0, lzw_decompress(w.out.data(), 2, buf, sizeof buf, &len));
    EXPECT_EQ(1u, len);
    EXPECT_EQ('a', buf[0]);
    // A null out-length is accepted.
    EXPECT_EQ(0, lzw_decompress(w.out.data(), w.out.size(), buf, sizeof buf, nullptr));
}

TEST(Lzw, OutputCapacity) {
    code_writer w;
    w.put('a', 9);
    w.put(258, 9);  // "aa"
    w.put(259, 9);  // "aaa"
    w.put(257, 9);
    for (uint64_t cap = 0; cap <= 8; cap++) {
        SCOPED_TRACE(cap);
        uint8_t buf[8];
        uint64_t len = 99;
        int rc = lzw_decompress(w.out.data(), w.out.size(), buf, cap, &len);
        EXPECT_EQ(cap >= 6 ? 0 : -1, rc);
        EXPECT_EQ(cap >= 6 ? 6u : 99u, len);  // untouched on failure
    }
}

// Literal codes only: code k after a clear is read with 258 + k - 1 entries in the table (the
// first code adds none), so the first 10-bit code is number 254, the first 11-bit code number
// 766 and the first 12-bit code number 1790. A writer that widens one code late fails to match.
TEST(Lzw, CodeWidthSteps) {
    struct wcase { const char *name; int first10, first11, first12; bool want_match; };
    const wcase cases[] = {
        {"exact steps", 254, 766, 1790, true},
        {"10 bits one code late", 255, 766, 1790, false},
        {"11 bits one code early", 254, 765, 1790, false},
        {"12 bits one code late", 254, 766, 1791, false},
    };
    bytes data(2000);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 7 % 256);
    for (const wcase &c : cases) {
        SCOPED_TRACE(c.name);
        code_writer w;
        w.put(256, 9);
        for (int k = 0; k < (int)data.size(); k++) {
            int width = k >= c.first12 ? 12 : k >= c.first11 ? 11 : k >= c.first10 ? 10 : 9;
            w.put(data[(size_t)k], width);
        }
        w.put(257, 12);
        result r = run(w.out, data.size() + 10);
        if (c.want_match) {
            ASSERT_EQ(0, r.rc);
            EXPECT_EQ(data, r.out);
        } else {
            EXPECT_NE(data, r.out);
        }
    }
}

// After entry 4095 the table is full: codes stay 12 bits, no entry is added, the newest entry
// stays usable, and a clear code returns to 9-bit codes.
TEST(Lzw, TableFull) {
    code_writer w;
    bytes want;
    w.put(256, 9);
    // Codes 0..3838 create entries 258..4095 (the first code creates none).
    for (int k = 0; k <= 3838; k++) {
        int c = (k * 11) % 256;
        w.put(c, width_for(k == 0 ? 258 : 257 + k));
        want.push_back((uint8_t)c);
    }
    // Entry 4095 = string of code 3837 + first byte of code 3838: two literals.
    for (int rep = 0; rep < 3; rep++) {
        w.put(4095, 12);
        want.push_back((uint8_t)((3837 * 11) % 256));
        want.push_back((uint8_t)((3838 * 11) % 256));
    }
    w.put('q', 12);
    want.push_back('q');
    w.put(256, 12);
    w.put('r', 9);
    w.put('s', 9);
    w.put(258, 9);  // "rs", the first entry after the clear
    w.put(257, 9);
    want.insert(want.end(), {'r', 's', 'r', 's'});
    result r = run(w.out, want.size() + 10);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(want, r.out);
}

static bytes make_data(int kind, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes d(n);
    for (size_t i = 0; i < n; i++) {
        switch (kind) {
        case 0: d[i] = (uint8_t)rng(); break;
        case 1: d[i] = (uint8_t)((i / 50) % 4); break;                   // long runs
        case 2: d[i] = (uint8_t)"abcab"[rng() % 5]; break;               // small alphabet
        case 3: d[i] = (uint8_t)(i % 4 == 3 ? 255 : (i / 4) % 200); break;
        default: d[i] = (uint8_t)(rng() % 8 == 0 ? rng() : (i ? d[i - 1] : 0)); break;
        }
    }
    return d;
}

TEST(Lzw, RoundTrip) {
    struct ocase { const char *name; enc_options o; };
    enc_options plain;
    enc_options never_clear;
    never_clear.clear_when_full = false;
    enc_options bare;
    bare.clear_first = false;
    bare.end_code = false;
    enc_options often;
    often.clear_every = 300;
    const ocase opts[] = {{"clear when full", plain}, {"table stays full", never_clear},
                          {"no clear, no end", bare}, {"clear every 300 codes", often}};
    for (const ocase &o : opts) {
        for (int kind = 0; kind < 5; kind++) {
            for (size_t n : {0, 1, 2, 3, 100, 5000, 100000}) {
                SCOPED_TRACE(std::string(o.name) + " kind " + std::to_string(kind) + " size " +
                             std::to_string(n));
                bytes d = make_data(kind, n, (uint32_t)(n * 3 + (size_t)kind));
                bytes z = lzw_encode(d, o.o);
                result r = run(z, d.size());
                ASSERT_EQ(0, r.rc);
                ASSERT_EQ(d, r.out);
                if (n > 0) ASSERT_EQ(-1, run(z, d.size() - 1).rc);
            }
        }
    }
}

// A cut stream decodes to a prefix of the data; a mutated one gives 0 or -1, never more bytes
// than the buffer holds.
TEST(Lzw, TruncationAndMutation) {
    bytes d = make_data(4, 6000, 9);
    enc_options o;
    o.clear_every = 1000;
    bytes z = lzw_encode(d, o);
    for (size_t n = 0; n < z.size(); n++) {
        result r = run(bytes(z.begin(), z.begin() + (ptrdiff_t)n), d.size());
        ASSERT_EQ(0, r.rc) << n;
        ASSERT_LE(r.out.size(), d.size());
        ASSERT_TRUE(std::equal(r.out.begin(), r.out.end(), d.begin())) << n;
    }
    std::mt19937 rng(4);
    for (int i = 0; i < 3000; i++) {
        bytes m = z;
        m[rng() % m.size()] ^= (uint8_t)(1u << (rng() % 8));
        if (i % 2) m[rng() % m.size()] = (uint8_t)rng();
        result r = run(m, d.size() + 50);
        ASSERT_TRUE(r.rc == 0 || r.rc == -1);
        if (r.rc == 0) ASSERT_LE(r.len, d.size() + 50);
    }
}
