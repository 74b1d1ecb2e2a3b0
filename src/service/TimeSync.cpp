#include "service/TimeSync.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>

#include "core/CoreSupport.h"

namespace velm::timesync {
namespace {

constexpr int kInfo = 0;   // log levels, as the logger numbers them
constexpr int kError = 2;
constexpr const char* kTaskError = "Error while processing Device Time Monitoring task: ";

long WholeSeconds(double s) { return static_cast<long>(std::trunc(s)); }

}  // namespace

double SystemClock::MonotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

time_t SystemClock::WallSeconds() { return time(nullptr); }

void SystemClock::Sleep(int seconds) {
    struct timespec ts{seconds, 0};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

void RunCheckPass(TimeSyncContext& ctx) {
    ctx.report(kInfo, "Validating and setting both system and device times.");
    const std::string date = ctx.fetchServerTime();
    if (date.size() < 4) return;  // no answer: counts as a check, the next one comes in an hour
    const time_t local = ctx.clock->WallSeconds();
    time_t server = 0;
    if (!velm::core::ParseServerDate(date, server)) return;
    const long diff = std::labs(WholeSeconds(difftime(local, server)));
    if (diff <= kMaxDriftSeconds) return;
    ctx.report(kInfo, "Setting host system time");
    if (!ctx.setSystemTime(date)) {
        ctx.report(kError, std::string(kTaskError) + "Can't set system time. Check logs.");
        return;
    }
    if (ctx.deviceConnected()) {
        ctx.report(kInfo, "Setting Device Time");
        if (!ctx.setDeviceTime()) ctx.report(kError, std::string(kTaskError) + "Can't set device time. Check logs.");
    }
}

void RunTimeSync(TimeSyncContext& ctx) {
    SystemClock systemClock;
    if (ctx.clock == nullptr) ctx.clock = &systemClock;
    Clock& clock = *ctx.clock;
    double monoAnchor = clock.MonotonicSeconds();
    time_t wallAnchor = clock.WallSeconds();
    try {
        while (!ctx.stop->load()) {
            if (ctx.deviceBusy()) {
                clock.Sleep(kPassSeconds);
                continue;
            }
            const double monoNow = clock.MonotonicSeconds();
            const time_t wallNow = clock.WallSeconds();
            const long jump = WholeSeconds(monoNow - monoAnchor) - WholeSeconds(difftime(wallNow, wallAnchor));
            const long since = std::labs(WholeSeconds(difftime(wallNow, ctx.lastCheckTime())));
            if (std::labs(jump) <= kMaxJumpSeconds && since <= kCheckIntervalSeconds) {
                clock.Sleep(kPassSeconds);
                continue;
            }
            try {
                RunCheckPass(ctx);
                monoAnchor = clock.MonotonicSeconds();
                wallAnchor = clock.WallSeconds();
                ctx.recordCheck(wallAnchor);
            } catch (const std::exception& e) {
                ctx.report(kError, std::string(kTaskError) + e.what());
            } catch (...) {
                ctx.report(kError, std::string(kTaskError) + "Fatal Error");
            }
            clock.Sleep(kPassSeconds);
        }
    } catch (const std::exception& e) {
        ctx.report(kError, std::string(kTaskError) + e.what());
    } catch (...) {
        ctx.report(kError, std::string(kTaskError) + "Fatal Error");
    }
    if (ctx.clock == &systemClock) ctx.clock = nullptr;
    std::fputs("Time sync thread stopped. returning..\r\n", stdout);
    std::fflush(stdout);
}

void* StartTimeSyncThread(void* arg) {
    if (arg != nullptr) RunTimeSync(*static_cast<TimeSyncContext*>(arg));
    return nullptr;
}

}  // namespace velm::timesync
