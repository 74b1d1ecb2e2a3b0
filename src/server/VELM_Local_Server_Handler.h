#pragma once
// The local RD API server: plain and TLS HTTP on the first free port of 11100-11120 and on
// port 11200, loopback only.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Device_Comm_Mgmt;
class VELM_HTTP_Helper;
class VELM_Utils;
class VELM_Secure_Helper;
class VELM_Core_Helper;

// The RD operations the server dispatches to. The service answers them with VELM_Core_Helper
// (see the six-argument constructor); tests plug in their own.
class VELM_RD_Operations {
public:
    virtual ~VELM_RD_Operations() = default;
    virtual std::string RDInfo() = 0;
    virtual std::string DeviceInfo() = 0;
    virtual std::string Capture(const std::string& pidOptions, time_t lastCheckTime) = 0;
    virtual std::string RegisterDevice() = 0;
    virtual std::string ToUpper(const std::string& text) = 0;
};

// One parsed request as dispatch sees it.
struct VELM_Http_Request {
    std::string method;
    std::string path;  // request target, query string included
    std::map<std::string, std::string> headers;  // names lower-cased; continuation lines under ""
    std::string body;
};

class VELM_Local_Server_Handler {
public:
    struct Ports {
        int firstRangePort = 11100;
        int lastRangePort = 11120;  // inclusive
        int fixedPort = 11200;
    };

    VELM_Local_Server_Handler(Device_Comm_Mgmt* device, VELM_HTTP_Helper* http, VELM_Utils* utils,
                              VELM_Secure_Helper* secure, VELM_Core_Helper* core, bool localhostOriginOnly);
    // A server over any set of RD operations (not owned).
    VELM_Local_Server_Handler(VELM_RD_Operations* operations, bool localhostOriginOnly, Ports ports);
    virtual ~VELM_Local_Server_Handler();

    VELM_Local_Server_Handler(const VELM_Local_Server_Handler&) = delete;
    VELM_Local_Server_Handler& operator=(const VELM_Local_Server_Handler&) = delete;

    bool StartRDServiceServer();
    bool StopRDServiceServer();
    void UpdateLastCheckTime(time_t seconds);
    int CurrentPort() const;

    // Limits of one connection.
    static constexpr int kWorkerCount = 4;
    static constexpr int kPlainHeadTimeoutMs = 3000;
    static constexpr int kTlsHandshakeTimeoutMs = 5000;
    static constexpr int kTlsHeadTimeoutMs = 5000;
    static constexpr int kBodyTimeoutMs = 5000;
    static constexpr int kSendTimeoutMs = 5000;
    static constexpr size_t kMaxHeadBytes = 65535;
    static constexpr size_t kMaxBodyBytes = 1024 * 1024;
    static constexpr size_t kMaxHeaders = 64;

    // Response framing.
    std::string make_xml_response(const std::string& body, int code, const std::string& reason, bool preflight) const;
    std::string resp_200_ok(const std::string& body) const;
    std::string resp_device_busy() const;
    std::string resp_options() const;
    std::string resp_404() const;
    std::string resp_405() const;
    std::string resp_413() const;

    // The full response to one parsed request: 405 for methods outside the RD API, otherwise the
    // routed answer. Exceptions of the RD operations pass through.
    std::string process_parsed_request(const VELM_Http_Request& request);

private:
    struct TlsState;

    bool init_mbedtls_global(const std::string& certPath, const std::string& keyPath);
    void free_mbedtls_global();
    void install_local_ca() const;
    int try_bind_listen(int port) const;
    void accept_loop();
    void worker_loop();
    void serve_connection(int fd);
    bool hand_over(int fd);
    void close_all_descriptors();

    VELM_RD_Operations* operations_ = nullptr;
    std::unique_ptr<VELM_RD_Operations> ownedOperations_;
    const bool localhostOriginOnly_;
    const Ports ports_;

    std::atomic<int> currentPort_;
    std::atomic<int64_t> lastCheckTime_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> started_{false};

    std::unique_ptr<TlsState> tls_;

    // Descriptors; -1 when not open. Touched only by start/stop (threads are not running then).
    int rangeListenFd_ = -1;
    int fixedListenFd_ = -1;
    int epollFd_ = -1;
    int stopEventFd_ = -1;

    // Hand-over from the accept thread to the worker pool.
    std::mutex slotMtx_;
    std::condition_variable slotCv_;
    std::deque<int> pending_;  // accepted connections waiting for a worker
    int activeWorkers_ = 0;     // workers serving a connection (guarded by slotMtx_)

    std::thread acceptThread_;
    std::vector<std::thread> workerThreads_;
};
