// pdfextractimg/colourspace.cpp - colour space values to an image_space and a palette (tint
// transforms read by fn_read, function.h). Values are read with the core's readers (pdfcore.h).
#include "pdfextractimg/colourspace.h"

#include <cstdlib>
#include <cstring>

#include "pdfcore/pdfcore.h"
#include "pdfcore/stream.h"

// ---- small readers ------------------------------------------------------------------------------

static bool opens_dict(const pdfcore_span &v) {
    return v.start + 1 < v.end && v.text[v.start] == '<' && v.text[v.start + 1] == '<';
}

// The name value at v.start (already resolved) into name[64]; false for anything else or a name
// of more than 63 characters.
static bool name_at(const pdfcore_span &v, char *name) {
    if (v.start >= v.end || v.text[v.start] != '/') return false;
    int cut = 0;
    pdfcore_read_name(v.text, v.end, v.start, name, 64, &cut);
    return !cut;
}

// The numbers of key's array in dictionary d: how many, 0 when the key is absent, -1 when its
// value is no array of at most cap numbers.
static int32_t dict_numbers(const pdfcore_doc *doc, const pdfcore_span &d, const char *key,
                            double *out, int32_t cap) {
    pdfcore_span v;
    if (!pdfcore_dict_get(doc, &d, key, &v)) return 0;
    return pdfcore_read_numbers(doc, v, out, cap);
}

// ---- colour spaces ------------------------------------------------------------------------------

static int32_t name_components(const char *n) {
    if (!strcmp(n, "DeviceGray") || !strcmp(n, "G") || !strcmp(n, "CalGray")) return 1;
    if (!strcmp(n, "DeviceRGB") || !strcmp(n, "RGB") || !strcmp(n, "CalRGB") || !strcmp(n, "Lab"))
        return 3;
    if (!strcmp(n, "DeviceCMYK") || !strcmp(n, "CMYK")) return 4;
    return 0;
}

// [/Lab << /WhitePoint /BlackPoint /Range >>]: space_lab, or space_skip when the dictionary is not
// usable.
static void read_lab(const pdfcore_doc *doc, const pdfcore_span &arr, image_space *sp) {
    sp->kind = space_skip;
    pdfcore_span d;
    double white[3], black[3], range[4];
    if (!pdfcore_array_get(doc, arr, 1, &d) || !opens_dict(d)) return;
    int32_t nw = dict_numbers(doc, d, "WhitePoint", white, 3);
    int32_t nb = dict_numbers(doc, d, "BlackPoint", black, 3);
    int32_t nr = dict_numbers(doc, d, "Range", range, 4);
    if (nw != 3 || (nb != 0 && nb != 3) || (nr != 0 && nr != 4)) return;
    if (colour_lab_init(&sp->lab, white, nb ? black : nullptr, nr ? range : nullptr)) return;
    sp->kind = space_lab;
    sp->comps = 3;
}

// A space that may serve as an alternate: a name, or an ICCBased, calibrated, Lab or device
// array. Anything else leaves space_by_comps with comps 0. name_out (64 bytes, may be null)
// receives a name value.
static void basic_space(const pdfcore_doc *doc, pdfcore_span v, image_space *sp, char *name_out) {
    memset(sp, 0, sizeof *sp);
    char name[64];
    if (!pdfcore_resolve(doc, &v)) return;
    if (v.text[v.start] == '/') {
        if (!name_at(v, name)) return;
        if (name_out) memcpy(name_out, name, strlen(name) + 1);
        sp->comps = name_components(name);
        return;
    }
    pdfcore_span first;
    if (v.text[v.start] != '[' || !pdfcore_array_get(doc, v, 0, &first) || !name_at(first, name))
        return;
    if (!strcmp(name, "Lab")) {
        read_lab(doc, v, sp);
        return;
    }
    if (strcmp(name, "ICCBased") != 0) {
        sp->comps = name_components(name);
        return;
    }
    // The ICC profile stream's /N is the component count.
    pdfcore_span icc;
    if (!pdfcore_array_get(doc, v, 1, &icc)) return;
    int32_t k = pdfcore_find_key(&icc, "N");
    if (k < 0) return;
    pdfcore_span nv = icc;
    nv.start = k + 2;
    int32_t n = pdfcore_read_int(doc, nv);  // /N may be given by reference
    sp->comps = n == 1 || n == 3 || n == 4 ? n : 0;
}

