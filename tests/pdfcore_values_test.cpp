// tests/pdfcore_values_test.cpp - the core's value readers: keys and references followed through a
// loaded document (hop limit, owner of the value), and the readers of numbers, names, strings and
// arrays on their own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"

static const uint8_t *u(const std::string &s) { return (const uint8_t *)s.data(); }
static int32_t n32(const std::string &s) { return (int32_t)s.size(); }

// Object 10 holds the keys; 31..38 is a chain of eight references ending in 8, 41..49 one of nine.
static std::string values_doc() {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2);
    b.obj(10, "<< /A 5 /B 30 0 R /C 31 0 R /D 41 0 R /E 99 0 R /F 60 0 R /G /Name /H 61 0 R >>");
    b.obj(30, "77");
    for (int k = 31; k < 38; k++) b.obj(k, std::to_string(k + 1) + " 0 R");
    b.obj(38, "8");
    for (int k = 41; k < 50; k++) b.obj(k, std::to_string(k + 1) + " 0 R");
    b.obj(50, "9");
    b.obj(60, "<< /X 1 >>");
    b.obj(61, "(a string)");
    // Arrays whose elements are given by reference, with comments between them.
    b.obj(70, "[/A 62 0 R % 63 0 R\n (s) << /K [1] >> 99 0 R [1 2] null -2.5 63 0 R]");
    b.obj(62, "% the name\n/FlateDecode");
    b.obj(63, "64 0 R");
    b.obj(64, "[3 4]");
    b.xref_table(trailer_opts(1));
    return b.bytes();
}

// values_doc loaded from a temporary file, removed with the document.
struct values_fixture {
    std::string path = pdf_temp_path("values");
    pdfcore_doc doc;
    int loaded;
    values_fixture() {
        memset(&doc, 0, sizeof doc);
        loaded = write_file(path, values_doc()) ? pdfcore_load(path.c_str(), &doc) : 0;
    }
    ~values_fixture() {
        pdfcore_doc_free(&doc);
        remove(path.c_str());
    }
};

TEST(Values, KeysAndReferences) {
    values_fixture f;
    pdfcore_doc &doc = f.doc;
    ASSERT_EQ(1, f.loaded) << pdfcore_last_error(&doc);
    pdfcore_span s;
    ASSERT_EQ(1, pdfcore_obj_span(&doc, obj_find(&doc.objs, 10), &s));
    EXPECT_EQ(10, s.obj_num);
    struct vcase {
        const char *key;
        int resolved;    // pdfcore_resolve
        char first;      // the value's first byte when resolved
        int32_t owner;   // the object whose text holds the value
        int32_t integer; // pdfcore_read_int
    };
    const vcase cases[] = {
        {"A", 1, '5', 10, 5},      {"B", 1, '7', 30, 77},  {"C", 1, '8', 38, 8},
        {"D", 0, 0, 0, -1},        {"E", 0, 0, 0, -1},     {"F", 1, '<', 60, -1},
        {"G", 1, '/', 10, -1},     {"H", 1, '(', 61, -1},
    };
    for (const vcase &c : cases) {
        SCOPED_TRACE(c.key);
        int32_t v = pdfcore_key_value(&s, c.key);
        ASSERT_GE(v, 0);
        pdfcore_span at = s;
        at.start = v;
        EXPECT_EQ(c.integer, pdfcore_read_int(&doc, at));
        ASSERT_EQ(c.resolved, pdfcore_resolve(&doc, &at));
        if (!c.resolved) continue;
        EXPECT_EQ(c.first, (char)at.text[at.start]);
        EXPECT_EQ(c.owner, at.obj_num);
    }
    EXPECT_EQ(-1, pdfcore_key_value(&s, "Z"));
    EXPECT_EQ(-1, pdfcore_key_value(&s, "X")) << "object 60's key is not in object 10's text";
}

