// pdfextractimg/function.cpp - PDF function sets: descriptions checked and kept, sets checked,
// functions evaluated (Type 4 programs compiled and run by calculator.cpp).
#include "pdfextractimg/function.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

// ---- constants and small helpers -------------------------------------------------------------

static const int32_t s_valid_bps[] = {1, 2, 4, 8, 12, 16, 24, 32};

// Maps x from [x0, x1] onto [y0, y1]; a degenerate source interval gives y0.
static inline double interpolate(double x, double x0, double x1, double y0, double y1) {
    return x1 == x0 ? y0 : y0 + (x - x0) * (y1 - y0) / (x1 - x0);
}

// Pairs (lo, hi) with lo <= hi and both finite.
static bool pairs_ok(const double *v, int32_t pairs) {
    for (int32_t i = 0; i < pairs; i++)
        if (!std::isfinite(v[2 * i]) || !std::isfinite(v[2 * i + 1]) || v[2 * i] > v[2 * i + 1])
            return false;
    return true;
}

static bool all_finite(const double *v, int32_t count) {
    for (int32_t i = 0; i < count; i++)
        if (!std::isfinite(v[i])) return false;
    return true;
}

static void def_release(fn_def *d) {
    free(d->samples);
    free(d->children);
    free(d->bounds);
    free(d->encode3);
    free(d->code);
    memset(d, 0, sizeof *d);
    d->type = -1;
}

// ---- defining -----------------------------------------------------------------------------------

// Copies count numbers into a new malloc'd array; NULL when count is 0 or no memory.
static double *copy_doubles(const double *v, int32_t count) {
    if (count <= 0) return nullptr;
    double *r = (double *)malloc((size_t)count * sizeof(double));
    if (r) memcpy(r, v, (size_t)count * sizeof(double));
    return r;
}

static int define_sampled(fn_set *s, fn_def *f, const fn_desc *d) {
    bool bps_ok = false;
    for (int32_t b : s_valid_bps) bps_ok = bps_ok || d->bits_per_sample == b;
    if (!bps_ok || !f->has_range || f->m > fn_max_sampled_inputs || !d->size ||
        d->size_count < f->m)
        return -1;
    f->bps = d->bits_per_sample;
    uint64_t values = (uint64_t)f->n;  // <= fn_max_outputs
    for (int32_t i = 0; i < f->m; i++) {
        int32_t sz = d->size[i];
        // Dividing first keeps values * sz within the cap, so nothing wraps.
        if (sz < 1 || (uint64_t)sz > fn_max_sample_values / values) return -1;
        values *= (uint64_t)sz;
        f->size[i] = sz;
    }
    uint64_t bytes = (values * (uint64_t)f->bps + 7u) / 8u;  // < 2^30
    if (!d->samples || d->samples_len < bytes) return -1;
    if (bytes > fn_max_set_sample_bytes - s->sample_bytes) return -1;
    if (d->encode_count > 0) {
        if (!d->encode || d->encode_count < 2 * f->m || !all_finite(d->encode, 2 * f->m)) return -1;
        memcpy(f->encode0, d->encode, (size_t)(2 * f->m) * sizeof(double));
    } else {
        for (int32_t i = 0; i < f->m; i++) {
            f->encode0[2 * i] = 0;
            f->encode0[2 * i + 1] = f->size[i] - 1;
        }
    }
    if (d->decode_count > 0) {
        if (!d->decode || d->decode_count < 2 * f->n || !all_finite(d->decode, 2 * f->n)) return -1;
        memcpy(f->decode, d->decode, (size_t)(2 * f->n) * sizeof(double));
    } else {
        memcpy(f->decode, f->range, (size_t)(2 * f->n) * sizeof(double));
    }
    f->samples = (uint8_t *)malloc(bytes ? bytes : 1);
    if (!f->samples) return -1;
    memcpy(f->samples, d->samples, bytes);
    f->samples_len = bytes;
    s->sample_bytes += bytes;
    return 0;
}

