// pdfcore/lexer.cpp - lexical helpers over raw PDF bytes: whitespace, keywords, names, integers,
// object headers, stream lengths and dictionary ends.
#include "pdfcore/pdfcore.h"

#include <cstring>

// PDF whitespace (the PDF standard's six bytes; 0x0B is not one of them).
static inline bool is_pdf_ws(uint8_t c) {
    return c == 0x00 || c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}
// Space in the C library's sense (0x09..0x0D and 0x20), fixed here so no locale decides it.
static inline bool is_space(uint8_t c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }
static inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
// ASCII letters and digits only: bytes of 0x80 and above never extend a word.
static inline bool is_word(uint8_t c) {
    return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
static inline bool is_name_cont(uint8_t c) { return is_word(c) || c == '+' || c == '-' || c == '_'; }

int32_t skip_ws(const uint8_t *data, int32_t pos, int32_t end) {
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
    uint8_t first = (uint8_t)kw[0];
    for (int32_t p = start; p <= last; p++) {
        if (data[p] != first) continue;
        if (kw_at(data, p, len, kw)) return p;
    }
    return -1;
}

int32_t find_name(const uint8_t *data, int32_t len, int32_t start, int32_t end, const char *name) {
    if (end > len) end = len;
    if (start < 0) start = 0;
    int64_t n = (int64_t)strlen(name);
    int64_t last = (int64_t)end - 1 - n;  // last slash position leaving room for the name
    for (int64_t p = start; p <= last; p++) {
        // Skip to the next slash a word at a time; the search is the hot loop of every key lookup.
        const void *slash = memchr(data + p, '/', (size_t)(last - p + 1));
        if (!slash) return -1;
        p = (const uint8_t *)slash - data;
        if (memcmp(data + p + 1, name, (size_t)n) != 0) continue;
        int64_t q = p + 1 + n;
        if (q == end || !is_name_cont(data[q])) return (int32_t)p;
    }
    return -1;
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

int32_t parse_int_at(const uint8_t *data, int32_t len, int32_t *pos) {
    int32_t p = *pos;
    if (p < 0) return -1;
    p = skip_ws(data, p, len);
    if (p >= len) return -1;
    bool neg = false;
    if (data[p] == '-') {
        neg = true;
        if (++p >= len) return -1;
    }
    if (!is_digit(data[p])) return -1;
    uint32_t v = read_digits(data, len, &p);
    *pos = p;
    return signed_value(v, neg);
}

int32_t read_int_adv(const uint8_t *data, int32_t len, int32_t *pos) {
    int32_t p = *pos;
    if (p < 0 || p >= len) return -1;
    p = skip_ws(data, p, len);
    if (p >= len) {
        *pos = len;
        return -1;
    }
    bool neg = false;
    if (data[p] == '-' || data[p] == '+') {
        neg = data[p] == '-';
        if (++p >= len) {
            *pos = p;
            return -1;
        }
    }
    if (!is_digit(data[p])) {
        *pos = data[p] == 'R' ? p : p + 1;  // stay on an 'R' so the caller sees the reference
        return -1;
    }
    uint32_t v = read_digits(data, len, &p);
    *pos = p;
    return signed_value(v, neg);
}

int32_t read_num_adv(const uint8_t *data, int32_t end, int32_t *pos) {
    int32_t p = *pos;
    if (p < 0 || p >= end) return -1;
    p = skip_ws(data, p, end);
    if (p >= end) {
        *pos = end;
        return -1;
    }
    bool neg = false;
    if (data[p] == '-' || data[p] == '+') {
        neg = data[p] == '-';
        if (++p >= end) {
            *pos = end < INT32_MAX ? end + 1 : end;
            return -1;
        }
    }
    if (!is_digit(data[p])) {
        *pos = p + 1;
        return -1;
    }
    uint32_t v = read_digits(data, end, &p);
    *pos = p;
    return signed_value(v, neg);
}

int32_t parse_obj_head(const uint8_t *data, int32_t pos, int32_t *num, int32_t *gen) {
    int32_t i = pos - 1;
    while (i > 0 && is_space(data[i])) i--;
    if (i <= 0 || !is_digit(data[i])) return -1;
    int32_t g_end = i + 1;
    while (i >= 0 && is_digit(data[i])) i--;
    if (i < 0) return -1;  // the generation reaches the start: no room for the number
    int32_t g_start = i + 1;
    if (!is_space(data[i])) return -1;
    while (i >= 0 && is_space(data[i])) i--;
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
static int length_value(const uint8_t *data, int32_t len, int32_t p, int32_t end, int32_t *length,
                        int32_t *length_ref) {
    int32_t i = p + 8;  // the byte right after "/Length" is not examined
    if (i >= end) return 1;
    i = skip_ws(data, i, end);
    if (i >= end) return 1;
    uint8_t c = data[i];
    if (c == '[') {
        int32_t last = -1;
        int32_t k = i + 1;
        while (k < end && data[k] != ']') {
            int32_t kk = k;
            int32_t v = parse_int_at(data, end, &kk);
            if (v >= 0) last = v;
            k = kk > k ? kk : k + 1;
        }
        if (last < 0) return 0;
        *length = last;
        return 1;
    }
    if (c != '-' && !is_digit(c)) return 0;
    int32_t q = i;
    int32_t v = parse_int_at(data, len, &q);  // bounded by len, not end
    if (v < 0) return 0;
    int32_t r = skip_ws(data, q, end);
    if (r >= end || !is_digit(data[r])) {
        *length = v;
        return 1;
    }
    (void)parse_int_at(data, len, &r);  // the generation
    r = skip_ws(data, r, end);
    if (r < end && data[r] == 'R' && !(r + 1 < end && is_word(data[r + 1]))) *length_ref = v;
    else *length = v;
    return 1;
}

void parse_length(const uint8_t *data, int32_t len, int32_t start, int32_t end, int32_t *length,
                  int32_t *length_ref) {
    *length = -1;
    *length_ref = -1;
    if (end > len) end = len;
    for (int32_t p = find_name(data, len, start, end, "Length"); p >= 0;
         p = find_name(data, len, p + 1, end, "Length")) {
        if (length_value(data, len, p, end, length, length_ref)) return;
    }
}

int32_t find_dict_close(const uint8_t *data, int32_t pos, int32_t end) {
    if (pos < 0) return -1;
    int32_t depth = 0;
    int32_t i = pos;
    while (i < end) {
        uint8_t c = data[i];
        if (c == '<' || c == '>') {
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
            // A literal string is skipped whole: '>>' inside it closes nothing.
            if (i + 1 >= end) return -1;
            int32_t nest = 1;
            i++;
            while (i < end && nest > 0) {
                uint8_t s = data[i];
                if (s == '\\') {
                    i += 2;
                    continue;
                }
                if (s == '(') nest++;
                else if (s == ')') nest--;
                i++;
            }
            if (nest > 0) return -1;
        } else {
            i++;
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
