// pdfcore/security.h - the standard security handler (ISO 32000-1 7.6.3-7.6.4, ISO 32000-2 for
// revision 6) for documents that open with the empty password: checks it against the /Encrypt
// dictionary (as the user password; under /R 5 and 6 also as the owner password), derives the file
// key, and decrypts the bytes of streams and strings.
//
// It works on values already read: the caller fills a pdfcore_encrypt from the /Encrypt
// dictionary and the trailer's /ID, and gets a pdfcore_security, the per-document state that the
// decryption calls read. Nothing is allocated; everything is per document.
//
// Handled: /Filter /Standard with /V 1 or 2 and /R 2 or 3 (RC4, 40 to 128-bit keys); /V 4 with /R 4
// (crypt filters /V2 = RC4, /AESV2 = AES-128-CBC, /None); /V 5 with /R 5 or 6 (/AESV3 =
// AES-256-CBC). Anything else does not authenticate: another /Filter, /V or /R, an unknown
// method, a user password other than the empty one unless the owner password is empty under /R 5
// or 6. (Under /R 2 to 4 an empty owner password stands for the user password itself, so such a
// file needs its user password.)
//
// What the caller decrypts, and with which object's number and generation: each stream's data
// before its filters run (method: security_stream_method), with the stream object's key; strings
// (method: str_method) with the key of the indirect object they stand in. Not decrypted:
// cross-reference streams, objects taken from an object stream (the object stream itself was
// decrypted as a stream), and the strings of the /Encrypt dictionary.
#ifndef QV_PDFCORE_SECURITY_H
#define QV_PDFCORE_SECURITY_H
#include <cstdint>

// ---- constants ----------------------------------------------------------------------------------

const int32_t security_name_cap = 64;     // bytes of a name kept; a longer name matches nothing
const int32_t security_max_filters = 8;   // crypt filters of /CF kept; further ones are ignored
const int32_t security_id_cap = 256;      // bytes of /ID kept; a longer ID does not authenticate

// Decryption methods.
const int32_t security_identity = 0;  // bytes stay as they are (/Identity, /None)
const int32_t security_rc4 = 1;       // RC4 (/V 1, 2; /V2 crypt filters)
const int32_t security_aes = 2;       // AES-CBC: AES-128 (/AESV2) under /V 4, AES-256 (/AESV3) under /V 5

// ---- structs ------------------------------------------------------------------------------------

// A name as decoded (#xx escapes resolved), without its slash. len 0: the key was missing;
// len > security_name_cap: too long, only the first security_name_cap bytes kept.
struct security_name {
    uint8_t text[security_name_cap];
    int32_t len;
};

// One entry of /CF: its key, /CFM, and /Length (-1 when missing).
struct security_crypt_filter {
    security_name name;
    security_name cfm;
    int32_t length;
};

// What the /Encrypt dictionary and the trailer say, filled by the caller. Clear it to zero, set
// the integer fields that default to -1 or 1 (below), then copy in what is present. Strings are
// the decoded bytes (literal or hex); a field holds at most its array's size: copy the first
// bytes of a longer string and set its _len to the array's size (only the first 32 bytes of /O
// and /U count under /R 2 to 4, and only the first 48 under /R 5 and 6).
struct pdfcore_encrypt {
    int32_t standard;          // 1 when /Filter is /Standard
    int32_t v, r;              // /V, /R; -1: missing (/V missing counts as 0, which is refused)
    int32_t length;            // /Length in bits; -1: missing
    int32_t p;                 // /P: its low 32 bits (-4 and 4294967292 are the same)
    int32_t encrypt_metadata;  // 0 for /EncryptMetadata false, else 1
    uint8_t o[48], u[48];      // /O, /U
    int32_t o_len, u_len;
    uint8_t oe[32], ue[32];    // /OE, /UE (/R 5 and 6)
    int32_t oe_len, ue_len;
    uint8_t perms[16];         // /Perms (/R 5 and 6)
    int32_t perms_len;
    uint8_t id[security_id_cap];  // the first string of the trailer's /ID; id_len 0: no /ID
    int32_t id_len;
    security_crypt_filter cf[security_max_filters];  // /CF (/V 4 and 5)
    int32_t cf_count;
    security_name stmf, strf;  // /StmF, /StrF; missing: /Identity
};

