// UIDAI key rotation against both twins: result codes, what is stored (and what is not when
// the answer is bad), what the scanner receives, and the request as the server sees it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "IndiaTime.h"
#include "core/CoreSupport.h"
#include "registration_twins.h"

namespace {

using velm::test::ReadWholeFile;

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Base64 DER of a PEM certificate file, as the server sends it.
std::string DerBase64(const std::string& pemPath) {
    std::string pem = ReadWholeFile(pemPath);
    std::string out;
    bool in = false;
    size_t start = 0;
    while (start < pem.size()) {
        size_t end = pem.find('\n', start);
        if (end == std::string::npos) end = pem.size();
        const std::string line = pem.substr(start, end - start);
        if (line.rfind("-----BEGIN", 0) == 0) in = true;
        else if (line.rfind("-----END", 0) == 0) in = false;
        else if (in) out += line;
        start = end + 1;
    }
    return out;
}

class Rotation : public velm::test::TwinsFixture {
protected:
    std::string Key(const char* env) { return std::string(VELM_SOURCE_DIR) + "/sim/keys/uidai_" + env + "_test.crt"; }
    int KeyChanges() {
        const std::string answer = Call("scanner", "commands");
        int n = 0;
        for (size_t p = answer.find("VELM_ADDPUBKEY"); p != std::string::npos; p = answer.find("VELM_ADDPUBKEY", p + 1)) ++n;
        return n;
    }
    void ExpectNoCertificateStored() {
        EXPECT_FALSE(Exists(core_->stageCertPath));
        EXPECT_FALSE(Exists(core_->prodCertPath));
        EXPECT_FALSE(Exists(core_->preprodCertPath));
        EXPECT_EQ(Store("StageCerCI"), "");
        EXPECT_EQ(Store("ProdCerCI"), "");
        EXPECT_EQ(Store("PreProdCerCI"), "");
    }
    velm::test::IndiaTime india_;
};

TEST_F(Rotation, InstallsKeysAndAnswersEachSuccessCode) {
    struct Case {
        const char* reregister;
        const char* firmware;  // the scanner runs 2.04
        int want;
    } cases[] = {
        {"N", "V1.00", 0},
        {"Y", "V1.00", 1},
        {"N", "V2.05", 2},
        {"Y", "V3.00", 3},
        {"y", "V2.04", 0},  // only an exact "Y" asks for registration; an equal version is not newer
    };
    for (const auto& c : cases) {
        Call("server", "set_certificate_answer",
             std::string("{\"reregister\": \"") + c.reregister + "\", \"firmware_version\": \"" + c.firmware + "\"}");
        EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), c.want) << c.reregister << " " << c.firmware;
    }
    EXPECT_EQ(KeyChanges(), 5);

    // Files hold the Base64 text as received; the identifiers are the expiry dates in India time.
    EXPECT_EQ(ReadWholeFile(core_->stageCertPath), DerBase64(Key("stage")));
    EXPECT_EQ(ReadWholeFile(core_->prodCertPath), DerBase64(Key("prod")));
    EXPECT_EQ(ReadWholeFile(core_->preprodCertPath), DerBase64(Key("preprod")));
    const auto prodDer = velm::core::DecodeBase64Bounded(DerBase64(Key("prod")), 4096);
    EXPECT_EQ(Store("ProdCerCI"), utils_->ReadCertificateExpiry(prodDer.data(), prodDer.size()));
    EXPECT_EQ(Store("ProdCerCI").size(), 8u);
    EXPECT_FALSE(Store("StageCerCI").empty());
    EXPECT_FALSE(Store("PreProdCerCI").empty());
    EXPECT_EQ(Store("Installed_TS").size(), 14u);

    // The scanner holds the production record first, built from the production certificate.
    const std::string records = Call("scanner", "key_records");
    velm::MallocBuffer rec(utils_->ReadCertificatePublicKeyData(prodDer.data(), prodDer.size()));
    std::string hex;
    char b[3];
    for (size_t i = 0; i < VELM_Utils::kPublicKeyRecordSize; ++i) {
        snprintf(b, sizeof b, "%02x", rec.get()[i]);
        hex += b;
    }
    EXPECT_NE(records.find("[\"" + hex + "\""), std::string::npos) << records;
}

TEST_F(Rotation, BadSignatureStoresNothing) {
    Call("server", "set_fault", "{\"target\": \"GetUIDAICertificates_2019\", \"kind\": \"bad_signature\"}");
    EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), -1);
    ExpectNoCertificateStored();
    EXPECT_EQ(KeyChanges(), 0);

    // A stored set is kept, not replaced, when a later answer does not verify.
    Call("server", "clear_faults");
    ASSERT_EQ(core_->CheckAndDownloadUidaiCertificates(), 0);
    const std::string before = ReadWholeFile(core_->prodCertPath);
    std::ofstream(core_->prodCertPath) << "marker";
    Call("server", "set_fault", "{\"target\": \"GetUIDAICertificates_2019\", \"kind\": \"bad_signature\"}");
    EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), -1);
    EXPECT_EQ(ReadWholeFile(core_->prodCertPath), "marker");
    EXPECT_FALSE(before.empty());
}

