// PDF functions from hostile bytes: the first byte picks the kind, the next ones give sizes and
// numbers, the rest is sample data or PostScript calculator text. Each function that is accepted is
// evaluated on a few inputs and, as a tint transform, over a row of samples.
//
// Layout: kind (0 sampled, 1 exponential, 2 stitching, 3 calculator, by the low two bits), then
// kind-specific bytes; a reader past the end gives zeros.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pdfextractimg/colour.h"
#include "pdfextractimg/function.h"

namespace {

struct reader {
    const uint8_t *d;
    size_t n, pos;
    uint8_t byte() { return pos < n ? d[pos++] : 0; }
    // A number: mostly small, sometimes at the edges that validation must catch.
    double num() {
        uint8_t b = byte();
        if (b == 0xff) return NAN;
        if (b == 0xfe) return INFINITY;
        if (b == 0xfd) return 1e300;
        return ((int)b - 128) / 32.0;
    }
};

const int32_t s_bps[8] = {1, 2, 4, 8, 12, 16, 24, 32};

// Evaluates f of s on inputs from r and the edges, then converts a row of samples through it.
void exercise(const fn_set *s, int32_t f, reader *r) {
    int32_t m = fn_inputs(s, f), n = fn_outputs(s, f);
    if (m < 1 || n < 1 || m > fn_max_inputs || n > fn_max_outputs) abort();  // checked functions
    double in[fn_max_inputs], out[fn_max_outputs];
    for (int k = 0; k < 4; k++) {
        for (int32_t i = 0; i < m; i++) in[i] = k == 0 ? -1e9 : k == 1 ? 1e9 : r->num();
        if (fn_eval(s, f, in, out) == 0)
            for (int32_t j = 0; j < n; j++)
                if (std::isnan(out[j])) abort();  // a success gives numbers
    }
    if (m > 4) return;
    colour_conv c;
    int32_t alt = n >= 4 ? 4 : n >= 3 ? 3 : 1;
    int32_t bits = 1 + r->byte() % 16;
    if (colour_conv_tint(&c, s, f, m, bits, nullptr, 0, alt, nullptr) == 0) {
        uint16_t raw[64 * 4];   // 64 pixels of up to 4 samples
        uint8_t px[64 * 4 + 1]; // 64 pixels of up to 4 bytes, and one that must stay
        for (uint16_t &v : raw) v = (uint16_t)(r->byte() << 8 | r->byte());
        px[64 * alt] = 0xa5;
        colour_conv_row(&c, raw, 64, px);
        if (px[64 * alt] != 0xa5) abort();
        colour_conv_free(&c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    reader r = {data, size, 0};
    fn_set s = {};
    double dom[2 * fn_max_inputs], rng[2 * fn_max_outputs], enc[2 * fn_max_stitched], dec[2 * fn_max_outputs];
    double c0[fn_max_outputs], c1[fn_max_outputs], bounds[fn_max_stitched];
    int32_t sizes[fn_max_inputs], children[fn_max_stitched];
    fn_desc d = {};
    int32_t kind = r.byte() & 3;
    int32_t m = 1 + r.byte() % 4, n = 1 + r.byte() % 5;
    for (int32_t i = 0; i < m; i++) dom[2 * i] = 0, dom[2 * i + 1] = 1;
    for (int32_t j = 0; j < n; j++) rng[2 * j] = 0, rng[2 * j + 1] = 1;
    if (r.byte() & 1) dom[0] = r.num(), dom[1] = r.num();
    d.domain = dom, d.domain_count = 2 * m;
    d.range = rng, d.range_count = 2 * n;
    int32_t root = -1;
    if (kind == 0) {
        d.type = fn_sampled;
        d.bits_per_sample = s_bps[r.byte() % 8];
        for (int32_t i = 0; i < m; i++) sizes[i] = 1 + r.byte() % 9;
        d.size = sizes, d.size_count = m;
        uint8_t flags = r.byte();
        if (flags & 1) {
            for (int32_t i = 0; i < 2 * m; i++) enc[i] = r.num() * 4;
            d.encode = enc, d.encode_count = 2 * m;
        }
        if (flags & 2) {
            for (int32_t j = 0; j < 2 * n; j++) dec[j] = r.num();
            d.decode = dec, d.decode_count = 2 * n;
        }
        d.samples = data + r.pos, d.samples_len = size - r.pos;
        root = fn_add(&s, &d);
    } else if (kind == 1) {
        d.type = fn_exponential, d.domain_count = 2, d.range_count = (r.byte() & 1) ? 2 * n : 0;
        for (int32_t j = 0; j < n; j++) c0[j] = r.num(), c1[j] = r.num();
        d.c0 = c0, d.c0_count = n, d.c1 = c1, d.c1_count = n;
        d.exponent = r.num() * 2;
        root = fn_add(&s, &d);
    } else if (kind == 2) {
        // Leaves, then stitching functions naming any index (cycles and gaps included).
        int32_t leaves = 1 + r.byte() % 3, stitches = 1 + r.byte() % 4, total = leaves + stitches;
        for (int32_t i = 0; i < leaves; i++) {
            fn_desc e = {};
            e.type = fn_exponential, e.domain = dom, e.domain_count = 2;
            for (int32_t j = 0; j < n; j++) c0[j] = r.num(), c1[j] = r.num();
            e.c0 = c0, e.c0_count = n, e.c1 = c1, e.c1_count = n, e.exponent = 1 + r.byte() % 3;
            fn_add(&s, &e);
        }
        for (int32_t i = 0; i < stitches; i++) {
            int32_t k = 1 + r.byte() % 4;
            for (int32_t c = 0; c < k; c++) children[c] = r.byte() % (total + 1);
            for (int32_t c = 0; c + 1 < k; c++) bounds[c] = r.num();
            for (int32_t c = 0; c < 2 * k; c++) enc[c] = r.num();
            fn_desc e = {};
            e.type = fn_stitching, e.domain = dom, e.domain_count = 2;
            e.functions = children, e.function_count = k, e.bounds = bounds, e.bounds_count = k - 1;
            e.encode = enc, e.encode_count = 2 * k;
            root = fn_add(&s, &e);
        }
    } else {
        d.type = fn_calculator;
        d.program = data + r.pos, d.program_len = size - r.pos;
        root = fn_add(&s, &d);
    }
    if (root >= 0 && fn_check(&s, root) == 0) exercise(&s, root, &r);
    fn_set_free(&s);
    return 0;
}
