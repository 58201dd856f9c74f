// Lexical helpers of the PDF core: keyword and name boundaries, integer readers and where they
// leave the position, object headers read backwards, /Length forms, dictionary ends.
#include "pdfcore/pdfcore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

static const uint8_t *u(const std::string &s) { return (const uint8_t *)s.data(); }
static int32_t n32(const std::string &s) { return (int32_t)s.size(); }

TEST(Lexer, SkipWsExactlySixBytes) {
    std::string s("\x00\t\n\x0c\r x", 7);
    EXPECT_EQ(6, skip_ws(u(s), 0, n32(s)));
    EXPECT_EQ(0, skip_ws(u(std::string("\x0bx")), 0, 2));  // VT is not PDF whitespace
    EXPECT_EQ(3, skip_ws(u(std::string("   ")), 0, 3));
    EXPECT_EQ(5, skip_ws(u(std::string("   ")), 5, 3));      // pos >= end: pos itself
}

// Comments separate tokens as whitespace does: skip_ws steps over them, skip_white does not.
TEST(Lexer, CommentsAreWhitespace) {
    struct {
        const char *name;
        const char *text;
        int32_t ws, white;
    } cases[] = {
        {"comment then LF", "% note\nx", 7, 0},
        {"comment then CR", "%a\rx", 3, 0},
        {"two comments, spaces between", " % a\n\t% b\r\n x", 12, 1},
        {"comment runs to the end", "  %no end of line", 17, 2},
        {"empty comment", "%\nx", 2, 0},
        {"no comment", "  x%", 2, 2},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        int32_t n = (int32_t)strlen(c.text);
        EXPECT_EQ(c.ws, skip_ws(u(c.text), 0, n));
        EXPECT_EQ(c.white, skip_white(u(c.text), 0, n));
    }
}

struct kw_case {
    const char *name;
    const char *text;
    int32_t pos;
    int32_t want;
};
static const kw_case kw_at_cases[] = {
    {"last three bytes after a space", "1 0 obj", 4, 1},
    {"inside endobj", "endobj", 3, 0},
    {"followed by a word byte", "objx", 0, 0},
    {"followed by <<", "1 0 obj<<", 4, 1},
    {"negative position", "obj", -1, 0},
    {"past the end", "ob", 0, 0},
    {"high byte before counts as boundary", "\xc3obj", 1, 1},
    {"high byte after counts as boundary", "obj\xc3", 0, 1},
};
TEST(Lexer, KwAt) {
    for (const kw_case &c : kw_at_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, kw_at(u(c.text), c.pos, (int32_t)strlen(c.text), "obj"));
    }
}

static const kw_case find_kw_cases[] = {
    {"after a space", "1 0 obj", 0, 4},
    {"inside endobj only", "endobj", 0, -1},
    {"skips objx", "objx 1 0 obj", 0, 9},
    {"negative start searches from 0", "obj", -5, 0},
    {"start past the hit", "obj obj", 1, 4},
    {"keyword longer than data", "ob", 0, -1},
};
TEST(Lexer, FindKw) {
    for (const kw_case &c : find_kw_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, find_kw(u(c.text), (int32_t)strlen(c.text), c.pos, "obj"));
    }
}

struct name_case {
    const char *name;
    const char *text;
    const char *key;
    int32_t end;  // -1: whole text
    int32_t want;
};
static const name_case name_cases[] = {
    {"Length1 is not Length", "/Length1 5 /Length 6", "Length", -1, 11},
    {"name followed by a slash", "/Type/XObject", "Type", -1, 0},
    {"name ending at end", "/A /Name", "Name", -1, 3},
    {"name cut by end", "/A /Names", "Name", 8, 3},
    {"value only", "/S /Type", "Type", -1, 3},
    {"Pages is not Page", "/Pages 2 0 R", "Page", -1, -1},
    {"prefix is not a match", "/Type /Page", "Pag", -1, -1},
    {"plus continues a name", "/Name+ /Name", "Name", -1, 7},
    {"underscore continues", "/Name_x", "Name", -1, -1},
    {"name past end not found", "/A /Name", "Name", 7, -1},
    {"nested dictionary key found", "<< /A << /Len 3 >> >>", "Len", -1, 9},
    {"high byte ends a name", "/Name\xc3", "Name", -1, 0},
};
TEST(Lexer, FindName) {
    for (const name_case &c : name_cases) {
        SCOPED_TRACE(c.name);
        int32_t len = (int32_t)strlen(c.text);
        EXPECT_EQ(c.want, find_name(u(c.text), len, 0, c.end < 0 ? len : c.end, c.key));
    }
    // end beyond len is clipped
    EXPECT_EQ(0, find_name(u(std::string("/Ab")), 3, 0, 1000, "Ab"));
}

