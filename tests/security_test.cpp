// Tests of the standard security handler: files encrypted by qpdf (tests/fixtures/security, made
// by make_fixtures.py, with qpdf's file keys and decrypted bytes), malformed /Encrypt values, and
// the edges of AES decryption.
#include "pdfcore/security.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "byte_util.h"
#include "crypto/crypto.h"

static const std::string fixtures = std::string(TEST_SOURCE_DIR) + "/fixtures/security/";

static void set_name(security_name *n, const std::string &s) {
    n->len = s == "-" ? 0 : (int32_t)s.size();
    memcpy(n->text, s.data(), std::min(s.size(), (size_t)security_name_cap));
}

// Copies at most cap bytes, as the handler's caller does with a longer string.
static void set_string(uint8_t *dst, int32_t *len, size_t cap, const bytes &b) {
    *len = (int32_t)std::min(b.size(), cap);
    if (*len) memcpy(dst, b.data(), (size_t)*len);
}

struct stream_item { int32_t num, gen, offset, length, metadata; bytes plain; };
struct string_item { int32_t num, gen; bytes stored, plain; };

struct fixture {
    std::string file;
    bool opens = false;
    pdfcore_encrypt enc;
    std::string key;
    std::vector<stream_item> streams;
    std::vector<string_item> strings;
};

static std::vector<fixture> load_cases() {
    std::vector<fixture> out;
    std::ifstream in(fixtures + "cases.txt");
    std::string line;
    fixture f;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string word, a, b;
        ls >> word;
        pdfcore_encrypt &e = f.enc;
        if (word == "file") {
            f = fixture();
            memset(&f.enc, 0, sizeof f.enc);
            ls >> f.file >> a;
            f.opens = a == "open";
        } else if (word == "encrypt") {
            ls >> e.standard >> e.v >> e.r >> e.length >> e.p >> e.encrypt_metadata;
        } else if (word == "o" || word == "u" || word == "oe" || word == "ue" || word == "perms" || word == "id") {
            ls >> a;
            bytes v = from_hex(a);
            if (word == "o") set_string(e.o, &e.o_len, sizeof e.o, v);
            if (word == "u") set_string(e.u, &e.u_len, sizeof e.u, v);
            if (word == "oe") set_string(e.oe, &e.oe_len, sizeof e.oe, v);
            if (word == "ue") set_string(e.ue, &e.ue_len, sizeof e.ue, v);
            if (word == "perms") set_string(e.perms, &e.perms_len, sizeof e.perms, v);
            if (word == "id") set_string(e.id, &e.id_len, sizeof e.id, v);
        } else if (word == "stmf") {
            ls >> a >> b >> b;
            set_name(&e.stmf, a);
            set_name(&e.strf, b);
        } else if (word == "cf") {
            security_crypt_filter &cf = e.cf[e.cf_count++];
            ls >> a >> b >> cf.length;
            set_name(&cf.name, a);
            set_name(&cf.cfm, b);
        } else if (word == "key") {
            ls >> f.key;
        } else if (word == "stream") {
            stream_item s;
            ls >> s.num >> s.gen >> s.offset >> s.length >> s.metadata >> a;
            s.plain = from_hex(a);
            f.streams.push_back(s);
        } else if (word == "string") {
            string_item s;
            ls >> s.num >> s.gen >> a >> b;
            s.stored = from_hex(a);
            s.plain = from_hex(b);
            f.strings.push_back(s);
        } else if (word == "end") {
            out.push_back(f);
        }
    }
    return out;
}

static const fixture *find_case(const std::vector<fixture> &all, const std::string &file) {
    for (const fixture &f : all)
        if (f.file == file) return &f;
    return nullptr;
}

