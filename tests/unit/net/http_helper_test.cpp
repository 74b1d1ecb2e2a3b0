// The HTTPS client against the management-server twin (TLS, SOAP, downloads, proxy) and its
// pure rules (proxy keys, integrity commands, file names, Date header, SOAP answer walk).
#include <dirent.h>
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <memory>
#include <thread>

#include "net/VELM_HTTP_Helper.h"
#include "net_fixture.h"
#include "service/Profile.h"
#include "service/VELM_Utils.h"

using velm::net::SoapStep;

namespace {

// ---- pure rules ------------------------------------------------------------------------------

TEST(ProxyRules, OnlyExactTrueWithHostAndPort) {
    struct Row {
        std::map<std::string, std::string> keys;
        bool use;
        std::string hostPort;
        bool creds;
    };
    const std::map<std::string, std::string> full = {{"USE_PROXY", "TRUE"}, {"PROXY_SERVER", "10.0.0.1"},
                                                     {"PROXY_PORT", "3128"}, {"PROXY_USERNAME", "u"},
                                                     {"PROXY_PWD", "p"}};
    auto with = [&](const std::string& k, const std::string& v) {
        auto m = full;
        m[k] = v;
        return m;
    };
    const std::vector<Row> rows = {
        {full, true, "10.0.0.1:3128", true},
        {with("USE_PROXY", "true"), false, "", false},
        {with("USE_PROXY", " TRUE"), false, "", false},
        {with("USE_PROXY", "TRUE "), false, "", false},
        {with("USE_PROXY", "FALSE"), false, "", false},
        {with("USE_PROXY", ""), false, "", false},
        {with("PROXY_PORT", ""), false, "", false},
        {with("PROXY_SERVER", ""), false, "", false},
        {with("PROXY_PWD", ""), true, "10.0.0.1:3128", false},
        {with("PROXY_USERNAME", ""), true, "10.0.0.1:3128", false},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        std::vector<std::string> read;
        const auto p = velm::net::ResolveProxy([&](const std::string& k) {
            read.push_back(k);
            auto it = rows[i].keys.find(k);
            return it == rows[i].keys.end() ? std::string() : it->second;
        });
        EXPECT_EQ(p.use, rows[i].use) << "row " << i;
        EXPECT_EQ(p.hostPort, rows[i].hostPort) << "row " << i;
        EXPECT_EQ(p.hasCredentials, rows[i].creds) << "row " << i;
        if (rows[i].creds) {
            EXPECT_EQ(p.user, "u");
            EXPECT_EQ(p.password, "p");
        }
        if (rows[i].keys.at("USE_PROXY") != "TRUE") {
            EXPECT_EQ(read, std::vector<std::string>{"USE_PROXY"});
        }
    }
}

TEST(IntegrityCommand, ChosenByFileNameMarkers) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> rows = {
        {"/tmp/x.tar.xz", {"/usr/bin/xz", "-t", "--", "/tmp/x.tar.xz"}},
        {"/tmp/X.TAR.XZ", {"/usr/bin/xz", "-t", "--", "/tmp/X.TAR.XZ"}},
        {"/tmp/x.tar.gz", {"/usr/bin/gzip", "-t", "--", "/tmp/x.tar.gz"}},
        {"/tmp/X.TAR.GZ", {"/usr/bin/gzip", "-t", "--", "/tmp/X.TAR.GZ"}},
        {"/tmp/x.tar", {"/usr/bin/tar", "-tf", "/tmp/x.tar"}},
        {"/tmp/x.tar.bz2", {"/usr/bin/tar", "-tf", "/tmp/x.tar.bz2"}},  // ".tar" anywhere in the name
        {"/tmp/x.zip", {"/usr/bin/unzip", "-t", "/tmp/x.zip"}},
        {"/tmp/X.ZIP", {"/usr/bin/unzip", "-t", "/tmp/X.ZIP"}},
        {"-x.zip", {"/usr/bin/unzip", "-t", "./-x.zip"}},  // never read as an option
        {"/tmp/x.Zip", {}},                                 // mixed case is not a marker
        {"/tmp/x.Tar.Gz", {}},
        {"/tmp/x.bin", {}},
        {"/srv/a.tar.gz/x.bin", {}},  // a directory name carries no marker
        {"/tmp/it's;rm -rf.zip", {"/usr/bin/unzip", "-t", "/tmp/it's;rm -rf.zip"}},
    };
    for (const auto& [path, argv] : rows) EXPECT_EQ(velm::net::IntegrityTestCommand(path), argv) << path;
}

