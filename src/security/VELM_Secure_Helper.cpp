#include "security/VELM_Secure_Helper.h"

#include <sys/random.h>

#include <mbedtls/gcm.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/sha256.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "velm_provision.h"

namespace {

// Where each byte of the derived material comes from. Key bytes 0-15: a character of the
// scanner time text (its position), or a constant (C). IV and AAD bytes: the value of a
// two-digit field of the time text (named by the position of its first digit), or a
// constant. Key bytes 16-31 are always the device code.
constexpr int C = -1;
constexpr int YY = 2, MO = 5, DD = 8, HH = 11, MI = 14, SS = 17;

struct KindLayout {
    int key[16];
    int iv[12];
    int aad[16];
    const uint8_t* keyConst;
    const uint8_t* ivConst;
    const uint8_t* aadConst;
};

namespace prov = velm::provision;

const KindLayout kTimeLayout = {
    {C, 8, 6, 2, 5, 9, 3, C, 2, 9, 3, C, 6, 8, 5, C},
    {DD, MI, YY, YY, MI, DD, C, C, C, HH, MO, SS},
    {C, HH, MO, SS, SS, MO, HH, C, C, C, DD, MI, YY, YY, MI, DD},
    prov::kKdf_time_key, prov::kKdf_time_iv, prov::kKdf_time_aad};

const KindLayout kCaptureLayout = {
    {C, 8, 5, 3, 9, 2, 6, C, 6, 2, C, 9, 3, C, 8, 5},
    {DD, SS, MI, C, HH, YY, C, MO, MO, C, HH, SS},
    {MI, YY, DD, C, SS, HH, C, MO, MO, C, YY, HH, C, MI, SS, DD},
    prov::kKdf_capture_key, prov::kKdf_capture_iv, prov::kKdf_capture_aad};

const KindLayout kModeLayout = {
    {C, 8, 5, 3, 9, 2, 6, C, 6, 2, C, 9, 3, C, 8, 5},
    {C, DD, MI, YY, SS, C, MO, HH, HH, DD, C, MO},
    {C, YY, SS, MI, MO, C, DD, HH, HH, MO, C, SS, YY, MI, DD, C},
    prov::kKdf_mode_key, prov::kKdf_mode_iv, prov::kKdf_mode_aad};

const KindLayout kKeyChangeLayout = {
    {15, 14, C, 12, 11, C, 18, 17, 18, 12, C, 17, 11, C, 15, 14},
    {C, MO, MI, MO, SS, C, SS, YY, YY, MI, C, HH},
    {C, HH, DD, DD, HH, C, MI, YY, YY, SS, C, SS, MO, MI, MO, C},
    prov::kKdf_key_change_key, prov::kKdf_key_change_iv, prov::kKdf_key_change_aad};

const KindLayout kPidLayout = {
    {11, 12, 13, 14, 15, 16, 17, 18, 11, 12, 13, 17, 18, 13, 14, 15},
    {C, SS, YY, DD, MO, C, MI, HH, DD, MI, C, YY},
    {C, HH, MO, SS, YY, C, MI, DD, HH, MI, C, MO, DD, YY, SS, C},
    prov::kKdf_pid_key, prov::kKdf_pid_iv, prov::kKdf_pid_aad};

const KindLayout& LayoutOf(VELM_Secure_Helper::RequestKind kind) {
    switch (kind) {
        case VELM_Secure_Helper::RequestKind::Time: return kTimeLayout;
        case VELM_Secure_Helper::RequestKind::Capture: return kCaptureLayout;
        case VELM_Secure_Helper::RequestKind::Mode: return kModeLayout;
        case VELM_Secure_Helper::RequestKind::KeyChange: return kKeyChangeLayout;
        case VELM_Secure_Helper::RequestKind::Pid: break;
    }
    return kPidLayout;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// 19 characters, with digits wherever a two-digit field is read.
bool ValidTimeText(const char* t) {
    if (t == nullptr || std::strlen(t) != VELM_Secure_Helper::kTimeTextLength) return false;
    for (int field : {YY, MO, DD, HH, MI, SS})
        if (!IsDigit(t[field]) || !IsDigit(t[field + 1])) return false;
    return true;
}

uint8_t FieldValue(const char* t, int field) {
    return static_cast<uint8_t>((t[field] - '0') * 10 + (t[field + 1] - '0'));
}

std::string Sha256(const std::string& data) {
    unsigned char digest[32];
    if (mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, 0) != 0)
        throw std::runtime_error("SHA-256 failed");
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// Wipes derived key material when it goes out of scope.
struct KeyMaterial {
    uint8_t key[32];
    uint8_t iv[12];
    uint8_t aad[16];
    ~KeyMaterial() {
        mbedtls_platform_zeroize(key, sizeof key);
        mbedtls_platform_zeroize(iv, sizeof iv);
        mbedtls_platform_zeroize(aad, sizeof aad);
    }
};

}  // namespace

VELM_Secure_Helper::VELM_Secure_Helper() : rdsId("RENESAS.VELM.001"), rdsVer("1.3.5") {}

VELM_Secure_Helper::~VELM_Secure_Helper() = default;

bool VELM_Secure_Helper::DeriveKeyMaterial(RequestKind kind, const char* t, const uint8_t* deviceCode,
                                           uint8_t key[32], uint8_t iv[12], uint8_t aad[16]) {
    if (!ValidTimeText(t) || deviceCode == nullptr) return false;
    const KindLayout& l = LayoutOf(kind);
    for (int i = 0; i < 16; ++i) key[i] = l.key[i] == C ? l.keyConst[i] : static_cast<uint8_t>(t[l.key[i]]);
    std::memcpy(key + 16, deviceCode, kDeviceCodeLength);
    for (int i = 0; i < 12; ++i) iv[i] = l.iv[i] == C ? l.ivConst[i] : FieldValue(t, l.iv[i]);
    for (int i = 0; i < 16; ++i) aad[i] = l.aad[i] == C ? l.aadConst[i] : FieldValue(t, l.aad[i]);
    return true;
}

uint8_t* VELM_Secure_Helper::EncryptRequest(const uint8_t* plain, std::size_t length, const uint8_t key[32],
                                            const uint8_t iv[12], const uint8_t aad[16]) {
    if ((plain == nullptr && length > 0) || key == nullptr || iv == nullptr || aad == nullptr) return nullptr;
    auto* out = static_cast<uint8_t*>(std::malloc(length + 16));
    if (out == nullptr) return nullptr;
    mbedtls_gcm_context gcm;
    mbedtls_gcm_init(&gcm);
    int rc = mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256);
    if (rc == 0)
        rc = mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, length, iv, 12, aad, 16, plain, out, 16,
                                       out + length);
    mbedtls_gcm_free(&gcm);
    if (rc != 0) {
        std::free(out);
        return nullptr;
    }
    return out;
}

