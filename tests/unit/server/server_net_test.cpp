// The server over real sockets, each test in a network namespace of its own.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "server/VELM_Local_Server_Handler.h"
#include "server_test_support.h"
#include "service/Profile.h"

namespace fs = std::filesystem;
using velm::servertest::FakeOperations;

namespace {

constexpr int kGuardMs = 30000;  // failure guard only; no test depends on it

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool EnterOwnNetworkNamespace() {
    if (::unshare(CLONE_NEWNET) != 0) return false;
    Fd s(::socket(AF_INET, SOCK_DGRAM, 0));
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, IFNAMSIZ, "lo");
    if (::ioctl(s.get(), SIOCGIFFLAGS, &ifr) != 0) return false;
    ifr.ifr_flags |= IFF_UP;
    return ::ioctl(s.get(), SIOCSIFFLAGS, &ifr) == 0;
}

Fd Connect(int port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << "port " << port;
    return fd;
}

Fd Listen(int port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(fd.get(), 4), 0);
    return fd;
}

void SendAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;  // the server may have closed; the reply tells
        off += static_cast<size_t>(n);
    }
}

// Everything the server sends until it closes (or the guard ends the wait).
std::string ReadUntilClose(int fd) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            ADD_FAILURE() << "server did not close the connection";
            return out;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string Exchange(int port, const std::string& request) {
    Fd fd = Connect(port);
    SendAll(fd.get(), request);
    return ReadUntilClose(fd.get());
}

// A small TLS client that accepts exactly the installed server certificate (the TLS library
// cannot load the local CA, whose name constraints it does not support).
class TlsClient {
public:
    explicit TlsClient(int port) : fd_(Connect(port)) {
        mbedtls_ssl_init(&ssl_);
        mbedtls_ssl_config_init(&conf_);
        mbedtls_x509_crt_init(&ca_);
        mbedtls_ctr_drbg_init(&drbg_);
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, nullptr, 0);
        const std::string cert = std::string(VELM_SOURCE_DIR) + "/install/localhost.cer";
        EXPECT_EQ(mbedtls_x509_crt_parse_file(&ca_, cert.c_str()), 0);
        mbedtls_ssl_config_defaults(&conf_, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
        mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_ca_chain(&conf_, &ca_, nullptr);
        mbedtls_ssl_conf_verify(&conf_, Verify, &ca_);
        mbedtls_ssl_conf_rng(&conf_, mbedtls_ctr_drbg_random, &drbg_);
        mbedtls_ssl_conf_read_timeout(&conf_, kGuardMs);
        mbedtls_ssl_setup(&ssl_, &conf_);
        mbedtls_ssl_set_hostname(&ssl_, "localhost");
        mbedtls_ssl_set_bio(&ssl_, &fdValue_, Send, nullptr, RecvTimeout);
        fdValue_ = fd_.get();
    }
    ~TlsClient() {
        mbedtls_ssl_free(&ssl_);
        mbedtls_ssl_config_free(&conf_);
        mbedtls_x509_crt_free(&ca_);
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }

    int Handshake() { return mbedtls_ssl_handshake(&ssl_); }

