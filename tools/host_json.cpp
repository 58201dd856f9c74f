// tools/host_json.cpp - JSON strings out, flat objects in.
#include "host_json.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool is_cont(uint8_t b) { return (b & 0xC0u) == 0x80u; }

size_t host_utf8_len(const uint8_t *s, size_t n) {
    uint8_t b = s[0];
    if (b < 0x80u) return 1;
    size_t len = 0;
    uint8_t lo = 0x80u, hi = 0xBFu;  // the range of the second byte
    if (b >= 0xC2u && b <= 0xDFu) len = 2;
    else if (b >= 0xE0u && b <= 0xEFu) {
        len = 3;
        if (b == 0xE0u) lo = 0xA0u;
        if (b == 0xEDu) hi = 0x9Fu;
    } else if (b >= 0xF0u && b <= 0xF4u) {
        len = 4;
        if (b == 0xF0u) lo = 0x90u;
        if (b == 0xF4u) hi = 0x8Fu;
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < len; i++)
        if (!is_cont(s[i])) return 0;
    return len;
}

static const char *short_escape(uint8_t b) {
    switch (b) {
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\f': return "\\f";
    case '\r': return "\\r";
    default: return nullptr;
    }
}

static void put_u16(std::string &out, unsigned v) {
    char buf[8];
    snprintf(buf, sizeof buf, "\\u%04x", v & 0xFFFFu);
    out += buf;
}

void host_json_string(std::string &out, const char *s, size_t n) {
    const uint8_t *u = (const uint8_t *)s;
    out += '"';
    size_t i = 0;
    while (i < n) {
        uint8_t b = u[i];
        if (b == '"' || b == '\\') {
            out += '\\';
            out += (char)b;
            i++;
        } else if (const char *e = short_escape(b)) {
            out += e;
            i++;
        } else if (b < 0x20u) {
            put_u16(out, b);
            i++;
        } else if (size_t len = host_utf8_len(u + i, n - i)) {
            out.append(s + i, len);
            i += len;
        } else {
            put_u16(out, 0xDC00u + b);
            i++;
        }
    }
    out += '"';
}

static void skip_ws(const std::string &t, size_t *pos) {
    while (*pos < t.size() && (t[*pos] == ' ' || t[*pos] == '\t' || t[*pos] == '\n' || t[*pos] == '\r'))
        (*pos)++;
}

static int hex4(const std::string &t, size_t pos, unsigned *v) {
    if (t.size() < 4 || pos > t.size() - 4) return -1;
    *v = 0;
    for (size_t i = 0; i < 4; i++) {
        char c = t[pos + i];
        unsigned d;
        if (c >= '0' && c <= '9') d = (unsigned)(c - '0');
        else if (c >= 'a' && c <= 'f') d = (unsigned)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = (unsigned)(c - 'A' + 10);
        else return -1;
        *v = *v * 16u + d;
    }
    return 0;
}

static void put_utf8(std::string &out, unsigned cp) {
    if (cp < 0x80u) {
        out += (char)cp;
    } else if (cp < 0x800u) {
        out += (char)(0xC0u | (cp >> 6));
        out += (char)(0x80u | (cp & 0x3Fu));
    } else if (cp < 0x10000u) {
        out += (char)(0xE0u | (cp >> 12));
        out += (char)(0x80u | ((cp >> 6) & 0x3Fu));
        out += (char)(0x80u | (cp & 0x3Fu));
    } else {
        out += (char)(0xF0u | (cp >> 18));
        out += (char)(0x80u | ((cp >> 12) & 0x3Fu));
        out += (char)(0x80u | ((cp >> 6) & 0x3Fu));
        out += (char)(0x80u | (cp & 0x3Fu));
    }
}

