#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/VELM_Local_Server_Handler.h"
#include "server_test_support.h"

namespace {

using velm::servertest::FakeOperations;

const std::string kCors =
    "Access-Control-Allow-Headers: *\r\n"
    "Access-Control-Allow-Credentials: true\r\n"
    "Access-Control-Allow-Private-Network: true\r\n"
    "Access-Control-Max-Age: 86400\r\n";

TEST(ResponseFraming, OkResponseByteForByte) {
    FakeOperations ops;
    VELM_Local_Server_Handler server(&ops, false, {});
    const std::string expected =
        "HTTP/1.1 200 OK\r\n"
        "Cache-Control: No-Cache\r\n"
        "Access-Control-Allow-Origin: *\r\n" +
        kCors +
        "Location: HTTP://127.0.0.1:11100/\r\n"
        "Connection: close\r\n"
        "Content-Type: text/xml; charset=utf-8\r\n"
        "Content-Length: 5\r\n"
        "\r\n"
        "<a/>x\r\n";
    EXPECT_EQ(server.resp_200_ok("<a/>x"), expected);
}

TEST(ResponseFraming, PreflightAndLocalhostOrigin) {
    FakeOperations ops;
    VELM_Local_Server_Handler server(&ops, true, {11150, 11160, 11250});
    const std::string expected =
        "HTTP/1.1 200 OK\r\n"
        "Cache-Control: No-Cache\r\n"
        "Access-Control-Allow-Origin: 127.0.0.1\r\n"
        "Access-Control-Allow-Methods: RDSERVICE, DEVICEINFO, CAPTURE, OPTIONS, REGISTER_DEV\r\n" +
        kCors +
        "Location: HTTP://127.0.0.1:11150/\r\n"
        "Content-Length: 0\r\n"
        "\r\n"
        "\r\n";
    EXPECT_EQ(server.resp_options(), expected);
}

TEST(ResponseFraming, FixedResponses) {
    FakeOperations ops;
    VELM_Local_Server_Handler server(&ops, false, {});
    struct Row {
        std::string response, status, body;
    };
    const std::vector<Row> rows = {
        {server.resp_device_busy(), "HTTP/1.1 200 OK", ""},
        {server.resp_404(), "HTTP/1.1 404 Not Found", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error>Not Found</Error>"},
        {server.resp_405(), "HTTP/1.1 405 Method Not Allowed",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error>Method Not Allowed</Error>"},
        {server.resp_413(), "HTTP/1.1 413 Payload Too Large",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error>Payload Too Large</Error>"},
    };
    EXPECT_EQ(rows[1].body.size(), 62u);
    EXPECT_EQ(rows[2].body.size(), 71u);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.status);
        EXPECT_EQ(r.response.rfind(r.status + "\r\n", 0), 0u);
        const std::string tail = "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n" + r.body + "\r\n";
        ASSERT_GE(r.response.size(), tail.size());
        EXPECT_EQ(r.response.substr(r.response.size() - tail.size()), tail);
        EXPECT_NE(r.response.find("Connection: close\r\nContent-Type: text/xml; charset=utf-8\r\n"), std::string::npos);
        EXPECT_EQ(r.response.find("Access-Control-Allow-Methods"), std::string::npos);
    }
    // An empty body ends with the length line, the empty line and the trailing CR LF.
    const std::string busy = server.resp_device_busy();
    EXPECT_EQ(busy.substr(busy.size() - 23), "Content-Length: 0\r\n\r\n\r\n");
}

VELM_Http_Request Req(std::string method, std::string path, std::map<std::string, std::string> headers = {},
                      std::string body = "") {
    return VELM_Http_Request{std::move(method), std::move(path), std::move(headers), std::move(body)};
}

TEST(Dispatch, RoutesMethodsAndPaths) {
    FakeOperations ops;
    VELM_Local_Server_Handler server(&ops, false, {});
    struct Row {
        VELM_Http_Request request;
        std::string expected;  // the full response
        std::string call;      // the operation reached, "" for none
    };
    const std::vector<Row> rows = {
        {Req("RDSERVICE", "/"), server.resp_200_ok(ops.rdInfo), "RDINFO"},
        {Req("RDSERVICE", "*"), server.resp_200_ok(ops.rdInfo), "RDINFO"},
        {Req("RDSERVICE", "/rd"), server.resp_200_ok(ops.rdInfo), "RDINFO"},
        {Req("RDSERVICE", "/rd?x=/rd/info"), server.resp_200_ok(ops.rdInfo), "RDINFO"},
        {Req("DEVICEINFO", "/rd/info"), server.resp_200_ok(ops.deviceInfo), "DEVICEINFO"},
        {Req("CAPTURE", "/rd/capture?a=b", {}, "<PidOptions/>"), server.resp_200_ok(ops.capture), "CAPTURE"},
        {Req("REGISTER_DEV", "/rd/regdev"), server.resp_200_ok(ops.registration), "REGISTER"},
        {Req("DEVICEINFO", "/rd/capture"), server.resp_405(), ""},
        {Req("RDSERVICE", "/rd/info"), server.resp_405(), ""},
        {Req("CAPTURE", "/rd/regdev"), server.resp_405(), ""},
        {Req("REGISTER_DEV", "/"), server.resp_405(), ""},
        {Req("CAPTURE", "/rd/capture/"), server.resp_404(), ""},
        {Req("CAPTURE", "/elsewhere"), server.resp_404(), ""},
        {Req("RDSERVICE", "/RD"), server.resp_404(), ""},
        {Req("GET", "/rd"), server.resp_405(), ""},
        {Req("rdservice", "/rd"), server.resp_405(), ""},
        {Req("GET", "/nowhere"), server.resp_405(), ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.request.method + " " + r.request.path);
        ops.Reset();
        EXPECT_EQ(server.process_parsed_request(r.request), r.expected);
        std::vector<std::string> expectedCalls;
        if (!r.call.empty()) expectedCalls.push_back(r.call);
        EXPECT_EQ(ops.Calls(), expectedCalls);
    }
}

TEST(Dispatch, CaptureGetsTheBodyAndTheLastCheckTime) {
    FakeOperations ops;
    VELM_Local_Server_Handler server(&ops, false, {});
    server.UpdateLastCheckTime(1700000000);
    server.process_parsed_request(Req("CAPTURE", "/rd/capture", {}, "<PidOptions ver=\"1.0\"/>"));
    EXPECT_EQ(ops.LastCaptureBody(), "<PidOptions ver=\"1.0\"/>");
    EXPECT_EQ(ops.LastCheckTime(), 1700000000);
}

TEST(Dispatch, PreflightRules) {
    FakeOperations ops;
    VELM_Local_Server_Handler server(&ops, false, {});
    struct Row {
        std::map<std::string, std::string> headers;
        std::string path;
        bool accepted;
    };
    const std::vector<Row> rows = {
        {{{"access-control-request-method", "CAPTURE"}}, "/rd/capture", true},
        {{{"access-control-request-method", "capture"}}, "/anything", true},
        {{{"access-control-request-method", "CAPTURE, OPTIONS"}}, "/", true},
        {{{"access-control-request-method", "registerdev"}}, "/", false},
        {{{"access-control-request-method", "REGISTER_DEV"}}, "/rd/regdev", true},
        {{{"x-access-control-request-method", "DEVICEINFO"}}, "/", true},
        {{{"access-control-request-method", "GET"}}, "/rd", false},
        {{{"access-control-request-headers", "CAPTURE"}}, "/rd", false},
        {{}, "/rd", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        ops.Reset();
        EXPECT_EQ(server.process_parsed_request(Req("OPTIONS", r.path, r.headers)),
                  r.accepted ? server.resp_options() : server.resp_405());
        EXPECT_TRUE(ops.Calls().empty());
    }
}

TEST(Dispatch, OperationFailurePassesThrough) {
    FakeOperations ops;
    ops.throwOnDeviceInfo = true;
    VELM_Local_Server_Handler server(&ops, false, {});
    EXPECT_THROW(server.process_parsed_request(Req("DEVICEINFO", "/rd/info")), std::runtime_error);
}

}  // namespace
