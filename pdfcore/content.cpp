// pdfcore/content.cpp - stream bytes (decoded through the filters content streams use), page
// content and resource dictionaries.
#include "pdfcore/pdfcore.h"

#include "codec/ascii.h"
#include "codec/inflate.h"
#include "codec/lzw.h"

#include <cstdlib>
#include <cstring>

// The text span of e names /FlateDecode.
static bool names_flate(const uint8_t *data, int32_t size, const pdfcore_obj *e, name_index *names) {
    pdfcore_span s;
    return pdfcore_text_span(data, size, names, e, &s) && pdfcore_find_key(&s, "FlateDecode") >= 0;
}

// ---- filter names and chains -------------------------------------------------------------------

struct filter_name {
    const char *full;
    const char *abbr;  // null: none
};
// In pdfcore_filter order, from pf_ahx.
static const filter_name s_filters[] = {
    {"ASCIIHexDecode", "AHx"}, {"ASCII85Decode", "A85"}, {"LZWDecode", "LZW"},
    {"FlateDecode", "Fl"},     {"RunLengthDecode", "RL"}, {"DCTDecode", "DCT"},
    {"CCITTFaxDecode", "CCF"}, {"JBIG2Decode", nullptr},  {"JPXDecode", nullptr},
    {"Crypt", nullptr},
};
const int32_t filter_count = (int32_t)(sizeof s_filters / sizeof s_filters[0]);

int32_t pdfcore_filter_of(const char *name) {
    for (int32_t i = 0; i < filter_count; i++)
        if (!strcmp(name, s_filters[i].full) || (s_filters[i].abbr && !strcmp(name, s_filters[i].abbr)))
            return pf_ahx + i;
    return 0;
}

const char *pdfcore_filter_name(int32_t f) {
    return f >= pf_ahx && f < pf_ahx + filter_count ? s_filters[f - pf_ahx].full : nullptr;
}

const int32_t max_content_filters = 8;

// A filter that content streams use: FlateDecode, LZWDecode, ASCII85Decode, ASCIIHexDecode,
// RunLengthDecode.
static bool content_filter(int32_t f) {
    return f == pf_flate || f == pf_lzw || f == pf_a85 || f == pf_ahx || f == pf_rl;
}

// The /Filter of e's text span (a name or an array of names, in place) as content filters into
// f: their count, 0 when there is none, -1 when it names another filter or cannot be read.
static int32_t content_filters(const uint8_t *data, int32_t size, const pdfcore_obj *e,
                               name_index *names, int32_t *f) {
    pdfcore_span s;
    if (!pdfcore_text_span(data, size, names, e, &s)) return 0;
    int32_t v = pdfcore_key_value(&s, "Filter");
    if (v < 0) return 0;
    bool array = s.text[v] == '[';
    int32_t p = array ? v + 1 : v, n = 0;
    for (;;) {
        p = skip_ws(s.text, p, s.end);
        if (array && p < s.end && s.text[p] == ']') return n;
        if (p >= s.end || s.text[p] != '/' || n == max_content_filters) return -1;
        char name[32];
        int cut = 0;
        p = pdfcore_read_name(s.text, s.end, p, name, (int32_t)sizeof name, &cut);
        f[n] = cut ? 0 : pdfcore_filter_of(name);
        if (!content_filter(f[n++])) return -1;
        if (!array) return n;
    }
}

// Room for the output of one Flate or LZW stage of n input bytes: 20 x n + 4096, at most 2^30.
static uint64_t stage_room(uint64_t n) {
    uint64_t cap = (uint64_t)1 << 30;
    return n >= (cap - 4096u) / 20u ? cap : 20u * n + 4096u;
}

