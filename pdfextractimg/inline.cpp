// pdfextractimg/inline.cpp - inline images of content streams: the BI search, the dictionary
// written out with full names and read as an image dictionary, the end of the data, conversion.
#include "pdfextractimg/inline.h"

#include <cstdlib>
#include <cstring>

#include "codec/inflate.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"

// ---- names ------------------------------------------------------------------------------------

struct name_pair {
    const char *abbr;
    const char *full;
};

// The keys of an inline image dictionary; the full names stand for themselves.
static const name_pair s_keys[] = {
    {"W", "Width"},       {"H", "Height"},          {"BPC", "BitsPerComponent"},
    {"CS", "ColorSpace"}, {"F", "Filter"},          {"DP", "DecodeParms"},
    {"IM", "ImageMask"},  {"D", "Decode"},          {"I", "Interpolate"},
    {"L", "Length"},
};
static const name_pair s_spaces[] = {
    {"G", "DeviceGray"}, {"RGB", "DeviceRGB"}, {"CMYK", "DeviceCMYK"}, {"I", "Indexed"},
};

// The operators of content streams, and the words that are operands.
static const char *const s_operators[] = {
    "b", "B", "b*", "B*", "BDC", "BI", "BMC", "BT", "BX", "c", "cm", "CS", "cs", "d", "d0", "d1",
    "Do", "DP", "EMC", "ET", "EX", "f", "F", "f*", "G", "g", "gs", "h", "i", "j", "J", "K", "k",
    "l", "m", "M", "MP", "n", "q", "Q", "re", "RG", "rg", "ri", "s", "S", "SC", "sc", "SCN", "scn",
    "sh", "T*", "Tc", "Td", "TD", "Tf", "Tj", "TJ", "TL", "Tm", "Tr", "Ts", "Tw", "Tz", "v", "w",
    "W", "W*", "y", "'", "\"", "true", "false", "null",
};

// The full name for the name text[start, end) (after its '/') in table, or null.
static const char *full_name(const name_pair *table, size_t n, const uint8_t *t, int32_t start,
                             int32_t end) {
    size_t len = (size_t)(end - start);
    for (size_t i = 0; i < n; i++) {
        if (strlen(table[i].abbr) == len && memcmp(t + start, table[i].abbr, len) == 0)
            return table[i].full;
        if (strlen(table[i].full) == len && memcmp(t + start, table[i].full, len) == 0)
            return table[i].full;
    }
    return nullptr;
}

// The full names of the device colour spaces and filters, for name text[start, end); null: none.
static const char *space_name(const uint8_t *t, int32_t start, int32_t end) {
    return full_name(s_spaces, sizeof s_spaces / sizeof s_spaces[0], t, start, end);
}
static const char *filter_name(const uint8_t *t, int32_t start, int32_t end) {
    char name[32];
    if (end - start >= (int32_t)sizeof name) return nullptr;
    memcpy(name, t + start, (size_t)(end - start));
    name[end - start] = 0;
    return pdfcore_filter_name(pdfcore_filter_of(name));
}

// ---- the dictionary written out -----------------------------------------------------------------

// Output of bounded size; a write past cap sets failed and writes nothing more.
struct text_out {
    char *s;
    int32_t n;
    int32_t cap;
    bool failed;
};

static void out_bytes(text_out *o, const void *b, int32_t n) {
    if (o->failed || n > o->cap - o->n) {
        o->failed = true;
        return;
    }
    memcpy(o->s + o->n, b, (size_t)n);
    o->n += n;
}
static void out_str(text_out *o, const char *s) { out_bytes(o, s, (int32_t)strlen(s)); }

// The value text[v, ve): bytes as they are, but each name token that full names written in full.
static void out_value(text_out *o, const uint8_t *t, int32_t v, int32_t ve,
                      const char *(*full)(const uint8_t *, int32_t, int32_t)) {
    int32_t done = v, q = v;
    pdfcore_token tok;
    while (pdfcore_next_token(t, ve, &q, &tok)) {
        const char *f = tok.kind == tok_name ? full(t, tok.start + 1, tok.end) : nullptr;
        if (!f) continue;
        out_bytes(o, t + done, tok.start - done);
        out_str(o, "/");
        out_str(o, f);
        done = tok.end;
    }
    out_bytes(o, t + done, ve - done);
}

