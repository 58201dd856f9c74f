// codec/chars.h - the library's byte classes and the two lexical rules every reader of PDF text
// shares (where a comment ends, where a number, keyword or name ends), the same under any locale.
// The only definitions of them: the ASCII filters, the PDF core and the function module include
// this header, which includes nothing of the library.
#ifndef QV_CODEC_CHARS_H
#define QV_CODEC_CHARS_H
#include <cstdint>

// PDF whitespace, the token separator: 00 09 0A 0C 0D 20 (0x0B is none).
inline bool is_pdf_ws(uint8_t c) {
    return c == 0x00 || c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}
// The C library's isspace under the "C" locale: 09..0D and 20 (0x0B yes, 0x00 no). The readers of
// fixed-layout text use it where the first version of the design read with text-mode tools: the
// `N G obj` header read backwards, cross-reference table entries, the bytes before `endstream`,
// the end of a key name in an XObject dictionary, and the ASCII filters. Their answers depend on
// it, so it stays a class of its own.
inline bool is_c_space(uint8_t c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }
inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
// ASCII letters and digits only: bytes of 0x80 and above never extend a word or keyword.
inline bool is_word(uint8_t c) {
    return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
// Bytes that make a key name longer for find_name: /Type is not found in /Type_2 or /Types.
inline bool is_name_cont(uint8_t c) { return is_word(c) || c == '+' || c == '-' || c == '_'; }
// PDF delimiters: a name token ends at one of them, as at whitespace.
inline bool is_delim(uint8_t c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '/' || c == '%';
}
// Regular bytes: neither whitespace nor a delimiter.
inline bool is_regular(uint8_t c) { return !is_pdf_ws(c) && !is_delim(c); }
// The bytes a dictionary scan (find_dict_close) acts on: '<', '>', '(' and '%'; it steps over any
// other byte. One range and bit test, as the scan runs over every byte of every dictionary.
inline bool is_dict_scan_stop(uint8_t c) {
    const uint32_t stops = 1u << ('<' - '%') | 1u << ('>' - '%') | 1u << ('(' - '%') | 1u;
    uint32_t k = (uint32_t)c - (uint32_t)'%';
    return k <= (uint32_t)('>' - '%') && (stops >> k & 1u);
}
// Value of a hexadecimal digit, -1 for any other byte.
inline int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// pos at a '%' that starts a comment: the position of the end of line (CR or LF) that ends it, or
// end. A comment runs from '%' to the end of its line, outside strings and stream data, and
// separates tokens as whitespace does.
inline int32_t comment_end(const uint8_t *data, int32_t pos, int32_t end) {
    while (pos < end && data[pos] != '\n' && data[pos] != '\r') pos++;
    return pos;
}
// The end of the token of regular bytes at pos (a number, a keyword, the bytes of a name after its
// '/'): the first position at or after pos that holds whitespace or a delimiter, or end. The one
// token-end rule: "1e5", "-1.5.2" and "12abc" are one token each, whatever they read as.
inline int32_t token_end(const uint8_t *data, int32_t pos, int32_t end) {
    while (pos < end && is_regular(data[pos])) pos++;
    return pos;
}

#endif
