// Tests of the CCITT fax decoder: hand-built bitstreams for the codes and parameters, data written by
// real encoders (tests/fixtures/ccitt/, see make_fixtures.py), libtiff as encoder and independent
// decoder (skipped without it), and a mutation sweep.
#include "codec/ccitt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifdef HAVE_TIFF
#include <tiffio.h>
#endif

typedef std::vector<uint8_t> bytes;

// ---- Helpers ----

// Bits written as text, first bit first: '0' and '1' count, everything else is for the reader;
// zero bits fill the last byte.
static bytes bits(const std::string &s) {
    bytes out;
    size_t n = 0;
    for (char c : s) {
        if (c != '0' && c != '1') continue;
        if (n % 8 == 0) out.push_back(0);
        if (c == '1') out.back() |= (uint8_t)(0x80u >> (n % 8));
        n++;
    }
    return out;
}

static uint64_t row_bytes(int32_t columns) { return ((uint64_t)columns + 7) / 8; }

// Rows written as runs, "w3 b2 w3|b8": white and black runs, rows between '|'; packed rows with
// 1 = black. "" is no row.
static bytes runs(const std::string &s, int32_t columns, int32_t *nrows) {
    bytes out;
    *nrows = 0;
    if (s.empty()) return out;
    std::stringstream rows(s);
    std::string row;
    while (std::getline(rows, row, '|')) {
        size_t base = out.size();
        out.resize(base + row_bytes(columns), 0);
        std::stringstream in(row);
        std::string run;
        int32_t x = 0;
        while (in >> run) {
            int32_t len = atoi(run.c_str() + 1);
            for (int32_t i = 0; i < len; i++, x++)
                if (run[0] == 'b') out[base + (size_t)x / 8] |= (uint8_t)(0x80u >> (x % 8));
        }
        EXPECT_EQ(columns, x) << "row \"" << row << "\" is not columns wide";
        (*nrows)++;
    }
    return out;
}

// What the decoder outputs for these black pixels: themselves when black is 1, else their
// complement with the padding bits still 0.
static bytes as_output(bytes ink, const ccitt_params &p) {
    if (p.black_is_1) return ink;
    uint64_t rb = row_bytes(p.columns);
    uint8_t pad = p.columns % 8 ? (uint8_t)(0xff00u >> (p.columns % 8)) : 0xff;
    for (size_t i = 0; i < ink.size(); i++) {
        ink[i] = (uint8_t)~ink[i];
        if (i % rb == rb - 1) ink[i] &= pad;
    }
    return ink;
}

// Parameters: flags 'A' EncodedByteAlign, 'E' EndOfLine, 'N' no EndOfBlock, 'W' white is 1
// (BlackIs1 false; without it the tests take BlackIs1 true, so the output is the black pixels).
static ccitt_params params(int32_t k, int32_t columns, int32_t rows, const char *flags, int32_t damaged) {
    ccitt_params p;
    ccitt_params_default(&p);
    p.k = k;
    p.columns = columns;
    p.rows = rows;
    p.black_is_1 = 1;
    p.damaged_rows_before_error = damaged;
    for (const char *f = flags; *f; f++) {
        if (*f == 'A') p.encoded_byte_align = 1;
        if (*f == 'E') p.end_of_line = 1;
        if (*f == 'N') p.end_of_block = 0;
        if (*f == 'W') p.black_is_1 = 0;
    }
    return p;
}

struct decoded {
    int32_t rows = -1;
    bytes out;
    uint64_t used = 0;
};

// Decodes and checks what every successful call promises: the length, zero padding bits, the
// bytes used within the input.
static decoded decode(const bytes &src, const ccitt_params &p) {
    decoded d;
    uint8_t *out = nullptr;
    uint64_t len = 0;
    d.rows = ccitt_decode(src.data(), src.size(), &p, &out, &len, &d.used);
    if (d.rows < 0) return d;
    EXPECT_NE(nullptr, out);
    EXPECT_EQ((uint64_t)d.rows * row_bytes(p.columns), len);
    EXPECT_LE(d.used, (uint64_t)src.size());
    if (p.rows > 0) EXPECT_LE(d.rows, p.rows);
    d.out.assign(out, out + len);
    free(out);
    uint64_t rb = row_bytes(p.columns);
    if (p.columns % 8)
        for (uint64_t i = rb - 1; i < len; i += rb) EXPECT_EQ(0, d.out[i] & (0xffu >> (p.columns % 8))) << "padding";
    return d;
}