// Each element once, as written and through references; a reference to nothing is an empty
// element, and a comment's text is no element.
TEST(Values, ArrayElements) {
    values_fixture f;
    pdfcore_doc &doc = f.doc;
    ASSERT_EQ(1, f.loaded) << pdfcore_last_error(&doc);
    pdfcore_span arr;
    ASSERT_EQ(1, pdfcore_value_span(&doc, obj_find(&doc.objs, 70), &arr));
    arr.start = skip_ws(arr.text, arr.start, arr.end);
    ASSERT_EQ('[', arr.text[arr.start]);
    struct ecase {
        const char *written;  // pdfcore_array_item
        const char *value;    // pdfcore_array_next: the value's first bytes ("" empty)
        int32_t owner;
    };
    const ecase want[] = {
        {"/A", "/A", 70},          {"62 0 R", "/FlateDecode", 62}, {"(s)", "(s)", 70},
        {"<< /K [1] >>", "<<", 70}, {"99 0 R", "", 70},              {"[1 2]", "[1 2]", 70},
        {"null", "null", 70},      {"-2.5", "-2.5", 70},           {"63 0 R", "[3 4]", 64},
    };
    int32_t p = arr.start + 1, q = arr.start + 1;
    pdfcore_span item, elem;
    for (const ecase &c : want) {
        SCOPED_TRACE(c.written);
        ASSERT_EQ(1, pdfcore_array_item(&arr, &p, &item));
        EXPECT_EQ(c.written, std::string((const char *)item.text + item.start, (size_t)(item.end - item.start)));
        ASSERT_EQ(1, pdfcore_array_next(&doc, &arr, &q, &elem));
        EXPECT_EQ(p, q);
        std::string v((const char *)elem.text + elem.start, (size_t)(elem.end - elem.start));
        EXPECT_EQ(c.value, v.substr(0, strlen(c.value)));
        if (!*c.value) EXPECT_EQ(elem.start, elem.end);
        EXPECT_EQ(c.owner, elem.obj_num);
    }
    EXPECT_EQ(0, pdfcore_array_item(&arr, &p, &item));
    EXPECT_EQ(0, pdfcore_array_next(&doc, &arr, &q, &elem));
    EXPECT_EQ(']', arr.text[q]);
}

TEST(Values, ValueEnds) {
    struct vcase { const char *text; int32_t end; };
    const vcase cases[] = {
        {"/Name/Next", 5},   {"12 0 R 5", 6},     {"12 0 Rx", 2},       {"+", 1},
        {"true]", 4},        {"(a)b", 3},         {"(open", 5},         {"<41>>", 4},
        {"<< /A <<>> >>x", 13}, {"[1 (]) 2]x", 9}, {")", 1},             {"", 0},
        // A number or keyword ends where the token reader ends it: at whitespace or a delimiter.
        {"1e5 2", 3},        {"-1.5.2]", 6},      {"+.5x/A", 4},        {"false#>>", 6},
    };
    for (const vcase &c : cases) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        EXPECT_EQ(c.end, pdfcore_value_end(u(t), 0, n32(t)));
    }
}