// Undoes filter f over in[0, n): a new malloc'd buffer with *out_n bytes, or NULL.
static uint8_t *undo_content_filter(int32_t f, const uint8_t *in, uint64_t n, uint64_t *out_n) {
    if (f == pf_a85) return decode_a85(in, n, out_n);
    if (f == pf_ahx) return decode_hex(in, n, out_n);
    if (f == pf_rl) return decode_runlength(in, n, out_n);
    uint64_t room = stage_room(n);
    uint8_t *out = (uint8_t *)malloc(room);
    if (!out) return nullptr;
    int rc = f == pf_flate ? inflate_decompress(in, n, out, room, out_n)
                           : lzw_decompress(in, n, out, room, out_n);
    if (rc != 0) {
        free(out);
        return nullptr;
    }
    return out;
}

// The stream bytes in[0, n) through the filters f[0, count), appended to out_buf with a NUL
// after; NULL when a stage fails, the result passes 2^30 bytes, or no memory.
static const uint8_t *undo_content_filters(const int32_t *f, int32_t count, const uint8_t *in,
                                           uint64_t n, buf *out_buf, int32_t *length) {
    uint8_t *cur = nullptr;
    for (int32_t i = 0; i < count; i++) {
        uint64_t got = 0;
        uint8_t *next = undo_content_filter(f[i], cur ? cur : in, n, &got);
        free(cur);
        if (!next) return nullptr;
        cur = next;
        n = got;
    }
    if (n > ((uint64_t)1 << 30)) {
        free(cur);
        return nullptr;
    }
    uint64_t before = out_buf->len;
    buf_bytes(out_buf, cur, n);
    free(cur);
    if (!out_buf->data) return nullptr;
    *length = (int32_t)n;
    return out_buf->data + before;
}

const uint8_t *decoded_stream(const pdfcore_obj *entry, const uint8_t *data, int32_t size,
                              buf *out_buf, int32_t *length, name_index *names) {
    if (!entry->is_stream || entry->data_off < 0 || entry->data_end > size) return nullptr;
    int32_t l = entry->data_end - entry->data_off;
    if (l <= 0) return nullptr;
    int32_t f[max_content_filters];
    int32_t count = entry->dict_off == -1 ? 0 : content_filters(data, size, entry, names, f);
    if (count > 1 || (count == 1 && f[0] != pf_flate))
        return undo_content_filters(f, count, data + entry->data_off, (uint64_t)l, out_buf, length);
    if (entry->dict_off == -1 || !names_flate(data, size, entry, names)) {
        *length = l;
        return data + entry->data_off;
    }
    // Room 20 x L + 4096, within what the inflate decoder accepts (2^30).
    uint64_t room = 20 * (uint64_t)l + 4096;
    if (room > ((uint64_t)1 << 30)) room = (uint64_t)1 << 30;
    buf_reserve(out_buf, room);
    if (!out_buf->data) return nullptr;
    uint8_t *at = out_buf->data + out_buf->len;
    uint64_t n = 0;
    if (inflate_decompress(data + entry->data_off, (uint64_t)l, at, room, &n) != 0 || n > room)
        return nullptr;
    out_buf->len += n;
    out_buf->data[out_buf->len] = 0;
    *length = (int32_t)n;  // n <= 2^30
    return at;
}

const uint8_t *pdfcore_decoded_stream(pdfcore_doc *doc, const pdfcore_obj *entry, int32_t *length) {
    buf fresh = {nullptr, 0, 0};
    int32_t n = 0;
    const uint8_t *p = decoded_stream(entry, doc->data, doc->size, &fresh, &n, doc->names);
    if (!p || n == 0) {  // a stream that inflates to nothing is empty too
        buf_free(&fresh);
        return nullptr;
    }
    if (fresh.data && p == fresh.data) {
        // Inflated: the fresh buffer holds exactly these bytes and becomes the kept result.
        buf_free(&doc->decoded);
        doc->decoded = fresh;
        *length = n;
        return doc->decoded.data;
    }
    buf_free(&fresh);
    *length = n;
    return p;
}

static int32_t content_array(const uint8_t *data, int32_t size, const objvec *objs,
                             const uint8_t *t, int32_t q, int32_t end, const uint8_t **content,
                             int32_t *length, name_index *names);

