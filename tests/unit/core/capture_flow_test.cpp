// The capture flow and the DeviceInfo element against the scanner twin on a pty: whole PidData
// documents, decrypted with the UIDAI test key of the environment, and the error answers.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "RunProgram.h"
#include "core/CoreSpoof.h"
#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "net/VELM_HTTP_Helper.h"
#include "security/VELM_Secure_Helper.h"
#include "service/Profile.h"
#include "service/VELM_Utils.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// Reads from fd until pred(output) holds, EOF, or the deadline passes.
template <class Pred>
bool ReadUntil(int fd, std::string& out, Pred pred, int seconds) {
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!pred(out)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return pred(out);
        out.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// A child process with its standard output on a pipe.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
        std::vector<std::string> a = args;
        std::vector<char*> argv;
        for (auto& s : a) argv.push_back(s.data());
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        for (const auto& e : extraEnv) env.push_back(e);
        std::vector<char*> envp;
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        out_.fd = p[0];
        Fd w(p[1]);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::dup2(w.fd, 1);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~Child() { Kill(); }
    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    int OutFd() const { return out_.fd; }

private:
    pid_t pid_ = -1;
    Fd out_;
};

std::string SourceDir() { return VELM_SOURCE_DIR; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Base64 DER text of a PEM certificate: the lines between the armour, joined.
std::string PemToBase64(const std::string& pem) {
    std::string out, line;
    std::istringstream in(pem);
    while (std::getline(in, line)) {
        if (line.rfind("-----", 0) == 0) continue;
        for (char c : line)
            if (c != '\r' && c != '\n') out += c;
    }
    return out;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

// The scanner twin as a process on a pty, with its control socket.
class Twin {
public:
    Twin(const std::string& dir, const std::vector<std::string>& options)
        : link_(dir + "/ttyVELM0"), control_(dir + "/twin.sock") {
        std::vector<std::string> args = {"/usr/bin/python3", "-m", "sim.scanner", "--link", link_, "--control",
                                         control_};
        args.insert(args.end(), options.begin(), options.end());
        child_ = std::make_unique<Child>(args, std::vector<std::string>{"PYTHONPATH=" + SourceDir(),
                                                                        "PYTHONDONTWRITEBYTECODE=1"});
        std::string out;
        if (!ReadUntil(child_->OutFd(), out, [](const std::string& s) { return s.find("READY") != std::string::npos; },
                       30))
            throw std::runtime_error("scanner twin did not start: " + out);
    }
    const std::string& link() const { return link_; }

    // One control request (a JSON object text); the answer line.
    std::string Control(const std::string& json) {
        Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", control_.c_str());
        if (::connect(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("twin control connect");
        std::string line = json + "\n";
        if (::send(s.fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
            throw std::runtime_error("twin control send");
        std::string answer;
        if (!ReadUntil(s.fd, answer, [](const std::string& a) { return a.find('\n') != std::string::npos; }, 20))
            throw std::runtime_error("twin control answer");
        if (answer.find("\"ok\": true") == std::string::npos) throw std::runtime_error("twin refused: " + answer);
        return answer;
    }

private:
    std::string link_, control_;
    std::unique_ptr<Child> child_;
};

// Parameter texts of the capture requests the twin received (decrypted by the twin).
std::vector<std::string> CaptureParams(const std::string& receivedJson) {
    std::vector<std::string> out;
    const std::string key = "\"plain\": \"";
    const std::string tail = ",FFFFFFFFFFFFFFFF,END";
    for (size_t at = receivedJson.find(key); at != std::string::npos; at = receivedJson.find(key, at + 1)) {
        size_t start = at + key.size();
        size_t end = receivedJson.find('"', start);
        std::string text;
        for (size_t i = start; i + 1 < end; i += 2) text += static_cast<char>(std::stoi(receivedJson.substr(i, 2), nullptr, 16));
        if (text.rfind("START,", 0) == 0 && text.size() > tail.size() + 6 &&
            text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
            out.push_back(text.substr(6, text.size() - 6 - tail.size()));
    }
    return out;
}

struct Resp {
    std::map<std::string, std::string> attrs;
    std::string deviceInfo;  // the DeviceInfo element text
    std::string ci, dataType;
};

Resp ParsePidData(const std::string& doc) {
    Resp r;
    tinyxml2::XMLDocument x;
    EXPECT_EQ(x.Parse(doc.c_str()), tinyxml2::XML_SUCCESS) << doc;
    const tinyxml2::XMLElement* root = x.FirstChildElement("PidData");
    if (!root) return r;
    if (const auto* resp = root->FirstChildElement("Resp"))
        for (const auto* a = resp->FirstAttribute(); a; a = a->Next()) r.attrs[a->Name()] = a->Value();
    if (const auto* s = root->FirstChildElement("Skey")) r.ci = s->Attribute("ci") ? s->Attribute("ci") : "";
    if (const auto* d = root->FirstChildElement("Data")) r.dataType = d->Attribute("type") ? d->Attribute("type") : "";
    size_t a = doc.find("<DeviceInfo"), b = doc.find("</DeviceInfo>");
    if (a != std::string::npos) r.deviceInfo = doc.substr(a, b == std::string::npos ? 20 : b + 13 - a);
    return r;
}

std::string Options(const std::string& opts, const std::string& extra = "") {
    return "<PidOptions ver=\"1.0\"><Opts " + opts + " />" + extra + "</PidOptions>";
}

const char* kOneFingerP = "fCount=\"1\" fType=\"0\" format=\"0\" pidVer=\"2.0\" timeout=\"10000\" env=\"P\"";

class CaptureFlow : public ::testing::Test {
protected:
    void SetUp() override { Start({}); }

    void Start(const std::vector<std::string>& twinOptions, const std::string& firmware = "2.04") {
        char tmpl[512];
        std::snprintf(tmpl, sizeof tmpl, "%s/capture_test_XXXXXX", VELM_BINARY_DIR);
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        velm::profile::Profile p = velm::profile::BuiltIn();
        p.installDir = dir_;
        p.trustStoreDir = dir_ + "/trust";
        p.serverOrigin = "https://127.0.0.1:9";  // nothing listens there
        velm::profile::OverrideForTesting(p);
        ::setenv("PYTHONPATH", SourceDir().c_str(), 1);
        ::setenv("PYTHONDONTWRITEBYTECODE", "1", 1);

        twin_ = std::make_unique<Twin>(dir_, twinOptions);
        device_ = std::make_unique<Device_Comm_Mgmt>(&utils_);
        device_->portPath = twin_->link();
        ASSERT_TRUE(device_->ConnectDevice());
        device_->connected = true;
        device_->serialNumber = "VT0000012345";
        device_->firmwareVersion = firmware;
        http_ = std::make_unique<VELM_HTTP_Helper>(&utils_);
        VELM_HTTP_Helper::Limits limits;
        limits.connectMs = 2000;
        limits.totalMs = 4000;
        http_->SetLimits(limits);
        core_ = std::make_unique<VELM_Core_Helper>(device_.get(), http_.get(), &utils_, &secure_);
        for (auto [env, member] : {std::pair<const char*, std::string*>{"prod", &core_->prodCertPath},
                                   {"preprod", &core_->preprodCertPath},
                                   {"stage", &core_->stageCertPath}}) {
            *member = dir_ + "/uidai_" + env + "_l1.cer";
            WriteFile(*member, PemToBase64(ReadFile(SourceDir() + "/sim/keys/uidai_" + env + "_test.crt")));
        }
        velm::spoof::SetPauseForTesting([](int) {});
    }

    void TearDown() override {
        velm::spoof::SetPauseForTesting(nullptr);
        velm::spoof::SetClockForTesting(nullptr);
        core_.reset();
        if (device_) device_->DisconnectDevice();
        device_.reset();
        twin_.reset();
        if (!dir_.empty()) velm::test::RunProgram({"/bin/rm", "-rf", dir_});
    }

    std::string Capture(const std::string& options) {
        std::string doc = core_->ProcessCaptureRequest(options, 0);
        EXPECT_FALSE(core_->deviceInUse.load()) << "busy flag left set";
        EXPECT_EQ(doc.rfind("<PidData xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                            "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" >",
                            0),
                  0u);
        EXPECT_EQ(doc.substr(doc.size() - 10), "</PidData>");
        return doc;
    }

    // Decrypts the PID block of a document with the UIDAI test key; the block (XML text or
    // hex of the protobuf bytes), or "" when it does not open.
    std::string OpenPid(const std::string& doc, const std::string& keyName) {
        std::string file = dir_ + "/piddata.xml";
        WriteFile(file, doc);
        // PYTHONPATH is set for the whole test process in SetUp.
        velm::test::ProgramResult r = velm::test::RunProgram(
            {"/usr/bin/python3", "-m", "sim.scanner.pidverify", "--key",
             SourceDir() + "/sim/keys/uidai_" + keyName + "_test.key", "--piddata", file});
        return r.exitStatus == 0 ? r.out : std::string();
    }

    static void ExpectError(const std::string& doc, const std::string& code, const std::string& info) {
        std::string part = "<Resp fType=\"\" iCount=\"\" iType=\"\" pCount=\"\" errCode=\"" + code + "\" errInfo=\"" +
                           info + "\" fCount=\"\" nmPoints=\"\" qScore=\"\"/><DeviceInfo /><Data /><SKey /><Hmac />";
        EXPECT_NE(doc.find(part), std::string::npos) << doc;
    }

    std::string dir_;
    VELM_Utils utils_;
    VELM_Secure_Helper secure_;
    std::unique_ptr<Twin> twin_;
    std::unique_ptr<Device_Comm_Mgmt> device_;
    std::unique_ptr<VELM_HTTP_Helper> http_;
    std::unique_ptr<VELM_Core_Helper> core_;
};

TEST_F(CaptureFlow, OneFingerXmlBlockOpensWithTheProductionKey) {
    std::string doc = Capture(Options(kOneFingerP, "<Demo><Pi name=\"Asha\"/></Demo>"));
    Resp r = ParsePidData(doc);
    EXPECT_EQ(r.attrs["errCode"], "0") << doc;
    EXPECT_EQ(r.attrs["fType"], "0");
    EXPECT_EQ(r.attrs["fCount"], "1");
    EXPECT_EQ(r.attrs["nmPoints"], "42");
    int q = std::atoi(r.attrs["qScore"].c_str());
    EXPECT_GE(q, 75);
    EXPECT_LE(q, 97);
    EXPECT_EQ(r.ci, "20280813");
    EXPECT_EQ(r.dataType, "X");
    EXPECT_EQ(r.deviceInfo.rfind("<DeviceInfo dpId=\"VELMORA\" rdsId=\"RENESAS.VELM.001\" rdsVer=\"1.3.5\" ", 0), 0u)
        << r.deviceInfo;
    EXPECT_NE(r.deviceInfo.find("<Info name=\"Liveness\" value=\"45000\" />"), std::string::npos) << r.deviceInfo;
    EXPECT_NE(r.deviceInfo.find("<Param name=\"Liveness\" value=\"45000\" />"), std::string::npos);
    std::string block = OpenPid(doc, "prod");
    ASSERT_FALSE(block.empty()) << "PID block does not open with the production key";
    EXPECT_NE(block.find("Asha"), std::string::npos) << block;
    EXPECT_EQ(OpenPid(doc, "stage"), "");
    // The spoof counters were written after the liveness check.
    EXPECT_EQ(utils_.ReadParameterFromConfigFile("SPOOF_ATTEMPT"), "0");
}

TEST_F(CaptureFlow, ProtobufDemoAndSecondFingerTimeout) {
    twin_->Control(R"({"op": "queue_capture", "scenarios": [{"result": "ok", "minutiae": 37}, {"result": "timeout"}]})");
    std::string doc = Capture(Options("fCount=\"2\" fType=\"0\" format=\"1\" pidVer=\"2.0\" env=\"P\" "
                                      "posh=\"LEFT_INDEX,RIGHT_INDEX\"",
                                      "<Demo lang=\"06\"><Pi gender=\"F\"/></Demo>"));
    Resp r = ParsePidData(doc);
    EXPECT_EQ(r.attrs["errCode"], "0") << doc;
    EXPECT_EQ(r.attrs["fCount"], "2");
    EXPECT_EQ(r.attrs["nmPoints"], "37");
    EXPECT_EQ(r.dataType, "P");
    EXPECT_FALSE(OpenPid(doc, "prod").empty());
    // The first finger carried the settings, the second only its position index.
    auto params = CaptureParams(twin_->Control(R"({"op": "received"})"));
    ASSERT_EQ(params.size(), 2u);
    EXPECT_EQ(params[0].rfind("2,10,", 0), 0u) << params[0];
    EXPECT_EQ(params[0].substr(params[0].size() - 10), ",2,FMR,P,P") << params[0];
    EXPECT_EQ(params[1], ",,,7,,,");
}

TEST_F(CaptureFlow, ScannerAnswersThatEndTheCapture) {
    struct Case {
        const char* scenario;
        const char* code;
        const char* info;
    };
    const Case cases[] = {
        {R"({"result": "spoof"})", "700", "Capture timed out"},
        {R"({"result": "timeout"})", "700", "Capture timed out"},
        {R"({"result": "error", "error_text": "SENSOR"})", "730", "Capture failed."},
        {R"({"result": "not_allow"})", "730", "Capture failed."},
        {R"({"result": "ok", "liveness": 36000})", "700", "Capture timed out"},
        {R"({"result": "ok", "liveness": "abc"})", "999", "Invalid capture response from device."},
    };
    for (const Case& c : cases) {
        twin_->Control(std::string(R"({"op": "queue_capture", "scenarios": [)") + c.scenario + "]}");
        std::string doc = Capture(Options(kOneFingerP));
        ExpectError(doc, c.code, c.info);
        twin_->Control(R"({"op": "clear_captures"})");
    }
    // None of these counted a spoof attempt (max attempts is 99: counting off).
    EXPECT_EQ(core_->spoofAttempts.load(), 0);
}

TEST_F(CaptureFlow, PidAnswerFaults) {
    twin_->Control(R"({"op": "set", "pid_fault": "four_fields"})");
    ExpectError(Capture(Options(kOneFingerP)), "999", "Invalid Pid Data Received From Device");
    twin_->Control(R"({"op": "set", "pid_fault": "two_fields"})");
    ExpectError(Capture(Options(kOneFingerP)), "999", "Invalid Pid Data Received From Device");
    twin_->Control(R"({"op": "set", "pid_fault": null})");
    // An OTP that is not six characters passes validation but not the PID request.
    ExpectError(Capture(Options(std::string(kOneFingerP) + " otp=\"12345\"")), "999", "Internal Cryptography Error");
}

TEST_F(CaptureFlow, MalformedDeviceValuesEndWithAnErrorDocument) {
    twin_->Control(R"({"op": "set", "time_record": "2026-01-01T00:00:00,0"})");
    ExpectError(Capture(Options(kOneFingerP)), "999", "Invalid time record received from device.");
    twin_->Control(R"({"op": "set", "time_record": null})");

    twin_->Control(R"({"op": "set", "device_code": "zz-not-hex"})");
    ExpectError(Capture(Options(kOneFingerP)), "999", "Invalid device code received from device.");
    twin_->Control(R"({"op": "set", "device_code": "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"})");

    device_->firmwareVersion = "Vx.y";
    ExpectError(Capture(Options(kOneFingerP)), "999", "Invalid firmware version of device.");
}

TEST_F(CaptureFlow, RefusalsBeforeTheScannerIsAsked) {
    core_->deviceInUse = true;
    ExpectError(core_->ProcessCaptureRequest(Options(kOneFingerP), 0), "710", "Being used by another application");
    EXPECT_TRUE(core_->deviceInUse.load()) << "the running request keeps the flag";
    core_->deviceInUse = false;

    core_->registrationRunning = true;
    ExpectError(Capture(Options(kOneFingerP)), "710", "Registration process working. try again");
    core_->deviceTimeUpdateRunning = true;
    ExpectError(Capture(Options(kOneFingerP)), "999", "Waiting to confirm system time.");
    core_->registrationRunning = false;
    ExpectError(Capture(Options(kOneFingerP)), "999", "Waiting to confirm system time.");
    core_->deviceTimeUpdateRunning = false;

    ExpectError(Capture(Options("fCount=\"0\" fType=\"0\" format=\"0\" pidVer=\"2.0\" env=\"P\"")), "120",
                "Invalid value for fCount");

    device_->connected = false;
    ExpectError(Capture(Options(kOneFingerP)), "720", "Device not ready. Please connect Fingerprint Scanner");
    device_->connected = true;

    std::string received = twin_->Control(R"({"op": "received"})");
    EXPECT_EQ(received.find("VELM_SnapFinger"), std::string::npos) << received;
}

TEST_F(CaptureFlow, CountedSpoofsLockTheScannerForLockMinutes) {
    core_->maxSpoofAttempts = 5;
    core_->lockMinutes = 15;
    time_t now = std::time(nullptr);
    velm::spoof::SetClockForTesting([&now] { return now; });
    twin_->Control(R"({"op": "set_capture_default", "liveness": 30000})");
    for (int i = 1; i <= 5; ++i) {
        ExpectError(Capture(Options(kOneFingerP)), "700", "Capture timed out");
        EXPECT_EQ(core_->spoofAttempts.load(), i);
        EXPECT_EQ(utils_.ReadParameterFromConfigFile("SPOOF_ATTEMPT"), std::to_string(i));
    }
    // Locked: even an invalid request gets the lock-out answer, reported once.
    ExpectError(Capture("<bad"), "999", "Try after some time. Device Temporary Block!!");
    EXPECT_TRUE(core_->spoofReported.load());
    twin_->Control(R"({"op": "clear_received"})");
    now += 14 * 60;
    ExpectError(Capture(Options(kOneFingerP)), "999", "Try after some time. Device Temporary Block!!");
    EXPECT_EQ(twin_->Control(R"({"op": "received"})").find("VELM_SnapFinger"), std::string::npos);

    // After the lock-out the count drops by three and the next capture gets through.
    now += 60;
    twin_->Control(R"({"op": "shift_clock", "seconds": 900})");
    twin_->Control(R"({"op": "set_capture_default", "liveness": 45000})");
    std::string doc = Capture(Options(kOneFingerP));
    EXPECT_EQ(ParsePidData(doc).attrs["errCode"], "0") << doc;
    EXPECT_EQ(core_->spoofAttempts.load(), 0);
    EXPECT_FALSE(core_->spoofReported.load());
}

TEST_F(CaptureFlow, PreProductionMinutiaeRuleAndThreshold) {
    twin_->Control(R"({"op": "set_capture_default", "minutiae": 80})");
    ExpectError(Capture(Options("fCount=\"1\" fType=\"0\" format=\"0\" pidVer=\"2.0\" env=\"PP\"")), "700",
                "Capture timed out");
    twin_->Control(R"({"op": "set_capture_default", "minutiae": 40, "liveness": 38000})");
    // 38000 passes the single-finger threshold (36864) but not the two-finger one (38164).
    std::string one = Capture(Options("fCount=\"1\" fType=\"0\" format=\"0\" pidVer=\"2.0\" env=\"PP\""));
    EXPECT_EQ(ParsePidData(one).attrs["errCode"], "0") << one;
    EXPECT_EQ(ParsePidData(one).ci, "20280825");
    EXPECT_FALSE(OpenPid(one, "preprod").empty());
    ExpectError(Capture(Options("fCount=\"2\" fType=\"0\" format=\"0\" pidVer=\"2.0\" env=\"PP\"")), "700",
                "Capture timed out");
}

TEST_F(CaptureFlow, StagingRequestOnAProductionScannerUsesTheBuiltInCertificate) {
    twin_->Control(R"({"op": "set_capture_default", "liveness": 1000})");  // not judged in this mode
    std::string doc = Capture(Options("fCount=\"1\" fType=\"0\" format=\"0\" pidVer=\"2.0\" env=\"S\""));
    Resp r = ParsePidData(doc);
    EXPECT_EQ(r.attrs["errCode"], "0") << doc;
    EXPECT_EQ(r.ci, "20431023");
    EXPECT_EQ(r.deviceInfo.find("Liveness"), std::string::npos);
    EXPECT_FALSE(OpenPid(doc, "builtin").empty());
    auto params = CaptureParams(twin_->Control(R"({"op": "received"})"));
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].back(), 'N') << params[0];
}

class OldFirmwareCapture : public CaptureFlow {
protected:
    void SetUp() override { Start({"--firmware-version", "2.03"}, "2.03"); }
};

TEST_F(OldFirmwareCapture, NoLivenessCheckAndModeLetterP) {
    twin_->Control(R"({"op": "set_capture_default", "liveness": 1000})");
    std::string doc = Capture(Options(kOneFingerP));
    Resp r = ParsePidData(doc);
    EXPECT_EQ(r.attrs["errCode"], "0") << doc;
    EXPECT_EQ(r.deviceInfo.find("Liveness"), std::string::npos);
    auto params = CaptureParams(twin_->Control(R"({"op": "received"})"));
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].substr(params[0].size() - 8), ",FMR,X,P") << params[0];
}

TEST_F(CaptureFlow, ScannerClockOffByMoreThan179SecondsIsSet) {
    twin_->Control(R"({"op": "shift_clock", "seconds": 170})");
    Capture(Options(kOneFingerP));
    EXPECT_EQ(twin_->Control(R"({"op": "received"})").find("VELM_SetTime"), std::string::npos);
    twin_->Control(R"({"op": "shift_clock", "seconds": 200})");
    twin_->Control(R"({"op": "clear_received"})");
    Capture(Options(kOneFingerP));
    EXPECT_NE(twin_->Control(R"({"op": "received"})").find("VELM_SetTime"), std::string::npos);
}

TEST_F(CaptureFlow, DeviceInfoForms) {
    std::string full = core_->ProcessDeviceInfoRequest(false, "", false);
    EXPECT_FALSE(core_->deviceInUse.load());
    EXPECT_EQ(full.rfind("<DeviceInfo xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" dpId=\"VELMORA\" rdsId=\"RENESAS.VELM.001\" "
                         "rdsVer=\"1.3.5\" dc=\"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\" mi=\"TR460U L1\" mc=\"",
                         0),
              0u)
        << full;
    EXPECT_NE(full.find("\" error=\"\" ><Additional_Info><Info name=\"srno\" value=\"VT0000012345\" />"
                        "<Info name=\"sysid\" value=\"\" />"),
              std::string::npos)
        << full;
    EXPECT_NE(full.find("<Info name=\"modality_type\" value=\"Finger\" /><Info name=\"device_type\" value=\"L1\" />"
                        "<Info name=\"FwVer\" value=\"2.04\" /><Info name=\"TamperLevel\" value=\"0\" />"
                        "<Info name=\"BaseVer\" value=\"1.0\" /></Additional_Info><additional_info>"
                        "<Param name=\"srno\" value=\"VT0000012345\" />"),
              std::string::npos)
        << full;
    EXPECT_EQ(full.find("Liveness"), std::string::npos);
    const std::string end = "</additional_info></DeviceInfo>";
    EXPECT_EQ(full.substr(full.size() - end.size()), end);
    size_t ts = full.find("<Info name=\"ts\" value=\"");
    ASSERT_NE(ts, std::string::npos);
    std::string tsValue = full.substr(ts + 23, 26);
    EXPECT_EQ(tsValue[10], 'T');
    EXPECT_EQ(tsValue.substr(19), "+05:30\"");
    tinyxml2::XMLDocument x;
    EXPECT_EQ(x.Parse(full.c_str()), tinyxml2::XML_SUCCESS);

    std::string embedded = core_->ProcessDeviceInfoRequest(true, "41234", false);
    EXPECT_EQ(embedded.rfind("<DeviceInfo dpId=", 0), 0u);
    EXPECT_NE(embedded.find("<Info name=\"Liveness\" value=\"41234\" /></Additional_Info>"), std::string::npos);
    EXPECT_NE(embedded.find("<Param name=\"Liveness\" value=\"41234\" /></additional_info>"), std::string::npos);

    core_->deviceInUse = true;
    std::string busy = core_->ProcessDeviceInfoRequest(false, "", false);
    EXPECT_TRUE(core_->deviceInUse.load());
    EXPECT_NE(busy.find("error=\"RD Service is currently busy with other requests.\" ><Additional_Info/></DeviceInfo>"),
              std::string::npos)
        << busy;
    core_->deviceInUse = false;

    device_->connected = false;
    std::string none = core_->ProcessDeviceInfoRequest(false, "", false);
    EXPECT_FALSE(core_->deviceInUse.load());
    EXPECT_EQ(none,
              "<DeviceInfo xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
              "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" dpId=\"DAVIRON.VELM\" rdsId=\"RENESAS.VELM.001\" "
              "rdsVer=\"1.3.5\" dc=\"\" mi=\"TR460U L1\" mc=\"\" error=\"Please connect L1 fingerprint scanner "
              "device.\" ><Additional_Info/></DeviceInfo>");
    device_->connected = true;
}

}  // namespace
