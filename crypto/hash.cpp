// MD5 (RFC 1321) and SHA-256, SHA-384, SHA-512 (FIPS 180-4).
#include <cstring>

#include "crypto/crypto.h"

// RFC 1321 3.4: T[i] = floor(2^32 * |sin(i + 1)|).
static const uint32_t md5_t[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left rotations: four per round, each used for every fourth step of the round.
static const uint8_t md5_s[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

// FIPS 180-4 4.2.3: the first 64 bits of the fractional parts of the cube roots of the first 80
// primes. SHA-256's constants (4.2.2) are their first 32 bits.
static const uint64_t sha512_k[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL};

// FIPS 180-4 5.3.5: square roots of the first 8 primes; SHA-256's (5.3.3) are their first 32 bits.
static const uint64_t sha512_h0[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};
// 5.3.4: the 9th to 16th primes.
static const uint64_t sha384_h0[8] = {
    0xcbbb9d5dc1059ed8ULL, 0x629a292a367cd507ULL, 0x9159015a3070dd17ULL, 0x152fecd8f70e5939ULL,
    0x67332667ffc00b31ULL, 0x8eb44a8768581511ULL, 0xdb0c2e0d64f98fa7ULL, 0x47b5481dbefa4fa4ULL};

static inline uint32_t rotl32(uint32_t x, uint32_t n) { return (x << n) | (x >> (32u - n)); }
static inline uint32_t rotr32(uint32_t x, uint32_t n) { return (x >> n) | (x << (32u - n)); }
static inline uint64_t rotr64(uint64_t x, uint32_t n) { return (x >> n) | (x << (64u - n)); }

static inline uint32_t load_le32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static inline uint32_t load_be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}
static inline uint64_t load_be64(const uint8_t *p) {
    return (uint64_t)load_be32(p) << 32 | load_be32(p + 4);
}

// One block through a hash's compression function: state (h), a whole block.
typedef void (*block_fn)(void *h, const uint8_t *block);

// The message buffering all three share: fills the unfinished block (total % block_len bytes held
// in block), compresses every completed block, keeps the rest.
static void hash_feed(void *h, uint8_t *block, uint64_t block_len, uint64_t *total,
                      const uint8_t *data, uint64_t len, block_fn compress) {
    if (len == 0) return;  // data may then be null, which memcpy must not see
    uint64_t used = *total % block_len;
    *total += len;
    if (used) {
        uint64_t take = block_len - used < len ? block_len - used : len;
        memcpy(block + used, data, (size_t)take);
        data += take;
        len -= take;
        if (used + take < block_len) return;
        compress(h, block);
    }
    for (; len >= block_len; data += block_len, len -= block_len) compress(h, data);
    if (len) memcpy(block, data, (size_t)len);
}

// The closing padding: a 1 bit, zeros up to len_bytes before a block boundary, then the message
// length in bits in len_bytes bytes (8 little-endian for MD5; 8 or 16 big-endian for SHA-2, whose
// upper 8 of 16 are zero here).
static void hash_pad(void *h, uint8_t *block, uint64_t block_len, uint64_t *total,
                     uint64_t len_bytes, int big_endian, block_fn compress) {
    uint8_t pad[128 + 16] = {0x80};
    uint64_t bits = *total << 3;
    uint64_t used = *total % block_len;
    uint64_t n = used < block_len - len_bytes ? block_len - len_bytes - used
                                              : 2u * block_len - len_bytes - used;
    for (uint64_t i = 0; i < 8; i++) {
        uint64_t at = big_endian ? n + len_bytes - 1u - i : n + i;
        pad[at] = (uint8_t)(bits >> (8u * i));
    }
    hash_feed(h, block, block_len, total, pad, n + len_bytes, compress);
}

static void store_be(uint8_t *out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) out[i] = (uint8_t)(v >> (8 * (bytes - 1 - i)));
}

// RFC 1321 3.4: a = b + ((a + f(b, c, d) + X[k] + T[i]) <<< s), then the words turn: (a, b, c, d)
// becomes (d, new a, b, c).
static inline void md5_step(uint32_t v[4], uint32_t f, uint32_t x, int i) {
    uint32_t a = v[1] + rotl32(v[0] + f + x + md5_t[i], md5_s[((i >> 4) << 2) | (i & 3)]);
    v[0] = v[3];
    v[3] = v[2];
    v[2] = v[1];
    v[1] = a;
}

static void md5_block(void *state, const uint8_t *p) {
    uint32_t *h = (uint32_t *)state;
    uint32_t x[16], v[4];
    for (int i = 0; i < 16; i++) x[i] = load_le32(p + 4 * i);
    memcpy(v, h, sizeof v);
    // The four rounds: their functions F, G, H, I and the order they take the message words in.
    // Unrolled, the word turns are renamings and the shifts constants.
#pragma GCC unroll 16
    for (int i = 0; i < 16; i++) md5_step(v, (v[1] & v[2]) | (~v[1] & v[3]), x[i], i);
#pragma GCC unroll 16
    for (int i = 16; i < 32; i++) md5_step(v, (v[3] & v[1]) | (~v[3] & v[2]), x[(5 * i + 1) & 15], i);
#pragma GCC unroll 16
    for (int i = 32; i < 48; i++) md5_step(v, v[1] ^ v[2] ^ v[3], x[(3 * i + 5) & 15], i);
#pragma GCC unroll 16
    for (int i = 48; i < 64; i++) md5_step(v, v[2] ^ (v[1] | ~v[3]), x[(7 * i) & 15], i);
    for (int i = 0; i < 4; i++) h[i] += v[i];
}

