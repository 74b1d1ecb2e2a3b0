// Text, hex, Base64, time, file and certificate helpers of VELM_Utils.
// The installation directories and the configuration store live in ConfigStore.cpp.
#include "service/VELM_Utils.h"

#include <fcntl.h>
#include <mbedtls/base64.h>
#include <mbedtls/bignum.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/x509_crt.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "service/UniqueFd.h"

namespace {

const char* const kWhiteSpace = " \t\n\v\f\r";

// RAII holder of one parsed X.509 certificate.
class ParsedCertificate {
public:
    ParsedCertificate() { mbedtls_x509_crt_init(&crt_); }
    ~ParsedCertificate() { mbedtls_x509_crt_free(&crt_); }
    ParsedCertificate(const ParsedCertificate&) = delete;
    ParsedCertificate& operator=(const ParsedCertificate&) = delete;

    bool Parse(const uint8_t* der, size_t length) {
        if (der == nullptr || length == 0) return false;
        return mbedtls_x509_crt_parse_der(&crt_, der, length) == 0;
    }
    const mbedtls_x509_crt& crt() const { return crt_; }

private:
    mbedtls_x509_crt crt_;
};

class Mpi {
public:
    Mpi() { mbedtls_mpi_init(&v_); }
    ~Mpi() { mbedtls_mpi_free(&v_); }
    Mpi(const Mpi&) = delete;
    Mpi& operator=(const Mpi&) = delete;
    mbedtls_mpi* get() { return &v_; }

private:
    mbedtls_mpi v_;
};

// Writes the RSA exponent right-aligned into exp[3] and the modulus right-aligned into mod[256].
// Leaves both untouched (zero) unless the key is RSA and both numbers fit.
void ExportRsaKey(const mbedtls_x509_crt& crt, uint8_t* exp, uint8_t* mod) {
    if (mbedtls_pk_get_type(&crt.pk) != MBEDTLS_PK_RSA) return;
    mbedtls_rsa_context* rsa = mbedtls_pk_rsa(crt.pk);
    if (rsa == nullptr) return;
    Mpi n, e;
    if (mbedtls_rsa_export(rsa, n.get(), nullptr, nullptr, nullptr, e.get()) != 0) return;
    if (mbedtls_mpi_size(n.get()) > 256 || mbedtls_mpi_size(e.get()) > 3) return;
    uint8_t e3[3];
    uint8_t n256[256];
    if (mbedtls_mpi_write_binary(e.get(), e3, sizeof e3) != 0) return;
    if (mbedtls_mpi_write_binary(n.get(), n256, sizeof n256) != 0) return;
    std::memcpy(exp, e3, sizeof e3);
    std::memcpy(mod, n256, sizeof n256);
}

std::string FormatLocal(time_t seconds, const std::string& format) {
    struct tm tmv;
    std::memset(&tmv, 0, sizeof tmv);
    if (localtime_r(&seconds, &tmv) == nullptr) return std::string();
    char buf[80];
    size_t n = std::strftime(buf, sizeof buf, format.c_str(), &tmv);
    return std::string(buf, n);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// ---- Text ----------------------------------------------------------------------------------

std::string VELM_Utils::to_upper(const std::string& text) const {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string& VELM_Utils::ltrim(std::string& text) const {
    text.erase(0, text.find_first_not_of(kWhiteSpace));
    return text;
}

std::string& VELM_Utils::rtrim(std::string& text) const {
    size_t last = text.find_last_not_of(kWhiteSpace);
    text.erase(last == std::string::npos ? 0 : last + 1);
    return text;
}

std::string& VELM_Utils::trim(std::string& text) const { return ltrim(rtrim(text)); }

std::string VELM_Utils::ReplaceString(std::string text, const std::string& from, const std::string& to) const {
    // An empty pattern matches nowhere; the text comes back as it was.
    if (from.empty()) return text;
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    trim(text);
    return text;
}

std::vector<std::string> VELM_Utils::Split(const std::string& text, const std::string& delimiter) const {
    std::vector<std::string> pieces;
    size_t start = 0;
    if (!delimiter.empty()) {
        size_t pos;
        while ((pos = text.find(delimiter, start)) != std::string::npos) {
            pieces.push_back(text.substr(start, pos - start));
            start = pos + delimiter.size();
        }
    }
    std::string last = text.substr(start);
    pieces.push_back(trim(last));
    return pieces;
}

// ---- Hex and Base64 ------------------------------------------------------------------------

uint8_t* VELM_Utils::HexStringToByteArray(const std::string& hex) const {
    if (hex.size() % 2 != 0) throw std::invalid_argument("HexStringToByteArray: odd length");
    const size_t count = hex.size() / 2;
    velm::MallocBuffer out(static_cast<uint8_t*>(std::malloc(count == 0 ? 1 : count)));
    if (!out) throw std::bad_alloc();
    for (size_t i = 0; i < count; ++i) {
        int hi = HexDigit(hex[2 * i]);
        int lo = HexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) throw std::invalid_argument("HexStringToByteArray: not a hex pair");
        out.get()[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return out.release();
}

std::string VELM_Utils::ConvertToBase64(const uint8_t* bytes, size_t count) const {
    if (count == 0) return std::string();
    if (bytes == nullptr) return std::string();
    size_t needed = 0;
    mbedtls_base64_encode(nullptr, 0, &needed, bytes, count);
    if (needed == 0) return std::string();
    std::string out(needed, '\0');
    size_t written = 0;
    if (mbedtls_base64_encode(reinterpret_cast<unsigned char*>(&out[0]), out.size(), &written, bytes, count) != 0)
        return std::string();
    out.resize(written);
    return out;
}

int VELM_Utils::ConvertFromBase64(std::string text, uint8_t* out, size_t outCapacity) const {
    trim(text);
    if (text.empty() || out == nullptr) return 0;
    size_t written = 0;
    // mbedTLS checks the whole input and the capacity before it writes a single byte.
    if (mbedtls_base64_decode(out, outCapacity, &written, reinterpret_cast<const unsigned char*>(text.data()),
                              text.size()) != 0)
        return 0;
    if (written > static_cast<size_t>(INT32_MAX)) return 0;
    return static_cast<int>(written);
}

std::string VELM_Utils::IntToString(int value) const { return std::to_string(value); }

std::string VELM_Utils::IntToHexString(int value) const {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned int>(value));
    return buf;
}

// ---- Time ----------------------------------------------------------------------------------

std::string VELM_Utils::GetCurrentTime(const std::string& format) const {
    return FormatLocal(std::time(nullptr), format);
}

std::string VELM_Utils::GetStringFromTime(time_t seconds, const std::string& format) const {
    return FormatLocal(seconds, format);
}

bool VELM_Utils::GetTimeFromString(std::string text, const std::string& format, bool addIndiaOffset,
                                   time_t& out) const {
    try {
        text = ReplaceString(text, "GMT", "");
        trim(text);
        struct tm tmv;
        std::memset(&tmv, 0, sizeof tmv);
        strptime(text.c_str(), format.c_str(), &tmv);
        tmv.tm_isdst = 0;
        time_t t = std::mktime(&tmv);
        if (addIndiaOffset) t += 19800;
        out = t;
        return true;
    } catch (...) {
        return false;
    }
}

// ---- Files ---------------------------------------------------------------------------------

bool VELM_Utils::DoesFileExists(const std::string& path) const {
    velm::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.valid();
}

std::string VELM_Utils::ReadDataFromFile(const std::string& path) const {
    velm::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return std::string();
    std::string data;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        const char* nul = static_cast<const char*>(std::memchr(buf, '\0', static_cast<size_t>(n)));
        if (nul != nullptr) {
            data.append(buf, static_cast<size_t>(nul - buf));
            break;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

bool VELM_Utils::WriteDataToFile(const std::string& path, const uint8_t* bytes, size_t count) const {
    velm::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) return false;
    return velm::WriteAll(fd.get(), bytes, count);
}

// ---- UIDAI certificates --------------------------------------------------------------------

std::string VELM_Utils::ReadCertificateExpiry(const uint8_t* der, size_t length) const {
    ParsedCertificate cert;
    if (!cert.Parse(der, length)) return std::string();
    const mbedtls_x509_time& to = cert.crt().valid_to;
    struct tm tmv;
    std::memset(&tmv, 0, sizeof tmv);
    tmv.tm_year = to.year - 1900;
    tmv.tm_mon = to.mon - 1;
    tmv.tm_mday = to.day;
    tmv.tm_hour = to.hour + 5;
    tmv.tm_min = to.min + 30;
    tmv.tm_sec = to.sec;
    tmv.tm_isdst = -1;
    time_t t = std::mktime(&tmv);
    return FormatLocal(t, "%Y%m%d");
}

uint8_t* VELM_Utils::ReadCertificatePublicKeyData(const uint8_t* der, size_t length) const {
    velm::MallocBuffer record(static_cast<uint8_t*>(std::calloc(1, kPublicKeyRecordSize)));
    if (!record) return nullptr;
    ParsedCertificate cert;
    if (cert.Parse(der, length) && mbedtls_pk_get_type(&cert.crt().pk) == MBEDTLS_PK_RSA) {
        const mbedtls_x509_time& to = cert.crt().valid_to;
        // Byte 0: the characters from the third on (at most two) of the decimal text of
        // (year - 1900); for 2000-2099 that is the last digit of the year.
        std::string yearText = std::to_string(to.year - 1900);
        std::string tail = yearText.size() > 2 ? yearText.substr(2, 2) : std::string();
        uint8_t* r = record.get();
        r[0] = static_cast<uint8_t>(tail.empty() ? 0 : std::strtol(tail.c_str(), nullptr, 10));
        r[1] = static_cast<uint8_t>(to.mon - 1);
        r[2] = static_cast<uint8_t>(to.day);
        r[3] = 0;
        ExportRsaKey(cert.crt(), r + 4, r + 7);
    }
    return record.release();
}

uint8_t* VELM_Utils::ReadCertificatePublicKeyDataEx(const std::string& base64) const {
    std::vector<uint8_t> der(4096);
    int n = ConvertFromBase64(base64, der.data(), der.size());
    if (n <= 0) return nullptr;
    velm::MallocBuffer record(static_cast<uint8_t*>(std::calloc(1, kShortPublicKeyRecordSize)));
    if (!record) return nullptr;
    ParsedCertificate cert;
    if (cert.Parse(der.data(), static_cast<size_t>(n))) ExportRsaKey(cert.crt(), record.get() + 1, record.get() + 4);
    return record.release();
}
