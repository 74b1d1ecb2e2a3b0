#include "device/Device_Comm_Mgmt.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <mbedtls/base64.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <vector>

#include "service/Commons.h"

namespace {

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

long long DeadlineAfter(int timeoutSeconds) {
    return NowMs() + (timeoutSeconds > 0 ? static_cast<long long>(timeoutSeconds) * 1000 : 0);
}

// Owns a descriptor until it is handed over with release().
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool ContainsAny(const std::string& text, std::initializer_list<const char*> words) {
    for (const char* w : words)
        if (text.find(w) != std::string::npos) return true;
    return false;
}

const std::initializer_list<const char*> kStatusWords = {"ERR:", "STATUS_OK", "CAPTURE_TIMEOUT"};
const std::initializer_list<const char*> kEndMarkers = {"END@VELM",   "ENDFIR@VELM", "Device LOCK", "NOT Allow",
                                                        "Invalid_ts", "FAIL",        "Tamper Detected"};

const char kCrLf[] = "\r\n";

}  // namespace

Device_Comm_Mgmt::Device_Comm_Mgmt(VELM_Utils* utils) : utils(utils) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Device_Comm_Mgmt::~Device_Comm_Mgmt() {
    int fd = portFd.exchange(-1);
    if (fd >= 0) ::close(fd);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

// ---------------------------------------------------------------------------------------------
// Serial transport

bool Device_Comm_Mgmt::ConnectDevice() {
    try {
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        // Never leak a descriptor left from an earlier attempt.
        int old = portFd.exchange(-1);
        if (old >= 0) ::close(old);
        if (wakeFd_ >= 0) {
            uint64_t drained = 0;
            ssize_t ignored = ::read(wakeFd_, &drained, sizeof drained);
            (void)ignored;
        }

        const std::string path = portPath.get();
        // Non-blocking: every wait on the port goes through poll with a deadline.
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
        // Exclusive use is best effort: a tty layer without TIOCEXCL (ENOTTY, as under a
        // device-emulation preload) still gives a usable port.
        if (fd.get() < 0 || (::ioctl(fd.get(), TIOCEXCL) != 0 && errno != ENOTTY)) {
            Commons::ShowNotification("Can't open device connection.");
            return false;
        }

        struct termios tty;
        std::memset(&tty, 0, sizeof tty);
        if (::tcgetattr(fd.get(), &tty) != 0) {
            Commons::ShowNotification("Can't get device properties.");
            return false;
        }
        ::cfsetospeed(&tty, B115200);
        ::cfsetispeed(&tty, B115200);
        tty.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                              IXANY | IXOFF);
        tty.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
        tty.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSIZE | CSTOPB | PARENB);
        tty.c_cflag |= CS8 | CREAD | CLOCAL;
        tty.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | ECHONL | IEXTEN);
        std::memset(tty.c_cc, 0, sizeof tty.c_cc);
        tty.c_cc[VMIN] = 1;
        tty.c_cc[VTIME] = 0;
        if (::tcsetattr(fd.get(), TCSANOW, &tty) != 0) {
            Commons::ShowNotification("Can't set device properties.");
            return false;
        }
        portFd.store(fd.release());
        return true;
    } catch (const std::exception& e) {
        Commons::ShowNotification(std::string("Device connection error: ") + e.what());
    } catch (...) {
        Commons::ShowNotification("Fatal error.");
    }
    return false;
}

void Device_Comm_Mgmt::DisconnectDevice() {
    if (!connected.load() || portFd.load() == -1) return;
    // Stop new exchanges, wake the one that may be waiting on the port, then close once it
    // has let go of the link.
    connected.store(false);
    if (wakeFd_ >= 0) {
        uint64_t one = 1;
        ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
        (void)ignored;
    }
    std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
    int fd = portFd.exchange(-1);
    if (fd >= 0) ::close(fd);
    portPath.clear();
}

bool Device_Comm_Mgmt::SetWriteTimeout(int) { return true; }
bool Device_Comm_Mgmt::SetReadTimeout(int) { return true; }