static int define_exponential(fn_def *f, const fn_desc *d) {
    if (f->m != 1 || !std::isfinite(d->exponent)) return -1;
    int32_t n0 = d->c0_count > 0 ? d->c0_count : 1, n1 = d->c1_count > 0 ? d->c1_count : 1;
    if (n0 != n1 || n0 > fn_max_outputs || (d->c0_count > 0 && !d->c0) ||
        (d->c1_count > 0 && !d->c1))
        return -1;
    for (int32_t j = 0; j < n0; j++) {
        f->c0[j] = d->c0_count > 0 ? d->c0[j] : 0.0;
        f->c1[j] = d->c1_count > 0 ? d->c1[j] : 1.0;
    }
    if (!all_finite(f->c0, n0) || !all_finite(f->c1, n0)) return -1;
    if (f->has_range && f->n < n0) return -1;
    f->n = n0;
    // x^N is real for every x of the domain: a fractional N needs x >= 0, a negative one x != 0.
    double N = d->exponent, lo = f->domain[0], hi = f->domain[1];
    if (N != std::floor(N) && lo < 0) return -1;
    if (N < 0 && lo <= 0 && hi >= 0) return -1;
    f->exponent = N;
    return 0;
}

static int define_stitching(fn_def *f, const fn_desc *d) {
    int32_t k = d->function_count;
    if (f->m != 1 || k < 1 || k > fn_max_stitched || !d->functions) return -1;
    if (d->bounds_count < k - 1 || (k > 1 && !d->bounds) || d->encode_count < 2 * k || !d->encode)
        return -1;
    if (!all_finite(d->encode, 2 * k) || (k > 1 && !all_finite(d->bounds, k - 1))) return -1;
    f->k = k;
    f->children = (int32_t *)malloc((size_t)k * sizeof(int32_t));
    f->bounds = (double *)malloc((size_t)(k + 1) * sizeof(double));
    f->encode3 = copy_doubles(d->encode, 2 * k);
    if (!f->children || !f->bounds || !f->encode3) return -1;
    memcpy(f->children, d->functions, (size_t)k * sizeof(int32_t));
    f->bounds[0] = f->domain[0];
    for (int32_t i = 0; i + 1 < k; i++) f->bounds[i + 1] = d->bounds[i];
    f->bounds[k] = f->domain[1];
    f->n = f->has_range ? f->n : 0;  // known once fn_check has seen the subfunctions
    return 0;
}

int32_t fn_reserve(fn_set *s) {
    if (!s || s->count >= fn_max_functions) return -1;
    void *t = realloc(s->defs, (size_t)(s->count + 1) * sizeof(fn_def));
    if (!t) return -1;
    s->defs = (fn_def *)t;
    fn_def *f = &s->defs[s->count];
    memset(f, 0, sizeof *f);
    f->type = -1;
    return s->count++;
}

int fn_define(fn_set *s, int32_t index, const fn_desc *d) {
    if (!s || !d || index < 0 || index >= s->count || s->defs[index].type != -1) return -1;
    fn_def *f = &s->defs[index];
    int32_t dc = d->domain_count, rc = d->range_count;
    if (!d->domain || dc < 2 || dc % 2 || dc > 2 * fn_max_inputs) return -1;
    if (rc < 0 || rc % 2 || rc > 2 * fn_max_outputs || (rc > 0 && !d->range)) return -1;
    f->m = dc / 2;
    f->n = rc / 2;
    f->has_range = rc > 0;
    memcpy(f->domain, d->domain, (size_t)dc * sizeof(double));
    if (rc) memcpy(f->range, d->range, (size_t)rc * sizeof(double));
    if (!pairs_ok(f->domain, f->m) || !pairs_ok(f->range, f->n)) goto fail;
    switch (d->type) {
    case fn_sampled:
        if (define_sampled(s, f, d)) goto fail;
        break;
    case fn_exponential:
        if (define_exponential(f, d)) goto fail;
        break;
    case fn_stitching:
        if (define_stitching(f, d)) goto fail;
        break;
    case fn_calculator:
        if (!f->has_range || fn_compile(d->program, d->program_len, &f->code, &f->code_len))
            goto fail;
        break;
    default:
        goto fail;
    }
    f->type = d->type;
    return 0;
fail:
    if (f->samples) s->sample_bytes -= f->samples_len;
    def_release(f);
    return -1;
}

int32_t fn_add(fn_set *s, const fn_desc *d) {
    int32_t f = fn_reserve(s);
    if (f < 0) return -1;
    if (fn_define(s, f, d) == 0) return f;
    s->count--;  // the slot just reserved is the last one; def_release left it empty
    return -1;
}

