// pdfcore/pdfcore.h - the PDF core: loads a PDF file into an object index built by scanning, with
// its page list, and reads object values, streams, page content and resource dictionaries from it.
//
// The core reads PDF as text: there is no object parser. Objects are found by scanning the file for
// `N G obj` headers; every question about an object is a search for a /Name inside the object's
// text span, followed by one of the value readers below. Comments (`%` to the end of the line,
// outside strings and stream data) count as whitespace wherever the readers step between tokens.
//
// The file is never held whole and never mapped: the index is built by a scan that reads it through
// a bounded window (scan_file_index, pdfcore/file.h), and each object's text (its dictionary or
// value, never its stream data) is read with pread when first needed and kept for the document's
// life, so a span into it never moves. Stream data is read when it is decoded and released after.
// Object streams are decoded once at the load to learn which objects they hold, and again, kept,
// when one of their objects is first needed. A read that comes back short (the file shrank or
// changed under the reader) is an error of that object: it reads as missing.
//
// Text span of an object: for an object from an object stream (in_objstm), its text in the
// decoded stream. For any other object, the file bytes from dict_off up to stream_kw_off when that
// is positive, else up to endobj_off when that is positive, else up to the end of the file, at
// most obj_text_max bytes from the object's header. An object whose dict_off is -1 and that is not
// from an object stream has no span; nor has an object whose span is empty or cannot be read.
// pdfcore_obj_span is the one place that computes it.
//
// Encryption: a document that the empty user password opens (security.h) has each stream
// decrypted, with the key of the object that holds it, as its data is read (pdfcore_stream_read);
// strings, which stay encrypted in the object text, are read decrypted by pdfcore_read_string.
//
// File positions are int64_t, -1 meaning "none": files of any size. Positions inside one object's
// text or one stream's decoded data, and object numbers, are int32_t, within their named caps;
// byte counts of buffers are uint64_t.
//
// Results of the first part of this header (what the core offers the rest of the library): 1 when
// done or found and 0 when not; a position, number or count, or -1 for none; a pointer or NULL.
// Everything a call keeps lives in the document record (its error text, the object texts read, the
// last decoded stream), so calls on different documents may run on different threads at once.
#ifndef QV_PDFCORE_PDFCORE_H
#define QV_PDFCORE_PDFCORE_H
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "codec/chars.h"
#include "pdfcore/file.h"
#include "pdfcore/security.h"

// ---- constants ----------------------------------------------------------------------------------

const uint64_t buf_first_cap = 1048576;        // first storage of a buf; it then doubles
const int32_t max_obj_num = 8388607;           // higher object numbers never reach the index
const int32_t objstm_max_data = 268435456;     // object stream data above this is given up
const int32_t objstm_max_objects = 100000;     // /N above this is given up
const int32_t objstm_max_obj_len = 1048576;    // an object's text in an object stream: 1..this
const uint64_t objstm_max_decoded = (uint64_t)1 << 28; // an object stream decoding to more is given up
const uint64_t content_max_decoded = (uint64_t)1 << 28; // page content is read up to this many bytes
const int32_t xref_max_sections = 32;          // /Prev chain cap of cross-reference streams
const int32_t err_text_size = 1024;            // a document's error text, including the NUL
const int32_t max_ref_hops = 8;                // references followed in a row for one value
const int32_t max_head_comment = 256;          // longest line looked at for a comment in `N G obj`
const int32_t obj_text_max = 32 << 20;         // an object's text is read up to this many bytes
const uint64_t doc_text_max = (uint64_t)1 << 29; // object texts a document reads in all; past it
                                                 // further objects read as missing
const uint64_t stream_max_stored = (uint64_t)1 << 31; // stream data read whole at most
const int32_t pages_max_kid_room = obj_text_max / 4 + 4096; // kids read from one Kids array

// ---- character classes --------------------------------------------------------------------------
//
// The byte classes, comment_end and token_end (the one rule for where a number, keyword or name
// ends) live in codec/chars.h, included above.

// ---- structs ------------------------------------------------------------------------------------

// Growable byte buffer, always NUL-terminated when data is not null (len + 1 <= cap). All zero is a
// valid empty buffer. First storage 1 MiB, then the capacity doubles.
struct buf {
    uint8_t *data;
    uint64_t len;
    uint64_t cap;
};

// Owner of separately malloc'd blocks released together. All zero is a valid empty arena.
struct arena {
    void **blocks;
    int32_t count;
    int32_t capacity;
};