TEST(SafeFileName, RefusesPathsOptionsAndControlCharacters) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {"velmtr460l1_125.zip", true}, {"VELM_L1_RD_Service_1.3.6.tar.gz", true}, {"a", true},
        {"", false}, {".", false}, {"..", false}, {"../x.zip", false}, {"a/b.zip", false},
        {"/etc/passwd", false}, {"x..zip", false}, {"-rf", false}, {"-", false},
        {std::string("a\nb"), false}, {std::string("a\rb"), false}, {std::string("a\0b", 3), false},
        {"a\x7f", false}, {"tab\tname", false}, {std::string(255, 'a'), true}, {std::string(256, 'a'), false},
    };
    for (const auto& [name, ok] : rows) EXPECT_EQ(velm::net::IsSafeFileName(name), ok) << name;
}

TEST(DateHeader, OnlyTheDateHeaderIsTaken) {
    const std::vector<std::tuple<std::string, bool, std::string>> rows = {
        {"Date: Tue, 01 Jan 2030 00:00:00 GMT\r\n", true, "Tue, 01 Jan 2030 00:00:00 GMT\r\n"},
        {"date: Tue, 01 Jan 2030 00:00:00 GMT\r\n", true, "Tue, 01 Jan 2030 00:00:00 GMT\r\n"},
        {"DATE:Tue, 01 Jan 2030 00:00:00 GMT\r\n", true, "Tue, 01 Jan 2030 00:00:00 GMT\r\n"},
        {"Date: \t Wed, 09 Dec 2026 15:31:08 GMT\n", true, "Wed, 09 Dec 2026 15:31:08 GMT\n"},
        {"X-Date: Tue, 01 Jan 2030 00:00:00 GMT\r\n", false, ""},
        {"Last-Modified: Tue, 01 Jan 2030 00:00:00 GMT\r\n", false, ""},
        {"Content-Type: text/html; Date: x\r\n", false, ""},
        {"HTTP/1.1 200 OK\r\n", false, ""},
        {"\r\n", false, ""},
    };
    for (const auto& [line, match, value] : rows) {
        std::string v = "unchanged";
        EXPECT_EQ(velm::net::ExtractDateHeader(line, v), match) << line;
        EXPECT_EQ(v, match ? value : "unchanged") << line;
    }
}

TEST(SoapAnswerWalk, EachStep) {
    const std::string env = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">";
    const std::vector<std::tuple<std::string, SoapStep, std::string>> rows = {
        {"", SoapStep::NotXml, ""},
        {"FAIL: Couldn't connect to server", SoapStep::NotXml, ""},
        {"<soap:Envelope><soap:Body>", SoapStep::NotXml, ""},
        {"<html><body>Error</body></html>", SoapStep::NoEnvelope, ""},
        {env + "<soap:Header/></soap:Envelope>", SoapStep::NoBody, ""},
        {env + "<soap:Body><OtherResponse/></soap:Body></soap:Envelope>", SoapStep::NoResponse, ""},
        {env + "<soap:Body><OpResponse><OpStatus>x</OpStatus></OpResponse></soap:Body></soap:Envelope>",
         SoapStep::NoResult, ""},
        {env + "<soap:Body><OpResponse><OpResult/></OpResponse></soap:Body></soap:Envelope>", SoapStep::Ok, ""},
        {"<?xml version=\"1.0\"?>" + env +
             "<soap:Body><OpResponse xmlns=\"urn:x\"><OpResult> a,b &amp; c </OpResult></OpResponse></soap:Body>"
             "</soap:Envelope>",
         SoapStep::Ok, " a,b & c "},
    };
    for (const auto& [text, step, value] : rows) {
        const auto a = velm::net::ParseSoapAnswer(text, "Op");
        EXPECT_EQ(a.step, step) << text;
        EXPECT_EQ(a.text, value) << text;
    }
}

