// pdfextractimg/calculator.cpp - PostScript calculator functions (Type 4): program text compiled
// into a flat code array, and the code run on an operand stack (function.h).
#include "pdfextractimg/function.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec/chars.h"

// ---- the operators ------------------------------------------------------------------------------

// Operation codes: the operators of a Type 4 program family by family (the order of s_ops), then
// what the compiler emits besides.
enum ps_code {
    op_add, op_sub, op_mul, op_div, op_idiv, op_mod, op_atan, op_exp,
    op_abs, op_neg, op_ceiling, op_floor, op_round, op_truncate, op_cvi, op_cvr, op_sqrt, op_ln,
    op_log, op_sin, op_cos,
    op_and, op_or, op_xor, op_bitshift, op_not,
    op_eq, op_ne, op_ge, op_gt, op_le, op_lt,
    op_true, op_false, op_dup, op_exch, op_pop, op_copy, op_index, op_roll,
    op_if, op_ifelse,
    op_push_int, op_push_real,
    op_jump_false,           // pops a bool; jumps to arg when it is false
    op_jump,                 // jumps to arg
};

// How an operator treats the stack. The first four families take their operands from the top and
// leave one result where the first of them stood.
enum ps_family {
    fam_arith,    // two numbers to one
    fam_unary,    // one number to one
    fam_bits,     // booleans or integers, bit by bit
    fam_compare,  // two values to a boolean
    fam_stack,    // values pushed, moved or dropped: each moves the count itself
    fam_control,  // if and ifelse: only in the text, compiled into jumps
};

// Names held in the table itself, not pointed to, so the table needs no relocation and stays
// read-only in the shared library.
struct ps_operator {
    char name[9];
    uint8_t family;     // ps_family
    uint8_t operands;   // values the operator needs on the stack, checked before it runs
};
// Indexed by ps_code.
static constexpr ps_operator s_ops[] = {
    {"add", fam_arith, 2},      {"sub", fam_arith, 2},      {"mul", fam_arith, 2},
    {"div", fam_arith, 2},      {"idiv", fam_arith, 2},     {"mod", fam_arith, 2},
    {"atan", fam_arith, 2},     {"exp", fam_arith, 2},
    {"abs", fam_unary, 1},      {"neg", fam_unary, 1},      {"ceiling", fam_unary, 1},
    {"floor", fam_unary, 1},    {"round", fam_unary, 1},    {"truncate", fam_unary, 1},
    {"cvi", fam_unary, 1},      {"cvr", fam_unary, 1},      {"sqrt", fam_unary, 1},
    {"ln", fam_unary, 1},       {"log", fam_unary, 1},      {"sin", fam_unary, 1},
    {"cos", fam_unary, 1},
    {"and", fam_bits, 2},       {"or", fam_bits, 2},        {"xor", fam_bits, 2},
    {"bitshift", fam_bits, 2},  {"not", fam_bits, 1},
    {"eq", fam_compare, 2},     {"ne", fam_compare, 2},     {"ge", fam_compare, 2},
    {"gt", fam_compare, 2},     {"le", fam_compare, 2},     {"lt", fam_compare, 2},
    {"true", fam_stack, 0},     {"false", fam_stack, 0},    {"dup", fam_stack, 1},
    {"exch", fam_stack, 2},     {"pop", fam_stack, 1},      {"copy", fam_stack, 1},
    {"index", fam_stack, 1},    {"roll", fam_stack, 2},
    {"if", fam_control, 0},     {"ifelse", fam_control, 0},
};
static_assert(sizeof s_ops / sizeof s_ops[0] == op_push_int, "one entry per operator");
// The operators in the order of their names, for the compiler's binary search.
static constexpr uint8_t s_by_name[] = {
    op_abs, op_add, op_and, op_atan, op_bitshift, op_ceiling, op_copy, op_cos, op_cvi, op_cvr,
    op_div, op_dup, op_eq, op_exch, op_exp, op_false, op_floor, op_ge, op_gt, op_idiv, op_if,
    op_ifelse, op_index, op_le, op_ln, op_log, op_lt, op_mod, op_mul, op_ne, op_neg, op_not, op_or,
    op_pop, op_roll, op_round, op_sin, op_sqrt, op_sub, op_true, op_truncate, op_xor,
};
static_assert(sizeof s_by_name == op_push_int, "every operator once");

