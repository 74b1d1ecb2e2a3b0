// The signed UIDAI certificate answer: field layout, signature check against the built-in
// key, and the atomic file replacement used to store the certificates.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <mbedtls/base64.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha256.h>

#include "core/CoreSupport.h"
#include "net/VELM_HTTP_Helper.h"
#include "service/Profile.h"

using namespace velm::core;

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Base64(const std::vector<unsigned char>& bytes) {
    size_t n = 0;
    mbedtls_base64_encode(nullptr, 0, &n, bytes.data(), bytes.size());
    std::string out(n, '\0');
    mbedtls_base64_encode(reinterpret_cast<unsigned char*>(&out[0]), n, &n, bytes.data(), bytes.size());
    out.resize(n);
    return out;
}

// Signs data with the maker's test key (the private half of the dev profile's key).
std::string SignWithTestKey(const std::string& data) {
    mbedtls_pk_context pk;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_pk_init(&pk);
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    std::string out;
    const std::string keyPath = std::string(VELM_SOURCE_DIR) + "/sim/keys/maker_signing_test.key";
    if (mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0) == 0 &&
        mbedtls_pk_parse_keyfile(&pk, keyPath.c_str(), nullptr) == 0) {
        unsigned char hash[32];
        mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(), hash, 0);
        std::vector<unsigned char> sig(MBEDTLS_PK_SIGNATURE_MAX_SIZE);
        size_t len = 0;
        if (mbedtls_pk_sign(&pk, MBEDTLS_MD_SHA256, hash, 32, sig.data(), &len, mbedtls_ctr_drbg_random, &drbg) == 0) {
            sig.resize(len);
            out = Base64(sig);
        }
    }
    mbedtls_pk_free(&pk);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
    return out;
}

TEST(CertificateAnswer, FieldsAndSignedData) {
    const auto a = ParseUidaiCertificateAnswer("T,Y,STAGE,PROD,PRE,SIG,V1.30,extra,more");
    EXPECT_EQ(a.tag, "T");
    EXPECT_EQ(a.reregister, "Y");
    EXPECT_EQ(a.stageCert, "STAGE");
    EXPECT_EQ(a.prodCert, "PROD");
    EXPECT_EQ(a.preprodCert, "PRE");
    EXPECT_EQ(a.signature, "SIG");
    EXPECT_EQ(a.firmwareVersion, "V1.30");
    EXPECT_EQ(a.signedData, "TYSTAGEPRODPRE");

    const auto shortAnswer = ParseUidaiCertificateAnswer("A,Y,S");
    EXPECT_EQ(shortAnswer.reregister, "Y");
    EXPECT_EQ(shortAnswer.prodCert, "");
    EXPECT_EQ(shortAnswer.signature, "");
    EXPECT_EQ(shortAnswer.signedData, "AYS");

    const auto empty = ParseUidaiCertificateAnswer("");
    EXPECT_EQ(empty.tag, "");  // one empty field arrived
    EXPECT_EQ(empty.reregister, "N");
}

TEST(CertificateAnswer, SignatureVerifiesOnlyForTheSignedBytes) {
    const std::string pem = velm::profile::BuiltIn().signingPublicKeyPem;
    const std::string data = "NYstageprodpreprod";
    const std::string sig = SignWithTestKey(data);
    ASSERT_FALSE(sig.empty());
    EXPECT_EQ(VerifyAnswerSignature(data, sig, pem), 0);
    EXPECT_EQ(VerifyAnswerSignature(data + "x", sig, pem), -1);
    EXPECT_EQ(VerifyAnswerSignature("NNstageprodpreprod", sig, pem), -1);

    // One flipped bit in the signature.
    std::string flipped = sig;
    flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
    EXPECT_EQ(VerifyAnswerSignature(data, flipped, pem), -1);
    // A truncated but still decodable signature.
    EXPECT_EQ(VerifyAnswerSignature(data, sig.substr(0, 40), pem), -1);
}