TEST(RunProgram, ExitStatusTimeoutAndRefusals) {
    EXPECT_EQ(velm::net::RunProgram({"/usr/bin/true"}, 30000), 0);
    EXPECT_EQ(velm::net::RunProgram({"/usr/bin/false"}, 30000), 1);
    EXPECT_EQ(velm::net::RunProgram({"/usr/bin/sleep", "60"}, 200), -1);  // killed at the deadline
    EXPECT_EQ(velm::net::RunProgram({"true"}, 30000), -1);                 // no lookup through PATH
    EXPECT_EQ(velm::net::RunProgram({"/nonexistent/program"}, 30000), -1);
    EXPECT_EQ(velm::net::RunProgram({}, 30000), -1);
}

// ---- against the twin ------------------------------------------------------------------------

class HttpHelperTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = nettest::MakeTempDir("net");
        ASSERT_FALSE(root_.empty());
        twin_ = new nettest::Twin();
        ASSERT_TRUE(twin_->Start(root_ + "/twin-state")) << "the twin did not start";
        ::mkdir((root_ + "/install").c_str(), 0755);
        UseProfile(twin_->caPath);
    }
    static void TearDownTestSuite() {
        delete twin_;
        twin_ = nullptr;
    }
    static void UseProfile(const std::string& caBundle) {
        auto p = velm::profile::BuiltIn();
        p.installDir = root_ + "/install";
        p.serverOrigin = twin_->origin;
        p.serverCaBundle = caBundle;
        velm::profile::OverrideForTesting(p);
    }
    void SetUp() override {
        ASSERT_NE(twin_, nullptr);
        bool ok = false;
        twin_->Control("POST", "/reset", "{}", &ok);
        ASSERT_TRUE(ok);
        ::unlink(velm::profile::InstallPath("config_data").c_str());
        helper_ = std::make_unique<VELM_HTTP_Helper>(&utils_);
    }
    void Fault(const std::string& json) {
        bool ok = false;
        twin_->Control("POST", "/fault", json, &ok);
        ASSERT_TRUE(ok) << json;
    }
    std::string Url(const std::string& path) const { return twin_->origin + path; }
    void Publish(const std::string& path, const std::string& data) {
        bool ok = false;
        twin_->Control("POST", "/publish", "{\"path\":\"" + path + "\",\"data_b64\":\"" + nettest::Base64(data) + "\"}",
                       &ok);
        ASSERT_TRUE(ok);
    }
    std::string RegisterBody() const {
        return std::string("<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                           "xmlns:tem=\"http://velmora.example/rd/registration/\"><soapenv:Header/><soapenv:Body>"
                           "<tem:RegisterDevice3><tem:argReqData>") +
               nettest::Base64("4,SN42,REQ") +
               "</tem:argReqData><tem:argCallVersion>1.0</tem:argCallVersion></tem:RegisterDevice3>"
               "</soapenv:Body></soapenv:Envelope>";
    }
    std::string Register() {
        return helper_->SendRequestToServer(Url(velm::net::kRegistrationPath), "RegisterDevice3", RegisterBody());
    }

    static std::string root_;
    static nettest::Twin* twin_;
    VELM_Utils utils_;
    std::unique_ptr<VELM_HTTP_Helper> helper_;
};
std::string HttpHelperTest::root_;
nettest::Twin* HttpHelperTest::twin_ = nullptr;

std::string Fail(CURLcode code) { return std::string("FAIL: ") + curl_easy_strerror(code); }

