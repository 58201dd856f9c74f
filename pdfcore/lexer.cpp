// pdfcore/lexer.cpp - lexical helpers over raw PDF bytes: whitespace, keywords, names, integers,
// object headers, stream lengths and dictionary ends.
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>

int32_t skip_ws(const uint8_t *data, int32_t pos, int32_t end) {
    if (pos < 0) return pos;
    while (pos < end) {
        if (is_pdf_ws(data[pos])) pos++;
        else if (data[pos] == '%') pos = comment_end(data, pos, end);
        else break;
    }
    return pos;
}

int32_t skip_white(const uint8_t *data, int32_t pos, int32_t end) {
    if (pos < 0) return pos;
    while (pos < end && is_pdf_ws(data[pos])) pos++;
    return pos;
}

int32_t kw_at(const uint8_t *data, int32_t pos, int32_t len, const char *kw) {
    if (pos < 0 || pos >= len || data[pos] != (uint8_t)kw[0]) return 0;
    size_t n = strlen(kw);
    if ((int64_t)n > (int64_t)len - pos) return 0;
    if (memcmp(data + pos, kw, n) != 0) return 0;
    if (pos > 0 && is_word(data[pos - 1])) return 0;
    int64_t after = (int64_t)pos + (int64_t)n;
    if (after == len) return 1;
    return is_word(data[after]) ? 0 : 1;
}

int32_t find_kw(const uint8_t *data, int32_t len, int32_t start, const char *kw) {
    size_t n = strlen(kw);
    if (n == 0 || (int64_t)n > (int64_t)len) return -1;
    if (start < 0) start = 0;
    int32_t last = len - (int32_t)n;  // last position where kw fits
    // Skip with memchr to the keyword's least common letter (in PDF text and in binary data),
    // then test the position where the keyword would start; positions come in increasing order.
    static const char rarity[] = "jqxzkvbpywgfmuhcldrnsitoae";  // rarest first
    int32_t k = 0, best = (int32_t)sizeof rarity;
    for (int32_t i = 0; i < (int32_t)n; i++) {
        const char *r = strchr(rarity, kw[i]);
        int32_t rank = r ? (int32_t)(r - rarity) : -1;  // not a lower-case letter: rarer still
        if (rank < best) {
            best = rank;
            k = i;
        }
    }
    const uint8_t key = (uint8_t)kw[k];
    for (int32_t p = start; p <= last; p++) {
        const void *hit = memchr(data + p + k, key, (size_t)(last - p + 1));
        if (!hit) return -1;
        p = (int32_t)((const uint8_t *)hit - data) - k;
        if (kw_at(data, p, len, kw)) return p;
    }
    return -1;
}

// First /name token in [start, last + 1 + n): the plain search, skipping to slashes with memchr.
static int32_t scan_name(const uint8_t *data, int64_t start, int64_t end, const char *name, int64_t n) {
    int64_t last = end - 1 - n;  // last slash position leaving room for the name
    for (int64_t p = start; p <= last; p++) {
        const void *slash = memchr(data + p, '/', (size_t)(last - p + 1));
        if (!slash) return -1;
        p = (const uint8_t *)slash - data;
        if (memcmp(data + p + 1, name, (size_t)n) != 0) continue;
        int64_t q = p + 1 + n;
        if (q == end || !is_name_cont(data[q])) return (int32_t)p;
    }
    return -1;
}

int32_t find_name(const uint8_t *data, int32_t len, int32_t start, int32_t end, const char *name) {
    if (end > len) end = len;
    if (start < 0) start = 0;
    return scan_name(data, start, end, name, (int64_t)strlen(name));
}

// Digits from p (bounded by len) accumulated with 32-bit wrap-around; *p moves past them.
static uint32_t read_digits(const uint8_t *data, int32_t len, int32_t *p) {
    uint32_t v = 0;
    int32_t i = *p;
    while (i < len && is_digit(data[i])) v = v * 10u + (uint32_t)(data[i++] - '0');
    *p = i;
    return v;
}

static int32_t signed_value(uint32_t v, bool neg) { return (int32_t)(neg ? 0u - v : v); }

// Where an integer's digits start: after whitespace (comments skipped) and an optional '-' (*neg);
// -1 when no digit is there.
static int32_t int_start(const uint8_t *data, int32_t len, int32_t p, bool *neg) {
    *neg = false;
    if (p < 0) return -1;
    p = skip_ws(data, p, len);
    if (p >= len) return -1;
    if (data[p] == '-') {
        *neg = true;
        if (++p >= len) return -1;
    }
    return is_digit(data[p]) ? p : -1;
}

