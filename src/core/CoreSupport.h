#pragma once
// Pure building blocks of registration, UIDAI key rotation, the firmware version check and
// clock setting. They touch neither the scanner nor the server, so they are unit-testable.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace velm::core {

// ---- Clocks -------------------------------------------------------------------------------

// Parses the value of an HTTP "Date:" header, e.g. "Wed, 09 Dec 2026 15:31:08 GMT" with or
// without the trailing CR LF, into seconds since the epoch. The header is in GMT. The whole
// text must match "%a, %d %b %Y %H:%M:%S" (after "GMT" is removed and blanks trimmed) and name
// a real calendar date; anything else answers false and leaves out untouched.
bool ParseServerDate(const std::string& text, time_t& out);

// "YYYY-MM-DD HH:MM:SS" of t in local time: the argument of "date -s".
std::string FormatClockCommandTime(time_t t);

// The 19-character time stamp the scanner takes: "%Y-%m-%d", the weekday digit (0 = Sunday),
// "%H:%M:%S", all in local time. Sunday 2026-01-04 08:05:09 gives "2026-01-04008:05:09".
std::string BuildDeviceTimeStamp(time_t t);

// ---- Firmware version ---------------------------------------------------------------------

// Removes every "V" and then every "." and reads what is left as a decimal integer (leading
// blanks and a sign allowed, trailing text ignored). False when there are no digits or the
// value does not fit in 32 bits.
bool ParseFirmwareVersionNumber(const std::string& version, long& out);

// ---- UIDAI certificate answer ---------------------------------------------------------------

struct UidaiCertificateAnswer {
    std::string tag = "N";            // field 0: covered by the signature, otherwise unused
    std::string reregister = "N";     // field 1: "Y" asks for a new registration
    std::string stageCert;            // field 2: Base64 DER
    std::string prodCert;             // field 3
    std::string preprodCert;          // field 4
    std::string signature;            // field 5: Base64
    std::string firmwareVersion;      // field 6
    std::string signedData;           // fields 0 to 4 concatenated, as received
};

// Splits the result text at "," into the fields above (fields after the seventh ignored).
UidaiCertificateAnswer ParseUidaiCertificateAnswer(const std::string& resultText);

// Verifies signatureBase64 (RSASSA-PKCS1-v1_5, SHA-256) over data with the RSA public key in
// publicKeyPem. 0 verified; -1 the signature does not verify; -64 the signature decodes to
// nothing (or to more than 1024 bytes) or the key is unusable.
int VerifyAnswerSignature(const std::string& data, const std::string& signatureBase64,
                          const std::string& publicKeyPem);

// Result code of a completed key rotation: 3, 2, 1 or 0.
int CertificateRotationCode(bool newerFirmware, bool reregister);

// Base64 decoding with a hard output limit; an empty vector when the text is not Base64, is
// empty or would decode to more than maxBytes. Surrounding white space is ignored.
std::vector<uint8_t> DecodeBase64Bounded(const std::string& text, size_t maxBytes);

// Replaces path with data: a temporary file in the same directory is written, flushed to
// disk and renamed over path, then the directory is synced. False (and path untouched) on
// any failure.
bool WriteFileAtomically(const std::string& path, const std::string& data);

// ---- Registration ---------------------------------------------------------------------------

struct SpoofSettingsText {
    std::string attempt = "99";   // "ATTEMPT"
    std::string timelock = "15";  // "TIMELOCK"
    std::string level = "2000";   // "LEVEL"
};

// Takes fields 3, 4 and 5 of a registration result when it has at least six fields,
// otherwise the defaults.
SpoofSettingsText SpoofSettingsFromResult(const std::string& resultText);

// Keeps each text whose base-10 value lies in its range (ATTEMPT 5..99, TIMELOCK 5..44,
// LEVEL -5000..20000) and replaces the others ("99", "15", "0"). Unparsable text counts as 0.
SpoofSettingsText ApplySpoofSettingRanges(SpoofSettingsText settings);

// base-10 strtol value of text, 0 when it has no digits; clamped to the 32-bit range.
int32_t TextToInt(const std::string& text);

// Registration state from d = now - expiry (seconds): 0 expired, 1 valid (or expiring within
// ten minutes), 2 valid but expiring within five days.
int ClassifyCertificateExpiry(double secondsSinceExpiry);

// Expiry (notAfter) of a DER certificate, as seconds since the epoch (the stored time is UTC).
// False when the bytes are not one parsable certificate.
bool ReadCertificateNotAfter(const uint8_t* der, size_t length, time_t& out);

}  // namespace velm::core