TEST_F(HttpHelperTest, TimeFetchReturnsTheServerDateHeader) {
    for (long offset : {0L, 400L * 86400L, -3L * 86400L}) {
        bool ok = false;
        twin_->Control("POST", "/time-offset", "{\"seconds\":" + std::to_string(offset) + "}", &ok);
        ASSERT_TRUE(ok);
        const std::string date = helper_->GetTimeFromServer(Url(velm::net::kTimeSyncPath));
        ASSERT_TRUE(std::regex_match(date, std::regex("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT\r\n")))
            << date;
        std::tm tm{};
        ASSERT_NE(::strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S", &tm), nullptr);
        const double drift = std::difftime(::timegm(&tm), std::time(nullptr) + offset);
        EXPECT_LT(std::abs(drift), 300.0) << "offset " << offset;
    }
    EXPECT_EQ(twin_->LastRequest("method"), "GET");
    EXPECT_EQ(twin_->LastRequest("path"), velm::net::kTimeSyncPath);
}

TEST_F(HttpHelperTest, TimeFetchWithoutDateHeaderIsEmpty) {
    Fault("{\"target\":\"/TR460_REGISTRATION_SERVICE/time_sync.html\",\"kind\":\"no_date_header\"}");
    EXPECT_EQ(helper_->GetTimeFromServer(Url(velm::net::kTimeSyncPath)), "");
    EXPECT_EQ(twin_->RequestCount(), 1);
}

TEST_F(HttpHelperTest, SoapPostCarriesExactlyItsThreeHeadersAndTheBody) {
    std::string body = "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\">";
    body += std::string(300 - body.size() - 19, 'x') + "</soapenv:Envelope>";
    ASSERT_EQ(body.size(), 300u);
    helper_->SendRequestToServer(Url("/TR460_REGISTRATION_SERVICE/TR460REGNew.asmx"), "TestOperation", body);
    ASSERT_EQ(twin_->RequestCount(), 1);
    const std::string head = twin_->LastRequest("raw_head");
    EXPECT_EQ(head.rfind("POST /TR460_REGISTRATION_SERVICE/TR460REGNew.asmx HTTP/1.1\r\n", 0), 0u) << head;
    std::vector<std::string> custom;
    std::istringstream in(head);
    std::string line;
    std::getline(in, line);  // request line
    while (std::getline(in, line) && line != "\r") {
        if (line.rfind("Host:", 0) == 0 || line.rfind("Accept:", 0) == 0) continue;
        custom.push_back(line);
    }
    EXPECT_EQ(custom, (std::vector<std::string>{"Content-Type:text/xml; Charset=UTF-8\r", "SOAPActions: TestOperation\r",
                                                "Content-Length: 300\r"}));
    EXPECT_EQ(twin_->LastRequest("body"), body);
}

TEST_F(HttpHelperTest, SoapActionWithLineBreakIsNotSent) {
    EXPECT_EQ(helper_->SendRequestToServer(Url(velm::net::kRegistrationPath), "RegisterDevice3\r\nX-Evil: 1",
                                           RegisterBody()),
              "");
    EXPECT_EQ(twin_->RequestCount(), 0);
}

TEST_F(HttpHelperTest, SoapAnswerStepsOfRealAnswers) {
    const std::vector<std::pair<std::string, SoapStep>> rows = {
        {"", SoapStep::Ok},
        {"\"kind\":\"malformed_xml\"", SoapStep::NotXml},
        {"\"kind\":\"missing_element\",\"level\":\"envelope\"", SoapStep::NoEnvelope},
        {"\"kind\":\"missing_element\",\"level\":\"body\"", SoapStep::NoBody},
        {"\"kind\":\"missing_element\",\"level\":\"response\"", SoapStep::NoResponse},
        {"\"kind\":\"missing_element\",\"level\":\"result\"", SoapStep::NoResult},
        {"\"kind\":\"http_error\",\"status\":500,\"body\":\"<html>Internal error</html>\"", SoapStep::NoEnvelope},
    };
    for (const auto& [fault, step] : rows) {
        if (!fault.empty()) Fault("{\"target\":\"RegisterDevice3\",\"count\":1," + fault + "}");
        const auto a = velm::net::ParseSoapAnswer(Register(), "RegisterDevice3");
        EXPECT_EQ(a.step, step) << fault;
        if (step == SoapStep::Ok) {
            EXPECT_EQ(a.text.rfind("1,SN42,", 0), 0u) << a.text;
        }
    }
    Fault("{\"target\":\"RegisterDevice3\",\"count\":1,\"kind\":\"empty_result\"}");
    const auto empty = velm::net::ParseSoapAnswer(Register(), "RegisterDevice3");
    EXPECT_TRUE(empty.ok());
    EXPECT_EQ(empty.text, "");
}

TEST_F(HttpHelperTest, HttpErrorStatus) {
    Fault("{\"target\":\"RegisterDevice3\",\"kind\":\"http_error\",\"status\":500,\"body\":\"<fault>busy</fault>\"}");
    EXPECT_EQ(Register(), "<fault>busy</fault>");  // SOAP: the error body goes to the caller
    // GET of a file and a download: an error page is not the file
    Fault("{\"target\":\"/download/page.txt\",\"kind\":\"http_error\",\"status\":404,\"body\":\"MAJOR_VER:9\"}");
    EXPECT_EQ(helper_->GetDataFromServer(Url("/download/page.txt")), "");
    const std::string local = root_ + "/page.txt";
    EXPECT_FALSE(helper_->DownloadFileFromServer(Url("/download/page.txt"), local));
    EXPECT_FALSE(nettest::Exists(local));
}

TEST_F(HttpHelperTest, TextFetchReturnsTheWholeBody) {
    std::string text;
    for (int i = 0; text.size() < 300000; ++i) text += "MAJOR_VER:" + std::to_string(i) + "\n";
    Publish("/download/updates/linux/velm_server.txt", text);
    EXPECT_EQ(helper_->GetDataFromServer(Url("/download/updates/linux/velm_server.txt")), text);
}

TEST_F(HttpHelperTest, SlowAnswerIsCutAtTheLimit) {
    VELM_HTTP_Helper::Limits limits;
    limits.totalMs = 1500;
    limits.downloadTotalMs = 1500;
    helper_->SetLimits(limits);
    Fault("{\"target\":\"*\",\"kind\":\"delay\",\"seconds\":120}");
    EXPECT_EQ(Register(), Fail(CURLE_OPERATION_TIMEDOUT));
    EXPECT_EQ(helper_->GetTimeFromServer(Url(velm::net::kTimeSyncPath)), "");
    EXPECT_EQ(helper_->GetDataFromServer(Url(velm::net::kTimeSyncPath)), "");
    EXPECT_FALSE(helper_->DownloadFileFromServer(Url(velm::net::kTimeSyncPath), root_ + "/slow.bin"));
    EXPECT_FALSE(nettest::Exists(root_ + "/slow.bin"));
}

TEST_F(HttpHelperTest, DroppedConnection) {
    Fault("{\"target\":\"*\",\"kind\":\"drop_connection\"}");
    EXPECT_EQ(Register(), Fail(CURLE_GOT_NOTHING));
    EXPECT_EQ(helper_->GetTimeFromServer(Url(velm::net::kTimeSyncPath)), "");
    EXPECT_EQ(helper_->GetDataFromServer(Url(velm::net::kTimeSyncPath)), "");
}

TEST_F(HttpHelperTest, UnreachableServer) {
    const nettest::RefusingPort closed;
    ASSERT_GT(closed.port, 0);
    const std::string url = "https://127.0.0.1:" + std::to_string(closed.port) + velm::net::kRegistrationPath;
    EXPECT_EQ(helper_->SendRequestToServer(url, "RegisterDevice3", RegisterBody()), Fail(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(helper_->GetTimeFromServer(url), "");
    EXPECT_EQ(helper_->GetDataFromServer(url), "");
}

TEST_F(HttpHelperTest, OnlyHttpsUrlsAreFetched) {
    const std::string plain = "http://127.0.0.1:" + std::to_string(twin_->controlPort) + "/state";
    EXPECT_EQ(helper_->SendRequestToServer(plain, "X", "<x/>"), Fail(CURLE_UNSUPPORTED_PROTOCOL));
    EXPECT_EQ(helper_->GetDataFromServer("file:///etc/hostname"), "");
    EXPECT_FALSE(helper_->DownloadFileFromServer("file:///etc/hostname", root_ + "/hostname"));
}

TEST_F(HttpHelperTest, SpoofReportEscapesTheSerialNumber) {
    helper_->ReportSpoofAttempt("SN<1>&\"x\"");
    ASSERT_EQ(twin_->RequestCount(), 1);
    EXPECT_EQ(twin_->LastRequest("path"), velm::net::kDeviceDataPath);
    EXPECT_NE(twin_->LastRequest("raw_head").find("\r\nSOAPActions: deviceSuspectReport\r\n"), std::string::npos);
    EXPECT_EQ(twin_->LastRequest("body"),
              "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "xmlns:tem=\"http://velmora.example/rd/devicedata/\"><soapenv:Header/><soapenv:Body>"
              "<tem:deviceSuspectReport><tem:srno>SN&lt;1&gt;&amp;&quot;x&quot;</tem:srno>"
              "<tem:additionalInfo>Linux</tem:additionalInfo></tem:deviceSuspectReport></soapenv:Body>"
              "</soapenv:Envelope>");
    EXPECT_NE(twin_->Control("GET", "/state").find("\"srno\": \"SN<1>&\\\"x\\\"\""), std::string::npos);
}

TEST_F(HttpHelperTest, OverlappingExchangesKeepTheirOwnAnswers) {
    constexpr int kThreads = 4, kRounds = 3;
    std::vector<std::string> answers(kThreads * kRounds);
    std::vector<std::thread> threads;
    const std::string url = Url(velm::net::kRegistrationPath);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                std::string body = RegisterBody();
                const std::string data = nettest::Base64("4,SN42,REQ");
                body.replace(body.find(data), data.size(), nettest::Base64("4,T" + std::to_string(t * kRounds + r)));
                answers[t * kRounds + r] = helper_->SendRequestToServer(url, "RegisterDevice3", body);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int i = 0; i < kThreads * kRounds; ++i) {
        const auto a = velm::net::ParseSoapAnswer(answers[i], "RegisterDevice3");
        ASSERT_TRUE(a.ok()) << answers[i];
        EXPECT_EQ(a.text.rfind("1,T" + std::to_string(i) + ",", 0), 0u) << a.text;
    }
    EXPECT_EQ(twin_->RequestCount(), kThreads * kRounds);
}

// Files of each archive kind, good and damaged, made with the real tools.
class DownloadTest : public HttpHelperTest {
protected:
    void SetUp() override {
        HttpHelperTest::SetUp();
        src_ = root_ + "/src";
        dl_ = root_ + "/dl";
        ::mkdir(src_.c_str(), 0755);
        ::mkdir(dl_.c_str(), 0755);
        if (nettest::Exists(src_ + "/s.zip")) return;
        std::string payload;
        for (int i = 0; i < 4000; ++i) payload += "line " + std::to_string(i * 7919 % 10007) + "\n";
        nettest::WriteFile(src_ + "/a.txt", payload);
        ASSERT_EQ(velm::net::RunProgram({"/usr/bin/tar", "-cf", src_ + "/s.tar", "-C", src_, "a.txt"}, 60000), 0);
        ASSERT_EQ(velm::net::RunProgram({"/usr/bin/xz", "-k", src_ + "/s.tar"}, 60000), 0);
        ASSERT_EQ(velm::net::RunProgram({"/usr/bin/gzip", "-k", src_ + "/s.tar"}, 60000), 0);
        ASSERT_EQ(velm::net::RunProgram({"/usr/bin/zip", "-q", "-j", src_ + "/s.zip", src_ + "/a.txt"}, 60000), 0);
    }
    static std::string Damaged(std::string data) {
        data.resize(data.size() * 2 / 3);
        data[data.size() / 2] ^= 0x55;
        return data;
    }
    std::vector<std::string> DownloadDirEntries() const {
        std::vector<std::string> names;
        DIR* d = ::opendir(dl_.c_str());
        if (!d) return names;
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        ::closedir(d);
        return names;
    }
    std::string src_, dl_;
};

TEST_F(DownloadTest, IntegrityTestPerFileType) {
    struct Row {
        std::string source;  // file under src_
        std::string name;    // name on the server and locally
        bool damaged;
        bool expect;
    };
    const std::vector<Row> rows = {
        {"s.tar.xz", "p.tar.xz", false, true},  {"s.tar.xz", "p2.tar.xz", true, false},
        {"s.tar.gz", "p.tar.gz", false, true},  {"s.tar.gz", "p2.tar.gz", true, false},
        {"s.tar", "p.tar", false, true},        {"s.tar", "p2.tar", true, false},
        {"s.zip", "velmtr460l1_125.zip", false, true}, {"s.zip", "p2.zip", true, false},
        {"s.tar.gz", "P.TAR.GZ", false, true},  {"s.zip", "P2.ZIP", true, false},
        {"s.zip", "p3.Zip", true, true},  // mixed case: not tested
        {"s.zip", "p.bin", true, true},   // no marker: not tested
    };
    for (const auto& r : rows) {
        std::string data = nettest::ReadFile(src_ + "/" + r.source);
        ASSERT_FALSE(data.empty());
        if (r.damaged) data = Damaged(data);
        Publish("/download/" + r.name, data);
        const std::string local = dl_ + "/" + r.name;
        EXPECT_EQ(helper_->DownloadFileFromServer(Url("/download/" + r.name), local), r.expect) << r.name;
        EXPECT_EQ(nettest::Exists(local), r.expect) << r.name;
        if (r.expect) {
            EXPECT_EQ(nettest::ReadFile(local), data) << r.name;
        }
    }
    // no temporary file is left behind by the failures
    auto names = DownloadDirEntries();
    for (const auto& n : names) EXPECT_NE(n[0], '.') << n;
}

TEST_F(DownloadTest, FailedDownloadLeavesTheEarlierFileAlone) {
    const std::string local = dl_ + "/keep.tar.gz";
    nettest::WriteFile(local, "earlier");
    Publish("/download/keep.tar.gz", Damaged(nettest::ReadFile(src_ + "/s.tar.gz")));
    EXPECT_FALSE(helper_->DownloadFileFromServer(Url("/download/keep.tar.gz"), local));
    EXPECT_EQ(nettest::ReadFile(local), "earlier");
    EXPECT_FALSE(helper_->DownloadFileFromServer(Url("/download/missing.zip"), local));
    EXPECT_EQ(nettest::ReadFile(local), "earlier");
}

TEST_F(DownloadTest, UnwritableTargetFailsAtOnce) {
    Publish("/download/x.bin", "data");
    EXPECT_FALSE(helper_->DownloadFileFromServer(Url("/download/x.bin"), root_ + "/no/such/dir/x.bin"));
    EXPECT_FALSE(helper_->DownloadFileFromServer(Url("/download/x.bin"), dl_ + "/"));
    EXPECT_EQ(twin_->RequestCount(), 0);
}

// TLS: a server the client cannot verify is a transfer error like any other.
class TlsRefusalTest : public HttpHelperTest {};

TEST_F(TlsRefusalTest, UntrustedCaAndWrongHostAreRefused) {
    for (const std::string mode : {"untrusted", "wrong-host"}) {
        nettest::Twin bad;
        ASSERT_TRUE(bad.Start(root_ + "/twin-state", mode)) << mode;
        const std::string base = bad.origin;
        EXPECT_EQ(helper_->GetTimeFromServer(base + velm::net::kTimeSyncPath), "") << mode;
        EXPECT_EQ(helper_->SendRequestToServer(base + velm::net::kRegistrationPath, "RegisterDevice3", RegisterBody()),
                  Fail(CURLE_PEER_FAILED_VERIFICATION))
            << mode;
        EXPECT_EQ(helper_->GetDataFromServer(base + velm::net::kTimeSyncPath), "") << mode;
        EXPECT_FALSE(helper_->DownloadFileFromServer(base + velm::net::kTimeSyncPath, root_ + "/t.bin")) << mode;
        EXPECT_EQ(bad.RequestCount(), 0) << mode;
    }
    // the same good twin is refused once its CA is not in the trusted set
    UseProfile("");
    EXPECT_EQ(Register(), Fail(CURLE_PEER_FAILED_VERIFICATION));
    UseProfile(twin_->caPath);
    EXPECT_TRUE(velm::net::ParseSoapAnswer(Register(), "RegisterDevice3").ok());
}

// Proxy: requests go through tinyproxy only when USE_PROXY is exactly "TRUE" with host and port.
class ProxyTest : public HttpHelperTest {
protected:
    // A request through the proxy to "localhost", whose tunnel line marks the end of a step.
    bool Sentinel(int proxyPort, const std::string& user = "", const std::string& pwd = "") {
        CURL* c = curl_easy_init();
        const std::string url = "https://localhost:" + std::to_string(twin_->port) + velm::net::kTimeSyncPath;
        const std::string proxy = "127.0.0.1:" + std::to_string(proxyPort);
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_PROXY, proxy.c_str());
        if (!user.empty()) {
            curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, user.c_str());
            curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, pwd.c_str());
        }
        curl_easy_setopt(c, CURLOPT_CAINFO, twin_->caPath.c_str());
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, nettest::CollectBody);
        std::string sink;
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
        const CURLcode rc = curl_easy_perform(c);
        curl_easy_cleanup(c);
        return rc == CURLE_OK;
    }
    void Keys(const std::map<std::string, std::string>& keys) {
        for (const auto& k : {"USE_PROXY", "PROXY_SERVER", "PROXY_PORT", "PROXY_USERNAME", "PROXY_PWD"}) {
            auto it = keys.find(k);
            utils_.WriteParameterDataToConfigFile(k, it == keys.end() ? "" : it->second);
        }
    }
    std::string Target() const { return "127.0.0.1:" + std::to_string(twin_->port); }
};

