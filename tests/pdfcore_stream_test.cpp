// Tests of the stream module's room rule: a stage's output grows with what it decodes, up to a
// limit in bytes; a last stage stops at its limit and says so, an inner one that reaches the cap
// is refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/flate.h"
#include "pdfcore/stream.h"

// The library's own encoder: the decoders under test are checked against the bytes it was given.
static std::string deflated(const std::string &raw) {
    uint8_t *z = nullptr;
    uint64_t n = 0;
    if (qv_deflate((const uint8_t *)raw.data(), raw.size(), &z, &n) != 0) return "";
    std::string s((const char *)z, (size_t)n);
    free(z);
    return s;
}

static stream_chain chain_of(std::initializer_list<int32_t> filters) {
    stream_chain c;
    memset(&c, 0, sizeof c);
    for (int32_t f : filters) {
        stream_stage &st = c.stage[c.count++];
        st.filter = f;
        st.predictor = 1;
        st.colors = st.bpc = st.columns = -1;
        st.globals = -1;
    }
    return c;
}

struct run_result {
    int rc = -1, cut = 0;
    std::string out;
};

static run_result run(const stream_chain &c, const std::string &in, uint64_t limit) {
    stream_opts o;
    memset(&o, 0, sizeof o);
    o.limit = limit;
    run_result r;
    uint8_t *out = nullptr;
    uint64_t n = 0;
    r.rc = stream_run(nullptr, &c, c.count, (const uint8_t *)in.data(), in.size(), &o, &out, &n, &r.cut);
    if (r.rc == 0) {
        EXPECT_EQ(0, out[n]) << "a NUL after the output";
        r.out.assign((const char *)out, (size_t)n);
        free(out);
    }
    return r;
}

TEST(StreamRoom, GrowsWithTheOutputUpToTheLimit) {
    const std::string raw(1000000, 'q');  // about 1,000:1
    const std::string z = deflated(raw);
    ASSERT_FALSE(z.empty());
    ASSERT_LT(z.size() * 500, raw.size());
    const uint64_t n = raw.size();
    struct room_case {
        const char *name;
        stream_chain chain;
        std::string in;
        uint64_t limit;
        int rc, cut;
        uint64_t want;  // bytes out
    } cases[] = {
        {"a 1,000:1 stream, no limit", chain_of({pf_flate}), z, 0, 0, 0, n},
        {"at the limit", chain_of({pf_flate}), z, n, 0, 0, n},
        {"one past it: the bytes up to it", chain_of({pf_flate}), z, n - 1, 0, 1, n - 1},
        {"a small limit", chain_of({pf_flate}), z, 10, 0, 1, 10},
        {"an inner stage gives all, the last one stops", chain_of({pf_flate, pf_ahx}), deflated(std::string(2000, 'a')), 600, 0, 1, 600},
        {"raw data cut too", chain_of({}), raw, 5, 0, 1, 5},
        {"corrupt data fails whatever the room", chain_of({pf_flate}), z.substr(0, z.size() / 2), 0, -1, 0, 0},
    };
    for (const room_case &c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run(c.chain, c.in, c.limit);
        ASSERT_EQ(c.rc, r.rc);
        if (c.rc != 0) continue;
        EXPECT_EQ(c.cut, r.cut);
        ASSERT_EQ(c.want, r.out.size());
        if (c.chain.count == 1) EXPECT_EQ(raw.substr(0, c.want), r.out);
    }
}
