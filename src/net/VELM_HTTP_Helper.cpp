#include "net/VELM_HTTP_Helper.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>

#include "service/Logger.h"
#include "service/RunProgram.h"
#include "service/Profile.h"
#include "service/VELM_Utils.h"
#include "velm_provision.h"

namespace velm::net {
namespace {

// System trust store directory (hashed links of the CA certificates).
constexpr const char* kSystemCaPath = "/etc/ssl/certs";

bool HasControlChar(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

std::string DirName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::string ServerUrl(const std::string& path) { return velm::profile::Get().serverOrigin + path; }

ProxySettings ResolveProxy(const std::function<std::string(const std::string&)>& reader) {
    ProxySettings p;
    if (!reader || reader("USE_PROXY") != "TRUE") return p;
    const std::string server = reader("PROXY_SERVER");
    const std::string port = reader("PROXY_PORT");
    if (server.empty() || port.empty()) return p;
    p.use = true;
    p.hostPort = server + ":" + port;
    const std::string user = reader("PROXY_USERNAME");
    const std::string pwd = reader("PROXY_PWD");
    if (!user.empty() && !pwd.empty()) {
        p.hasCredentials = true;
        p.user = user;
        p.password = pwd;
    }
    return p;
}

std::vector<std::string> IntegrityTestCommand(const std::string& path) {
    struct Rule {
        const char* lower;
        const char* upper;
        std::vector<std::string> prefix;
    };
    static const Rule kRules[] = {
        {".tar.xz", ".TAR.XZ", {"/usr/bin/xz", "-t", "--"}},
        {".tar.gz", ".TAR.GZ", {"/usr/bin/gzip", "-t", "--"}},
        {".tar", ".TAR", {"/usr/bin/tar", "-tf"}},
        {".zip", ".ZIP", {"/usr/bin/unzip", "-t"}},
    };
    const std::string name = BaseName(path);
    for (const Rule& r : kRules) {
        if (name.find(r.lower) == std::string::npos && name.find(r.upper) == std::string::npos) continue;
        std::vector<std::string> argv = r.prefix;
        // A relative operand never starts with "-": the tools must not read it as an option.
        argv.push_back(!path.empty() && path[0] != '/' ? "./" + path : path);
        return argv;
    }
    return {};
}

bool IsSafeFileName(const std::string& name) {
    if (name.empty() || name.size() > 255) return false;
    if (name[0] == '-') return false;
    if (name.find('/') != std::string::npos) return false;
    if (name.find("..") != std::string::npos) return false;
    if (name == ".") return false;
    return !HasControlChar(name);
}

bool ExtractDateHeader(const std::string& line, std::string& value) {
    if (line.size() < 5 || strncasecmp(line.c_str(), "Date:", 5) != 0) return false;
    size_t i = 5;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    value = line.substr(i);
    return true;
}

SoapAnswer ParseSoapAnswer(const std::string& answer, const std::string& operation) {
    SoapAnswer out;
    if (answer.empty() || answer.rfind("FAIL: ", 0) == 0) return out;
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(answer.data(), answer.size()) != tinyxml2::XML_SUCCESS) return out;
    const tinyxml2::XMLElement* env = doc.FirstChildElement("soap:Envelope");
    if (!env) {
        out.step = SoapStep::NoEnvelope;
        return out;
    }
    const tinyxml2::XMLElement* body = env->FirstChildElement("soap:Body");
    if (!body) {
        out.step = SoapStep::NoBody;
        return out;
    }
    const tinyxml2::XMLElement* response = body->FirstChildElement((operation + "Response").c_str());
    if (!response) {
        out.step = SoapStep::NoResponse;
        return out;
    }
    const tinyxml2::XMLElement* result = response->FirstChildElement((operation + "Result").c_str());
    if (!result) {
        out.step = SoapStep::NoResult;
        return out;
    }
    const char* text = result->GetText();
    out.text = text ? text : "";
    out.step = SoapStep::Ok;
    return out;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

int RunProgram(const std::vector<std::string>& argv, int timeoutMs) {
    velm::RunOptions options;
    options.searchPath = false;
    options.minimalEnvironment = true;
    options.silent = true;
    return velm::RunProgram(argv, timeoutMs, options);
}

}  // namespace velm::net

// ---------------------------------------------------------------------------------------------

namespace {

using velm::net::ProxySettings;

std::once_flag gCurlInit;

struct CurlHandleDeleter {
    void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
using CurlHandle = std::unique_ptr<CURL, CurlHandleDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

// Response text of one exchange.
struct ResponseText {
    std::string text;
    size_t limit = 0;
};

// Request body of one SOAP post.
struct RequestSource {
    const char* next = nullptr;
    size_t left = 0;
};

// Output file of one download.
struct FileSink {
    int fd = -1;
    bool failed = false;
};

size_t header_callback(char* buffer, size_t size, size_t nitems, void* userdata) {
    const size_t n = size * nitems;
    std::string value;
    if (velm::net::ExtractDateHeader(std::string(buffer, n), value)) *static_cast<std::string*>(userdata) = value;
    return n;
}

// Appends a delivered piece up to its first NUL byte (answers are XML or plain text).
size_t write_data(char* ptr, size_t size, size_t nmemb, void* userdata) {
    const size_t n = size * nmemb;
    auto* out = static_cast<ResponseText*>(userdata);
    const size_t len = strnlen(ptr, n);
    if (out->text.size() + len > out->limit) return 0;  // aborts the transfer
    out->text.append(ptr, len);
    return n;
}

size_t discard_data(char*, size_t size, size_t nmemb, void*) { return size * nmemb; }

size_t read_data(char* buffer, size_t size, size_t nitems, void* userdata) {
    auto* src = static_cast<RequestSource*>(userdata);
    const size_t room = size * nitems;
    const size_t n = src->left < room ? src->left : room;
    if (n == 0) return 0;
    std::memcpy(buffer, src->next, n);
    src->next += n;
    src->left -= n;
    return n;
}

size_t write_to_file(char* ptr, size_t size, size_t nmemb, void* userdata) {
    auto* sink = static_cast<FileSink*>(userdata);
    const size_t n = size * nmemb;
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(sink->fd, ptr + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            sink->failed = true;
            return 0;
        }
        done += static_cast<size_t>(w);
    }
    return n;
}

void LogTransferError(CURLcode code, const char* detail) {
    Logger::log(ERROR, std::string("Management server communication error: ") + curl_easy_strerror(code));
    if (detail && *detail) Logger::log(DEBUG, std::string("Transfer detail: ") + detail);
}

// The options every transfer shares: URL, proxy, peer verification, protocol and time limits.
bool SetCommonOptions(CURL* c, const std::string& url, VELM_Utils* utils, long connectMs, long totalMs,
                      char* errbuf) {
    if (url.empty() || velm::net::HasControlChar(url)) return false;
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());