// Every qpdf file: the empty password opens exactly those made without a user password, and the
// AES-256 ones made without an owner password, with qpdf's file key; every stream (decrypted in place, as stored in the file) and every string
// (into another buffer) comes out as qpdf decrypts it. Metadata streams of the cleartext-metadata
// files are stored plain and stay so.
TEST(Security, QpdfFiles) {
    std::vector<fixture> all = load_cases();
    ASSERT_GE(all.size(), 16u) << "cases.txt missing or short";
    for (const fixture &f : all) {
        SCOPED_TRACE(f.file);
        pdfcore_security s;
        if (!f.opens) {
            EXPECT_EQ(-1, security_authenticate(&f.enc, &s));
            continue;
        }
        ASSERT_EQ(0, security_authenticate(&f.enc, &s));
        EXPECT_EQ(f.key, to_hex(s.key, (size_t)s.key_len));
        if (f.enc.v == 5) EXPECT_EQ(1, s.perms_ok);
        bytes file = read_bytes(fixtures + f.file);
        ASSERT_FALSE(f.streams.empty());
        for (const stream_item &st : f.streams) {
            SCOPED_TRACE("stream " + std::to_string(st.num));
            ASSERT_LE((size_t)st.offset + (size_t)st.length, file.size());
            bytes data(file.begin() + st.offset, file.begin() + st.offset + st.length);
            int32_t method = security_stream_method(&s, nullptr, 0, st.metadata);
            if (st.metadata && !f.enc.encrypt_metadata) EXPECT_EQ(security_identity, method);
            int64_t n = security_decrypt(&s, method, st.num, st.gen, data.data(), data.size(), data.data());
            ASSERT_GE(n, 0);
            data.resize((size_t)n);
            EXPECT_EQ(st.plain, data);
        }
        for (const string_item &str : f.strings) {
            SCOPED_TRACE("string of object " + std::to_string(str.num));
            bytes out(str.stored.size() + 1);
            int64_t n = security_decrypt(&s, s.str_method, str.num, str.gen, str.stored.data(),
                                         str.stored.size(), out.data());
            ASSERT_GE(n, 0);
            out.resize((size_t)n);
            EXPECT_EQ(str.plain, out);
        }
    }
}

// ---- malformed and unhandled /Encrypt values ----------------------------------------------------

struct mutation { const char *name; const char *file; void (*change)(pdfcore_encrypt *); int want; };