char *inline_dict_text(const uint8_t *t, int32_t start, int32_t end, int32_t *out_len,
                       int32_t *cs_name) {
    *cs_name = -1;
    // A name grows at most 5.5 times (/G to /DeviceGray), a key with its spaces no more.
    text_out o = {nullptr, 0, 0, false};
    int64_t cap = 6 * (int64_t)(end > start ? end - start : 0) + 16;
    if (cap > INT32_MAX) return nullptr;
    o.cap = (int32_t)cap;
    o.s = (char *)malloc((size_t)o.cap + 1);
    if (!o.s) return nullptr;
    out_str(&o, "<<");
    bool had_space = false;
    int32_t p = start, k = 0, v = 0;
    while (pdfcore_dict_next(t, end, &p, &k, &v)) {
        int32_t ke = k + 1;
        while (ke < end && !is_pdf_ws(t[ke]) && !is_delim(t[ke])) ke++;
        const char *key = full_name(s_keys, sizeof s_keys / sizeof s_keys[0], t, k + 1, ke);
        int32_t ve = p;
        if (!key || v >= ve) continue;  // a key of no inline image, or one without a value
        bool space = !strcmp(key, "ColorSpace"), filter = !strcmp(key, "Filter");
        if (space && had_space) continue;  // the first colour space counts, as the first key does
        had_space |= space;
        if (space && t[v] == '/') {
            int32_t ne = v + 1;
            while (ne < ve && !is_pdf_ws(t[ne]) && !is_delim(t[ne])) ne++;
            if (!space_name(t, v + 1, ne)) {
                *cs_name = v;  // a resource name: looked up by the caller
                continue;
            }
        }
        out_str(&o, " /");
        out_str(&o, key);
        out_str(&o, " ");
        if (space) out_value(&o, t, v, ve, space_name);
        else if (filter) out_value(&o, t, v, ve, filter_name);
        else out_bytes(&o, t + v, ve - v);
    }
    out_str(&o, " >>");
    if (o.failed) {  // cannot happen with the cap above; kept so a wrong cap is no overflow
        free(o.s);
        return nullptr;
    }
    o.s[o.n] = 0;
    *out_len = o.n;
    return o.s;
}

// The colour space resource named by the name token at text[pos]: 1 and *v at its value (in the
// resources' object), or 0 when resources name none.
static int resource_colour_space(const pdfcore_doc *doc, const pdfcore_span *res, const uint8_t *t,
                                 int32_t pos, int32_t end, pdfcore_span *v) {
    char name[128];
    int cut = 0;
    pdfcore_read_name(t, end, pos, name, (int32_t)sizeof name, &cut);
    if (cut || !res) return 0;
    pdfcore_span cs;
    return pdfcore_dict_get(doc, res, "ColorSpace", &cs) && pdfcore_dict_get(doc, &cs, name, v);
}

// Reads the dictionary text[start, end) into *p. 1, or 0 when it could not be written out.
static int read_inline_dict(const pdfcore_doc *doc, const pdfcore_span *res, const uint8_t *t,
                            int32_t start, int32_t end, image_params *p, int32_t *length) {
    int32_t n = 0, cs = -1;
    char *d = inline_dict_text(t, start, end, &n, &cs);
    if (!d) return 0;
    pdfcore_span s = {(const uint8_t *)d, 0, n, -1};
    read_image_params_span(doc, s, p);
    *length = -1;
    int32_t l = pdfcore_key_value(&s, "Length");
    if (l >= 0) *length = parse_int_at(s.text, s.end, &l);
    free(d);
    pdfcore_span v;
    if (cs >= 0 && resource_colour_space(doc, res, t, cs, end, &v)) {
        colour_space_free(&p->cs);  // the dictionary named it only
        read_color_space(doc, &v, &p->cs);
    }
    return 1;
}

// ---- where the data ends ------------------------------------------------------------------------

static bool is_operator(const uint8_t *t, const pdfcore_token *tok) {
    for (const char *op : s_operators)
        if (pdfcore_token_is(t, tok, op)) return true;
    return false;
}

int inline_reads_as_content(const uint8_t *t, int32_t len, int32_t pos) {
    int32_t end = len - pos > inline_lookahead ? pos + inline_lookahead : len;
    int32_t q = pos;
    pdfcore_token tok;
    for (int32_t i = 0; i < inline_lookahead_tokens; i++) {
        if (!pdfcore_next_token(t, end, &q, &tok)) return 1;
        bool cut = tok.end == end && end < len;  // the window ends inside it: judged so far
        switch (tok.kind) {
        case tok_hex:
            for (int32_t j = tok.start + 1; j < tok.end; j++)
                if (t[j] != '>' && hex_value(t[j]) < 0 && !is_pdf_ws(t[j])) return 0;
            break;
        case tok_name:
            for (int32_t j = tok.start + 1; j < tok.end; j++)
                if (t[j] < 0x21 || t[j] > 0x7E) return 0;
            break;
        case tok_word:
            if (pdfcore_token_is(t, &tok, "ID")) return 1;  // the next inline image's data follows
            if (!cut && !is_operator(t, &tok)) return 0;
            break;
        case tok_other: return 0;
        default: break;  // numbers, strings, array and dictionary delimiters
        }
    }
    return 1;
}

