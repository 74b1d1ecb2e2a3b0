#include "server/VELM_Local_Server_Handler.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "server/velmhttpparser.h"
#include "service/Profile.h"
#include "service/RunProgram.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

constexpr int kBusyLingerMs = 2000;     // how long a refused connection is drained before it is closed
constexpr size_t kMaxLingering = 64;    // refused connections drained at once; beyond, closed at once
constexpr int kCaInstallTimeoutMs = 15000;
constexpr int kMaxEpollEvents = 16;

void DiagOut(const std::string& line) { std::fprintf(stdout, "%s\n", line.c_str()), std::fflush(stdout); }
void DiagErr(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()), std::fflush(stderr); }

Deadline After(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// Milliseconds left until d, rounded up so that a short remainder does not turn into a busy poll.
int RemainingMs(Deadline d) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(d - Clock::now()).count();
    if (left <= 0) return 0;
    auto ms = (left + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

enum class WaitResult { Ready, Timeout, Stopped, Error };

// Waits until fd reports one of events, the deadline passes or the stop descriptor turns readable.
WaitResult WaitFor(int fd, short events, Deadline deadline, int stopFd) {
    for (;;) {
        int ms = RemainingMs(deadline);
        if (ms == 0) return WaitResult::Timeout;
        pollfd pfd[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        int r = ::poll(pfd, stopFd >= 0 ? 2 : 1, ms);
        if (r < 0) {
            if (errno == EINTR) continue;
            return WaitResult::Error;
        }
        if (r == 0) continue;  // the loop re-checks the deadline
        if (stopFd >= 0 && (pfd[1].revents & POLLIN)) return WaitResult::Stopped;
        if (pfd[0].revents != 0) return WaitResult::Ready;
    }
}

// One connection's byte stream, plain or TLS. Every call is bounded by its deadline and by the
// server's stop descriptor.
class Stream {
public:
    virtual ~Stream() = default;
    // > 0: bytes read; 0: the peer closed; < 0: error, deadline passed or stop requested.
    virtual long Read(char* buf, size_t n, Deadline deadline) = 0;
    virtual bool WriteAll(const std::string& data, Deadline deadline) = 0;
};

class PlainStream : public Stream {
public:
    PlainStream(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) {}

    long Read(char* buf, size_t n, Deadline deadline) override {
        for (;;) {
            ssize_t r = ::recv(fd_, buf, n, 0);
            if (r >= 0) return static_cast<long>(r);
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            if (WaitFor(fd_, POLLIN, deadline, stopFd_) != WaitResult::Ready) return -1;
        }
    }

    bool WriteAll(const std::string& data, Deadline deadline) override {
        size_t off = 0;
        while (off < data.size()) {
            ssize_t r = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (r > 0) {
                off += static_cast<size_t>(r);
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (WaitFor(fd_, POLLOUT, deadline, stopFd_) != WaitResult::Ready) return false;
                continue;
            }
            return false;
        }
        return true;
    }

private:
    int fd_;
    int stopFd_;
};

// Transport callbacks of the TLS library over a non-blocking descriptor.
int net_send_wrapper(void* ctx, const unsigned char* buf, size_t len) {
    int fd = *static_cast<int*>(ctx);
    ssize_t r = ::send(fd, buf, len, MSG_NOSIGNAL);
    if (r >= 0) return static_cast<int>(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return MBEDTLS_ERR_SSL_WANT_WRITE;
    return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
}

int net_recv_wrapper(void* ctx, unsigned char* buf, size_t len) {
    int fd = *static_cast<int*>(ctx);
    ssize_t r = ::recv(fd, buf, len, 0);
    if (r >= 0) return static_cast<int>(r);  // 0 tells the library the peer closed
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return MBEDTLS_ERR_SSL_WANT_READ;
    return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
}

class TlsStream : public Stream {
public:
    TlsStream(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) { mbedtls_ssl_init(&ssl_); }
    ~TlsStream() override { mbedtls_ssl_free(&ssl_); }
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    bool Setup(const mbedtls_ssl_config* conf) {
        if (mbedtls_ssl_setup(&ssl_, conf) != 0) return false;
        mbedtls_ssl_set_bio(&ssl_, &fd_, net_send_wrapper, net_recv_wrapper, nullptr);
        return true;
    }

    // 0 when done; the library's error code; 1 when the deadline passed or a stop was requested.
    int Handshake(Deadline deadline) {
        for (;;) {
            int r = mbedtls_ssl_handshake(&ssl_);
            if (r == 0) return 0;
            if (!WaitForLibrary(r, deadline)) return r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE ? 1 : r;
        }
    }

    long Read(char* buf, size_t n, Deadline deadline) override {
        for (;;) {
            int r = mbedtls_ssl_read(&ssl_, reinterpret_cast<unsigned char*>(buf), n);
            if (r > 0) return r;
            if (r == 0 || r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) return 0;
            if (!WaitForLibrary(r, deadline)) return -1;
        }
    }

    bool WriteAll(const std::string& data, Deadline deadline) override {
        size_t off = 0;
        while (off < data.size()) {
            int r = mbedtls_ssl_write(&ssl_, reinterpret_cast<const unsigned char*>(data.data()) + off, data.size() - off);
            if (r > 0) {
                off += static_cast<size_t>(r);
                continue;
            }
            if (!WaitForLibrary(r, deadline)) return false;
        }
        return true;
    }

    void CloseNotify() { (void)mbedtls_ssl_close_notify(&ssl_); }

private:
    // For a want-read or want-write result waits for the descriptor; false for anything else
    // or when the wait ends without the descriptor being ready.
    bool WaitForLibrary(int r, Deadline deadline) {
        short events;
        if (r == MBEDTLS_ERR_SSL_WANT_READ) {
            events = POLLIN;
        } else if (r == MBEDTLS_ERR_SSL_WANT_WRITE) {
            events = POLLOUT;
        } else {
            return false;
        }
        return WaitFor(fd_, events, deadline, stopFd_) == WaitResult::Ready;
    }

    int fd_;
    int stopFd_;
    mbedtls_ssl_context ssl_;
};

enum class ReadOutcome { Complete, NoRequest, BodyTooLarge };

std::string LowerAscii(const char* s, size_t n) {
    std::string out(s, n);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// True when an empty line may have arrived: looks for LF LF or LF CR LF in the bytes from `from` on.
bool MayHoldHeadEnd(const std::string& buf, size_t from) {
    for (size_t i = from; i < buf.size(); ++i) {
        if (buf[i] != '\n' || i == 0) continue;
        if (buf[i - 1] == '\n') return true;
        if (i >= 2 && buf[i - 1] == '\r' && buf[i - 2] == '\n') return true;
    }
    return false;
}

// Reads one request head (until headDeadline) and its body (until a deadline set once the head
// is complete). Content-Length is honoured in any letter case; a body above the limit is not read.
ReadOutcome ReadRequest(Stream& stream, Deadline headDeadline, VELM_Http_Request& out) {
    std::string buf;
    buf.reserve(4096);
    char chunk[4096];
    phr_header headers[VELM_Local_Server_Handler::kMaxHeaders];
    size_t numHeaders = 0;
    const char* method = nullptr;
    const char* path = nullptr;
    size_t methodLen = 0, pathLen = 0;
    int minor = 0;
    int headLen = -2;
    size_t scanFrom = 0;
    for (;;) {
        if (MayHoldHeadEnd(buf, scanFrom)) {
            numHeaders = VELM_Local_Server_Handler::kMaxHeaders;
            headLen = phr_parse_request(buf.data(), buf.size(), &method, &methodLen, &path, &pathLen, &minor, headers,
                                        &numHeaders, 0);
            if (headLen > 0) break;
            if (headLen == -1) return ReadOutcome::NoRequest;
        }
        if (buf.size() > VELM_Local_Server_Handler::kMaxHeadBytes) return ReadOutcome::NoRequest;
        scanFrom = buf.size() < 2 ? 0 : buf.size() - 2;
        long n = stream.Read(chunk, sizeof chunk, headDeadline);
        if (n <= 0) return ReadOutcome::NoRequest;
        buf.append(chunk, static_cast<size_t>(n));
    }

    out.method.assign(method, methodLen);
    out.path.assign(path, pathLen);
    out.headers.clear();
    for (size_t i = 0; i < numHeaders; ++i) {
        std::string name = headers[i].name != nullptr ? LowerAscii(headers[i].name, headers[i].name_len) : std::string();
        out.headers[name].assign(headers[i].value, headers[i].value_len);
    }

    // Content-Length: a leading run of decimal digits; anything else means no body to wait for.
    bool haveLength = false;
    unsigned long long length = 0;
    auto it = out.headers.find("content-length");
    if (it != out.headers.end()) {
        const std::string& v = it->second;
        size_t i = 0;
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
        bool overflow = false;
        size_t digits = 0;
        for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i, ++digits) {
            unsigned d = static_cast<unsigned>(v[i] - '0');
            if (length > (ULLONG_MAX - d) / 10) {
                overflow = true;
                break;
            }
            length = length * 10 + d;
        }
        if (overflow || digits == 0) {
            if (overflow) return ReadOutcome::BodyTooLarge;
        } else {
            haveLength = true;
        }
    }
    if (haveLength && length > VELM_Local_Server_Handler::kMaxBodyBytes) return ReadOutcome::BodyTooLarge;

    out.body.assign(buf, static_cast<size_t>(headLen), std::string::npos);
    if (haveLength) {
        const Deadline bodyDeadline = After(VELM_Local_Server_Handler::kBodyTimeoutMs);
        while (out.body.size() < length) {
            size_t want = std::min(sizeof chunk, static_cast<size_t>(length) - out.body.size());
            long n = stream.Read(chunk, want, bodyDeadline);
            if (n <= 0) break;  // serve what arrived
            out.body.append(chunk, static_cast<size_t>(n));
        }
        if (out.body.size() > length) out.body.resize(static_cast<size_t>(length));
    }
    return ReadOutcome::Complete;
}

// Runs update-ca-certificates (found on PATH) and waits a bounded time for it.
void RunTrustStoreUpdate() { (void)velm::RunProgram({"update-ca-certificates"}, kCaInstallTimeoutMs); }

}  // namespace

// TLS state shared by every connection of one server: entropy, random generator, the server's
// certificate chain and key, and one configuration.
struct VELM_Local_Server_Handler::TlsState {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
    mbedtls_ssl_config conf;
    std::mutex rngMtx;

    TlsState() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        mbedtls_x509_crt_init(&cert);
        mbedtls_pk_init(&key);
        mbedtls_ssl_config_init(&conf);
    }
    ~TlsState() {
        mbedtls_ssl_config_free(&conf);
        mbedtls_pk_free(&key);
        mbedtls_x509_crt_free(&cert);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
    TlsState(const TlsState&) = delete;
    TlsState& operator=(const TlsState&) = delete;

    // The generator is shared by concurrent handshakes.
    static int Random(void* self, unsigned char* out, size_t len) {
        auto* s = static_cast<TlsState*>(self);
        std::lock_guard<std::mutex> lock(s->rngMtx);
        return mbedtls_ctr_drbg_random(&s->drbg, out, len);
    }
};

VELM_Local_Server_Handler::VELM_Local_Server_Handler(VELM_RD_Operations* operations, bool localhostOriginOnly,
                                                     Ports ports)
    : operations_(operations),
      localhostOriginOnly_(localhostOriginOnly),
      ports_(ports),
      currentPort_(ports.firstRangePort),
      lastCheckTime_(static_cast<int64_t>(std::time(nullptr))) {}

VELM_Local_Server_Handler::~VELM_Local_Server_Handler() { StopRDServiceServer(); }

void VELM_Local_Server_Handler::UpdateLastCheckTime(time_t seconds) { lastCheckTime_.store(static_cast<int64_t>(seconds)); }

int VELM_Local_Server_Handler::CurrentPort() const { return currentPort_.load(); }

// ---------------------------------------------------------------------------------------------
// Response framing

std::string VELM_Local_Server_Handler::make_xml_response(const std::string& body, int code, const std::string& reason,
                                                         bool preflight) const {
    std::string r;
    r.reserve(512 + body.size());
    r += "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n";
    r += "Cache-Control: No-Cache\r\n";
    r += localhostOriginOnly_ ? "Access-Control-Allow-Origin: 127.0.0.1\r\n" : "Access-Control-Allow-Origin: *\r\n";
    if (preflight) r += "Access-Control-Allow-Methods: RDSERVICE, DEVICEINFO, CAPTURE, OPTIONS, REGISTER_DEV\r\n";
    r += "Access-Control-Allow-Headers: *\r\n";
    r += "Access-Control-Allow-Credentials: true\r\n";
    r += "Access-Control-Allow-Private-Network: true\r\n";
    r += "Access-Control-Max-Age: 86400\r\n";
    r += "Location: HTTP://127.0.0.1:" + std::to_string(currentPort_.load()) + "/\r\n";
    if (preflight) {
        r += "Content-Length: 0\r\n";
    } else {
        r += "Connection: close\r\n";
        r += "Content-Type: text/xml; charset=utf-8\r\n";
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    r += "\r\n";
    r += body;
    r += "\r\n";
    return r;
}

std::string VELM_Local_Server_Handler::resp_200_ok(const std::string& body) const {
    return make_xml_response(body, 200, "OK", false);
}
std::string VELM_Local_Server_Handler::resp_device_busy() const { return make_xml_response("", 200, "OK", false); }
std::string VELM_Local_Server_Handler::resp_options() const { return make_xml_response("", 200, "OK", true); }
std::string VELM_Local_Server_Handler::resp_404() const {
    return make_xml_response("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error>Not Found</Error>", 404, "Not Found",
                             false);
}
std::string VELM_Local_Server_Handler::resp_405() const {
    return make_xml_response("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error>Method Not Allowed</Error>", 405,
                             "Method Not Allowed", false);
}
std::string VELM_Local_Server_Handler::resp_413() const {
    return make_xml_response("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error>Payload Too Large</Error>", 413,
                             "Payload Too Large", false);
}

// ---------------------------------------------------------------------------------------------
// Dispatch

std::string VELM_Local_Server_Handler::process_parsed_request(const VELM_Http_Request& request) {
    static const char* const kRdMethods[] = {"REGISTER_DEV", "RDSERVICE", "DEVICEINFO", "CAPTURE", "OPTIONS"};
    const std::string& method = request.method;
    if (std::none_of(std::begin(kRdMethods), std::end(kRdMethods), [&](const char* m) { return method == m; })) {
        return resp_405();
    }

    if (method == "OPTIONS") {
        bool accepted = false;
        for (const auto& [name, value] : request.headers) {
            if (operations_->ToUpper(name).find("ACCESS-CONTROL-REQUEST-METHOD") == std::string::npos) continue;
            const std::string v = operations_->ToUpper(value);
            for (const char* m : {"RDSERVICE", "DEVICEINFO", "CAPTURE", "REGISTER_DEV"}) {
                if (v.find(m) != std::string::npos) accepted = true;
            }
        }
        return accepted ? resp_options() : resp_405();
    }

    const std::string path = request.path.substr(0, request.path.find('?'));
    if (path == "/rd/regdev") {
        return method == "REGISTER_DEV" ? resp_200_ok(operations_->RegisterDevice()) : resp_405();
    }
    if (path == "/rd" || path == "/" || path == "*") {
        return method == "RDSERVICE" ? resp_200_ok(operations_->RDInfo()) : resp_405();
    }
    if (path == "/rd/info") {
        return method == "DEVICEINFO" ? resp_200_ok(operations_->DeviceInfo()) : resp_405();
    }
    if (path == "/rd/capture") {
        if (method != "CAPTURE") return resp_405();
        return resp_200_ok(operations_->Capture(request.body, static_cast<time_t>(lastCheckTime_.load())));
    }
    return resp_404();
}

// ---------------------------------------------------------------------------------------------
// Start and stop

void VELM_Local_Server_Handler::install_local_ca() const {
    const auto& profile = velm::profile::Get();
    std::error_code ec;
    std::filesystem::copy_file(velm::profile::InstallPath(profile.trustStoreCaFile),
                               profile.trustStoreDir + "/" + profile.trustStoreCaFile,
                               std::filesystem::copy_options::overwrite_existing, ec);
    RunTrustStoreUpdate();
}

bool VELM_Local_Server_Handler::init_mbedtls_global(const std::string& certPath, const std::string& keyPath) {
    if (tls_) return true;
    auto state = std::make_unique<TlsState>();
    static const unsigned char kPers[] = "rd_mbedtls";
    if (mbedtls_ctr_drbg_seed(&state->drbg, mbedtls_entropy_func, &state->entropy, kPers, sizeof kPers - 1) != 0) {
        DiagErr("mbedtls_ctr_drbg_seed failed");
        return false;
    }
    if (mbedtls_x509_crt_parse_file(&state->cert, certPath.c_str()) != 0) {
        DiagErr("Failed load cert");
        return false;
    }
    if (mbedtls_pk_parse_keyfile(&state->key, keyPath.c_str(), nullptr) != 0) {
        DiagErr("Failed load key");
        return false;
    }
    if (mbedtls_ssl_config_defaults(&state->conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        DiagErr("ssl_config_defaults failed");
        return false;
    }
    mbedtls_ssl_conf_rng(&state->conf, &TlsState::Random, state.get());
    // The library's default order starts with its largest curve; prefer the fast ones for the
    // key exchange (every client of this endpoint offers at least one of them). P-256 comes first:
    // with this library's arithmetic it costs about half of what X25519 does per handshake.
    static const mbedtls_ecp_group_id kCurves[] = {MBEDTLS_ECP_DP_SECP256R1, MBEDTLS_ECP_DP_CURVE25519,
                                                   MBEDTLS_ECP_DP_SECP384R1, MBEDTLS_ECP_DP_SECP521R1,
                                                   MBEDTLS_ECP_DP_NONE};
    mbedtls_ssl_conf_curves(&state->conf, kCurves);
    if (mbedtls_ssl_conf_own_cert(&state->conf, &state->cert, &state->key) != 0) {
        DiagErr("Failed load cert");
        return false;
    }
    tls_ = std::move(state);
    return true;
}

void VELM_Local_Server_Handler::free_mbedtls_global() { tls_.reset(); }

int VELM_Local_Server_Handler::try_bind_listen(int port) const {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) return -1;
    int on = 1;
    if (::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
    if (::listen(fd.Get(), 128) != 0) return -1;
    return fd.Release();
}

void VELM_Local_Server_Handler::close_all_descriptors() {
    CloseFd(rangeListenFd_);
    CloseFd(fixedListenFd_);
    CloseFd(epollFd_);
    CloseFd(stopEventFd_);
}

bool VELM_Local_Server_Handler::StartRDServiceServer() {
    if (started_.load()) return true;
    stopRequested_.store(false);

    install_local_ca();

    if (!init_mbedtls_global(velm::profile::InstallPath("localhost.cer"),
                             velm::profile::InstallPath("localhost_legacy.key"))) {
        DiagErr("TLS initialization failed");
        return false;
    }

    for (int port = ports_.firstRangePort; port <= ports_.lastRangePort; ++port) {
        int fd = try_bind_listen(port);
        if (fd >= 0) {
            rangeListenFd_ = fd;
            currentPort_.store(port);
            break;
        }
    }
    if (rangeListenFd_ < 0) {
        DiagErr("No free port in range");
        return false;
    }
    fixedListenFd_ = try_bind_listen(ports_.fixedPort);
    if (fixedListenFd_ < 0) {
        CloseFd(rangeListenFd_);
        DiagErr("Failed to bind fixed port");
        return false;
    }

    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        DiagErr("epoll_create1 failed");
        close_all_descriptors();
        return false;
    }
    auto add = [this](int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        return ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) == 0;
    };
    if (!add(rangeListenFd_)) {
        DiagErr("epoll_ctl add range failed");
        close_all_descriptors();
        return false;
    }
    if (!add(fixedListenFd_)) {
        DiagErr("epoll_ctl add fixed failed");
        close_all_descriptors();
        return false;
    }
    stopEventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEventFd_ < 0 || !add(stopEventFd_)) {
        DiagErr("eventfd setup failed");
        close_all_descriptors();
        return false;
    }

    try {
        for (int i = 0; i < kWorkerCount; ++i) workerThreads_.emplace_back(&VELM_Local_Server_Handler::worker_loop, this);
        acceptThread_ = std::thread(&VELM_Local_Server_Handler::accept_loop, this);
    } catch (const std::system_error&) {
        DiagErr("Can't create server threads");
        started_.store(true);
        StopRDServiceServer();
        return false;
    }
    started_.store(true);
    DiagOut("VELM RD server started on ports: " + std::to_string(currentPort_.load()) + " and " +
            std::to_string(ports_.fixedPort));
    return true;
}

bool VELM_Local_Server_Handler::StopRDServiceServer() {
    {
        std::lock_guard<std::mutex> lock(slotMtx_);
        stopRequested_.store(true);
    }
    slotCv_.notify_all();
    if (stopEventFd_ >= 0) {
        uint64_t one = 1;
        ssize_t w = ::write(stopEventFd_, &one, sizeof one);
        (void)w;
    }
    for (auto& t : workerThreads_) {
        if (t.joinable()) t.join();
    }
    workerThreads_.clear();
    if (acceptThread_.joinable()) acceptThread_.join();
    {
        std::lock_guard<std::mutex> lock(slotMtx_);
        for (int fd : pending_) ::close(fd);
        pending_.clear();
        activeWorkers_ = 0;
    }
    close_all_descriptors();
    free_mbedtls_global();
    started_.store(false);
    DiagOut("VELM RD server stopped");
    return true;
}

// ---------------------------------------------------------------------------------------------
// Threads

bool VELM_Local_Server_Handler::hand_over(int fd) {
    std::lock_guard<std::mutex> lock(slotMtx_);
    // Every worker may be busy and one more connection may wait; the rest are refused.
    if (static_cast<int>(pending_.size()) + activeWorkers_ >= kWorkerCount + 1) return false;
    pending_.push_back(fd);
    slotCv_.notify_one();
    return true;
}

void VELM_Local_Server_Handler::accept_loop() {
    struct Lingering {
        int fd;
        Deadline until;
    };
    std::vector<Lingering> lingering;
    // A spare descriptor lets the loop accept and drop a connection when descriptors run out,
    // instead of spinning on a listener that stays readable.
    UniqueFd spare(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const std::string busy = resp_device_busy();

    auto dropLingering = [&](size_t i) {
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, lingering[i].fd, nullptr);
        ::close(lingering[i].fd);
        lingering[i] = lingering.back();
        lingering.pop_back();
    };

    auto refuse = [&](int fd) {
        ssize_t s = ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)s;
        ::shutdown(fd, SHUT_WR);
        // Keep reading what the client still sends for a moment, so that closing does not
        // reset the connection before the client has read the answer.
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = fd;
        if (lingering.size() < kMaxLingering && ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) == 0) {
            lingering.push_back({fd, After(kBusyLingerMs)});
        } else {
            ::close(fd);
        }
    };

    try {
        epoll_event events[kMaxEpollEvents];
        while (!stopRequested_.load()) {
            int timeout = -1;
            for (const auto& l : lingering) {
                int ms = RemainingMs(l.until);
                if (timeout < 0 || ms < timeout) timeout = ms;
            }
            int n = ::epoll_wait(epollFd_, events, kMaxEpollEvents, timeout);
            if (stopRequested_.load()) break;
            if (n < 0) {
                if (errno != EINTR) DiagErr("accept_loop: epoll_wait error");
                continue;
            }
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == stopEventFd_) continue;
                if (fd == rangeListenFd_ || fd == fixedListenFd_) {
                    for (;;) {
                        int c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                        if (c < 0) {
                            if (errno == EINTR) continue;
                            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                            if ((errno == EMFILE || errno == ENFILE) && spare.Get() >= 0) {
                                spare.Reset();
                                int dropped = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                                if (dropped >= 0) ::close(dropped);
                                spare.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                                continue;
                            }
                            DiagErr("accept_loop: accept failed");
                            break;
                        }
                        // Handshake messages go out in several writes; do not hold them back.
                        int on = 1;
                        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                        if (!hand_over(c)) refuse(c);
                    }
                    continue;
                }
                // A refused connection: drain it until the client closes.
                for (size_t k = 0; k < lingering.size(); ++k) {
                    if (lingering[k].fd != fd) continue;
                    char scratch[4096];
                    ssize_t r;
                    while ((r = ::recv(fd, scratch, sizeof scratch, 0)) > 0) {
                    }
                    if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) dropLingering(k);
                    break;
                }
            }
            const Deadline now = Clock::now();
            for (size_t k = lingering.size(); k-- > 0;) {
                if (lingering[k].until <= now) dropLingering(k);
            }
        }
    } catch (...) {
        DiagErr("accept_loop: FATAL exception");
    }
    while (!lingering.empty()) dropLingering(lingering.size() - 1);
}

