#pragma once
// Test fixtures of the HTTPS client: a child process with a readable standard output, the
// management-server twin run as such a child, its JSON control port, and tinyproxy.
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace nettest {

inline std::string MakeTempDir(const std::string& tag) {
    const std::string base = std::string(VELM_BINARY_DIR) + "/test-tmp";
    ::mkdir(base.c_str(), 0755);
    std::string t = base + "/" + tag + "-XXXXXX";
    if (!::mkdtemp(t.data())) return "";
    return t;
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

inline std::string Base64(const std::string& in) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], k[v & 63]};
    }
    if (in.size() - i == 1) {
        const unsigned v = (unsigned char)in[i] << 16;
        out += {k[v >> 18], k[(v >> 12) & 63], '=', '='};
    } else if (in.size() - i == 2) {
        const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], '='};
    }
    return out;
}

// A port nobody listens on right now (bound, read, released). Another process may take it
// before the caller does; callers that hand it to a server retry on a bind failure.
inline int FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

// A loopback port that refuses every connection for as long as the object lives: it is bound
// but never listened on, so no other process can start listening there meanwhile.
class RefusingPort {
public:
    RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~RefusingPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port = -1;

private:
    int fd_;
};

// A child process whose standard output the test reads line by line; it gets SIGTERM when the
// test process dies and is stopped (by its pid) when the object goes.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Stop(); }

    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return false;
        std::vector<char*> a, e;
        for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        for (auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
        e.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) {
            ::close(p[0]);
            ::close(p[1]);
            return false;
        }
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(126);
            ::dup2(p[1], 1);
            if (::chdir(cwd.c_str()) != 0) ::_exit(125);
            ::execve(a[0], a.data(), e.data());
            ::_exit(127);
        }
        ::close(p[1]);
        out_ = p[0];
        return true;
    }

    // Reads lines until one contains `needle`; false after timeoutMs or at end of output.
    bool WaitForLine(const std::string& needle, int timeoutMs, std::string* line = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t nl;
            while ((nl = buf_.find('\n')) != std::string::npos) {
                std::string l = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                seen_.push_back(l);
                if (l.find(needle) != std::string::npos) {
                    if (line) *line = l;
                    return true;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || out_ < 0) return false;
            pollfd pfd{out_, POLLIN, 0};
            const int r = ::poll(&pfd, 1, static_cast<int>(left));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            char chunk[4096];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Lines read since the last call.
    std::vector<std::string> TakeSeen() {
        std::vector<std::string> s;
        s.swap(seen_);
        return s;
    }

    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
            if (pidfd >= 0) {
                pollfd pfd{pidfd, POLLIN, 0};
                if (::poll(&pfd, 1, 10000) <= 0) ::kill(pid_, SIGKILL);
                ::close(pidfd);
            } else {
                ::kill(pid_, SIGKILL);
            }
            int st;
            ::waitpid(pid_, &st, 0);
            pid_ = -1;
        }
        if (out_ >= 0) ::close(out_);
        out_ = -1;
        buf_.clear();
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buf_;
    std::vector<std::string> seen_;
};

inline size_t CollectBody(char* p, size_t s, size_t n, void* u) {
    static_cast<std::string*>(u)->append(p, s * n);
    return s * n;
}

// The management-server twin as a child process.
class Twin {
public:
    bool Start(const std::string& stateDir, const std::string& tlsMode = "good") {
        const std::string src = VELM_SOURCE_DIR;
        if (!child_.Start({"/usr/bin/python3", "-m", "sim.server", "--state-dir", stateDir, "--port", "0",
                           "--control-port", "0", "--tls-mode", tlsMode},
                          {"PYTHONPATH=" + src, "PYTHONDONTWRITEBYTECODE=1", "PATH=/usr/bin:/bin"}, src))
            return false;
        std::string line;
        if (!child_.WaitForLine("\"origin\"", 90000, &line)) return false;
        std::smatch m;
        if (!std::regex_search(line, m, std::regex("\"port\": (\\d+)"))) return false;
        port = std::stoi(m[1]);
        if (!std::regex_search(line, m, std::regex("\"control_port\": (\\d+)"))) return false;
        controlPort = std::stoi(m[1]);
        if (!std::regex_search(line, m, std::regex("\"ca\": \"([^\"]+)\""))) return false;
        caPath = m[1];
        origin = "https://127.0.0.1:" + std::to_string(port);
        return true;
    }

    // One call to the control port; returns the body ("" and ok=false on failure).
    std::string Control(const std::string& method, const std::string& path, const std::string& json = "",
                        bool* ok = nullptr) const {
        CURL* c = curl_easy_init();
        std::string body;
        const std::string url = "http://127.0.0.1:" + std::to_string(controlPort) + path;
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_PROXY, "");
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, CollectBody);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
        curl_slist* h = curl_slist_append(nullptr, "Content-Type: application/json");
        if (method == "POST") {
            curl_easy_setopt(c, CURLOPT_HTTPHEADER, h);
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, json.empty() ? "{}" : json.c_str());
        }
        const CURLcode rc = curl_easy_perform(c);
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        curl_slist_free_all(h);
        curl_easy_cleanup(c);
        if (ok) *ok = rc == CURLE_OK && status == 200;
        return body;
    }

    int RequestCount() const { return std::atoi(Control("GET", "/requests/count").c_str()); }
    std::string LastRequest(const std::string& field) const { return Control("GET", "/requests/-1/" + field); }

    int port = 0;
    int controlPort = 0;
    std::string caPath;
    std::string origin;

private:
    Child child_;
};

// tinyproxy on a loopback port, in the foreground, logging to its standard output.
class Tinyproxy {
public:
    bool Start(const std::string& dir, const std::string& user = "", const std::string& password = "") {
        // The free port may be taken by another process before tinyproxy binds it; then
        // tinyproxy ends at once and another port is tried.
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = FreePort();
            const std::string conf = dir + "/tinyproxy.conf";
            std::string text = "Port " + std::to_string(port) +
                               "\nListen 127.0.0.1\nTimeout 30\nLogLevel Info\nMaxClients 20\nAllow 127.0.0.1\n";
            if (!user.empty()) text += "BasicAuth " + user + " " + password + "\n";
            WriteFile(conf, text);
            if (!child_.Start({"/usr/bin/tinyproxy", "-d", "-c", conf}, {"PATH=/usr/bin:/bin"}, dir)) return false;
            if (child_.WaitForLine("Accepting connections", 30000)) return true;
            child_.Stop();
        }
        return false;
    }
    // Number of tunnels requested to `target` (host:port) before the tunnel to `sentinel` shows up.
    int CountConnectsBefore(const std::string& target, const std::string& sentinel) {
        child_.TakeSeen();
        if (!child_.WaitForLine("CONNECT " + sentinel, 30000)) return -1;
        int n = 0;
        for (const auto& l : child_.TakeSeen())
            if (l.find("CONNECT " + target + " ") != std::string::npos) ++n;
        return n;
    }
    // Lines logged so far that were not yet looked at are dropped.
    void Forget() { child_.TakeSeen(); }
    int port = 0;

private:
    Child child_;
};

}  // namespace nettest
