// Installation directories and the encrypted configuration store "config_data".
//
// The store file is one Base64 text; decoded, it is the plaintext "KEY:VALUE\n" lines padded
// with blanks to a multiple of 16 bytes and encrypted block by block with AES-128-ECB under
// the provisioned store key. Every read decodes the file anew; every write rewrites it.
// Writes are serialised by one process-wide mutex and replace the file atomically (temporary
// file in the same directory, fsync, rename, fsync of the directory), so a crash or a
// concurrent writer never leaves a torn or stale store behind.
#include <fcntl.h>
#include <mbedtls/aes.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "service/Profile.h"
#include "service/UniqueFd.h"
#include "service/VELM_Utils.h"
#include "velm_provision.h"

static_assert(sizeof(velm::provision::kConfigStoreKey) == 16, "the store key is an AES-128 key");

void AES128_ECB_encrypt(const uint8_t* input, const uint8_t* key, uint8_t* output) {
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    uint8_t in[16];
    std::memcpy(in, input, sizeof in);
    if (mbedtls_aes_setkey_enc(&ctx, key, 128) != 0 || mbedtls_aes_crypt_ecb(&ctx, MBEDTLS_AES_ENCRYPT, in, output) != 0)
        std::memset(output, 0, 16);
    mbedtls_aes_free(&ctx);
}

void AES128_ECB_decrypt(const uint8_t* input, const uint8_t* key, uint8_t* output) {
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    uint8_t in[16];
    std::memcpy(in, input, sizeof in);
    if (mbedtls_aes_setkey_dec(&ctx, key, 128) != 0 || mbedtls_aes_crypt_ecb(&ctx, MBEDTLS_AES_DECRYPT, in, output) != 0)
        std::memset(output, 0, 16);
    mbedtls_aes_free(&ctx);
}

namespace {

std::mutex& StoreMutex() {
    static std::mutex m;
    return m;
}

std::string StorePath() { return velm::profile::InstallPath("config_data"); }

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0775) == 0 || IsDirectory(path); }

// The decrypted plaintext of the store, trailing blanks removed; empty when the file is
// missing, empty or does not decode.
std::string ReadPlaintext(const VELM_Utils& utils) {
    std::string encoded = utils.ReadDataFromFile(StorePath());
    if (encoded.empty()) return std::string();
    std::vector<uint8_t> decoded(VELM_Utils::kMaxStoreBytes);
    int n = utils.ConvertFromBase64(encoded, decoded.data(), decoded.size());
    if (n <= 0) return std::string();
    const size_t blocks = static_cast<size_t>(n) / 16;
    for (size_t b = 0; b < blocks; ++b)
        AES128_ECB_decrypt(&decoded[b * 16], velm::provision::kConfigStoreKey, &decoded[b * 16]);
    std::string plain(reinterpret_cast<const char*>(decoded.data()), blocks * 16);
    size_t end = plain.find_last_not_of(' ');
    plain.erase(end == std::string::npos ? 0 : end + 1);
    return plain;
}

// The key of one line: the text before its first ":"; lines without ":" have no key.
bool LineHasKey(const std::string& line, const std::string& key) {
    size_t colon = line.find(':');
    return colon != std::string::npos && line.compare(0, colon, key) == 0 && colon == key.size();
}

// Replaces the store file with data: temporary file, fsync, rename, fsync of the directory.
bool ReplaceStoreFile(const std::string& path, const std::string& data) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    std::string tmpl = path + ".tmpXXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    velm::UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd.valid()) return false;
    const std::string tmpPath(name.data());
    bool ok = ::fchmod(fd.get(), 0600) == 0 && velm::WriteAll(fd.get(), data.data(), data.size()) &&
              ::fsync(fd.get()) == 0;
    fd.reset();
    if (ok) ok = ::rename(tmpPath.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpPath.c_str());
        return false;
    }
    velm::UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.valid()) ::fsync(dirFd.get());
    return true;
}

}  // namespace

bool VELM_Utils::CreateDirectories() const {
    const std::string root = velm::profile::Get().installDir;
    if (!IsDirectory(root)) {
        return MakeDirectory(root) && MakeDirectory(root + "/Logs") && MakeDirectory(root + "/Firmware");
    }
    bool ok = true;
    if (!IsDirectory(root + "/Logs")) ok = MakeDirectory(root + "/Logs") && ok;
    if (!IsDirectory(root + "/Firmware")) ok = MakeDirectory(root + "/Firmware") && ok;
    return ok;
}

std::string VELM_Utils::ReadParameterFromConfigFile(const std::string& key) const {
    try {
        std::string plain;
        {
            std::lock_guard<std::mutex> lock(StoreMutex());
            plain = ReadPlaintext(*this);
        }
        size_t start = 0;
        while (start < plain.size()) {
            size_t end = plain.find('\n', start);
            if (end == std::string::npos) end = plain.size();
            std::string line = plain.substr(start, end - start);
            if (LineHasKey(line, key)) return line.substr(key.size() + 1);
            start = end + 1;
        }
    } catch (...) {
    }
    return std::string();
}

void VELM_Utils::WriteParameterDataToConfigFile(const std::string& key, const std::string& value) const {
    WriteParametersToConfigFile({{key, value}});
}

void VELM_Utils::WriteParametersToConfigFile(const std::vector<std::pair<std::string, std::string>>& entries) const {
    try {
        // Each value ends at its first NUL byte. A key with ":" or a line break, or a value
        // with a line break, would forge or corrupt other lines of the store: refused, and
        // then nothing of the batch is written.
        std::vector<std::pair<std::string, std::string>> clean;
        for (const auto& e : entries) {
            const std::string& key = e.first;
            const std::string value = e.second.substr(0, e.second.find('\0'));
            if (key.empty() || key.find_first_of(":\n\0", 0, 3) != std::string::npos ||
                value.find('\n') != std::string::npos)
                return;
            clean.emplace_back(key, value);
        }
        if (clean.empty()) return;

        std::lock_guard<std::mutex> lock(StoreMutex());
        const std::string plain = ReadPlaintext(*this);

        // Every line of a key written goes, so the ones appended below are the only ones left,
        // at the end of the store in the order given.
        std::string next;
        size_t start = 0;
        while (start < plain.size()) {
            size_t end = plain.find('\n', start);
            if (end == std::string::npos) end = plain.size();
            std::string line = plain.substr(start, end - start);
            bool written = false;
            for (const auto& e : clean) written = written || LineHasKey(line, e.first);
            if (!written) {
                next += line;
                next += '\n';
            }
            start = end + 1;
        }
        for (const auto& e : clean) {
            next += e.first;
            next += ':';
            next += e.second;
            next += '\n';
        }
        // Nothing changes (same lines in the same order): the disk is not touched.
        if (next == plain + "\n" || next == plain) return;
        if (next.size() % 16 != 0) next.append(16 - next.size() % 16, ' ');
        // A store larger than the reader's buffer could never be read back; keep the old one.
        if (next.size() > kMaxStoreBytes) return;

        for (size_t b = 0; b < next.size(); b += 16) {
            uint8_t* block = reinterpret_cast<uint8_t*>(&next[b]);
            AES128_ECB_encrypt(block, velm::provision::kConfigStoreKey, block);
        }
        const std::string encoded = ConvertToBase64(reinterpret_cast<const uint8_t*>(next.data()), next.size());
        if (encoded.empty()) return;
        ReplaceStoreFile(StorePath(), encoded);
    } catch (...) {
    }
}