// A \u escape at t[*pos] (just after the backslash and 'u'), a surrogate pair taken together.
static int read_u_escape(const std::string &t, size_t *pos, std::string &out) {
    unsigned v;
    if (hex4(t, *pos, &v) != 0) return -1;
    *pos += 4;
    if (v >= 0xD800u && v <= 0xDBFFu && *pos + 1 < t.size() && t[*pos] == '\\' && t[*pos + 1] == 'u') {
        unsigned lo;
        if (hex4(t, *pos + 2, &lo) == 0 && lo >= 0xDC00u && lo <= 0xDFFFu) {
            *pos += 6;
            put_utf8(out, 0x10000u + ((v - 0xD800u) << 10) + (lo - 0xDC00u));
            return 0;
        }
    }
    if (v >= 0xDC80u && v <= 0xDCFFu) out += (char)(v - 0xDC00u);  // an escaped byte of a file name
    else put_utf8(out, v);
    return 0;
}

// A string at t[*pos] (the opening quote); its bytes into out.
static int read_string(const std::string &t, size_t *pos, std::string &out) {
    out.clear();
    if (*pos >= t.size() || t[*pos] != '"') return -1;
    (*pos)++;
    while (*pos < t.size()) {
        char c = t[(*pos)++];
        if (c == '"') return 0;
        if ((uint8_t)c < 0x20u) return -1;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (*pos >= t.size()) return -1;
        char e = t[(*pos)++];
        switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u':
            if (read_u_escape(t, pos, out) != 0) return -1;
            break;
        default: return -1;
        }
    }
    return -1;  // no closing quote
}

// A number or a word (true, false, null) at t[*pos].
static int read_scalar(const std::string &t, size_t *pos, host_json_field &f) {
    size_t start = *pos;
    while (*pos < t.size() && strchr("+-.0123456789eEtrufalsn", t[*pos]) && t[*pos] != '\0') (*pos)++;
    f.text.assign(t, start, *pos - start);
    if (f.text == "true" || f.text == "false" || f.text == "null") return 0;
    if (f.text.empty()) return -1;
    char *end = nullptr;
    f.number = strtod(f.text.c_str(), &end);
    return *end == '\0' ? 0 : -1;
}

int host_json_object(const std::string &text, size_t *pos, std::vector<host_json_field> &fields) {
    fields.clear();
    skip_ws(text, pos);
    if (*pos >= text.size() || text[*pos] != '{') return -1;
    (*pos)++;
    skip_ws(text, pos);
    if (*pos < text.size() && text[*pos] == '}') {
        (*pos)++;
        return 0;
    }
    for (;;) {
        host_json_field f;
        f.is_string = false;
        f.number = 0;
        skip_ws(text, pos);
        if (read_string(text, pos, f.key) != 0) return -1;
        skip_ws(text, pos);
        if (*pos >= text.size() || text[*pos] != ':') return -1;
        (*pos)++;
        skip_ws(text, pos);
        if (*pos < text.size() && text[*pos] == '"') {
            f.is_string = true;
            if (read_string(text, pos, f.text) != 0) return -1;
        } else if (read_scalar(text, pos, f) != 0) {
            return -1;
        }
        fields.push_back(f);
        skip_ws(text, pos);
        if (*pos >= text.size()) return -1;
        char c = text[(*pos)++];
        if (c == '}') return 0;
        if (c != ',') return -1;
    }
}

int host_json_array(const std::string &text, std::vector<std::vector<host_json_field>> &objects) {
    objects.clear();
    size_t pos = 0;
    skip_ws(text, &pos);
    if (pos >= text.size() || text[pos] != '[') return -1;
    pos++;
    skip_ws(text, &pos);
    if (pos < text.size() && text[pos] == ']') return 0;
    for (;;) {
        objects.emplace_back();
        if (host_json_object(text, &pos, objects.back()) != 0) return -1;
        skip_ws(text, &pos);
        if (pos >= text.size()) return -1;
        char c = text[pos++];
        if (c == ']') return 0;
        if (c != ',') return -1;
    }
}

const host_json_field *host_json_find(const std::vector<host_json_field> &fields, const char *key) {
    for (const host_json_field &f : fields)
        if (f.key == key) return &f;
    return nullptr;
}
