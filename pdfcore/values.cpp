// pdfcore/values.cpp - object text spans and the readers of PDF values in them: keys, references
// (followed through the object index), integers, reals, names, strings and arrays.
#include "pdfcore/pdfcore.h"

#include <cstring>

// ---- object texts -------------------------------------------------------------------------------

// Where a file object's text ends: its `stream` keyword, else its `endobj`, else the file's end.
static int64_t text_end_of(const pdfcore_doc *doc, const pdfcore_obj *o) {
    if (o->stream_kw_off > 0) return o->stream_kw_off;
    if (o->endobj_off > 0) return o->endobj_off;
    return doc->size;
}

// The text of a file object, read on first use (see pdfcore.h): 1, or 0 when it cannot be read
// (outside the file, over the document's budget, no memory, a short read). The document record
// and the entry change here: reading a text is the one thing a query does to them.
static int load_text(const pdfcore_doc *cdoc, const pdfcore_obj *co) {
    if (co->body) return 1;
    if (co->body_len < 0 || co->head_off < 0 || co->head_off >= cdoc->size) return 0;
    pdfcore_doc *doc = const_cast<pdfcore_doc *>(cdoc);
    pdfcore_obj *o = const_cast<pdfcore_obj *>(co);
    int64_t end = text_end_of(doc, o);
    if (end > doc->size) end = doc->size;
    int64_t n = end - o->head_off;
    if (n > obj_text_max) n = obj_text_max;
    o->body_len = -1;  // until it is read
    if (n <= 0 || (uint64_t)n > doc_text_max - doc->text_bytes) return 0;
    uint8_t *t = (uint8_t *)arena_alloc(&doc->arena, (uint64_t)n);
    if (!t) return 0;
    if (src_read(&doc->src, o->head_off, t, n) != n) {
        doc->read_failed = 1;
        return 0;
    }
    doc->text_bytes += (uint64_t)n;
    o->body = t;
    o->body_len = (int32_t)n;
    return 1;
}

// The text of an object from an object stream, from its stream's decoded data.
static int load_packed(const pdfcore_doc *doc, const pdfcore_obj *co) {
    if (co->body) return 1;
    const uint8_t *data = nullptr;
    int64_t len = 0;
    if (co->body_len <= 0 || !doc->stm_data || !doc->stm_data(doc, co->stm_index, &data, &len)) return 0;
    if (co->stm_off < 0 || co->body_len > len - co->stm_off) return 0;
    const_cast<pdfcore_obj *>(co)->body = data + co->stm_off;
    return 1;
}

// ---- spans --------------------------------------------------------------------------------------

int pdfcore_obj_span(const pdfcore_doc *doc, const pdfcore_obj *o, pdfcore_span *s) {
    if (!o) return 0;
    if (o->in_objstm) {
        if (!load_packed(doc, o)) return 0;
        *s = pdfcore_span{o->body, 0, o->body_len, o->num};
        return 1;
    }
    if (o->dict_off < 0 || o->dict_off < o->head_off || o->dict_off >= doc->size) return 0;
    if (!load_text(doc, o)) return 0;
    int64_t start = o->dict_off - o->head_off, end = text_end_of(doc, o) - o->head_off;
    if (end > o->body_len) end = o->body_len;
    if (start >= end) return 0;
    *s = pdfcore_span{o->body, (int32_t)start, (int32_t)end, o->num};  // within obj_text_max
    return 1;
}

int pdfcore_value_span(const pdfcore_doc *doc, const pdfcore_obj *o, pdfcore_span *s) {
    if (pdfcore_obj_span(doc, o, s)) return 1;
    if (!o || o->in_objstm || o->head_off < 0 || !load_text(doc, o)) return 0;
    int32_t k = find_kw(o->body, o->body_len, 0, "obj");
    if (k < 0) return 0;
    int64_t end = o->endobj_off > o->head_off + k + 3 ? o->endobj_off - o->head_off : o->body_len;
    if (end > o->body_len) end = o->body_len;
    if (k + 3 >= end) return 0;
    *s = pdfcore_span{o->body, k + 3, (int32_t)end, o->num};
    return 1;
}

int64_t obj_int_value(const pdfcore_doc *doc, const pdfcore_obj *t) {
    if (!t || t->in_objstm || t->head_off < 0 || !load_text(doc, t)) return -1;
    const uint8_t *d = t->body;
    int32_t len = t->body_len, p = 0;
    (void)parse_int_at(d, len, &p);
    p = skip_ws(d, p, len);
    if (p < len && is_digit(d[p])) (void)parse_int_at(d, len, &p);
    p = skip_ws(d, p, len);
    if (kw_at(d, p, len, "obj")) p = skip_ws(d, p + 3, len);
    return parse_int64_at(d, len, &p);
}