TEST(Values, NumbersAndNames) {
    struct rcase { const char *text; int ok; double value; int32_t pos_after; };
    const rcase reals[] = {
        {"  -1.5x", 1, -1.5, 6}, {"+.25", 1, 0.25, 4}, {"7.", 1, 7.0, 2},
        {"-x", 0, 0, 1},         {"   ", 0, 0, 3},      {"", 0, 0, 0},
        // The nearest double, as a C compiler reads the same text.
        {"0.7", 1, 0.7, 3},      {"12.7", 1, 12.7, 4}, {"-0.0001", 1, -0.0001, 7},
        {"3.14159265358979", 1, 3.14159265358979, 16},
        {"0.10000000000000000000000001", 1, 0.1, 28}, {"1.5.2", 1, 1.5, 3},
    };
    for (const rcase &c : reals) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        int32_t pos = 0;
        double v = 0;
        EXPECT_EQ(c.ok, pdfcore_read_real(u(t), n32(t), &pos, &v));
        if (c.ok) EXPECT_EQ(c.value, v);
        EXPECT_EQ(c.pos_after, pos);
    }
    struct ncase { const char *text; int32_t cap; const char *want; int cut; int32_t after; };
    const ncase names[] = {
        {"/DeviceRGB ", 64, "DeviceRGB", 0, 10}, {"/A#20b[", 64, "A#20b", 0, 6},
        {"/Indexed/", 64, "Indexed", 0, 8},      {"/Longer", 4, "Lon", 1, 7},
        {"/", 64, "", 0, 1},
    };
    for (const ncase &c : names) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        char out[64];
        int cut = -1;
        EXPECT_EQ(c.after, pdfcore_read_name(u(t), n32(t), 0, out, c.cap, &cut));
        EXPECT_STREQ(c.want, out);
        EXPECT_EQ(c.cut, cut);
    }
}

TEST(Values, StringsAndArrays) {
    struct ecase { const char *text; int32_t string_end, array_end; };
    const ecase ends[] = {
        {"(a(b)c) x", 7, 9},    {"(a\\) b", -1, 6},   {"[1 [2] (]) 3] x", -1, 13},
        {"[1 2", -1, 4},        {"[(", -1, 2},
        {"[1 % ]\n2] x", -1, 9}, {"[(%) ] x", -1, 6},
    };
    for (const ecase &c : ends) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        if (t[0] == '(') EXPECT_EQ(c.string_end, pdfcore_string_end(u(t), 0, n32(t)));
        EXPECT_EQ(c.array_end, pdfcore_array_end(u(t), 0, n32(t)));
    }
    struct lcase { const char *text; std::vector<int32_t> want; };
    const lcase lists[] = {
        {"[1 0 R 2 0 R 3]", {1, 2, 3}},   {"[ /x 4 0 R (5) ]", {4, 5}},
        {"[4294967295 0 R 6]", {-1, 6}},  {"[7 0 R", {7}},
        {"[]", {}},
        {"[3 0 R % 4 0 R\n 5 0 R]", {3, 5}},
        {"[3 0 R % ]\r 6 0 R]", {3, 6}},
    };
    for (const lcase &c : lists) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        std::vector<int32_t> got;
        int32_t pos = 1, num = 0;
        while (pdfcore_ref_list_next(u(t), n32(t), &pos, &num)) got.push_back(num);
        EXPECT_EQ(c.want, got);
    }
    struct scase { const char *text; std::string want; };
    const scase strings[] = {
        {"<48 65 6C6c6F>", "Hello"}, {"<414>", "A"}, {"(a\\n\\101\\\nb)", "a\nAb"},
        {"(x\r\ny)", "x\ny"},         {"(p(q)r)s", "p(q)r"},
    };
    for (const scase &c : strings) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        uint8_t out[32];
        uint64_t n = t[0] == '<' ? pdfcore_read_hex_string(u(t), n32(t), 1, out, sizeof out)
                                 : pdfcore_read_literal_string(u(t), n32(t), 0, out, sizeof out);
        EXPECT_EQ(c.want, std::string((const char *)out, (size_t)n));
    }
}

// Each token of a text as "kind:bytes".
static std::vector<std::string> tokens(const std::string &t) {
    static const char *const kinds[] = {"end", "num", "name", "str", "hex", "[", "]", "<<", ">>", "word", "other"};
    std::vector<std::string> got;
    int32_t pos = 0;
    pdfcore_token tok;
    while (pdfcore_next_token(u(t), n32(t), &pos, &tok)) {
        EXPECT_EQ(tok.end, pos);
        got.push_back(std::string(kinds[tok.kind]) + ":" + t.substr((size_t)tok.start, (size_t)(tok.end - tok.start)));
    }
    EXPECT_EQ(tok_end, tok.kind);
    EXPECT_EQ(n32(t), pos);
    return got;
}

