// tools/host_json.h - the command-line host's JSON: strings written for the batch report, and flat
// objects read back (the report's lines, the library's image listing).
#ifndef QV_TOOLS_HOST_JSON_H
#define QV_TOOLS_HOST_JSON_H
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One member of a flat object. A string value is held as bytes (see host_json_string); a number as
// its text and as a double; true, false and null as their words.
struct host_json_field {
    std::string key;
    std::string text;    // the string's bytes, the number's text, or true/false/null
    bool is_string;
    double number;       // 0 unless the value is a number
};

// Appends s as a JSON string, quotes included, escaped as Python's json.dumps(ensure_ascii=False)
// escapes: valid UTF-8 is copied; '"', '\' and control characters are escaped; each byte that is not part of valid UTF-8 (file names are bytes) is
// written as \udcXX, the lone surrogate that Python's os.fsdecode gives it, so
// os.fsencode(json.loads(...)) gives back the original bytes.
void host_json_string(std::string &out, const char *s, size_t n);

// Reads one object whose values are strings, numbers, true, false or null, starting at text[*pos]
// (white space before it allowed); *pos ends just after the closing brace. \uXXXX escapes become
// UTF-8, a lone \udc80 to \udcff becomes the byte it stands for (the inverse of host_json_string).
// 0, or -1 when the text is not such an object (nested values included); fields then holds the
// members read so far.
int host_json_object(const std::string &text, size_t *pos, std::vector<host_json_field> &fields);

// Reads an array of such objects (the library's image listing) from the start of text; objects
// holds one field list per element. 0, or -1 when the text is not such an array.
int host_json_array(const std::string &text, std::vector<std::vector<host_json_field>> &objects);

// The field named key, or nullptr.
const host_json_field *host_json_find(const std::vector<host_json_field> &fields, const char *key);

// Length of the valid UTF-8 sequence that starts s (n > 0 bytes left): 1 to 4, or 0 when the bytes
// are no such sequence (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF).
size_t host_utf8_len(const uint8_t *s, size_t n);

#endif