// The colorant names of a DeviceN array at v: how many (1..colour_max_comps), or -1. *all_none:
// every name is None.
static int32_t devicen_names(const pdfcore_doc *doc, const pdfcore_span &v, bool *all_none) {
    if (v.text[v.start] != '[') return -1;
    int32_t n = 0;
    pdfcore_span e;
    char name[64];
    *all_none = true;
    while (pdfcore_array_get(doc, v, n, &e)) {
        if (n >= colour_max_comps || !name_at(e, name)) return -1;
        *all_none = *all_none && colour_colorant(name) == colorant_none;
        n++;
    }
    return n > 0 ? n : -1;
}

// [/Separation name alternate tint] or [/DeviceN names alternate tint attributes] into sp.
static void read_tint_space(const pdfcore_doc *doc, const pdfcore_span &arr, bool devicen,
                            image_space *sp) {
    memset(sp, 0, sizeof *sp);
    sp->kind = space_skip;
    pdfcore_span e;
    if (!pdfcore_array_get(doc, arr, 1, &e)) return;
    int32_t n = 1;
    if (devicen) {
        bool all_none = false;
        n = devicen_names(doc, e, &all_none);
        if (n < 0 || all_none) return;
    } else {
        char name[64];
        if (!name_at(e, name)) return;
        int32_t colorant = colour_colorant(name);
        if (colorant == colorant_none) return;
        if (colorant == colorant_all) {
            sp->kind = space_all;
            sp->comps = 1;
            return;
        }
    }
    image_space alt;
    if (!pdfcore_array_get(doc, arr, 2, &e)) return;
    basic_space(doc, e, &alt, nullptr);
    if (alt.kind == space_lab) {
        sp->alt_lab = 1;
        sp->lab = alt.lab;
        sp->alt_comps = 3;
    } else if (alt.kind == space_by_comps && alt.comps > 0) {
        sp->alt_comps = alt.comps;
    } else {
        return;
    }
    if (!pdfcore_array_get(doc, arr, 3, &e)) return;
    sp->fn = fn_read(doc, &e, &sp->fns);
    if (sp->fn < 0 || fn_inputs(&sp->fns, sp->fn) != n ||
        fn_outputs(&sp->fns, sp->fn) < sp->alt_comps) {
        image_space_free(sp);
        sp->kind = space_skip;
        return;
    }
    sp->kind = space_tint;
    sp->comps = n;
}

// Any space but Indexed into sp (see basic_space).
static void read_space(const pdfcore_doc *doc, pdfcore_span v, image_space *sp, char *name_out) {
    char name[64];
    pdfcore_span first;
    if (pdfcore_resolve(doc, &v) && v.text[v.start] == '[' && pdfcore_array_get(doc, v, 0, &first) &&
        name_at(first, name) && (!strcmp(name, "Separation") || !strcmp(name, "DeviceN"))) {
        read_tint_space(doc, v, name[0] == 'D', sp);
        return;
    }
    basic_space(doc, v, sp, name_out);
}

// Palette bytes of the Indexed lookup value at v (resolved): a hexadecimal or literal string, or a
// stream (decoded through its own filters). Returns the bytes stored into raw (at most cap), or -1
// when the lookup has no usable form.
static int64_t read_lookup(const pdfcore_doc *doc, const pdfcore_span &v, uint8_t *raw, uint64_t cap) {
    // A string is read as the document holds it: decrypted with the key of the object it stands in.
    if (v.text[v.start] == '(' || (v.text[v.start] == '<' && !opens_dict(v)))
        return pdfcore_read_string(doc, &v, raw, cap);
    const pdfcore_obj *o = pdfcore_stream_at(doc, &v);
    uint8_t *dec = nullptr;
    uint64_t dec_len = 0;
    if (!o || stream_read(doc, o, cap, &dec, &dec_len)) return -1;
    uint64_t k = dec_len < cap ? dec_len : cap;
    if (k) memcpy(raw, dec, k);
    free(dec);
    return (int64_t)k;
}

// Turns palette entries of bc components (1 gray, 3 RGB, 4 CMYK) into RGB triples.
static void palette_to_rgb(const uint8_t *raw, int32_t entries, int32_t bc, uint8_t *rgb) {
    for (int32_t i = 0; i < entries; i++) {
        const uint8_t *e = raw + (uint64_t)i * (uint64_t)bc;
        uint8_t *o = rgb + (uint64_t)i * 3u;
        if (bc == 1) {
            o[0] = o[1] = o[2] = e[0];
        } else if (bc == 4) {
            for (int j = 0; j < 3; j++) o[j] = colour_cmyk_channel(e[j], e[3]);
        } else {
            o[0] = e[0], o[1] = e[1], o[2] = e[2];
        }
    }
}

