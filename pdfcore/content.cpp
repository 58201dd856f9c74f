// pdfcore/content.cpp - stream bytes (inflated when Flate), page content and resource dictionaries.
#include "pdfcore/pdfcore.h"

#include "codec/inflate.h"

#include <cstdlib>
#include <cstring>

static inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// Holds the last inflated result of pdfcore_decoded_stream.
static buf s_dec;

// End of a file object's text span: its `stream` keyword, its `endobj`, or the file end.
static int32_t span_end(const pdfcore_obj *e, int32_t size) {
    int32_t end = e->stream_kw_off > 0 ? e->stream_kw_off : (e->endobj_off > 0 ? e->endobj_off : size);
    return end < size ? end : size;
}

// Text span of any object: (text, start, end); false when it has none.
static bool text_span(const uint8_t *data, int32_t size, const pdfcore_obj *e, const uint8_t **text,
                      int32_t *start, int32_t *end) {
    if (e->in_objstm) {
        if (!e->body || e->body_len < 0) return false;
        *text = e->body;
        *start = 0;
        *end = e->body_len;
        return true;
    }
    if (e->dict_off < 0 || e->dict_off >= size) return false;
    *text = data;
    *start = e->dict_off;
    *end = span_end(e, size);
    return true;
}

static bool names_flate(const uint8_t *data, int32_t size, const pdfcore_obj *e) {
    const uint8_t *t;
    int32_t start, end;
    return text_span(data, size, e, &t, &start, &end) &&
           find_name(t, end, start, end, "FlateDecode") >= 0;
}