    std::string Exchange(const std::string& request) {
        if (Handshake() != 0) return "<handshake failed>";
        size_t off = 0;
        while (off < request.size()) {
            int n = mbedtls_ssl_write(&ssl_, reinterpret_cast<const unsigned char*>(request.data()) + off, request.size() - off);
            if (n <= 0) return "<write failed>";
            off += static_cast<size_t>(n);
        }
        std::string out;
        for (;;) {
            unsigned char buf[4096];
            int n = mbedtls_ssl_read(&ssl_, buf, sizeof buf);
            if (n <= 0) return out;
            out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        }
    }

private:
    static int Verify(void* expected, mbedtls_x509_crt* crt, int depth, uint32_t* flags) {
        auto* want = static_cast<mbedtls_x509_crt*>(expected);
        if (depth == 0 && crt->raw.len == want->raw.len && std::memcmp(crt->raw.p, want->raw.p, crt->raw.len) == 0) {
            *flags = 0;
        }
        return 0;
    }
    static int Send(void* ctx, const unsigned char* buf, size_t len) {
        ssize_t n = ::send(*static_cast<int*>(ctx), buf, len, MSG_NOSIGNAL);
        return n < 0 ? MBEDTLS_ERR_SSL_INTERNAL_ERROR : static_cast<int>(n);
    }
    static int RecvTimeout(void* ctx, unsigned char* buf, size_t len, uint32_t timeoutMs) {
        pollfd p{*static_cast<int*>(ctx), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeoutMs)) == 0) return MBEDTLS_ERR_SSL_TIMEOUT;
        ssize_t n = ::recv(p.fd, buf, len, 0);
        return n < 0 ? MBEDTLS_ERR_SSL_INTERNAL_ERROR : static_cast<int>(n);
    }

    Fd fd_;
    int fdValue_ = -1;
    mbedtls_ssl_context ssl_;
    mbedtls_ssl_config conf_;
    mbedtls_x509_crt ca_;
    mbedtls_ctr_drbg_context drbg_;
    mbedtls_entropy_context entropy_;
};

std::string Body(const std::string& response) {
    auto p = response.find("\r\n\r\n");
    return p == std::string::npos ? std::string("<no head>") : response.substr(p + 4);
}