static const mutation mutations[] = {
    {"as made", "rc4-128.pdf", [](pdfcore_encrypt *) {}, 0},
    {"not /Standard", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->standard = 0; }, -1},
    {"/V 3", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->v = 3; }, -1},
    {"/V missing", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->v = -1; }, -1},
    {"/R 4 under /V 2", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->r = 4; }, -1},
    {"/R 7 under /V 5", "aes-256.pdf", [](pdfcore_encrypt *e) { e->r = 7; }, -1},
    {"/O of 31 bytes", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->o_len = 31; }, -1},
    {"/O missing", "aes-128.pdf", [](pdfcore_encrypt *e) { e->o_len = 0; }, -1},
    {"/U of 31 bytes", "rc4-40.pdf", [](pdfcore_encrypt *e) { e->u_len = 31; }, -1},
    {"/U longer: its first 32 bytes count", "aes-128.pdf", [](pdfcore_encrypt *e) { e->u_len = 48; }, 0},
    {"/U of 47 bytes under /R 6", "aes-256.pdf", [](pdfcore_encrypt *e) { e->u_len = 47; }, -1},
    {"/UE of 31 bytes", "aes-256.pdf", [](pdfcore_encrypt *e) { e->ue_len = 31; }, -1},
    {"/Length 0", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->length = 0; }, -1},
    {"/Length 136", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->length = 136; }, -1},
    {"/Length 100", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->length = 100; }, -1},
    {"/Length -5000", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->length = -5000; }, -1},
    {"/Length absurd under /V 1: 40 bits", "rc4-40.pdf", [](pdfcore_encrypt *e) { e->length = 1 << 30; }, 0},
    {"/ID longer than kept", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->id_len = security_id_cap + 1; }, -1},
    {"/ID changed", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->id[0] ^= 1; }, -1},
    {"/U changed", "aes-128.pdf", [](pdfcore_encrypt *e) { e->u[15] ^= 1; }, -1},
    {"/U changed after 16 bytes", "aes-128.pdf", [](pdfcore_encrypt *e) { e->u[16] ^= 1; }, 0},
    {"/U hash changed", "aes-256.pdf", [](pdfcore_encrypt *e) { e->u[0] ^= 1; }, -1},
    {"/U salt changed", "aes-256-r5.pdf", [](pdfcore_encrypt *e) { e->u[33] ^= 1; }, -1},
    {"/P changed", "rc4-128.pdf", [](pdfcore_encrypt *e) { e->p ^= 4; }, -1},
    {"/EncryptMetadata changed", "aes-128.pdf", [](pdfcore_encrypt *e) { e->encrypt_metadata = 0; }, -1},
    {"/StmF names no filter", "aes-128.pdf", [](pdfcore_encrypt *e) { set_name(&e->stmf, "Other"); }, -1},
    {"/StrF /Identity", "aes-128.pdf", [](pdfcore_encrypt *e) { set_name(&e->strf, "Identity"); }, 0},
    {"/StmF missing: /Identity", "aes-128.pdf", [](pdfcore_encrypt *e) { e->stmf.len = 0; }, 0},
    {"/CFM /AESV3 under /V 4", "aes-128.pdf", [](pdfcore_encrypt *e) { set_name(&e->cf[0].cfm, "AESV3"); }, -1},
    {"/CFM /AESV2 under /V 5", "aes-256.pdf", [](pdfcore_encrypt *e) { set_name(&e->cf[0].cfm, "AESV2"); }, -1},
    {"/CFM /V2 under /V 5", "aes-256.pdf", [](pdfcore_encrypt *e) { set_name(&e->cf[0].cfm, "V2"); }, -1},
    {"/CFM unknown", "rc4-128-v4.pdf", [](pdfcore_encrypt *e) { set_name(&e->cf[0].cfm, "XYZ"); }, -1},
    {"/CF name too long", "aes-128.pdf", [](pdfcore_encrypt *e) { e->cf[0].name.len = security_name_cap + 1; }, -1},
    {"/OE missing: not needed", "aes-256.pdf", [](pdfcore_encrypt *e) { e->oe_len = 0; }, 0},
    {"empty owner password, as made", "owner-aes-256.pdf", [](pdfcore_encrypt *) {}, 0},
    {"empty owner password: /UE missing, not needed", "owner-aes-256-r5.pdf",
     [](pdfcore_encrypt *e) { e->ue_len = 0; }, 0},
    {"empty owner password: /OE of 31 bytes", "owner-aes-256.pdf", [](pdfcore_encrypt *e) { e->oe_len = 31; }, -1},
    {"empty owner password: /OE missing", "owner-aes-256-r5.pdf", [](pdfcore_encrypt *e) { e->oe_len = 0; }, -1},
    {"empty owner password: /O hash changed", "owner-aes-256.pdf", [](pdfcore_encrypt *e) { e->o[0] ^= 1; }, -1},
    {"empty owner password: /O salt changed", "owner-aes-256-r5.pdf", [](pdfcore_encrypt *e) { e->o[33] ^= 1; }, -1},
    // /U's 48 bytes are in the owner hash: a change in its key salt, which the user check never reads.
    {"empty owner password: /U key salt changed", "owner-aes-256.pdf", [](pdfcore_encrypt *e) { e->u[47] ^= 1; }, -1},
    {"empty owner password: /U key salt changed, /R 5", "owner-aes-256-r5.pdf",
     [](pdfcore_encrypt *e) { e->u[47] ^= 1; }, -1},
    {"/V 4 RC4 without /Length: the filter's 16 bytes", "rc4-128-v4.pdf",
     [](pdfcore_encrypt *e) { e->length = -1; }, 0},
    {"/V 4 RC4 filter length in bits", "rc4-128-v4.pdf",
     [](pdfcore_encrypt *e) { e->length = -1; e->cf[0].length = 128; }, 0},
    {"/V 4 RC4 filter length absurd", "rc4-128-v4.pdf",
     [](pdfcore_encrypt *e) { e->length = -1; e->cf[0].length = 4000; }, -1},
    {"/V 4 AES ignores /Length", "aes-128.pdf", [](pdfcore_encrypt *e) { e->length = 40; }, 0},
    {"negative /CF count", "aes-128.pdf", [](pdfcore_encrypt *e) { e->cf_count = -3; }, -1},
};

TEST(Security, MalformedEncryptValues) {
    std::vector<fixture> all = load_cases();
    for (const mutation &m : mutations) {
        SCOPED_TRACE(m.name);
        const fixture *f = find_case(all, m.file);
        ASSERT_NE(nullptr, f);
        pdfcore_encrypt e = f->enc;
        m.change(&e);
        pdfcore_security s;
        memset(&s, 0x5A, sizeof s);
        int rc = security_authenticate(&e, &s);
        EXPECT_EQ(m.want, rc);
        if (rc == 0) {
            EXPECT_EQ(f->key, to_hex(s.key, (size_t)s.key_len));
        } else {
            pdfcore_security zero;
            memset(&zero, 0, sizeof zero);
            EXPECT_EQ(0, memcmp(&zero, &s, sizeof s)) << "a refusal clears the state";
        }
    }
}

