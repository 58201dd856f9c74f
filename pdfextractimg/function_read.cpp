// pdfextractimg/function_read.cpp - function dictionaries and streams of a document (Types 0, 2,
// 3 and 4) read into an fn_set: each described as an fn_desc and defined, the subfunctions of a
// stitching function through a work list. Values are read with the core's readers (pdfcore.h).
#include "pdfextractimg/function.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "pdfcore/pdfcore.h"
#include "pdfcore/stream.h"

// ---- small readers ------------------------------------------------------------------------------

static bool opens_dict(const pdfcore_span &v) {
    return v.start + 1 < v.end && v.text[v.start] == '<' && v.text[v.start + 1] == '<';
}

// The number of key in dictionary d: 1 and *out, 0 when the key is absent, -1 when its value is no
// number.
static int dict_number(const pdfcore_doc *doc, const pdfcore_span &d, const char *key, double *out) {
    pdfcore_span v;
    if (!pdfcore_dict_get(doc, &d, key, &v)) return 0;
    return pdfcore_read_number(doc, v, out) ? 1 : -1;
}

// The numbers of key's array in dictionary d: how many, 0 when the key is absent, -1 when its
// value is no array of at most cap numbers.
static int32_t dict_numbers(const pdfcore_doc *doc, const pdfcore_span &d, const char *key,
                            double *out, int32_t cap) {
    pdfcore_span v;
    if (!pdfcore_dict_get(doc, &d, key, &v)) return 0;
    return pdfcore_read_numbers(doc, v, out, cap);
}

// ---- reading ------------------------------------------------------------------------------------

// A function still to be read: its value and the slot reserved for it.
struct fn_job {
    pdfcore_span v;
    int32_t slot;
};

// Room for the arrays of one function while it is read (encode serves Type 0 and Type 3).
struct fn_arrays {
    double domain[2 * fn_max_inputs], range[2 * fn_max_outputs], decode[2 * fn_max_outputs];
    double encode[2 * fn_max_stitched], bounds[fn_max_stitched];
    double c0[fn_max_outputs], c1[fn_max_outputs];
    double size[fn_max_inputs];
    int32_t isize[fn_max_inputs];
    int32_t children[fn_max_stitched];
};

// Type 0 entries and samples. The samples are read only when they fit function.h's caps.
static int read_sampled(const pdfcore_doc *doc, const pdfcore_span &d, fn_arrays *a, fn_desc *fd,
                        uint8_t **stream) {
    int32_t m = dict_numbers(doc, d, "Size", a->size, fn_max_inputs);
    double bps = 0, order = 1;
    if (m <= 0 || dict_number(doc, d, "BitsPerSample", &bps) != 1 || !(bps >= 1 && bps <= 32) ||
        dict_number(doc, d, "Order", &order) < 0 || fd->range_count < 2)
        return -1;
    uint64_t values = (uint64_t)(fd->range_count / 2);  // <= fn_max_outputs
    for (int32_t i = 0; i < m; i++) {
        double sz = a->size[i];
        if (!(sz >= 1 && sz <= (double)fn_max_sample_values) || sz != std::floor(sz)) return -1;
        a->isize[i] = (int32_t)sz;
        if ((uint64_t)a->isize[i] > fn_max_sample_values / values) return -1;
        values *= (uint64_t)a->isize[i];  // <= fn_max_sample_values
    }
    fd->size = a->isize;
    fd->size_count = m;
    fd->bits_per_sample = (int32_t)bps;
    fd->order = (int32_t)order;
    fd->encode_count = dict_numbers(doc, d, "Encode", a->encode, 2 * fn_max_inputs);
    fd->encode = a->encode;
    fd->decode_count = dict_numbers(doc, d, "Decode", a->decode, 2 * fn_max_outputs);
    fd->decode = a->decode;
    if (fd->encode_count < 0 || fd->decode_count < 0) return -1;
    uint64_t bytes = (values * (uint64_t)fd->bits_per_sample + 7u) / 8u;  // < 2^30
    if (bytes > fn_max_set_sample_bytes) return -1;
    const pdfcore_obj *o = pdfcore_stream_at(doc, &d);
    if (!o || stream_read(doc, o, bytes, stream, &fd->samples_len)) return -1;
    fd->samples = *stream;
    return 0;
}

