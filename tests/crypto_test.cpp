// Tests of the hashes and ciphers: published vectors, the AES-NI path against the portable one,
// hashing in pieces, and the openssl command as an independent implementation (skipped without it).
#include "crypto/crypto.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "byte_util.h"

static bytes text(const char *s) { return bytes(s, s + strlen(s)); }

static bytes random_bytes(std::mt19937 &rng, size_t n) {
    bytes b(n);
    for (uint8_t &x : b) x = (uint8_t)rng();
    return b;
}

// ---- hashes -------------------------------------------------------------------------------------

enum hash_kind { h_md5, h_sha256, h_sha384, h_sha512 };

static std::string hash_hex(hash_kind k, const bytes &m) {
    uint8_t out[64];
    static const int lens[] = {16, 32, 48, 64};
    switch (k) {
    case h_md5: md5(m.data(), m.size(), out); break;
    case h_sha256: sha256(m.data(), m.size(), out); break;
    case h_sha384: sha384(m.data(), m.size(), out); break;
    case h_sha512: sha512(m.data(), m.size(), out); break;
    }
    return to_hex(out, (size_t)lens[k]);
}

// The same message in pieces of the given sizes, through the incremental interface.
static std::string hash_pieces_hex(hash_kind k, const bytes &m, const std::vector<size_t> &cuts) {
    uint8_t out[64];
    md5_ctx c5;
    sha256_ctx c256;
    sha512_ctx c512;
    md5_init(&c5);
    sha256_init(&c256);
    if (k == h_sha384) sha384_init(&c512); else sha512_init(&c512);
    size_t at = 0;
    for (size_t i = 0; i <= cuts.size(); i++) {
        size_t end = i < cuts.size() ? std::min(cuts[i], m.size()) : m.size();
        if (end < at) end = at;
        const uint8_t *p = m.data() + at;
        if (k == h_md5) md5_update(&c5, p, end - at);
        else if (k == h_sha256) sha256_update(&c256, p, end - at);
        else sha512_update(&c512, p, end - at);
        at = end;
    }
    if (k == h_md5) { md5_final(&c5, out); return to_hex(out, 16); }
    if (k == h_sha256) { sha256_final(&c256, out); return to_hex(out, 32); }
    sha512_final(&c512, out);
    return to_hex(out, (size_t)c512.out_len);
}

struct hash_case { const char *name; hash_kind kind; const char *msg; int repeat; const char *want; };

static const char *abc448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
static const char *abc896 = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                            "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

