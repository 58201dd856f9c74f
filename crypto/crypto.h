// crypto/crypto.h - the hashes and ciphers of PDF encryption: MD5 (RFC 1321), SHA-256/384/512
// (FIPS 180-4), RC4, and AES-128/192/256 (FIPS 197) in CBC mode (NIST SP 800-38A).
//
// Pure functions on caller buffers: nothing is allocated, nothing fails but a bad key length, and
// all state is in the structs below (the lookup tables are constants built by the compiler). The
// hashes take their message in any number of pieces. AES decrypts through AES-NI instructions
// when the processor has them (checked on each call) and through 32-bit lookup tables otherwise;
// both give the same bytes. These ciphers serve reading encrypted files; RC4 and MD5 are not
// secure and nothing here protects secrets in memory or against timing.
#ifndef QV_CRYPTO_CRYPTO_H
#define QV_CRYPTO_CRYPTO_H
#include <cstdint>

// ---- constants ----------------------------------------------------------------------------------

const int32_t md5_digest_len = 16;
const int32_t sha256_digest_len = 32;
const int32_t sha384_digest_len = 48;
const int32_t sha512_digest_len = 64;
const int32_t aes_block_len = 16;
const int32_t aes_max_rounds = 14;  // AES-256; AES-128 has 10, AES-192 12

// ---- structs ------------------------------------------------------------------------------------

// Hash contexts: set up by the matching _init, then any number of _update calls, then _final.
struct md5_ctx {
    uint32_t h[4];
    uint64_t total;     // message bytes so far
    uint8_t block[64];  // the unfinished block: total % 64 bytes
};

struct sha256_ctx {
    uint32_t h[8];
    uint64_t total;
    uint8_t block[64];
};

// SHA-384 and SHA-512 share the context; out_len (48 or 64) is set by the _init that was used.
struct sha512_ctx {
    uint64_t h[8];
    uint64_t total;      // message bytes so far (messages of 2^61 bytes or more are not supported)
    uint8_t block[128];
    int32_t out_len;
};

struct rc4_state {
    uint8_t s[256];
    uint8_t i, j;
};

// An expanded AES key: the encryption round keys and the decryption round keys of the
// equivalent inverse cipher (FIPS 197 5.3.5), as big-endian 32-bit words, 4 per round key.
struct aes_key {
    uint32_t enc[4 * (aes_max_rounds + 1)];
    uint32_t dec[4 * (aes_max_rounds + 1)];
    int32_t rounds;  // 10, 12 or 14
};

// ---- functions ----------------------------------------------------------------------------------

void md5_init(md5_ctx *c);
void md5_update(md5_ctx *c, const uint8_t *data, uint64_t len);
void md5_final(md5_ctx *c, uint8_t out[16]);  // the context must be set up again to be reused
void md5(const uint8_t *data, uint64_t len, uint8_t out[16]);

void sha256_init(sha256_ctx *c);
void sha256_update(sha256_ctx *c, const uint8_t *data, uint64_t len);
void sha256_final(sha256_ctx *c, uint8_t out[32]);
void sha256(const uint8_t *data, uint64_t len, uint8_t out[32]);

void sha384_init(sha512_ctx *c);
void sha512_init(sha512_ctx *c);
void sha512_update(sha512_ctx *c, const uint8_t *data, uint64_t len);
void sha512_final(sha512_ctx *c, uint8_t *out);  // writes c->out_len bytes: 48 or 64
void sha384(const uint8_t *data, uint64_t len, uint8_t out[48]);
void sha512(const uint8_t *data, uint64_t len, uint8_t out[64]);

// RC4 key schedule. key_len is 1 to 256 bytes: 0, or -1 (state untouched) for any other length.
int rc4_init(rc4_state *st, const uint8_t *key, int32_t key_len);
// XORs len bytes of key stream into src, writing dst; the state moves on, so consecutive calls
// continue one stream. dst may be src; otherwise the two must not overlap.
void rc4_crypt(rc4_state *st, const uint8_t *src, uint64_t len, uint8_t *dst);

// Key expansion for a key of 16, 24 or 32 bytes: 0, or -1 (key untouched) for any other length.
int aes_set_key(aes_key *k, const uint8_t *key, int32_t key_len);
// One block: dst may be src.
void aes_encrypt_block(const aes_key *k, const uint8_t src[16], uint8_t dst[16]);
void aes_decrypt_block(const aes_key *k, const uint8_t src[16], uint8_t dst[16]);
// CBC over the whole blocks of src[0, len): len / 16 blocks; a partial last block is neither read
// nor written. iv is read as the chaining value and left holding the last ciphertext block, so a
// following call with the same iv continues the chain. No padding is added or removed.
// Decryption: dst may be src, or lie before it in the same buffer (dst <= src: decrypting a
// stream in place over its 16-byte IV is the call aes_cbc_decrypt(k, iv, p + 16, n, p)); it must
// not lie after src and overlap it. Encryption: dst is src or does not overlap it.
void aes_cbc_decrypt(const aes_key *k, uint8_t iv[16], const uint8_t *src, uint64_t len,
                     uint8_t *dst);
void aes_cbc_encrypt(const aes_key *k, uint8_t iv[16], const uint8_t *src, uint64_t len,
                     uint8_t *dst);

// ---- for tests and benchmarks -------------------------------------------------------------------

// The two implementations behind aes_cbc_decrypt, with its contract. aes_cbc_decrypt_accel runs
// AES-NI instructions and returns 0, or returns -1 and touches nothing when the processor (or the
// build) has none; aes_accel_available says which in advance: 1 or 0.
void aes_cbc_decrypt_portable(const aes_key *k, uint8_t iv[16], const uint8_t *src, uint64_t len,
                              uint8_t *dst);
int aes_cbc_decrypt_accel(const aes_key *k, uint8_t iv[16], const uint8_t *src, uint64_t len,
                          uint8_t *dst);
int aes_accel_available(void);

#endif