void Device_Comm_Mgmt::FlushBuffers() {
    try {
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        int fd = portFd.load();
        if (fd < 0) return;
        // Only the queues are discarded; the line settings made by ConnectDevice stay.
        if (::tcflush(fd, TCIOFLUSH) != 0) Commons::ShowNotification("Can't flush IO buffers.");
    } catch (...) {
    }
}

Device_Comm_Mgmt::WaitResult Device_Comm_Mgmt::WaitPort(int fd, short events, long long deadlineMs) {
    for (;;) {
        long long remaining = deadlineMs - NowMs();
        if (remaining < 0) remaining = 0;
        struct pollfd fds[2];
        fds[0] = {fd, events, 0};
        fds[1] = {wakeFd_, POLLIN, 0};
        int rc = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, static_cast<int>(remaining));
        if (rc < 0) {
            if (errno == EINTR) continue;
            return WaitResult::Failed;
        }
        if (rc == 0) return WaitResult::Timeout;
        if (wakeFd_ >= 0 && (fds[1].revents & POLLIN)) return WaitResult::Woken;
        if (fds[0].revents & events) return WaitResult::Ready;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return WaitResult::Failed;
    }
}

bool Device_Comm_Mgmt::ReadExact(int fd, uint8_t* buf, std::size_t count, long long deadlineMs) {
    std::size_t got = 0;
    while (got < count) {
        if (WaitPort(fd, POLLIN, deadlineMs) != WaitResult::Ready) return false;
        ssize_t n = ::read(fd, buf + got, count - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return false;
        } else if (errno != EAGAIN && errno != EINTR) {
            return false;
        }
    }
    return true;
}

void Device_Comm_Mgmt::Pause(long long microseconds) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + std::chrono::microseconds(microseconds);
    // Sleeps the whole pause unless a disconnect wakes it.
    for (;;) {
        const long long left = duration_cast<nanoseconds>(end - steady_clock::now()).count();
        if (left <= 0) return;
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(left / 1000000000LL);
        ts.tv_nsec = static_cast<long>(left % 1000000000LL);
        struct pollfd wake = {wakeFd_, POLLIN, 0};
        if (::ppoll(&wake, wakeFd_ >= 0 ? 1 : 0, &ts, nullptr) >= 0 || errno != EINTR) return;
    }
}

bool Device_Comm_Mgmt::WriteMessageToCOM(const std::string& message, int timeout) {
    try {
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        if (!connected.load()) {
            Commons::ShowNotification("Write Error: Device not connected");
            return false;
        }
        FlushBuffers();
        SetWriteTimeout(timeout);
        const long long deadline = DeadlineAfter(timeout);
        const int fd = portFd.load();
        std::size_t sent = 0;
        while (sent < message.size()) {
            if (fd < 0 || WaitPort(fd, POLLOUT, deadline) != WaitResult::Ready) {
                Commons::ShowNotification("Can't write data to device.");
                return false;
            }
            ssize_t n = ::write(fd, message.data() + sent, message.size() - sent);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                Commons::ShowNotification("Can't write data to device.");
                return false;
            }
        }
        Pause(static_cast<long long>(message.size()) * 100 + 2500);
        return true;
    } catch (const std::exception& e) {
        Commons::ShowNotification(std::string("Write Error: ") + e.what());
    } catch (...) {
        Commons::ShowNotification("Write Error: Fatal error");
    }
    return false;
}

