// Tests of the ASCIIHexDecode, ASCII85Decode and RunLengthDecode filters.
#include "codec/ascii.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

// Lets the sanitizer build return NULL from an impossible allocation instead of stopping, so
// the out-of-memory path can be tested.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

typedef std::vector<uint8_t> bytes;
typedef uint8_t *(*decoder_fn)(const uint8_t *, uint64_t, uint64_t *);

// Runs a decoder on an exactly sized heap copy of the input, so a read past len is caught by
// the sanitizer build.
static bytes decode(decoder_fn fn, const bytes &in) {
    uint8_t *copy = (uint8_t *)malloc(in.size() ? in.size() : 1);
    if (!in.empty()) memcpy(copy, in.data(), in.size());
    uint64_t n = 0xdeadbeef;
    uint8_t *out = fn(copy, in.size(), &n);
    free(copy);
    EXPECT_NE(nullptr, out);
    if (!out) return {};
    EXPECT_NE(0xdeadbeefu, n);
    bytes r(out, out + n);
    free(out);
    return r;
}

static bytes b(const std::string &s) { return bytes(s.begin(), s.end()); }

struct text_case { const char *name; std::string in; bytes want; };

TEST(AsciiHex, Cases) {
    const text_case cases[] = {
        {"Hello then garbage after >", "48 65 6C6c6F>garbage", b("Hello")},
        {"odd digit count", "ABC", {0xab, 0xc0}},
        {"angle brackets", "<41>", {0x41}},
        {"empty", "", {}},
        {"only the end mark", ">41", {}},
        {"all whitespace kinds", "4\t1\n4\v2\f4\r3 44", {0x41, 0x42, 0x43, 0x44}},
        {"non-digits ignored", "4g1zZ-4.2", {0x41, 0x42}},
        {"lone digit before end mark", "7>", {0x70}},
        {"high bytes ignored", "\x80" "4\xff" "1", {0x41}},
        {"NUL ignored", std::string("4\0" "1", 3), {0x41}},
        {"mixed case", "aAfF", {0xaa, 0xff}},
    };
    for (const text_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, decode(decode_hex, b(c.in)));
    }
}

TEST(AsciiHex, AllBytes) {
    std::string text;
    bytes want;
    for (int i = 0; i < 256; i++) {
        char tmp[4];
        snprintf(tmp, sizeof tmp, i % 2 ? "%02x" : "%02X", i);
        text += tmp;
        if (i % 7 == 0) text += "\r\n";
        want.push_back((uint8_t)i);
    }
    EXPECT_EQ(want, decode(decode_hex, b(text)));
}

// ASCII85 as the PDF standard writes it: 4-byte groups as 5 digits, 'z' for a zero group, a
// final group of m bytes as m + 1 digits, then "~>".
static std::string a85_encode(const bytes &d, bool use_z, int line) {
    std::string s;
    for (size_t i = 0; i < d.size(); i += 4) {
        size_t m = std::min<size_t>(4, d.size() - i);
        uint32_t v = 0;
        for (size_t j = 0; j < 4; j++) v = (v << 8) | (j < m ? d[i + j] : 0u);
        if (m == 4 && v == 0 && use_z) {
            s += 'z';
        } else {
            char g[5];
            for (int j = 4; j >= 0; j--) {
                g[j] = (char)('!' + v % 85);
                v /= 85;
            }
            s.append(g, m + 1);
        }
        if (line && (i / 4) % (size_t)line == (size_t)line - 1) s += '\n';
    }
    return s + "~>";
}

TEST(Ascii85, Cases) {
    const text_case cases[] = {
        {"full group", "9jqo^", {0x4d, 0x61, 0x6e, 0x20}},
        {"four digits, no end mark", "9jqo", {0x4d, 0x61, 0x6e}},
        {"single digit dropped", "9", {}},
        {"single digit after a group dropped", "9jqo^9", {0x4d, 0x61, 0x6e, 0x20}},
        {"z", "z~>", {0, 0, 0, 0}},
        {"z inside a group ignored", "!!z", {0}},
        {"<~ is not special", "<~9jqo^~>", {0x54, 0xeb, 0x0c, 0x02}},
        {"~ not before > passed over", "9j~qo^", {0x4d, 0x61, 0x6e, 0x20}},
        {"~ at the very end", "9jqo^~", {0x4d, 0x61, 0x6e, 0x20}},
        {"end mark stops reading", "9jqo^~>9jqo^", {0x4d, 0x61, 0x6e, 0x20}},
        {"end mark inside a group", "9jq~>o^", {0x4d, 0x61}},
        {"whitespace inside a group", "9j q\r\no\t^", {0x4d, 0x61, 0x6e, 0x20}},
        {"bytes outside the alphabet ignored", "9j{q|ov^\x80\xff", {0x4d, 0x61, 0x6e, 0x20}},
        {"largest group", "s8W-!", {0xff, 0xff, 0xff, 0xff}},
        // 85^5 - 1 = 4437053124 wraps to 142085828 = 0x08780EC4.
        {"group above 2^32 wraps", "uuuuu", {0x08, 0x78, 0x0e, 0xc4}},
        {"empty", "", {}},
        {"only the end mark", "~>", {}},
        {"two-digit tail", "9jqo^BE~>", {0x4d, 0x61, 0x6e, 0x20, 0x68}},
    };
    for (const text_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, decode(decode_a85, b(c.in)));
    }
}

