// pdfcore/encrypt.cpp - the document's encryption: the /Encrypt dictionary that the trailer names,
// its values read for the security handler; stream data read from the file and decrypted as it is
// read, and strings decrypted as they are read.
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>

// Stored bytes read beyond the cap of a decrypted string: the IV, the partial block and one block
// whose padding may be taken away, so the first cap plain bytes always come out whole.
const uint64_t string_decrypt_slack = 48;

// ---- values -------------------------------------------------------------------------------------

// The value at pos in s, through references: 1 and *v at its first byte, or 0.
static int value_at(const pdfcore_doc *doc, const pdfcore_span *s, int32_t pos, pdfcore_span *v) {
    *v = *s;
    v->start = pos;
    return pdfcore_resolve(doc, v);
}

// An integer with an optional sign at v->start: 1 and *out (32-bit wrap-around, so /P 4294967292
// reads as -4), or 0.
static int read_signed(const pdfcore_span *v, int32_t *out) {
    int32_t q = v->start;
    if (q < v->end && v->text[q] == '+') q++;
    int32_t at = q;
    int32_t n = parse_int_at(v->text, v->end, &q);
    if (q == at) return 0;
    *out = n;
    return 1;
}

// The name at pos ('/') with #xx escapes decoded into *n; n->len counts every byte, of which the
// first security_name_cap are kept. A value that is no name leaves *n empty (missing).
static void read_security_name(const uint8_t *t, int32_t end, int32_t pos, security_name *n) {
    memset(n, 0, sizeof *n);
    if (pos < 0 || pos >= end || t[pos] != '/') return;
    int32_t len = 0;
    for (int32_t p = pos + 1; p < end && !is_pdf_ws(t[p]) && !is_delim(t[p]); p++, len++) {
        uint8_t c = t[p];
        if (c == '#' && p + 2 < end && hex_value(t[p + 1]) >= 0 && hex_value(t[p + 2]) >= 0) {
            c = (uint8_t)(hex_value(t[p + 1]) << 4 | hex_value(t[p + 2]));
            p += 2;
        }
        if (len < security_name_cap) n->text[len] = c;
    }
    n->len = len;
}

// The string at pos as stored, hexadecimal or literal: at most cap bytes into out, their count;
// -1 when no string starts there.
static int64_t stored_string(const uint8_t *t, int32_t end, int32_t pos, uint8_t *out, uint64_t cap) {
    if (!t || pos < 0 || pos >= end) return -1;
    if (t[pos] == '(') return (int64_t)pdfcore_read_literal_string(t, end, pos, out, cap);
    if (t[pos] != '<' || pos + 1 >= end || t[pos + 1] == '<') return -1;
    return (int64_t)pdfcore_read_hex_string(t, end, pos + 1, out, cap);
}

// A string value of the /Encrypt dictionary into a field of cap bytes: *len = the bytes kept
// (cap for a longer string, as the handler takes it; 0 for none).
static void field_string(const pdfcore_span *v, uint8_t *field, int32_t cap, int32_t *len) {
    int64_t n = stored_string(v->text, v->end, v->start, field, (uint64_t)cap);
    *len = n < 0 ? 0 : (int32_t)n;  // n <= cap
}

// 1 when the dictionary d (at its "<<") has key at its own level.
static int dict_has(const pdfcore_span *d, const char *key) {
    int32_t pos = d->start + 2, k = 0, v = 0;
    while (pdfcore_dict_next(d->text, d->end, &pos, &k, &v))
        if (pdfcore_name_is(d->text, d->end, k, key)) return 1;
    return 0;
}

// 1 when v opens a dictionary ("<<").
static int opens_dict(const pdfcore_span *v) {
    return v->start + 1 < v->end && v->text[v->start] == '<' && v->text[v->start + 1] == '<';
}

// The entries of /CF: per crypt filter its name, /CFM and /Length; the first security_max_filters.
static void read_crypt_filters(const pdfcore_doc *doc, const pdfcore_span *cf, pdfcore_encrypt *e) {
    if (!opens_dict(cf)) return;
    int32_t pos = cf->start + 2, key = 0, val = 0;
    while (e->cf_count < security_max_filters && pdfcore_dict_next(cf->text, cf->end, &pos, &key, &val)) {
        security_crypt_filter *f = &e->cf[e->cf_count++];
        read_security_name(cf->text, cf->end, key, &f->name);
        f->length = -1;
        pdfcore_span d;
        if (!value_at(doc, cf, val, &d) || !opens_dict(&d)) continue;
        int32_t p = d.start + 2, k = 0, v = 0;
        while (pdfcore_dict_next(d.text, d.end, &p, &k, &v)) {
            pdfcore_span x;
            if (!value_at(doc, &d, v, &x)) continue;
            if (pdfcore_name_is(d.text, d.end, k, "CFM")) read_security_name(x.text, x.end, x.start, &f->cfm);
            else if (pdfcore_name_is(d.text, d.end, k, "Length") && !read_signed(&x, &f->length)) f->length = -1;
        }
    }
}

