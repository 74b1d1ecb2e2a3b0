// The hand-written Demo encoder, byte for byte and against the independent decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pb_decode_client.h"
#include "security/VELM_Pid_Codec.h"

using namespace velm::pid;

namespace {

std::vector<uint8_t> Encode(const Demo& demo, size_t capacity = 4096) {
    std::vector<uint8_t> buf(capacity);
    long n = Demo_write(demo, buf.data(), buf.size(), 0);
    EXPECT_GE(n, 0);
    buf.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return buf;
}

Demo Empty() {
    Demo d;
    std::memset(&d, 0x5A, sizeof d);  // make sure clearing really clears
    Demo_clear(d);
    return d;
}

void SetText(PbText& slot, const std::string& s) { ASSERT_TRUE(PbText_set(slot, s)); }

}  // namespace

TEST(PidCodec, KnownByteVectors) {
    {
        Demo d = Empty();
        EXPECT_TRUE(Demo_is_default_message(d));
        EXPECT_TRUE(Encode(d).empty());
    }
    {
        Demo d = Empty();
        d.lang = 6;
        EXPECT_EQ(Encode(d), (std::vector<uint8_t>{0x08, 0x06}));
    }
    {
        Demo d = Empty();
        SetText(d.pi.name, "AB");
        EXPECT_EQ(Encode(d), (std::vector<uint8_t>{0x12, 0x04, 0x12, 0x02, 0x41, 0x42}));
    }
    {
        // Dob 1990-0-0: first number always written, the zeros left out.
        Demo d = Empty();
        d.pi.dob.first = 1990;
        EXPECT_EQ(Encode(d), (std::vector<uint8_t>{0x12, 0x05, 0x3A, 0x03, 0x08, 0xC6, 0x0F}));
    }
    {
        // Negative int32: sign-extended, ten bytes after the tag.
        Demo d = Empty();
        d.pi.mv = -1;
        std::vector<uint8_t> expect = {0x12, 0x0B, 0x18};
        for (int i = 0; i < 9; ++i) expect.push_back(0xFF);
        expect.push_back(0x01);
        EXPECT_EQ(Encode(d), expect);
    }
    {
        // Dob with a zero first number but a later one set is still written, first included.
        Demo d = Empty();
        d.pi.dob.third = 5;
        EXPECT_EQ(Encode(d), (std::vector<uint8_t>{0x12, 0x06, 0x3A, 0x04, 0x08, 0x00, 0x18, 0x05}));
    }
}

TEST(PidCodec, NestedLengthPrefixGrowsAt128) {
    // Pa body of exactly 127 and 128 bytes: co (2 + 60) + house (2 + 60) + street (2 + 1 or 2).
    for (size_t streetLen : {1u, 2u}) {
        Demo d = Empty();
        SetText(d.pa.co, std::string(60, 'c'));
        SetText(d.pa.house, std::string(60, 'h'));
        SetText(d.pa.street, std::string(streetLen, 's'));
        std::vector<uint8_t> out = Encode(d);
        size_t body = 124 + 2 + streetLen;
        ASSERT_EQ(out[0], 0x1A);
        if (body < 128) {
            EXPECT_EQ(out[1], body);
            EXPECT_EQ(out.size(), 2 + body);
        } else {
            EXPECT_EQ(out[1], 0x80 | (body & 0x7F));
            EXPECT_EQ(out[2], body >> 7);
            EXPECT_EQ(out.size(), 3 + body);
        }
        EXPECT_EQ(out[out.size() - 1], 's');
        auto decoded = velm::testsupport::DecodeDemoMessages({out});
        ASSERT_EQ(decoded.size(), 1u);
        EXPECT_EQ(decoded[0].rfind("Pa { co: \"" + std::string(60, 'c'), 0), 0u) << decoded[0];
    }
}

TEST(PidCodec, TextSlotRefusesMoreThanSixtyBytes) {
    PbText t;
    EXPECT_TRUE(PbText_set(t, std::string(60, 'x')));
    EXPECT_EQ(t.len, 60u);
    EXPECT_FALSE(PbText_set(t, std::string(61, 'x')));
    EXPECT_EQ(t.len, 0u);
}