const uint8_t *decoded_stream(const pdfcore_obj *entry, const uint8_t *data, int32_t size,
                              buf *out_buf, int32_t *length) {
    if (!entry->is_stream || entry->data_off < 0 || entry->data_end > size) return nullptr;
    int32_t l = entry->data_end - entry->data_off;
    if (l <= 0) return nullptr;
    if (entry->dict_off == -1 || !names_flate(data, size, entry)) {
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

const uint8_t *pdfcore_decoded_stream(const pdfcore_obj *entry, const uint8_t *data, int32_t size,
                                      int32_t *length) {
    buf fresh = {nullptr, 0, 0};
    int32_t n = 0;
    const uint8_t *p = decoded_stream(entry, data, size, &fresh, &n);
    if (!p || n == 0) {  // a stream that inflates to nothing is empty too
        buf_free(&fresh);
        return nullptr;
    }
    if (fresh.data && p == fresh.data) {
        // Inflated: the fresh buffer holds exactly these bytes and becomes the kept result.
        buf_free(&s_dec);
        s_dec = fresh;
        *length = n;
        return s_dec.data;
    }
    buf_free(&fresh);
    *length = n;
    return p;
}

// Reads `N [G] [obj] v` at a file object's header: v, or -1.
static int32_t object_int_value(const uint8_t *data, int32_t size, const pdfcore_obj *t) {
    int32_t p = t->head_off;
    if (p < 0 || p >= size) return -1;
    (void)parse_int_at(data, size, &p);
    p = skip_ws(data, p, size);
    if (p < size && is_digit(data[p])) (void)parse_int_at(data, size, &p);
    p = skip_ws(data, p, size);
    if (kw_at(data, p, size, "obj")) p = skip_ws(data, p + 3, size);
    return parse_int_at(data, size, &p);
}

// /Contents n g R.
static int32_t content_single(const uint8_t *data, int32_t size, const objvec *objs,
                              const uint8_t *t, int32_t q, int32_t end, const uint8_t **content,
                              int32_t *length) {
    int32_t num = parse_int_at(t, end, &q);
    if (num <= 0) return 0;
    const pdfcore_obj *e = obj_find(objs, num);
    if (!e) return 0;
    buf fresh = {nullptr, 0, 0};
    int32_t n = 0;
    const uint8_t *p = decoded_stream(e, data, size, &fresh, &n);
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
                             int32_t *length) {
    buf result = {nullptr, 0, 0};
    bool any = false;
    int32_t i = q + 1;
    while (i < end && t[i] != ']') {
        if (!is_digit(t[i])) {
            i++;
            continue;
        }
        int32_t num = parse_int_at(t, end, &i);
        const pdfcore_obj *e = num > 0 ? obj_find(objs, num) : nullptr;
        bool last = false;
        i = skip_ws(t, i, end);
        if (i >= end) last = true;
        if (!last && is_digit(t[i])) {
            (void)parse_int_at(t, end, &i);
            i = skip_ws(t, i, end);
            if (i >= end) last = true;
        }
        if (!last) {
            if (t[i] == 'R') i++;
            i = skip_ws(t, i, end);
            if (i >= end) last = true;
        }
        if (e) {
            buf fresh = {nullptr, 0, 0};
            int32_t n = 0;
            const uint8_t *p = decoded_stream(e, data, size, &fresh, &n);
            // The joined length must stay a 32-bit count.
            if (p && (uint64_t)n <= (uint64_t)INT32_MAX - result.len) {
                buf_bytes(&result, p, (uint64_t)n);
                any = true;
            }
            buf_free(&fresh);
        }
        if (last) break;
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
                              int32_t *length) {
    int32_t s = dict_stream_kw(t, end, q);
    if (s < 0) return 0;
    int32_t l = -1, ref = -1;
    parse_length(t, end, q, s, &l, &ref);
    if (l < 0) {
        if (ref <= 0) return 0;
        const pdfcore_obj *e = obj_find(objs, ref);
        if (!e || e->is_stream || e->in_objstm || e->head_off < 0) return 0;
        l = object_int_value(data, size, e);
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
                         const pdfcore_obj *page, const uint8_t **content, int32_t *length) {
    *content = nullptr;
    *length = 0;
    const uint8_t *t;
    int32_t start, end;
    if (!text_span(data, size, page, &t, &start, &end)) return 0;
    int32_t p = find_name(t, end, start, end, "Contents");
    if (p < 0) return 0;
    int32_t q = skip_ws(t, p + 9, end);
    if (q >= end) return 0;
    if (is_digit(t[q])) return content_single(data, size, objs, t, q, end, content, length);
    if (t[q] == '[') return content_array(data, size, objs, t, q, end, content, length);
    if (t[q] == '<' && q + 1 < end && t[q + 1] == '<')
        return content_inline(data, size, objs, t, q, end, content, length);
    return 0;
}

int pdfcore_page_content(const pdfcore_doc *doc, int32_t page_index, const uint8_t **content,
                         int32_t *length) {
    *content = nullptr;
    *length = 0;
    if (page_index < 0 || page_index >= doc->pages.count) {
        pdfcore_set_error("page index out of range");
        return 0;
    }
    int32_t num = doc->pages.items[page_index].obj_num;
    const pdfcore_obj *e = obj_find(&doc->objs, num);
    if (!e) {
        pdfcore_set_error("page object %ld missing", (long)num);
        return 0;
    }
    return get_page_content(doc->data, doc->size, &doc->objs, e, content, length);
}

// ---- resources ---------------------------------------------------------------------------------

char *dict_text_at(const uint8_t *text, int32_t len, int32_t pos) {
    if (pos < 0 || pos + 1 >= len || text[pos] != '<' || text[pos + 1] != '<') return nullptr;
    int32_t depth = 0;
    int32_t close = -1;
    int32_t i = pos;
    while (i + 1 < len) {  // a byte is examined only while another follows it
        uint8_t c = text[i];
        if (c == '<' && text[i + 1] == '<') {
            depth++;
            i += 2;
        } else if (c == '>' && text[i + 1] == '>') {
            if (--depth == 0) {
                close = i + 1;
                break;
            }
            i += 2;
        } else if (c == '(') {
            // A literal string: '>>' inside it closes nothing; '\' escapes the next byte.
            int32_t nest = 1;
            int32_t j = i + 1;
            while (j < len) {
                if (text[j] == '\\') {
                    j += 2;
                    continue;
                }
                if (text[j] == '(') nest++;
                else if (text[j] == ')' && --nest == 0) break;
                j++;
            }
            if (j >= len) return nullptr;
            i = j + 1;
        } else {
            i++;
        }
    }
    if (close < 0) return nullptr;
    size_t n = (size_t)(close - pos + 1);
    char *out = (char *)malloc(n + 1);
    if (!out) return nullptr;
    memcpy(out, text + pos, n);
    out[n] = 0;
    return out;
}

char *page_resources_dict(const uint8_t *data, int32_t size, const objvec *objs,
                          const uint8_t *text, int32_t len) {
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
    const pdfcore_obj *e = obj_find(objs, num);
    if (!e) return nullptr;
    if (e->in_objstm) {
        if (!e->body || e->body_len <= 0) return nullptr;
        const void *lt = memchr(e->body, '<', (size_t)e->body_len);
        if (!lt) return nullptr;
        return dict_text_at(e->body, e->body_len, (int32_t)((const uint8_t *)lt - e->body));
    }
    if (e->dict_off < 0) return nullptr;
    return dict_text_at(data, span_end(e, size), e->dict_off);
}

char *pdfcore_obj_resources(const pdfcore_doc *doc, int32_t obj_num) {
    const pdfcore_obj *e = obj_find(&doc->objs, obj_num);
    if (!e) return nullptr;
    if (e->in_objstm) {
        if (!e->body) return nullptr;
        return page_resources_dict(doc->data, doc->size, &doc->objs, e->body, e->body_len);
    }
    if (e->dict_off < 0) return nullptr;
    return page_resources_dict(doc->data, doc->size, &doc->objs, doc->data, span_end(e, doc->size));
}

char *pdfcore_page_resources(const pdfcore_doc *doc, int32_t page_index) {
    if (page_index < 0 || page_index >= doc->pages.count) return nullptr;
    return pdfcore_obj_resources(doc, doc->pages.items[page_index].obj_num);
}