// ---- checking -----------------------------------------------------------------------------------

int fn_check(fn_set *s, int32_t root) {
    if (!s || root < 0 || root >= s->count) return -1;
    // The functions root reaches, each queued once: a list, not a recursion.
    int32_t queue[fn_max_functions], nq = 0;
    bool reach[fn_max_functions] = {false};
    reach[root] = true;
    queue[nq++] = root;
    for (int32_t q = 0; q < nq; q++) {
        const fn_def &f = s->defs[queue[q]];
        if (f.type < 0) return -1;
        if (f.type != fn_stitching) continue;
        for (int32_t c = 0; c < f.k; c++) {
            int32_t ch = f.children[c];
            if (ch < 0 || ch >= s->count) return -1;
            if (!reach[ch]) reach[ch] = true, queue[nq++] = ch;
        }
    }
    // chain[i]: the longest chain of functions from i, by relaxing each Type 3 over its
    // subfunctions. It settles within fn_max_depth rounds unless a chain is too long; a cycle
    // never settles.
    int32_t chain[fn_max_functions];
    for (int32_t i = 0; i < s->count; i++) chain[i] = 1;
    bool changed = true;
    for (int32_t round = 0; changed; round++) {
        if (round > fn_max_depth) return -1;
        changed = false;
        for (int32_t q = 0; q < nq; q++) {
            const fn_def &f = s->defs[queue[q]];
            for (int32_t c = 0; f.type == fn_stitching && c < f.k; c++)
                if (chain[f.children[c]] + 1 > chain[queue[q]])
                    chain[queue[q]] = chain[f.children[c]] + 1, changed = true;
        }
    }
    if (chain[root] > fn_max_depth) return -1;
    // Outputs of the Type 3 functions, deepest first: each takes its subfunctions'.
    for (int32_t level = 2; level <= chain[root]; level++) {
        for (int32_t q = 0; q < nq; q++) {
            fn_def &f = s->defs[queue[q]];
            if (chain[queue[q]] != level) continue;
            int32_t n = -1;
            for (int32_t c = 0; c < f.k; c++) {
                const fn_def &ch = s->defs[f.children[c]];
                if (ch.m != 1 || ch.n < 1 || (n >= 0 && ch.n != n)) return -1;
                n = ch.n;
            }
            if (f.has_range && f.n != n) return -1;
            f.n = n;
        }
    }
    for (int32_t q = 0; q < nq; q++) s->defs[queue[q]].ready = 1;
    return 0;
}

int32_t fn_inputs(const fn_set *s, int32_t f) {
    if (!s || f < 0 || f >= s->count || s->defs[f].type < 0) return -1;
    return s->defs[f].m;
}

int32_t fn_outputs(const fn_set *s, int32_t f) {
    if (!s || f < 0 || f >= s->count || s->defs[f].type < 0) return -1;
    const fn_def &d = s->defs[f];
    return d.type == fn_stitching && !d.ready ? -1 : d.n;
}

// ---- evaluating ---------------------------------------------------------------------------------