int32_t parse_int_at(const uint8_t *data, int32_t len, int32_t *pos) {
    bool neg = false;
    int32_t p = int_start(data, len, *pos, &neg);
    if (p < 0) return -1;
    uint32_t v = read_digits(data, len, &p);
    *pos = p;
    return signed_value(v, neg);
}

int64_t parse_int64_at(const uint8_t *data, int32_t len, int32_t *pos) {
    bool neg = false;
    int32_t p = int_start(data, len, *pos, &neg);
    if (p < 0) return -1;
    int64_t v = 0;
    for (; p < len && is_digit(data[p]); p++)
        v = v >= int64_saturated / 10 ? int64_saturated : v * 10 + (data[p] - '0');
    *pos = p;
    return neg ? -v : v;
}

// How an advancing read of a signed integer ended.
enum signed_read { read_done, read_at_end, read_sign_last, read_no_digit };

// Integer after whitespace and an optional '+' or '-' in [*p, end): read_done with *v and *p past
// the digits; else *p is end (only whitespace), the position after a sign that is the last byte,
// or the byte where a digit was expected.
static signed_read read_signed(const uint8_t *data, int32_t end, int32_t *p, int32_t *v) {
    int32_t q = skip_ws(data, *p, end);
    if (q >= end) {
        *p = end;
        return read_at_end;
    }
    bool neg = false;
    if (data[q] == '-' || data[q] == '+') {
        neg = data[q] == '-';
        if (++q >= end) {
            *p = q;
            return read_sign_last;
        }
    }
    if (!is_digit(data[q])) {
        *p = q;
        return read_no_digit;
    }
    uint32_t u = read_digits(data, end, &q);
    *p = q;
    *v = signed_value(u, neg);
    return read_done;
}

int32_t read_int_adv(const uint8_t *data, int32_t len, int32_t *pos) {
    int32_t p = *pos, v = -1;
    if (p < 0 || p >= len) return -1;
    signed_read r = read_signed(data, len, &p, &v);
    // Stay on an 'R' so the caller sees the reference; step over any other byte.
    if (r == read_no_digit && data[p] != 'R') p++;
    *pos = p;
    return r == read_done ? v : -1;
}

int32_t read_num_adv(const uint8_t *data, int32_t end, int32_t *pos) {
    int32_t p = *pos, v = -1;
    if (p < 0 || p >= end) return -1;
    signed_read r = read_signed(data, end, &p, &v);
    if (r == read_no_digit) p++;
    if (r == read_sign_last) p = end < INT32_MAX ? end + 1 : end;
    *pos = p;
    return r == read_done ? v : -1;
}

// Reading an object header backwards: from i, the last position at or before i that is neither a
// space byte nor inside a comment that ends a line, or -1 when none is left. A comment is looked for
// only where the plain reading fails (no digit after the spaces), an end of line was stepped over
// and the line before it (at most max_head_comment bytes) holds a '%': the comment starts at the
// line's first one. So every header read without comments reads as before.
static int32_t back_over_space(const uint8_t *data, int32_t i) {
    for (;;) {
        bool eol = false;
        while (i >= 0 && is_c_space(data[i])) {
            eol = eol || data[i] == '\n' || data[i] == '\r';
            i--;
        }
        if (i < 0 || !eol || is_digit(data[i])) return i;
        int32_t line = i;
        while (line > 0 && data[line - 1] != '\n' && data[line - 1] != '\r') {
            if (i - line >= max_head_comment) return i;  // a long line holds no header comment
            line--;
        }
        const void *pct = memchr(data + line, '%', (size_t)(i - line + 1));
        if (!pct) return i;
        i = (int32_t)((const uint8_t *)pct - data) - 1;
    }
}

