// Encrypted device requests: input checks and their codes, request lengths, the plain layouts
// (decrypted here), and a cross-check against the scanner twin's own decryption.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mbedtls/base64.h>
#include <mbedtls/gcm.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "security/VELM_Secure_Helper.h"
#include "service/VELM_Utils.h"

namespace {

using Kind = VELM_Secure_Helper::RequestKind;

const char kScannerTime[] = "2026-12-11T10:20:30";
const uint8_t kDeviceCode[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const char kDeviceCodeHex[] = "00112233445566778899aabbccddeeff";
const uint8_t kRandom4[4] = {0xDE, 0xAD, 0xBE, 0xEF};

std::string Sha256(const std::string& data) {
    unsigned char d[32];
    mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(), d, 0);
    return std::string(reinterpret_cast<char*>(d), 32);
}

// Decrypts with the helper's own key material; empty on a tag mismatch.
std::string Open(Kind kind, const uint8_t* sealed, int length, const char* time = kScannerTime) {
    uint8_t key[32], iv[12], aad[16];
    if (length < 16 || !VELM_Secure_Helper::DeriveKeyMaterial(kind, time, kDeviceCode, key, iv, aad)) return "";
    std::string plain(static_cast<std::size_t>(length - 16), '\0');
    mbedtls_gcm_context gcm;
    mbedtls_gcm_init(&gcm);
    mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256);
    int rc = mbedtls_gcm_auth_decrypt(&gcm, plain.size(), iv, 12, aad, 16, sealed + plain.size(), 16, sealed,
                                      reinterpret_cast<unsigned char*>(&plain[0]));
    mbedtls_gcm_free(&gcm);
    return rc == 0 ? plain : "";
}

// A 263-byte UIDAI key record (date bytes, exponent 65537, an odd 2048-bit modulus).
std::string KeyRecord(uint8_t seed) {
    std::string r(263, '\0');
    r[0] = 26;
    r[1] = 5;
    r[2] = 10;
    r[3] = 0;
    r[4] = 0x01;
    r[5] = 0x00;
    r[6] = 0x01;
    for (int i = 7; i < 263; ++i) r[i] = static_cast<char>((i * 31 + seed) & 0xFF);
    r[7] = static_cast<char>(0xC1);
    r[262] = static_cast<char>(0x35);
    return r;
}

// The 260-byte UIDAI public-key block: 0, exponent, modulus.
std::string UidaiKeyBlock() { return KeyRecord(9).substr(3); }

struct Built {
    int result;
    std::vector<uint8_t> out;
};

// ---------------------------------------------------------------------------------------------
// Input checks

struct InputCase {
    const char* name;
    std::function<int(VELM_Secure_Helper&, uint8_t*)> build;
    int expected;
    const char* lastError;
};

