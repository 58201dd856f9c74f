// codec/jpx/jpx_dwt.cpp - the inverse discrete wavelet transforms (reversible 5/3 on integers,
// irreversible 9/7 on floats) by lifting, and the inverse component transforms (RCT, ICT).
//
// A tile-component's buffer holds, for each resolution, the lower resolution's samples in its
// top-left corner and the HL, LH and HH bands to its right, below, and below right. Each level
// joins them: every row (low half then high half) is interleaved and filtered, then every column.
// Boundaries use whole-sample symmetric extension, which for these symmetric lifting steps is the
// mirrored neighbour at each step.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codec/jpx/jpx_internal.h"

// 9/7 lifting constants.
static const float k_alpha = -1.586134342059924f;
static const float k_beta = -0.052980118572961f;
static const float k_gamma = 0.882911075530934f;
static const float k_delta = 0.443506852043971f;
static const float k_k = 1.230174104914001f;

// Columns filtered together: each lifting step runs along rows of this many samples.
const int32_t col_batch = 16;

// Modular arithmetic: broken data may overflow, which must not be undefined behaviour.
static inline int32_t wadd(int32_t a, int32_t b) { return (int32_t)((uint32_t)a + (uint32_t)b); }
static inline int32_t wsub(int32_t a, int32_t b) { return (int32_t)((uint32_t)a - (uint32_t)b); }

// ---- one-dimensional synthesis over n interleaved samples, the first at parity `odd` -------------
// x[i * st] is sample i; lanes independent signals lie side by side (stride 1 between lanes), so
// the same code filters a batch of columns. A single row (st 1, lanes 1) has its own loops.

// One lifting step on the samples i = first, first + 2, ... of a row: x[i] op= f(x[i-1], x[i+1]),
// the neighbour outside mirrored to the one inside. n >= 2.
template <typename T, typename F>
static inline void lift_row(T *x, int32_t n, int32_t first, F f) {
    int32_t i = first;
    if (i == 0) {
        x[0] = f(x[0], x[1], x[1]);
        i = 2;
    }
    for (; i + 1 < n; i += 2) x[i] = f(x[i], x[i - 1], x[i + 1]);
    if (i < n) x[i] = f(x[i], x[i - 1], x[i - 1]);
}

// The same step over `lanes` columns at stride st.
template <typename T, typename F>
static inline void lift_cols(T *x, int32_t n, int32_t first, int32_t st, int32_t lanes, F f) {
    for (int32_t i = first; i < n; i += 2) {
        T *c = x + i * st;
        const T *a = x + (i > 0 ? i - 1 : i + 1) * st;
        const T *b = x + (i + 1 < n ? i + 1 : i - 1) * st;
        for (int32_t l = 0; l < lanes; l++) c[l] = f(c[l], a[l], b[l]);
    }
}

template <typename T, typename F>
static inline void lift(T *x, int32_t n, int32_t first, int32_t st, int32_t lanes, F f) {
    if (st == 1 && lanes == 1) lift_row(x, n, first, f);
    else lift_cols(x, n, first, st, lanes, f);
}

static void synth_53(int32_t *x, int32_t n, int32_t odd, int32_t st, int32_t lanes) {
    if (n == 1) {
        if (odd)
            for (int32_t l = 0; l < lanes; l++) x[l] /= 2;
        return;
    }
    // Even samples (low-pass): X(2k) -= (X(2k-1) + X(2k+1) + 2) >> 2; then the odd ones
    // (high-pass): X(2k+1) += (X(2k) + X(2k+2)) >> 1.
    lift(x, n, odd, st, lanes,
         [](int32_t c, int32_t a, int32_t b) { return wsub(c, wadd(wadd(a, b), 2) >> 2); });
    lift(x, n, 1 - odd, st, lanes, [](int32_t c, int32_t a, int32_t b) { return wadd(c, wadd(a, b) >> 1); });
}

static void synth_97(float *x, int32_t n, int32_t odd, int32_t st, int32_t lanes) {
    if (n == 1) {
        if (odd)
            for (int32_t l = 0; l < lanes; l++) x[l] *= 0.5f;
        return;
    }
    for (int32_t i = 0; i < n; i++) {
        float s = ((i + odd) & 1) ? 1.0f / k_k : k_k;
        float *c = x + i * st;
        for (int32_t l = 0; l < lanes; l++) c[l] *= s;
    }
    lift(x, n, odd, st, lanes, [](float c, float a, float b) { return c - k_delta * (a + b); });
    lift(x, n, 1 - odd, st, lanes, [](float c, float a, float b) { return c - k_gamma * (a + b); });
    lift(x, n, odd, st, lanes, [](float c, float a, float b) { return c - k_beta * (a + b); });
    lift(x, n, 1 - odd, st, lanes, [](float c, float a, float b) { return c - k_alpha * (a + b); });
}

