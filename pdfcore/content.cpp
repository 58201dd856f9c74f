// pdfcore/content.cpp - decoded stream bytes for content, page content and resource dictionaries.
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>

#include "pdfcore/stream.h"

// 1 when a chain holds a filter that content never uses, or /Filter cannot be read.
static bool foreign_chain(const stream_chain *c) {
    return c->bad || stream_chain_has(c, pf_dct) || stream_chain_has(c, pf_jpx) ||
           stream_chain_has(c, pf_ccitt) || stream_chain_has(c, pf_jbig2);
}

// The decoded bytes of stream entry e into *fresh (malloc'd, NUL after), which they replace. NULL
// when it is no stream, empty, or cannot be read or decoded. Page content is bounded by
// content_max_decoded alone: a longer stream gives its first bytes. Content whose /Filter cannot
// be read or names filters content never uses is inflated when its dictionary names /FlateDecode
// anywhere (damaged files keep their content), else read as stored.
static const uint8_t *decoded_stream(const pdfcore_doc *doc, const pdfcore_obj *e, buf *fresh,
                                     int32_t *length) {
    uint8_t *data = nullptr;
    uint64_t len = 0;
    pdfcore_span s;
    if (!pdfcore_stream_read(doc, e, &data, &len)) return nullptr;
    stream_chain c;
    if (!pdfcore_obj_span(doc, e, &s)) s = pdfcore_span{nullptr, 0, 0, -1};
    stream_read_chain(doc, s, &c);
    if (foreign_chain(&c)) {
        bool flate = s.text && pdfcore_find_key(&s, "FlateDecode") >= 0;
        memset(&c, 0, sizeof c);
        c.count = flate ? 1 : 0;
        c.stage[0].filter = pf_flate;
        c.stage[0].predictor = 1;
    }
    uint8_t *out = data;  // stored data is read with a NUL after it
    uint64_t n = len;
    if (c.count > 0) {
        stream_opts o;
        memset(&o, 0, sizeof o);
        o.limit = content_max_decoded;
        int cut = 0;
        int rc = stream_run(doc, &c, c.count, data, len, &o, &out, &n, &cut);
        free(data);
        if (rc != 0) return nullptr;
    } else if (n > content_max_decoded) {
        n = content_max_decoded;
        out[n] = 0;
    }
    buf_free(fresh);
    fresh->data = out;  // NUL after its n bytes
    fresh->len = n;
    fresh->cap = n + 1;
    *length = (int32_t)n;  // n <= content_max_decoded
    return out;
}

const uint8_t *pdfcore_decoded_stream(pdfcore_doc *doc, const pdfcore_obj *entry, int32_t *length) {
    buf fresh = {nullptr, 0, 0};
    int32_t n = 0;
    const uint8_t *p = entry ? decoded_stream(doc, entry, &fresh, &n) : nullptr;
    if (!p || n == 0) {  // a stream that decodes to nothing is empty too
        buf_free(&fresh);
        return nullptr;
    }
    if (fresh.data && p == fresh.data) {
        // Decoded: the fresh buffer holds exactly these bytes and becomes the kept result.
        buf_free(&doc->decoded);
        doc->decoded = fresh;
    }
    *length = n;
    return p;
}

static int32_t content_array(const pdfcore_doc *doc, const uint8_t *t, int32_t q, int32_t end,
                             const uint8_t **content, int32_t *length);

// /Contents n g R: a stream, or an array object of streams.
static int32_t content_single(const pdfcore_doc *doc, const uint8_t *t, int32_t q, int32_t end,
                              const uint8_t **content, int32_t *length) {
    int32_t num = parse_int_at(t, end, &q);
    if (num <= 0) return 0;
    const pdfcore_obj *e = obj_find(&doc->objs, num);
    if (!e) return 0;
    pdfcore_span a;
    if (!e->is_stream && pdfcore_value_span(doc, e, &a) &&
        (a.start = skip_ws(a.text, a.start, a.end)) < a.end && a.text[a.start] == '[')
        return content_array(doc, a.text, a.start, a.end, content, length);
    buf fresh = {nullptr, 0, 0};
    int32_t n = 0;
    const uint8_t *p = decoded_stream(doc, e, &fresh, &n);
    if (!p) {
        buf_free(&fresh);
        return 0;
    }
    *content = p;  // fresh.data, the caller's now
    *length = n;
    return 1;
}