void VELM_Local_Server_Handler::worker_loop() {
    try {
        for (;;) {
            int fd;
            {
                std::unique_lock<std::mutex> lock(slotMtx_);
                slotCv_.wait(lock, [this] { return stopRequested_.load() || !pending_.empty(); });
                if (stopRequested_.load()) return;
                fd = pending_.front();
                pending_.pop_front();
                ++activeWorkers_;
            }
            serve_connection(fd);
            {
                std::lock_guard<std::mutex> lock(slotMtx_);
                --activeWorkers_;
            }
        }
    } catch (...) {
        DiagErr("worker_loop: FATAL exception");
    }
}

void VELM_Local_Server_Handler::serve_connection(int rawFd) {
    UniqueFd fd(rawFd);
    const int stopFd = stopEventFd_;
    const Deadline plainHeadDeadline = After(kPlainHeadTimeoutMs);

    // The first byte tells TLS (a handshake record) from plain HTTP. A peer that sends nothing
    // in time, or closes, is dropped without an answer.
    if (WaitFor(fd.Get(), POLLIN, plainHeadDeadline, stopFd) != WaitResult::Ready) return;
    unsigned char first = 0;
    ssize_t peeked;
    do {
        peeked = ::recv(fd.Get(), &first, 1, MSG_PEEK);
    } while (peeked < 0 && errno == EINTR);
    if (peeked != 1) return;

    auto serve = [this](Stream& stream, Deadline headDeadline) {
        VELM_Http_Request request;
        switch (ReadRequest(stream, headDeadline, request)) {
            case ReadOutcome::NoRequest:
                return;
            case ReadOutcome::BodyTooLarge:
                stream.WriteAll(resp_413(), After(kSendTimeoutMs));
                return;
            case ReadOutcome::Complete:
                break;
        }
        const std::string response = process_parsed_request(request);
        stream.WriteAll(response, After(kSendTimeoutMs));
    };

    if (first == 0x16) {
        if (!tls_) return;
        TlsStream stream(fd.Get(), stopFd);
        if (!stream.Setup(&tls_->conf)) return;
        int hs = stream.Handshake(After(kTlsHandshakeTimeoutMs));
        if (hs != 0) {
            if (hs < 0) {
                char text[201] = {0};
                mbedtls_strerror(hs, text, sizeof text);
                DiagErr("[TLS] handshake failed: " + std::to_string(hs) + " " + text);
            }
            return;
        }
        try {
            serve(stream, After(kTlsHeadTimeoutMs));
        } catch (...) {
            DiagErr("worker_loop: exception in TLS block");
            return;
        }
        stream.CloseNotify();
    } else {
        PlainStream stream(fd.Get(), stopFd);
        try {
            serve(stream, plainHeadDeadline);
        } catch (...) {
            DiagErr("worker_loop: exception in plain HTTP");
            return;
        }
    }

    // Half-close and take in what is already queued, so that closing does not reset the
    // connection under a response the client has not read yet.
    ::shutdown(fd.Get(), SHUT_WR);
    char scratch[4096];
    while (::recv(fd.Get(), scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
    }
}