// /Contents n g R: a stream, or an array object of streams.
static int32_t content_single(const uint8_t *data, int32_t size, const objvec *objs,
                              const uint8_t *t, int32_t q, int32_t end, const uint8_t **content,
                              int32_t *length, name_index *names) {
    int32_t num = parse_int_at(t, end, &q);
    if (num <= 0) return 0;
    const pdfcore_obj *e = obj_find(objs, num);
    if (!e) return 0;
    pdfcore_span a;
    if (!e->is_stream && pdfcore_text_value(data, size, names, e, &a) &&
        (a.start = skip_ws(a.text, a.start, a.end)) < a.end && a.text[a.start] == '[')
        return content_array(data, size, objs, a.text, a.start, a.end, content, length, names);
    buf fresh = {nullptr, 0, 0};
    int32_t n = 0;
    const uint8_t *p = decoded_stream(e, data, size, &fresh, &n, names);
    if (!p) {
        buf_free(&fresh);
        return 0;
    }
    *content = p;  // fresh.data (the caller's now) or a pointer into the file
    *length = n;
    return 1;
}

// /Contents [a 0 R b 0 R ...]: the decoded pieces joined, nothing between them.
static int32_t content_array(const uint8_t *data, int32_t size, const objvec *objs,
                             const uint8_t *t, int32_t q, int32_t end, const uint8_t **content,
                             int32_t *length, name_index *names) {
    buf result = {nullptr, 0, 0};
    bool any = false;
    int32_t i = q + 1, num = 0;
    while (pdfcore_ref_list_next(t, end, &i, &num)) {
        const pdfcore_obj *e = num > 0 ? obj_find(objs, num) : nullptr;
        if (!e) continue;
        buf fresh = {nullptr, 0, 0};
        int32_t n = 0;
        const uint8_t *p = decoded_stream(e, data, size, &fresh, &n, names);
        // The joined length must stay a 32-bit count.
        if (p && (uint64_t)n <= (uint64_t)INT32_MAX - result.len) {
            buf_bytes(&result, p, (uint64_t)n);
            any = true;
        }
        buf_free(&fresh);
    }
    // A failed growth empties the result: its length, not a running total, is what was kept.
    if (!any || !result.data) {
        buf_free(&result);
        return 0;
    }
    *content = result.data;
    *length = (int32_t)result.len;
    return 1;
}

// /Contents << ... >> stream ... written in place: the stored bytes, no filter applied.
static int32_t content_inline(const uint8_t *data, int32_t size, const objvec *objs,
                              const uint8_t *t, int32_t q, int32_t end, const uint8_t **content,
                              int32_t *length, name_index *names) {
    int32_t s = dict_stream_kw(t, end, q);
    if (s < 0) return 0;
    int32_t l = -1, ref = -1;
    parse_length(t, end, q, s, &l, &ref, names);
    if (l < 0) {
        if (ref <= 0) return 0;
        const pdfcore_obj *e = obj_find(objs, ref);
        if (!e || e->is_stream || e->in_objstm || e->head_off < 0) return 0;
        l = obj_int_value(data, size, e);
        if (l < 0) return 0;
    }
    int64_t d;
    if ((int64_t)s + 6 >= end) d = (int64_t)s + 6;
    else if ((int64_t)s + 7 < end && t[s + 6] == '\r' && t[s + 7] == '\n') d = (int64_t)s + 8;
    else d = (int64_t)s + 7;
    if (d + l > end) return 0;
    buf out = {nullptr, 0, 0};
    buf_bytes(&out, t + d, (uint64_t)l);
    if (!out.data) return 0;
    *content = out.data;
    *length = l;
    return 1;
}