// /Perms is checked but does not decide: the key comes from /U and /UE alone.
TEST(Security, PermsIsInformative) {
    std::vector<fixture> all = load_cases();
    const fixture *f = find_case(all, "aes-256.pdf");
    ASSERT_NE(nullptr, f);
    struct perms_case { const char *name; void (*change)(pdfcore_encrypt *); int32_t want; };
    static const perms_case cases[] = {
        {"as made", [](pdfcore_encrypt *) {}, 1},
        {"a permission bit changed", [](pdfcore_encrypt *e) { e->perms[0] ^= 1; }, 0},
        {"/EncryptMetadata disagrees", [](pdfcore_encrypt *e) { e->encrypt_metadata = 0; }, 0},
        {"/Perms too short", [](pdfcore_encrypt *e) { e->perms_len = 15; }, 0},
    };
    for (const perms_case &c : cases) {
        SCOPED_TRACE(c.name);
        pdfcore_encrypt e = f->enc;
        c.change(&e);
        pdfcore_security s;
        ASSERT_EQ(0, security_authenticate(&e, &s));
        EXPECT_EQ(c.want, s.perms_ok);
        EXPECT_EQ(f->key, to_hex(s.key, (size_t)s.key_len));
    }
}

// ---- stream methods -----------------------------------------------------------------------------

TEST(Security, StreamMethod) {
    std::vector<fixture> all = load_cases();
    struct method_case { const char *file; const char *crypt; int32_t metadata, want; };
    static const method_case cases[] = {
        {"aes-128.pdf", nullptr, 0, security_aes},
        {"aes-128.pdf", nullptr, 1, security_aes},
        {"aes-128-clear-meta.pdf", nullptr, 1, security_identity},
        {"aes-128-clear-meta.pdf", nullptr, 0, security_aes},
        {"aes-128.pdf", "Identity", 0, security_identity},
        {"aes-128.pdf", "StdCF", 1, security_aes},
        {"aes-128.pdf", "Other", 0, -1},
        {"aes-256-clear-meta.pdf", nullptr, 1, security_identity},
        {"aes-256-clear-meta.pdf", "StdCF", 1, security_aes},
        {"rc4-128-v4.pdf", nullptr, 0, security_rc4},
        {"rc4-40.pdf", nullptr, 1, security_rc4},
        {"rc4-40.pdf", "Identity", 0, security_identity},
        {"rc4-40.pdf", "StdCF", 0, -1},
    };
    for (const method_case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + (c.crypt ? c.crypt : "-") + " " + std::to_string(c.metadata));
        const fixture *f = find_case(all, c.file);
        ASSERT_NE(nullptr, f);
        pdfcore_security s;
        ASSERT_EQ(0, security_authenticate(&f->enc, &s));
        EXPECT_EQ(c.want, security_stream_method(&s, (const uint8_t *)c.crypt,
                                                 c.crypt ? (int32_t)strlen(c.crypt) : 0, c.metadata));
    }
}

// A name length below zero (from a careless caller) matches nothing and reads nothing.
TEST(Security, NegativeNameLength) {
    std::vector<fixture> all = load_cases();
    const fixture *f = find_case(all, "aes-128.pdf");
    ASSERT_NE(nullptr, f);
    pdfcore_encrypt e = f->enc;
    e.cf[1] = e.cf[0];
    e.cf[1].name.len = -1;
    e.cf_count = 2;
    pdfcore_security s;
    ASSERT_EQ(0, security_authenticate(&e, &s));
    EXPECT_EQ(-1, security_stream_method(&s, (const uint8_t *)"StdCF", -1, 0));
}

// AES asked of a 40-bit RC4 state has no key to use: -1 whatever the length (a fuzz finding
// returned 0 for short data and -1 for long).
TEST(Security, AesOnRc4State) {
    std::vector<fixture> all = load_cases();
    const fixture *f = find_case(all, "rc4-40.pdf");
    ASSERT_NE(nullptr, f);
    pdfcore_security s;
    ASSERT_EQ(0, security_authenticate(&f->enc, &s));
    bytes data(64, 7);
    for (size_t len : {0, 20, 64})
        EXPECT_EQ(-1, security_decrypt(&s, security_aes, 3, 0, data.data(), len, data.data())) << len;
}

// ---- AES edges ----------------------------------------------------------------------------------

// A /V 5 state with a fixed key: objects decrypt under the key itself.
static pdfcore_security v5_state() {
    pdfcore_security s;
    memset(&s, 0, sizeof s);
    s.v = 5;
    s.key_len = 32;
    for (int i = 0; i < 32; i++) s.key[i] = (uint8_t)(i * 7 + 1);
    s.stm_method = s.str_method = security_aes;
    return s;
}

