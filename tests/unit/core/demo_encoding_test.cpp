// Demo element -> protobuf Demo message, checked with the independent decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/CoreDemo.h"
#include "pb_decode_client.h"

using velm::demo::EncodeDemo;

namespace {

struct Encoded {
    int result;
    std::vector<uint8_t> bytes;
};

Encoded EncodeText(const std::string& xml, size_t capacity = velm::demo::kDemoBufferSize) {
    std::vector<uint8_t> buf(capacity + 16, 0xEE);
    int r = EncodeDemo(xml, buf.data(), capacity);
    for (size_t i = capacity; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE) << "written past the buffer";
    Encoded e{r, {}};
    if (r > 0) e.bytes.assign(buf.begin(), buf.begin() + r);
    return e;
}

}  // namespace

TEST(DemoEncoding, AttributeMappingAgainstDecoder) {
    struct Case {
        const char* xml;
        const char* decoded;
    };
    const Case cases[] = {
        {"<Demo lang=\"06\"><Pi gender=\"f\"/></Demo>", "lang: 6 Pi { gender: F }"},
        {"<Demo><Pi gender=\"X\" name=\"A\"/></Demo>", "Pi { name: \"A\" }"},
        {"<Demo><Pi gender=\"m\" dobt=\"a\" ms=\"e\"/></Demo>", "Pi { ms: E gender: M dobt: A }"},
        {"<Demo><Pi ms=\"P\" dobt=\"V\" gender=\"T\"/></Demo>", "Pi { ms: P gender: T dobt: V }"},
        {"<Demo><Pi ms=\"Q\" dobt=\"x\" age=\"33\"/></Demo>", "Pi { age: 33 }"},
        {"<Demo><Pi dob=\"1990\"/></Demo>", "Pi { dob { first: 1990 } }"},
        {"<Demo><Pi dob=\"1990-07\"/></Demo>", "Pi { dob { first: 1990 second: 7 } }"},
        {"<Demo><Pi dob=\"12-05-1987\"/></Demo>", "Pi { dob { first: 12 second: 5 third: 1987 } }"},
        {"<Demo><Pi dob=\"1990/07/01\"/></Demo>", "Pi { dob { first: 1990 } }"},
        {"<Demo><Pa ms=\"P\" pc=\"560001\"/></Demo>", "Pa { ms: E pc: \"560001\" }"},
        {"<Demo><Pa ms=\"\"/></Demo>", "Pa { ms: E }"},
        {"<Demo><Pi name=\"First\"/><Pi name=\"Second\"/></Demo>", "Pi { name: \"First\" }"},
        {"<Demo><Pi mv=\" 90abc\" lmv=\"-5\"/></Demo>", "Pi { mv: 90 lmv: -5 }"},
        {"<Demo><Pi name=\"A &amp; B\"/></Demo>", "Pi { name: \"A & B\" }"},
        {"<Demo><Pfa ms=\"E\" mv=\"100\" av=\"12 Main Road\" lav=\"x\" lmv=\"60\"/></Demo>",
         "Pfa { ms: E av: \"12 Main Road\" mv: 100 lav: \"x\" lmv: 60 }"},
        {"<Demo lang=\"1\"><Pfa av=\"z\"/><Pa co=\"c\"/><Pi phone=\"99\" email=\"e@x\"/></Demo>",
         "lang: 1 Pi { email: \"e@x\" phone: \"99\" } Pa { co: \"c\" } Pfa { av: \"z\" }"},
        {"<Demo><Pa co=\"1\" house=\"2\" street=\"3\" lm=\"4\" loc=\"5\" vtc=\"6\" subdist=\"7\" dist=\"8\" "
         "state=\"9\" country=\"10\" pc=\"11\" po=\"12\"/></Demo>",
         "Pa { co: \"1\" house: \"2\" street: \"3\" lm: \"4\" loc: \"5\" vtc: \"6\" subdist: \"7\" dist: \"8\" "
         "state: \"9\" pc: \"11\" po: \"12\" country: \"10\" }"},
    };
    std::vector<std::vector<uint8_t>> messages;
    for (const Case& c : cases) {
        Encoded e = EncodeText(c.xml);
        ASSERT_GT(e.result, 0) << c.xml;
        messages.push_back(e.bytes);
    }
    auto decoded = velm::testsupport::DecodeDemoMessages(messages);
    ASSERT_EQ(decoded.size(), messages.size());
    for (size_t i = 0; i < decoded.size(); ++i) EXPECT_EQ(decoded[i], cases[i].decoded) << cases[i].xml;
}