// ---- interleaving ---------------------------------------------------------------------------------

// Copies nl low and nh high samples (src, stride ss between samples, lanes side by side) into
// dst interleaved (low first when !odd), stride ds.
template <typename T>
static void interleave(T *dst, const T *src, int32_t nl, int32_t nh, int32_t odd, int64_t ss,
                       int32_t ds, int32_t lanes) {
    if (lanes == 1 && ss == 1 && ds == 1) {
        for (int32_t i = 0; i < nl; i++) dst[2 * i + odd] = src[i];
        for (int32_t i = 0; i < nh; i++) dst[2 * i + 1 - odd] = src[nl + i];
        return;
    }
    for (int32_t i = 0; i < nl; i++)
        memcpy(dst + (2 * i + odd) * ds, src + i * ss, (size_t)lanes * sizeof(T));
    for (int32_t i = 0; i < nh; i++)
        memcpy(dst + (2 * i + 1 - odd) * ds, src + (nl + i) * ss, (size_t)lanes * sizeof(T));
}

template <typename T>
static void synth(T *x, int32_t n, int32_t odd, int32_t st, int32_t lanes);
template <>
void synth<int32_t>(int32_t *x, int32_t n, int32_t odd, int32_t st, int32_t lanes) {
    synth_53(x, n, odd, st, lanes);
}
template <>
void synth<float>(float *x, int32_t n, int32_t odd, int32_t st, int32_t lanes) {
    synth_97(x, n, odd, st, lanes);
}

// One level: the region [0, w) x [0, h) of buf (stride tw) from its four quarters, the first
// column at parity xodd and the first row at parity yodd.
template <typename T>
static void level(T *buf, int64_t tw, int32_t w, int32_t h, int32_t xodd, int32_t yodd, T *tmp) {
    int32_t nl = (w + 1 - xodd) / 2, nh = w - nl;
    if (w > 1 || xodd) {
        for (int32_t y = 0; y < h; y++) {
            T *row = buf + y * tw;
            interleave(tmp, row, nl, nh, xodd, 1, 1, 1);
            synth<T>(tmp, w, xodd, 1, 1);
            memcpy(row, tmp, (size_t)w * sizeof(T));
        }
    }
    int32_t ml = (h + 1 - yodd) / 2, mh = h - ml;
    if (h > 1 || yodd) {
        for (int32_t x0 = 0; x0 < w; x0 += col_batch) {
            int32_t lanes = std::min(col_batch, w - x0);
            T *col = buf + x0;
            interleave(tmp, col, ml, mh, yodd, tw, col_batch, lanes);
            synth<T>(tmp, h, yodd, col_batch, lanes);
            for (int32_t y = 0; y < h; y++)
                memcpy(col + y * tw, tmp + y * col_batch, (size_t)lanes * sizeof(T));
        }
    }
}

template <typename T>
static int inverse(jpx_tcomp *tc) {
    int64_t tw = tc->x1 - tc->x0;
    int32_t maxn = std::max(tc->x1 - tc->x0, tc->y1 - tc->y0);
    if (tw <= 0 || tc->y1 <= tc->y0 || tc->nres <= 1) return 0;
    T *tmp = (T *)malloc((size_t)maxn * col_batch * sizeof(T));
    if (!tmp) return -1;
    for (int32_t r = 1; r < tc->nres; r++) {
        const jpx_res *rs = &tc->res[r];
        int32_t w = rs->x1 - rs->x0, h = rs->y1 - rs->y0;
        if (w <= 0 || h <= 0) continue;
        level<T>((T *)tc->buf, tw, w, h, rs->x0 & 1, rs->y0 & 1, tmp);
    }
    free(tmp);
    return 0;
}

int jpx_dwt_inverse(jpx_tcomp *tc) {
    return tc->tccp->reversible ? inverse<int32_t>(tc) : inverse<float>(tc);
}

void jpx_mct_inverse(void *b0, void *b1, void *b2, uint64_t n, int32_t reversible) {
    if (reversible) {
        int32_t *y = (int32_t *)b0, *u = (int32_t *)b1, *v = (int32_t *)b2;
        for (uint64_t i = 0; i < n; i++) {
            int32_t g = wsub(y[i], wadd(u[i], v[i]) >> 2);
            int32_t r = wadd(v[i], g), b = wadd(u[i], g);
            y[i] = r, u[i] = g, v[i] = b;
        }
        return;
    }
    float *y = (float *)b0, *cb = (float *)b1, *cr = (float *)b2;
    for (uint64_t i = 0; i < n; i++) {
        float r = y[i] + 1.402f * cr[i];
        float g = y[i] - 0.34413f * cb[i] - 0.71414f * cr[i];
        float b = y[i] + 1.772f * cb[i];
        y[i] = r, cb[i] = g, cr[i] = b;
    }
}