// The first string of the trailer's /ID; an ID longer than security_id_cap gets a length past it.
static void read_id(const pdfcore_doc *doc, const pdfcore_span *t, pdfcore_encrypt *e) {
    pdfcore_span v;
    int32_t k = pdfcore_key_value(t, "ID");
    if (k < 0 || !value_at(doc, t, k, &v) || v.text[v.start] != '[') return;
    uint8_t id[security_id_cap + 1];
    int64_t n = stored_string(v.text, v.end, skip_ws(v.text, v.start + 1, v.end), id, sizeof id);
    if (n <= 0) return;
    e->id_len = (int32_t)n;  // n <= security_id_cap + 1
    memcpy(e->id, id, (size_t)(n < security_id_cap ? n : security_id_cap));
}

void read_encrypt_values(const pdfcore_doc *doc, const pdfcore_span *d, const pdfcore_span *t,
                         pdfcore_encrypt *e) {
    memset(e, 0, sizeof *e);
    e->v = e->r = e->length = -1;
    e->encrypt_metadata = 1;
    int32_t pos = d->start + 2, key = 0, val = 0;
    while (pdfcore_dict_next(d->text, d->end, &pos, &key, &val)) {
        pdfcore_span v;
        if (!value_at(doc, d, val, &v)) continue;
        const uint8_t *k = d->text;
        int32_t end = d->end;
        if (pdfcore_name_is(k, end, key, "Filter")) {
            e->standard = pdfcore_name_is(v.text, v.end, v.start, "Standard");
        } else if (pdfcore_name_is(k, end, key, "V")) {
            if (!read_signed(&v, &e->v)) e->v = -1;
        } else if (pdfcore_name_is(k, end, key, "R")) {
            if (!read_signed(&v, &e->r)) e->r = -1;
        } else if (pdfcore_name_is(k, end, key, "Length")) {
            if (!read_signed(&v, &e->length)) e->length = -1;
        } else if (pdfcore_name_is(k, end, key, "P")) {
            if (!read_signed(&v, &e->p)) e->p = 0;
        } else if (pdfcore_name_is(k, end, key, "EncryptMetadata")) {
            e->encrypt_metadata = pdfcore_value_end(v.text, v.start, v.end) - v.start == 5 &&
                                          memcmp(v.text + v.start, "false", 5) == 0
                                      ? 0
                                      : 1;
        } else if (pdfcore_name_is(k, end, key, "O")) {
            field_string(&v, e->o, (int32_t)sizeof e->o, &e->o_len);
        } else if (pdfcore_name_is(k, end, key, "U")) {
            field_string(&v, e->u, (int32_t)sizeof e->u, &e->u_len);
        } else if (pdfcore_name_is(k, end, key, "OE")) {
            field_string(&v, e->oe, (int32_t)sizeof e->oe, &e->oe_len);
        } else if (pdfcore_name_is(k, end, key, "UE")) {
            field_string(&v, e->ue, (int32_t)sizeof e->ue, &e->ue_len);
        } else if (pdfcore_name_is(k, end, key, "Perms")) {
            field_string(&v, e->perms, (int32_t)sizeof e->perms, &e->perms_len);
        } else if (pdfcore_name_is(k, end, key, "CF")) {
            read_crypt_filters(doc, &v, e);
        } else if (pdfcore_name_is(k, end, key, "StmF")) {
            read_security_name(v.text, v.end, v.start, &e->stmf);
        } else if (pdfcore_name_is(k, end, key, "StrF")) {
            read_security_name(v.text, v.end, v.start, &e->strf);
        }
    }
    read_id(doc, t, e);
}

// ---- the dictionary the trailer names -----------------------------------------------------------

// The last definition of object num in the file itself (the one the index keeps), or null.
static const pdfcore_obj *file_object(const objvec *objs, int32_t num) {
    const pdfcore_obj *found = nullptr;
    for (int32_t i = 0; i < objs->count; i++)
        if (objs->items[i].num == num && !objs->items[i].in_objstm) found = &objs->items[i];
    return found;
}

