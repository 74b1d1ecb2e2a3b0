#pragma once
// The time-sync thread: keeps the host clock, and with it the scanner's clock, within three
// minutes of the management server's clock. A check runs about once an hour, and at once
// when the host clock was moved (a wall-clock step that the monotonic clock did not make).
//
// The loop talks to the world only through the hooks of TimeSyncContext, so tests can drive
// it with a fake clock and sleeper; BindTimeSync fills the hooks from the service objects.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

class VELM_Core_Helper;
class VELM_HTTP_Helper;
class Device_Comm_Mgmt;
class VELM_Local_Server_Handler;

namespace velm::timesync {

// Seconds between passes, largest tolerated clock jump, longest time between checks and the
// largest tolerated difference from the server.
constexpr int kPassSeconds = 5;
constexpr long kMaxJumpSeconds = 180;
constexpr long kCheckIntervalSeconds = 3599;
constexpr long kMaxDriftSeconds = 179;

// Path of the server's time endpoint.
constexpr const char* kTimePath = "/TR460_REGISTRATION_SERVICE/time_sync.html";

class Clock {
public:
    virtual ~Clock() = default;
    virtual double MonotonicSeconds() = 0;
    virtual time_t WallSeconds() = 0;
    virtual void Sleep(int seconds) = 0;
};

// CLOCK_MONOTONIC, time() and a monotonic sleep.
class SystemClock final : public Clock {
public:
    double MonotonicSeconds() override;
    time_t WallSeconds() override;
    void Sleep(int seconds) override;
};

struct TimeSyncContext {
    const std::atomic<bool>* stop = nullptr;  // the process-wide stop flag
    Clock* clock = nullptr;                    // null: SystemClock

    std::function<bool()> deviceBusy;                   // a request is using the scanner
    std::function<bool()> deviceConnected;              // a scanner is attached
    std::function<std::string()> fetchServerTime;      // "Date:" header text, empty on failure
    std::function<bool(const std::string&)> setSystemTime;
    std::function<bool()> setDeviceTime;
    std::function<time_t()> lastCheckTime;              // time of the last completed check
    std::function<void(time_t)> recordCheck;            // stores a completed check's time
    // Log line at the given level plus a notification of the same text.
    std::function<void(int level, const std::string&)> report;
};

// The loop; returns when *ctx.stop is set or an error escapes its handling.
void RunTimeSync(TimeSyncContext& ctx);

// One check pass (fetch, compare, set); exposed for tests. Throws what the hooks throw.
void RunCheckPass(TimeSyncContext& ctx);

// Hooks from the service objects: the server's time URL from the profile, the busy flag and
// clock operations of core, the connected flag of device, lastTimeCheck and the local
// server's copy of it. Logs through Logger and notifies through Commons.
TimeSyncContext BindTimeSync(const std::atomic<bool>* stop, std::atomic<int64_t>* lastTimeCheck,
                             VELM_Core_Helper* core, VELM_HTTP_Helper* http, Device_Comm_Mgmt* device,
                             VELM_Local_Server_Handler* server);

// Thread entry: arg is a TimeSyncContext* that outlives the thread.
void* StartTimeSyncThread(void* arg);

}  // namespace velm::timesync