// Byte order of two NUL-terminated names, for the check below.
static constexpr int name_order(const char *a, const char *b) {
    while (*a && *a == *b) a++, b++;
    return (unsigned char)*a - (unsigned char)*b;
}
static constexpr bool sorted_by_name() {
    for (size_t i = 1; i < sizeof s_by_name; i++)
        if (name_order(s_ops[s_by_name[i - 1]].name, s_ops[s_by_name[i]].name) >= 0) return false;
    return true;
}
static_assert(sorted_by_name(), "s_by_name in the order of the names");

static const double pi = 3.14159265358979323846;

// ---- compiling ----------------------------------------------------------------------------------

// A PostScript number in t[0, len): integer, or real with a point and/or an exponent. 1: integer
// (*iv, and *rv the same), 2: real (*rv), 0: not a number. An integer beyond 32 bits is a real.
// Digits are summed here rather than by strtod, whose decimal point follows the locale.
static int parse_number(const uint8_t *t, int32_t len, int32_t *iv, double *rv) {
    int32_t i = 0;
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

// The operator named t[0, len), or -1.
static int32_t find_operator(const uint8_t *t, int32_t len) {
    int32_t lo = 0, hi = (int32_t)sizeof s_by_name - 1;
    while (lo <= hi) {
        int32_t mid = (lo + hi) / 2;
        const char *n = s_ops[s_by_name[mid]].name;
        int32_t nl = (int32_t)strlen(n);
        int c = memcmp(t, n, (size_t)(len < nl ? len : nl));
        if (c == 0) c = len < nl ? -1 : len > nl ? 1 : 0;
        if (c == 0) return s_by_name[mid];
        if (c < 0) hi = mid - 1;
        else lo = mid + 1;
    }
    return -1;
}

// Next token of text from *pos: its start and length, comments and whitespace skipped; a
// delimiter is a token of one byte. 0 at the end of the text.
static int next_token(const uint8_t *t, int32_t len, int32_t *pos, int32_t *start, int32_t *tlen) {
    int32_t p = *pos;
    while (p < len && (is_pdf_ws(t[p]) || t[p] == '%'))
        p = t[p] == '%' ? comment_end(t, p, len) : p + 1;
    *pos = p;
    if (p >= len) return 0;
    *start = p;
    *pos = is_regular(t[p]) ? token_end(t, p, len) : p + 1;
    *tlen = *pos - p;
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

int fn_compile(const uint8_t *text, uint64_t text_len, fn_op **code, int32_t *code_len) {
    if (!text || text_len > fn_max_program_bytes) return -1;
    const int32_t len = (int32_t)text_len;  // at most fn_max_program_bytes
    code_buf b = {nullptr, 0, 0};
    open_proc open[fn_max_nesting];
    int32_t depth = 0, pos = 0, st = 0, tl = 0;
    bool done = false;
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

// ---- running ------------------------------------------------------------------------------------

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
static inline ps_val bool_val(bool b) { return {b ? 1.0 : 0.0, k_bool}; }

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

// The arithmetic family: *a = a op b. 0, or -1 on a PostScript error.
static int arith_op(int32_t code, ps_val *a, const ps_val *b) {
    if (code == op_idiv || code == op_mod) {
        if (a->kind != k_int || b->kind != k_int || ival(*b) == 0) return -1;
        int64_t x = ival(*a), y = ival(*b);  // 64 bits: INT32_MIN / -1 is defined here
        *a = int_result(code == op_idiv ? x / y : x % y);
        return 0;
    }
    if (!is_num(*a) || !is_num(*b)) return -1;
    double x = a->v, y = b->v;
    switch (code) {
    case op_add: case op_sub: case op_mul:
        if (a->kind == k_int && b->kind == k_int) {
            int64_t i = ival(*a), j = ival(*b);
            *a = int_result(code == op_add ? i + j : code == op_sub ? i - j : i * j);
        } else {
            *a = {code == op_add ? x + y : code == op_sub ? x - y : x * y, k_real};
        }
        return 0;
    case op_div:
        if (y == 0) return -1;
        *a = {x / y, k_real};
        return 0;
    case op_atan: {
        if (x == 0 && y == 0) return -1;
        double d = std::atan2(x, y) * (180.0 / pi);
        *a = {d < 0 ? d + 360.0 : d, k_real};
        return 0;
    }
    default:  // op_exp
        *a = {std::pow(x, y), k_real};
        return 0;
    }
}

// The family of one number: *b = op b.
static int unary_op(int32_t code, ps_val *b) {
    if (!is_num(*b)) return -1;
    double x = b->v;
    bool whole = b->kind == k_int;
    switch (code) {
    case op_abs: case op_neg:
        if (!whole) b->v = code == op_abs ? std::fabs(x) : -x;
        else *b = int_result(code == op_abs ? std::llabs((int64_t)ival(*b)) : -(int64_t)ival(*b));
        return 0;
    case op_ceiling: case op_floor: case op_round: case op_truncate:
        if (!whole)
            b->v = code == op_ceiling ? std::ceil(x) : code == op_floor ? std::floor(x)
                 : code == op_round ? std::floor(x + 0.5) : std::trunc(x);
        return 0;
    case op_cvi: {
        double t = std::trunc(x);
        if (!(t >= INT32_MIN && t <= INT32_MAX)) return -1;
        *b = {t, k_int};
        return 0;
    }
    case op_cvr:
        b->kind = k_real;
        return 0;
    case op_sqrt:
        if (x < 0) return -1;
        *b = {std::sqrt(x), k_real};
        return 0;
    case op_ln: case op_log:
        if (x <= 0) return -1;
        *b = {code == op_ln ? std::log(x) : std::log10(x), k_real};
        return 0;
    default:  // op_sin, op_cos
        *b = {code == op_sin ? sin_deg(x) : cos_deg(x), k_real};
        return 0;
    }
}

// The family of booleans and bits: *a = a op b, or *a = not a (b unused).
static int bits_op(int32_t code, ps_val *a, const ps_val *b) {
    if (code == op_not) {
        if (a->kind == k_real) return -1;
        a->v = a->kind == k_bool ? (a->v != 0 ? 0.0 : 1.0) : (double)~ival(*a);
        return 0;
    }
    if (code == op_bitshift) {
        if (a->kind != k_int || b->kind != k_int) return -1;
        int32_t x = ival(*a), sh = ival(*b), r = 0;
        if (sh >= 32) r = 0;
        else if (sh >= 0) r = (int32_t)((uint32_t)x << sh);  // wraps to 32 bits
        else if (sh > -32) r = x >> -sh;                      // arithmetic on GCC and Clang
        else r = x < 0 ? -1 : 0;
        a->v = (double)r;
        return 0;
    }
    if (a->kind != b->kind || a->kind == k_real) return -1;
    if (a->kind == k_bool) {
        bool x = a->v != 0, y = b->v != 0;
        a->v = (code == op_and ? (x && y) : code == op_or ? (x || y) : (x != y)) ? 1.0 : 0.0;
    } else {
        uint32_t x = (uint32_t)ival(*a), y = (uint32_t)ival(*b);
        uint32_t r = code == op_and ? x & y : code == op_or ? x | y : x ^ y;
        a->v = (double)(int32_t)r;  // two's complement on GCC and Clang
    }
    return 0;
}

// The family of comparisons: *a = a op b, a boolean.
static int compare_op(int32_t code, ps_val *a, const ps_val *b) {
    if (code == op_eq || code == op_ne) {
        bool eq = is_num(*a) == is_num(*b) && a->v == b->v;
        *a = bool_val((code == op_eq) == eq);
        return 0;
    }
    if (!is_num(*a) || !is_num(*b)) return -1;
    double x = a->v, y = b->v;
    *a = bool_val(code == op_ge ? x >= y : code == op_gt ? x > y : code == op_le ? x <= y : x < y);
    return 0;
}

// roll: the top c values turned j places (j values move from the top to the bottom of the c).
static int roll(ps_stack *st) {
    ps_val *s = st->s;
    if (s[st->n - 2].kind != k_int || s[st->n - 1].kind != k_int) return -1;
    int32_t c = ival(s[st->n - 2]), j = ival(s[st->n - 1]);
    st->n -= 2;
    if (c < 0 || c > st->n) return -1;
    if (c == 0) return 0;
    j %= c;
    if (j < 0) j += c;
    ps_val tmp[fn_stack_size];
    ps_val *base = s + st->n - c;
    memcpy(tmp, base + c - j, (size_t)j * sizeof(ps_val));
    memmove(base + j, base, (size_t)(c - j) * sizeof(ps_val));
    memcpy(base, tmp, (size_t)j * sizeof(ps_val));
    return 0;
}

// The stack family: each moves values and the count itself.
static int stack_op(int32_t code, ps_stack *st) {
    ps_val *s = st->s;
    int32_t &n = st->n;
    switch (code) {
    case op_true: case op_false: case op_dup:
        if (n >= fn_stack_size) return -1;
        s[n] = code == op_dup ? s[n - 1] : bool_val(code == op_true);
        n++;
        return 0;
    case op_exch: {
        ps_val t = s[n - 2];
        s[n - 2] = s[n - 1];
        s[n - 1] = t;
        return 0;
    }
    case op_pop:
        n--;
        return 0;
    case op_copy: {
        if (s[n - 1].kind != k_int) return -1;
        int32_t c = ival(s[--n]);
        if (c < 0 || c > n || n + c > fn_stack_size) return -1;
        memcpy(s + n, s + n - c, (size_t)c * sizeof(ps_val));
        n += c;
        return 0;
    }
    case op_index: {
        if (s[n - 1].kind != k_int) return -1;
        int32_t i = ival(s[n - 1]);
        if (i < 0 || i >= n - 1) return -1;
        s[n - 1] = s[n - 2 - i];
        return 0;
    }
    default:  // op_roll
        return roll(st);
    }
}

// Real results must stay finite (exp, div, mul and the others of large operands): 0, or -1 when
// the top of the stack is a real that is not.
static int top_finite(const ps_stack *st) {
    const ps_val *top = st->n > 0 ? &st->s[st->n - 1] : nullptr;
    return top && top->kind == k_real && !std::isfinite(top->v) ? -1 : 0;
}

// One operator (code below op_push_int) on the stack st, its operand count checked first. 0, or -1
// on a PostScript error.
static int run_op(int32_t code, ps_stack *st) {
    const ps_operator &op = s_ops[code];
    if (st->n < op.operands) return -1;
    // The families but the stack's: operands x[0] .. x[operands - 1], the result into x[0].
    ps_val *x = st->s + st->n - op.operands;
    int rc = -1;
    switch (op.family) {
    case fam_arith: rc = arith_op(code, x, x + 1); break;
    case fam_unary: rc = unary_op(code, x); break;
    case fam_bits: rc = bits_op(code, x, x + 1); break;
    case fam_compare: rc = compare_op(code, x, x + 1); break;
    case fam_stack: return stack_op(code, st) ? -1 : top_finite(st);
    default: return -1;  // if and ifelse are compiled into jumps
    }
    st->n -= op.operands - 1;  // on failure too: the run stops
    // Booleans, bits and comparisons give no real.
    return rc ? -1 : op.family <= fam_unary ? top_finite(st) : 0;
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
        if ((uint32_t)op.code < (uint32_t)op_push_int) {  // an operator of s_ops
            if (run_op(op.code, &st)) return -1;
            pc++;
            continue;
        }
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
            return -1;
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