// Fills every field with its widest value; the result is larger than 1024 bytes.
Demo Widest() {
    Demo d = Empty();
    d.lang = -2;
    d.pi.ms = Ms_P;
    d.pi.mv = d.pi.lmv = d.pi.age = -100;
    d.pi.gender = Gender_T;
    d.pi.dob = {-1, -2, -3};
    d.pi.dobt = Dobt_A;
    for (PbText* t : {&d.pi.name, &d.pi.lname, &d.pi.email, &d.pi.phone}) PbText_set(*t, std::string(60, 'p'));
    d.pa.ms = Ms_E;
    for (PbText* t : {&d.pa.co, &d.pa.house, &d.pa.street, &d.pa.lm, &d.pa.loc, &d.pa.vtc, &d.pa.subdist,
                      &d.pa.dist, &d.pa.state, &d.pa.pc, &d.pa.po, &d.pa.country})
        PbText_set(*t, std::string(60, 'a'));
    d.pfa.ms = Ms_P;
    d.pfa.mv = d.pfa.lmv = -7;
    PbText_set(d.pfa.av, std::string(60, 'f'));
    PbText_set(d.pfa.lav, std::string(60, 'g'));
    return d;
}

TEST(PidCodec, NeverWritesPastCapacity) {
    Demo d = Widest();
    std::vector<uint8_t> full = Encode(d);
    ASSERT_GT(full.size(), 1024u);
    // Every capacity short of the full size fails without touching the guard bytes after it.
    for (size_t cap : {size_t{0}, size_t{1}, size_t{2}, size_t{100}, size_t{1024}, full.size() - 1}) {
        std::vector<uint8_t> buf(cap + 64, 0xEE);
        EXPECT_EQ(Demo_write(d, buf.data(), cap, 0), kPbNoRoom) << cap;
        for (size_t i = cap; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE) << "cap " << cap << " byte " << i;
    }
    std::vector<uint8_t> exact(full.size());
    EXPECT_EQ(Demo_write(d, exact.data(), exact.size(), 0), static_cast<long>(full.size()));
    EXPECT_EQ(exact, full);
}

TEST(PidCodec, FullDemoDecodesIndependently) {
    Demo d = Widest();
    Demo small = Empty();
    small.lang = 1;
    small.pi.gender = Gender_F;
    small.pi.dob = {1987, 12, 31};
    SetText(small.pi.name, "Ravi Kumar");
    small.pa.ms = Ms_E;
    SetText(small.pa.pc, "560001");
    small.pfa.lmv = 90;
    auto lines = velm::testsupport::DecodeDemoMessages({Encode(d), Encode(small)});
    ASSERT_EQ(lines.size(), 2u);
    std::string p60(60, 'p'), a60(60, 'a');
    std::string expectWide =
        "lang: -2 Pi { ms: P name: \"" + p60 + "\" mv: -100 lname: \"" + p60 +
        "\" lmv: -100 gender: T dob { first: -1 second: -2 third: -3 } dobt: A age: -100 email: \"" + p60 +
        "\" phone: \"" + p60 + "\" } Pa { ms: E";
    for (const char* f : {"co", "house", "street", "lm", "loc", "vtc", "subdist", "dist", "state", "pc", "po",
                          "country"})
        expectWide += std::string(" ") + f + ": \"" + a60 + "\"";
    expectWide += " } Pfa { ms: P av: \"" + std::string(60, 'f') + "\" mv: -7 lav: \"" + std::string(60, 'g') +
                  "\" lmv: -7 }";
    EXPECT_EQ(lines[0], expectWide);
    EXPECT_EQ(lines[1],
              "lang: 1 Pi { name: \"Ravi Kumar\" gender: F dob { first: 1987 second: 12 third: 31 } } "
              "Pa { ms: E pc: \"560001\" } Pfa { lmv: 90 }");
}