// Sample number idx (of bps bits) of the packed data; idx * bps is within the data (checked when
// the function was defined).
static uint32_t sample_at(const uint8_t *d, uint64_t idx, int32_t bps) {
    uint64_t bit = idx * (uint64_t)bps;
    const uint8_t *p = d + bit / 8u;
    switch (bps) {
    case 8: return p[0];
    case 16: return (uint32_t)p[0] << 8 | p[1];
    case 24: return (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
    case 32: return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
    case 12: return bit % 8u ? ((uint32_t)(p[0] & 15u) << 8 | p[1]) : ((uint32_t)p[0] << 4 | p[1] >> 4);
    default: return (uint32_t)(p[0] >> (8u - (uint32_t)(bit % 8u) - (uint32_t)bps)) & ((1u << bps) - 1u);
    }
}

static void eval_sampled(const fn_def &f, const double *in, double *out) {
    uint64_t base = 0;           // sample point of the lower corner
    uint64_t stride[fn_max_sampled_inputs];
    double frac[fn_max_sampled_inputs];
    int32_t na = 0;              // inputs that fall between two sample points
    uint64_t step = 1;
    for (int32_t i = 0; i < f.m; i++) {
        double x = fn_clip(in[i], f.domain[2 * i], f.domain[2 * i + 1]);
        double e = interpolate(x, f.domain[2 * i], f.domain[2 * i + 1], f.encode0[2 * i],
                               f.encode0[2 * i + 1]);
        e = fn_clip(e, 0, f.size[i] - 1);
        double lo = std::floor(e);
        uint64_t li = (uint64_t)lo;  // 0 .. size - 1
        if (li >= (uint64_t)(f.size[i] - 1)) {
            li = (uint64_t)(f.size[i] - 1);
            lo = (double)li;
        }
        base += li * step;
        if (e > lo) {
            stride[na] = step;
            frac[na] = e - lo;
            na++;
        }
        step *= (uint64_t)f.size[i];
    }
    double acc[fn_max_outputs] = {0};
    for (uint32_t corner = 0; corner < (1u << na); corner++) {
        double w = 1;
        uint64_t point = base;
        for (int32_t a = 0; a < na; a++) {
            if (corner >> a & 1u) {
                w *= frac[a];
                point += stride[a];
            } else {
                w *= 1 - frac[a];
            }
        }
        for (int32_t j = 0; j < f.n; j++)
            acc[j] += w * sample_at(f.samples, point * (uint64_t)f.n + (uint64_t)j, f.bps);
    }
    double smax = (double)((((uint64_t)1) << f.bps) - 1u);
    for (int32_t j = 0; j < f.n; j++)
        out[j] = interpolate(acc[j], 0, smax, f.decode[2 * j], f.decode[2 * j + 1]);
}

static int eval_exponential(const fn_def &f, double x, double *out) {
    double p = std::pow(x, f.exponent);
    if (!std::isfinite(p)) return -1;
    for (int32_t j = 0; j < f.n; j++) out[j] = f.c0[j] + p * (f.c1[j] - f.c0[j]);
    return 0;
}

static void clip_outputs(const fn_def &f, double *out) {
    if (!f.has_range) return;
    for (int32_t j = 0; j < f.n; j++) out[j] = fn_clip(out[j], f.range[2 * j], f.range[2 * j + 1]);
}

int fn_eval(const fn_set *s, int32_t fi, const double *in, double *out) {
    if (!s || fi < 0 || fi >= s->count || !s->defs[fi].ready) return -1;
    // A chain of stitching functions narrows one input down to a leaf; their ranges are applied
    // to the leaf's outputs on the way back, innermost first.
    int32_t chain[fn_max_depth];
    int32_t depth = 0;
    double x = 0;
    const fn_def *f = &s->defs[fi];
    double local[fn_max_inputs];
    for (int32_t i = 0; i < f->m; i++) {
        if (std::isnan(in[i])) return -1;
        local[i] = fn_clip(in[i], f->domain[2 * i], f->domain[2 * i + 1]);
    }
    while (f->type == fn_stitching) {
        if (depth >= fn_max_depth) return -1;  // fn_check rules this out
        x = fn_clip(local[0], f->domain[0], f->domain[1]);
        int32_t i = 0;
        while (i + 1 < f->k && x >= f->bounds[i + 1]) i++;
        local[0] = interpolate(x, f->bounds[i], f->bounds[i + 1], f->encode3[2 * i],
                               f->encode3[2 * i + 1]);
        chain[depth++] = (int32_t)(f - s->defs);
        f = &s->defs[f->children[i]];
        local[0] = fn_clip(local[0], f->domain[0], f->domain[1]);
    }
    switch (f->type) {
    case fn_sampled:
        eval_sampled(*f, local, out);
        break;
    case fn_exponential:
        if (eval_exponential(*f, local[0], out)) return -1;
        break;
    case fn_calculator:
        if (fn_run(f->code, f->code_len, local, f->m, out, f->n)) return -1;
        break;
    default:
        return -1;
    }
    clip_outputs(*f, out);
    while (depth > 0) clip_outputs(s->defs[chain[--depth]], out);
    return all_finite(out, f->n) ? 0 : -1;
}

void fn_set_free(fn_set *s) {
    if (!s) return;
    for (int32_t i = 0; i < s->count; i++) def_release(&s->defs[i]);
    free(s->defs);
    memset(s, 0, sizeof *s);
}