int VELM_Secure_Helper::FinishRequest(RequestKind kind, const char* scannerTime, const uint8_t* deviceCode,
                                      const std::string& plain, uint8_t* out, std::size_t outCapacity) {
    const std::size_t resultLength = plain.size() + 16;
    if (out == nullptr || resultLength > outCapacity) {
        SetLastError("BUFFER_TOO_SMALL");
        return BUFFER_TOO_SMALL;
    }
    KeyMaterial m;
    if (!DeriveKeyMaterial(kind, scannerTime, deviceCode, m.key, m.iv, m.aad)) {
        SetLastError("INVALID_TIMESTAMP");
        return INVALID_INPUT;
    }
    uint8_t* sealed =
        EncryptRequest(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), m.key, m.iv, m.aad);
    if (sealed == nullptr) return ENCRYPTION_FAILED;
    std::memcpy(out, sealed, resultLength);
    std::free(sealed);
    return static_cast<int>(resultLength);
}

int VELM_Secure_Helper::CheckClockAndCode(const char* scannerTime, const uint8_t* deviceCode, int deviceCodeLength,
                                          int codeFailure) {
    if (!ValidTimeText(scannerTime)) {
        SetLastError("INVALID_TIMESTAMP");
        return INVALID_INPUT;
    }
    if (deviceCode == nullptr || deviceCodeLength != kDeviceCodeLength) {
        SetLastError("INVALID_KEYSEED");
        return codeFailure;
    }
    return 0;
}

