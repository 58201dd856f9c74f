// pdfcore/tokens.cpp - the token reader of content streams (and of inline image dictionaries).
#include "pdfcore/pdfcore.h"

#include <cstring>

// 1 when t[start, end) reads as a number: signs, digits and points, at least one digit.
static bool is_number(const uint8_t *t, int32_t start, int32_t end) {
    bool digit = false;
    for (int32_t i = start; i < end; i++) {
        if (is_digit(t[i])) digit = true;
        else if (t[i] != '+' && t[i] != '-' && t[i] != '.') return false;
    }
    return digit;
}

int pdfcore_next_token(const uint8_t *t, int32_t end, int32_t *pos, pdfcore_token *tok) {
    int32_t p = skip_ws(t, *pos < 0 ? 0 : *pos, end);
    if (p >= end) {
        *tok = pdfcore_token{tok_end, end, end};
        *pos = end;
        return 0;
    }
    int32_t kind = tok_other, e = p + 1;
    switch (t[p]) {
    case '/':
        kind = tok_name;
        e = token_end(t, p + 1, end);
        break;
    case '(':
        kind = tok_string;
        e = pdfcore_string_end(t, p, end);
        if (e < 0) e = end;
        break;
    case '<':
        if (p + 1 < end && t[p + 1] == '<') {
            kind = tok_dict_open;
            e = p + 2;
            break;
        }
        kind = tok_hex;
        for (e = p + 1; e < end && t[e] != '>';) e++;
        if (e < end) e++;
        break;
    case '>':
        if (p + 1 < end && t[p + 1] == '>') {
            kind = tok_dict_close;
            e = p + 2;
        }
        break;
    case '[': kind = tok_array_open; break;
    case ']': kind = tok_array_close; break;
    case ')': case '{': case '}': break;  // delimiters that open nothing here
    default:
        e = token_end(t, p, end);
        kind = is_number(t, p, e) ? tok_number : tok_word;
    }
    *tok = pdfcore_token{kind, p, e};
    *pos = e;
    return 1;
}

int pdfcore_token_is(const uint8_t *t, const pdfcore_token *tok, const char *word) {
    size_t n = strlen(word);
    return tok->end - tok->start == (int32_t)n && memcmp(t + tok->start, word, n) == 0;
}