static bytes read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A PBM (P4) image: its rows, 1 = black.
static bytes read_pbm(const std::string &path, int32_t *w, int32_t *h) {
    bytes f = read_file(path);
    std::string head(f.begin(), f.begin() + std::min<size_t>(f.size(), 32));
    int consumed = 0;
    if (sscanf(head.c_str(), "P4 %d %d%n", w, h, &consumed) != 2) return bytes();
    return bytes(f.begin() + consumed + 1, f.end());
}

// ---- Hand-built bitstreams ----

#define EOL "000000000001 "
#define EOL1 EOL "1 "
#define EOL0 EOL "0 "
#define EOFB EOL EOL
#define RTC EOL EOL EOL EOL EOL EOL
#define RTC1 EOL1 EOL1 EOL1 EOL1 EOL1 EOL1
#define V0 "1 "
#define VR1 "011 "
#define VR2 "000011 "
#define VR3 "0000011 "
#define VL1 "010 "
#define VL2 "000010 "
#define VL3 "0000010 "
#define HORIZ "001 "
#define PASS "0001 "
#define EXT "0000001 "
// One-dimensional rows of 8 pixels: w3 b2 w3 and w2 b4 w2.
#define ROW_A "1000 11 1000 "
#define ROW_B "0111 011 0111 "
// No code: the one-dimensional extension 000, and the two-dimensional one.
#define NO_CODE_1D "000000001000 "
#define NO_CODE_2D EXT "000 "

struct hand_case {
    const char *name;
    int32_t k, columns, rows;
    const char *flags;
    int32_t damaged;
    const char *bits;
    const char *want;  // rows as runs of black pixels
    int64_t used;      // bytes of input used; -1: not checked
};