// FIPS 180-4 4.1.2 and 4.1.3: the functions of SHA-256 (32-bit words, 64 rounds) and of SHA-384
// and SHA-512 (64-bit words, 80 rounds).
struct sha256_fns {
    typedef uint32_t word;
    static const int rounds = 64;
    static word k(int t) { return (uint32_t)(sha512_k[t] >> 32); }
    static word load(const uint8_t *p) { return load_be32(p); }
    static word big0(word x) { return rotr32(x, 2) ^ rotr32(x, 13) ^ rotr32(x, 22); }
    static word big1(word x) { return rotr32(x, 6) ^ rotr32(x, 11) ^ rotr32(x, 25); }
    static word small0(word x) { return rotr32(x, 7) ^ rotr32(x, 18) ^ (x >> 3); }
    static word small1(word x) { return rotr32(x, 17) ^ rotr32(x, 19) ^ (x >> 10); }
};

struct sha512_fns {
    typedef uint64_t word;
    static const int rounds = 80;
    static word k(int t) { return sha512_k[t]; }
    static word load(const uint8_t *p) { return load_be64(p); }
    static word big0(word x) { return rotr64(x, 28) ^ rotr64(x, 34) ^ rotr64(x, 39); }
    static word big1(word x) { return rotr64(x, 14) ^ rotr64(x, 18) ^ rotr64(x, 41); }
    static word small0(word x) { return rotr64(x, 1) ^ rotr64(x, 8) ^ (x >> 7); }
    static word small1(word x) { return rotr64(x, 19) ^ rotr64(x, 61) ^ (x >> 6); }
};

// FIPS 180-4 6.2.2 and 6.4.2: the message schedule, the rounds over a to h (v[0] to v[7]), and
// the addition to the hash value.
template <typename F> static void sha2_block(void *state, const uint8_t *p) {
    typedef typename F::word word;
    word *h = (word *)state;
    word w[F::rounds], v[8];
    for (int t = 0; t < 16; t++) w[t] = F::load(p + sizeof(word) * (size_t)t);
    for (int t = 16; t < F::rounds; t++) w[t] = F::small1(w[t - 2]) + w[t - 7] + F::small0(w[t - 15]) + w[t - 16];
    memcpy(v, h, sizeof v);
    word a = v[0], b = v[1], c = v[2], d = v[3], e = v[4], f = v[5], g = v[6], hh = v[7];
#pragma GCC unroll 8
    for (int t = 0; t < F::rounds; t++) {  // unrolled 8 times, the turn of a..h is a renaming
        word t1 = hh + F::big1(e) + ((e & f) ^ (~e & g)) + F::k(t) + w[t];
        word t2 = F::big0(a) + ((a & b) ^ (a & c) ^ (b & c));
        hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
}

// A whole message through a hash's context.
template <typename C>
static void hash_once(void (*init)(C *), void (*update)(C *, const uint8_t *, uint64_t),
                      void (*final)(C *, uint8_t *), const uint8_t *data, uint64_t len, uint8_t *out) {
    C c;
    init(&c);
    update(&c, data, len);
    final(&c, out);
}

void md5_init(md5_ctx *c) {
    c->h[0] = 0x67452301;
    c->h[1] = 0xefcdab89;
    c->h[2] = 0x98badcfe;
    c->h[3] = 0x10325476;
    c->total = 0;
}

void md5_update(md5_ctx *c, const uint8_t *data, uint64_t len) {
    hash_feed(c->h, c->block, 64, &c->total, data, len, md5_block);
}

void md5_final(md5_ctx *c, uint8_t out[16]) {
    hash_pad(c->h, c->block, 64, &c->total, 8, 0, md5_block);
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++) out[4 * i + j] = (uint8_t)(c->h[i] >> (8 * j));
}

void md5(const uint8_t *data, uint64_t len, uint8_t out[16]) {
    hash_once(md5_init, md5_update, md5_final, data, len, out);
}

void sha256_init(sha256_ctx *c) {
    for (int i = 0; i < 8; i++) c->h[i] = (uint32_t)(sha512_h0[i] >> 32);
    c->total = 0;
}

void sha256_update(sha256_ctx *c, const uint8_t *data, uint64_t len) {
    hash_feed(c->h, c->block, 64, &c->total, data, len, sha2_block<sha256_fns>);
}

void sha256_final(sha256_ctx *c, uint8_t out[32]) {
    hash_pad(c->h, c->block, 64, &c->total, 8, 1, sha2_block<sha256_fns>);
    for (int i = 0; i < 8; i++) store_be(out + 4 * i, c->h[i], 4);
}

void sha256(const uint8_t *data, uint64_t len, uint8_t out[32]) {
    hash_once(sha256_init, sha256_update, sha256_final, data, len, out);
}

void sha384_init(sha512_ctx *c) {
    memcpy(c->h, sha384_h0, sizeof c->h);
    c->total = 0;
    c->out_len = sha384_digest_len;
}

void sha512_init(sha512_ctx *c) {
    memcpy(c->h, sha512_h0, sizeof c->h);
    c->total = 0;
    c->out_len = sha512_digest_len;
}

void sha512_update(sha512_ctx *c, const uint8_t *data, uint64_t len) {
    hash_feed(c->h, c->block, 128, &c->total, data, len, sha2_block<sha512_fns>);
}

void sha512_final(sha512_ctx *c, uint8_t *out) {
    hash_pad(c->h, c->block, 128, &c->total, 16, 1, sha2_block<sha512_fns>);
    for (int i = 0; i < c->out_len / 8; i++) store_be(out + 8 * i, c->h[i], 8);
}

void sha384(const uint8_t *data, uint64_t len, uint8_t out[48]) {
    hash_once(sha384_init, sha512_update, sha512_final, data, len, out);
}

void sha512(const uint8_t *data, uint64_t len, uint8_t out[64]) {
    hash_once(sha512_init, sha512_update, sha512_final, data, len, out);
}