std::string Device_Comm_Mgmt::ReadResponseFromCOM(int timeout, int maxLength) {
    try {
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        if (!connected.load() || maxLength <= 0) return std::string();
        SetReadTimeout(timeout);
        const long long deadline = DeadlineAfter(timeout);
        const int fd = portFd.load();
        const std::size_t limit = static_cast<std::size_t>(maxLength);
        std::vector<char> buf(limit + 1, '\0');
        std::size_t filled = 0;
        bool complete = false;
        while (filled < limit) {
            WaitResult w = fd < 0 ? WaitResult::Failed : WaitPort(fd, POLLIN, deadline);
            if (w == WaitResult::Timeout || w == WaitResult::Woken) return std::string();
            if (w == WaitResult::Failed) {
                std::cerr << "Error: Unable to read from serial port." << std::endl;
                return std::string();
            }
            ssize_t n = ::read(fd, buf.data() + filled, limit - filled);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                std::cerr << "Error: Unable to read from serial port." << std::endl;
                return std::string();
            }
            if (n == 0) return std::string();  // the device went away mid-line
            const char* start = buf.data() + filled;
            const void* lf = std::memchr(start, '\n', static_cast<std::size_t>(n));
            filled += static_cast<std::size_t>(n);
            if (lf) {
                filled = static_cast<std::size_t>(static_cast<const char*>(lf) - buf.data());
                complete = true;
                break;
            }
        }
        if (!complete && filled < limit) return std::string();
        std::string line(buf.data(), filled);
        std::size_t nul = line.find('\0');
        if (nul != std::string::npos) line.resize(nul);
        return line;
    } catch (...) {
        return std::string();
    }
}

std::string Device_Comm_Mgmt::ReadResponseFromCOM(int timeout) {
    try {
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        if (!connected.load()) return std::string();
        SetReadTimeout(timeout);
        const long long deadline = DeadlineAfter(timeout);
        const int fd = portFd.load();

        // The reply is taken line by line (CR LF), whatever way the bytes are chunked on the
        // link: complete lines before the first status word are noise and dropped; the reply
        // ends with the first complete line that carries an end marker.
        std::string reply;
        std::size_t lineStart = 0;   // start of the line being assembled
        std::size_t searchFrom = 0;  // where to look for the next CR LF
        bool statusSeen = false;
        char chunk[1024];
        for (;;) {
            WaitResult w = fd < 0 ? WaitResult::Failed : WaitPort(fd, POLLIN, deadline);
            if (w == WaitResult::Timeout || w == WaitResult::Woken) return std::string();
            if (w == WaitResult::Failed) {
                Commons::ShowNotification("Read Error: Can't read data from device");
                return std::string();
            }
            ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                Commons::ShowNotification("Read Error: Can't read data from device");
                return std::string();
            }
            if (n == 0) return std::string();  // the device went away before the reply ended
            if (reply.size() + static_cast<std::size_t>(n) > kMaxCaptureReply) return std::string();
            reply.append(chunk, static_cast<std::size_t>(n));

            bool done = false;
            std::size_t pos;
            while ((pos = reply.find(kCrLf, searchFrom)) != std::string::npos) {
                const std::size_t lineEnd = pos + 2;
                const std::string line = reply.substr(lineStart, lineEnd - lineStart);
                if (!statusSeen && !ContainsAny(line, kStatusWords)) {
                    reply.erase(0, lineEnd);  // a line that is not part of the reply
                    lineStart = searchFrom = 0;
                    continue;
                }
                statusSeen = true;
                if (ContainsAny(line, kEndMarkers)) {
                    reply.resize(lineEnd);
                    done = true;
                    break;
                }
                lineStart = searchFrom = lineEnd;
            }
            if (done) break;
            // A CR at the very end may pair with an LF in the next chunk.
            searchFrom = reply.empty() ? 0 : std::max(lineStart, reply.size() - 1);
        }

        std::size_t cut = reply.find("ERR:");
        if (cut == std::string::npos) cut = reply.find("STATUS_OK");
        if (cut == std::string::npos) cut = reply.find("CAPTURE_TIMEOUT");
        return cut == std::string::npos ? reply : reply.substr(cut);
    } catch (...) {
        return std::string();
    }
}

// ---------------------------------------------------------------------------------------------
// Text commands