// One entry of the object index. Positions are file positions; -1: none.
struct pdfcore_obj {
    int32_t num;           // object number, >= 1
    int32_t gen;           // generation (0 for an object from an object stream)
    int64_t head_off;      // first digit of N in `N G obj`
    int64_t dict_off;      // the '<' opening the object's dictionary (or hexadecimal string, which
                           // is never a stream's), -1 when the object is neither
    int64_t stream_kw_off; // the `stream` keyword
    int64_t data_off;      // first byte of stream data
    int64_t data_end;      // one past the last byte of stream data
    int64_t endobj_off;    // the `endobj` keyword ending the object
    int64_t end_off;       // endobj_off + 6
    int64_t stream_len;    // data_end - data_off
    int32_t is_stream;     // 1 for a stream
    int32_t unterminated;  // 1 when no `endstream` followed the data
    int32_t in_objstm;     // 1 for an object taken from an object stream
    // The object's text once read (owned by the document's arena): for a file object the file's
    // bytes from head_off on (pdfcore_obj_span reads them), for an object from an object stream its
    // text there. Null: not read yet; with body_len -1: it could not be read.
    const uint8_t *body;
    int32_t body_len;      // bytes at body (in_objstm: known from the load, before body is read)
    int64_t stm_head_off;  // in_objstm: head_off of the object stream that held it
    int32_t stm_index;     // in_objstm: the object stream in pdfcore_doc.stms
    int32_t stm_off;       // in_objstm: where its text starts in that stream's decoded data
};

// An object stream of the file, kept when the load unpacks it: its entry (containers leave the
// index) and, once one of its objects is needed, its decoded data (owned by the doc's arena).
struct pdfcore_stm {
    pdfcore_obj entry;
    const uint8_t *data;  // null: not decoded yet
    int64_t len;          // -1: it could not be decoded again
};

// Growable array of index entries, stored by value. All zero is empty; 128 entries, then doubling.
// The document load gives a loaded document's index a lookup table, so that obj_find does not scan;
// objvec_push drops it.
struct objvec {
    pdfcore_obj *items;
    int32_t count;
    int32_t capacity;
    int32_t *lookup;     // per number 0..lookup_max: position of its first entry, -1: none; null: none kept
    int32_t lookup_max;  // the largest number in the index when lookup was made
};

// What the cross-reference sections and trailers said. The three arrays are per object number,
// capacity entries each, owned by the record.
struct xref {
    int32_t has_startxref; // 1 when an offset inside the file followed the last `startxref`
    int32_t has_table;     // 1 when the first subsection header of a classic table was accepted
    int64_t startxref;     // that offset, -1: none
    int32_t root;          // object number from /Root, -1: none
    int32_t info;          // object number from /Info of a classic trailer, -1: none
    uint8_t has_header;    // 1 when `%PDF-` was found in the first 1024 bytes
    char version[16];      // text after `%PDF-`, NUL-terminated, empty when none
    int64_t *offsets;      // byte offset of an in-use entry of the first table, -1 otherwise
    int32_t *gens;         // generation of that entry, 0 otherwise
    int32_t *in_use;       // 1 for an in-use entry, 0 otherwise
    int32_t capacity;      // entries of each array
    int32_t first;         // first object number of the first subsection
    int32_t encrypted;     // 1 when an /Encrypt key was seen
    int64_t encrypt_start; // the first dictionary read that holds /Encrypt (the newest trailer, or
    int64_t encrypt_end;   // cross-reference stream dictionary): the file's [start, end); -1: none
};

// One page of the flat page list.
struct pdfcore_page {
    int32_t obj_num;          // the /Page object
    int32_t parent_num;       // the /Pages node whose Kids listed it; -1 when the tree's root is the
                              // page or the list comes from pages_by_type
    int32_t inherited_rotate; // rotation handed down by the ancestors, 0..359
    double x0, y0, x1, y1;    // CropBox, else MediaBox, else 0 0 595 842; as written, x1 > 0, y1 > 0
    int32_t rotate;           // effective rotation, 0..359
};

// The page list in document order; count is the page count. All zero is empty; 64, then doubling.
struct pagevec {
    pdfcore_page *items;
    int32_t count;
    int32_t capacity;
};

// One loaded document. The caller provides the storage cleared to zero; the record owns everything
// it points to until pdfcore_doc_free (the open file too). After a successful load only these
// things in it change: the error text, the object texts and object streams read on demand (into
// the arena and the index entries' body fields), the count of bytes they take and read_failed,
// and the last decoded stream; so one document serves one thread at a time (threads that only
// read stream data through src, whose reads are pread, may run beside it).
struct pdfcore_doc {
    file_source src;     // the file (its descriptor owned), or bytes in memory (borrowed)
    int64_t size;        // the file's size when it was opened
    char *path;          // the name it was opened by, for messages (malloc'd)
    struct xref xref;    // cross-reference and trailer facts
    objvec objs;         // object index, one entry per object number
    pdfcore_stm *stms;   // the object streams unpacked at the load
    int32_t stm_count;
    // The decoded data of stms[index] (objstm_data, which the load installs: packed objects' texts
    // come from the object stream module, which is built on the value readers that read them).
    int (*stm_data)(const pdfcore_doc *doc, int32_t index, const uint8_t **data, int64_t *len);
    struct arena arena;  // object texts and decoded object streams that body pointers point into
    uint64_t text_bytes; // object texts read so far (at most doc_text_max)
    int32_t read_failed; // 1 once a read came back short: the file changed under the reader
    pagevec pages;       // flat page list
    int32_t catalog;     // catalog object number, -1 before it is known
    int32_t info;        // Info dictionary object number when it is in the index, else -1
    int32_t max_num;     // largest object number in the index, >= 0
    int32_t loaded;      // 1 after a successful load
    buf decoded;         // the last decoded result of pdfcore_decoded_stream
    int32_t encrypted;   // 1: opened with the empty user password; streams decrypt as they are read
    int32_t encrypt_num; // the object holding the /Encrypt dictionary (its strings are clear), -1: none
    pdfcore_security security; // the security handler's state when encrypted
    char error[err_text_size]; // the message of the last failure, or ""
};