// ---- keys and references ------------------------------------------------------------------------

int32_t pdfcore_find_key(const pdfcore_span *s, const char *key) {
    return find_name(s->text, s->end, s->start, s->end, key);
}

int32_t pdfcore_find_key_outside(const pdfcore_span *s, const char *key, int32_t lo, int32_t hi) {
    int32_t p = pdfcore_find_key(s, key);
    while (p >= 0 && p >= lo && p < hi) {
        pdfcore_span rest = *s;
        rest.start = hi;
        p = pdfcore_find_key(&rest, key);
    }
    return p;
}

int32_t pdfcore_key_value(const pdfcore_span *s, const char *key) {
    int32_t p = pdfcore_find_key(s, key);
    if (p < 0) return -1;
    int32_t v = skip_ws(s->text, p + 1 + (int32_t)strlen(key), s->end);
    return v < s->end ? v : -1;
}

int32_t pdfcore_read_ref(const uint8_t *t, int32_t end, int32_t pos, int32_t *after) {
    int32_t p = pos;
    int32_t n = parse_int_at(t, end, &p);
    if (n <= 0) return -1;
    if (parse_int_at(t, end, &p) < 0) return -1;
    p = skip_ws(t, p, end);
    if (p >= end || t[p] != 'R') return -1;
    if (p + 1 < end && is_word(t[p + 1])) return -1;
    *after = p + 1;
    return n;
}

int pdfcore_resolve(const pdfcore_doc *doc, pdfcore_span *v) {
    if (v->start < 0) return 0;
    for (int32_t hop = 0; hop <= max_ref_hops; hop++) {
        v->start = skip_ws(v->text, v->start, v->end);
        if (v->start >= v->end) return 0;
        if (!is_digit(v->text[v->start])) return 1;
        int32_t after = 0;
        int32_t n = pdfcore_read_ref(v->text, v->end, v->start, &after);
        if (n < 0) return 1;  // a plain number
        const pdfcore_obj *o = obj_find(&doc->objs, n);
        if (!o || !pdfcore_value_span(doc, o, v)) return 0;
    }
    return 0;
}

int32_t pdfcore_read_int(const pdfcore_doc *doc, pdfcore_span v) {
    if (!pdfcore_resolve(doc, &v)) return -1;
    int32_t q = v.start;
    return parse_int_at(v.text, v.end, &q);
}

// ---- numbers and names --------------------------------------------------------------------------

// v x 10^e. Powers up to 10^22 are exact doubles, so one multiplication or division rounds once.
static double scale10(double v, int32_t e) {
    static const double p10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    for (; e > 22; e -= 22) v *= 1e22;
    for (; e < -22; e += 22) v /= 1e22;
    return e >= 0 ? v * p10[e] : v / p10[-e];
}

int pdfcore_read_real(const uint8_t *t, int32_t end, int32_t *pos, double *value) {
    int32_t p = skip_ws(t, *pos, end);
    if (p >= end) {
        *pos = end;
        return 0;
    }
    double sign = 1.0;
    int32_t q = p;
    if (t[q] == '+' || t[q] == '-') sign = t[q++] == '-' ? -1.0 : 1.0;
    // The digits as one integer below 2^53 and a power of ten, so "0.7" is the double nearest 0.7
    // (adding 7 x 0.1 is not). Digits past that precision only move the exponent or are dropped.
    const uint64_t exact = (uint64_t)1 << 53;
    uint64_t mant = 0;
    int32_t exp10 = 0, digits = 0;
    bool frac = false;
    for (; q < end; q++) {
        if (t[q] == '.' && !frac) {
            frac = true;
            continue;
        }
        if (!is_digit(t[q])) break;
        digits++;
        if (mant < (exact - 9u) / 10u) {
            mant = mant * 10u + (uint64_t)(t[q] - '0');
            exp10 -= frac ? 1 : 0;
        } else if (!frac && exp10 < 400) {
            exp10++;
        }
    }
    if (!digits) {
        *pos = p + 1;
        return 0;
    }
    *pos = q;
    *value = sign * scale10((double)mant, exp10);
    return 1;
}

int32_t pdfcore_read_name(const uint8_t *t, int32_t end, int32_t pos, char *out, int32_t cap,
                          int *cut) {
    int32_t p = pos + 1, n = 0, e = token_end(t, pos + 1, end);
    *cut = 0;
    for (; p < e; p++) {
        if (n < cap - 1) out[n++] = (char)t[p];
        else *cut = 1;
    }
    out[n] = '\0';
    return e;
}

// ---- strings and arrays -------------------------------------------------------------------------