// The /Encrypt dictionary of trailer t: 1 and *d at its "<<" (obj_num its object, -1 when written
// in the trailer), or 0 when /Encrypt names none: a missing object, or a value that is no dictionary.
// Object streams are not unpacked yet, and an encryption dictionary never lies in one.
static int encrypt_dict(const pdfcore_doc *doc, const pdfcore_span *t, pdfcore_span *d) {
    int32_t v = pdfcore_key_value(t, "Encrypt");
    if (v < 0) return 0;
    if (t->text[v] == '<') {
        *d = *t;
        d->start = v;
        if (!opens_dict(d)) return 0;
        int32_t close = find_dict_close(t->text, v, t->end);
        d->end = close < 0 ? t->end : close + 2;
        return 1;
    }
    int32_t after = 0;
    int32_t num = pdfcore_read_ref(t->text, t->end, v, &after);
    if (num <= 0 || !pdfcore_obj_span(doc, file_object(&doc->objs, num), d)) return 0;
    return opens_dict(d);
}

// ---- streams ------------------------------------------------------------------------------------

// What a stream's dictionary says about its decryption.
struct stream_facts {
    int xref;            // /Type /XRef: never encrypted
    int metadata;        // /Type /Metadata
    int crypt;           // /Filter starts with /Crypt
    security_name name;  // that filter's /Name (/Identity when it has none)
};

// The /Name of the /Crypt filter's parameters: /DecodeParms a dictionary, or an array whose first
// element is one.
static void crypt_filter_name(const pdfcore_doc *doc, const pdfcore_span *s, int32_t parms,
                              security_name *n) {
    static const char identity[] = "Identity";
    memcpy(n->text, identity, sizeof identity - 1);
    n->len = (int32_t)sizeof identity - 1;
    pdfcore_span p;
    if (parms < 0 || !value_at(doc, s, parms, &p)) return;
    if (p.text[p.start] == '[' && !value_at(doc, &p, p.start + 1, &p)) return;
    if (!opens_dict(&p)) return;
    int32_t pos = p.start + 2, k = 0, v = 0;
    while (pdfcore_dict_next(p.text, p.end, &pos, &k, &v)) {
        pdfcore_span x;
        if (pdfcore_name_is(p.text, p.end, k, "Name") && value_at(doc, &p, v, &x)) {
            read_security_name(x.text, x.end, x.start, n);
            return;
        }
    }
}

static void read_stream_facts(const pdfcore_doc *doc, const pdfcore_span *s, stream_facts *f) {
    memset(f, 0, sizeof *f);
    if (!opens_dict(s)) return;
    int32_t pos = s->start + 2, key = 0, val = 0, parms = -1;
    while (pdfcore_dict_next(s->text, s->end, &pos, &key, &val)) {
        pdfcore_span v;
        if (pdfcore_name_is(s->text, s->end, key, "DecodeParms")) {
            parms = val;
            continue;
        }
        int is_type = pdfcore_name_is(s->text, s->end, key, "Type");
        int is_filter = pdfcore_name_is(s->text, s->end, key, "Filter");
        if ((!is_type && !is_filter) || !value_at(doc, s, val, &v)) continue;
        if (is_type) {
            f->xref = pdfcore_name_is(v.text, v.end, v.start, "XRef");
            f->metadata = pdfcore_name_is(v.text, v.end, v.start, "Metadata");
        } else {
            int32_t first = v.text[v.start] == '[' ? skip_ws(v.text, v.start + 1, v.end) : v.start;
            f->crypt = pdfcore_name_is(v.text, v.end, first, "Crypt");
        }
    }
    if (f->crypt) crypt_filter_name(doc, s, parms, &f->name);
}

// The decryption method of stream o, from its dictionary: -1 when it cannot be decrypted (its
// crypt filter unknown); security_identity for a stream left clear.
static int32_t stream_method(const pdfcore_doc *doc, const pdfcore_obj *o) {
    stream_facts f;
    pdfcore_span s;
    if (pdfcore_obj_span(doc, o, &s)) read_stream_facts(doc, &s, &f);
    else memset(&f, 0, sizeof f);
    if (f.xref) return security_identity;
    return security_stream_method(&doc->security, f.crypt ? f.name.text : nullptr, f.name.len,
                                  f.metadata);
}

int stream_is_clear(const pdfcore_doc *doc, const pdfcore_obj *o) {
    return !doc->encrypted || stream_method(doc, o) == security_identity;
}