std::string Device_Comm_Mgmt::LineExchange(const std::string& command, int writeTimeout, int readTimeout,
                                           int maxLength) {
    try {
        if (!connected.load()) return std::string();
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        if (!WriteMessageToCOM(command, writeTimeout)) return std::string();
        return ReadResponseFromCOM(readTimeout, maxLength);
    } catch (...) {
        return std::string();
    }
}

std::string Device_Comm_Mgmt::GetDeviceSerialNumber() {
    return LineExchange(std::string("VELM_ReadSRNO ") + kCrLf, 3, 3, 32);
}
std::string Device_Comm_Mgmt::GetDeviceModelId() { return LineExchange(std::string("VELM_ReadMI ") + kCrLf, 3, 3, 32); }
std::string Device_Comm_Mgmt::GetDeviceModelCertificate() {
    return LineExchange(std::string("VELM_ReadMC ") + kCrLf, 3, 3, 4096);
}
std::string Device_Comm_Mgmt::GetDeviceCode() { return LineExchange(std::string("VELM_ReadDC ") + kCrLf, 3, 3, 128); }
std::string Device_Comm_Mgmt::GetDeviceProviderId() {
    return LineExchange(std::string("VELM_ReadDPID ") + kCrLf, 3, 3, 32);
}
std::string Device_Comm_Mgmt::GetDeviceTime() {
    return LineExchange(std::string("VELM_GetTime ") + kCrLf, 5, 5, 1024);
}
std::string Device_Comm_Mgmt::GetDeviceInfoString() {
    return LineExchange(std::string("VELM_GetInfo ") + kCrLf, 10, 5, 1024);
}
std::string Device_Comm_Mgmt::GetDeviceKey() { return LineExchange(std::string("VELM_GetKey ") + kCrLf, 10, 5, 1024); }

bool Device_Comm_Mgmt::ChangeDeviceConnMode(const std::string& payload) {
    try {
        if (!connected.load()) return false;
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        if (!WriteMessageToCOM("VELM_CHGMODE " + payload + kCrLf, 5)) return false;
        ReadResponseFromCOM(5, 32);  // the scanner's answer does not matter; it re-enumerates
        return true;
    } catch (...) {
        return false;
    }
}

bool Device_Comm_Mgmt::SetDeviceTime(const std::string& payload) {
    return LineExchange("VELM_SetTime" + payload + kCrLf, 5, 5, 32).find("Success") != std::string::npos;
}

std::string Device_Comm_Mgmt::StartDeviceRegistrationProcess(const std::string& payload) {
    return LineExchange("VELM_Registration" + payload + kCrLf, 25, 25, 4096);
}

bool Device_Comm_Mgmt::CompleteDeviceRegistrationProcess(const std::string& payload) {
    return LineExchange("VELM_Complete_Registration" + payload + kCrLf, 25, 25, 4096).find("Success") !=
           std::string::npos;
}

bool Device_Comm_Mgmt::SetUIDAIPublicKeyInDevice(const std::string& payload) {
    return LineExchange("VELM_ADDPUBKEY " + payload + kCrLf, 25, 25, 4096).find("Success") != std::string::npos;
}

std::string Device_Comm_Mgmt::GeneratePIDData(const std::string& payload) {
    return LineExchange("VELM_GeneratePID " + payload + kCrLf, 40, 40, 49152);
}

bool Device_Comm_Mgmt::CalibrateDevice() {
    return LineExchange(std::string("VELM_CALI_NB ") + kCrLf, 3, 75, 256).find("succes") != std::string::npos;
}

std::string Device_Comm_Mgmt::CaptureFingerPrint(const std::string& payload) {
    try {
        if (!connected.load()) return std::string();
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        if (!WriteMessageToCOM("VELM_SnapFinger " + payload + kCrLf, 25)) return std::string();
        return ReadResponseFromCOM(25);
    } catch (...) {
        return std::string();
    }
}

// ---------------------------------------------------------------------------------------------
// Binary frame protocol

int Device_Comm_Mgmt::CalculateCheckSum(const uint8_t* data, int first, int last) {
    if (data == nullptr || last < first || first < 0) return 0;
    int sum = 0;
    for (int i = first; i <= last; ++i) sum += data[i];
    return -sum;
}