struct int_case {
    const char *name;
    const char *text;
    int32_t want;
    int32_t want_pos;
};
static const int_case parse_int_cases[] = {
    {"minus then end", "   -", -1, 0},
    {"plus refused", "+5", -1, 0},
    {"negative", "-7 x", -7, 2},
    {"leading whitespace", " \n 42/", 42, 5},
    {"no digit", "  x", -1, 0},
    {"only whitespace", "   ", -1, 0},
    {"wraps past 32 bits", "4294967297", 1, 10},
    {"stops at non-digit", "12.5", 12, 2},
};
TEST(Lexer, ParseIntAt) {
    for (const int_case &c : parse_int_cases) {
        SCOPED_TRACE(c.name);
        int32_t pos = 0;
        EXPECT_EQ(c.want, parse_int_at(u(c.text), (int32_t)strlen(c.text), &pos));
        EXPECT_EQ(c.want_pos, pos);
    }
}

static const int_case read_int_cases[] = {
    {"R stays", "R", -1, 0},
    {"x stepped over", "x5", -1, 1},
    {"plus accepted", "+12", 12, 3},
    {"minus accepted", " -3 ", -3, 3},
    {"only whitespace goes to len", "   ", -1, 3},
    {"sign last byte", " +", -1, 2},
    {"R after whitespace stays on R", "  R", -1, 2},
};
TEST(Lexer, ReadIntAdv) {
    for (const int_case &c : read_int_cases) {
        SCOPED_TRACE(c.name);
        int32_t pos = 0;
        EXPECT_EQ(c.want, read_int_adv(u(c.text), (int32_t)strlen(c.text), &pos));
        EXPECT_EQ(c.want_pos, pos);
    }
    int32_t pos = 5;
    EXPECT_EQ(-1, read_int_adv(u(std::string("12")), 2, &pos));
    EXPECT_EQ(5, pos);  // at or past len: unchanged
}

static const int_case read_num_cases[] = {
    {"R stepped over", "R", -1, 1},
    {"plus accepted", "+12", 12, 3},
    {"sign last byte goes past end", " -", -1, 3},
    {"only whitespace", "  ", -1, 2},
};
TEST(Lexer, ReadNumAdv) {
    for (const int_case &c : read_num_cases) {
        SCOPED_TRACE(c.name);
        int32_t pos = 0;
        EXPECT_EQ(c.want, read_num_adv(u(c.text), (int32_t)strlen(c.text), &pos));
        EXPECT_EQ(c.want_pos, pos);
    }
}

// A loop of reads over any bytes always terminates: every call moves forward except on 'R'.
TEST(Lexer, AdvancingReadersNeverStall) {
    std::string s = "1 0 R x -+ 7 R\x00\xff 12";
    int32_t len = n32(s);
    int32_t pos = 0, steps = 0;
    while (pos < len && steps < 100) {
        int32_t before = pos;
        (void)read_num_adv(u(s), len, &pos);
        EXPECT_GT(pos, before);
        steps++;
    }
    EXPECT_LT(steps, 100);
}

struct head_case {
    const char *name;
    std::string text;
    int32_t want;
    int32_t num, gen;
};
TEST(Lexer, ParseObjHead) {
    const head_case cases[] = {
        {"at start", "12 0 obj", 0, 12, 0},
        {"word byte before", "a12 0 obj", -1, 0, 0},
        {"object zero", "0 0 obj", -1, 0, 0},
        {"CR LF before obj", "12 0\r\nobj", 0, 12, 0},
        {"vertical tab between", "12\x0b" "0 obj", 0, 12, 0},
        {"no space before obj", "x 7 3obj", 2, 7, 3},
        {"generation at start", "0 obj", -1, 0, 0},
        {"no space between numbers", "120obj", -1, 0, 0},
        {"after a newline", "endobj\n5 0 obj", 7, 5, 0},
        {"number wraps negative", "2147483648 0 obj", -1, 0, 0},
        {"NUL is not a space here", std::string("5\x00" "0 obj", 7), -1, 0, 0},
        {"comment before obj", "12 0 % note\nobj", 0, 12, 0},
        {"comment between the numbers", "x\n7 % n\r\n3 obj", 2, 7, 3},
        {"comment lines", "4 1\n% a\n% b\nobj", 0, 4, 1},
        {"comment without end of line", "1 0 % c obj", -1, 0, 0},
        {"no number before the comment", "(a%b)\nobj", -1, 0, 0},
        {"line too long to look at", "1 0 %" + std::string(300, 'c') + "\nobj", -1, 0, 0},
    };
    for (const head_case &c : cases) {
        SCOPED_TRACE(c.name);
        int32_t num = -9, gen = -9;
        int32_t obj = n32(c.text) - 3;
        EXPECT_EQ(c.want, parse_obj_head(u(c.text), obj, &num, &gen));
        if (c.want >= 0) {
            EXPECT_EQ(c.num, num);
            EXPECT_EQ(c.gen, gen);
        } else {
            EXPECT_EQ(-9, num);
        }
    }
    EXPECT_EQ(-1, parse_obj_head(u(std::string("obj")), 0, nullptr, nullptr));
}