// Bytes of unfiltered data from the dimensions: -1 when they are not known (no width, height or
// component count, or bits other than 1, 2, 4, 8, 16), -2 when the count passes 2^31 - 1.
static int64_t unfiltered_length(const image_params *p) {
    int32_t c = p->image_mask || p->cs.indexed ? 1 : p->cs.comps;
    int32_t b = p->bpc;
    if (p->width <= 0 || p->height <= 0 || c <= 0) return -1;
    if (b != 1 && b != 2 && b != 4 && b != 8 && b != 16) return -1;
    uint64_t row = ((uint64_t)p->width * (uint64_t)c * (uint64_t)b + 7u) / 8u;  // < 2^41
    if (row > (uint64_t)INT32_MAX / (uint64_t)p->height) return -2;
    return (int64_t)(row * (uint64_t)p->height);
}

// The end markers that DCT, ASCII85 and ASCIIHex data hold (inline_reader.mark_*).
static const char *const s_end_marks[3] = {"\xFF\xD9", "~>", ">"};

// Where end marker k first stands at or after pos (-1: nowhere). The answer is kept, so the
// searches of one content stream, from positions that only grow, read each byte about once.
static int32_t end_mark(inline_reader *r, int32_t k, int32_t pos) {
    int32_t at = r->mark_at[k];
    if (r->mark_from[k] >= 0 && r->mark_from[k] <= pos && (at < 0 || at >= pos)) return at;
    const char *m = s_end_marks[k];
    int32_t n = (int32_t)strlen(m);
    at = -1;
    for (int32_t q = pos; q + n <= r->len; q++) {
        const void *hit = memchr(r->text + q, m[0], (size_t)(r->len - n + 1 - q));
        if (!hit) break;
        q = (int32_t)((const uint8_t *)hit - r->text);
        if (memcmp(r->text + q, m, (size_t)n) == 0) {
            at = q;
            break;
        }
    }
    r->mark_from[k] = pos;
    r->mark_at[k] = at;
    return at;
}

// 1 when data[0, n) inflates completely within the trial room.
static bool inflates(const uint8_t *data, int32_t n) {
    if (n <= 0) return false;
    qv_outbuf out = {nullptr, 0, 0, inline_trial_room, 0, 0};
    bool ok = inflate_grow(data, (uint64_t)n, &out) == 0 && !out.cut;
    outbuf_free(&out);
    return ok;
}

// The EI that ends the data starting at data_start, searched from `from` (see the header), or -1.
static int32_t find_ei(inline_reader *r, const image_params *p, int32_t data_start, int32_t from) {
    if (from >= r->no_ei_from) return -1;
    const uint8_t *t = r->text;
    int32_t stop = r->no_ei_from < r->len ? r->no_ei_from : r->len;
    int32_t first = p->chain.count > 0 ? p->chain.stage[0].filter : 0;
    int32_t k = first == pf_dct ? 0 : first == pf_a85 ? 1 : first == pf_ahx ? 2 : -1;
    // The first EI after the end marker (when the data holds none, none can be confirmed).
    int32_t after_mark = k < 0 ? -1 : end_mark(r, k, data_start);
    if (after_mark >= 0) after_mark += (int32_t)strlen(s_end_marks[k]);
    bool confirm = (k >= 0 && after_mark >= 0) || first == pf_flate;
    int32_t plausible = -1, trials = 0;
    for (int32_t e = from; e < stop; e++) {
        const void *hit = memchr(t + e, 'E', (size_t)(stop - e));
        if (!hit) break;
        e = (int32_t)((const uint8_t *)hit - t);
        if (e + 1 >= r->len || t[e + 1] != 'I' || e == 0 || !is_pdf_ws(t[e - 1])) continue;
        if (e + 2 < r->len && !is_pdf_ws(t[e + 2]) && !is_delim(t[e + 2])) continue;
        if (!inline_reads_as_content(t, r->len, e + 2)) continue;
        if (plausible < 0) plausible = e;
        if (!confirm || (k >= 0 && e - 1 >= after_mark)) return e;
        if (k < 0) {  // Flate
            if (trials == inline_flate_trials) return plausible;
            trials++;
            if (inflates(t + data_start, e - 1 - data_start)) return e;
        }
    }
    if (plausible < 0) r->no_ei_from = from;  // and none further on, as known before
    return plausible;
}

