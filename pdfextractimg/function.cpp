// pdfextractimg/function.cpp - PDF functions: checking descriptions, compiling PostScript
// calculator programs, evaluation.
#include "pdfextractimg/function.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

// ---- the calculator's operators -----------------------------------------------------------------

// Operation codes: the operators of a Type 4 program, then what the compiler emits besides.
enum ps_code {
    op_abs, op_add, op_atan, op_ceiling, op_cos, op_cvi, op_cvr, op_div, op_exp, op_floor, op_idiv,
    op_ln, op_log, op_mod, op_mul, op_neg, op_round, op_sin, op_sqrt, op_sub, op_truncate,
    op_and, op_bitshift, op_eq, op_false, op_ge, op_gt, op_le, op_lt, op_ne, op_not, op_or,
    op_true, op_xor, op_copy, op_dup, op_exch, op_index, op_pop, op_roll,
    op_if, op_ifelse,        // only in the text: compiled into jumps
    op_push_int, op_push_real,
    op_jump_false,           // pops a bool; jumps to arg when it is false
    op_jump,                 // jumps to arg
};

// Names held in the table itself, not pointed to, so the table needs no relocation and stays
// read-only in the shared library.
struct ps_name { char name[10]; int32_t code; };
// The operators a Type 4 program may use, sorted by name for the binary search.
static const ps_name s_ps_names[] = {
    {"abs", op_abs},         {"add", op_add},     {"and", op_and},     {"atan", op_atan},
    {"bitshift", op_bitshift}, {"ceiling", op_ceiling}, {"copy", op_copy}, {"cos", op_cos},
    {"cvi", op_cvi},         {"cvr", op_cvr},     {"div", op_div},     {"dup", op_dup},
    {"eq", op_eq},           {"exch", op_exch},   {"exp", op_exp},     {"false", op_false},
    {"floor", op_floor},     {"ge", op_ge},       {"gt", op_gt},       {"idiv", op_idiv},
    {"if", op_if},           {"ifelse", op_ifelse}, {"index", op_index}, {"le", op_le},
    {"ln", op_ln},           {"log", op_log},     {"lt", op_lt},       {"mod", op_mod},
    {"mul", op_mul},         {"ne", op_ne},       {"neg", op_neg},     {"not", op_not},
    {"or", op_or},           {"pop", op_pop},     {"roll", op_roll},   {"round", op_round},
    {"sin", op_sin},         {"sqrt", op_sqrt},   {"sub", op_sub},     {"true", op_true},
    {"truncate", op_truncate}, {"xor", op_xor},
};

static const int32_t s_valid_bps[] = {1, 2, 4, 8, 12, 16, 24, 32};
static const double pi = 3.14159265358979323846;

// ---- small helpers ------------------------------------------------------------------------------


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

// ---- the calculator: compiling ------------------------------------------------------------------

static inline bool is_ws(uint8_t b) {
    return b == 0 || b == 9 || b == 10 || b == 12 || b == 13 || b == 32;
}
static inline bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }
// Bytes that end a token; of them only braces are allowed in a program.
static inline bool is_delim(uint8_t b) {
    return is_ws(b) || b == '{' || b == '}' || b == '(' || b == ')' || b == '<' || b == '>' ||
           b == '[' || b == ']' || b == '/' || b == '%';
}