std::vector<InputCase> InputCases() {
    using H = VELM_Secure_Helper;
    static const std::string record = KeyRecord(1) + KeyRecord(2) + KeyRecord(3);
    static const std::string key = UidaiKeyBlock();
    static const std::string bigWadh(225, 'w');
    const char* t18 = "2026-12-11T10:20:3";
    const char* t20 = "2026-12-11T10:20:300";
    auto rec = reinterpret_cast<const uint8_t*>(record.data());
    auto k = reinterpret_cast<const uint8_t*>(key.data());
    auto wadh = reinterpret_cast<const uint8_t*>(bigWadh.data());
    const std::size_t cap = 1024;
    return {
        {"TimeShortClock", [=](H& h, uint8_t* o) { return h.GenerateEncryptedTS(t18, kDeviceCode, 16, kScannerTime, o, cap); }, -1, "INVALID_TIMESTAMP"},
        {"TimeLongClock", [=](H& h, uint8_t* o) { return h.GenerateEncryptedTS(t20, kDeviceCode, 16, kScannerTime, o, cap); }, -1, "INVALID_TIMESTAMP"},
        {"TimeClockNotDigits", [=](H& h, uint8_t* o) { return h.GenerateEncryptedTS("2026-1X-11T10:20:30", kDeviceCode, 16, kScannerTime, o, cap); }, -1, "INVALID_TIMESTAMP"},
        {"TimeDeviceCodeLength", [=](H& h, uint8_t* o) { return h.GenerateEncryptedTS(kScannerTime, kDeviceCode, 15, kScannerTime, o, cap); }, -1, "INVALID_KEYSEED"},
        {"TimeNoDeviceCode", [=](H& h, uint8_t* o) { return h.GenerateEncryptedTS(kScannerTime, nullptr, 16, kScannerTime, o, cap); }, -1, "INVALID_KEYSEED"},
        {"TimeToSetLength", [=](H& h, uint8_t* o) { return h.GenerateEncryptedTS(kScannerTime, kDeviceCode, 16, "2026-12-11T10:20", o, cap); }, -1, "INVALID_DATA"},
        {"TimeToSetMissing", [=](H& h, uint8_t* o) { return h.GenerateEncryptedTS(kScannerTime, kDeviceCode, 16, nullptr, o, cap); }, -1, "INVALID_DATA"},
        {"CaptureShortClock", [=](H& h, uint8_t* o) { return h.GenerateEncryptedCapReq(t18, kDeviceCode, 16, "p", 1, nullptr, 0, o, cap); }, -1, "INVALID_TIMESTAMP"},
        {"CaptureNoParams", [=](H& h, uint8_t* o) { return h.GenerateEncryptedCapReq(kScannerTime, kDeviceCode, 16, "p", 0, nullptr, 0, o, cap); }, -1, "INVALID_DATA"},
        {"CaptureTooLongForBuffer", [=](H& h, uint8_t* o) { static const std::string p(1000, 'p'); return h.GenerateEncryptedCapReq(kScannerTime, kDeviceCode, 16, p.c_str(), 1000, nullptr, 0, o, cap); }, -9, "BUFFER_TOO_SMALL"},
        {"ModeLongClock", [=](H& h, uint8_t* o) { return h.GenerateEncryptedModeReq(t20, kDeviceCode, 16, "m", 1, o, cap); }, -1, "INVALID_TIMESTAMP"},
        {"ModeNoText", [=](H& h, uint8_t* o) { return h.GenerateEncryptedModeReq(kScannerTime, kDeviceCode, 16, nullptr, 1, o, cap); }, -1, "INVALID_DATA"},
        {"KeyChangeShortClock", [=](H& h, uint8_t* o) { return h.GenerateEncryptedKeyChangeReq(t18, kDeviceCode, 16, rec, 789, o, cap); }, -1, "INVALID_TIMESTAMP"},
        {"KeyChange788", [=](H& h, uint8_t* o) { return h.GenerateEncryptedKeyChangeReq(kScannerTime, kDeviceCode, 16, rec, 788, o, cap); }, -1, "INVALID_DATA"},
        {"PidShortClock", [=](H& h, uint8_t* o) { return h.GenerateEncryptedRequestDataEx(t18, kDeviceCode, 16, kRandom4, 0, nullptr, nullptr, 0, nullptr, 0, k, o, 10000); }, -1, "INVALID_TIMESTAMP"},
        {"PidDeviceCode", [=](H& h, uint8_t* o) { return h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 8, kRandom4, 0, nullptr, nullptr, 0, nullptr, 0, k, o, 10000); }, -2, "INVALID_KEYSEED"},
        {"PidNoRandom", [=](H& h, uint8_t* o) { return h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, nullptr, 0, nullptr, nullptr, 0, nullptr, 0, k, o, 10000); }, -3, "INVALID_RANDOM_VAL"},
        {"PidKeyIndex", [=](H& h, uint8_t* o) { return h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, kRandom4, 4, nullptr, nullptr, 0, nullptr, 0, k, o, 10000); }, -4, "INVALID_UIDAI_KEY"},
        {"PidOtp", [=](H& h, uint8_t* o) { return h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, kRandom4, 0, "12345", nullptr, 0, nullptr, 0, k, o, 10000); }, -5, "INVALID_OTP"},
        {"PidDemoMissing", [=](H& h, uint8_t* o) { return h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, kRandom4, 0, nullptr, nullptr, 3, nullptr, 0, k, o, 10000); }, -6, "INVALID_DEMO_DATA"},
        {"PidWadhMissing", [=](H& h, uint8_t* o) { return h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, kRandom4, 0, nullptr, nullptr, 0, nullptr, 44, k, o, 10000); }, -7, "INVALID_WADH_DATA"},
        // 225 wadh bytes and an OTP make a 256-byte RDS text: its one length byte cannot hold it.
        {"PidRdsTooLong", [=](H& h, uint8_t* o) { return h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, kRandom4, 0, "123456", nullptr, 0, wadh, 225, k, o, 10000); }, -7, "INVALID_WADH_DATA"},
        {"PidBufferTooSmall", [=](H& h, uint8_t* o) { return h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, kRandom4, 0, nullptr, nullptr, 0, nullptr, 0, k, o, 400); }, -9, "BUFFER_TOO_SMALL"},
    };
}

class InputCheckTest : public ::testing::TestWithParam<InputCase> {};

