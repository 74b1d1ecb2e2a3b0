#include "core/CoreSpoof.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/VELM_Core_Helper.h"
#include "service/VELM_Utils.h"

namespace velm::spoof {

namespace {

constexpr int64_t kTwoDays = 172800;
constexpr int64_t kOneHour = 3600;
constexpr int kCountedBelowThreshold = 2000;
constexpr int kLockOutOff = 99;

std::mutex& HookMutex() {
    static std::mutex m;
    return m;
}
Clock& ClockHook() {
    static Clock c;
    return c;
}
Pause& PauseHook() {
    static Pause p;
    return p;
}

// A decimal int32 at the start of text (white space and sign allowed); throws when there is
// none or it does not fit.
int ToInt(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str()) throw std::invalid_argument("not a number: " + text);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) throw std::out_of_range("number out of range: " + text);
    return static_cast<int>(v);
}

}  // namespace

void SetClockForTesting(Clock clock) {
    std::lock_guard<std::mutex> lock(HookMutex());
    ClockHook() = std::move(clock);
}

time_t Now() {
    Clock c;
    {
        std::lock_guard<std::mutex> lock(HookMutex());
        c = ClockHook();
    }
    return c ? c() : std::time(nullptr);
}

void SetPauseForTesting(Pause pause) {
    std::lock_guard<std::mutex> lock(HookMutex());
    PauseHook() = std::move(pause);
}

void PauseBetweenFingers(int milliseconds) {
    Pause p;
    {
        std::lock_guard<std::mutex> lock(HookMutex());
        p = PauseHook();
    }
    if (p)
        p(milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool IsLockedOut(VELM_Core_Helper& core, time_t now) {
    const int max = core.maxSpoofAttempts.load();
    if (core.spoofAttempts.load() < max) {
        core.spoofReported = false;
        return false;
    }
    const int64_t lockEnds = core.lastSpoofCheck.load() + static_cast<int64_t>(core.lockMinutes.load()) * 60;
    if (static_cast<int64_t>(now) >= lockEnds) {
        if (max < kLockOutOff) core.spoofAttempts -= 3;
        core.spoofReported = false;
        return false;
    }
    if (max >= kLockOutOff) {
        core.spoofReported = false;
        return false;
    }
    return true;
}

int LivenessThreshold(bool isBRX500, bool premiumThreshold) {
    if (premiumThreshold) return isBRX500 ? 36300 : 38164;
    return isBRX500 ? 35000 : 36864;
}

bool JudgeLiveness(VELM_Core_Helper& core, const std::string& liveness, const std::string& quality, int threshold,
                   int& q, time_t now) {
    const int L = ToInt(liveness);
    if (quality.find('L') == std::string::npos) q = ToInt(quality);

    bool spoof = L < threshold;
    const bool weakForQuality = L >= threshold && q >= 1 && ((q <= 7 && L <= 37999) || (q >= 8 && L <= 40999));
    if (weakForQuality) {
        // Too weak for the reported quality: refused, but not counted.
        spoof = true;
    } else {
        if (static_cast<long long>(L) < static_cast<long long>(threshold) - kCountedBelowThreshold &&
            core.maxSpoofAttempts.load() < kLockOutOff) {
            if (core.lastSpoofCheck.load() < static_cast<int64_t>(now) - kOneHour)
                core.spoofAttempts = 1;
            else
                core.spoofAttempts += 1;
            core.lastSpoofCheck = static_cast<int64_t>(now);
        }
        if (!spoof) {
            core.spoofAttempts = 0;
            core.lastSpoofCheck = static_cast<int64_t>(now) - kTwoDays;
        }
    }
    PersistCounters(core);
    return spoof;
}

void PersistCounters(VELM_Core_Helper& core) {
    if (!core.utils) return;
    core.utils->WriteParametersToConfigFile(
        {{"LAST_SPOOF_CHECK",
          core.utils->GetStringFromTime(static_cast<time_t>(core.lastSpoofCheck.load()), "%Y-%m-%d %H:%M:%S")},
         {"SPOOF_ATTEMPT", std::to_string(core.spoofAttempts.load())}});
}

}  // namespace velm::spoof