TEST(DemoEncoding, ExactBytes) {
    Encoded lang = EncodeText("<Demo lang=\"06\"></Demo>");
    EXPECT_EQ(lang.result, 2);
    EXPECT_EQ(lang.bytes, (std::vector<uint8_t>{0x08, 0x06}));
    EXPECT_EQ(EncodeText("<Demo></Demo>").result, 0);
    EXPECT_EQ(EncodeText("<Demo><Pi/><Pa/></Demo>").result, 0);
    Encoded dob = EncodeText("<Demo><Pi dob=\"1990\"/></Demo>");
    EXPECT_EQ(dob.bytes, (std::vector<uint8_t>{0x12, 0x05, 0x3A, 0x03, 0x08, 0xC6, 0x0F}));
}

TEST(DemoEncoding, FailureCodes) {
    struct Case {
        const char* xml;
        int expect;
    };
    const std::string name61(61, 'n');
    const std::string name60(60, 'n');
    const std::string wideOk = "<Demo><Pi name=\"" + name60 + "\"/></Demo>";
    const std::string tooLong = "<Demo><Pi name=\"" + name61 + "\"/></Demo>";
    const std::string paTooLong = "<Demo><Pa po=\"" + name61 + "\"/></Demo>";
    const Case cases[] = {
        {"", velm::demo::kDemoNoElement},
        {"<Demo", velm::demo::kDemoNoElement},
        {"<Other><Demo lang=\"1\"/></Other>", velm::demo::kDemoNoElement},
        {"<Demo><Pi age=\"abc\"/></Demo>", velm::demo::kDemoConversionFailed},
        {"<Demo lang=\"\"/>", velm::demo::kDemoConversionFailed},
        {"<Demo><Pi mv=\"2147483648\"/></Demo>", velm::demo::kDemoConversionFailed},
        {"<Demo><Pfa lmv=\"-2147483649\"/></Demo>", velm::demo::kDemoConversionFailed},
        {"<Demo><Pi dob=\"99999999999\"/></Demo>", velm::demo::kDemoConversionFailed},
        {tooLong.c_str(), velm::demo::kDemoConversionFailed},
        {paTooLong.c_str(), velm::demo::kDemoConversionFailed},
        {wideOk.c_str(), 64},
        {"<Demo><Pi mv=\"2147483647\"/></Demo>", 8},
    };
    for (const Case& c : cases) EXPECT_EQ(EncodeText(c.xml).result, c.expect) << c.xml;
}

TEST(DemoEncoding, MessageThatDoesNotFitIsRefused) {
    std::string a(60, 'a');
    std::string xml = "<Demo lang=\"-1\"><Pi name=\"" + a + "\" lname=\"" + a + "\" email=\"" + a + "\" phone=\"" + a +
                      "\" mv=\"-1\" lmv=\"-1\" age=\"-1\" dob=\"-1--1--1\"/><Pa ms=\"E\"";
    for (const char* f : {"co", "house", "street", "lm", "loc", "vtc", "subdist", "dist", "state", "country", "pc",
                          "po"})
        xml += std::string(" ") + f + "=\"" + a + "\"";
    xml += "/><Pfa av=\"" + a + "\" lav=\"" + a + "\" mv=\"-1\" lmv=\"-1\"/></Demo>";
    EXPECT_EQ(EncodeText(xml).result, velm::demo::kDemoTooLarge);
    Encoded big = EncodeText(xml, 4096);
    ASSERT_GT(big.result, 1024);
    auto decoded = velm::testsupport::DecodeDemoMessages({big.bytes});
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_NE(decoded[0].find("dob { first: -1 second: -1 third: -1 }"), std::string::npos) << decoded[0];
}