// A PostScript number in t[0, len): integer, or real with a point and/or an exponent. 1: integer
// (*iv, and *rv the same), 2: real (*rv), 0: not a number. An integer beyond 32 bits is a real.
// Digits are summed here rather than by strtod, whose decimal point follows the locale.
static int parse_number(const uint8_t *t, uint64_t len, int32_t *iv, double *rv) {
    uint64_t i = 0;
    bool neg = false;
    if (i < len && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    double mant = 0;
    int64_t ival = 0;
    bool big = false, any = false, real = false;
    int32_t frac_digits = 0;
    for (; i < len && is_digit(t[i]); i++, any = true) {
        mant = mant * 10.0 + (t[i] - '0');
        if (ival < ((int64_t)1 << 40)) ival = ival * 10 + (t[i] - '0');
        else big = true;
    }
    if (i < len && t[i] == '.') {
        real = true;
        for (i++; i < len && is_digit(t[i]); i++, any = true) {
            mant = mant * 10.0 + (t[i] - '0');
            if (frac_digits < 400) frac_digits++;
        }
    }
    if (!any) return 0;
    int32_t e = 0;
    if (i < len && (t[i] == 'e' || t[i] == 'E')) {
        real = true;
        i++;
        bool eneg = false;
        if (i < len && (t[i] == '+' || t[i] == '-')) eneg = t[i++] == '-';
        if (i >= len || !is_digit(t[i])) return 0;
        for (; i < len && is_digit(t[i]); i++)
            if (e < 100000) e = e * 10 + (t[i] - '0');
        if (eneg) e = -e;
    }
    if (i != len) return 0;
    int64_t lim = neg ? (int64_t)1 << 31 : ((int64_t)1 << 31) - 1;
    if (!real && !big && ival <= lim) {
        int64_t v = neg ? -ival : ival;
        *iv = (int32_t)v;  // within 32 bits: checked above
        *rv = (double)v;
        return 1;
    }
    double v = mant * std::pow(10.0, (double)(e - frac_digits));
    if (!std::isfinite(v)) return 0;
    *rv = neg ? -v : v;
    return 2;
}

static int32_t find_operator(const uint8_t *t, uint64_t len) {
    int32_t lo = 0, hi = (int32_t)(sizeof s_ps_names / sizeof s_ps_names[0]) - 1;
    while (lo <= hi) {
        int32_t mid = (lo + hi) / 2;
        const char *n = s_ps_names[mid].name;
        uint64_t nl = strlen(n);
        int c = memcmp(t, n, len < nl ? len : nl);
        if (c == 0) c = len < nl ? -1 : len > nl ? 1 : 0;
        if (c == 0) return s_ps_names[mid].code;
        if (c < 0) hi = mid - 1;
        else lo = mid + 1;
    }
    return -1;
}

// Next token of text from *pos: its start and length, comments and whitespace skipped. 0 at the
// end of the text.
static int next_token(const uint8_t *t, uint64_t len, uint64_t *pos, uint64_t *start,
                      uint64_t *tlen) {
    uint64_t p = *pos;
    for (;;) {
        while (p < len && is_ws(t[p])) p++;
        if (p < len && t[p] == '%') {
            while (p < len && t[p] != '\n' && t[p] != '\r') p++;
            continue;
        }
        break;
    }
    if (p >= len) {
        *pos = p;
        return 0;
    }
    *start = p;
    if (is_delim(t[p])) {
        p++;
    } else {
        while (p < len && !is_delim(t[p])) p++;
    }
    *tlen = p - *start;
    *pos = p;
    return 1;
}

// Growable code array for the compiler, capped at fn_max_code.
struct code_buf {
    fn_op *ops;
    int32_t len, cap;
};

static int emit(code_buf *b, int32_t code, int32_t arg, double num) {
    if (b->len >= fn_max_code) return -1;
    if (b->len == b->cap) {
        int32_t nc = b->cap ? b->cap * 2 : 64;
        if (nc > fn_max_code) nc = fn_max_code;
        void *t = realloc(b->ops, (size_t)nc * sizeof(fn_op));
        if (!t) return -1;
        b->ops = (fn_op *)t;
        b->cap = nc;
    }
    b->ops[b->len].code = code;
    b->ops[b->len].arg = arg;
    b->ops[b->len].num = num;
    b->len++;
    return 0;
}

// An open procedure: the program's outer braces, the first procedure of an if or ifelse (its
// jump_false at patch), or the second of an ifelse (the jump over it at patch).
enum proc_kind { proc_outer, proc_then, proc_else };
struct open_proc { int32_t kind, patch; };

int fn_compile(const uint8_t *text, uint64_t len, fn_op **code, int32_t *code_len) {
    code_buf b = {nullptr, 0, 0};
    open_proc open[fn_max_nesting];
    int32_t depth = 0;
    uint64_t pos = 0, st = 0, tl = 0;
    bool done = false;
    if (!text || len > fn_max_program_bytes) return -1;
    if (!next_token(text, len, &pos, &st, &tl) || text[st] != '{') goto fail;
    open[depth++] = {proc_outer, -1};
    while (!done) {
        if (!next_token(text, len, &pos, &st, &tl)) goto fail;  // the outer brace never closed
        const uint8_t *t = text + st;
        if (t[0] == '{') {
            if (depth >= fn_max_nesting) goto fail;
            open[depth++] = {proc_then, b.len};
            if (emit(&b, op_jump_false, -1, 0)) goto fail;
            continue;
        }
        if (t[0] == '}') {
            open_proc p = open[--depth];
            if (p.kind == proc_outer) {
                done = true;
                continue;
            }
            // A procedure is only an operand of if or ifelse: look at what follows it.
            if (!next_token(text, len, &pos, &st, &tl)) goto fail;
            t = text + st;
            if (p.kind == proc_then && t[0] == '{') { // the second procedure of an ifelse
                int32_t jump = b.len;
                if (emit(&b, op_jump, -1, 0)) goto fail;
                b.ops[p.patch].arg = b.len;
                open[depth++] = {proc_else, jump};  // room: the first procedure's slot
                continue;
            }
            int32_t want = p.kind == proc_then ? op_if : op_ifelse;
            if (is_delim(t[0]) || find_operator(t, tl) != want) goto fail;
            b.ops[p.patch].arg = b.len;  // past the procedure (or past the else part)
            continue;
        }
        if (is_delim(t[0])) goto fail;  // strings, arrays, names: not in a calculator program
        int32_t iv = 0;
        double rv = 0;
        int kind = parse_number(t, tl, &iv, &rv);
        int r = 0;
        if (kind == 1) {
            r = emit(&b, op_push_int, iv, rv);
        } else if (kind == 2) {
            r = emit(&b, op_push_real, 0, rv);
        } else {
            int32_t op = find_operator(t, tl);
            if (op < 0 || op == op_if || op == op_ifelse) goto fail;  // if without a procedure
            r = emit(&b, op, 0, 0);
        }
        if (r) goto fail;
    }
    *code = b.ops;
    *code_len = b.len;
    return 0;
fail:
    free(b.ops);
    return -1;
}

// ---- the calculator: running --------------------------------------------------------------------

enum ps_kind { k_int, k_real, k_bool };
struct ps_val {
    double v;       // the number; for k_int a whole number within 32 bits, for k_bool 0 or 1
    int32_t kind;
};

struct ps_stack {
    ps_val s[fn_stack_size];
    int32_t n;
};

static inline bool is_num(const ps_val &v) { return v.kind != k_bool; }
static inline int32_t ival(const ps_val &v) { return (int32_t)v.v; }  // k_int: exact

// An integer result: an integer when within 32 bits, else a real (add, sub, mul, neg, abs, idiv).
static inline ps_val int_result(int64_t r) {
    if (r >= INT32_MIN && r <= INT32_MAX) return {(double)r, k_int};
    return {(double)r, k_real};
}

// sin and cos of an angle in degrees, exact at multiples of 90.
static double sin_deg(double a) {
    double r = std::fmod(a, 360.0);
    if (r < 0) r += 360.0;
    if (r == 0 || r == 180) return 0.0;
    if (r == 90) return 1.0;
    if (r == 270) return -1.0;
    return std::sin(r * (pi / 180.0));
}
static double cos_deg(double a) { return sin_deg(a + 90.0); }

// One operator on the stack st. 0, or -1 on a PostScript error.
static int run_op(int32_t code, ps_stack *st) {
    ps_val *s = st->s;
    int32_t &n = st->n;
    // Operands needed by the operator, checked once here.
    int32_t need = 0;
    switch (code) {
    case op_false: case op_true: need = 0; break;
    case op_abs: case op_ceiling: case op_cos: case op_cvi: case op_cvr: case op_floor: case op_ln:
    case op_log: case op_neg: case op_round: case op_sin: case op_sqrt: case op_truncate:
    case op_not: case op_copy: case op_dup: case op_index: case op_pop:
        need = 1; break;
    default: need = 2; break;
    }
    if (n < need) return -1;
    ps_val *a = n >= 2 ? &s[n - 2] : nullptr, *b = &s[n - 1];  // a: second from top, b: top
    switch (code) {
    case op_true: case op_false:
        if (n >= fn_stack_size) return -1;
        s[n++] = {code == op_true ? 1.0 : 0.0, k_bool};
        return 0;
    case op_add: case op_sub: case op_mul: {
        if (!is_num(*a) || !is_num(*b)) return -1;
        if (a->kind == k_int && b->kind == k_int) {
            int64_t x = ival(*a), y = ival(*b);
            *a = int_result(code == op_add ? x + y : code == op_sub ? x - y : x * y);
        } else {
            double r = code == op_add ? a->v + b->v : code == op_sub ? a->v - b->v : a->v * b->v;
            *a = {r, k_real};
        }
        n--;
        break;
    }
    case op_div:
        if (!is_num(*a) || !is_num(*b) || b->v == 0) return -1;
        *a = {a->v / b->v, k_real};
        n--;
        break;
    case op_idiv: case op_mod: {
        if (a->kind != k_int || b->kind != k_int || ival(*b) == 0) return -1;
        int64_t x = ival(*a), y = ival(*b);  // 64 bits: INT32_MIN / -1 is defined here
        *a = int_result(code == op_idiv ? x / y : x % y);
        n--;
        break;
    }
    case op_atan: {
        if (!is_num(*a) || !is_num(*b) || (a->v == 0 && b->v == 0)) return -1;
        double d = std::atan2(a->v, b->v) * (180.0 / pi);
        if (d < 0) d += 360.0;
        *a = {d, k_real};
        n--;
        break;
    }
    case op_exp: {
        if (!is_num(*a) || !is_num(*b)) return -1;
        *a = {std::pow(a->v, b->v), k_real};
        n--;
        break;
    }
    case op_abs: case op_neg:
        if (!is_num(*b)) return -1;
        if (b->kind == k_int) *b = int_result(code == op_abs ? std::llabs((int64_t)ival(*b))
                                                             : -(int64_t)ival(*b));
        else b->v = code == op_abs ? std::fabs(b->v) : -b->v;
        break;
    case op_ceiling: case op_floor: case op_round: case op_truncate:
        if (!is_num(*b)) return -1;
        if (b->kind == k_real)
            b->v = code == op_ceiling ? std::ceil(b->v) : code == op_floor ? std::floor(b->v)
                 : code == op_round ? std::floor(b->v + 0.5) : std::trunc(b->v);
        break;
    case op_cvi: {
        if (!is_num(*b)) return -1;
        double t = std::trunc(b->v);
        if (!(t >= INT32_MIN && t <= INT32_MAX)) return -1;
        *b = {t, k_int};
        break;
    }
    case op_cvr:
        if (!is_num(*b)) return -1;
        b->kind = k_real;
        break;
    case op_sqrt:
        if (!is_num(*b) || b->v < 0) return -1;
        *b = {std::sqrt(b->v), k_real};
        break;
    case op_ln: case op_log:
        if (!is_num(*b) || b->v <= 0) return -1;
        *b = {code == op_ln ? std::log(b->v) : std::log10(b->v), k_real};
        break;
    case op_sin: case op_cos:
        if (!is_num(*b)) return -1;
        *b = {code == op_sin ? sin_deg(b->v) : cos_deg(b->v), k_real};
        break;
    case op_and: case op_or: case op_xor: {
        if (a->kind != b->kind || a->kind == k_real) return -1;
        if (a->kind == k_bool) {
            bool x = a->v != 0, y = b->v != 0;
            bool r = code == op_and ? (x && y) : code == op_or ? (x || y) : (x != y);
            a->v = r ? 1.0 : 0.0;
        } else {
            uint32_t x = (uint32_t)ival(*a), y = (uint32_t)ival(*b);
            uint32_t r = code == op_and ? x & y : code == op_or ? x | y : x ^ y;
            a->v = (double)(int32_t)r;  // two's complement on GCC and Clang
        }
        n--;
        break;
    }
    case op_not:
        if (b->kind == k_real) return -1;
        if (b->kind == k_bool) b->v = b->v != 0 ? 0.0 : 1.0;
        else b->v = (double)~ival(*b);
        break;
    case op_bitshift: {
        if (a->kind != k_int || b->kind != k_int) return -1;
        int32_t x = ival(*a), sh = ival(*b);
        int32_t r = 0;
        if (sh >= 32) r = 0;
        else if (sh >= 0) r = (int32_t)((uint32_t)x << sh);  // wraps to 32 bits
        else if (sh > -32) r = x >> -sh;                      // arithmetic on GCC and Clang
        else r = x < 0 ? -1 : 0;
        a->v = (double)r;
        n--;
        break;
    }
    case op_eq: case op_ne: {
        bool eq = is_num(*a) == is_num(*b) && a->v == b->v;
        *a = {(code == op_eq) == eq ? 1.0 : 0.0, k_bool};
        n--;
        break;
    }
    case op_ge: case op_gt: case op_le: case op_lt: {
        if (!is_num(*a) || !is_num(*b)) return -1;
        double x = a->v, y = b->v;
        bool r = code == op_ge ? x >= y : code == op_gt ? x > y : code == op_le ? x <= y : x < y;
        *a = {r ? 1.0 : 0.0, k_bool};
        n--;
        break;
    }
    case op_dup:
        if (n >= fn_stack_size) return -1;
        s[n] = s[n - 1];
        n++;
        return 0;
    case op_exch: {
        ps_val t = *a;
        *a = *b;
        *b = t;
        break;
    }
    case op_pop:
        n--;
        break;
    case op_copy: {
        if (b->kind != k_int) return -1;
        int32_t c = ival(*b);
        n--;
        if (c < 0 || c > n || n + c > fn_stack_size) return -1;
        memcpy(s + n, s + n - c, (size_t)c * sizeof(ps_val));
        n += c;
        break;
    }
    case op_index: {
        if (b->kind != k_int) return -1;
        int32_t i = ival(*b);
        if (i < 0 || i >= n - 1) return -1;
        *b = s[n - 2 - i];
        break;
    }
    case op_roll: {
        if (a->kind != k_int || b->kind != k_int) return -1;
        int32_t c = ival(*a), j = ival(*b);
        n -= 2;
        if (c < 0 || c > n) return -1;
        if (c == 0) break;
        j %= c;
        if (j < 0) j += c;  // j elements move from the top to the bottom of the c
        ps_val tmp[fn_stack_size];
        ps_val *base = s + n - c;
        memcpy(tmp, base + c - j, (size_t)j * sizeof(ps_val));
        memmove(base + j, base, (size_t)(c - j) * sizeof(ps_val));
        memcpy(base, tmp, (size_t)j * sizeof(ps_val));
        break;
    }
    default:
        return -1;
    }
    // Real results must stay finite (exp, div, mul and the others of large operands).
    if (n > 0 && s[n - 1].kind == k_real && !std::isfinite(s[n - 1].v)) return -1;
    return 0;
}

int fn_run(const fn_op *code, int32_t code_len, const double *in, int32_t m, double *out,
           int32_t n) {
    ps_stack st;
    st.n = 0;
    if (m < 0 || m > fn_stack_size || n < 0) return -1;
    for (int32_t i = 0; i < m; i++) st.s[st.n++] = {in[i], k_real};
    // Jumps go forward only, so the loop ends after code_len steps at most.
    for (int32_t pc = 0; pc < code_len;) {
        const fn_op &op = code[pc];
        switch (op.code) {
        case op_push_int: case op_push_real:
            if (st.n >= fn_stack_size) return -1;
            st.s[st.n++] = {op.num, op.code == op_push_int ? k_int : k_real};
            pc++;
            break;
        case op_jump_false: {
            if (st.n < 1 || st.s[st.n - 1].kind != k_bool) return -1;
            bool c = st.s[--st.n].v != 0;
            pc = c ? pc + 1 : op.arg;
            break;
        }
        case op_jump:
            pc = op.arg;
            break;
        default:
            if (run_op(op.code, &st)) return -1;
            pc++;
            break;
        }
    }
    if (st.n < n) return -1;
    for (int32_t j = 0; j < n; j++) {
        const ps_val &v = st.s[st.n - n + j];
        if (!is_num(v)) return -1;
        out[j] = v.v;
    }
    return 0;
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
