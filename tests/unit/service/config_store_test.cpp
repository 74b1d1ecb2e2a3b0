// The encrypted configuration store and the installation directories. The file format is
// checked with an independent AES/Base64 implementation (Debian's python3-cryptography).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "RunProgram.h"
#include "TempInstallRoot.h"
#include "service/VELM_Utils.h"

namespace {

const VELM_Utils utils;

std::string StoreTool() { return std::string(VELM_SOURCE_DIR) + "/tests/unit/service/data/store_tool.py"; }

// The decrypted bytes of the store file (padding included), as another installation sees them.
std::string DecryptExternally(const std::string& storePath) {
    velm::test::ProgramResult r =
        velm::test::RunProgram({"/usr/bin/python3", StoreTool(), VELM_SOURCE_DIR, "decrypt", storePath});
    EXPECT_EQ(r.exitStatus, 0) << "store_tool decrypt failed";
    std::string bytes;
    for (size_t i = 0; i + 1 < r.out.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoul(r.out.substr(i, 2), nullptr, 16)));
    return bytes;
}

void EncryptExternally(const std::string& storePath, const std::string& plaintext) {
    velm::test::ProgramResult r =
        velm::test::RunProgram({"/usr/bin/python3", StoreTool(), VELM_SOURCE_DIR, "encrypt", storePath}, plaintext);
    ASSERT_EQ(r.exitStatus, 0) << "store_tool encrypt failed";
}

class ConfigStore : public ::testing::Test {
protected:
    void SetUp() override { root.MakeInstallDir(); }
    std::string store() const { return root.path("config_data"); }
    TempInstallRoot root;
};

}  // namespace