// 1 when "EI" stands at pos as an operator.
static bool ei_at(const uint8_t *t, int32_t len, int32_t pos) {
    return pos + 1 < len && t[pos] == 'E' && t[pos + 1] == 'I' &&
           (pos + 2 == len || is_pdf_ws(t[pos + 2]) || is_delim(t[pos + 2]));
}

// The data of *img, from its data_start: sets data_end, next and usable.
static void locate_data(inline_reader *r, const image_params *p, int32_t length, bool read,
                        inline_image *img) {
    const uint8_t *t = r->text;
    int32_t ds = img->data_start;
    bool filtered = p->chain.count > 0 || p->chain.bad;
    int64_t n = read && !filtered ? unfiltered_length(p) : -1;
    if (n == -1 && length >= 0) n = length;
    img->next = ds;  // when the data cannot be found, the content goes on at it
    if (n == -2 || n > (int64_t)(r->len - ds)) return;  // runs past the stream
    if (n >= 0) {
        img->data_end = ds + (int32_t)n;
        int32_t after = skip_ws(t, img->data_end, r->len);
        int32_t e = ei_at(t, r->len, after) ? after : find_ei(r, p, ds, img->data_end);
        img->next = e >= 0 ? e + 2 : img->data_end;
        img->usable = read && n > 0;
        return;
    }
    int32_t e = find_ei(r, p, ds, ds);
    if (e < 0) return;
    img->data_end = e > ds ? e - 1 : ds;  // the whitespace before EI is no data
    img->next = e + 2;
    img->usable = read && img->data_end > ds;
}

// ---- the search -------------------------------------------------------------------------------

void inline_reader_init(inline_reader *r, const uint8_t *text, int32_t len) {
    r->text = text;
    r->len = len > 0 ? len : 0;
    r->pos = 0;
    r->no_ei_from = r->len + 1;
    for (int32_t k = 0; k < 3; k++) r->mark_from[k] = r->mark_at[k] = -1;
}

int inline_next(const pdfcore_doc *doc, inline_reader *r, const pdfcore_span *resources,
                inline_image *img, image_params *p) {
    memset(p, 0, sizeof *p);
    const uint8_t *t = r->text;
    pdfcore_token tok;
    int32_t q = r->pos;
    bool found = false;
    // Content without the bytes BI further on is not read token by token.
    if (find_kw(t, r->len, q, "BI") >= 0)
        while (!found && pdfcore_next_token(t, r->len, &q, &tok)) found = pdfcore_token_is(t, &tok, "BI");
    if (!found) {
        r->pos = r->len;
        return 0;
    }
    *img = inline_image{tok.start, -1, -1, tok.end, 0};
    int32_t dict = tok.end, id = -1;
    // The dictionary runs to the word ID (data may follow it without a space); any other word
    // but a value ends it, and so does the size cap.
    while (pdfcore_next_token(t, r->len, &q, &tok) && tok.end - dict <= max_inline_dict) {
        if (tok.kind != tok_word || pdfcore_token_is(t, &tok, "true") ||
            pdfcore_token_is(t, &tok, "false") || pdfcore_token_is(t, &tok, "null"))
            continue;
        if (tok.end - tok.start >= 2 && t[tok.start] == 'I' && t[tok.start + 1] == 'D') id = tok.start;
        break;
    }
    if (id < 0) {
        r->pos = img->next;
        return 1;
    }
    img->data_start = id + 2 < r->len && is_pdf_ws(t[id + 2]) ? id + 3 : id + 2;
    int32_t length = -1;
    bool read = read_inline_dict(doc, resources, t, dict, id, p, &length) == 1;
    locate_data(r, p, length, read, img);
    r->pos = img->next;
    return 1;
}

int inline_content_images(const pdfcore_doc *doc, const uint8_t *content, int32_t len,
                          const pdfcore_span *resources, int32_t page, const image_receiver *to) {
    inline_reader r;
    inline_reader_init(&r, content, len);
    inline_image img;
    image_params p;
    int32_t handed = 0;
    while (inline_next(doc, &r, resources, &img, &p)) {
        extracted_image rec;
        memset(&rec, 0, sizeof rec);
        bool got = img.usable && !p.image_mask &&
                   image_convert(doc, &p, content + img.data_start, (uint64_t)(img.data_end - img.data_start),
                                 page, 0, &rec, to->flags & ~extract_borrow_jpeg);  // content is freed
        image_params_free(&p);
        if (!got) continue;
        if (to->take(to->ctx, &rec) != 0) return -1;
        handed++;
    }
    return handed;
}