static const hand_case hand_cases[] = {
    // Group 4: the modes.
    {"v0 on the white reference row", -1, 8, 0, "", 0, V0, "w8", 1},
    {"horizontal mode then v0", -1, 8, 0, "", 0, HORIZ "0111 10" V0, "w2 b3 w3", -1},
    {"vertical modes follow the reference row", -1, 8, 0, "", 0, HORIZ "0111 011" V0 VL1 VR1 V0,
     "w2 b4 w2|w1 b6 w1", -1},
    {"pass mode", -1, 8, 0, "", 0, HORIZ "0111 11" V0 PASS V0, "w2 b2 w4|w8", -1},
    {"vertical offsets of two and three", -1, 16, 0, "", 0, HORIZ "1011 011" V0 VL3 VR2 V0 VR3 VL2 V0,
     "w4 b4 w8|w1 b9 w6|w4 b4 w8", -1},
    {"rows that start black", -1, 8, 0, "", 0, HORIZ "00110101 10" V0 V0 V0 V0, "b3 w5|b3 w5", -1},
    {"makeup codes in horizontal mode", -1, 3000, 0, "", 0, HORIZ "00000001000 00110101 0000001110110 000000101000",
     "w1792 b1208", -1},
    {"uncompressed mode", -1, 8, 0, "", 0, EXT "111  1 01 0000001 0" V0, "b1 w1 b1 w5", -1},
    {"uncompressed mode to the row's end", -1, 8, 0, "", 0, EXT "111  000001 001 0000001 0", "w7 b1", -1},
    // Group 4: ends and limits.
    {"a horizontal run past the row's end is cut", -1, 8, 0, "", 0, HORIZ "0111 000101", "w2 b6", -1},
    {"a vertical code past the row's end is cut", -1, 8, 0, "", 0, VR3, "w8", -1},
    {"the data ends inside a row", -1, 8, 0, "", 0, HORIZ "0111 011" V0 VL1, "w2 b4 w2", -1},
    {"an EOFB ends the data", -1, 8, 0, "", 0, V0 EOFB "11111111 11111111", "w8", 4},
    {"fill before the EOFB", -1, 8, 0, "", 0, V0 "0000000" EOFB "11111111", "w8", 4},
    {"rows stops before the data's end", -1, 8, 1, "", 0, V0 V0 V0, "w8", 1},
    {"the EOFB after the last row counts as used", -1, 8, 1, "", 0, V0 EOFB "11111111", "w8", 4},
    {"byte-aligned rows skip any padding bits", -1, 8, 0, "A", 0,
     HORIZ "0111 011" V0 "11111" VL1 VR1 V0 "1" EOFB "11111111", "w2 b4 w2|w1 b6 w1", 6},
    // Group 4: damage ends decoding, whatever DamagedRowsBeforeError says.
    {"an EOL inside a row", -1, 8, 0, "E", 5, V0 HORIZ "0111" EOL V0, "w8", -1},
    {"an extension other than uncompressed mode", -1, 8, 0, "", 0, V0 NO_CODE_2D V0, "w8", -1},
    {"a change left of a0", -1, 8, 0, "", 0, HORIZ "0111 11" V0 V0 VL3, "w2 b2 w4", -1},
    {"an unknown uncompressed-mode code", -1, 8, 0, "", 0, V0 EXT "111 000000000001" V0, "w8", -1},
    // Group 3, one-dimensional.
    {"one-dimensional rows", 0, 8, 0, "", 0, ROW_A ROW_B, "w3 b2 w3|w2 b4 w2", -1},
    {"zero-length runs", 0, 8, 0, "", 0, "00110101 0000110111 10011  1000 0000110111 1100", "w8|w8", -1},
    {"white makeup 1728", 0, 1730, 0, "", 0, "010011011 0111", "w1730", -1},
    {"runs longer than 2560 white", 0, 5200, 0, "", 0, "000000011111 000000011111 11011 101010", "w5200", -1},
    {"runs longer than 2560 black", 0, 2600, 0, "", 0, "00110101 000000011111 000001101100", "b2600", -1},
    {"a one-dimensional run past the row's end is cut", 0, 8, 0, "", 0, "1000 000100", "w3 b5", -1},
    {"the data ends inside a run code", 0, 8, 0, "", 0, "1000 0001", "", -1},
    {"uncompressed mode in a one-dimensional row", 0, 16, 0, "", 0,
     "000000001111  000001 00001 00000001 1  10 0111", "w9 b1 w1 b3 w2", -1},
    {"white is 1 and the padding stays 0", 0, 5, 0, "W", 0, "0111 10", "w2 b3", -1},
    // Group 3: EOLs, fill, RTC, alignment.
    {"EOLs and an RTC", 0, 8, 0, "E", 0, EOL ROW_A EOL ROW_B RTC "1111 11111111", "w3 b2 w3|w2 b4 w2", 15},
    {"EOLs are taken without EndOfLine", 0, 8, 0, "", 0, EOL ROW_A EOL ROW_B, "w3 b2 w3|w2 b4 w2", -1},
    {"fill before the EOLs", 0, 8, 0, "", 0, "0000" EOL ROW_A "000000000" EOL ROW_B, "w3 b2 w3|w2 b4 w2", -1},
    {"rows stops before an RTC, which counts as used", 0, 8, 2, "E", 0, EOL ROW_A EOL ROW_B RTC "11111111",
     "w3 b2 w3|w2 b4 w2", 15},
    {"EOLs ending on byte boundaries", 0, 8, 0, "AE", 0, "0000" EOL ROW_A "00" EOL ROW_B, "w3 b2 w3|w2 b4 w2", -1},
    {"EOLs ending on byte boundaries without EndOfLine", 0, 8, 0, "A", 0, "0000" EOL ROW_A "00" EOL ROW_B,
     "w3 b2 w3|w2 b4 w2", -1},
    {"byte-aligned rows without EOLs", 0, 8, 0, "A", 0, ROW_A "101010" ROW_B, "w3 b2 w3|w2 b4 w2", -1},
    {"byte-aligned rows, a white run of 2432 after the padding", 0, 2480, 0, "A", 0,
     "000000011101 00001011 0000 000000011101 00001011", "w2480|w2480", -1},
    {"byte-aligned rows with EndOfLine, a white run of 2432 after the padding", 0, 2480, 0, "AE", 0,
     "000000011101 00001011 0000 000000011101 00001011", "w2480|w2480", -1},
    // Group 3, mixed one- and two-dimensional.
    {"tag bits after EOLs choose the coding", 2, 8, 0, "E", 0, EOL1 ROW_B EOL0 VL1 VR1 V0 RTC1,
     "w2 b4 w2|w1 b6 w1", -1},
    {"tag bits without EOLs", 2, 8, 0, "", 0, "1" ROW_B "0" VL1 VR1 V0 RTC1, "w2 b4 w2|w1 b6 w1", -1},
    {"no tag bits: one-dimensional rows every K rows", 2, 8, 0, "", 0, ROW_B VL1 VR1 V0 ROW_B RTC1,
     "w2 b4 w2|w1 b6 w1|w2 b4 w2", -1},
    {"no tag bits, byte-aligned", 3, 8, 3, "A", 0, ROW_B "00000" VL1 VR1 V0 "0" VR1 VL1 V0 "0",
     "w2 b4 w2|w1 b6 w1|w2 b4 w2", -1},
    // Group 3: damaged rows.
    {"a damaged row is replaced by the one before", 0, 8, 0, "E", 1, EOL ROW_A EOL NO_CODE_1D EOL ROW_B RTC,
     "w3 b2 w3|w3 b2 w3|w2 b4 w2", -1},
    {"damage beyond DamagedRowsBeforeError ends decoding", 0, 8, 0, "E", 0, EOL ROW_A EOL NO_CODE_1D EOL ROW_B,
     "w3 b2 w3", -1},
    {"damage without EndOfLine ends decoding", 0, 8, 0, "", 1, EOL ROW_A EOL NO_CODE_1D EOL ROW_B, "w3 b2 w3", -1},
    {"a damaged row after a damaged row is white", 0, 8, 0, "E", 2,
     EOL ROW_A EOL NO_CODE_1D EOL NO_CODE_1D EOL ROW_B, "w3 b2 w3|w3 b2 w3|w8|w2 b4 w2", -1},
    {"one damaged row too many", 0, 8, 0, "E", 2, EOL ROW_A EOL NO_CODE_1D EOL NO_CODE_1D EOL NO_CODE_1D EOL ROW_B,
     "w3 b2 w3|w3 b2 w3|w8", -1},
    {"a damaged first row is white", 0, 8, 0, "E", 1, EOL NO_CODE_1D EOL ROW_B, "w8|w2 b4 w2", -1},
    {"a row cut short by an EOL is damaged", 0, 8, 0, "E", 1, EOL ROW_A EOL "1000" EOL ROW_B,
     "w3 b2 w3|w3 b2 w3|w2 b4 w2", -1},
    {"the row after a damaged one is coded against its replacement", 2, 8, 0, "E", 1,
     EOL1 ROW_A EOL0 NO_CODE_2D EOL0 VL1 VR1 V0 RTC1, "w3 b2 w3|w3 b2 w3|w2 b4 w2", -1},
    {"no EOL after the damage", 0, 8, 0, "E", 3, EOL ROW_A EOL NO_CODE_1D "1111", "w3 b2 w3", -1},
};