TEST_F(Rotation, EmptyStagingFieldReplacesTheOtherTwoOnly) {
    Call("server", "set_certificate_answer", "{\"blank\": [\"stage\"]}");
    EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), -1);
    EXPECT_FALSE(Exists(core_->stageCertPath));
    EXPECT_EQ(Store("StageCerCI"), "");
    EXPECT_EQ(ReadWholeFile(core_->prodCertPath), DerBase64(Key("prod")));
    EXPECT_EQ(ReadWholeFile(core_->preprodCertPath), DerBase64(Key("preprod")));
    EXPECT_FALSE(Store("ProdCerCI").empty());
    EXPECT_FALSE(Store("PreProdCerCI").empty());
    EXPECT_EQ(KeyChanges(), 0);
}

TEST_F(Rotation, TransportAndDecodingFailures) {
    // The server drops the connection: a transport failure.
    Call("server", "set_fault", "{\"target\": \"GetUIDAICertificates_2019\", \"kind\": \"drop_connection\", \"count\": 1}");
    EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), -2);
    // The signature field is missing: the firmware version takes its place and decodes to nothing.
    Call("server", "set_fault", "{\"target\": \"GetUIDAICertificates_2019\", \"kind\": \"drop_field\", \"index\": 5, \"count\": 1}");
    EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), -64);
    // Answers that are not usable.
    const char* faults[] = {
        "{\"target\": \"GetUIDAICertificates_2019\", \"kind\": \"malformed_xml\", \"count\": 1}",
        "{\"target\": \"GetUIDAICertificates_2019\", \"kind\": \"missing_element\", \"level\": \"result\", \"count\": 1}",
        "{\"target\": \"GetUIDAICertificates_2019\", \"kind\": \"empty_result\", \"count\": 1}",
    };
    for (const char* f : faults) {
        Call("server", "set_fault", f);
        EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), -1) << f;
    }
    ExpectNoCertificateStored();
    EXPECT_EQ(KeyChanges(), 0);
}

TEST_F(Rotation, ScannerProblemsAfterTheCertificatesAreStored) {
    Call("scanner", "set_reply", "{\"word\": \"VELM_ADDPUBKEY\", \"reply\": \"FAIL:refused\"}");
    EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), -1);
    EXPECT_TRUE(Exists(core_->prodCertPath));  // the new files stay; the scanner keeps its old keys

    Call("scanner", "set", "{\"reply_overrides\": {}}");
    Call("scanner", "set_device_code", "{\"code\": \"0f1e2d3c\"}");  // too short for a request key
    EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), -1);

    Call("scanner", "set", "{\"time_record\": \"2026-01-04T08:05:09,0,P\"}");
    EXPECT_EQ(core_->CheckAndDownloadUidaiCertificates(), -1);
    EXPECT_EQ(KeyChanges(), 1);
}

TEST_F(Rotation, RequestAsTheServerSeesIt) {
    device_->serialNumber = "  VT<1>&2  ";
    utils_->WriteParameterDataToConfigFile("ProdCerCI", "20300101");
    ASSERT_EQ(core_->CheckAndDownloadUidaiCertificates(), 0);
    const std::string requests = Call("server", "requests");
    EXPECT_NE(requests.find("\"path\": \"/TR460_REGISTRATION_SERVICE/CertFetcher.asmx\""), std::string::npos);
    EXPECT_NE(requests.find("[\"SOAPActions\", \"GetUIDAICertificates_2019\"]"), std::string::npos) << requests;
    const std::string body = velm::test::JsonString(requests, "body");
    EXPECT_EQ(body,
              "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "xmlns:tem=\"http://velmora.example/rd/certificates/\"><soapenv:Header/><soapenv:Body>"
              "<tem:GetUIDAICertificates_2019><tem:opd_num>1</tem:opd_num><tem:RDVer>1.0</tem:RDVer>"
              "<tem:argCertCIs>,,</tem:argCertCIs><tem:srno>VT&lt;1&gt;&amp;2</tem:srno><tem:cert_srno></tem:cert_srno>"
              "</tem:GetUIDAICertificates_2019></soapenv:Body></soapenv:Envelope>");
    // Installed_TS is written once.
    const std::string installed = Store("Installed_TS");
    utils_->WriteParameterDataToConfigFile("Installed_TS", "20200101000000");
    ASSERT_EQ(core_->CheckAndDownloadUidaiCertificates(), 0);
    EXPECT_EQ(Store("Installed_TS"), "20200101000000");
    EXPECT_FALSE(installed.empty());
}

}  // namespace