int32_t pdfcore_array_end(const uint8_t *t, int32_t pos, int32_t end) {
    int32_t depth = 0;
    int32_t p = pos;
    while (p < end) {
        if (t[p] == '[') {
            depth++;
        } else if (t[p] == ']') {
            if (--depth == 0) return p + 1;
        } else if (t[p] == '(') {
            p = pdfcore_string_end(t, p, end);  // ']' inside a string closes nothing
            if (p < 0) return end;
            continue;
        } else if (t[p] == '%') {
            p = comment_end(t, p, end);  // nor does one inside a comment
            continue;
        }
        p++;
    }
    return end;
}

int32_t pdfcore_value_end(const uint8_t *t, int32_t pos, int32_t end) {
    if (pos < 0 || pos >= end) return end;
    uint8_t c = t[pos];
    int32_t p = pos + 1;
    if (c == '(') {
        p = pdfcore_string_end(t, pos, end);
        return p < 0 ? end : p;
    }
    if (c == '[') return pdfcore_array_end(t, pos, end);
    if (c == '<' && p < end && t[p] == '<') {
        int32_t close = find_dict_close(t, pos, end);
        return close < 0 ? end : close + 2;
    }
    if (c == '<') {
        const void *gt = memchr(t + p, '>', (size_t)(end - p));
        return gt ? (int32_t)((const uint8_t *)gt - t) + 1 : end;
    }
    if (c == '/') return token_end(t, p, end);
    int32_t after = 0;
    if (is_digit(c) && pdfcore_read_ref(t, end, pos, &after) > 0) return after;
    return is_regular(c) ? token_end(t, pos, end) : p;  // a delimiter that opens nothing: one byte
}

int pdfcore_array_item(const pdfcore_span *arr, int32_t *pos, pdfcore_span *item) {
    int32_t p = skip_ws(arr->text, *pos, arr->end);
    if (p < 0 || p >= arr->end || arr->text[p] == ']') {
        *pos = p;
        return 0;
    }
    *item = *arr;
    item->start = p;
    item->end = pdfcore_value_end(arr->text, p, arr->end);
    *pos = item->end;
    return 1;
}

int pdfcore_array_next(const pdfcore_doc *doc, const pdfcore_span *arr, int32_t *pos,
                       pdfcore_span *elem) {
    if (!pdfcore_array_item(arr, pos, elem)) return 0;
    pdfcore_span item = *elem;
    if (!pdfcore_resolve(doc, elem)) {  // a reference to nothing
        *elem = item;
        elem->start = elem->end;
    }
    return 1;
}

int pdfcore_dict_next(const uint8_t *t, int32_t end, int32_t *pos, int32_t *key, int32_t *value) {
    int32_t p = *pos;
    for (;;) {
        p = skip_ws(t, p, end);
        if (p >= end || t[p] == '>') {
            *pos = p < end ? p : end;
            return 0;
        }
        if (t[p] != '/') {  // no key here: step over whatever stands there
            p = pdfcore_value_end(t, p, end);
            continue;
        }
        *key = p;
        *value = skip_ws(t, token_end(t, p + 1, end), end);
        // a key without a value: what holds the dictionary closes at *value
        *pos = *value < end && (t[*value] == '>' || t[*value] == ']') ? *value
                                                                      : pdfcore_value_end(t, *value, end);
        return 1;
    }
}

int pdfcore_name_is(const uint8_t *t, int32_t end, int32_t pos, const char *name) {
    if (pos < 0 || pos >= end || t[pos] != '/') return 0;
    int32_t n = (int32_t)strlen(name);
    if (n > end - pos - 1 || memcmp(t + pos + 1, name, (size_t)n) != 0) return 0;
    int32_t q = pos + 1 + n;
    return q >= end || !is_regular(t[q]);
}

int pdfcore_ref_list_next(const uint8_t *t, int32_t end, int32_t *pos, int32_t *num) {
    int32_t i = *pos;
    for (;;) {
        i = skip_ws(t, i, end);  // a number in a comment is no reference
        if (i >= end || t[i] == ']' || is_digit(t[i])) break;
        i++;
    }
    if (i >= end || t[i] == ']') {
        *pos = i;
        return 0;
    }
    *num = parse_int_at(t, end, &i);
    i = skip_ws(t, i, end);
    if (i < end && is_digit(t[i])) {
        (void)parse_int_at(t, end, &i);  // the generation
        i = skip_ws(t, i, end);
    }
    if (i < end && t[i] == 'R') i = skip_ws(t, i + 1, end);
    *pos = i;
    return 1;
}

uint64_t pdfcore_read_hex_string(const uint8_t *t, int32_t end, int32_t pos, uint8_t *out,
                                 uint64_t cap) {
    uint64_t n = 0;
    int hi = -1;
    for (int32_t p = pos; p < end && t[p] != '>'; p++) {
        int v = hex_value(t[p]);
        if (v < 0) continue;
        if (hi < 0) {
            hi = v;
            continue;
        }
        if (n < cap) out[n++] = (uint8_t)(hi << 4 | v);
        hi = -1;
    }
    return n;
}

