#pragma once
// Encrypted requests for the scanner (time, capture, mode, UIDAI key change, PID) and the
// RD service identity.
//
// Every request is AES-256-GCM encrypted with a key, IV and additional data derived from the
// scanner's own clock reading (19 characters, "YYYY-MM-DDTHH:MM:SS") and its 16-byte device
// code; the scanner derives the same material. A builder writes ciphertext followed by the
// 16-byte tag into `out` and returns that length (plain length + 16); a result below 1 is a
// failure (see the codes below and GetLastError()). `out` is written only on success.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class VELM_Secure_Helper {
public:
    enum class RequestKind { Time, Capture, Mode, KeyChange, Pid };

    // Failure codes.
    static constexpr int INVALID_INPUT = -1;       // time text, device code (non-PID) or payload
    static constexpr int INVALID_KEYSEED = -2;     // PID: device code
    static constexpr int INVALID_RANDOM_VAL = -3;  // PID: no random bytes
    static constexpr int INVALID_UIDAI_KEY = -4;   // PID: key index above 3
    static constexpr int INVALID_OTP = -5;         // PID: OTP not 6 characters
    static constexpr int INVALID_DEMO_DATA = -6;   // PID: demo length without data, or above 65535
    static constexpr int INVALID_WADH_DATA = -7;   // PID: wadh count without data, or RDS text >= 256
    static constexpr int ENCRYPTION_FAILED = -8;
    static constexpr int BUFFER_TOO_SMALL = -9;    // the result does not fit outCapacity
    static constexpr int EXCEPTION = -99;
    static constexpr int FATAL = -999;

    static constexpr std::size_t kTimeTextLength = 19;
    static constexpr int kDeviceCodeLength = 16;
    static constexpr int kKeyRecordLength = 789;
    static constexpr std::size_t kUidaiKeyBlockLength = 260;
    static constexpr std::size_t kRequestBufferSize = 1024;   // time, capture, mode, key change
    static constexpr std::size_t kPidBufferSize = 10000;

    VELM_Secure_Helper();
    virtual ~VELM_Secure_Helper();

    VELM_Secure_Helper(const VELM_Secure_Helper&) = delete;
    VELM_Secure_Helper& operator=(const VELM_Secure_Helper&) = delete;

    // "START," + timeToSet (19 characters) + ",END".
    int GenerateEncryptedTS(const char* scannerTime, const uint8_t* deviceCode, int deviceCodeLength,
                            const char* timeToSet, uint8_t* out, std::size_t outCapacity);
    // "START," + params + "," + hex of the customer data (sixteen "F" for none) + ",END".
    int GenerateEncryptedCapReq(const char* scannerTime, const uint8_t* deviceCode, int deviceCodeLength,
                                const char* params, int paramsLength, const uint8_t* customerData,
                                int customerDataLength, uint8_t* out, std::size_t outCapacity);
    // "START," + mode + ",END".
    int GenerateEncryptedModeReq(const char* scannerTime, const uint8_t* deviceCode, int deviceCodeLength,
                                 const char* mode, int modeLength, uint8_t* out, std::size_t outCapacity);
    // SHA-256 of the 789-byte key record, then the record.
    int GenerateEncryptedKeyChangeReq(const char* scannerTime, const uint8_t* deviceCode, int deviceCodeLength,
                                      const uint8_t* keyRecord, int keyRecordLength, uint8_t* out,
                                      std::size_t outCapacity);
    // The PID request: random4 (4 bytes), key index 0..3, OTP (null or 6 characters), demo
    // bytes, wadh bytes, UIDAI key block (260 bytes, used with key index 0 only; may be null).
    int GenerateEncryptedRequestDataEx(const char* scannerTime, const uint8_t* deviceCode,
                                       int deviceCodeLength, const uint8_t* random4, int keyIndex,
                                       const char* otp, const uint8_t* demo, int demoLength,
                                       const uint8_t* wadh, int wadhLength, const uint8_t* uidaiKey,
                                       uint8_t* out, std::size_t outCapacity);

    // AES-256-GCM: a malloc'd buffer of length + 16 bytes (ciphertext, then the tag), or null.
    // Hold it in a velm::MallocBuffer.
    uint8_t* EncryptRequest(const uint8_t* plain, std::size_t length, const uint8_t key[32],
                            const uint8_t iv[12], const uint8_t aad[16]);

    // rdsId + "," + rdsVer + "," + bytes (when count > 0) + "," + six bytes (when given) + ",".
    std::string CreateRdsData(const uint8_t* bytes, int count, const uint8_t* six);
    // Upper-case hex, two characters per byte; sixteen "F" for no bytes.
    std::string ConvertToHex(const uint8_t* bytes, int count);

    // Key (32), IV (12) and additional data (16) of a request kind. False when the time text
    // is not 19 characters with digits in its two-digit fields, or the device code is null.
    static bool DeriveKeyMaterial(RequestKind kind, const char* scannerTime, const uint8_t* deviceCode,
                                  uint8_t key[32], uint8_t iv[12], uint8_t aad[16]);

    std::string GetRDSID() const;
    std::string GetRDSVER() const;
    void SetRDSVER(const std::string& version);
    std::string GetLastError() const;

private:
    int FinishRequest(RequestKind kind, const char* scannerTime, const uint8_t* deviceCode,
                      const std::string& plain, uint8_t* out, std::size_t outCapacity);
    void SetLastError(const std::string& text);
    // Checks the scanner clock text and the device code every request is built from: 0 when
    // usable, else the failure code (codeFailure for a bad device code), the last error set.
    int CheckClockAndCode(const char* scannerTime, const uint8_t* deviceCode, int deviceCodeLength, int codeFailure);

    mutable std::mutex mutex_;  // guards the three texts below
    std::string lastError;
    std::string rdsId;
    std::string rdsVer;
};
