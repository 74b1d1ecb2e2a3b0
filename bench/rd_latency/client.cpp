// Latency client: N sequential requests, a new connection each, plain or TLS (OpenSSL).
// Prints one latency per line in microseconds (connect to the server's close).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s plain|tls PORT COUNT EXPECTED_BODY_SUBSTRING [CAFILE]\n", argv[0]);
        return 2;
    }
    const bool tls = std::strcmp(argv[1], "tls") == 0;
    const int port = std::atoi(argv[2]);
    const int count = std::atoi(argv[3]);
    const std::string expect = argv[4];
    const std::string request = "RDSERVICE / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

    SSL_CTX* ctx = nullptr;
    if (tls) {
        ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);  // what both servers speak
        SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        if (argc < 6 || SSL_CTX_load_verify_locations(ctx, argv[5], nullptr) != 1) {
            std::fprintf(stderr, "cannot load CA\n");
            return 2;
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    }

    std::vector<long> out;
    out.reserve(static_cast<size_t>(count));
    char buf[16384];
    for (int i = 0; i < count; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        int fd = Connect(port);
        if (fd < 0) {
            std::fprintf(stderr, "connect failed\n");
            return 1;
        }
        std::string got;
        if (tls) {
            SSL* ssl = SSL_new(ctx);
            SSL_set_fd(ssl, fd);
            SSL_set_tlsext_host_name(ssl, "localhost");
            SSL_set1_host(ssl, "localhost");
            if (SSL_connect(ssl) != 1) {
                ERR_print_errors_fp(stderr);
                return 1;
            }
            SSL_write(ssl, request.data(), static_cast<int>(request.size()));
            int n;
            while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
            SSL_free(ssl);
        } else {
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            ssize_t n;
            while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
        }
        ::close(fd);
        const auto t1 = std::chrono::steady_clock::now();
        if (got.compare(0, 15, "HTTP/1.1 200 OK") != 0 || got.find(expect) == std::string::npos) {
            std::fprintf(stderr, "unexpected answer: %.200s\n", got.c_str());
            return 1;
        }
        out.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(t1 - t0).count()));
    }
    for (long us : out) std::printf("%ld\n", us);
    if (ctx) SSL_CTX_free(ctx);
    return 0;
}