TEST(Values, ContentTokens) {
    struct tcase { const char *name; std::string text; std::vector<std::string> want; };
    const tcase cases[] = {
        {"operators and operands", "q 1 0 0 -1.5 .5 cm/Im1 Do",
         {"word:q", "num:1", "num:0", "num:0", "num:-1.5", "num:.5", "word:cm", "name:/Im1", "word:Do"}},
        {"strings are one token", "(a) BI) Tj", {"str:(a)", "word:BI", "other:)", "word:Tj"}},
        {"comments are skipped", "% BI ID\r\nq %x", {"word:q"}},
        {"dictionaries, arrays, hex", "<</A[<0a>]>>", {"<<:<<", "name:/A", "[:[", "hex:<0a>", "]:]", ">>:>>"}},
        {"unclosed string and hex run to the end", "(ab <c", {"str:(ab <c"}},
        {"unclosed hex", "<ab", {"hex:<ab"}},
        {"binary bytes make words", "\x89PNG\x01 x", {"word:\x89PNG\x01", "word:x"}},
        {"signs and points alone are words", "+ - . 1e5", {"word:+", "word:-", "word:.", "word:1e5"}},
        {"lone delimiters", "> { }", {"other:>", "other:{", "other:}"}},
    };
    for (const tcase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, tokens(c.text));
    }
}

// A dictionary's own entries: nested values are stepped over whole, so their keys never count.
TEST(Values, DictionaryEntries) {
    struct dcase {
        const char *name;
        std::string text;  // the dictionary
        std::string want;  // key=value-text pairs found, joined by ';'
    };
    const dcase cases[] = {
        {"plain", "<< /A 1 /B /N /C (s) >>", "A=1;B=/N;C=(s)"},
        {"nested values", "<< /A << /X 1 >> /B [/Y (]) <3E>] /C <4142> /D 3 0 R >>",
         "A=<< /X 1 >>;B=[/Y (]) <3E>];C=<4142>;D=3 0 R"},
        {"string holding >> and a key", "<< /A (>> /B) /C true>>", "A=(>> /B);C=true"},
        {"no spaces", "<</A/B/C[1 2]/D<<>>>>", "A=/B;C=[1 2];D=<<>>"},
        {"key without value", "<< /A /B 2 /C >>", "A=/B;C="},
        {"junk before a key", "<< 5 ) /A 1 >>", "A=1"},
        {"unclosed", "<< /A [1 2 /B 3", "A=[1 2 /B 3"},
        {"empty", "<< >>", ""},
    };
    for (const dcase &c : cases) {
        SCOPED_TRACE(c.name);
        const uint8_t *t = u(c.text);
        int32_t end = n32(c.text), pos = 2, key = 0, value = 0;
        std::string got;
        while (pdfcore_dict_next(t, end, &pos, &key, &value)) {
            int32_t name_end = key + 1;
            while (name_end < end && !is_pdf_ws(t[name_end]) && !is_delim(t[name_end])) name_end++;
            int32_t value_end = pos;
            while (value_end > value && is_pdf_ws(t[value_end - 1])) value_end--;
            if (!got.empty()) got += ";";
            got += c.text.substr((size_t)key + 1, (size_t)(name_end - key - 1)) + "=" +
                   c.text.substr((size_t)value, (size_t)(value_end - value));
        }
        EXPECT_EQ(c.want, got);
    }
    EXPECT_EQ(1, pdfcore_name_is(u("/Crypt "), 7, 0, "Crypt"));
    EXPECT_EQ(0, pdfcore_name_is(u("/CryptX"), 7, 0, "Crypt"));
    EXPECT_EQ(1, pdfcore_name_is(u("/Crypt"), 6, 0, "Crypt"));
    EXPECT_EQ(0, pdfcore_name_is(u("/Cryp"), 5, 0, "Crypt"));
}

