// Text, hex, Base64, time, file and certificate helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "IndiaTime.h"
#include "TempInstallRoot.h"
#include "service/VELM_Utils.h"

namespace {

const VELM_Utils utils;

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string DataPath(const std::string& name) {
    return std::string(VELM_SOURCE_DIR) + "/tests/unit/service/data/" + name;
}

std::vector<uint8_t> HexBytes(std::string hex) {
    while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r')) hex.pop_back();
    if (hex.size() % 2) hex.insert(hex.begin(), '0');
    std::vector<uint8_t> out;
    for (size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The Base64 body of a PEM certificate file.
std::string PemBody(const std::string& path) {
    std::ifstream in(path);
    std::string line, body;
    while (std::getline(in, line))
        if (line.rfind("-----", 0) != 0) body += line;
    return body;
}

}  // namespace

TEST(TextHelpers, Trims) {
    struct Case {
        std::string in, l, r, both;
    } cases[] = {
        {"", "", "", ""},
        {" \t\n\v\f\r", "", "", ""},
        {"  a b  ", "a b  ", "  a b", "a b"},
        {"\r\nx\t", "x\t", "\r\nx", "x"},
        {"abc", "abc", "abc", "abc"},
    };
    for (const Case& c : cases) {
        std::string a = c.in, b = c.in, d = c.in;
        EXPECT_EQ(utils.ltrim(a), c.l) << "[" << c.in << "]";
        EXPECT_EQ(utils.rtrim(b), c.r) << "[" << c.in << "]";
        EXPECT_EQ(utils.trim(d), c.both) << "[" << c.in << "]";
        EXPECT_EQ(d, c.both) << "trim works in place";
    }
    EXPECT_EQ(utils.to_upper("capture\xe9 1a"), "CAPTURE\xe9 1A");
}

TEST(TextHelpers, Split) {
    struct Case {
        std::string text, delim;
        std::vector<std::string> pieces;
    } cases[] = {
        {"", ",", {""}},
        {"a", ",", {"a"}},
        {"a,b,,", ",", {"a", "b", "", ""}},
        {" a , b , c ", ",", {" a ", " b ", "c"}},
        {",", ",", {"", ""}},
        {"x|y", "|", {"x", "y"}},
        {"STATUS_OK,2026-01-01T10:00:00,42\r\n", ",", {"STATUS_OK", "2026-01-01T10:00:00", "42"}},
        {"a::b::c", "::", {"a", "b", "c"}},
        {" keep all ", "", {"keep all"}},
    };
    for (const Case& c : cases) EXPECT_EQ(utils.Split(c.text, c.delim), c.pieces) << "[" << c.text << "]";
}

TEST(TextHelpers, ReplaceString) {
    struct Case {
        std::string text, from, to, out;
    } cases[] = {
        {"Fri, 11 Dec 2026 10:00:00 GMT", "GMT", "", "Fri, 11 Dec 2026 10:00:00"},
        {"a-b-c", "-", "", "abc"},
        {"aaa", "a", "aa", "aaaaaa"},  // the search continues after the inserted text
        {"  x-y  ", "-", "+", "x+y"},
        {"no match ", "zz", "", "no match"},
        {"  untouched  ", "", "x", "  untouched  "},
    };
    for (const Case& c : cases) EXPECT_EQ(utils.ReplaceString(c.text, c.from, c.to), c.out) << "[" << c.text << "]";
}

TEST(NumberHelpers, IntToText) {
    struct Case {
        int v;
        const char* dec;
        const char* hex;
    } cases[] = {
        {0, "0", "00"},        {5, "5", "05"},          {255, "255", "ff"},
        {4096, "4096", "1000"}, {-1, "-1", "ffffffff"}, {-256, "-256", "ffffff00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utils.IntToString(c.v), c.dec);
        EXPECT_EQ(utils.IntToHexString(c.v), c.hex);
    }
}

TEST(NumberHelpers, HexStringToByteArray) {
    velm::MallocBuffer b(utils.HexStringToByteArray("00aBfF7e"));
    ASSERT_TRUE(b);
    const uint8_t want[] = {0x00, 0xab, 0xff, 0x7e};
    EXPECT_EQ(0, std::memcmp(b.get(), want, sizeof want));

    velm::MallocBuffer empty(utils.HexStringToByteArray(""));
    EXPECT_TRUE(empty) << "an empty text still gives a buffer";

    for (const char* bad : {"0g", "zz00", "1", "abc", " 1"})
        EXPECT_THROW(velm::MallocBuffer(utils.HexStringToByteArray(bad)), std::invalid_argument) << bad;
}

TEST(Base64, KnownVectorsAndRoundTrip) {
    const std::pair<std::string, std::string> vectors[] = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(utils.ConvertToBase64(reinterpret_cast<const uint8_t*>(v.first.data()), v.first.size()), v.second);
        uint8_t out[16];
        ASSERT_EQ(utils.ConvertFromBase64(v.second, out, sizeof out), static_cast<int>(v.first.size()));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), v.first.size()), v.first);
    }
    EXPECT_EQ(utils.ConvertToBase64(nullptr, 0), "");

    std::vector<uint8_t> all(300);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i * 7);
    const std::string text = utils.ConvertToBase64(all.data(), all.size());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "no line breaks";
    std::vector<uint8_t> back(400);
    ASSERT_EQ(utils.ConvertFromBase64("  " + text + "\r\n", back.data(), back.size()), 300) << "input is trimmed";
    EXPECT_TRUE(std::equal(all.begin(), all.end(), back.begin()));
}