int Device_Comm_Mgmt::BuildOEMCommand(uint8_t command, const uint8_t* payload, int16_t length, uint8_t* out,
                                      std::size_t outCapacity) {
    const int n = length > 0 ? length : 0;
    if (n > 0 && payload == nullptr) return 0;
    const std::size_t frameLength = static_cast<std::size_t>(n) + 6;
    if (out == nullptr || outCapacity < frameLength) return 0;
    const int lengthField = n + 1;
    out[0] = 0x01;
    out[1] = static_cast<uint8_t>((lengthField >> 8) & 0xFF);
    out[2] = static_cast<uint8_t>(lengthField & 0xFF);
    out[3] = command;
    if (n > 0) std::memcpy(out + 4, payload, static_cast<std::size_t>(n));
    out[n + 4] = static_cast<uint8_t>(CalculateCheckSum(out, 1, n + 3) & 0xFF);
    out[n + 5] = 0x03;
    return static_cast<int>(frameLength);
}

int Device_Comm_Mgmt::SendCommandAndWaitAckwithPayload(const uint8_t* frame, int16_t frameLength, uint8_t command,
                                                       int timeout, uint8_t* reply, std::size_t replyCapacity) {
    try {
        std::lock_guard<std::recursive_timed_mutex> lock(linkMutex_);
        if (!connected.load()) return OEM_NOT_CONNECTED;
        if (frame == nullptr || frameLength <= 0) return OEM_WRITE_FAILED;
        FlushBuffers();
        SetWriteTimeout(timeout);
        SetReadTimeout(timeout);
        const long long deadline = DeadlineAfter(timeout);
        const int fd = portFd.load();
        if (fd < 0) return OEM_WRITE_FAILED;

        const std::size_t total = static_cast<std::size_t>(frameLength);
        std::size_t sent = 0;
        while (sent < total) {
            if (WaitPort(fd, POLLOUT, deadline) != WaitResult::Ready) return OEM_WRITE_FAILED;
            ssize_t n = ::write(fd, frame + sent, total - sent);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return OEM_WRITE_FAILED;
        }

        // The acknowledgement frame: 81, length (2), command, data, checksum, 03.
        std::vector<uint8_t> rx(kOEMReceiveBufferSize, 0);
        if (!ReadExact(fd, rx.data(), 1, deadline)) return OEM_READ_FAILED;
        if (rx[0] != 0x81) return OEM_BAD_START;
        if (!ReadExact(fd, rx.data() + 1, 3, deadline)) return OEM_READ_FAILED;
        if ((rx[3] & 0x7F) != command) return OEM_OTHER_COMMAND;
        if (rx[3] & 0x80) return OEM_REFUSED;

        const std::size_t c = static_cast<std::size_t>(rx[1]) * 256 + rx[2];
        const std::size_t frameTotal = c + 5;  // whole acknowledgement frame
        if (reply == nullptr || c <= 4) {
            // Nothing to hand back; take the rest of the frame off the link when it fits,
            // otherwise the next exchange's flush drops it.
            if (frameTotal <= rx.size() && !ReadExact(fd, rx.data() + 4, frameTotal - 4, deadline))
                return OEM_READ_FAILED;
            return 0;
        }
        const std::size_t dataLength = c - 1;
        if (dataLength > replyCapacity || frameTotal > rx.size()) return OEM_ANSWER_TOO_LONG;
        if (!ReadExact(fd, rx.data() + 4, frameTotal - 4, deadline)) return OEM_READ_FAILED;
        std::memcpy(reply, rx.data() + 4, dataLength);
        return static_cast<int>(dataLength);
    } catch (const std::exception&) {
        return OEM_EXCEPTION;
    } catch (...) {
        return OEM_FATAL;
    }
}