TEST(CertificateAnswer, UndecodableSignatureOrKeyIsMinus64) {
    const std::string pem = velm::profile::BuiltIn().signingPublicKeyPem;
    const std::string data = "abc";
    const std::string sig = SignWithTestKey(data);
    EXPECT_EQ(VerifyAnswerSignature(data, "", pem), -64);
    EXPECT_EQ(VerifyAnswerSignature(data, "!!!!", pem), -64);
    EXPECT_EQ(VerifyAnswerSignature(data, std::string(1500, 'A'), pem), -64);  // over 1024 bytes
    EXPECT_EQ(VerifyAnswerSignature(data, sig, ""), -64);
    EXPECT_EQ(VerifyAnswerSignature(data, sig, "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"), -64);
}

TEST(CertificateAnswer, ResultCodes) {
    EXPECT_EQ(CertificateRotationCode(true, true), 3);
    EXPECT_EQ(CertificateRotationCode(true, false), 2);
    EXPECT_EQ(CertificateRotationCode(false, true), 1);
    EXPECT_EQ(CertificateRotationCode(false, false), 0);
}

TEST(Base64Bounded, LimitsAndRefusals) {
    EXPECT_EQ(DecodeBase64Bounded(" QUJD\r\n", 16), (std::vector<uint8_t>{'A', 'B', 'C'}));
    EXPECT_TRUE(DecodeBase64Bounded("QUJD", 2).empty());
    EXPECT_TRUE(DecodeBase64Bounded("", 16).empty());
    EXPECT_TRUE(DecodeBase64Bounded("Q*JD", 16).empty());
}

class AtomicWrite : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = VELM_BINARY_DIR "/tmp_atomicXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const auto& n : Entries()) unlink((dir_ + "/" + n).c_str());
        rmdir(dir_.c_str());
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> out;
        DIR* d = opendir(dir_.c_str());
        if (!d) return out;
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") out.push_back(n);
        }
        closedir(d);
        return out;
    }
    std::string dir_;
};

TEST_F(AtomicWrite, ReplacesTheFileAndLeavesNoTemporary) {
    const std::string path = dir_ + "/uidai_prod_l1.cer";
    std::ofstream(path) << "old contents that are longer than the new ones";
    ASSERT_TRUE(WriteFileAtomically(path, "new"));
    EXPECT_EQ(ReadText(path), "new");
    EXPECT_EQ(Entries(), std::vector<std::string>{"uidai_prod_l1.cer"});
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(AtomicWrite, FailureLeavesTheOldFile) {
    const std::string path = dir_ + "/missing-dir/file";
    EXPECT_FALSE(WriteFileAtomically(path, "x"));
    EXPECT_TRUE(Entries().empty());
}

TEST(XmlText, EscapesMarkup) {
    EXPECT_EQ(velm::net::XmlEscape("S<1>&\"'"), "S&lt;1&gt;&amp;&quot;&apos;");
    EXPECT_EQ(velm::net::XmlEscape("ABC123"), "ABC123");
}

}  // namespace

#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "service/VELM_Utils.h"

namespace {

TEST(FirmwareCheck, NewerOnlyWhenTheScannersNumberIsSmaller) {
    VELM_Utils utils;
    Device_Comm_Mgmt device(&utils);
    VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
    struct Case {
        const char* scanner;
        const char* server;
        bool want;
    } cases[] = {
        {"1.23", "V1.25", true},  {"1.30", "V1.25", false}, {"1.25", "V1.25", false},
        {"V1.2", "1.10", true},   {"2.04", "", false},      {"", "V1.25", false},
        {"2.04", "latest", false}, {"2.04", "V99999999999", false},
    };
    for (const auto& c : cases) {
        device.firmwareVersion = c.scanner;
        EXPECT_EQ(core.IsFirmwareUpgradeRequired(c.server), c.want) << c.scanner << " vs " << c.server;
    }
}

}  // namespace