TEST_P(InputCheckTest, FailsWithItsCodeAndLeavesOutputAlone) {
    VELM_Secure_Helper helper;
    std::vector<uint8_t> out(10000, 0xA5);
    EXPECT_EQ(GetParam().expected, GetParam().build(helper, out.data()));
    EXPECT_EQ(GetParam().lastError, helper.GetLastError());
    for (uint8_t b : out) ASSERT_EQ(0xA5, b);
}

INSTANTIATE_TEST_SUITE_P(Inputs, InputCheckTest, ::testing::ValuesIn(InputCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Lengths and plain layouts

TEST(SecureRequests, SimpleKindsHaveTheirLayout) {
    VELM_Secure_Helper h;
    uint8_t out[1024];

    ASSERT_EQ(45, h.GenerateEncryptedTS(kScannerTime, kDeviceCode, 16, "2026-12-11510:20:31", out, sizeof out));
    EXPECT_EQ("START,2026-12-11510:20:31,END", Open(Kind::Time, out, 45));
    EXPECT_EQ("", Open(Kind::Capture, out, 45));  // each kind has its own key material

    const std::string params(40, 'p');
    ASSERT_EQ(83, h.GenerateEncryptedCapReq(kScannerTime, kDeviceCode, 16, params.c_str(), 40, nullptr, 0, out,
                                            sizeof out));
    EXPECT_EQ("START," + params + ",FFFFFFFFFFFFFFFF,END", Open(Kind::Capture, out, 83));
    const uint8_t customer[2] = {0x0A, 0xFF};
    ASSERT_EQ(6 + 1 + 5 + 4 + 16, h.GenerateEncryptedCapReq(kScannerTime, kDeviceCode, 16, "p", 1, customer, 2,
                                                            out, sizeof out));
    EXPECT_EQ("START,p,0AFF,END", Open(Kind::Capture, out, 32));

    ASSERT_EQ(6 + 8 + 4 + 16, h.GenerateEncryptedModeReq(kScannerTime, kDeviceCode, 16, "SN1,ABCD", 8, out,
                                                          sizeof out));
    EXPECT_EQ("START,SN1,ABCD,END", Open(Kind::Mode, out, 34));

    const std::string record = KeyRecord(1) + KeyRecord(2) + KeyRecord(3);
    ASSERT_EQ(837, h.GenerateEncryptedKeyChangeReq(kScannerTime, kDeviceCode, 16,
                                                   reinterpret_cast<const uint8_t*>(record.data()), 789, out,
                                                   sizeof out));
    EXPECT_EQ(Sha256(record) + record, Open(Kind::KeyChange, out, 837));
    EXPECT_EQ("", h.GetLastError());
}

struct PidCase {
    const char* name;
    int keyIndex;
    const char* otp;
    std::string demo;
    std::string wadh;
    bool withKey;
    int expectedLength;
};

class PidLayoutTest : public ::testing::TestWithParam<PidCase> {};

TEST_P(PidLayoutTest, LaysOutAndHashesTheRequest) {
    const PidCase& c = GetParam();
    VELM_Secure_Helper h;
    const std::string key = UidaiKeyBlock();
    std::vector<uint8_t> out(VELM_Secure_Helper::kPidBufferSize);
    const int n = h.GenerateEncryptedRequestDataEx(
        kScannerTime, kDeviceCode, 16, kRandom4, c.keyIndex, c.otp,
        c.demo.empty() ? nullptr : reinterpret_cast<const uint8_t*>(c.demo.data()), static_cast<int>(c.demo.size()),
        c.wadh.empty() ? nullptr : reinterpret_cast<const uint8_t*>(c.wadh.data()), static_cast<int>(c.wadh.size()),
        c.withKey ? reinterpret_cast<const uint8_t*>(key.data()) : nullptr, out.data(), out.size());
    ASSERT_EQ(c.expectedLength, n) << h.GetLastError();
    const std::string plain = Open(Kind::Pid, out.data(), n);
    ASSERT_EQ(static_cast<std::size_t>(n - 16), plain.size());

    const std::string rds = "RENESAS.VELM.001,1.3.5," + c.wadh + "," + (c.otp ? c.otp : "") + ",";
    std::string expectTail = std::string(1, static_cast<char>(rds.size())) + rds;
    if (c.withKey && c.keyIndex == 0) expectTail += key;
    if (!c.demo.empty()) {
        expectTail += static_cast<char>(c.demo.size() & 0xFF);
        expectTail += static_cast<char>(c.demo.size() >> 8);
        expectTail += c.demo + " ";
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(kRandom4), 4), plain.substr(0, 4));
    const std::string block = plain.substr(36, 128);
    EXPECT_EQ(c.keyIndex, block[0]);
    EXPECT_EQ(expectTail, plain.substr(164));
    EXPECT_EQ(Sha256(block + expectTail + plain.substr(0, 4) + " "), plain.substr(4, 32));
}

INSTANTIATE_TEST_SUITE_P(
    Pid, PidLayoutTest,
    ::testing::Values(
        // Lr = 16 + 1 + 5 + 1 + 44 + 2 = 69; N = 165 + 69 + 260 = 494.
        PidCase{"WadhAndKey", 0, nullptr, "", std::string(44, 'W'), true, 510},
        // Key index 1: the key block is left out.
        PidCase{"KeyIndexOneDropsKey", 1, nullptr, "", std::string(44, 'W'), true, 250},
        PidCase{"OtpAndDemo", 0, "123456", "<Demo lang=\"06\"/>", "", true, 165 + 31 + 260 + 20 + 16},
        PidCase{"LargestRdsText", 0, "123456", "", std::string(224, 'W'), false, 165 + 255 + 16}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SecureRequests, RandomBlockDiffersBetweenRequests) {
    VELM_Secure_Helper h;
    std::vector<uint8_t> a(1024), b(1024);
    ASSERT_EQ(206, h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, kRandom4, 0, nullptr, nullptr,
                                                    0, nullptr, 0, nullptr, a.data(), a.size()));
    ASSERT_EQ(206, h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, kRandom4, 0, nullptr, nullptr,
                                                    0, nullptr, 0, nullptr, b.data(), b.size()));
    EXPECT_NE(Open(Kind::Pid, a.data(), 206).substr(37, 127), Open(Kind::Pid, b.data(), 206).substr(37, 127));
}