int Device_Comm_Mgmt::QueryOEM(uint8_t command, uint8_t* reply, std::size_t replyCapacity, bool dumpFrame) {
    uint8_t frame[1024];
    const int len = BuildOEMCommand(command, nullptr, 0, frame, sizeof frame);
    if (dumpFrame) {
        std::string dump = "\n";
        for (int i = 0; i < len; ++i) dump += std::to_string(frame[i]) + " ";
        std::cout << dump << "\n" << std::flush;
    }
    return SendCommandAndWaitAckwithPayload(frame, static_cast<int16_t>(len), command, kOEMTimeout, reply,
                                            replyCapacity);
}

std::string Device_Comm_Mgmt::GetOEMChipNumber() {
    try {
        uint8_t reply[kOEMReplyBufferSize];
        const int n = QueryOEM(0x48, reply, sizeof reply);
        if (n < 4) return std::string();
        uint32_t value = static_cast<uint32_t>(reply[0]) | (static_cast<uint32_t>(reply[1]) << 8) |
                         (static_cast<uint32_t>(reply[2]) << 16) | (static_cast<uint32_t>(reply[3]) << 24);
        return std::to_string(static_cast<int32_t>(value));
    } catch (...) {
        return std::string();
    }
}

std::string Device_Comm_Mgmt::GetOEMDeviceSerialNumber() {
    try {
        uint8_t reply[kOEMReplyBufferSize];
        const int n = QueryOEM(0x70, reply, sizeof reply);
        if (n <= 0) return std::string();
        const char* text = reinterpret_cast<const char*>(reply);
        const void* nul = std::memchr(text, '\0', static_cast<std::size_t>(n));
        std::size_t count = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text)
                                : static_cast<std::size_t>(n);
        return std::string(text, count);
    } catch (...) {
        return std::string();
    }
}

std::string Device_Comm_Mgmt::GetOEMDeviceKeyString() {
    try {
        uint8_t reply[kOEMReplyBufferSize];
        const int n = QueryOEM(0x71, reply, sizeof reply, /*dumpFrame=*/true);
        if (n <= 0) return std::string();
        unsigned char b64[((kOEMReplyBufferSize + 2) / 3) * 4 + 1];
        std::size_t olen = 0;
        if (mbedtls_base64_encode(b64, sizeof b64, &olen, reply, static_cast<std::size_t>(n)) != 0)
            return std::string();
        return std::string(reinterpret_cast<const char*>(b64), olen);
    } catch (...) {
        return std::string();
    }
}

int Device_Comm_Mgmt::GetOEMDeviceVer(uint8_t* out, std::size_t outCapacity) {
    try {
        uint8_t reply[kOEMReplyBufferSize];
        const int n = QueryOEM(0x3E, reply, sizeof reply);
        if (n <= 0 || out == nullptr || static_cast<std::size_t>(n) > outCapacity) return -1;
        std::memcpy(out, reply, static_cast<std::size_t>(n));
        return n;
    } catch (const std::exception&) {
        return -99;
    } catch (...) {
        return -999;
    }
}

bool Device_Comm_Mgmt::EraseFlash() {
    try {
        // First address 0x00040000, last address 0x000E6FFF.
        const uint8_t range[8] = {0x00, 0x04, 0x00, 0x00, 0x00, 0x0E, 0x6F, 0xFF};
        uint8_t frame[1024];
        int len = BuildOEMCommand(0x12, range, sizeof range, frame, sizeof frame);
        return SendCommandAndWaitAckwithPayload(frame, static_cast<int16_t>(len), 0x12, kOEMTimeout, nullptr, 0) >= 0;
    } catch (...) {
        return false;
    }
}

bool Device_Comm_Mgmt::ApplyImage() {
    try {
        const uint8_t apply[1] = {0x01};
        uint8_t frame[1024];
        int len = BuildOEMCommand(0x3D, apply, sizeof apply, frame, sizeof frame);
        return SendCommandAndWaitAckwithPayload(frame, static_cast<int16_t>(len), 0x3D, kOEMTimeout, nullptr, 0) >= 0;
    } catch (...) {
        return false;
    }
}
