#pragma once
// HTTPS client for every exchange with the management server: server clock, small text files,
// SOAP posts and file downloads. Each call is one blocking transfer on the caller's thread;
// nothing is shared between calls, so exchanges may overlap.
#include <functional>
#include <string>
#include <vector>

class VELM_Utils;

namespace velm::net {

// Management server paths used by the client itself.
inline constexpr const char* kTimeSyncPath = "/TR460_REGISTRATION_SERVICE/time_sync.html";
inline constexpr const char* kRegistrationPath = "/TR460_REGISTRATION_SERVICE/TR460REGNew.asmx";
inline constexpr const char* kCertificatePath = "/TR460_REGISTRATION_SERVICE/CertFetcher.asmx";
inline constexpr const char* kDeviceDataPath = "/TR460_REGISTRATION_SERVICE/DeviceDataFatcher.asmx";
inline constexpr const char* kUpdateServicePath = "/tr460_device_update_service/UpdateService.asmx";

// The management server origin of the profile in force + path.
std::string ServerUrl(const std::string& path);

// Proxy settings as read from the configuration store.
struct ProxySettings {
    bool use = false;          // USE_PROXY is exactly "TRUE" and both host and port are set
    std::string hostPort;      // host + ":" + port
    bool hasCredentials = false;  // both user name and password set
    std::string user;
    std::string password;
};
// reader(key) returns the stored text of a key ("" when missing).
ProxySettings ResolveProxy(const std::function<std::string(const std::string&)>& reader);

// The integrity test for a downloaded file, chosen by the markers in its file name (the last
// path component): ".tar.xz", ".tar.gz", ".tar", ".zip", each in all-lower or all-upper case,
// first match wins. Returns the argument vector with `path` as the file operand, or an empty
// vector when the file is not tested.
std::vector<std::string> IntegrityTestCommand(const std::string& path);

// A file name that may be used as a local file name: non-empty, at most 255 bytes, no "/",
// not "." or "..", no "..", no leading "-", no control characters (bytes < 0x20 and 0x7f).
bool IsSafeFileName(const std::string& name);

// Header-line filter of the time fetch: when `line` is a "Date:" header (name compared without
// regard to case), returns true and sets `value` to the text after the colon and the blanks
// that follow it, line end included.
bool ExtractDateHeader(const std::string& line, std::string& value);

// Answer convention of the management server's SOAP services:
// soap:Envelope / soap:Body / <op>Response / <op>Result, text of the result element.
enum class SoapStep {
    Ok = 0,
    NotXml = 1,          // empty, transport failure ("FAIL: ..."), or not well-formed
    NoEnvelope = 2,      // no "soap:Envelope" element
    NoBody = 3,          // no "soap:Body" child
    NoResponse = 4,      // no <op>Response child
    NoResult = 5,        // no <op>Result child
};
struct SoapAnswer {
    SoapStep step = SoapStep::NotXml;
    std::string text;       // text of the result element (may be empty) when step == Ok
    bool ok() const { return step == SoapStep::Ok; }
};
SoapAnswer ParseSoapAnswer(const std::string& answer, const std::string& operation);

// Text with the five XML special characters written as entities.
std::string XmlEscape(const std::string& text);

// Runs a program (argv[0] an absolute path) with stdin/stdout/stderr on /dev/null and waits at
// most `timeoutMs` for it; a program still running then is killed. Returns its exit status
// (0..255), -1 when it could not be started, was killed by a signal or timed out.
int RunProgram(const std::vector<std::string>& argv, int timeoutMs);

}  // namespace velm::net

class VELM_HTTP_Helper {
public:
    // Time limits of the transfers, milliseconds.
    struct Limits {
        long connectMs = 15000;
        long totalMs = 30000;          // clock, text and SOAP exchanges
        long downloadTotalMs = 1800000;  // a download may take up to 30 minutes ...
        long downloadStallMs = 60000;    // ... but not sit 60 s without any data
        long integrityTestMs = 300000;   // archive test of a downloaded file
        size_t maxResponseBytes = 16u << 20;
    };

    explicit VELM_HTTP_Helper(VELM_Utils* utils);
    virtual ~VELM_HTTP_Helper();
    VELM_HTTP_Helper(const VELM_HTTP_Helper&) = delete;
    VELM_HTTP_Helper& operator=(const VELM_HTTP_Helper&) = delete;

    // Text of the last "Date:" response header (line end included), or "" on failure.
    std::string GetTimeFromServer(const std::string& url);
    // Response body, or "" on a transfer error or an HTTP error status (400 and above).
    std::string GetDataFromServer(const std::string& url);
    // SOAP 1.1 post. Response body (whatever the HTTP status), "FAIL: " + the transfer error text,
    // or "" when the request could not be built.
    std::string SendRequestToServer(const std::string& url, const std::string& soapAction,
                                    const std::string& body);
    // Reports a spoof detected by the scanner; the answer is not used.
    void ReportSpoofAttempt(const std::string& serialNumber);
    // Fetches url into localPath: written to a temporary file beside it and renamed into place
    // only after the transfer (HTTP status below 400) and the integrity test succeeded. False on
    // any failure; localPath is then left as it was.
    bool DownloadFileFromServer(const std::string& url, const std::string& localPath);

    // Test support and tuning; set before the helper is used by several threads.
    void SetLimits(const Limits& limits) { limits_ = limits; }
    const Limits& GetLimits() const { return limits_; }

private:
    VELM_Utils* utils_;
    Limits limits_;
};