int stream_decrypt(const pdfcore_doc *doc, const pdfcore_obj *o, uint8_t *d, uint64_t *n) {
    if (!doc->encrypted) return 1;
    int32_t method = stream_method(doc, o);
    if (method == security_identity) return 1;
    int64_t got = method < 0 ? -1 : security_decrypt(&doc->security, method, o->num, o->gen, d, *n, d);
    if (got < 0) return 0;
    *n = (uint64_t)got;  // at most the stored length
    return 1;
}

// ---- stream data, as read --------------------------------------------------------------------------------

int pdfcore_stream_extent(const pdfcore_doc *doc, const pdfcore_obj *o, int64_t *off, uint64_t *len) {
    if (!o || !o->is_stream || o->in_objstm || o->data_off < 0 || o->data_end > doc->size ||
        o->data_end <= o->data_off)
        return 0;
    if (!stream_is_clear(doc, o)) return 0;
    *off = o->data_off;
    *len = (uint64_t)(o->data_end - o->data_off);
    return 1;
}

int pdfcore_stream_read(const pdfcore_doc *doc, const pdfcore_obj *o, uint8_t **data, uint64_t *len) {
    if (!o || !o->is_stream || o->in_objstm || o->data_off < 0 || o->data_end > doc->size ||
        o->data_end <= o->data_off)
        return 0;
    uint64_t n = (uint64_t)(o->data_end - o->data_off);
    if (n > stream_max_stored) return 0;
    uint8_t *d = (uint8_t *)malloc((size_t)n + 1);
    if (!d) return 0;
    if (src_read(&doc->src, o->data_off, d, (int64_t)n) != (int64_t)n) {
        const_cast<pdfcore_doc *>(doc)->read_failed = 1;
        free(d);
        return 0;
    }
    if (!stream_decrypt(doc, o, d, &n) || n == 0) {  // nothing left is no data either
        free(d);
        return 0;
    }
    d[n] = 0;
    *data = d;
    *len = n;
    return 1;
}

// ---- the document -------------------------------------------------------------------------------

int32_t doc_open_encryption(pdfcore_doc *doc) {
    const struct xref *x = &doc->xref;
    if (!x->encrypted || x->encrypt_start < 0 || x->encrypt_start >= doc->size) return 0;
    int64_t end = x->encrypt_end > x->encrypt_start && x->encrypt_end <= doc->size ? x->encrypt_end
                                                                                    : doc->size;
    if (end - x->encrypt_start > xref_max_text) end = x->encrypt_start + xref_max_text;
    int32_t n = (int32_t)(end - x->encrypt_start);  // <= xref_max_text
    // The dictionary's text, kept with the object texts: spans into it are read as any.
    uint8_t *text = (uint8_t *)arena_alloc(&doc->arena, (uint64_t)n);
    if (!text) return 0;
    if (src_read(&doc->src, x->encrypt_start, text, n) != n) {
        doc->read_failed = 1;
        return 0;
    }
    pdfcore_span t = {text, 0, n, -1};
    pdfcore_span d;
    if (!encrypt_dict(doc, &t, &d) || !dict_has(&d, "Filter")) return 0;
    pdfcore_encrypt e;
    read_encrypt_values(doc, &d, &t, &e);
    if (security_authenticate(&e, &doc->security) != 0) return -1;
    doc->encrypted = 1;
    doc->encrypt_num = d.obj_num;
    return 1;
}

// The method for strings of object num, and its generation.
static int32_t string_method(const pdfcore_doc *doc, int32_t num, int32_t *gen) {
    if (!doc->encrypted || num <= 0 || num == doc->encrypt_num) return security_identity;
    const pdfcore_obj *o = obj_find(&doc->objs, num);
    if (!o || o->in_objstm) return security_identity;
    *gen = o->gen;
    return doc->security.str_method;
}

int64_t pdfcore_read_string(const pdfcore_doc *doc, const pdfcore_span *v, uint8_t *out,
                            uint64_t cap) {
    int32_t gen = 0;
    int32_t method = string_method(doc, v->obj_num, &gen);
    if (method == security_identity) return stored_string(v->text, v->end, v->start, out, cap);
    if (cap > UINT64_MAX - string_decrypt_slack) return -1;
    uint8_t *tmp = (uint8_t *)malloc((size_t)(cap + string_decrypt_slack));
    if (!tmp) return -1;
    int64_t n = stored_string(v->text, v->end, v->start, tmp, cap + string_decrypt_slack);
    if (n >= 0) n = security_decrypt(&doc->security, method, v->obj_num, gen, tmp, (uint64_t)n, tmp);
    if (n > 0 && (uint64_t)n > cap) n = (int64_t)cap;
    if (n > 0) memcpy(out, tmp, (size_t)n);
    free(tmp);
    return n;
}