TEST(SecureHelpers, HexRdsDataAndVersion) {
    VELM_Secure_Helper h;
    const uint8_t two[2] = {0x0A, 0xFF};
    EXPECT_EQ("0AFF", h.ConvertToHex(two, 2));
    EXPECT_EQ("FFFFFFFFFFFFFFFF", h.ConvertToHex(two, 0));
    EXPECT_EQ("FFFFFFFFFFFFFFFF", h.ConvertToHex(nullptr, 5));

    EXPECT_EQ("RENESAS.VELM.001", h.GetRDSID());
    EXPECT_EQ("1.3.5", h.GetRDSVER());
    const uint8_t otp[6] = {'9', '8', '7', '6', '5', '4'};
    EXPECT_EQ("RENESAS.VELM.001,1.3.5,,,", h.CreateRdsData(nullptr, 0, nullptr));
    h.SetRDSVER("1.3.2");
    EXPECT_EQ("RENESAS.VELM.001,1.3.2,0A,987654,", h.CreateRdsData(reinterpret_cast<const uint8_t*>("0A"), 2, otp));
}

TEST(SecureHelpers, EncryptRequestAppendsTag) {
    VELM_Secure_Helper h;
    uint8_t key[32] = {1}, iv[12] = {2}, aad[16] = {3};
    const uint8_t plain[5] = {'h', 'e', 'l', 'l', 'o'};
    velm::MallocBuffer sealed(h.EncryptRequest(plain, sizeof plain, key, iv, aad));
    ASSERT_TRUE(sealed);
    uint8_t back[5];
    mbedtls_gcm_context gcm;
    mbedtls_gcm_init(&gcm);
    mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256);
    EXPECT_EQ(0, mbedtls_gcm_auth_decrypt(&gcm, 5, iv, 12, aad, 16, sealed.get() + 5, 16, sealed.get(), back));
    mbedtls_gcm_free(&gcm);
    EXPECT_EQ(0, std::memcmp(plain, back, 5));
    EXPECT_EQ(nullptr, h.EncryptRequest(nullptr, 5, key, iv, aad));
}

// ---------------------------------------------------------------------------------------------
// Cross-check: the scanner twin decrypts (and checks) what this side builds.

std::string TempDir() {
    std::string tmpl = std::string(VELM_BINARY_DIR) + "/secure_test_XXXXXX";
    if (!::mkdtemp(&tmpl[0])) return "";
    return tmpl;
}

std::string Base64(const uint8_t* data, std::size_t length) {
    std::vector<unsigned char> b64(length * 2 + 8);
    std::size_t olen = 0;
    mbedtls_base64_encode(b64.data(), b64.size(), &olen, data, length);
    return std::string(reinterpret_cast<char*>(b64.data()), olen);
}