TEST(Base64, DecodeNeverWritesPastCapacity) {
    const std::string text = "Zm9vYmFy";  // 6 bytes
    uint8_t buf[16];
    std::memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(utils.ConvertFromBase64(text, buf, 6), 6);
    EXPECT_EQ(buf[6], 0xAA);

    std::memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(utils.ConvertFromBase64(text, buf, 5), 0) << "too small: failure";
    for (uint8_t b : buf) EXPECT_EQ(b, 0xAA) << "nothing written on failure";

    EXPECT_EQ(utils.ConvertFromBase64("not*base64", buf, sizeof buf), 0);
    EXPECT_EQ(utils.ConvertFromBase64("   ", buf, sizeof buf), 0);
    EXPECT_EQ(utils.ConvertFromBase64("Zg==", nullptr, 0), 0);
}

TEST(TimeHelpers, GetTimeFromString) {
    velm::test::IndiaTime ist;
    time_t plain = 0, shifted = 0;
    ASSERT_TRUE(utils.GetTimeFromString("2026-01-02 03:04:05", "%Y-%m-%d %H:%M:%S", false, plain));
    EXPECT_EQ(plain, 1767303245);
    ASSERT_TRUE(utils.GetTimeFromString("2026-01-02 03:04:05", "%Y-%m-%d %H:%M:%S", true, shifted));
    EXPECT_EQ(shifted - plain, 19800);

    time_t gmt = 0;
    ASSERT_TRUE(utils.GetTimeFromString(" Fri, 02 Jan 2026 03:04:05 GMT ", "%a, %d %b %Y %H:%M:%S", false, gmt));
    EXPECT_EQ(gmt, plain);

    // Fields the text does not supply stay zero (day 0 is the last day of the month before).
    time_t partial = 0;
    ASSERT_TRUE(utils.GetTimeFromString("2026-03", "%Y-%m-%d %H:%M:%S", false, partial));
    EXPECT_EQ(partial, 1772303400 - 86400);

    EXPECT_EQ(utils.GetStringFromTime(1767303245, "%Y-%m-%d %H:%M:%S"), "2026-01-02 03:04:05");
    EXPECT_EQ(utils.GetCurrentTime("%Y").size(), 4u);
    EXPECT_EQ(utils.GetStringFromTime(0, std::string(100, 'x')), "") << "longer than 79 characters";
}

TEST(FileHelpers, ReadWriteExists) {
    TempInstallRoot root;
    const std::string path = root.root() + "/data.bin";
    EXPECT_FALSE(utils.DoesFileExists(path));
    EXPECT_EQ(utils.ReadDataFromFile(path), "");

    const uint8_t bytes[] = {'a', 'b', 0, 'c'};
    ASSERT_TRUE(utils.WriteDataToFile(path, bytes, sizeof bytes));
    EXPECT_TRUE(utils.DoesFileExists(path));
    EXPECT_EQ(ReadBytes(path).size(), 4u);
    EXPECT_EQ(utils.ReadDataFromFile(path), "ab") << "text ends at the first NUL";

    const uint8_t shorter[] = {'z'};
    ASSERT_TRUE(utils.WriteDataToFile(path, shorter, 1));
    EXPECT_EQ(utils.ReadDataFromFile(path), "z") << "the file is truncated";

    std::string big(20000, 'q');
    ASSERT_TRUE(utils.WriteDataToFile(path, reinterpret_cast<const uint8_t*>(big.data()), big.size()));
    EXPECT_EQ(utils.ReadDataFromFile(path), big);

    EXPECT_FALSE(utils.WriteDataToFile(root.root() + "/missing/dir/file", bytes, 1));
}