// The palette of entries entries of the base space, whose raw bytes (bc per entry) are read: RGB
// triples into cs->palette. A base with a conversion of its own (Lab, Separation, DeviceN) takes
// each entry as 8-bit samples through it. 0, or -1 when the conversion fails.
static int make_palette(const image_space *base, const uint8_t *raw, int32_t entries, int32_t bc,
                        colour_space *cs) {
    cs->palette = (uint8_t *)calloc((uint64_t)(entries + 1) * 3u, 1);
    if (!cs->palette) return 0;  // no memory: no palette, as for an unreadable one
    if (base->kind == space_by_comps) {
        palette_to_rgb(raw, entries, bc, cs->palette);
        return 0;
    }
    colour_conv c;
    if (image_space_conv(base, 8, nullptr, 0, &c)) return -1;
    uint8_t *out = (uint8_t *)malloc((uint64_t)entries * (uint64_t)c.out_comps);
    int rc = out && colour_conv_row8(&c, raw, (uint64_t)entries, out) == 0 ? 0 : -1;
    if (rc == 0) palette_to_rgb(out, entries, c.out_comps, cs->palette);
    free(out);
    colour_conv_free(&c);
    return rc;
}

// [/Indexed base hival lookup] at arr.
static void read_indexed(const pdfcore_doc *doc, const pdfcore_span &arr, colour_space *cs) {
    memcpy(cs->name, "Indexed", 8);
    cs->indexed = 1;
    image_space base;
    memset(&base, 0, sizeof base);
    pdfcore_span e;
    // A base that is no name, array or reference is missing (a damaged file): hival follows
    // /Indexed directly.
    int32_t q = arr.start + 1, after = 0, at = 1;
    if (pdfcore_array_item(&arr, &q, &e) && pdfcore_array_item(&arr, &q, &e)) {
        uint8_t c = e.text[e.start];
        if (c != '/' && c != '[' && !(is_digit(c) && pdfcore_read_ref(e.text, e.end, e.start, &after) > 0))
            at = 0;
    }
    if (at && pdfcore_array_get(doc, arr, at, &e)) read_space(doc, e, &base, nullptr);
    int32_t bc = base.comps;
    uint8_t *raw = nullptr;
    if (base.kind == space_skip) {
        cs->space.kind = space_skip;
        goto done;
    }
    if (bc == 0) bc = 3;  // an unknown base: three bytes per entry
    if (pdfcore_array_get(doc, arr, at + 1, &e)) {
        int32_t hival = pdfcore_read_int(doc, e);
        cs->palette_entries = hival < 0 ? 0 : (hival > 255 ? 255 : hival) + 1;
    }
    if (cs->palette_entries == 0 || !pdfcore_array_get(doc, arr, at + 2, &e)) goto done;
    raw = (uint8_t *)calloc((uint64_t)cs->palette_entries * (uint64_t)bc, 1);
    if (raw && read_lookup(doc, e, raw, (uint64_t)cs->palette_entries * (uint64_t)bc) >= 0 &&
        make_palette(&base, raw, cs->palette_entries, bc, cs)) {
        free(cs->palette);
        cs->palette = nullptr;
        cs->space.kind = space_skip;
    }
done:
    free(raw);
    image_space_free(&base);
}

void read_color_space(const pdfcore_doc *doc, const pdfcore_span *v, colour_space *cs) {
    memset(cs, 0, sizeof *cs);
    pdfcore_span r = *v, first;
    char name[64];
    if (!pdfcore_resolve(doc, &r)) return;
    if (r.text[r.start] == '[' && pdfcore_array_get(doc, r, 0, &first) && name_at(first, name) &&
        !strcmp(name, "Indexed")) {
        read_indexed(doc, r, cs);
        return;
    }
    read_space(doc, r, &cs->space, cs->name);
    cs->comps = cs->space.comps;
}

int image_space_conv(const image_space *sp, int32_t bits, const double *decode,
                     int32_t decode_count, colour_conv *c) {
    if (!c) return -1;
    memset(c, 0, sizeof *c);
    if (!sp) return -1;
    switch (sp->kind) {
    case space_lab: return colour_conv_lab(c, &sp->lab, bits, decode, decode_count);
    case space_all: return colour_conv_all(c, bits, decode, decode_count);
    case space_tint:
        return colour_conv_tint(c, &sp->fns, sp->fn, sp->comps, bits, decode, decode_count,
                                sp->alt_comps, sp->alt_lab ? &sp->lab : nullptr);
    default: return -1;
    }
}

void colour_space_free(colour_space *cs) {
    if (!cs) return;
    free(cs->palette);
    image_space_free(&cs->space);
    memset(cs, 0, sizeof *cs);
}

void image_space_free(image_space *sp) {
    if (!sp) return;
    fn_set_free(&sp->fns);
    memset(sp, 0, sizeof *sp);
}
