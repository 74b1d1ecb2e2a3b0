#include "core/CoreSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include <mbedtls/base64.h>
#include <mbedtls/md.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>
#include <mbedtls/x509_crt.h>
#include <tinyxml2.h>

extern char** environ;

namespace velm::core {
namespace {

constexpr const char* kWhite = " \t\n\v\f\r";

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(kWhite);
    if (b == std::string::npos) return "";
    const auto e = s.find_last_not_of(kWhite);
    return s.substr(b, e - b + 1);
}

std::string RemoveAll(std::string text, const std::string& what) {
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos)) text.erase(pos, what.size());
    return text;
}

std::vector<std::string> SplitComma(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t pos = text.find(','); pos != std::string::npos; pos = text.find(',', start)) {
        out.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    out.push_back(Trim(text.substr(start)));
    return out;
}

// Owns a descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }

private:
    int fd_;
};

struct PkContext {
    PkContext() { mbedtls_pk_init(&ctx); }
    ~PkContext() { mbedtls_pk_free(&ctx); }
    PkContext(const PkContext&) = delete;
    PkContext& operator=(const PkContext&) = delete;
    mbedtls_pk_context ctx;
};

struct Certificate {
    Certificate() { mbedtls_x509_crt_init(&crt); }
    ~Certificate() { mbedtls_x509_crt_free(&crt); }
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;
    mbedtls_x509_crt crt;
};

}  // namespace

// ---- Clocks -------------------------------------------------------------------------------

bool ParseServerDate(const std::string& text, time_t& out) {
    const std::string clean = Trim(RemoveAll(text, "GMT"));
    if (clean.empty()) return false;
    struct tm tmv;
    std::memset(&tmv, 0, sizeof tmv);
    const char* end = strptime(clean.c_str(), "%a, %d %b %Y %H:%M:%S", &tmv);
    if (end == nullptr || *end != '\0') return false;
    const int year = tmv.tm_year, mon = tmv.tm_mon, day = tmv.tm_mday;
    const int hour = tmv.tm_hour, min = tmv.tm_min, sec = tmv.tm_sec;
    const time_t t = timegm(&tmv);
    if (t == static_cast<time_t>(-1)) return false;
    // strptime checks each field alone; a day beyond the month's end (31 Feb) is refused here.
    struct tm back;
    if (gmtime_r(&t, &back) == nullptr) return false;
    if (back.tm_year != year || back.tm_mon != mon || back.tm_mday != day || back.tm_hour != hour ||
        back.tm_min != min || back.tm_sec != sec)
        return false;
    out = t;
    return true;
}

std::string FormatClockCommandTime(time_t t) {
    struct tm lt;
    if (localtime_r(&t, &lt) == nullptr) return "";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                  lt.tm_hour, lt.tm_min, lt.tm_sec);
    return buf;
}

std::string BuildDeviceTimeStamp(time_t t) {
    struct tm lt;
    if (localtime_r(&t, &lt) == nullptr) return "";
    char date[32], clock[32];
    std::strftime(date, sizeof date, "%Y-%m-%d", &lt);
    std::strftime(clock, sizeof clock, "%H:%M:%S", &lt);
    return std::string(date) + std::to_string(lt.tm_wday) + clock;
}

// ---- Firmware version ---------------------------------------------------------------------

bool ParseFirmwareVersionNumber(const std::string& version, long& out) {
    const std::string digits = RemoveAll(RemoveAll(version, "V"), ".");
    const char* s = digits.c_str();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (end == s || errno == ERANGE || v > INT32_MAX || v < INT32_MIN) return false;
    out = v;
    return true;
}

// ---- UIDAI certificate answer ---------------------------------------------------------------

UidaiCertificateAnswer ParseUidaiCertificateAnswer(const std::string& resultText) {
    UidaiCertificateAnswer a;
    const auto fields = SplitComma(resultText);
    std::string* slots[] = {&a.tag, &a.reregister, &a.stageCert, &a.prodCert, &a.preprodCert, &a.signature,
                            &a.firmwareVersion};
    for (size_t i = 0; i < fields.size() && i < 7; ++i) {
        *slots[i] = fields[i];
        if (i < 5) a.signedData += fields[i];
    }
    // Fields that did not arrive keep their defaults and are not part of the signed data.
    return a;
}