int VELM_Secure_Helper::GenerateEncryptedTS(const char* scannerTime, const uint8_t* deviceCode,
                                            int deviceCodeLength, const char* timeToSet, uint8_t* out,
                                            std::size_t outCapacity) {
    try {
        SetLastError("");
        if (const int failed = CheckClockAndCode(scannerTime, deviceCode, deviceCodeLength, INVALID_INPUT))
            return failed;
        if (timeToSet == nullptr || std::strlen(timeToSet) != kTimeTextLength) {
            SetLastError("INVALID_DATA");
            return INVALID_INPUT;
        }
        const std::string plain = std::string("START,") + timeToSet + ",END";
        return FinishRequest(RequestKind::Time, scannerTime, deviceCode, plain, out, outCapacity);
    } catch (const std::exception& e) {
        SetLastError(e.what());
        return EXCEPTION;
    } catch (...) {
        return FATAL;
    }
}

int VELM_Secure_Helper::GenerateEncryptedCapReq(const char* scannerTime, const uint8_t* deviceCode,
                                                int deviceCodeLength, const char* params, int paramsLength,
                                                const uint8_t* customerData, int customerDataLength, uint8_t* out,
                                                std::size_t outCapacity) {
    try {
        SetLastError("");
        if (const int failed = CheckClockAndCode(scannerTime, deviceCode, deviceCodeLength, INVALID_INPUT))
            return failed;
        if (params == nullptr || paramsLength < 1) {
            SetLastError("INVALID_DATA");
            return INVALID_INPUT;
        }
        const std::string plain = "START," + std::string(params, static_cast<std::size_t>(paramsLength)) + "," +
                                  ConvertToHex(customerData, customerDataLength) + ",END";
        return FinishRequest(RequestKind::Capture, scannerTime, deviceCode, plain, out, outCapacity);
    } catch (const std::exception& e) {
        SetLastError(e.what());
        return EXCEPTION;
    } catch (...) {
        return FATAL;
    }
}

int VELM_Secure_Helper::GenerateEncryptedModeReq(const char* scannerTime, const uint8_t* deviceCode,
                                                 int deviceCodeLength, const char* mode, int modeLength,
                                                 uint8_t* out, std::size_t outCapacity) {
    try {
        SetLastError("");
        if (const int failed = CheckClockAndCode(scannerTime, deviceCode, deviceCodeLength, INVALID_INPUT))
            return failed;
        if (mode == nullptr || modeLength < 1) {
            SetLastError("INVALID_DATA");
            return INVALID_INPUT;
        }
        const std::string plain = "START," + std::string(mode, static_cast<std::size_t>(modeLength)) + ",END";
        return FinishRequest(RequestKind::Mode, scannerTime, deviceCode, plain, out, outCapacity);
    } catch (const std::exception& e) {
        SetLastError(e.what());
        return EXCEPTION;
    } catch (...) {
        return FATAL;
    }
}

int VELM_Secure_Helper::GenerateEncryptedKeyChangeReq(const char* scannerTime, const uint8_t* deviceCode,
                                                      int deviceCodeLength, const uint8_t* keyRecord,
                                                      int keyRecordLength, uint8_t* out, std::size_t outCapacity) {
    try {
        SetLastError("");
        if (const int failed = CheckClockAndCode(scannerTime, deviceCode, deviceCodeLength, INVALID_INPUT))
            return failed;
        if (keyRecord == nullptr || keyRecordLength != kKeyRecordLength) {
            SetLastError("INVALID_DATA");
            return INVALID_INPUT;
        }
        const std::string record(reinterpret_cast<const char*>(keyRecord), static_cast<std::size_t>(keyRecordLength));
        const std::string plain = Sha256(record) + record;
        return FinishRequest(RequestKind::KeyChange, scannerTime, deviceCode, plain, out, outCapacity);
    } catch (const std::exception& e) {
        SetLastError(e.what());
        return EXCEPTION;
    } catch (...) {
        return FATAL;
    }
}