// Runs the twin's decrypt command with the Base64 request on stdin; returns its exit status
// and its standard output.
int TwinDecrypt(const std::string& dir, const char* kind, const std::string& base64, std::string& stdoutText) {
    const std::string in = dir + "/request.b64", out = dir + "/plain.hex", err = dir + "/reason.txt";
    std::ofstream(in) << base64;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args = {"/usr/bin/python3", "-m",     "sim.scanner.crypto", "decrypt", "--check",
                                     "--kind",           kind,     "--time",             kScannerTime,
                                     "--device-code",    kDeviceCodeHex};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::string pythonPath = std::string("PYTHONPATH=") + VELM_SOURCE_DIR;
    char* envp[] = {&pythonPath[0], const_cast<char*>("PYTHONDONTWRITEBYTECODE=1"), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    std::stringstream ss;
    ss << std::ifstream(out).rdbuf();
    stdoutText = ss.str();
    while (!stdoutText.empty() && (stdoutText.back() == '\n' || stdoutText.back() == '\r')) stdoutText.pop_back();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Hex(const std::string& bytes) {
    static const char d[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : bytes) {
        h += d[c >> 4];
        h += d[c & 15];
    }
    return h;
}

TEST(TwinCrossCheck, TwinDecryptsEveryKindAndRefusesATamperedByte) {
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    VELM_Secure_Helper h;
    const std::string record = KeyRecord(1) + KeyRecord(2) + KeyRecord(3);
    const std::string key = UidaiKeyBlock();
    const std::string wadh(44, 'W');
    const std::string demo = "<Demo><Pi name=\"A\"/></Demo>";

    struct Request {
        Kind kind;
        const char* name;
        std::vector<uint8_t> sealed;
    };
    std::vector<Request> requests;
    auto add = [&](Kind kind, const char* name, const std::function<int(uint8_t*, std::size_t)>& build) {
        std::vector<uint8_t> out(10000);
        const int n = build(out.data(), out.size());
        ASSERT_GT(n, 0) << name << ": " << h.GetLastError();
        out.resize(static_cast<std::size_t>(n));
        requests.push_back({kind, name, out});
    };
    add(Kind::Time, "time", [&](uint8_t* o, std::size_t c) {
        return h.GenerateEncryptedTS(kScannerTime, kDeviceCode, 16, "2026-12-11510:25:00", o, c);
    });
    const std::string params = "1,10000,2026-12-11T10:20:30,2,FMR,X,P";
    add(Kind::Capture, "capture", [&](uint8_t* o, std::size_t c) {
        return h.GenerateEncryptedCapReq(kScannerTime, kDeviceCode, 16, params.c_str(),
                                         static_cast<int>(params.size()), nullptr, 0, o, c);
    });
    const std::string mode = "SN000123,0011-2233-4455-6677-8899-aabb-ccdd-eeff";
    add(Kind::Mode, "mode", [&](uint8_t* o, std::size_t c) {
        return h.GenerateEncryptedModeReq(kScannerTime, kDeviceCode, 16, mode.c_str(), static_cast<int>(mode.size()),
                                          o, c);
    });
    add(Kind::KeyChange, "key_change", [&](uint8_t* o, std::size_t c) {
        return h.GenerateEncryptedKeyChangeReq(kScannerTime, kDeviceCode, 16,
                                               reinterpret_cast<const uint8_t*>(record.data()), 789, o, c);
    });
    add(Kind::Pid, "pid", [&](uint8_t* o, std::size_t c) {
        return h.GenerateEncryptedRequestDataEx(kScannerTime, kDeviceCode, 16, kRandom4, 0, "123456",
                                                reinterpret_cast<const uint8_t*>(demo.data()),
                                                static_cast<int>(demo.size()),
                                                reinterpret_cast<const uint8_t*>(wadh.data()),
                                                static_cast<int>(wadh.size()),
                                                reinterpret_cast<const uint8_t*>(key.data()), o, c);
    });
    ASSERT_EQ(5u, requests.size());

    for (const Request& r : requests) {
        std::string plainHex;
        EXPECT_EQ(0, TwinDecrypt(dir, r.name, Base64(r.sealed.data(), r.sealed.size()), plainHex)) << r.name;
        EXPECT_EQ(Hex(Open(r.kind, r.sealed.data(), static_cast<int>(r.sealed.size()))), plainHex) << r.name;

        std::vector<uint8_t> tampered = r.sealed;
        tampered[tampered.size() / 2] ^= 0x01;
        std::string ignored;
        EXPECT_EQ(1, TwinDecrypt(dir, r.name, Base64(tampered.data(), tampered.size()), ignored)) << r.name;
    }
}

}  // namespace