uint64_t pdfcore_read_literal_string(const uint8_t *t, int32_t end, int32_t pos, uint8_t *out,
                                     uint64_t cap) {
    uint64_t n = 0;
    int32_t depth = 1;
    for (int32_t p = pos + 1; p < end && n < cap; p++) {
        uint8_t b = t[p];
        if (b == '\\') {
            if (++p >= end) break;
            uint8_t e = t[p];
            switch (e) {
            case 'n': b = 0x0A; break;
            case 'r': b = 0x0D; break;
            case 't': b = 0x09; break;
            case 'b': b = 0x08; break;
            case 'f': b = 0x0C; break;
            case 0x0D:
                if (p + 1 < end && t[p + 1] == 0x0A) p++;
                continue;
            case 0x0A: continue;
            default:
                if (e >= '0' && e <= '7') {
                    unsigned v = (unsigned)(e - '0');
                    for (int k = 0; k < 2 && p + 1 < end && t[p + 1] >= '0' && t[p + 1] <= '7'; k++)
                        v = v * 8u + (unsigned)(t[++p] - '0');
                    b = (uint8_t)(v & 0xFFu);
                } else {
                    b = e;  // \( \) \\ and any other escaped byte stand for themselves
                }
            }
        } else if (b == '(') {
            depth++;
        } else if (b == ')') {
            if (--depth == 0) break;
        } else if (b == 0x0D) {
            if (p + 1 < end && t[p + 1] == 0x0A) p++;
            b = 0x0A;
        }
        out[n++] = b;
    }
    return n;
}

// ---- values inside dictionaries and arrays ------------------------------------------------------

int pdfcore_dict_get(const pdfcore_doc *doc, const pdfcore_span *d, const char *key,
                     pdfcore_span *v) {
    const uint8_t *t = d->text;
    int32_t end = d->end;
    int32_t p = skip_ws(t, d->start, end), k = 0, value = 0;
    if (p + 1 >= end || t[p] != '<' || t[p + 1] != '<') return 0;
    p += 2;
    while (pdfcore_dict_next(t, end, &p, &k, &value)) {
        if (!pdfcore_name_is(t, end, k, key)) continue;
        pdfcore_span r = *d;
        r.start = value;
        if (value >= end || !pdfcore_resolve(doc, &r)) return 0;
        *v = r;
        return 1;
    }
    return 0;
}

int pdfcore_array_get(const pdfcore_doc *doc, pdfcore_span v, int32_t index, pdfcore_span *item) {
    if (index < 0 || !pdfcore_resolve(doc, &v) || v.text[v.start] != '[') return 0;
    int32_t p = v.start + 1;
    pdfcore_span e;
    for (int32_t i = 0; pdfcore_array_next(doc, &v, &p, &e); i++) {
        if (i < index) continue;
        if (e.start >= e.end) return 0;  // a reference to nothing
        *item = e;
        return 1;
    }
    return 0;
}

const pdfcore_obj *pdfcore_stream_at(const pdfcore_doc *doc, const pdfcore_span *v) {
    const pdfcore_obj *o = v->obj_num > 0 ? obj_find(&doc->objs, v->obj_num) : nullptr;
    pdfcore_span s;
    if (!o || !o->is_stream || !pdfcore_obj_span(doc, o, &s) || s.text != v->text) return nullptr;
    return skip_ws(s.text, s.start, s.end) == v->start ? o : nullptr;
}

int pdfcore_read_number(const pdfcore_doc *doc, pdfcore_span v, double *value) {
    if (!pdfcore_resolve(doc, &v)) return 0;
    int32_t p = v.start;
    double d = 0;
    if (!pdfcore_read_real(v.text, v.end, &p, &d)) return 0;
    // The whole token: "1.5.2" or "12abc" is no number.
    if (token_end(v.text, p, v.end) != p) return 0;
    *value = d;
    return 1;
}

int32_t pdfcore_read_numbers(const pdfcore_doc *doc, pdfcore_span v, double *out, int32_t cap) {
    if (!pdfcore_resolve(doc, &v) || v.text[v.start] != '[') return -1;
    int32_t p = v.start + 1, n = 0;
    for (;;) {
        p = skip_ws(v.text, p, v.end);
        if (p >= v.end) return -1;
        if (v.text[p] == ']') return n;
        pdfcore_span e = v;
        e.start = p;
        if (n >= cap || !pdfcore_read_number(doc, e, &out[n])) return -1;
        n++;
        p = pdfcore_value_end(v.text, p, v.end);
    }
}