TEST(Ascii85, RoundTrip) {
    std::mt19937 rng(85);
    for (size_t n : {0, 1, 2, 3, 4, 5, 7, 8, 100, 1001, 4096}) {
        for (int kind = 0; kind < 3; kind++) {
            SCOPED_TRACE("size " + std::to_string(n) + " kind " + std::to_string(kind));
            bytes d(n);
            for (uint8_t &x : d) x = kind == 0 ? (uint8_t)rng() : kind == 1 ? 0 : (uint8_t)(rng() % 3 ? 0 : 0xff);
            EXPECT_EQ(d, decode(decode_a85, b(a85_encode(d, true, 16))));
            EXPECT_EQ(d, decode(decode_a85, b(a85_encode(d, false, 0))));
        }
    }
}

TEST(Ascii85, ZerosGrowTheBuffer) {
    // Each 'z' gives four bytes from one: the output outgrows the first allocation many times.
    for (size_t n : {1, 4, 5, 17, 1000, 100000}) {
        SCOPED_TRACE(n);
        std::string s(n, 'z');
        s += "9jqo";  // a partial group at the end needs room too
        bytes want(n * 4, 0);
        want.insert(want.end(), {0x4d, 0x61, 0x6e});
        EXPECT_EQ(want, decode(decode_a85, b(s)));
    }
}

// RunLengthDecode as the PDF standard writes it, runs of equal bytes as repeats.
static bytes rl_encode(const bytes &d, bool end_mark) {
    bytes out;
    size_t i = 0;
    while (i < d.size()) {
        size_t run = 1;
        while (i + run < d.size() && run < 128 && d[i + run] == d[i]) run++;
        if (run >= 2) {
            out.push_back((uint8_t)(257 - run));
            out.push_back(d[i]);
            i += run;
            continue;
        }
        size_t lit = 1;
        while (i + lit < d.size() && lit < 128 &&
               !(i + lit + 1 < d.size() && d[i + lit] == d[i + lit + 1]))
            lit++;
        out.push_back((uint8_t)(lit - 1));
        out.insert(out.end(), d.begin() + (ptrdiff_t)i, d.begin() + (ptrdiff_t)(i + lit));
        i += lit;
    }
    if (end_mark) out.push_back(128);
    return out;
}

TEST(RunLength, Cases) {
    struct rcase { const char *name; bytes in; bytes want; };
    const rcase cases[] = {
        {"one literal", {0, 'a', 128}, {'a'}},
        {"three literals", {2, 'a', 'b', 'c', 128}, {'a', 'b', 'c'}},
        {"shortest repeat", {255, 'x', 128}, {'x', 'x'}},
        {"longest repeat", {129, 'x', 128}, bytes(128, 'x')},
        {"longest literal run", [] { bytes v = {127}; v.insert(v.end(), 128, 7); return v; }(),
         bytes(128, 7)},
        {"end mark first", {128, 0, 'a'}, {}},
        {"data after end mark ignored", {0, 'a', 128, 0, 'b'}, {'a'}},
        {"no end mark", {1, 'a', 'b', 254, 'c'}, {'a', 'b', 'c', 'c', 'c'}},
        {"literal run cut short", {5, 'a', 'b'}, {'a', 'b'}},
        {"repeat without its byte", {0, 'a', 200}, {'a'}},
        {"length byte alone", {3}, {}},
        {"empty", {}, {}},
    };
    for (const rcase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, decode(decode_runlength, c.in));
    }
}

TEST(RunLength, RoundTrip) {
    std::mt19937 rng(3);
    for (size_t n : {0, 1, 2, 127, 128, 129, 257, 5000}) {
        for (int kind = 0; kind < 3; kind++) {
            SCOPED_TRACE("size " + std::to_string(n) + " kind " + std::to_string(kind));
            bytes d(n);
            for (size_t i = 0; i < n; i++)
                d[i] = kind == 0 ? (uint8_t)rng() : kind == 1 ? (uint8_t)(i / 300) : (uint8_t)(rng() % 2);
            EXPECT_EQ(d, decode(decode_runlength, rl_encode(d, true)));
            EXPECT_EQ(d, decode(decode_runlength, rl_encode(d, false)));
        }
    }
}

// Random input of every length through all three: never a read past len (sanitizer build),
// output within each decoder's bound.
TEST(AsciiFilters, RandomInput) {
    std::mt19937 rng(11);
    const char alphabet[] = "0123456789abcdefABCDEF<>~z!u \n\x80\xff";
    for (int i = 0; i < 2000; i++) {
        bytes in((size_t)(rng() % 64));
        for (uint8_t &x : in) x = i % 2 ? (uint8_t)rng() : (uint8_t)alphabet[rng() % (sizeof alphabet - 1)];
        EXPECT_LE(decode(decode_hex, in).size(), in.size() / 2 + 1);
        EXPECT_LE(decode(decode_a85, in).size(), in.size() * 4);
        EXPECT_LE(decode(decode_runlength, in).size(), in.size() * 64 + 128);
    }
}

TEST(AsciiFilters, AllocationFailureGivesNull) {
    const uint8_t one = '0';
    uint64_t n = 42;
    // Sizes no allocator can give; each decoder fails before reading the input.
    EXPECT_EQ(nullptr, decode_hex(&one, UINT64_MAX - 1, &n));
    EXPECT_EQ(nullptr, decode_a85(&one, UINT64_MAX - 3, &n));
    EXPECT_EQ(nullptr, decode_a85(&one, 1ull << 62, &n));
    EXPECT_EQ(nullptr, decode_runlength(&one, UINT64_MAX, &n));
    EXPECT_EQ(42u, n);
}