// Type 3 entries; each subfunction gets a slot and a job.
static int read_stitching(const pdfcore_doc *doc, const pdfcore_span &d, fn_arrays *a,
                          fn_desc *fd, fn_set *s, fn_job *jobs, int32_t *jobs_count) {
    pdfcore_span fv;
    if (!pdfcore_dict_get(doc, &d, "Functions", &fv) || fv.text[fv.start] != '[') return -1;
    int32_t k = 0;
    pdfcore_span e;
    while (pdfcore_array_get(doc, fv, k, &e)) {
        // Every job holds a slot of s, which holds at most fn_max_functions: jobs cannot overflow.
        int32_t slot = k < fn_max_stitched ? fn_reserve(s) : -1;
        if (slot < 0) return -1;
        a->children[k++] = slot;
        jobs[(*jobs_count)++] = fn_job{e, slot};
    }
    fd->functions = a->children;
    fd->function_count = k;
    fd->bounds_count = dict_numbers(doc, d, "Bounds", a->bounds, fn_max_stitched);
    fd->bounds = a->bounds;
    fd->encode_count = dict_numbers(doc, d, "Encode", a->encode, 2 * fn_max_stitched);
    fd->encode = a->encode;
    return fd->bounds_count < 0 || fd->encode_count < 0 ? -1 : 0;
}

// Reads the function of job j into its slot.
static int read_one_function(const pdfcore_doc *doc, const fn_job &j, fn_set *s, fn_job *jobs,
                             int32_t *jobs_count) {
    pdfcore_span d = j.v;
    if (!pdfcore_resolve(doc, &d) || !opens_dict(d)) return -1;
    fn_arrays a;
    fn_desc fd;
    memset(&fd, 0, sizeof fd);
    double type = -1;
    if (dict_number(doc, d, "FunctionType", &type) != 1) return -1;
    fd.type = type == 0 || type == 2 || type == 3 || type == 4 ? (int32_t)type : -1;
    fd.domain_count = dict_numbers(doc, d, "Domain", a.domain, 2 * fn_max_inputs);
    fd.domain = a.domain;
    fd.range_count = dict_numbers(doc, d, "Range", a.range, 2 * fn_max_outputs);
    fd.range = a.range;
    if (fd.type < 0 || fd.domain_count < 0 || fd.range_count < 0) return -1;
    uint8_t *stream = nullptr;
    int rc = -1;
    switch (fd.type) {
    case fn_sampled:
        if (read_sampled(doc, d, &a, &fd, &stream)) goto done;
        break;
    case fn_exponential:
        fd.c0_count = dict_numbers(doc, d, "C0", a.c0, fn_max_outputs);
        fd.c0 = a.c0;
        fd.c1_count = dict_numbers(doc, d, "C1", a.c1, fn_max_outputs);
        fd.c1 = a.c1;
        if (fd.c0_count < 0 || fd.c1_count < 0 || dict_number(doc, d, "N", &fd.exponent) != 1)
            goto done;
        break;
    case fn_stitching:
        if (read_stitching(doc, d, &a, &fd, s, jobs, jobs_count)) goto done;
        break;
    default: {  // fn_calculator
        const pdfcore_obj *o = pdfcore_stream_at(doc, &d);
        if (!o || stream_read(doc, o, fn_max_program_bytes + 1, &stream, &fd.program_len)) goto done;
        fd.program = stream;
    }
    }
    rc = fn_define(s, j.slot, &fd);
done:
    free(stream);
    return rc;
}

int32_t fn_read(const pdfcore_doc *doc, const pdfcore_span *v, fn_set *s) {
    if (!doc || !v || !s) return -1;
    // A work list instead of recursion: a stitching function queues its subfunctions.
    fn_job jobs[fn_max_functions];
    int32_t count = 0;
    int32_t root = fn_reserve(s);
    if (root < 0) return -1;
    jobs[count++] = fn_job{*v, root};
    for (int32_t i = 0; i < count; i++)
        if (read_one_function(doc, jobs[i], s, jobs, &count)) return -1;
    return fn_check(s, root) == 0 ? root : -1;
}