int32_t parse_obj_head(const uint8_t *data, int32_t pos, int32_t *num, int32_t *gen) {
    int32_t i = back_over_space(data, pos - 1);
    if (i <= 0 || !is_digit(data[i])) return -1;
    int32_t g_end = i + 1;
    while (i >= 0 && is_digit(data[i])) i--;
    if (i < 0) return -1;  // the generation reaches the start: no room for the number
    int32_t g_start = i + 1;
    if (!is_c_space(data[i])) return -1;
    i = back_over_space(data, i);
    if (i < 0 || !is_digit(data[i])) return -1;
    int32_t n_end = i + 1;
    while (i >= 0 && is_digit(data[i])) i--;
    int32_t q = i + 1;
    if (q > 0 && is_word(data[q - 1])) return -1;  // `x12 0 obj` is no header
    int32_t p = q;
    int32_t n = (int32_t)read_digits(data, n_end, &p);
    if (n <= 0) return -1;
    p = g_start;
    int32_t g = (int32_t)read_digits(data, g_end, &p);
    if (num) *num = n;
    if (gen) *gen = g;
    return q;
}

// Reads the value of one /Length occurrence whose name starts at p. 1: done (outputs set or the
// operation must stop), 0: try the next occurrence.
static int length_value(const uint8_t *data, int32_t len, int32_t p, int32_t end, int64_t *length,
                        int32_t *length_ref) {
    int32_t i = p + 8;  // the byte right after "/Length" is not examined
    if (i >= end) return 1;
    i = skip_ws(data, i, end);
    if (i >= end) return 1;
    uint8_t c = data[i];
    if (c == '[') {
        int64_t last = -1;
        int32_t k = i + 1;
        for (;;) {
            k = skip_ws(data, k, end);  // a comment's digits are no value
            if (k >= end || data[k] == ']') break;
            int32_t kk = k;
            int64_t v = parse_int64_at(data, end, &kk);
            if (v >= 0) last = v;
            k = kk > k ? kk : k + 1;
        }
        if (last < 0) return 0;
        *length = last;
        return 1;
    }
    if (c != '-' && !is_digit(c)) return 0;
    int32_t q = i;
    int64_t v = parse_int64_at(data, len, &q);  // bounded by len, not end
    if (v < 0) return 0;
    int32_t r = skip_ws(data, q, end);
    if (r >= end || !is_digit(data[r])) {
        *length = v;
        return 1;
    }
    (void)parse_int_at(data, len, &r);  // the generation
    r = skip_ws(data, r, end);
    if (r < end && data[r] == 'R' && !(r + 1 < end && is_word(data[r + 1]))) {
        int32_t n = i;
        int32_t num = parse_int_at(data, len, &n);  // an object number: 32 bits, as everywhere
        if (num < 0) return 0;
        *length_ref = num;
    } else {
        *length = v;
    }
    return 1;
}

void parse_length(const uint8_t *data, int32_t len, int32_t start, int32_t end, int64_t *length,
                  int32_t *length_ref) {
    *length = -1;
    *length_ref = -1;
    if (end > len) end = len;
    for (int32_t p = find_name(data, len, start, end, "Length"); p >= 0;
         p = find_name(data, len, p + 1, end, "Length")) {
        if (length_value(data, len, p, end, length, length_ref)) return;
    }
}

// The end of the literal string opened at pos (pdfcore.h).
int32_t pdfcore_string_end(const uint8_t *t, int32_t pos, int32_t end) {
    int32_t nest = 1;
    int32_t i = pos + 1;
    while (i < end) {
        uint8_t c = t[i];
        if (c == '\\') {
            i += 2;
            continue;
        }
        if (c == '(') nest++;
        else if (c == ')' && --nest == 0) return i + 1;
        i++;
    }
    return -1;
}

int32_t find_dict_close(const uint8_t *data, int32_t pos, int32_t end) {
    if (pos < 0) return -1;
    int32_t depth = 0;
    int32_t i = pos;
    while (i < end) {
        uint8_t c = data[i];
        if (!is_dict_scan_stop(c)) {
            i++;
        } else if (c == '<' || c == '>') {
            if (i + 1 >= end) return -1;
            if (data[i + 1] != c) {
                i++;
                continue;
            }
            if (c == '<') {
                depth++;
            } else if (--depth == 0) {
                return i;
            }
            i += 2;
        } else if (c == '(') {
            i = pdfcore_string_end(data, i, end);  // '>>' inside a literal string closes nothing
            if (i < 0) return -1;
        } else {
            i = comment_end(data, i, end);  // '%': nor does one inside a comment
        }
    }
    return -1;
}

int32_t dict_stream_kw(const uint8_t *data, int32_t len, int32_t pos) {
    int32_t c = find_dict_close(data, pos, len);
    if (c < 0) return -1;
    int32_t s = skip_ws(data, c + 2, len);
    return kw_at(data, s, len, "stream") ? s : -1;
}
