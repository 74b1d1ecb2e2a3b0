#include "pb_decode_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace velm::testsupport {

namespace {

struct Fd {
    int fd = -1;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

std::vector<std::string> DecodeDemoMessages(const std::vector<std::vector<uint8_t>>& messages) {
    std::vector<std::string> args = {"/usr/bin/python3", std::string(VELM_SOURCE_DIR) + "/tests/support/pb_decode.py"};
    for (const auto& m : messages) args.push_back(Hex(m));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    Fd readEnd{p[0]}, writeEnd{p[1]};
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(writeEnd.fd, 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    writeEnd.reset();

    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool timedOut = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd pfd{readEnd.fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0) continue;
        if (r == 0) continue;
        char buf[4096];
        ssize_t n = ::read(readEnd.fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (timedOut) throw std::runtime_error("decoder timed out");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("decoder failed: " + out);

    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t nl = out.find('\n', start);
        if (nl == std::string::npos) nl = out.size();
        lines.push_back(out.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

}  // namespace velm::testsupport