TEST(Ccitt, HandBuiltStreams) {
    for (const hand_case &c : hand_cases) {
        SCOPED_TRACE(c.name);
        ccitt_params p = params(c.k, c.columns, c.rows, c.flags, c.damaged);
        int32_t want_rows = 0;
        bytes want = as_output(runs(c.want, c.columns, &want_rows), p);
        bytes src = bits(c.bits);
        decoded d = decode(src, p);
        ASSERT_EQ(want_rows, d.rows);
        EXPECT_EQ(want, d.out);
        if (c.used >= 0) EXPECT_EQ((uint64_t)c.used, d.used);
    }
}

TEST(Ccitt, RefusesBadParameters) {
    struct bad_case {
        const char *name;
        int32_t columns, rows, damaged;
    } cases[] = {
        {"no columns", 0, 0, 0},
        {"negative columns", -8, 0, 0},
        {"columns past the limit", ccitt_max_columns + 1, 0, 0},
        {"negative rows", 8, -1, 0},
        {"negative DamagedRowsBeforeError", 8, 0, -1},
    };
    bytes src = bits(V0);
    for (const bad_case &c : cases) {
        SCOPED_TRACE(c.name);
        ccitt_params p = params(-1, c.columns, c.rows, "", c.damaged);
        uint8_t *out = (uint8_t *)&p;  // must stay untouched
        uint64_t len = 77, used = 77;
        EXPECT_EQ(-1, ccitt_decode(src.data(), src.size(), &p, &out, &len, &used));
        EXPECT_EQ((uint8_t *)&p, out);
        EXPECT_EQ(77u, len);
        EXPECT_EQ(77u, used);
    }
    ccitt_params p = params(-1, 8, 0, "", 0);
    uint8_t *out = nullptr;
    uint64_t len = 0;
    EXPECT_EQ(-1, ccitt_decode(nullptr, 1, &p, &out, &len, nullptr));
    EXPECT_EQ(-1, ccitt_decode(src.data(), src.size(), nullptr, &out, &len, nullptr));
    EXPECT_EQ(-1, ccitt_decode(src.data(), src.size(), &p, nullptr, &len, nullptr));
    EXPECT_EQ(-1, ccitt_decode(src.data(), src.size(), &p, &out, nullptr, nullptr));
    // No data is no row, but a buffer all the same.
    EXPECT_EQ(0, ccitt_decode(nullptr, 0, &p, &out, &len, nullptr));
    EXPECT_NE(nullptr, out);
    EXPECT_EQ(0u, len);
    free(out);
}