std::vector<uint8_t> DecodeBase64Bounded(const std::string& text, size_t maxBytes) {
    const std::string t = Trim(text);
    if (t.empty()) return {};
    size_t needed = 0;
    const auto* src = reinterpret_cast<const unsigned char*>(t.data());
    int rc = mbedtls_base64_decode(nullptr, 0, &needed, src, t.size());
    if (rc == MBEDTLS_ERR_BASE64_INVALID_CHARACTER || needed == 0 || needed > maxBytes + 2) return {};
    std::vector<uint8_t> out(needed);
    size_t got = 0;
    rc = mbedtls_base64_decode(out.data(), out.size(), &got, src, t.size());
    if (rc != 0 || got == 0 || got > maxBytes) return {};
    out.resize(got);
    return out;
}

int VerifyAnswerSignature(const std::string& data, const std::string& signatureBase64,
                          const std::string& publicKeyPem) {
    const auto sig = DecodeBase64Bounded(signatureBase64, 1024);
    if (sig.empty()) return -64;
    PkContext pk;
    const std::string pem = publicKeyPem;  // c_str() carries the terminating NUL mbedTLS wants
    if (pem.empty() ||
        mbedtls_pk_parse_public_key(&pk.ctx, reinterpret_cast<const unsigned char*>(pem.c_str()), pem.size() + 1) != 0)
        return -64;
    if (!mbedtls_pk_can_do(&pk.ctx, MBEDTLS_PK_RSA)) return -64;
    unsigned char hash[32];
    if (mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(), hash, 0) != 0) return -1;
    // PKCS#1 v1.5 verification compares the whole decoded block; a signature of the wrong
    // length is refused before any comparison.
    if (mbedtls_pk_verify(&pk.ctx, MBEDTLS_MD_SHA256, hash, sizeof hash, sig.data(), sig.size()) != 0) return -1;
    return 0;
}

int CertificateRotationCode(bool newerFirmware, bool reregister) {
    if (newerFirmware) return reregister ? 3 : 2;
    return reregister ? 1 : 0;
}

bool WriteFileAtomically(const std::string& path, const std::string& data) {
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string tmpl = path + ".tmpXXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    Fd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) return false;
    const std::string tmpPath(name.data());
    bool ok = ::fchmod(fd.get(), 0644) == 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    if (ok) ok = ::fsync(fd.get()) == 0;
    if (::close(fd.release()) != 0) ok = false;
    if (ok) ok = ::rename(tmpPath.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpPath.c_str());
        return false;
    }
    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0) ::fsync(dirFd.get());
    return true;
}

// ---- Registration ---------------------------------------------------------------------------

int32_t TextToInt(const std::string& text) {
    errno = 0;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

SpoofSettingsText SpoofSettingsFromResult(const std::string& resultText) {
    SpoofSettingsText s;
    const auto fields = SplitComma(resultText);
    if (fields.size() >= 6) {
        s.attempt = fields[3];
        s.timelock = fields[4];
        s.level = fields[5];
    }
    return s;
}

SpoofSettingsText ApplySpoofSettingRanges(SpoofSettingsText s) {
    const auto in = [](const std::string& t, long lo, long hi) {
        const long v = TextToInt(t);
        return v >= lo && v <= hi;
    };
    if (!in(s.attempt, 5, 99)) s.attempt = "99";
    if (!in(s.timelock, 5, 44)) s.timelock = "15";
    if (!in(s.level, -5000, 20000)) s.level = "0";
    return s;
}

int ClassifyCertificateExpiry(double d) {
    if (d >= 0) return 0;
    if (d >= -600) return 1;
    if (d < -432000) return 1;
    return 2;
}

bool ReadCertificateNotAfter(const uint8_t* der, size_t length, time_t& out) {
    if (der == nullptr || length == 0) return false;
    Certificate c;
    if (mbedtls_x509_crt_parse_der(&c.crt, der, length) != 0) return false;
    const mbedtls_x509_time& v = c.crt.valid_to;
    struct tm tmv;
    std::memset(&tmv, 0, sizeof tmv);
    tmv.tm_year = v.year - 1900;
    tmv.tm_mon = v.mon - 1;
    tmv.tm_mday = v.day;
    tmv.tm_hour = v.hour;
    tmv.tm_min = v.min;
    tmv.tm_sec = v.sec;
    const time_t t = timegm(&tmv);
    if (t == static_cast<time_t>(-1)) return false;
    out = t;
    return true;
}

}  // namespace velm::core
