#include "server/velmhttpparser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct Parsed {
    int result = 0;
    std::string method, path;
    int minor = -1;
    std::vector<std::pair<std::string, std::string>> headers;  // "<cont>" for a continuation line
};

Parsed Parse(const std::string& head, size_t capacity = 64) {
    Parsed p;
    const char* method = nullptr;
    const char* path = nullptr;
    size_t mlen = 0, plen = 0;
    std::vector<phr_header> headers(capacity);
    size_t n = capacity;
    p.result = phr_parse_request(head.data(), head.size(), &method, &mlen, &path, &plen, &p.minor, headers.data(), &n, 0);
    if (p.result > 0) {
        p.method.assign(method, mlen);
        p.path.assign(path, plen);
        for (size_t i = 0; i < n; ++i) {
            std::string name = headers[i].name ? std::string(headers[i].name, headers[i].name_len) : "<cont>";
            p.headers.emplace_back(name, std::string(headers[i].value, headers[i].value_len));
        }
    }
    return p;
}

std::string WithHeaders(int count) {
    std::string head = "RDSERVICE / HTTP/1.1\r\n";
    for (int i = 0; i < count; ++i) head += "X-H" + std::to_string(i) + ": v\r\n";
    return head + "\r\n";
}

struct Case {
    const char* name;
    std::string head;
    int expect;  // > 0: the full length of head; -1 malformed; -2 incomplete
};

TEST(VelmHttpParser, TableOfHeads) {
    const std::string body = "<PidOptions/>";
    const std::vector<Case> cases = {
        {"plain request", "RDSERVICE / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 1},
        {"lone LF line ends", "CAPTURE /rd/capture HTTP/1.0\nA: b\n\n", 1},
        {"leading empty line skipped", "\r\nRDSERVICE /rd HTTP/1.1\r\n\r\n", 1},
        {"two spaces before path", "RDSERVICE  /rd HTTP/1.1\r\n\r\n", 1},
        {"two spaces before version", "RDSERVICE /rd  HTTP/1.1\r\n\r\n", 1},
        {"path with high bytes", "RDSERVICE /r\xc3\xa9 HTTP/1.1\r\n\r\n", 1},
        {"64 headers", WithHeaders(64), 1},
        {"65 headers", WithHeaders(65), -1},
        {"empty method", " / HTTP/1.1\r\n\r\n", -1},
        {"method with separator", "RD(SERVICE / HTTP/1.1\r\n\r\n", -1},
        {"control byte in path", "RDSERVICE /r\x01 HTTP/1.1\r\n\r\n", -1},
        {"DEL in path", "RDSERVICE /r\x7f HTTP/1.1\r\n\r\n", -1},
        {"not HTTP/1.x", "RDSERVICE / HTTP/2.0\r\n\r\n", -1},
        {"minor version not a digit", "RDSERVICE / HTTP/1.x\r\n\r\n", -1},
        {"CR without LF", "RDSERVICE / HTTP/1.1\rX\r\n\r\n", -1},
        {"space before colon", "RDSERVICE / HTTP/1.1\r\nHost : x\r\n\r\n", -1},
        {"empty header name", "RDSERVICE / HTTP/1.1\r\n: x\r\n\r\n", -1},
        {"control byte in value", "RDSERVICE / HTTP/1.1\r\nA: b\x01\r\n\r\n", -1},
        {"continuation first", "RDSERVICE / HTTP/1.1\r\n folded\r\n\r\n", -1},
        {"two empty lines first", "\r\n\r\nRDSERVICE / HTTP/1.1\r\n\r\n", -1},
        {"incomplete method", "RDSERV", -2},
        {"incomplete path", "RDSERVICE /r", -2},
        {"incomplete version", "RDSERVICE / HTTP/1", -2},
        {"incomplete after CR", "RDSERVICE / HTTP/1.1\r", -2},
        {"incomplete headers", "RDSERVICE / HTTP/1.1\r\nHost: x\r\n", -2},
        {"incomplete final CR", "RDSERVICE / HTTP/1.1\r\nHost: x\r\n\r", -2},
        {"empty", "", -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = Parse(c.head);
        if (c.expect > 0) {
            EXPECT_EQ(p.result, static_cast<int>(c.head.size()));
        } else {
            EXPECT_EQ(p.result, c.expect);
        }
    }
}

TEST(VelmHttpParser, FieldsPointIntoTheBuffer) {
    const std::string head =
        "CAPTURE  /rd/capture?x=1 HTTP/1.0\r\n"
        "Content-Length:10\r\n"
        "X-Pad: \t value with  blanks \t \r\n"
        " continued line  \r\n"
        "Empty:\r\n"
        "\r\n";
    const std::string buf = head + "0123456789";
    const char* method = nullptr;
    const char* path = nullptr;
    size_t mlen = 0, plen = 0, n = 64;
    int minor = -1;
    phr_header headers[64];
    int r = phr_parse_request(buf.data(), buf.size(), &method, &mlen, &path, &plen, &minor, headers, &n, 0);
    ASSERT_EQ(r, static_cast<int>(head.size()));
    EXPECT_EQ(method, buf.data());
    EXPECT_EQ(std::string(method, mlen), "CAPTURE");
    EXPECT_EQ(std::string(path, plen), "/rd/capture?x=1");
    EXPECT_EQ(minor, 0);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(std::string(headers[0].name, headers[0].name_len), "Content-Length");
    EXPECT_EQ(std::string(headers[0].value, headers[0].value_len), "10");
    EXPECT_EQ(std::string(headers[1].value, headers[1].value_len), "value with  blanks");
    EXPECT_EQ(headers[2].name, nullptr);
    EXPECT_EQ(headers[2].name_len, 0u);
    EXPECT_EQ(std::string(headers[2].value, headers[2].value_len), "continued line");
    EXPECT_EQ(std::string(headers[3].name, headers[3].name_len), "Empty");
    EXPECT_EQ(headers[3].value_len, 0u);
}

TEST(VelmHttpParser, EveryPrefixOfAValidHeadIsIncomplete) {
    const std::string head = "OPTIONS /rd HTTP/1.1\r\nAccess-Control-Request-Method: CAPTURE\r\n folded\r\n\r\n";
    for (size_t len = 0; len < head.size(); ++len) {
        SCOPED_TRACE(len);
        EXPECT_EQ(Parse(head.substr(0, len)).result, -2);
    }
    EXPECT_EQ(Parse(head).result, static_cast<int>(head.size()));
}

TEST(VelmHttpParser, HeaderCapacityIsHonoured) {
    EXPECT_EQ(Parse(WithHeaders(3), 3).result, static_cast<int>(WithHeaders(3).size()));
    EXPECT_EQ(Parse(WithHeaders(4), 3).result, -1);
}

}  // namespace