// A row per bit at the most: every bit of 0xff is a V0 row of the widest image, however many rows
// are asked for.
TEST(Ccitt, RowsAreBoundedByTheInput) {
    bytes src(16, 0xff);
    for (int32_t rows : {0, 1 << 30}) {
        SCOPED_TRACE(rows);
        ccitt_params p = params(-1, ccitt_max_columns, rows, "", 0);
        decoded d = decode(src, p);
        EXPECT_EQ(128, d.rows);
    }
}

// ---- Data from real encoders ----

struct fixture {
    std::string file, expected, producer;
    ccitt_params p;
    int reverse;
};

static std::vector<fixture> fixtures() {
    std::vector<fixture> out;
    std::ifstream in(std::string(TEST_SOURCE_DIR) + "/fixtures/ccitt/cases.txt");
    std::string line;
    while (std::getline(in, line)) {
        std::stringstream s(line);
        fixture f;
        ccitt_params_default(&f.p);
        s >> f.file >> f.p.k >> f.p.columns >> f.p.rows >> f.p.encoded_byte_align >> f.p.end_of_line >>
            f.p.end_of_block >> f.p.black_is_1 >> f.reverse >> f.expected;
        std::getline(s, f.producer);
        if (!f.file.empty()) out.push_back(f);
    }
    return out;
}

static bytes fixture_data(const fixture &f) {
    bytes d = read_file(std::string(TEST_SOURCE_DIR) + "/fixtures/ccitt/" + f.file);
    if (f.reverse)
        for (uint8_t &b : d) {
            uint8_t r = 0;
            for (int i = 0; i < 8; i++) r = (uint8_t)(r | (((b >> i) & 1) << (7 - i)));
            b = r;
        }
    return d;
}

static bytes fixture_expected(const fixture &f, int32_t *w, int32_t *h) {
    return read_pbm(std::string(TEST_SOURCE_DIR) + "/fixtures/ccitt/" + f.expected, w, h);
}

TEST(Ccitt, ProducerData) {
    std::vector<fixture> all = fixtures();
    ASSERT_GE(all.size(), 20u);
    for (const fixture &f : all) {
        SCOPED_TRACE(f.file + ":" + f.producer);
        bytes src = fixture_data(f);
        int32_t w = 0, h = 0;
        bytes want = as_output(fixture_expected(f, &w, &h), f.p);
        ASSERT_EQ(f.p.columns, w);
        decoded d = decode(src, f.p);
        EXPECT_EQ(h, d.rows);
        EXPECT_EQ(want, d.out);
        EXPECT_EQ(src.size(), d.used);
        // Without /Rows the data's own end (EOFB, RTC or its last byte) ends it the same way.
        ccitt_params no_rows = f.p;
        no_rows.rows = 0;
        decoded d0 = decode(src, no_rows);
        EXPECT_EQ(h, d0.rows);
        EXPECT_EQ(want, d0.out);
    }
}

// ---- Mutation sweep ----

