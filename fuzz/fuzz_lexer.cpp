// The PDF core's readers straight on hostile bytes, without a document around them: the lexical
// helpers and the value readers at every position the first bytes pick, the two scans, object
// streams, the selection, the cross-reference reader, the page tree walk from every object and the
// page list by type. Much faster per input than fuzz_pdf_load, so the index and the lexer see far
// more shapes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pdfcore/pdfcore.h"

static void check_pos(int32_t pos, int32_t len) {
    if (pos < -1 || pos > len) abort();
}

// The value readers in a window from s: each kind at every byte of its first 512 that opens it
// (the window keeps a run linear in the input), the advancing ones in loops that must end.
static void value_readers(const uint8_t *d, int32_t full_len, int32_t s) {
    uint8_t out[64];
    char name[16];
    const int32_t len = full_len - s > 65536 ? s + 65536 : full_len;
    int32_t dicts = 0;  // dictionaries walked entry by entry: the first 4 of the window
    for (int32_t i = s; i < len && i - s < 512; i++) {
        int32_t after = pdfcore_value_end(d, i, len);
        if (after <= i || after > len) abort();
        if (d[i] == '/') {
            int cut = 0;
            check_pos(pdfcore_read_name(d, len, i, name, (int32_t)sizeof name, &cut), len);
        } else if (d[i] == '(') {
            check_pos(pdfcore_string_end(d, i, len), len);
            if (pdfcore_read_literal_string(d, len, i, out, sizeof out) > sizeof out) abort();
        } else if (d[i] == '<') {
            if (pdfcore_read_hex_string(d, len, i + 1, out, sizeof out) > sizeof out) abort();
            if (i + 1 < len && d[i + 1] == '<' && dicts++ < 4) {
                int32_t pos = i + 2, key = 0, value = 0;
                for (int32_t before = pos; pdfcore_dict_next(d, len, &pos, &key, &value); before = pos)
                    if (key < before || value <= key || pos < value || pos <= before || pos > len) abort();
                check_pos(pos, len);
            }
        } else if (d[i] == '[') {
            check_pos(pdfcore_array_end(d, i, len), len);
            int32_t pos = i + 1, num = 0, steps = 0;
            while (pdfcore_ref_list_next(d, len, &pos, &num)) {
                if (pos > len || ++steps > len) abort();
            }
            pdfcore_span arr = {d, i, len, -1}, item;
            for (pos = i + 1, steps = 0; pdfcore_array_item(&arr, &pos, &item);) {
                if (item.start >= item.end || item.end != pos || pos > len || ++steps > len) abort();
            }
        } else if (is_digit(d[i]) && pdfcore_read_ref(d, len, i, &after) > 0) {
            if (after <= i || after > len) abort();
        }
    }
    int32_t pos = s;
    double v = 0;
    while (pos < len) {
        int32_t before = pos;
        (void)pdfcore_read_real(d, len, &pos, &v);
        if (pos <= before || pos > len) abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    if (size < 2 || size > (1u << 20)) return 0;
    // An exact-size copy: readers that pass the end are seen by AddressSanitizer.
    int32_t len = (int32_t)size;
    uint8_t *d = (uint8_t *)malloc(size);
    if (!d) return 0;
    memcpy(d, input, size);

    // Lexical helpers at a few positions picked by the first two bytes.
    int32_t starts[3] = {0, (int32_t)(d[0] * (uint32_t)size / 256u), (int32_t)(d[1] * (uint32_t)size / 256u)};
    static const char *const names[] = {"Length", "Type", "Kids", "Filter", "N", "R"};
    for (int32_t s : starts) {
        check_pos(skip_ws(d, s, len), len);
        check_pos(skip_white(d, s, len), len);
        (void)kw_at(d, s, len, "obj");
        check_pos(find_kw(d, len, s, "stream"), len);
        for (const char *n : names) check_pos(find_name(d, len, s, len, n), len);
        int32_t p = s;
        (void)parse_int_at(d, len, &p);
        if (p < s || p > len) abort();
        p = s;
        (void)read_int_adv(d, len, &p);
        if (p < s || p > len) abort();
        p = s;
        (void)read_num_adv(d, len, &p);
        if (p < s || p > len + 1) abort();
        int32_t num = 0, gen = 0;
        int32_t o = find_kw(d, len, s, "obj");
        if (o >= 0) check_pos(parse_obj_head(d, o, &num, &gen), len);
        int64_t length = 0;
        int32_t ref = 0;
        parse_length(d, len, s, len, &length, &ref);
        int32_t dl = -1;
        for (int32_t i = s; i + 1 < len; i++)
            if (d[i] == '<' && d[i + 1] == '<') { dl = i; break; }
        if (dl >= 0) {
            check_pos(find_dict_close(d, dl, len), len);
            check_pos(dict_stream_kw(d, len, dl), len);
        }
        value_readers(d, len, s);
    }

    // The index as the loader builds it, then the page tree from every object.
    pdfcore_doc doc;
    int32_t encryption = 0;
    if (doc_open_memory(d, len, "fuzz", &doc) == 0) {
        (void)doc_build_index(&doc, &encryption);
        const objvec &objs = doc.objs;
        int32_t max_num = doc.max_num;
        if (max_num < 0) abort();
        for (int32_t i = 0; i < objs.count; i++) {
            const pdfcore_obj &e = objs.items[i];
            if (e.num < 1 || e.num > max_num) abort();
            if (!e.in_objstm && (e.head_off < 0 || e.head_off >= len)) abort();
            if (e.is_stream && !e.in_objstm && (e.data_off < 0 || e.data_end > len || e.data_end < e.data_off)) abort();
        }
        uint8_t *visited = (uint8_t *)calloc((size_t)max_num + 1, 1);
        for (int32_t i = 0; visited && i < objs.count && i < 64; i++) {
            pagevec pages;
            memset(&pages, 0, sizeof pages);
            memset(visited, 0, (size_t)max_num + 1);
            int32_t n = resolve_pages(&doc, objs.items[i].num, max_num, &pages, visited, 0);
            if (n > 0 && n != pages.count) abort();
            for (int32_t k = 0; k <= max_num; k++)
                if (visited[k]) abort();  // the walk leaves its marks cleared
            free(pages.items);
        }
        pagevec typed;
        memset(&typed, 0, sizeof typed);
        if (pages_by_type(&doc, &typed) > objs.count) abort();
        free(typed.items);
        free(visited);
    }
    pdfcore_doc_free(&doc);
    free(d);
    return 0;
}
