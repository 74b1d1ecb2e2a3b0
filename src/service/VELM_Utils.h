#pragma once
// Shared toolbox: text, hex, Base64, file and time helpers, UIDAI certificate records,
// the installation directories and the encrypted configuration store.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velm {
// Buffers handed out by the helpers are malloc'd; callers hold them in a MallocBuffer.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using MallocBuffer = std::unique_ptr<uint8_t, FreeDeleter>;
}  // namespace velm

// One 16-byte block of AES-128 (FIPS-197) in ECB mode; input and output may alias.
void AES128_ECB_encrypt(const uint8_t* input, const uint8_t* key, uint8_t* output);
void AES128_ECB_decrypt(const uint8_t* input, const uint8_t* key, uint8_t* output);

class VELM_Utils {
public:
    VELM_Utils() = default;
    virtual ~VELM_Utils() = default;

    // Text.
    std::string to_upper(const std::string& text) const;
    std::string& ltrim(std::string& text) const;
    std::string& rtrim(std::string& text) const;
    std::string& trim(std::string& text) const;
    std::string ReplaceString(std::string text, const std::string& from, const std::string& to) const;
    std::vector<std::string> Split(const std::string& text, const std::string& delimiter) const;

    // Hex and Base64. HexStringToByteArray throws std::invalid_argument on a non-hex pair or an
    // odd length, and returns a malloc'd buffer of hex.size()/2 bytes (never null, even when empty).
    uint8_t* HexStringToByteArray(const std::string& hex) const;
    std::string ConvertToBase64(const uint8_t* bytes, size_t count) const;
    // Decodes into out (at most outCapacity bytes); returns the count, 0 on failure.
    int ConvertFromBase64(std::string text, uint8_t* out, size_t outCapacity) const;
    std::string IntToString(int value) const;
    std::string IntToHexString(int value) const;

    // Time.
    std::string GetCurrentTime(const std::string& format) const;
    std::string GetStringFromTime(time_t seconds, const std::string& format) const;
    bool GetTimeFromString(std::string text, const std::string& format, bool addIndiaOffset, time_t& out) const;

    // Files.
    bool DoesFileExists(const std::string& path) const;
    std::string ReadDataFromFile(const std::string& path) const;
    bool WriteDataToFile(const std::string& path, const uint8_t* bytes, size_t count) const;

    // UIDAI certificates.
    std::string ReadCertificateExpiry(const uint8_t* der, size_t length) const;
    uint8_t* ReadCertificatePublicKeyData(const uint8_t* der, size_t length) const;  // 263 bytes, caller frees
    uint8_t* ReadCertificatePublicKeyDataEx(const std::string& base64) const;        // 260 bytes or null

    // Installation layout and configuration store.
    bool CreateDirectories() const;
    std::string ReadParameterFromConfigFile(const std::string& key) const;
    void WriteParameterDataToConfigFile(const std::string& key, const std::string& value) const;
    // Sets several keys with one replacement of the store, as if written one after the other.
    void WriteParametersToConfigFile(const std::vector<std::pair<std::string, std::string>>& entries) const;

    static constexpr size_t kPublicKeyRecordSize = 263;
    static constexpr size_t kShortPublicKeyRecordSize = 260;
    static constexpr size_t kMaxStoreBytes = 10240;
};