int32_t get_page_content(const uint8_t *data, int32_t size, const objvec *objs,
                         const pdfcore_obj *page, const uint8_t **content, int32_t *length,
                         name_index *names) {
    *content = nullptr;
    *length = 0;
    pdfcore_span s;
    if (!pdfcore_text_span(data, size, names, page, &s)) return 0;
    const uint8_t *t = s.text;
    int32_t end = s.end;
    int32_t p = pdfcore_find_key(&s, "Contents");
    if (p < 0) return 0;
    int32_t q = skip_ws(t, p + 9, end);
    if (q >= end) return 0;
    if (is_digit(t[q])) return content_single(data, size, objs, t, q, end, content, length, names);
    if (t[q] == '[') return content_array(data, size, objs, t, q, end, content, length, names);
    if (t[q] == '<' && q + 1 < end && t[q + 1] == '<')
        return content_inline(data, size, objs, t, q, end, content, length, names);
    return 0;
}

int pdfcore_page_content(pdfcore_doc *doc, int32_t page_index, const uint8_t **content,
                         int32_t *length) {
    *content = nullptr;
    *length = 0;
    if (page_index < 0 || page_index >= doc->pages.count) {
        pdfcore_set_error(doc, "page index out of range");
        return 0;
    }
    int32_t num = doc->pages.items[page_index].obj_num;
    const pdfcore_obj *e = obj_find(&doc->objs, num);
    if (!e) {
        pdfcore_set_error(doc, "page object %ld missing", (long)num);
        return 0;
    }
    return get_page_content(doc->data, doc->size, &doc->objs, e, content, length, doc->names);
}

// ---- resources ---------------------------------------------------------------------------------

char *dict_text_at(const uint8_t *text, int32_t len, int32_t pos) {
    if (pos < 0 || pos + 1 >= len || text[pos] != '<' || text[pos + 1] != '<') return nullptr;
    int32_t close = find_dict_close(text, pos, len);
    if (close < 0) return nullptr;
    size_t n = (size_t)(close + 2 - pos);
    char *out = (char *)malloc(n + 1);
    if (!out) return nullptr;
    memcpy(out, text + pos, n);
    out[n] = 0;
    return out;
}

char *page_resources_dict(const uint8_t *data, int32_t size, const objvec *objs,
                          const uint8_t *text, int32_t len, name_index *names) {
    if (len < 6) return nullptr;
    int32_t from = 0;
    for (int32_t k = len - 6; k >= 0; k--) {
        if (memcmp(text + k, "endobj", 6) == 0) {
            from = k + 6;
            break;
        }
    }
    int32_t p = names_find(names, text, len, from, len, "Resources");
    if (p < 0) return nullptr;
    int32_t q = skip_ws(text, p + 10, len);
    if (q >= len) return nullptr;
    if (text[q] == '<' && q + 1 < len && text[q + 1] == '<') return dict_text_at(text, len, q);
    if (!is_digit(text[q])) return nullptr;
    int32_t num = parse_int_at(text, len, &q);
    if (num <= 0) return nullptr;
    const pdfcore_obj *e = obj_find(objs, num);
    if (!e) return nullptr;
    if (e->in_objstm) {
        if (!e->body || e->body_len <= 0) return nullptr;
        const void *lt = memchr(e->body, '<', (size_t)e->body_len);
        if (!lt) return nullptr;
        return dict_text_at(e->body, e->body_len, (int32_t)((const uint8_t *)lt - e->body));
    }
    pdfcore_span s;
    if (!pdfcore_text_span(data, size, names, e, &s)) return nullptr;
    return dict_text_at(s.text, s.end, s.start);
}

char *pdfcore_obj_resources(const pdfcore_doc *doc, int32_t obj_num) {
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, obj_find(&doc->objs, obj_num), &s)) return nullptr;
    // The text searched runs from the file's start (or the body's) to the span's end: the search
    // starts after its last `endobj`.
    return page_resources_dict(doc->data, doc->size, &doc->objs, s.text, s.end, doc->names);
}

char *pdfcore_page_resources(const pdfcore_doc *doc, int32_t page_index) {
    if (page_index < 0 || page_index >= doc->pages.count) return nullptr;
    return pdfcore_obj_resources(doc, doc->pages.items[page_index].obj_num);
}