// Values inside dictionaries and arrays: where a value ends, a dictionary's own entry, an array
// element, arrays of numbers; references followed inside both.
TEST(Values, DictionariesAndArrays) {
    struct ecase { const char *text; int32_t end; };
    const ecase value_ends[] = {
        {"<< /A << /B 1 >> >> x", 19}, {"<414243> x", 8}, {"[1 (]) 2] x", 9}, {"(a\\)b) x", 6},
        {"12 0 R x", 6},           {"12 0 x", 2},      {"/Name/B", 5},     {"-1.5]", 4},
        {"null>>", 4},             {"<< /A 1", 7},     {")", 1},
    };
    for (const ecase &c : value_ends) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        EXPECT_EQ(c.end, pdfcore_value_end(u(t), 0, n32(t)));
    }

    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2);
    b.obj(10, "<< /Inner << /K 1 >> /Arr [/K 2] /Str (/K 3) /K 4 /R 20 0 R /L 21 0 R /M [1 20 0 R -2.5] "
              "/Bad [1 /x] /Big [1 2 3 4 5] /Refs [30 0 R null << /K 5 >>] >>");
    b.obj(20, "7.25");
    b.obj(21, "[0.5 22 0 R]");
    b.obj(22, "<< /K 6 >>");
    b.obj(30, "/Name");
    b.xref_table(trailer_opts(1));
    std::string path = b.save_temp("values_dict");
    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    ASSERT_EQ(1, pdfcore_load(path.c_str(), &doc));
    pdfcore_span s, v;
    ASSERT_EQ(1, pdfcore_obj_span(&doc, obj_find(&doc.objs, 10), &s));
    // /K of the dictionary itself, not of the nested dictionary, array or string before it.
    ASSERT_EQ(1, pdfcore_dict_get(&doc, &s, "K", &v));
    EXPECT_EQ('4', v.text[v.start]);
    double x = 0;
    ASSERT_EQ(1, pdfcore_dict_get(&doc, &s, "R", &v));
    EXPECT_EQ(1, pdfcore_read_number(&doc, v, &x));
    EXPECT_EQ(7.25, x);
    EXPECT_EQ(0, pdfcore_dict_get(&doc, &s, "Missing", &v));

    struct ncase { const char *key; int32_t cap, count; std::vector<double> want; };
    const ncase numbers[] = {
        {"M", 8, 3, {1, 7.25, -2.5}}, {"Big", 4, -1, {}}, {"Big", 5, 5, {1, 2, 3, 4, 5}},
        {"Bad", 8, -1, {}},           {"K", 8, -1, {}},   {"L", 8, -1, {}},
    };
    for (const ncase &c : numbers) {
        SCOPED_TRACE(c.key);
        double out[8] = {0};
        ASSERT_EQ(1, pdfcore_dict_get(&doc, &s, c.key, &v));
        ASSERT_EQ(c.count, pdfcore_read_numbers(&doc, v, out, c.cap));
        for (int32_t i = 0; i < c.count; i++) EXPECT_EQ(c.want[(size_t)i], out[i]);
    }
    // Elements through references: the array's and the element's.
    struct acase { const char *key; int32_t index; char first; int32_t owner; };
    const acase elements[] = {
        {"Refs", 0, '/', 30}, {"Refs", 1, 'n', 10}, {"Refs", 2, '<', 10}, {"Refs", 3, 0, 0},
        {"L", 1, '<', 22},    {"L", 0, '0', 21},    {"K", 0, 0, 0},
    };
    for (const acase &c : elements) {
        SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.index));
        ASSERT_EQ(1, pdfcore_dict_get(&doc, &s, c.key, &v));
        pdfcore_span e;
        ASSERT_EQ(c.first != 0, pdfcore_array_get(&doc, v, c.index, &e));
        if (!c.first) continue;
        EXPECT_EQ(c.first, (char)e.text[e.start]);
        EXPECT_EQ(c.owner, e.obj_num);
    }
    pdfcore_doc_free(&doc);
    remove(path.c_str());
}