struct length_case {
    const char *name;
    const char *text;
    int64_t length;
    int32_t ref;
};
static const length_case length_cases[] = {
    {"direct", "<< /Length 1024 >>", 1024, -1},
    {"indirect", "<< /Length 12 0 R >>", -1, 12},
    {"array gives last", "<< /Length [5 7] >>", 7, -1},
    {"not R", "<< /Length 12 0 X >>", 12, -1},
    {"zero", "<< /Length 0 >>", 0, -1},
    {"negative tries next", "<< /Length -1 /Length 9 >>", 9, -1},
    {"name value tries next", "<< /Length /X /Length 4 >>", 4, -1},
    {"Length1 ignored", "<< /Length1 5 /Length 6 >>", 6, -1},
    {"R followed by word", "<< /Length 3 0 Rx >>", 3, -1},
    {"empty array tries next", "<< /Length [] /Length 2 >>", 2, -1},
    {"none", "<< /Filter /X >>", -1, -1},
    {"byte right after name skipped", "<< /Length5 >>", -1, -1},
    {"no space after name", "<< /Length\n7 >>", 7, -1},
    {"comment after the value", "<< /Length 5 % 0 R\n>>", 5, -1},
    {"comment before the value", "<< /Length % was 9\n12 0 R >>", -1, 12},
    {"comment in the array", "<< /Length [5 % 7\n] >>", 5, -1},
    {"past 32 bits", "<< /Length 2200000000 >>", 2200000000, -1},
    {"past 2^62: beyond any file", "<< /Length 99999999999999999999 >>", int64_saturated, -1},
    {"reference number past 31 bits tries next", "<< /Length 2200000000 0 R /Length 4 >>", 4, -1},
};
TEST(Lexer, ParseLength) {
    for (const length_case &c : length_cases) {
        SCOPED_TRACE(c.name);
        int32_t len = (int32_t)strlen(c.text);
        int64_t l = -9;
        int32_t r = -9;
        parse_length(u(c.text), len, 0, len, &l, &r);
        EXPECT_EQ(c.length, l);
        EXPECT_EQ(c.ref, r);
    }
}

TEST(Lexer, ParseLengthValueReadPastEnd) {
    // The value read is bounded by len, not by end: digits beyond end still belong to it.
    std::string s = "<< /Length 12345";
    int64_t l = 0;
    int32_t r = 0;
    parse_length(u(s), n32(s), 0, 13, &l, &r);
    EXPECT_EQ(12345, l);
}

struct close_case {
    const char *name;
    const char *text;
    int32_t want;
};
static const close_case close_cases[] = {
    {"nested and string", "<< /A << /B 1 >> /C (x>>y) >>", 27},
    {"hex string closes early", "<< /ID <AB>>>", 10},
    {"unbalanced string", "<< /A (unbalanced", -1},
    {"escaped paren in string", "<< /A (a\\)>>) >>", 14},
    {"nested parens", "<< /A (a(b)>>c) >>", 16},
    {"not closed", "<< /A 1 >", -1},
    {"lone < and >", "<< /A <1> >>", 10},
    {"empty", "<<>>", 2},
    {"'>>' in a comment", "<< /A 1 % >>\n>>", 13},
    {"'(' in a comment", "<< % (\n/A 1 >>", 12},
    {"'%' in a string", "<< /A (50%) >>", 12},
    {"comment to the end", "<< /A 1 % >>", -1},
};
TEST(Lexer, FindDictClose) {
    for (const close_case &c : close_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, find_dict_close(u(c.text), 0, (int32_t)strlen(c.text)));
    }
}

static const close_case stream_kw_cases[] = {
    {"directly after", "<<>>stream", 4},
    {"word continues", "<<>>streamx", -1},
    {"after newline", "<< /A 1 >>\r\nstream\r\n", 12},
    {"no stream", "<< >> endobj", -1},
    {"unclosed", "<< stream", -1},
    {"comment before stream", "<< >> % data\r\nstream\n", 14},
};
TEST(Lexer, DictStreamKw) {
    for (const close_case &c : stream_kw_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, dict_stream_kw(u(c.text), (int32_t)strlen(c.text), 0));
    }
}

// Each helper on every prefix of a tricky text: no read past the limit (checked by the sanitizer
// build, the data copied into an exact-size heap block).
TEST(Lexer, PrefixesStayInBounds) {
    const std::string text = "<< /Length 12 0 R /A (x\\)>>(y) /B [1 2] /Length -3 >>\nstream\n"
                             "12 0 obj endobj %PDF-1.7 /Type /Pages";
    for (size_t n = 0; n <= text.size(); n++) {
        uint8_t *d = (uint8_t *)malloc(n ? n : 1);
        memcpy(d, text.data(), n);
        int32_t len = (int32_t)n;
        int64_t l;
        int32_t r, pos = 0;
        parse_length(d, len, 0, len, &l, &r);
        (void)find_dict_close(d, 0, len);
        (void)dict_stream_kw(d, len, 0);
        (void)find_kw(d, len, 0, "endobj");
        (void)find_name(d, len, 0, len, "Pages");
        for (int32_t p = 0; p < len; p++)
            if (kw_at(d, p, len, "obj")) (void)parse_obj_head(d, p, nullptr, nullptr);
        while (pos < len) (void)read_num_adv(d, len, &pos);
        pos = 0;
        while (pos < len) {
            int32_t before = pos;
            (void)read_int_adv(d, len, &pos);
            if (pos == before) pos++;
        }
        free(d);
    }
}