// The bytes of one value or of one object's text: text[start, end) and the object whose text they
// are (the owner of the strings in them, -1 when not known).
struct pdfcore_span {
    const uint8_t *text;
    int32_t start;
    int32_t end;
    int32_t obj_num;
};

// ---- what the core offers: documents ------------------------------------------------------------

// Loads the file at path into *doc (cleared first; must not hold a document). 1: loaded. 0: failed,
// message in pdfcore_last_error(doc). Call pdfcore_doc_free(doc) after either result. The file is
// opened without blocking; anything but a regular file (a FIFO, a device, a directory) is refused
// with "not a regular file: PATH" before it is read. Other messages about the file: "cannot open
// PATH", "empty input file: PATH", "read error on PATH" (a read came back short or failed: the
// file shrank or changed while it was loaded). Files of any size.
int pdfcore_load(const char *path, pdfcore_doc *doc);
// The same from the bytes [0, len) in memory, which must outlive the document (tests and fuzzing);
// name stands for the path in messages.
int pdfcore_load_memory(const uint8_t *bytes, int64_t len, const char *name, pdfcore_doc *doc);
// Releases everything doc owns and clears it to zero, the error text too; harmless on a cleared
// record and twice.
void pdfcore_doc_free(pdfcore_doc *doc);
// The document's error text: the message of the last failure, or "". A load starts it empty; no
// successful operation clears it.
const char *pdfcore_last_error(const pdfcore_doc *doc);
// Write the document's error text, printf-style, cut to 1023 characters.
void pdfcore_set_error(pdfcore_doc *doc, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void pdfcore_vserror(pdfcore_doc *doc, const char *fmt, va_list args);

// First index entry numbered n (lowest position), or NULL. With a lookup table, a table read.
pdfcore_obj *obj_find(const objvec *vec, int32_t n);
// 1 and *s = the text span of o (see above; obj_num = o->num), or 0 when o is null or has none.
int pdfcore_obj_span(const pdfcore_doc *doc, const pdfcore_obj *o, pdfcore_span *s);
// The bytes of o's value: its text span, or for an object that is no dictionary (an array, a name,
// a number, a string written directly in the file) the bytes after its `obj` keyword up to its
// `endobj` (else the file end). 1, or 0 when there are none.
int pdfcore_value_span(const pdfcore_doc *doc, const pdfcore_obj *o, pdfcore_span *s);
// 1 and the stream data of o as its filters read it, in a new malloc'd buffer of *len >= 1 bytes
// (caller frees): the bytes stored in the file, decrypted with o's key when the document is
// encrypted. 0 when o is null, no stream, or its data is empty, lies outside the file, is longer
// than stream_max_stored, cannot be read whole (doc->read_failed is then set) or decrypted. The
// one way to a stream's bytes: whatever reads a stream (images, masks, palettes, functions,
// content, forms) goes through it, or through the stream module (pdfcore/stream.h).
int pdfcore_stream_read(const pdfcore_doc *doc, const pdfcore_obj *o, uint8_t **data, uint64_t *len);
// 1 when o's data can be read from the file as stored, with nothing to undo (the document is not
// encrypted, or the stream is left clear): *off and *len its extent in the file. 0 otherwise.
int pdfcore_stream_extent(const pdfcore_doc *doc, const pdfcore_obj *o, int64_t *off, uint64_t *len);

// ---- what the core offers: value readers --------------------------------------------------------
//
// They read text[0, end) of a span, never at or beyond end; a position outside [0, end) reads as
// nothing there. Key searches are textual, as find_name's: keys of nested dictionaries count.

// Position of the '/' of the first /key in s, or -1.
int32_t pdfcore_find_key(const pdfcore_span *s, const char *key);
// The same outside the bytes [lo, hi) of s (a dictionary's own keys, not those of a value such as
// /DecodeParms that holds keys of the same names), or -1.
int32_t pdfcore_find_key_outside(const pdfcore_span *s, const char *key, int32_t lo, int32_t hi);
// Position of the value after the first /key of s (whitespace skipped), or -1 when there is no
// such key or the value would start at the span's end.
int32_t pdfcore_key_value(const pdfcore_span *s, const char *key);
// `N G R` at pos (after whitespace, N and G plain integers, R not followed by a word character):
// N > 0 with *after just past the R, or -1.
int32_t pdfcore_read_ref(const uint8_t *text, int32_t end, int32_t pos, int32_t *after);
// Moves v->start to the first byte of the value there (whitespace skipped), following up to
// max_ref_hops references: v may move into another object's value span (pdfcore_value_span), with
// its obj_num. 1, or 0 when nothing is there, a reference leads nowhere, or the hops run out.
int pdfcore_resolve(const pdfcore_doc *doc, pdfcore_span *v);
// The integer value at v.start, through references; -1 when there is none (parse_int_at).
int32_t pdfcore_read_int(const pdfcore_doc *doc, pdfcore_span v);
// A number at *pos after whitespace: optional sign, digits, optional '.' and digits (no exponent).
// 1 and *value; or 0 with *pos moved one byte past the whitespace (or to end), so that a loop of
// reads always advances.
int pdfcore_read_real(const uint8_t *text, int32_t end, int32_t *pos, double *value);
// The name token whose '/' is at pos, up to whitespace or a delimiter: up to cap - 1 bytes into out
// (NUL-terminated, cap >= 1), *cut = 1 when it was longer. Returns the position after the token.
int32_t pdfcore_read_name(const uint8_t *text, int32_t end, int32_t pos, char *out, int32_t cap,
                          int *cut);
// pos at '(': the position after the ')' that closes the literal string (nested parentheses
// counted, '\' escapes the next byte), or -1 when it does not close before end.
int32_t pdfcore_string_end(const uint8_t *text, int32_t pos, int32_t end);
// pos at '[': the position after the matching ']' (nested arrays counted, literal strings and
// comments skipped), or end when it does not close.
int32_t pdfcore_array_end(const uint8_t *text, int32_t pos, int32_t end);
// The position after the value written at pos: a string, hexadecimal string, dictionary or array
// (end when it does not close), a reference `n g R`, a name, number or keyword to where the token
// reader ends it (token_end: "1e5" is one value); a delimiter that opens nothing is a value of one
// byte. pos + 1 at least; end when pos is outside [0, end).
int32_t pdfcore_value_end(const uint8_t *text, int32_t pos, int32_t end);
// The elements of an array, one at a time. *pos starts just after the '[' (arr's text, bounded by
// arr->end). pdfcore_array_item: 1 and *item = arr's span narrowed to the next element as written
// (a reference is the `n g R` text), *pos past it; 0 at the closing ']' or the end (*pos there).
int pdfcore_array_item(const pdfcore_span *arr, int32_t *pos, pdfcore_span *item);
// pdfcore_array_item with each element's value through references (pdfcore_resolve): *elem may
// lie in another object's value span. A reference that leads nowhere gives an empty *elem (start
// == end), so every element is one call whatever it holds.
int pdfcore_array_next(const pdfcore_doc *doc, const pdfcore_span *arr, int32_t *pos,
                       pdfcore_span *elem);
// The next reference of an array of references, from *pos (just after the '['): the first number
// of the next `n [g] [R]`, any byte that starts no number stepped over. 1 with *num set (digits
// only, 32-bit wrap-around: it may be 0 or negative) and *pos past the group; 0 at ']' or end.
int pdfcore_ref_list_next(const uint8_t *text, int32_t end, int32_t *pos, int32_t *num);
// The next entry of a dictionary at its own level (nested dictionaries, arrays and strings are
// stepped over, so their keys never count), from *pos: just after its "<<", then where the last
// call left it. 1 with *key at the '/' of the key, *value at its value (whitespace skipped; a '>'
// when the key has none) and *pos past the value; 0 at the closing '>' or at end. Bytes that start
// no key are stepped over.
int pdfcore_dict_next(const uint8_t *text, int32_t end, int32_t *pos, int32_t *key, int32_t *value);
// 1 when the name token whose '/' is at pos is exactly /name (as written, no #xx decoding), else 0.
int pdfcore_name_is(const uint8_t *text, int32_t end, int32_t pos, const char *name);
// d->start at the "<<" of a dictionary (after whitespace): the value of key among the dictionary's
// own entries (nested dictionaries and arrays stepped over, not searched), through references.
// 1 with *v at it (pdfcore_resolve), or 0 when there is no such key or it leads nowhere.
int pdfcore_dict_get(const pdfcore_doc *doc, const pdfcore_span *d, const char *key,
                     pdfcore_span *v);
// Element index (0-based) of the array at v.start, through references to the array and to the
// element: 1 with *item at the element's value (pdfcore_resolve), or 0 when v holds no array or
// the array is shorter.
int pdfcore_array_get(const pdfcore_doc *doc, pdfcore_span v, int32_t index, pdfcore_span *item);
// The stream object whose dictionary opens at v->start (a value resolved from a reference to it),
// or NULL when v is no stream's dictionary.
const pdfcore_obj *pdfcore_stream_at(const pdfcore_doc *doc, const pdfcore_span *v);
// The number at v.start, through references: 1 and *value, or 0.
int pdfcore_read_number(const pdfcore_doc *doc, pdfcore_span v, double *value);
// The numbers of the array at v.start (through references to it and to its elements) into out:
// how many, or -1 when v holds no array, an element is not a number, or there are more than cap.
int32_t pdfcore_read_numbers(const pdfcore_doc *doc, pdfcore_span v, double *out, int32_t cap);
// Hexadecimal string from pos (after '<') to '>' or end: bytes that are no hex digit ignored,
// digit pairs stored while fewer than cap bytes are stored, an odd last digit dropped. Returns the
// bytes stored.
uint64_t pdfcore_read_hex_string(const uint8_t *text, int32_t end, int32_t pos, uint8_t *out,
                                 uint64_t cap);
// Literal string opened by '(' at pos, with the PDF escapes (\n \r \t \b \f \( \) \\, octal \ddd,
// backslash-newline continues the line) and an unescaped CR or CR LF read as LF. Stores at most
// cap bytes; returns how many.
uint64_t pdfcore_read_literal_string(const uint8_t *text, int32_t end, int32_t pos, uint8_t *out,
                                     uint64_t cap);
// The string at v->start, hexadecimal or literal (no reference followed), as the document holds
// it: in an encrypted document decrypted with the key of object v->obj_num when that is an object
// of the file itself (not from an object stream, not the /Encrypt dictionary); an owner of -1 (not
// known) reads as stored. Stores at most cap bytes; returns how many, or -1 when no string starts
// at v->start or there is no memory to decrypt it. The one reader of strings whose bytes matter.
int64_t pdfcore_read_string(const pdfcore_doc *doc, const pdfcore_span *v, uint8_t *out,
                            uint64_t cap);

// ---- what the core offers: tokens and dictionary entries ----------------------------------------
//
// The token reader of content streams (and of any object text): whitespace and comments ('%' to
// the end of the line) separate tokens; a literal string is one token, whatever it holds. It reads
// text[0, end) and never at or beyond end. The value readers above are not built on it: they step
// over whole values (a nested dictionary at once), but end a name, number or keyword where it ends
// one (token_end), so both readers agree on where every token ends.

enum pdfcore_token_kind {
    tok_end = 0,     // nothing but whitespace and comments left
    tok_number,      // a run of signs, digits and points holding a digit: 12 -3.5 .5
    tok_name,        // '/' and the run after it
    tok_string,      // '(' to its closing ')' (nested pairs counted, '\' escapes), or to end
    tok_hex,         // '<' to '>' or to end
    tok_array_open,  // [
    tok_array_close, // ]
    tok_dict_open,   // <<
    tok_dict_close,  // >>
    tok_word,        // any other run of bytes that are no whitespace or delimiter: operators,
                     // true, false, null, and the bytes of binary data
    tok_other,       // one delimiter that opens nothing: ) { } or a lone >
};

// One token: its kind and its bytes text[start, end).
struct pdfcore_token {
    int32_t kind;
    int32_t start;
    int32_t end;
};

// The token at or after *pos. 1 with *tok and *pos just past it (always forward); 0 with kind
// tok_end and *pos = end when none is left.
int pdfcore_next_token(const uint8_t *text, int32_t end, int32_t *pos, pdfcore_token *tok);
// 1 when the token's bytes are word exactly, else 0.
int pdfcore_token_is(const uint8_t *text, const pdfcore_token *tok, const char *word);

// ---- what the core offers: streams, page content, resources -------------------------------------

// Bytes of stream entry, decoded through its filters (pdfcore/stream.h) up to content_max_decoded
// bytes (a longer stream gives its first bytes). They live in doc->decoded, which the next
// decoding call on the document replaces (and pdfcore_doc_free releases), NUL after them. NULL:
// not a stream, empty, or not decodable; otherwise *length = byte count.
const uint8_t *pdfcore_decoded_stream(pdfcore_doc *doc, const pdfcore_obj *entry, int32_t *length);
// Complete content of page page_index (0-based): one stream, the joined streams of a /Contents
// array, or an inline stream. 1: *content and *length set; 0: they are NULL and 0. Messages in the
// document's error text: "page index out of range", "page object %ld missing". *content is
// malloc'd, NUL-terminated after *length bytes, and the caller frees it with free((void *)*content).
int pdfcore_page_content(pdfcore_doc *doc, int32_t page_index, const uint8_t **content,
                         int32_t *length);
// Own /Resources dictionary of a page (0-based index) or of any object: a malloc'd NUL-terminated
// copy from its "<<" through the closing ">>" (written in place or via a reference), caller frees.
// NULL when there is none (inherited resources are not looked up) or on any failure.
char *pdfcore_page_resources(const pdfcore_doc *doc, int32_t page_index);
char *pdfcore_obj_resources(const pdfcore_doc *doc, int32_t obj_num);

// ---- what the core offers: lexical helpers and buffers -----------------------------------------
//
// Pure functions over data; they never read at or beyond the limit given (len or end). Integers
// are accumulated in 32 bits with wrap-around.

// First position in [pos, end) that is neither PDF whitespace nor inside a comment; end when none;
// pos when pos >= end. The one place where whitespace between tokens is skipped: comments count as
// whitespace. Called between tokens only, never inside a string or stream data.
int32_t skip_ws(const uint8_t *data, int32_t pos, int32_t end);
// As skip_ws, but comments are not skipped: for a position that the file names by its offset,
// where a keyword or number must stand (the start of cross-reference data).
int32_t skip_white(const uint8_t *data, int32_t pos, int32_t end);
// 1 when kw stands at pos as a whole word (no word character right before or after), else 0.
int32_t kw_at(const uint8_t *data, int32_t pos, int32_t len, const char *kw);
// First position >= start (negative start: 0) where kw_at gives 1, or -1.
int32_t find_kw(const uint8_t *data, int32_t len, int32_t start, const char *kw);
// Position of the '/' of the first /name token in [start, end) (end clipped to len) not followed
// by is_name_cont, or -1. Purely textual: keys, values and nested dictionaries alike.
int32_t find_name(const uint8_t *data, int32_t len, int32_t start, int32_t end, const char *name);
// Integer after optional whitespace and '-'. Advances *pos past the digits on success only; -1 on
// failure (callers treat every negative result as "no integer").
int32_t parse_int_at(const uint8_t *data, int32_t len, int32_t *pos);
// The same with 64 bits, for lengths and file positions: a value past int64_saturated reads as it
// (beyond any file).
const int64_t int64_saturated = (int64_t)1 << 62;
int64_t parse_int64_at(const uint8_t *data, int32_t len, int32_t *pos);
// Position of the first '>' of the ">>" that closes the dictionary opened at pos (literal strings
// and comments skipped), or -1 when it does not close before end.
int32_t find_dict_close(const uint8_t *data, int32_t pos, int32_t end);

// Growable arrays (a pointer, a count and a capacity, all zero when empty): for a full array, its
// storage grown to first elements of elem bytes, then to twice its capacity, with *capacity
// updated; NULL when it cannot grow (the old storage and *capacity unchanged).
void *array_grow(void *items, int32_t *capacity, int32_t first, size_t elem);

// buf: callers test b->data after each call; null means the allocation failed and the buffer is
// empty (its contents released).
void buf_init(buf *b);                                // 1 MiB storage, length 0
void buf_free(buf *b);                                // release; all fields 0
void buf_reserve(buf *b, uint64_t n);                 // room for n more bytes plus the NUL
void buf_bytes(buf *b, const uint8_t *src, uint64_t n);
void buf_str(buf *b, const char *s);
void buf_int(buf *b, int32_t v);                      // decimal, '-' when negative

// ---- the core's own parts, for its sources and tests --------------------------------------------

// Integer after optional whitespace and '+'/'-'; -1 on failure. *pos always moves forward, except
// that it stays on an 'R' where a digit was expected (and stays when already at or past len).
int32_t read_int_adv(const uint8_t *data, int32_t len, int32_t *pos);
// As read_int_adv, but a non-digit is always stepped over (an 'R' too), and a sign that is the last
// byte before end leaves *pos at end + 1.
int32_t read_num_adv(const uint8_t *data, int32_t end, int32_t *pos);
// pos: an `obj` keyword. Reads `N G obj` backwards; returns the position of N's first digit and
// sets *num, *gen (when not null), or -1 (no header, N <= 0, or a word character before N). A
// comment that ends a line may stand between N, G and `obj` (`1 0 % note` LF `obj`).
int32_t parse_obj_head(const uint8_t *data, int32_t pos, int32_t *num, int32_t *gen);
// /Length in [start, end): *length = a direct value (64 bits) or -1, *length_ref = the object
// number of an indirect `n g R` value or -1. `[a b]` gives the last non-negative integer. Integer
// reads are bounded by len, not end.
void parse_length(const uint8_t *data, int32_t len, int32_t start, int32_t end, int64_t *length,
                  int32_t *length_ref);
// Position of the `stream` keyword that follows (after whitespace) the dictionary opened at pos,
// or -1.
int32_t dict_stream_kw(const uint8_t *data, int32_t len, int32_t pos);

// Object index, from a file read through a window of window_cap bytes (pdfcore/file.h;
// win_library_cap in the library, tiny ones in tests), never whole: into the empty vec, one entry
// per `N G obj` header, each stream's extent set (from /Length, direct or through a non-stream
// object, when `endstream` follows it; else, and also when /Length is missing or unreadable, from
// the next `endstream`, without the end of line before it), streams without `endobj` after their
// data removed and every entry whose header lies inside some stream's data (the order of the
// remaining entries changes as each removed entry takes the last one's place). Memory: the window
// and the index, with the positions of at most max_close_events openings that one dictionary scan
// that found no end stepped onto (kept so that later headers inside it do not scan to the file's
// end again; past them, a header scans on from the last kept one). scan_done, or a failure with
// vec emptied: scan_read_failed (a read came back short: the file shrank, or the device failed),
// scan_no_memory, scan_too_large (positions the index's entries cannot hold).
enum scan_result { scan_done = 0, scan_read_failed = -1, scan_no_memory = -2, scan_too_large = -3 };
const int32_t scan_max_close_events = 1 << 21;  // 16 bytes each
int32_t scan_file_index(const file_source *src, int64_t window_cap, objvec *vec,
                        int32_t max_close_events = scan_max_close_events);
// Value of a file object that is no stream, read as `N [G] [obj] v` from its text (64 bits); -1
// when there is none (an indirect /Length).
int64_t obj_int_value(const pdfcore_doc *doc, const pdfcore_obj *t);
// Appends a copy of *entry and releases the lookup table. 0, or -1 when the array cannot grow
// (vector unchanged but for the table).
int objvec_push(objvec *vec, const pdfcore_obj *entry);
// Lookup table for obj_lookup: per number 0..*max (at most max_obj_num), the position of its first
// entry or -1; malloc'd, caller frees; NULL when it cannot be allocated. obj_lookup answers as
// obj_find (falling back to it when table is NULL or n > max) while the vector is unchanged.
int32_t *obj_first_positions(const objvec *vec, int32_t *max);
pdfcore_obj *obj_lookup(const objvec *vec, const int32_t *table, int32_t max, int32_t n);
// Keeps one entry per object number of doc's index: the last direct definition, else the last one
// from an object stream; drops object stream containers and numbers above max_obj_num. Returns the
// largest kept number (>= 0).
int32_t select_objects(pdfcore_doc *doc);

// Cross-reference data, read through a window over doc's file: resets *x (zeroed, or filled by an
// earlier call: its arrays are released) and fills it: trailer /Root, /Info, /Encrypt, /Prev chains
// of cross-reference streams up to 32 sections, the first classic table, the header version. A
// trailer or cross-reference stream dictionary is read up to xref_max_text bytes. 0, or -1 when a
// read came back short.
const int64_t xref_max_text = (int64_t)16 << 20;
int32_t parse_xref(const file_source *src, struct xref *x);
// pos: just after `%PDF-`; writes up to 15 characters ("1.7") and a NUL into version[16].
void parse_pdf_version(const uint8_t *data, int32_t len, int32_t pos, char *version);
// Makes the three arrays at least n entries long (new entries -1, 0, 0). 0, or -1 on allocation
// failure or n out of range (arrays unchanged).
int xref_grow(struct xref *x, int32_t n);
void xref_free(struct xref *x); // release the arrays; pointers null, capacity 0

// Object streams, during the load: every /Type /ObjStm container of doc's index is decoded
// through its filters and its objects' places noted, one in_objstm entry appended per contained
// object (its text read again, with the stream decoded once more and kept, when first needed);
// each container that gives an object is kept in doc->stms. extract_objstm gives 1 when it
// appended anything from one container, else 0.
void extract_all_objstm(pdfcore_doc *doc);
int32_t extract_objstm(pdfcore_doc *doc, const pdfcore_obj *entry);
// The decoded data of doc->stms[index], decoded on first use and kept: 1 with *data and *len, or 0
// when it cannot be decoded again (the file changed).
int objstm_data(const pdfcore_doc *doc, int32_t index, const uint8_t **data, int64_t *len);

// Block of exactly size bytes owned by a, or NULL (arena unchanged).
void *arena_alloc(arena *a, uint64_t size);
// Makes malloc'd block the arena's last block: 0, or -1 (block freed, arena unchanged).
int arena_adopt(arena *a, void *block);
void arena_free(arena *a);                            // release every block; all fields 0

// Encryption, during the load: after the scan, before the unpacking of object streams. Reads the
// /Encrypt value of the trailer that parse_xref found. 0: the document is not encrypted (no
// /Encrypt, or one that names a missing object, no dictionary, or a dictionary without /Filter);
// 1: the empty user password opens it: doc->security set and doc->encrypted = 1, so that each
// stream decrypts as it is read (stream_decrypt); -1: an encryption dictionary that the empty
// password does not open or that the handler does not support (doc unchanged).
int32_t doc_open_encryption(pdfcore_doc *doc);
// Decrypts the stored data of stream o, d[0, *n), in place with o's key: cross-reference streams
// and clear metadata streams are left as stored, a stream whose /Filter starts with /Crypt
// follows the filter its /Name names; an AES stream shortens *n by its padding and loses a partial
// last block. 1: done (or nothing to do); 0: it cannot be decrypted (its crypt filter unknown).
// Nothing to do in a document that is not encrypted.
int stream_decrypt(const pdfcore_doc *doc, const pdfcore_obj *o, uint8_t *d, uint64_t *n);
// 1 when stream o is read as stored in doc (not encrypted, or left clear), else 0.
int stream_is_clear(const pdfcore_doc *doc, const pdfcore_obj *o);
// The /Encrypt dictionary's values as the handler takes them, from the dictionary span d (at its
// "<<") and the trailer span t (its /ID). Fills *e; never fails.
void read_encrypt_values(const pdfcore_doc *doc, const pdfcore_span *d, const pdfcore_span *t,
                         pdfcore_encrypt *e);

// Document load proper: 0 or -1 (message set). doc_free is pdfcore_doc_free.
int32_t doc_load(const char *path, pdfcore_doc *doc);
// Its steps, for tests: a record over the bytes [0, len) in memory (which must outlive it), ready
// for the index; and the index of the record's file (the window scan, encryption, object streams
// unpacked, one entry per number; *encryption as doc_open_encryption gave it). 0, or -1 with the
// message set.
int32_t doc_open_memory(const uint8_t *bytes, int64_t len, const char *name, pdfcore_doc *doc);
int32_t doc_build_index(pdfcore_doc *doc, int32_t *encryption);
void doc_free(pdfcore_doc *doc);

// Page tree. Object queries read the object's text span (pdfcore_obj_span).
//
// Object number of the catalog's first /Pages key followed by a positive integer, or -1.
int32_t parse_pages_ref(const pdfcore_doc *doc, const pdfcore_obj *obj);
// 1 for /Type /Page, 2 for /Type /Pages, 0 otherwise.
int32_t obj_type(const pdfcore_doc *doc, const pdfcore_obj *obj);
// Object numbers of the Kids array (at most room stored) into kids: their count, 0 for an empty or
// unterminated array, -1 when there is no Kids array. A Kids value `n g R` naming an array object
// is followed.
int32_t parse_kids(const pdfcore_doc *doc, const pdfcore_obj *obj, int32_t *kids, int32_t room);
// The object's own /Rotate when a non-negative integer, else -1.
int32_t obj_rotate_own(const pdfcore_doc *doc, const pdfcore_obj *obj);
// 1 and the object's own valid CropBox, else MediaBox; 0 with outputs untouched.
int32_t obj_box(const pdfcore_doc *doc, const pdfcore_obj *obj, double *x0, double *y0, double *x1,
                double *y1);
// pos (< end) holds '[': 1 and four numbers when the third and fourth are > 0; 0, outputs untouched.
int32_t parse_box_array(const uint8_t *text, int32_t end, int32_t pos, double *x0, double *y0,
                        double *x1, double *y1);
// obj_box, or 0 0 595 842 when it fails.
void page_box(const pdfcore_doc *doc, const pdfcore_obj *obj, double *x0, double *y0, double *x1,
              double *y1);
// Fills box and rotate of *page (inherited_rotate already set) from object obj.
void fill_pageinfo(const pdfcore_doc *doc, const pdfcore_obj *obj, pdfcore_page *page);
// Appends a copy of *page. 0, or -1 when the list cannot grow (list unchanged).
int pagevec_push(pagevec *pages, const pdfcore_page *page);
// Appends the leaf pages under root_num to pages, depth-first in Kids order, without recursion.
// on_path: max_num + 1 zero bytes, the marks of the /Pages nodes on the walk's path (all zero again
// on return). A node met again on its own path (a loop) ends that branch; a node listed by several
// parents is walked under each, while the kids stepped over stay within four times the index's
// entries (the walk stops there, keeping its pages). -1: broken tree (missing object, kid neither
// /Page nor /Pages, no memory); 0: no pages; else pages->count.
int32_t resolve_pages(const pdfcore_doc *doc, int32_t root_num, int32_t max_num, pagevec *pages,
                      uint8_t *on_path, int32_t inherited);
// The page list when the tree yields none: appends the index's objects that are no stream and
// whose dictionary says /Type /Page, in the order of their position in the file (an object from an
// object stream where that stream stands, in its order), each with its own box and rotation and
// parent_num -1. Returns pages->count.
int32_t pages_by_type(const pdfcore_doc *doc, pagevec *pages);

// Content of page object page (see pdfcore_page_content for ownership). 1, or 0 with NULL and 0.
int32_t get_page_content(const pdfcore_doc *doc, const pdfcore_obj *page, const uint8_t **content,
                         int32_t *length);

// Resources. dict_text_at: malloc'd NUL-terminated copy of the dictionary opened by "<<" at pos in
// text[0, len), or NULL. page_resources_dict: the /Resources dictionary found in the object text
// text[0, len) after its last `endobj` (in place, or via a reference resolved in doc), or NULL.
char *dict_text_at(const uint8_t *text, int32_t len, int32_t pos);
char *page_resources_dict(const pdfcore_doc *doc, const uint8_t *text, int32_t len);

#endif