    const ProxySettings proxy = velm::net::ResolveProxy(
        [utils](const std::string& key) { return utils ? utils->ReadParameterFromConfigFile(key) : std::string(); });
    if (proxy.use) {
        Logger::log(DEBUG, "Using Proxy = " + proxy.hostPort);
        curl_easy_setopt(c, CURLOPT_PROXY, proxy.hostPort.c_str());
        curl_easy_setopt(c, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        if (proxy.hasCredentials) {
            curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, proxy.user.c_str());
            curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, proxy.password.c_str());
        }
        // The proxy's own CONNECT answer is not part of the server's answer.
        curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    } else {
        // A direct connection: no proxy from the process environment either.
        curl_easy_setopt(c, CURLOPT_PROXY, "");
    }

    curl_easy_setopt(c, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(c, CURLOPT_CAPATH, velm::net::kSystemCaPath);
    const std::string& bundle = velm::profile::Get().serverCaBundle;
    struct stat st {};
    if (!bundle.empty() && ::stat(bundle.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        curl_easy_setopt(c, CURLOPT_CAINFO, bundle.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, totalMs);
    return true;
}

CurlHandle NewHandle() {
    std::call_once(gCurlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return CurlHandle(curl_easy_init());
}

}  // namespace

VELM_HTTP_Helper::VELM_HTTP_Helper(VELM_Utils* utils) : utils_(utils) {
    std::call_once(gCurlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

VELM_HTTP_Helper::~VELM_HTTP_Helper() = default;

std::string VELM_HTTP_Helper::GetTimeFromServer(const std::string& url) {
    try {
        CurlHandle c = NewHandle();
        if (!c) return "";
        char errbuf[CURL_ERROR_SIZE] = {0};
        if (!SetCommonOptions(c.get(), url, utils_, limits_.connectMs, limits_.totalMs, errbuf)) return "";
        std::string date;
        curl_easy_setopt(c.get(), CURLOPT_HEADERFUNCTION, header_callback);
        curl_easy_setopt(c.get(), CURLOPT_HEADERDATA, &date);
        curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, discard_data);
        const CURLcode code = curl_easy_perform(c.get());
        if (code != CURLE_OK) {
            LogTransferError(code, errbuf);
            return "";
        }
        return date;
    } catch (const std::exception& e) {
        Logger::log(ERROR, std::string("Error while fetching server time: ") + e.what());
    } catch (...) {
        Logger::log(ERROR, "Error while fetching server time: Fatal Error");
    }
    return "";
}

std::string VELM_HTTP_Helper::GetDataFromServer(const std::string& url) {
    try {
        CurlHandle c = NewHandle();
        if (!c) return "";
        char errbuf[CURL_ERROR_SIZE] = {0};
        if (!SetCommonOptions(c.get(), url, utils_, limits_.connectMs, limits_.totalMs, errbuf)) return "";
        ResponseText response;
        response.limit = limits_.maxResponseBytes;
        curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, write_data);
        curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &response);
        // An error page is not the file that was asked for.
        curl_easy_setopt(c.get(), CURLOPT_FAILONERROR, 1L);
        const CURLcode code = curl_easy_perform(c.get());
        if (code != CURLE_OK) {
            LogTransferError(code, errbuf);
            return "";
        }
        return response.text;
    } catch (const std::exception& e) {
        Logger::log(ERROR, std::string("Error while fetching data from server: ") + e.what());
    } catch (...) {
        Logger::log(ERROR, "Error while fetching data from server: Fatal Error");
    }
    return "";
}

std::string VELM_HTTP_Helper::SendRequestToServer(const std::string& url, const std::string& soapAction,
                                                  const std::string& body) {
    try {
        // A line break in the action would start a header of its own.
        if (velm::net::HasControlChar(soapAction)) return "";
        CurlHandle c = NewHandle();
        if (!c) return "";
        char errbuf[CURL_ERROR_SIZE] = {0};
        if (!SetCommonOptions(c.get(), url, utils_, limits_.connectMs, limits_.totalMs, errbuf)) return "";

        Slist headers;
        for (const std::string& h : {std::string("Content-Type:text/xml; Charset=UTF-8"),
                                     "SOAPActions: " + soapAction,
                                     "Content-Length: " + std::to_string(body.size()),
                                     std::string("Expect:")}) {
            curl_slist* next = curl_slist_append(headers.get(), h.c_str());
            if (!next) return "";
            (void)headers.release();
            headers.reset(next);
        }
        RequestSource source{body.data(), body.size()};
        ResponseText response;
        response.limit = limits_.maxResponseBytes;
        curl_easy_setopt(c.get(), CURLOPT_POST, 1L);
        curl_easy_setopt(c.get(), CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c.get(), CURLOPT_READFUNCTION, read_data);
        curl_easy_setopt(c.get(), CURLOPT_READDATA, &source);
        curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, write_data);
        curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &response);
        // The size is known: the body goes out as-is under the Content-Length header above,
        // never chunked.
        curl_easy_setopt(c.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        const CURLcode code = curl_easy_perform(c.get());
        c.reset();
        if (code != CURLE_OK) {
            LogTransferError(code, errbuf);
            return std::string("FAIL: ") + curl_easy_strerror(code);
        }
        return response.text;
    } catch (...) {
        return "";
    }
}

void VELM_HTTP_Helper::ReportSpoofAttempt(const std::string& serialNumber) {
    const std::string body =
        std::string("<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tem=\"") +
        velm::provision::kNamespace_device_data + "\">" +
        "<soapenv:Header/><soapenv:Body><tem:deviceSuspectReport>" +
        "<tem:srno>" + velm::net::XmlEscape(serialNumber) + "</tem:srno>" +
        "<tem:additionalInfo>Linux</tem:additionalInfo>" +
        "</tem:deviceSuspectReport></soapenv:Body></soapenv:Envelope>";
    (void)SendRequestToServer(velm::net::ServerUrl(velm::net::kDeviceDataPath), "deviceSuspectReport", body);
}

bool VELM_HTTP_Helper::DownloadFileFromServer(const std::string& url, const std::string& localPath) {
    std::string tempPath;
    try {
        CurlHandle c = NewHandle();
        if (!c) return false;
        if (localPath.empty() || localPath.back() == '/') {
            Logger::log(ERROR, "Can't download to the local path: " + localPath);
            return false;
        }
        const std::string dir = velm::net::DirName(localPath);
        std::string tmpl = dir + "/." + velm::net::BaseName(localPath) + ".XXXXXX";
        velm::net::Fd out(::mkostemp(tmpl.data(), O_CLOEXEC));
        if (out.fd < 0) {
            Logger::log(ERROR, "Can't open the local file for the download: " + localPath + " (" +
                                   std::strerror(errno) + ")");
            return false;
        }
        tempPath = tmpl;
        ::fchmod(out.fd, 0644);

        char errbuf[CURL_ERROR_SIZE] = {0};
        if (!SetCommonOptions(c.get(), url, utils_, limits_.connectMs, limits_.downloadTotalMs, errbuf)) {
            ::unlink(tempPath.c_str());
            return false;
        }
        FileSink sink{out.fd, false};
        curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, write_to_file);
        curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(c.get(), CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(c.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(c.get(), CURLOPT_LOW_SPEED_TIME, std::max(1L, limits_.downloadStallMs / 1000));
        const CURLcode code = curl_easy_perform(c.get());
        c.reset();
        const bool synced = ::fsync(out.fd) == 0;
        const int fd = out.release();
        const bool closed = ::close(fd) == 0;
        if (code != CURLE_OK) {
            LogTransferError(code, errbuf);
            ::unlink(tempPath.c_str());
            return false;
        }
        if (!synced || !closed || sink.failed) {
            Logger::log(ERROR, "Can't write the downloaded file: " + localPath);
            ::unlink(tempPath.c_str());
            return false;
        }

        std::vector<std::string> argv = velm::net::IntegrityTestCommand(localPath);
        if (!argv.empty()) {
            argv.back() = tempPath;  // the test runs on the file as downloaded
            const int status = velm::net::RunProgram(argv, static_cast<int>(limits_.integrityTestMs));
            if (status != 0) {
                std::string command;
                for (size_t i = 0; i < argv.size(); ++i) command += (i ? " " : "") + argv[i];
                Logger::log(ERROR, "File integrity check failed. Error Code: " + std::to_string(status) + "\r\n" +
                                       command);
                ::unlink(tempPath.c_str());
                return false;
            }
            Logger::log(INFO, "RD Update patch file integrity check success.");
        }
        if (::rename(tempPath.c_str(), localPath.c_str()) != 0) {
            Logger::log(ERROR, "Can't move the downloaded file into place: " + localPath + " (" +
                                   std::strerror(errno) + ")");
            ::unlink(tempPath.c_str());
            return false;
        }
        velm::net::Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (d.fd >= 0) ::fsync(d.fd);
        return true;
    } catch (const std::exception& e) {
        Logger::log(ERROR, std::string("Error while downloading a file: ") + e.what());
    } catch (...) {
        Logger::log(ERROR, "Error while downloading a file: Fatal Error");
    }
    if (!tempPath.empty()) ::unlink(tempPath.c_str());
    return false;
}