// RFC 1321 A.5; the FIPS 180-4 examples (one block, two blocks, a million 'a').
static const hash_case hash_cases[] = {
    {"md5 empty", h_md5, "", 1, "d41d8cd98f00b204e9800998ecf8427e"},
    {"md5 a", h_md5, "a", 1, "0cc175b9c0f1b6a831c399e269772661"},
    {"md5 abc", h_md5, "abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
    {"md5 message digest", h_md5, "message digest", 1, "f96b697d7cb7938d525a2f31aaf161d0"},
    {"md5 alphabet", h_md5, "abcdefghijklmnopqrstuvwxyz", 1, "c3fcd3d76192e4007dfb496cca67e13b"},
    {"md5 62 chars", h_md5, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 1,
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"md5 80 digits", h_md5, "1234567890", 8, "57edf4a22be3c955ac49da2e2107b67a"},
    {"sha256 abc", h_sha256, "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"sha256 two blocks", h_sha256, abc448, 1, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"sha256 million a", h_sha256, "a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {"sha384 abc", h_sha384, "abc", 1,
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {"sha384 two blocks", h_sha384, abc896, 1,
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
    {"sha384 million a", h_sha384, "a", 1000000,
     "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
    {"sha512 abc", h_sha512, "abc", 1,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
     "454d4423643ce80e2a9ac94fa54ca49f"},
    {"sha512 two blocks", h_sha512, abc896, 1,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433a"
     "c7d329eeb6dd26545e96e55b874be909"},
    {"sha512 million a", h_sha512, "a", 1000000,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31b"
     "eb009c5c2c49aa2e4eadb217ad8cc09b"},
};

TEST(Crypto, HashVectors) {
    for (const hash_case &c : hash_cases) {
        SCOPED_TRACE(c.name);
        bytes m;
        for (int i = 0; i < c.repeat; i++) {
            bytes t = text(c.msg);
            m.insert(m.end(), t.begin(), t.end());
        }
        EXPECT_EQ(c.want, hash_hex(c.kind, m));
    }
}

// Pieces that end at every place relative to the block (55, 56, 63, 64, 111, 112 bytes are where
// the closing padding needs one block or two), and empty pieces.
TEST(Crypto, HashInPieces) {
    std::mt19937 rng(7);
    for (hash_kind k : {h_md5, h_sha256, h_sha384, h_sha512}) {
        for (size_t n : {0, 1, 55, 56, 63, 64, 65, 111, 112, 127, 128, 129, 1000}) {
            bytes m = random_bytes(rng, n);
            std::string whole = hash_hex(k, m);
            SCOPED_TRACE(std::to_string(k) + " length " + std::to_string(n));
            EXPECT_EQ(whole, hash_pieces_hex(k, m, {0, 0, 1, 3, 3, 70, 200, 200, 500}));
            EXPECT_EQ(whole, hash_pieces_hex(k, m, {n / 2}));
            std::vector<size_t> each;
            for (size_t i = 1; i < n; i++) each.push_back(i);
            EXPECT_EQ(whole, hash_pieces_hex(k, m, each));
        }
    }
}

// ---- RC4 ----------------------------------------------------------------------------------------

struct rc4_case { const char *name; const char *key; const char *plain; const char *want; };

static const rc4_case rc4_cases[] = {
    {"Key", "4b6579", "Plaintext", "bbf316e8d940af0ad3"},
    {"Wiki", "57696b69", "pedia", "1021bf0420"},
    {"Secret", "536563726574", "Attack at dawn", "45a01f645fc35b383552544b9bf5"},
};

TEST(Crypto, Rc4Vectors) {
    for (const rc4_case &c : rc4_cases) {
        SCOPED_TRACE(c.name);
        bytes key = from_hex(c.key), m = text(c.plain), out(m.size());
        rc4_state st;
        ASSERT_EQ(0, rc4_init(&st, key.data(), (int32_t)key.size()));
        rc4_crypt(&st, m.data(), m.size(), out.data());
        EXPECT_EQ(c.want, to_hex(out.data(), out.size()));
    }
}

// RFC 6229: key stream of the 40-bit key 0102030405 at offsets 0, 16 and 4096, taken in pieces
// and in place.
TEST(Crypto, Rc4StreamOffsets) {
    bytes key = from_hex("0102030405"), zeros(4112, 0);
    rc4_state st;
    ASSERT_EQ(0, rc4_init(&st, key.data(), 5));
    rc4_crypt(&st, zeros.data(), 7, zeros.data());
    rc4_crypt(&st, zeros.data() + 7, zeros.size() - 7, zeros.data() + 7);
    EXPECT_EQ("b2396305f03dc027ccc3524a0a1118a8", to_hex(zeros.data(), 16));
    EXPECT_EQ("6982944f18fc82d589c403a47a0d0919", to_hex(zeros.data() + 16, 16));
    EXPECT_EQ("ff25b58995996707e51fbdf08b34d875", to_hex(zeros.data() + 4096, 16));
    EXPECT_EQ(-1, rc4_init(&st, key.data(), 0));
    EXPECT_EQ(-1, rc4_init(&st, key.data(), 257));
}

// ---- AES ----------------------------------------------------------------------------------------

struct aes_block_case { const char *name; const char *key; const char *plain; const char *cipher; };

// FIPS 197 appendix C.
static const aes_block_case aes_block_cases[] = {
    {"C.1 AES-128", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"C.2 AES-192", "000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"C.3 AES-256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
};

TEST(Crypto, AesBlockVectors) {
    for (const aes_block_case &c : aes_block_cases) {
        SCOPED_TRACE(c.name);
        bytes key = from_hex(c.key), p = from_hex(c.plain);
        aes_key k;
        ASSERT_EQ(0, aes_set_key(&k, key.data(), (int32_t)key.size()));
        uint8_t out[16], back[16];
        aes_encrypt_block(&k, p.data(), out);
        EXPECT_EQ(c.cipher, to_hex(out, 16));
        aes_decrypt_block(&k, out, back);
        EXPECT_EQ(c.plain, to_hex(back, 16));
    }
    aes_key k;
    uint8_t key[33] = {0};
    for (int bad : {0, 5, 15, 17, 31, 33}) EXPECT_EQ(-1, aes_set_key(&k, key, bad)) << bad;
}

// SP 800-38A F.2.1 and F.2.5 (F.2.2 and F.2.6 decrypt the same blocks).
static const char *sp_plain = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                              "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
static const aes_block_case cbc_cases[] = {
    {"F.2.1 CBC-AES128", "2b7e151628aed2a6abf7158809cf4f3c", sp_plain,
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    {"F.2.5 CBC-AES256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", sp_plain,
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
};

typedef void (*cbc_fn)(const aes_key *, uint8_t *, const uint8_t *, uint64_t, uint8_t *);

static void accel_or_skip(const aes_key *k, uint8_t *iv, const uint8_t *s, uint64_t n, uint8_t *d) {
    ASSERT_EQ(0, aes_cbc_decrypt_accel(k, iv, s, n, d));
}

struct cbc_path { const char *name; cbc_fn fn; };
static const cbc_path cbc_paths[] = {
    {"portable", aes_cbc_decrypt_portable}, {"accel", accel_or_skip}, {"chosen", aes_cbc_decrypt}};

TEST(Crypto, CbcVectors) {
    for (const aes_block_case &c : cbc_cases) {
        bytes key = from_hex(c.key), p = from_hex(c.plain), want = from_hex(c.cipher);
        aes_key k;
        ASSERT_EQ(0, aes_set_key(&k, key.data(), (int32_t)key.size()));
        uint8_t iv[16];
        for (int i = 0; i < 16; i++) iv[i] = (uint8_t)i;
        bytes out(p.size());
        aes_cbc_encrypt(&k, iv, p.data(), p.size(), out.data());
        EXPECT_EQ(c.cipher, to_hex(out.data(), out.size())) << c.name;
        EXPECT_EQ(to_hex(want.data() + 48, 16), to_hex(iv, 16)) << "iv left at the last block";
        for (const cbc_path &path : cbc_paths) {
            if (path.fn == accel_or_skip && !aes_accel_available()) continue;
            SCOPED_TRACE(std::string(c.name) + " " + path.name);
            for (int i = 0; i < 16; i++) iv[i] = (uint8_t)i;
            bytes back(want.size());
            path.fn(&k, iv, want.data(), want.size(), back.data());
            EXPECT_EQ(c.plain, to_hex(back.data(), back.size()));
            // Two calls continue one chain: iv carries it.
            for (int i = 0; i < 16; i++) iv[i] = (uint8_t)i;
            path.fn(&k, iv, want.data(), 16, back.data());
            path.fn(&k, iv, want.data() + 16, 48, back.data() + 16);
            EXPECT_EQ(c.plain, to_hex(back.data(), back.size()));
        }
    }
}

// memcmp for possibly empty vectors, whose data() may be null.
static bool same_start(const uint8_t *a, const uint8_t *b, size_t n) { return n == 0 || memcmp(a, b, n) == 0; }

// Both decryption paths over random keys and lengths (across the eight-block batches), into
// another buffer, in place, and in place over the IV (dst 16 bytes before src); a partial last
// block is neither read nor written.
TEST(Crypto, CbcPathsAgree) {
    if (!aes_accel_available()) GTEST_SKIP() << "no AES-NI here: the portable path alone is tested";
    std::mt19937 rng(11);
    for (int key_len : {16, 24, 32}) {
        for (size_t n : {0, 5, 16, 17, 112, 128, 129, 144, 255, 1024, 4099}) {
            SCOPED_TRACE(std::to_string(key_len) + " / " + std::to_string(n));
            bytes key = random_bytes(rng, (size_t)key_len), iv0 = random_bytes(rng, 16);
            bytes src = random_bytes(rng, n);
            aes_key k;
            ASSERT_EQ(0, aes_set_key(&k, key.data(), key_len));
            bytes a(n + 1, 0xAA), b(n + 1, 0xAA);
            uint8_t iva[16], ivb[16];
            memcpy(iva, iv0.data(), 16);
            memcpy(ivb, iv0.data(), 16);
            aes_cbc_decrypt_portable(&k, iva, src.data(), n, a.data());
            ASSERT_EQ(0, aes_cbc_decrypt_accel(&k, ivb, src.data(), n, b.data()));
            EXPECT_EQ(a, b);
            EXPECT_EQ(0, memcmp(iva, ivb, 16));
            for (size_t i = n / 16 * 16; i <= n; i++) EXPECT_EQ(0xAA, a[i]) << "wrote past the whole blocks";
            // Encryption takes it back.
            bytes again(n / 16 * 16);
            memcpy(iva, iv0.data(), 16);
            aes_cbc_encrypt(&k, iva, a.data(), again.size(), again.data());
            EXPECT_TRUE(same_start(again.data(), src.data(), again.size()));
            for (const cbc_path &path : cbc_paths) {
                SCOPED_TRACE(path.name);
                bytes in_place = src;
                memcpy(iva, iv0.data(), 16);
                path.fn(&k, iva, in_place.data(), n, in_place.data());
                EXPECT_TRUE(same_start(in_place.data(), a.data(), n / 16 * 16));
                bytes shifted = iv0;
                shifted.insert(shifted.end(), src.begin(), src.end());
                memcpy(iva, shifted.data(), 16);
                path.fn(&k, iva, shifted.data() + 16, n, shifted.data());
                EXPECT_TRUE(same_start(shifted.data(), a.data(), n / 16 * 16));
            }
        }
    }
}

// ---- the openssl command as an oracle -----------------------------------------------------------

struct scratch {
    std::string dir;
    scratch() {
        char t[] = "/tmp/qv-crypto-XXXXXX";
        dir = mkdtemp(t) ? t : "";
    }
    ~scratch() {
        if (!dir.empty()) {
            std::string cmd = "rm -rf '" + dir + "'";
            if (system(cmd.c_str())) {}
        }
    }
};

// `openssl ARGS` over data, with @IN and @OUT in ARGS standing for the files: true and *out, or
// false when the command fails.
static bool openssl(const scratch &s, std::string args, const bytes &data, bytes *out) {
    std::string in = s.dir + "/in", outp = s.dir + "/out";
    if (!write_bytes(in, data)) return false;
    args.replace(args.find("@IN"), 3, in);
    args.replace(args.find("@OUT"), 4, outp);
    std::string cmd = "openssl " + args + " 2>/dev/null";
    if (system(cmd.c_str()) != 0) return false;
    *out = read_bytes(outp);
    return true;
}

static bool have_openssl() { return system("openssl version >/dev/null 2>&1") == 0; }

TEST(Crypto, HashesAgreeWithOpenssl) {
    if (!have_openssl()) GTEST_SKIP() << "no openssl command";
    scratch s;
    std::mt19937 rng(3);
    static const char *names[] = {"md5", "sha256", "sha384", "sha512"};
    for (int i = 0; i < 12; i++) {
        bytes m = random_bytes(rng, rng() % (i < 6 ? 300 : 200000));
        for (hash_kind k : {h_md5, h_sha256, h_sha384, h_sha512}) {
            bytes digest;
            ASSERT_TRUE(openssl(s, std::string("dgst -binary -out @OUT -") + names[k] + " @IN", m, &digest));
            EXPECT_EQ(to_hex(digest.data(), digest.size()), hash_hex(k, m)) << names[k] << " " << m.size();
        }
    }
}

TEST(Crypto, CiphersAgreeWithOpenssl) {
    if (!have_openssl()) GTEST_SKIP() << "no openssl command";
    scratch s;
    std::mt19937 rng(5);
    for (int i = 0; i < 12; i++) {
        int key_len = i % 2 ? 32 : 16;
        bytes key = random_bytes(rng, (size_t)key_len), iv = random_bytes(rng, 16);
        bytes c = random_bytes(rng, 16 * (rng() % 5000));
        bytes want;
        std::string args = std::string("enc -d -nopad -aes-") + (key_len == 16 ? "128" : "256") +
                           "-cbc -K " + to_hex(key.data(), key.size()) + " -iv " + to_hex(iv.data(), 16) +
                           " -in @IN -out @OUT";
        ASSERT_TRUE(openssl(s, args, c, &want));
        aes_key k;
        ASSERT_EQ(0, aes_set_key(&k, key.data(), key_len));
        bytes got(c.size());
        aes_cbc_decrypt(&k, iv.data(), c.data(), c.size(), got.data());
        EXPECT_EQ(want, got) << "AES-" << key_len * 8 << " over " << c.size() << " bytes";
    }
    // RC4 needs the legacy provider; openssl takes 5-byte (rc4-40) and 16-byte keys.
    for (int i = 0; i < 8; i++) {
        bool short_key = i % 2;
        bytes key = random_bytes(rng, short_key ? 5 : 16), m = random_bytes(rng, rng() % 100000), want;
        std::string args = std::string("enc -provider legacy -provider default ") +
                           (short_key ? "-rc4-40" : "-rc4") + " -K " + to_hex(key.data(), key.size()) +
                           " -in @IN -out @OUT";
        if (!openssl(s, args, m, &want)) GTEST_SKIP() << "openssl has no RC4 here";
        rc4_state st;
        ASSERT_EQ(0, rc4_init(&st, key.data(), (int32_t)key.size()));
        bytes got(m.size());
        rc4_crypt(&st, m.data(), m.size(), got.data());
        EXPECT_EQ(want, got) << "RC4 key " << key.size() << " over " << m.size() << " bytes";
    }
}