// /Contents [a 0 R b 0 R ...]: the decoded pieces joined, nothing between them.
static int32_t content_array(const pdfcore_doc *doc, const uint8_t *t, int32_t q, int32_t end,
                             const uint8_t **content, int32_t *length) {
    buf result = {nullptr, 0, 0};
    bool any = false;
    int32_t i = q + 1, num = 0;
    while (pdfcore_ref_list_next(t, end, &i, &num)) {
        const pdfcore_obj *e = num > 0 ? obj_find(&doc->objs, num) : nullptr;
        if (!e) continue;
        buf fresh = {nullptr, 0, 0};
        int32_t n = 0;
        const uint8_t *p = decoded_stream(doc, e, &fresh, &n);
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
static int32_t content_inline(const pdfcore_doc *doc, const uint8_t *t, int32_t q, int32_t end,
                              const uint8_t **content, int32_t *length) {
    int32_t s = dict_stream_kw(t, end, q);
    if (s < 0) return 0;
    int64_t l = -1;
    int32_t ref = -1;
    parse_length(t, end, q, s, &l, &ref);
    if (l < 0) {
        if (ref <= 0) return 0;
        const pdfcore_obj *e = obj_find(&doc->objs, ref);
        if (!e || e->is_stream || e->in_objstm || e->head_off < 0) return 0;
        l = obj_int_value(doc, e);
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
    *length = (int32_t)l;  // l <= end - d
    return 1;
}

int32_t get_page_content(const pdfcore_doc *doc, const pdfcore_obj *page, const uint8_t **content,
                         int32_t *length) {
    *content = nullptr;
    *length = 0;
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, page, &s)) return 0;
    const uint8_t *t = s.text;
    int32_t end = s.end;
    int32_t p = pdfcore_find_key(&s, "Contents");
    if (p < 0) return 0;
    int32_t q = skip_ws(t, p + 9, end);
    if (q >= end) return 0;
    if (is_digit(t[q])) return content_single(doc, t, q, end, content, length);
    if (t[q] == '[') return content_array(doc, t, q, end, content, length);
    if (t[q] == '<' && q + 1 < end && t[q + 1] == '<')
        return content_inline(doc, t, q, end, content, length);
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
    return get_page_content(doc, e, content, length);
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

char *page_resources_dict(const pdfcore_doc *doc, const uint8_t *text, int32_t len) {
    if (len < 6) return nullptr;
    int32_t from = 0;
    for (int32_t k = len - 6; k >= 0; k--) {
        if (memcmp(text + k, "endobj", 6) == 0) {
            from = k + 6;
            break;
        }
    }
    int32_t p = find_name(text, len, from, len, "Resources");
    if (p < 0) return nullptr;
    int32_t q = skip_ws(text, p + 10, len);
    if (q >= len) return nullptr;
    if (text[q] == '<' && q + 1 < len && text[q + 1] == '<') return dict_text_at(text, len, q);
    if (!is_digit(text[q])) return nullptr;
    int32_t num = parse_int_at(text, len, &q);
    if (num <= 0) return nullptr;
    const pdfcore_obj *e = obj_find(&doc->objs, num);
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, e, &s)) return nullptr;
    if (e->in_objstm) {
        const void *lt = memchr(s.text, '<', (size_t)s.end);
        if (!lt) return nullptr;
        return dict_text_at(s.text, s.end, (int32_t)((const uint8_t *)lt - s.text));
    }
    return dict_text_at(s.text, s.end, s.start);
}

char *pdfcore_obj_resources(const pdfcore_doc *doc, int32_t obj_num) {
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, obj_find(&doc->objs, obj_num), &s)) return nullptr;
    // The text searched runs from the object's header (or its text in an object stream) to the
    // span's end, after the last `endobj` in it.
    return page_resources_dict(doc, s.text, s.end);
}

char *pdfcore_page_resources(const pdfcore_doc *doc, int32_t page_index) {
    if (page_index < 0 || page_index >= doc->pages.count) return nullptr;
    return pdfcore_obj_resources(doc, doc->pages.items[page_index].obj_num);
}