TEST(CertificateHelpers, Expiry) {
    velm::test::IndiaTime ist;
    struct Case {
        const char* file;
        const char* ci;
    } cases[] = {
        {"late_expiry_rsa2048.der", "20310401"},  // 20:00 UTC is already the next day in India
        {"ec_p256.der", "20310401"},
        {"rsa1024_e3.der", "20991231"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> der = ReadBytes(DataPath(c.file));
        ASSERT_FALSE(der.empty()) << c.file;
        EXPECT_EQ(utils.ReadCertificateExpiry(der.data(), der.size()), c.ci) << c.file;
    }
    const uint8_t junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(utils.ReadCertificateExpiry(junk, sizeof junk), "");
    EXPECT_EQ(utils.ReadCertificateExpiry(nullptr, 0), "");
}

TEST(CertificateHelpers, PublicKeyRecord) {
    struct Case {
        const char* file;
        uint8_t year, month, day;
        uint8_t exp[3];
        const char* modulusFile;  // null: key fields zero
    } cases[] = {
        // 2031 - 1900 = "131" -> "1"; month and day of the UTC not-after date.
        {"late_expiry_rsa2048.der", 1, 2, 31, {0x01, 0x00, 0x01}, "late_expiry_rsa2048.modulus.hex"},
        {"rsa1024_e3.der", 9, 11, 31, {0x00, 0x00, 0x03}, "rsa1024_e3.modulus.hex"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> der = ReadBytes(DataPath(c.file));
        velm::MallocBuffer rec(utils.ReadCertificatePublicKeyData(der.data(), der.size()));
        ASSERT_TRUE(rec) << c.file;
        const uint8_t* r = rec.get();
        EXPECT_EQ(r[0], c.year) << c.file;
        EXPECT_EQ(r[1], c.month) << c.file;
        EXPECT_EQ(r[2], c.day) << c.file;
        EXPECT_EQ(r[3], 0) << c.file;
        EXPECT_EQ(0, std::memcmp(r + 4, c.exp, 3)) << c.file;
        std::vector<uint8_t> mod = HexBytes(utils.ReadDataFromFile(DataPath(c.modulusFile)));
        ASSERT_LE(mod.size(), 256u);
        std::vector<uint8_t> want(256 - mod.size(), 0);
        want.insert(want.end(), mod.begin(), mod.end());
        EXPECT_EQ(std::vector<uint8_t>(r + 7, r + 263), want) << c.file << ": modulus right-aligned";
    }

    // Not RSA, or a modulus longer than 256 bytes, or no certificate: the key fields stay zero.
    for (const char* file : {"ec_p256.der", "rsa4096.der", "make_certs.py"}) {
        std::vector<uint8_t> der = ReadBytes(DataPath(file));
        velm::MallocBuffer rec(utils.ReadCertificatePublicKeyData(der.data(), der.size()));
        ASSERT_TRUE(rec) << file;
        EXPECT_EQ(std::vector<uint8_t>(rec.get() + 4, rec.get() + 263), std::vector<uint8_t>(259, 0)) << file;
    }
}

TEST(CertificateHelpers, ShortPublicKeyRecordFromBase64) {
    const std::string b64 = PemBody(std::string(VELM_SOURCE_DIR) + "/sim/keys/uidai_stage_test.crt");
    ASSERT_GT(b64.size(), 100u);
    velm::MallocBuffer rec(utils.ReadCertificatePublicKeyDataEx(b64));
    ASSERT_TRUE(rec);
    const uint8_t* r = rec.get();
    EXPECT_EQ(r[0], 0);
    const uint8_t exp[] = {0x01, 0x00, 0x01};
    EXPECT_EQ(0, std::memcmp(r + 1, exp, 3));
    EXPECT_EQ(r[4] & 0x80, 0x80) << "a 2048-bit modulus fills all 256 bytes";

    // Same key as the DER record of the same certificate, shifted by the record layout.
    std::vector<uint8_t> der(4096);
    int n = utils.ConvertFromBase64(b64, der.data(), der.size());
    ASSERT_GT(n, 0);
    velm::MallocBuffer longRec(utils.ReadCertificatePublicKeyData(der.data(), static_cast<size_t>(n)));
    EXPECT_EQ(0, std::memcmp(longRec.get() + 4, r + 1, 259));
    EXPECT_EQ(longRec.get()[0], 6) << "2036 -> \"136\" -> 6";

    EXPECT_EQ(utils.ReadCertificatePublicKeyDataEx("this is not base64!"), nullptr);
    EXPECT_EQ(utils.ReadCertificatePublicKeyDataEx(""), nullptr);
    velm::MallocBuffer junk(utils.ReadCertificatePublicKeyDataEx("AAECAwQF"));
    ASSERT_TRUE(junk) << "decodes, but is no certificate: zero record";
    EXPECT_EQ(std::vector<uint8_t>(junk.get(), junk.get() + 260), std::vector<uint8_t>(260, 0));
}