TEST(Aes128, Fips197KnownAnswerInPlace) {
    const uint8_t key[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                             0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    const uint8_t plain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                               0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    const uint8_t cipher[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
    uint8_t block[16];
    std::memcpy(block, plain, 16);
    AES128_ECB_encrypt(block, key, block);
    EXPECT_EQ(0, std::memcmp(block, cipher, 16));
    AES128_ECB_decrypt(block, key, block);
    EXPECT_EQ(0, std::memcmp(block, plain, 16));
}

TEST_F(ConfigStore, MissingStoreOrDirectoryReadsEmpty) {
    EXPECT_EQ(utils.ReadParameterFromConfigFile("ATTEMPT"), "");
    std::filesystem::remove_all(root.installDir());
    EXPECT_EQ(utils.ReadParameterFromConfigFile("ATTEMPT"), "");
    utils.WriteParameterDataToConfigFile("ATTEMPT", "7");  // silently fails: no directory
    EXPECT_FALSE(std::filesystem::exists(store()));
}

TEST_F(ConfigStore, RoundTripTellsSimilarKeysApart) {
    const std::pair<std::string, std::string> entries[] = {
        {"ATTEMPT", "7"},
        {"SPOOF_ATTEMPT", "3"},
        {"ProdCerCI", "20280813"},
        {"PreProdCerCI", "20280825"},
        {"PROXY_SERVER", "http://10.0.0.1:3128"},
        {"PROXY_PWD", "p:w:d "},
        {"EMPTY", ""},
    };
    for (const auto& e : entries) utils.WriteParameterDataToConfigFile(e.first, e.second);
    for (const auto& e : entries) EXPECT_EQ(utils.ReadParameterFromConfigFile(e.first), e.second) << e.first;
    EXPECT_EQ(utils.ReadParameterFromConfigFile("TEMPT"), "");
    EXPECT_EQ(utils.ReadParameterFromConfigFile("attempt"), "") << "keys are case-sensitive";
    EXPECT_EQ(utils.ReadParameterFromConfigFile("PROXY"), "");
}

TEST_F(ConfigStore, RewrittenKeyMovesToTheEnd) {
    utils.WriteParameterDataToConfigFile("A", "1");
    utils.WriteParameterDataToConfigFile("B", "2");
    utils.WriteParameterDataToConfigFile("A", "3");
    const std::string plain = DecryptExternally(store());
    EXPECT_EQ(plain, "B:2\nA:3\n" + std::string(8, ' '));
    EXPECT_EQ(utils.ReadParameterFromConfigFile("A"), "3");
}

TEST_F(ConfigStore, PaddingToWholeBlocks) {
    // "K:" + value + "\n": 32 bytes exactly, then 33.
    utils.WriteParameterDataToConfigFile("K", std::string(29, 'v'));
    std::string plain = DecryptExternally(store());
    EXPECT_EQ(plain.size(), 32u);
    EXPECT_EQ(plain, "K:" + std::string(29, 'v') + "\n");

    utils.WriteParameterDataToConfigFile("K", std::string(30, 'v'));
    plain = DecryptExternally(store());
    EXPECT_EQ(plain.size(), 48u);
    EXPECT_EQ(plain, "K:" + std::string(30, 'v') + "\n" + std::string(15, ' '));

    const std::string text = utils.ReadDataFromFile(store());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "one Base64 text without line breaks";
}

TEST_F(ConfigStore, ReadsStoreOfAnotherInstallation) {
    EncryptExternally(store(),
                      "USE_PROXY:TRUE\nPROXY_SERVER:proxy.local\nPROXY_PORT:3128\n"
                      "LAST_SPOOF_CHECK:2026-01-02 03:04:05\nStageCerCI:20300811\nNOLF:x");
    EXPECT_EQ(utils.ReadParameterFromConfigFile("USE_PROXY"), "TRUE");
    EXPECT_EQ(utils.ReadParameterFromConfigFile("PROXY_PORT"), "3128");
    EXPECT_EQ(utils.ReadParameterFromConfigFile("LAST_SPOOF_CHECK"), "2026-01-02 03:04:05");
    EXPECT_EQ(utils.ReadParameterFromConfigFile("StageCerCI"), "20300811");
    EXPECT_EQ(utils.ReadParameterFromConfigFile("NOLF"), "x") << "last line without a line feed";

    // A write keeps everything else and the other installation reads the result.
    utils.WriteParameterDataToConfigFile("PROXY_PORT", "8080");
    std::string plain = DecryptExternally(store());
    plain.erase(plain.find_last_not_of(' ') + 1);
    const std::string tail = "\nPROXY_PORT:8080\n";
    ASSERT_GE(plain.size(), tail.size());
    EXPECT_EQ(plain.substr(plain.size() - tail.size()), tail) << "the rewritten key is last";
    EXPECT_NE(plain.find("USE_PROXY:TRUE\n"), std::string::npos);
    EXPECT_NE(plain.find("NOLF:x\n"), std::string::npos);
    EXPECT_EQ(plain.find("PROXY_PORT:3128"), std::string::npos);
}

TEST_F(ConfigStore, DuplicateLinesAreAllReplaced) {
    EncryptExternally(store(), "A:old1\nB:b\nA:old2\n");
    EXPECT_EQ(utils.ReadParameterFromConfigFile("A"), "old1") << "the first line wins";
    utils.WriteParameterDataToConfigFile("A", "new");
    EXPECT_EQ(utils.ReadParameterFromConfigFile("A"), "new");
    EXPECT_EQ(DecryptExternally(store()), "B:b\nA:new\n" + std::string(6, ' '));
}

TEST_F(ConfigStore, UndecodableStoreReadsEmpty) {
    const uint8_t junk[] = "@@@ not base64 @@@";
    ASSERT_TRUE(utils.WriteDataToFile(store(), junk, sizeof junk - 1));
    EXPECT_EQ(utils.ReadParameterFromConfigFile("ATTEMPT"), "");
    // Valid Base64, wrong key: the lines do not match.
    const uint8_t other[] = "AAAAAAAAAAAAAAAAAAAAAA==";
    ASSERT_TRUE(utils.WriteDataToFile(store(), other, sizeof other - 1));
    EXPECT_EQ(utils.ReadParameterFromConfigFile("ATTEMPT"), "");
}

TEST_F(ConfigStore, RefusesWritesThatWouldCorruptOtherLines) {
    utils.WriteParameterDataToConfigFile("SAFE", "1");
    const std::string before = DecryptExternally(store());
    utils.WriteParameterDataToConfigFile("PROXY_SERVER", "host\nATTEMPT:5");
    utils.WriteParameterDataToConfigFile("BAD:KEY", "x");
    utils.WriteParameterDataToConfigFile("BAD\nKEY", "x");
    utils.WriteParameterDataToConfigFile("", "x");
    EXPECT_EQ(DecryptExternally(store()), before);
    EXPECT_EQ(utils.ReadParameterFromConfigFile("ATTEMPT"), "");

    utils.WriteParameterDataToConfigFile("NUL", std::string("ab\0cd", 5));
    EXPECT_EQ(utils.ReadParameterFromConfigFile("NUL"), "ab") << "the value ends at its first NUL";
}

TEST_F(ConfigStore, OversizedStoreKeepsThePreviousOne) {
    utils.WriteParameterDataToConfigFile("KEEP", "me");
    utils.WriteParameterDataToConfigFile("HUGE", std::string(VELM_Utils::kMaxStoreBytes, 'h'));
    EXPECT_EQ(utils.ReadParameterFromConfigFile("KEEP"), "me");
    EXPECT_EQ(utils.ReadParameterFromConfigFile("HUGE"), "");
    // The largest store that still fits is written and read back.
    const std::string big(VELM_Utils::kMaxStoreBytes - 8 - 16, 'b');
    utils.WriteParameterDataToConfigFile("BIG", big);
    EXPECT_EQ(utils.ReadParameterFromConfigFile("BIG"), big);
    EXPECT_EQ(utils.ReadParameterFromConfigFile("KEEP"), "me");
}

TEST_F(ConfigStore, ReplacementLeavesNoTemporaryFiles) {
    for (int i = 0; i < 5; ++i) utils.WriteParameterDataToConfigFile("N", std::to_string(i));
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(root.installDir()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"config_data"});
    struct stat st;
    ASSERT_EQ(::stat(store().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the store holds the proxy password";
}

TEST_F(ConfigStore, ConcurrentWritersLoseNothing) {
    constexpr int kPerThread = 40;
    auto writer = [](const std::string& prefix) {
        for (int i = 0; i < kPerThread; ++i) {
            utils.WriteParameterDataToConfigFile(prefix + std::to_string(i), "value-" + std::to_string(i));
            (void)utils.ReadParameterFromConfigFile(prefix + "0");
        }
    };
    std::thread a(writer, "T1_"), b(writer, "T2_");
    a.join();
    b.join();
    for (const char* prefix : {"T1_", "T2_"})
        for (int i = 0; i < kPerThread; ++i)
            EXPECT_EQ(utils.ReadParameterFromConfigFile(prefix + std::to_string(i)), "value-" + std::to_string(i))
                << prefix << i;
}

TEST(InstallLayout, CreateDirectories) {
    TempInstallRoot root;
    std::filesystem::create_directories(root.root() + "/opt");
    ASSERT_TRUE(utils.CreateDirectories());
    for (const char* d : {"", "/Logs", "/Firmware"}) EXPECT_TRUE(std::filesystem::is_directory(root.installDir() + d)) << d;

    std::filesystem::remove(root.installDir() + "/Firmware");
    ASSERT_TRUE(utils.CreateDirectories()) << "existing root: the missing one is created";
    EXPECT_TRUE(std::filesystem::is_directory(root.installDir() + "/Firmware"));

    std::filesystem::remove_all(root.root() + "/opt");
    EXPECT_FALSE(utils.CreateDirectories()) << "the parent of the installation directory is missing";
}

TEST_F(ConfigStore, BatchWriteEqualsOneWriteAfterAnotherInOneReplacement) {
    utils.WriteParameterDataToConfigFile("A", "1");
    utils.WriteParameterDataToConfigFile("B", "2");
    utils.WriteParameterDataToConfigFile("C", "3");
    utils.WriteParametersToConfigFile({{"A", "9"}, {"C", "8"}});
    const std::string expected = "B:2\nA:9\nC:8\n";
    EXPECT_EQ(DecryptExternally(store()).substr(0, expected.size()), expected);

    // A batch with one bad key writes nothing of it.
    utils.WriteParametersToConfigFile({{"B", "5"}, {"BAD:KEY", "x"}});
    EXPECT_EQ(utils.ReadParameterFromConfigFile("B"), "2");
}

TEST_F(ConfigStore, WriteThatChangesNothingLeavesTheFileAlone) {
    utils.WriteParametersToConfigFile({{"SPOOF_ATTEMPT", "0"}, {"LAST_SPOOF_CHECK", "2026-12-09 10:00:00"}});
    struct stat before{};
    ASSERT_EQ(::stat(store().c_str(), &before), 0);
    utils.WriteParametersToConfigFile({{"SPOOF_ATTEMPT", "0"}, {"LAST_SPOOF_CHECK", "2026-12-09 10:00:00"}});
    struct stat after{};
    ASSERT_EQ(::stat(store().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // not replaced

    // The same values in another order do change the file (a written key moves to the end).
    utils.WriteParameterDataToConfigFile("SPOOF_ATTEMPT", "0");
    ASSERT_EQ(::stat(store().c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    const std::string expected = "LAST_SPOOF_CHECK:2026-12-09 10:00:00\nSPOOF_ATTEMPT:0\n";
    EXPECT_EQ(DecryptExternally(store()).substr(0, expected.size()), expected);
}