// IV then the plain bytes encrypted as they are (the caller adds the padding it wants).
static bytes aes_stored(const pdfcore_security &s, const bytes &plain) {
    bytes out(16 + plain.size());
    for (int i = 0; i < 16; i++) out[(size_t)i] = (uint8_t)(200 - i);
    aes_key k;
    aes_set_key(&k, s.key, 32);
    uint8_t iv[16];
    memcpy(iv, out.data(), 16);
    aes_cbc_encrypt(&k, iv, plain.data(), plain.size(), out.data() + 16);
    return out;
}

TEST(Security, AesPaddingAndLengths) {
    pdfcore_security s = v5_state();
    // Three blocks of plain bytes: letters, then the tail.
    struct pad_case { const char *name; bytes tail; size_t extra; int64_t want; };
    const pad_case cases[] = {
        {"padding 8 removed", bytes(8, 8), 0, 40},
        {"padding 16: a whole block removed", bytes(16, 16), 0, 32},
        {"padding 1 removed", bytes(1, 1), 0, 47},
        {"last byte 0: kept", bytes(8, 0), 0, 48},
        {"last byte 17: kept", bytes(8, 17), 0, 48},
        {"padding bytes disagree: kept", bytes{8, 8, 8, 8, 8, 8, 7, 8}, 0, 48},
        {"5 stray bytes after the blocks dropped, padding removed", bytes(8, 8), 5, 40},
        {"15 stray bytes", bytes(8, 8), 15, 40},
    };
    for (const pad_case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes plain(48 - c.tail.size());
        for (size_t i = 0; i < plain.size(); i++) plain[i] = (uint8_t)('a' + i % 26);
        plain.insert(plain.end(), c.tail.begin(), c.tail.end());
        bytes stored = aes_stored(s, plain);
        stored.insert(stored.end(), c.extra, 0x33);
        bytes out(stored.size(), 0xEE);
        int64_t n = security_decrypt(&s, security_aes, 12, 0, stored.data(), stored.size(), out.data());
        ASSERT_EQ(c.want, n);
        EXPECT_EQ(0, memcmp(out.data(), plain.data(), (size_t)n));
        for (size_t i = plain.size(); i < out.size(); i++) ASSERT_EQ(0xEE, out[i]) << "wrote past the blocks";
        int64_t m = security_decrypt(&s, security_aes, 12, 0, stored.data(), stored.size(), stored.data());
        ASSERT_EQ(n, m);
        EXPECT_EQ(0, memcmp(stored.data(), plain.data(), (size_t)m)) << "in place";
    }
    // Too short to hold a block after the IV: nothing, and nothing read past the end.
    for (size_t len : {0, 1, 15, 16, 31}) {
        bytes stored(len, 0x11), out(1, 0xEE);
        EXPECT_EQ(0, security_decrypt(&s, security_aes, 1, 0, stored.data(), len, out.data())) << len;
        EXPECT_EQ(0xEE, out[0]);
    }
}

TEST(Security, OtherMethods) {
    pdfcore_security s = v5_state();
    bytes src = {1, 2, 3, 4, 5}, out(5, 0);
    EXPECT_EQ(5, security_decrypt(&s, security_identity, 1, 0, src.data(), 5, out.data()));
    EXPECT_EQ(src, out);
    EXPECT_EQ(-1, security_decrypt(&s, 7, 1, 0, src.data(), 5, out.data()));
    EXPECT_EQ(-1, security_decrypt(&s, -1, 1, 0, src.data(), 5, out.data()));
    uint8_t key[32];
    EXPECT_EQ(-1, security_object_key(&s, security_identity, 1, 0, key));
    EXPECT_EQ(32, security_object_key(&s, security_aes, 9, 3, key));
    EXPECT_EQ(0, memcmp(key, s.key, 32)) << "/V 5 uses the file key for every object";
    // Under /V 1 to 4 object keys differ by number and generation; RC4 and AES keys differ.
    pdfcore_security r = s;
    r.v = 2;
    r.key_len = 5;
    uint8_t a[32], b[32], c[32], d[32];
    EXPECT_EQ(10, security_object_key(&r, security_rc4, 9, 0, a));
    EXPECT_EQ(10, security_object_key(&r, security_rc4, 9, 1, b));
    EXPECT_EQ(10, security_object_key(&r, security_rc4, 9 + (1 << 24), 0, c));
    r.key_len = 16;
    EXPECT_EQ(16, security_object_key(&r, security_aes, 9, 0, d));
    EXPECT_NE(0, memcmp(a, b, 10));
    EXPECT_EQ(0, memcmp(a, c, 10)) << "only the low 3 bytes of the number count";
    EXPECT_EQ(16, security_object_key(&r, security_rc4, 9, 0, b));
    EXPECT_NE(0, memcmp(b, d, 16));
}