// Every byte of some producer streams flipped, one bit of it flipped, and every truncation: a
// defined result and, as truncation cannot change the rows before it, the rows decoded from a
// prefix are the first rows of the whole. (Damage tolerance and the two readings of K > 0 data
// without EOLs can give other rows, so those streams are only checked for a defined result.)
TEST(Ccitt, MutationSweep) {
    struct sweep_case {
        const char *file;
        int32_t damaged;
        bool prefix;
    } cases[] = {
        {"tiffcp_g4.bin", 0, true},          {"gs_g4_align.bin", 0, true},      {"tiffcp_g3_1d.bin", 0, true},
        {"tiffcp_g3_2d_fill.bin", 0, true},  {"gs_g3_1d_align.bin", 0, true},  {"gs_g3_2d.bin", 0, false},
        {"gs_g3_2d_eol.bin", 3, false},      {"gs_g3_2d_k4_align.bin", 0, false},
    };
    std::vector<fixture> all = fixtures();
    for (const sweep_case &c : cases) {
        SCOPED_TRACE(c.file);
        const fixture *f = nullptr;
        for (const fixture &x : all)
            if (x.file == c.file) f = &x;
        ASSERT_NE(nullptr, f);
        ccitt_params p = f->p;
        p.damaged_rows_before_error = c.damaged;
        bytes src = fixture_data(*f);
        decoded whole = decode(src, p);
        ASSERT_EQ(p.rows, whole.rows);
        for (size_t i = 0; i < src.size(); i++) {
            for (uint8_t flip : {(uint8_t)0xff, (uint8_t)(1u << (i % 8))}) {
                bytes m = src;
                m[i] ^= flip;
                decoded d = decode(m, p);
                ASSERT_GE(d.rows, 0) << "byte " << i;
            }
        }
        for (size_t n = 0; n < src.size(); n++) {
            bytes m(src.begin(), src.begin() + (long)n);
            decoded d = decode(m, p);
            ASSERT_GE(d.rows, 0) << "truncated at " << n;
            if (c.prefix) {
                ASSERT_LE(d.rows, whole.rows);
                ASSERT_TRUE(std::equal(d.out.begin(), d.out.end(), whole.out.begin())) << "truncated at " << n;
            }
        }
    }
}

// ---- libtiff: an encoder whose output we decode, and a decoder of the producers' data ----

#ifdef HAVE_TIFF

// A temporary TIFF file in the build tree, removed when done.
struct tiff_file {
    std::string path;
    explicit tiff_file(const char *name) : path(std::string(TEST_BINARY_DIR) + "/" + name) {}
    ~tiff_file() { remove(path.c_str()); }
};

// A one-strip bilevel TIFF being written, 1 = black; g3options < 0: Group 4.
static TIFF *tiff_create(const tiff_file &f, int32_t w, int32_t h, int g3options) {
    TIFF *t = TIFFOpen(f.path.c_str(), "w");
    if (!t) return nullptr;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, h);
    TIFFSetField(t, TIFFTAG_COMPRESSION, g3options < 0 ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3);
    if (g3options >= 0) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, (uint32_t)g3options);
    return t;
}

// The rows (1 = black) encoded by libtiff; g3options < 0: Group 4. Returns the raw strip.
static bytes libtiff_encode(const bytes &rows, int32_t w, int32_t h, int g3options) {
    tiff_file f("ccitt_encode.tif");
    TIFF *t = tiff_create(f, w, h, g3options);
    if (!t) return bytes();
    TIFFWriteEncodedStrip(t, 0, (void *)rows.data(), (tmsize_t)rows.size());
    TIFFClose(t);
    t = TIFFOpen(f.path.c_str(), "r");
    if (!t) return bytes();
    bytes raw((size_t)TIFFRawStripSize(t, 0));
    TIFFReadRawStrip(t, 0, raw.data(), (tmsize_t)raw.size());
    TIFFClose(t);
    return raw;
}

