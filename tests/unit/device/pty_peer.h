#pragma once
// A scripted scanner on the master side of a pty pair. The link under test opens the slave.
// The peer collects each request (a CR LF line, or a binary command frame), records it and
// answers with whatever the handler returns. All its waits end when the peer is stopped.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velm_test {

class PtyPeer {
public:
    enum class Mode { Lines, Frames };
    // Returns the bytes to send back for one request.
    using Handler = std::function<std::string(const std::string& request)>;

    PtyPeer() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pty");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no pty name");
        slavePath_ = name;
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~PtyPeer() {
        Stop();
        ::close(master_);
        ::close(stopFd_);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }

    void Start(Mode mode, Handler handler) {
        mode_ = mode;
        handler_ = std::move(handler);
        thread_ = std::thread([this] { Run(); });
    }

    void Stop() {
        if (!thread_.joinable()) return;
        uint64_t one = 1;
        ssize_t ignored = ::write(stopFd_, &one, sizeof one);
        (void)ignored;
        thread_.join();
    }

    std::vector<std::string> Received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    // Blocks until at least n requests have arrived (or the peer stopped).
    void WaitForRequests(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return received_.size() >= n || finished_; });
    }

    // Writes all of data to the master, giving up when stopped. For handlers that answer
    // in pieces.
    bool Send(const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            if (!WaitFor(POLLOUT, -1)) return false;
            ssize_t n = ::write(master_, data.data() + sent, data.size() - sent);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
        }
        return true;
    }

    // Waits up to ms milliseconds; false when the peer is being stopped.
    bool Idle(int ms) {
        struct pollfd p = {stopFd_, POLLIN, 0};
        return ::poll(&p, 1, ms) == 0;
    }

private:
    // True when the master is ready for events; false when stopped or on error.
    bool WaitFor(short events, int ms) {
        struct pollfd fds[2] = {{master_, events, 0}, {stopFd_, POLLIN, 0}};
        for (;;) {
            int rc = ::poll(fds, 2, ms);
            if (rc < 0 && errno == EINTR) continue;
            if (rc <= 0 || (fds[1].revents & POLLIN)) return false;
            if (fds[0].revents & events) return true;
            // Slave closed: nothing more will come; wait for the stop.
            struct pollfd s = {stopFd_, POLLIN, 0};
            ::poll(&s, 1, -1);
            return false;
        }
    }

    bool NextRequest(std::string& buffer, std::string& request) {
        if (mode_ == Mode::Lines) {
            std::size_t pos = buffer.find("\r\n");
            if (pos == std::string::npos) return false;
            request = buffer.substr(0, pos + 2);
            buffer.erase(0, pos + 2);
            return true;
        }
        if (buffer.size() < 3) return false;
        std::size_t total = (static_cast<uint8_t>(buffer[1]) << 8 | static_cast<uint8_t>(buffer[2])) + 5u;
        if (buffer.size() < total) return false;
        request = buffer.substr(0, total);
        buffer.erase(0, total);
        return true;
    }

    void Run() {
        std::string buffer;
        char chunk[4096];
        while (WaitFor(POLLIN, -1)) {
            ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(n));
            std::string request;
            while (NextRequest(buffer, request)) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.push_back(request);
                }
                cv_.notify_all();
                std::string answer = handler_ ? handler_(request) : std::string();
                if (!answer.empty() && !Send(answer)) break;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        cv_.notify_all();
    }

    int master_ = -1;
    int stopFd_ = -1;
    std::string slavePath_;
    Mode mode_ = Mode::Lines;
    Handler handler_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> received_;
    bool finished_ = false;
};

}  // namespace velm_test