TEST_F(ProxyTest, UsedOnlyWhenExactlyTrueWithHostAndPort) {
    nettest::Tinyproxy proxy;
    const std::string dir = nettest::MakeTempDir("tinyproxy");
    ASSERT_TRUE(proxy.Start(dir));
    const std::string port = std::to_string(proxy.port);
    // A proxy named by the environment must not be used either.
    ::setenv("https_proxy", "http://127.0.0.1:1", 1);
    ::setenv("HTTPS_PROXY", "http://127.0.0.1:1", 1);
    struct Row {
        std::map<std::string, std::string> keys;
        int tunnels;
    };
    const std::vector<Row> rows = {
        {{{"USE_PROXY", "TRUE"}, {"PROXY_SERVER", "127.0.0.1"}, {"PROXY_PORT", port}}, 1},
        {{{"USE_PROXY", "true"}, {"PROXY_SERVER", "127.0.0.1"}, {"PROXY_PORT", port}}, 0},
        {{{"USE_PROXY", " TRUE"}, {"PROXY_SERVER", "127.0.0.1"}, {"PROXY_PORT", port}}, 0},
        {{{"USE_PROXY", "TRUE"}, {"PROXY_SERVER", "127.0.0.1"}}, 0},
        {{{"USE_PROXY", "TRUE"}, {"PROXY_PORT", port}}, 0},
        {{{"PROXY_SERVER", "127.0.0.1"}, {"PROXY_PORT", port}}, 0},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        Keys(rows[i].keys);
        EXPECT_TRUE(velm::net::ParseSoapAnswer(Register(), "RegisterDevice3").ok()) << "row " << i;
        EXPECT_EQ(helper_->GetTimeFromServer(Url(velm::net::kTimeSyncPath)).empty(), false) << "row " << i;
        ASSERT_TRUE(Sentinel(proxy.port));
        EXPECT_EQ(proxy.CountConnectsBefore(Target(), "localhost:"), 2 * rows[i].tunnels) << "row " << i;
    }
    ::unsetenv("https_proxy");
    ::unsetenv("HTTPS_PROXY");
}