// Group 4 data decoded by libtiff (written as the raw strip of a TIFF).
static bytes libtiff_decode_g4(const bytes &raw, int32_t w, int32_t h) {
    tiff_file f("ccitt_decode.tif");
    TIFF *t = tiff_create(f, w, h, -1);
    if (!t) return bytes();
    TIFFWriteRawStrip(t, 0, (void *)raw.data(), (tmsize_t)raw.size());
    TIFFClose(t);
    t = TIFFOpen(f.path.c_str(), "r");
    if (!t) return bytes();
    bytes out((size_t)row_bytes(w) * (size_t)h);
    tmsize_t got = TIFFReadEncodedStrip(t, 0, out.data(), (tmsize_t)out.size());
    TIFFClose(t);
    if (got != (tmsize_t)out.size()) return bytes();
    return out;
}

// Images whose runs take every code: rows of runs of each length from 0 to 2700 in both colours,
// fixed-seed noise (short runs, every vertical offset), and rows that repeat with shifts.
static bytes test_image(int kind, int32_t w, int32_t h) {
    bytes rows((size_t)row_bytes(w) * (size_t)h, 0);
    std::mt19937 rng(77 + kind);
    auto set = [&](int32_t x, int32_t y) { rows[(size_t)y * row_bytes(w) + (size_t)x / 8] |= (uint8_t)(0x80u >> (x % 8)); };
    int32_t len = 0;
    for (int32_t y = 0; y < h; y++) {
        if (kind == 0) {  // runs of every length, taking turns in colour; each row starts where the last left off
            int32_t x = 0;
            bool black = y % 2 == 1;
            while (x < w) {
                int32_t n = std::min(len, w - x);
                if (black)
                    for (int32_t i = 0; i < n; i++) set(x + i, y);
                x += n;
                black = !black;
                len = (len + 1) % 2701;
            }
        } else if (kind == 1) {  // noise of varying density
            uint32_t density = 2 + (uint32_t)(y % 7);
            for (int32_t x = 0; x < w; x++)
                if (rng() % density == 0) set(x, y);
        } else {  // bars that drift by up to three pixels per row
            for (int32_t bar = 0; bar < w / 40; bar++) {
                int32_t x0 = bar * 40 + (int32_t)((y * (bar % 7)) % 40), x1 = x0 + 3 + bar % 17;
                for (int32_t x = x0; x < x1 && x < w; x++) set(x, y);
            }
        }
    }
    return rows;
}

TEST(Ccitt, LibtiffEncodedImages) {
    struct form {
        const char *name;
        int g3options;
        int32_t k;
        const char *flags;
    } forms[] = {
        {"Group 4", -1, -1, ""},
        {"Group 3 1-D", 0, 0, "E"},
        {"Group 3 2-D", GROUP3OPT_2DENCODING, 1, "E"},
        {"Group 3 1-D with fill", GROUP3OPT_FILLBITS, 0, "AE"},
        {"Group 3 2-D with fill", GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS, 1, "AE"},
        {"Group 3 2-D with fill, no EndOfLine", GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS, 1, "A"},
    };
    TIFFSetWarningHandler(nullptr);
    struct size {
        int32_t w, h;
    } sizes[] = {{2703, 150}, {1, 3}, {8, 5}, {333, 40}};
    for (int kind = 0; kind < 3; kind++) {
        for (const size &s : sizes) {
            bytes image = test_image(kind, s.w, s.h);
            for (const form &f : forms) {
                SCOPED_TRACE(std::string(f.name) + ", image " + std::to_string(kind) + ", " + std::to_string(s.w) +
                             " wide");
                bytes raw = libtiff_encode(image, s.w, s.h, f.g3options);
                ASSERT_FALSE(raw.empty());
                ccitt_params p = params(f.k, s.w, s.h, f.flags, 0);
                decoded d = decode(raw, p);
                EXPECT_EQ(s.h, d.rows);
                EXPECT_TRUE(d.out == image);
            }
        }
    }
}

// libtiff, an independent decoder, on the producers' Group 4 data.
TEST(Ccitt, LibtiffAgreesOnProducerData) {
    TIFFSetWarningHandler(nullptr);
    for (const fixture &f : fixtures()) {
        if (f.p.k >= 0 || f.p.encoded_byte_align || f.p.rows == 0) continue;
        SCOPED_TRACE(f.file);
        bytes src = fixture_data(f);
        ccitt_params p = f.p;
        p.black_is_1 = 1;
        decoded d = decode(src, p);
        EXPECT_EQ(libtiff_decode_g4(src, p.columns, p.rows), d.out);
    }
}

#endif