class ServerNet : public ::testing::Test {
protected:
    void SetUp() override {
        if (!EnterOwnNetworkNamespace()) GTEST_SKIP() << "needs root for a network namespace of its own";
        const fs::path base = fs::path(VELM_BINARY_DIR) / "test-tmp";
        fs::create_directories(base);
        std::string tmpl = (base / "server-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
        const fs::path install = root_ / "opt";
        fs::create_directories(install);
        for (const char* f : {"localhost.cer", "localhost_legacy.key", "velm_localhost_ca.crt"}) {
            fs::copy_file(fs::path(VELM_SOURCE_DIR) / "install" / f, install / f);
        }
        fs::create_directories(root_ / "ca-certificates");
        const fs::path bin = root_ / "bin";
        fs::create_directories(bin);
        record_ = root_ / "update-ca-certificates.calls";
        {
            std::ofstream script(bin / "update-ca-certificates");
            script << "#!/bin/sh\necho \"called $#\" >> '" << record_.string() << "'\n";
        }
        fs::permissions(bin / "update-ca-certificates", fs::perms::owner_all);
        const char* path = std::getenv("PATH");
        ::setenv("PATH", (bin.string() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);

        velm::profile::Profile p = velm::profile::BuiltIn();
        p.installDir = install.string();
        p.trustStoreDir = (root_ / "ca-certificates").string();
        velm::profile::OverrideForTesting(p);
    }

    void TearDown() override {
        server_.reset();
        if (!root_.empty()) fs::remove_all(root_);
    }

    VELM_Local_Server_Handler& Start() {
        server_ = std::make_unique<VELM_Local_Server_Handler>(&ops_, false, VELM_Local_Server_Handler::Ports{});
        EXPECT_TRUE(server_->StartRDServiceServer());
        return *server_;
    }

    FakeOperations ops_;
    std::unique_ptr<VELM_Local_Server_Handler> server_;
    fs::path root_;
    fs::path record_;
};

const std::string kRdService = "RDSERVICE / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

TEST_F(ServerNet, InstallsLocalCaAndServesPlainAndTlsOnBothPorts) {
    testing::internal::CaptureStdout();
    auto& server = Start();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("VELM RD server started on ports: 11100 and 11200\n"), std::string::npos) << out;

    std::ifstream calls(record_);
    std::string line;
    ASSERT_TRUE(std::getline(calls, line));
    EXPECT_EQ(line, "called 0");
    std::ifstream a(root_ / "opt/velm_localhost_ca.crt"), b(root_ / "ca-certificates/velm_localhost_ca.crt");
    std::stringstream sa, sb;
    sa << a.rdbuf();
    sb << b.rdbuf();
    EXPECT_FALSE(sa.str().empty());
    EXPECT_EQ(sa.str(), sb.str());

    const std::string expected = server.resp_200_ok(ops_.rdInfo);
    for (int port : {11100, 11200}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(Exchange(port, kRdService), expected);
        TlsClient tls(port);
        EXPECT_EQ(tls.Exchange(kRdService), expected);
    }
    // A method outside the RD API gets 405 both ways.
    EXPECT_EQ(Exchange(11200, "GET / HTTP/1.1\r\n\r\n"), server.resp_405());
    TlsClient tls(11100);
    EXPECT_EQ(tls.Exchange("GET / HTTP/1.1\r\n\r\n"), server.resp_405());
}

TEST_F(ServerNet, TrustStoreUpdateStartsWithDefaultSignalDispositions) {
    // The service ignores SIGPIPE; the program it runs must not inherit that.
    const fs::path script = root_ / "bin" / "update-ca-certificates";
    const fs::path status = root_ / "sigign";
    {
        std::ofstream out(script, std::ios::trunc);
        out << "#!/bin/sh\nsed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status > '" << status.string() << "'\n";
    }
    fs::permissions(script, fs::perms::owner_all);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
    testing::internal::CaptureStdout();
    Start();
    testing::internal::GetCapturedStdout();
    ::sigaction(SIGPIPE, &previous, nullptr);

    std::ifstream in(status);
    std::string mask;
    ASSERT_TRUE(std::getline(in, mask)) << "the program did not run";
    const unsigned long long ignored = std::stoull(mask, nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << "SigIgn " << mask;
}

TEST_F(ServerNet, TakenRangePortsAreSkippedAndLocationNamesTheBoundPort) {
    Fd a = Listen(11100), b = Listen(11101);
    auto& server = Start();
    EXPECT_EQ(server.CurrentPort(), 11102);
    const std::string reply = Exchange(11200, kRdService);
    EXPECT_NE(reply.find("\r\nLocation: HTTP://127.0.0.1:11102/\r\n"), std::string::npos) << reply;
}

TEST_F(ServerNet, StartFailsWithoutFreePorts) {
    {
        std::vector<Fd> held;
        for (int p = 11100; p <= 11120; ++p) held.push_back(Listen(p));
        VELM_Local_Server_Handler server(&ops_, false, {});
        testing::internal::CaptureStderr();
        EXPECT_FALSE(server.StartRDServiceServer());
        EXPECT_NE(testing::internal::GetCapturedStderr().find("No free port in range\n"), std::string::npos);
    }
    {
        Fd fixed = Listen(11200);
        VELM_Local_Server_Handler server(&ops_, false, {});
        testing::internal::CaptureStderr();
        EXPECT_FALSE(server.StartRDServiceServer());
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to bind fixed port\n"), std::string::npos);
        // The range socket was released again.
        Fd again = Listen(11100);
    }
}

TEST_F(ServerNet, StartFailsWithoutTlsMaterial) {
    fs::remove(root_ / "opt/localhost_legacy.key");
    VELM_Local_Server_Handler server(&ops_, false, {});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(server.StartRDServiceServer());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed load key\nTLS initialization failed\n"), std::string::npos) << err;
}

TEST_F(ServerNet, RequestBodiesAreAssembled) {
    Start();
    const std::string body = "0123456789";
    // Byte by byte.
    {
        Fd fd = Connect(11100);
        const std::string req = "CAPTURE /rd/capture HTTP/1.1\r\nContent-Length: 10\r\n\r\n" + body;
        for (char c : req) SendAll(fd.get(), std::string(1, c));
        EXPECT_EQ(Body(ReadUntilClose(fd.get())), ops_.capture + "\r\n");
        EXPECT_EQ(ops_.LastCaptureBody(), body);
    }
    // The header name in lower case and the body in a later segment. The pause gives a server that
    // ignored the header the chance to answer before the body is sent.
    for (const char* name : {"Content-Length", "content-length", "CONTENT-LENGTH"}) {
        SCOPED_TRACE(name);
        Fd fd = Connect(11200);
        SendAll(fd.get(), std::string("CAPTURE /rd/capture HTTP/1.1\r\n") + name + ": 10\r\n\r\n01234");
        pollfd p{fd.get(), POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 300), 0) << "answered before the body was complete";
        SendAll(fd.get(), "56789");
        EXPECT_EQ(Body(ReadUntilClose(fd.get())), ops_.capture + "\r\n");
        EXPECT_EQ(ops_.LastCaptureBody(), body);
    }
    // Bytes beyond Content-Length are not part of the body; a body cut short by the client's
    // half-close is served as it arrived.
    EXPECT_EQ(Body(Exchange(11100, "CAPTURE /rd/capture HTTP/1.1\r\nContent-Length: 4\r\n\r\nABCDEFGH")),
              ops_.capture + "\r\n");
    EXPECT_EQ(ops_.LastCaptureBody(), "ABCD");
    {
        Fd fd = Connect(11100);
        SendAll(fd.get(), "CAPTURE /rd/capture HTTP/1.1\r\nContent-Length: 100\r\n\r\nshort");
        ::shutdown(fd.get(), SHUT_WR);
        EXPECT_EQ(Body(ReadUntilClose(fd.get())), ops_.capture + "\r\n");
        EXPECT_EQ(ops_.LastCaptureBody(), "short");
    }
}

TEST_F(ServerNet, OversizedAndMalformedRequests) {
    auto& server = Start();
    // A body above the limit is refused without being read.
    {
        Fd fd = Connect(11100);
        SendAll(fd.get(), "CAPTURE /rd/capture HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n");
        EXPECT_EQ(ReadUntilClose(fd.get()), server.resp_413());
    }
    EXPECT_EQ(Exchange(11100, "CAPTURE /rd/capture HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n"),
              server.resp_413());
    // 65 header lines, a broken request line, a head that never ends: no answer at all.
    std::string many = "RDSERVICE / HTTP/1.1\r\n";
    for (int i = 0; i < 65; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(Exchange(11100, many + "\r\n"), "");
    EXPECT_EQ(Exchange(11100, "RDSERVICE /\x01 HTTP/1.1\r\n\r\n"), "");
    EXPECT_EQ(Exchange(11100, std::string(70000, 'A')), "");
    EXPECT_TRUE(ops_.CaptureBodies().empty());
    // The server is still serving.
    EXPECT_EQ(Exchange(11100, kRdService), server.resp_200_ok(ops_.rdInfo));
}

TEST_F(ServerNet, DiscoveryAndPreflightAnswerWhileCapturesHoldWorkers) {
    auto& server = Start();
    ops_.HoldCaptures();
    std::vector<Fd> captures;
    for (int i = 0; i < 3; ++i) {
        captures.push_back(Connect(11100));
        SendAll(captures.back().get(), "CAPTURE /rd/capture HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    }
    ASSERT_TRUE(ops_.WaitForCapturesInside(3));
    EXPECT_EQ(Exchange(11200, kRdService), server.resp_200_ok(ops_.rdInfo));
    EXPECT_EQ(Exchange(11100, "OPTIONS /rd/capture HTTP/1.1\r\nAccess-Control-Request-Method: CAPTURE\r\n\r\n"),
              server.resp_options());
    ops_.ReleaseCaptures();
    for (auto& c : captures) EXPECT_EQ(ReadUntilClose(c.get()), server.resp_200_ok(ops_.capture));
}

TEST_F(ServerNet, BusyAnswerOnceThePoolAndTheSlotAreFull) {
    auto& server = Start();
    ops_.HoldCaptures();
    std::vector<Fd> captures;
    for (int i = 0; i < VELM_Local_Server_Handler::kWorkerCount; ++i) {
        captures.push_back(Connect(11100));
        SendAll(captures.back().get(), "CAPTURE /rd/capture HTTP/1.1\r\n\r\n");
    }
    ASSERT_TRUE(ops_.WaitForCapturesInside(VELM_Local_Server_Handler::kWorkerCount));
    // Every worker is busy: the next connection waits in the slot, the one after is refused.
    Fd waiting = Connect(11100);
    Fd refused = Connect(11100);
    SendAll(refused.get(), kRdService);
    EXPECT_EQ(ReadUntilClose(refused.get()), server.resp_device_busy());
    // Over TLS the refusal is the same plain answer.
    Fd refusedTls = Connect(11200);
    SendAll(refusedTls.get(), std::string("\x16\x03\x01", 3));
    EXPECT_EQ(ReadUntilClose(refusedTls.get()), server.resp_device_busy());

    ops_.ReleaseCaptures();
    SendAll(waiting.get(), kRdService);
    EXPECT_EQ(ReadUntilClose(waiting.get()), server.resp_200_ok(ops_.rdInfo));
    for (auto& c : captures) EXPECT_EQ(ReadUntilClose(c.get()), server.resp_200_ok(ops_.capture));
}

TEST_F(ServerNet, StalledClientsAreDroppedAtTheirDeadline) {
    auto& server = Start();
    // Plain clients that send part of a head, TLS clients that stop inside the handshake or
    // after it, and one that sends nothing: together more than the pool and the slot hold.
    std::vector<Fd> stalled;
    stalled.push_back(Connect(11100));
    SendAll(stalled.back().get(), "RDSERVICE / HTTP/1.1\r\n");
    stalled.push_back(Connect(11200));
    SendAll(stalled.back().get(), std::string("\x16\x03\x01\x00", 4));
    stalled.push_back(Connect(11100));
    stalled.push_back(Connect(11200));
    SendAll(stalled.back().get(), "CAPTURE /rd/capture HTTP/1.1\r\nContent-Length: 50\r\n\r\npartial");
    TlsClient tlsStalled(11100);
    ASSERT_EQ(tlsStalled.Handshake(), 0);
    // Each stalled connection is closed by the server without an answer, except the one whose
    // body never completed, which is served with what arrived.
    for (size_t i = 0; i < stalled.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string got = ReadUntilClose(stalled[i].get());
        if (i == 3) {
            EXPECT_EQ(got, server.resp_200_ok(ops_.capture));
        } else {
            EXPECT_EQ(got, "");
        }
    }
    EXPECT_EQ(tlsStalled.Exchange(""), "");
    // The next client is served.
    EXPECT_EQ(Exchange(11100, kRdService), server.resp_200_ok(ops_.rdInfo));
    TlsClient tls(11200);
    EXPECT_EQ(tls.Exchange(kRdService), server.resp_200_ok(ops_.rdInfo));
}

TEST_F(ServerNet, StopEndsStalledConnectionsAndTwiceIsHarmless) {
    auto& server = Start();
    Fd stalled = Connect(11100);
    SendAll(stalled.get(), "RDSERVICE / HTTP/1.1\r\n");
    Fd waiting = Connect(11200);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(server.StopRDServiceServer());
    EXPECT_TRUE(server.StopRDServiceServer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "VELM RD server stopped\nVELM RD server stopped\n");
    EXPECT_EQ(ReadUntilClose(stalled.get()), "");
    EXPECT_EQ(ReadUntilClose(waiting.get()), "");
    // Listeners are gone; the ports can be bound again.
    Fd again = Listen(11100);
}

}  // namespace