int VELM_Secure_Helper::GenerateEncryptedRequestDataEx(const char* scannerTime, const uint8_t* deviceCode,
                                                       int deviceCodeLength, const uint8_t* random4, int keyIndex,
                                                       const char* otp, const uint8_t* demo, int demoLength,
                                                       const uint8_t* wadh, int wadhLength, const uint8_t* uidaiKey,
                                                       uint8_t* out, std::size_t outCapacity) {
    try {
        if (const int failed = CheckClockAndCode(scannerTime, deviceCode, deviceCodeLength, INVALID_KEYSEED))
            return failed;
        if (random4 == nullptr) {
            SetLastError("INVALID_RANDOM_VAL");
            return INVALID_RANDOM_VAL;
        }
        if (keyIndex < 0 || keyIndex > 3) {
            SetLastError("INVALID_UIDAI_KEY");
            return INVALID_UIDAI_KEY;
        }
        if (otp != nullptr && std::strlen(otp) != 6) {
            SetLastError("INVALID_OTP");
            return INVALID_OTP;
        }
        // The demo length travels as 16 bits; a longer block cannot be described.
        if ((demoLength >= 1 && demo == nullptr) || demoLength > 0xFFFF) {
            SetLastError("INVALID_DEMO_DATA");
            return INVALID_DEMO_DATA;
        }
        if (wadhLength >= 1 && wadh == nullptr) {
            SetLastError("INVALID_WADH_DATA");
            return INVALID_WADH_DATA;
        }
        const std::string rds = CreateRdsData(wadh, wadhLength, reinterpret_cast<const uint8_t*>(otp));
        // Its length travels in one byte.
        if (rds.size() >= 256) {
            SetLastError("INVALID_WADH_DATA");
            return INVALID_WADH_DATA;
        }

        // Random block: the key index, then 127 random bytes.
        std::string block(128, '\0');
        block[0] = static_cast<char>(keyIndex);
        if (getrandom(&block[1], 127, 0) != 127) throw std::runtime_error("random source failed");

        std::string tail;  // Lr, R, K, D: shared by the hash input and the request
        tail += static_cast<char>(rds.size());
        tail += rds;
        if (uidaiKey != nullptr && keyIndex == 0)
            tail.append(reinterpret_cast<const char*>(uidaiKey), kUidaiKeyBlockLength);
        if (demoLength >= 1) {
            tail += static_cast<char>(demoLength & 0xFF);
            tail += static_cast<char>((demoLength >> 8) & 0xFF);
            tail.append(reinterpret_cast<const char*>(demo), static_cast<std::size_t>(demoLength));
            tail += ' ';
        }
        const std::string random(reinterpret_cast<const char*>(random4), 4);
        const std::string hashInput = block + tail + random + " ";
        const std::string plain = random + Sha256(hashInput) + block + tail;

        int rc = FinishRequest(RequestKind::Pid, scannerTime, deviceCode, plain, out, outCapacity);
        if (rc > 0) SetLastError("");
        return rc;
    } catch (const std::exception& e) {
        SetLastError(e.what());
        return EXCEPTION;
    } catch (...) {
        return FATAL;
    }
}

std::string VELM_Secure_Helper::CreateRdsData(const uint8_t* bytes, int count, const uint8_t* six) {
    std::string text = GetRDSID() + "," + GetRDSVER() + ",";
    if (bytes != nullptr && count > 0) text.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(count));
    text += ",";
    if (six != nullptr) text.append(reinterpret_cast<const char*>(six), 6);
    text += ",";
    return text;
}

std::string VELM_Secure_Helper::ConvertToHex(const uint8_t* bytes, int count) {
    if (bytes == nullptr || count <= 0) return std::string(16, 'F');
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(static_cast<std::size_t>(count) * 2);
    for (int i = 0; i < count; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    return hex;
}

std::string VELM_Secure_Helper::GetRDSID() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rdsId;
}

std::string VELM_Secure_Helper::GetRDSVER() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rdsVer;
}

void VELM_Secure_Helper::SetRDSVER(const std::string& version) {
    std::lock_guard<std::mutex> lock(mutex_);
    rdsVer = version;
}

std::string VELM_Secure_Helper::GetLastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError;
}

void VELM_Secure_Helper::SetLastError(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError = text;
}