// A crypt filter as authenticated: its name and method.
struct security_filter {
    security_name name;
    int32_t method;  // a security_ method, -1: unknown (a stream naming it cannot be decrypted)
};

// The per-document state that security_authenticate fills and the decryption calls read.
struct pdfcore_security {
    uint8_t key[32];           // the file key
    int32_t key_len;           // 5 to 16 bytes under /V 1 to 4, 32 under /V 5
    int32_t v, r;
    int32_t stm_method;        // for streams without a /Crypt filter (/StmF)
    int32_t str_method;        // for strings (/StrF)
    int32_t encrypt_metadata;  // 0: /Type /Metadata streams are not encrypted (/V 4 and 5 only)
    int32_t perms_ok;          // /R 5, 6: 1 when /Perms decrypts to a record that fits the file
                               // ("adb", its metadata flag); else 0. Informative only.
    security_filter filters[security_max_filters];
    int32_t filter_count;
};

// ---- functions ----------------------------------------------------------------------------------

// Checks the empty password against e and derives the file key: as the user password, then under
// /R 5 and 6 as the owner password. 0: it opens the document, *s set. -1: it does not, or e names
// what is not handled, or is malformed (a /Filter other than /Standard; /V, /R or their pairing not
// listed above; /O or /U shorter than 32 bytes, or than 48 under /R 5 and 6; under /R 5 and 6 /UE,
// or /OE for the owner password, shorter than 32 bytes; /Length outside 40..128 or not a multiple
// of 8 under /V 2 and 4; /StmF or /StrF naming no filter of /CF, or a filter whose method is not
// handled under this /V); *s is then cleared to zero.
int security_authenticate(const pdfcore_encrypt *e, pdfcore_security *s);

// The method for a stream's data. crypt_name: the /Name of the /Crypt filter that the stream's
// /Filter starts with (pass "Identity" for a /Crypt filter without /Name), or null when there is
// none; is_metadata: 1 when the stream's /Type is /Metadata. Result: a security_ method, or -1
// when crypt_name names no known filter (the stream cannot be decrypted).
int32_t security_stream_method(const pdfcore_security *s, const uint8_t *crypt_name,
                               int32_t name_len, int32_t is_metadata);

// Decrypts src[0, len), which belongs to object (num, gen), by method, into dst. Returns the
// number of plain bytes at dst (at most len), or -1 (dst untouched) for a method that is not a
// security_ method, or for security_aes on a state whose key AES cannot take (a state whose
// methods are all RC4 may have a file key of 5 to 15 bytes).
// - security_identity: the bytes as they are (moved to dst when it is not src).
// - security_rc4: len bytes.
// - security_aes: src starts with the 16-byte IV; the whole 16-byte blocks after it are decrypted
//   and a partial block at the end is dropped (fewer than 32 bytes give 0). A valid padding (last
//   byte n in 1..16, the last n bytes all n) is removed; any other last block is kept whole, as
//   decrypted (the data may have been cut, or padded otherwise, and its filters may still read it).
// dst is src (decrypting in place: the plain bytes start at src[0], also for AES) or a buffer of
// len bytes that does not overlap src. So a stream copied out of the file can be decrypted where
// it lies and handed to its filters.
int64_t security_decrypt(const pdfcore_security *s, int32_t method, int32_t num, int32_t gen,
                         const uint8_t *src, uint64_t len, uint8_t *dst);

// ---- for tests and the library's own code -------------------------------------------------------

// The key for object (num, gen) under method into key[32]: its length, or -1 for a method other
// than RC4 and AES. /V 1 to 4: MD5 of the file key, the low 3 bytes of num and the low 2 of gen
// (least significant first), and for AES "sAlT"; its first key_len + 5 bytes, at most 16. /V 5:
// the file key itself.
int32_t security_object_key(const pdfcore_security *s, int32_t method, int32_t num, int32_t gen,
                            uint8_t key[32]);

#endif