TEST_F(ProxyTest, BasicAuthCredentialsOnlyWhenBothSet) {
    nettest::Tinyproxy proxy;
    const std::string dir = nettest::MakeTempDir("tinyproxy");
    ASSERT_TRUE(proxy.Start(dir, "velm", "s3cret"));
    const std::map<std::string, std::string> base = {
        {"USE_PROXY", "TRUE"}, {"PROXY_SERVER", "127.0.0.1"}, {"PROXY_PORT", std::to_string(proxy.port)}};
    struct Row {
        std::string user, pwd;
        bool passes;
    };
    const std::vector<Row> rows = {
        {"velm", "s3cret", true}, {"velm", "", false}, {"", "s3cret", false}, {"velm", "wrong", false}};
    for (const auto& r : rows) {
        auto keys = base;
        keys["PROXY_USERNAME"] = r.user;
        keys["PROXY_PWD"] = r.pwd;
        Keys(keys);
        const int before = twin_->RequestCount();
        const std::string answer = Register();
        EXPECT_EQ(velm::net::ParseSoapAnswer(answer, "RegisterDevice3").ok(), r.passes) << r.user << "/" << r.pwd;
        if (!r.passes) {
            EXPECT_EQ(answer.rfind("FAIL: ", 0), 0u) << answer;
        }
        EXPECT_EQ(twin_->RequestCount() - before, r.passes ? 1 : 0);
        ASSERT_TRUE(Sentinel(proxy.port, "velm", "s3cret"));
        EXPECT_EQ(proxy.CountConnectsBefore(Target(), "localhost:"), 1) << r.user << "/" << r.pwd;
    }
}

}  // namespace
