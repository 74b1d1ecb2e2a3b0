// Anti-spoof rules of the capture flow with an injected clock: the lock-out decision, the
// liveness judgement of one finger, and the counters written to the configuration store.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "TempInstallRoot.h"
#include "core/CoreSpoof.h"
#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "service/VELM_Utils.h"

namespace {

constexpr time_t kNow = 1790000000;

class CaptureSpoof : public ::testing::Test {
protected:
    void SetUp() override {
        root.MakeInstallDir();
        core.maxSpoofAttempts = 5;
        core.lockMinutes = 15;
        core.spoofAttempts = 0;
        core.lastSpoofCheck = kNow - 172800;
    }
    TempInstallRoot root;
    VELM_Utils utils;
    Device_Comm_Mgmt device{&utils};
    VELM_Core_Helper core{&device, nullptr, &utils, nullptr};
};

}  // namespace

TEST_F(CaptureSpoof, LockOutDecision) {
    struct Case {
        int max, attempts;
        int64_t sinceLast;  // now - lastSpoofCheck
        bool locked;
        int attemptsAfter;
    };
    const Case cases[] = {
        {5, 4, 0, false, 4},          // below the limit
        {5, 5, 0, true, 5},           // at the limit, just checked
        {5, 7, 899, true, 7},         // one second before the lock ends
        {5, 5, 900, false, 2},        // lock over: lowered by three
        {5, 9, 3000, false, 6},       // lowered once per decision, may stay at or above the limit
        {99, 150, 0, false, 150},     // 99: lock-out off, nothing lowered
        {99, 150, 5000, false, 150},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.max) + "/" + std::to_string(c.attempts) + "/" + std::to_string(c.sinceLast));
        core.maxSpoofAttempts = c.max;
        core.spoofAttempts = c.attempts;
        core.lastSpoofCheck = kNow - c.sinceLast;
        core.spoofReported = true;
        EXPECT_EQ(velm::spoof::IsLockedOut(core, kNow), c.locked);
        EXPECT_EQ(core.spoofAttempts.load(), c.attemptsAfter);
        EXPECT_EQ(core.spoofReported.load(), c.locked) << "cleared whenever not locked";
        EXPECT_EQ(core.lastSpoofCheck.load(), kNow - c.sinceLast) << "the decision never moves the clock mark";
    }
}

TEST_F(CaptureSpoof, LivenessJudgement) {
    struct Case {
        const char* liveness;
        const char* quality;
        int qBefore;
        int max;
        int attemptsBefore;
        int64_t sinceLast;
        bool spoof;
        int attemptsAfter;
        int64_t lastAfterFromNow;  // lastSpoofCheck - now afterwards
        int qAfter;
    };
    const int T = 36864;
    const Case cases[] = {
        // Clear pass: counter reset, mark moved 48 hours back.
        {"45000", "0", 0, 5, 3, 0, false, 0, -172800, 0},
        // More than 2000 below: counted (recent mark: +1; old mark: restart at 1).
        {"30000", "0", 0, 5, 2, 10, true, 3, 0, 0},
        {"30000", "0", 0, 5, 2, 3601, true, 1, 0, 0},
        {"34863", "0", 0, 5, 0, 10, true, 1, 0, 0},
        // Below, but by at most 2000: refused, not counted.
        {"34864", "0", 0, 5, 2, 10, true, 2, -10, 0},
        {"36863", "0", 0, 5, 2, 10, true, 2, -10, 0},
        // Counting off with 99.
        {"30000", "0", 0, 99, 2, 10, true, 2, -10, 0},
        // At the threshold but too weak for the quality count: refused, not counted, no reset.
        {"36864", "7", 0, 5, 2, 10, true, 2, -10, 7},
        {"37999", "1", 0, 5, 2, 10, true, 2, -10, 1},
        {"38000", "7", 0, 5, 2, 10, false, 0, -172800, 7},
        {"40999", "8", 0, 5, 2, 10, true, 2, -10, 8},
        {"41000", "8", 0, 5, 2, 10, false, 0, -172800, 8},
        // A quality field with "L" keeps the previous count.
        {"37000", "L3", 4, 5, 2, 10, true, 2, -10, 4},
        {"37000", "L3", 0, 5, 2, 10, false, 0, -172800, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.liveness) + "/" + c.quality + "/" + std::to_string(c.max));
        core.maxSpoofAttempts = c.max;
        core.spoofAttempts = c.attemptsBefore;
        core.lastSpoofCheck = kNow - c.sinceLast;
        int q = c.qBefore;
        EXPECT_EQ(velm::spoof::JudgeLiveness(core, c.liveness, c.quality, T, q, kNow), c.spoof);
        EXPECT_EQ(core.spoofAttempts.load(), c.attemptsAfter);
        EXPECT_EQ(core.lastSpoofCheck.load() - kNow, c.lastAfterFromNow);
        EXPECT_EQ(q, c.qAfter);
        // Both counters are in the store after every judgement.
        EXPECT_EQ(utils.ReadParameterFromConfigFile("SPOOF_ATTEMPT"), std::to_string(c.attemptsAfter));
        EXPECT_EQ(utils.ReadParameterFromConfigFile("LAST_SPOOF_CHECK"),
                  utils.GetStringFromTime(kNow + c.lastAfterFromNow, "%Y-%m-%d %H:%M:%S"));
    }
}

TEST_F(CaptureSpoof, NonNumericFieldsAreRefused) {
    int q = 0;
    EXPECT_THROW(velm::spoof::JudgeLiveness(core, "", "0", 36864, q, kNow), std::exception);
    EXPECT_THROW(velm::spoof::JudgeLiveness(core, "abc", "0", 36864, q, kNow), std::exception);
    EXPECT_THROW(velm::spoof::JudgeLiveness(core, "40000", "x", 36864, q, kNow), std::exception);
    EXPECT_THROW(velm::spoof::JudgeLiveness(core, "99999999999", "0", 36864, q, kNow), std::exception);
    EXPECT_EQ(core.spoofAttempts.load(), 0);
}

TEST_F(CaptureSpoof, FiveCountedSpoofsLockForLockMinutes) {
    // Each capture sets the mark to its own time before judging, as the flow does.
    time_t now = kNow;
    int q = 0;
    for (int i = 1; i <= 5; ++i) {
        ASSERT_FALSE(velm::spoof::IsLockedOut(core, now));
        core.lastSpoofCheck = now;
        EXPECT_TRUE(velm::spoof::JudgeLiveness(core, "30000", "0", 36864, q, now));
        EXPECT_EQ(core.spoofAttempts.load(), i);
        now += 60;
    }
    const time_t lastSpoof = now - 60;
    EXPECT_TRUE(velm::spoof::IsLockedOut(core, lastSpoof + 15 * 60 - 1));
    EXPECT_TRUE(velm::spoof::IsLockedOut(core, lastSpoof + 1));
    EXPECT_FALSE(velm::spoof::IsLockedOut(core, lastSpoof + 15 * 60));
    EXPECT_EQ(core.spoofAttempts.load(), 2);
    // A store written by the judgement restores the same state in a new service object.
    VELM_Core_Helper restarted(&device, nullptr, &utils, nullptr);
    EXPECT_EQ(restarted.spoofAttempts.load(), 5);
    EXPECT_EQ(restarted.lastSpoofCheck.load(), static_cast<int64_t>(lastSpoof));
}

TEST_F(CaptureSpoof, Thresholds) {
    EXPECT_EQ(velm::spoof::LivenessThreshold(false, false), 36864);
    EXPECT_EQ(velm::spoof::LivenessThreshold(true, false), 35000);
    EXPECT_EQ(velm::spoof::LivenessThreshold(false, true), 38164);
    EXPECT_EQ(velm::spoof::LivenessThreshold(true, true), 36300);
}

TEST_F(CaptureSpoof, InjectedClock) {
    velm::spoof::SetClockForTesting([] { return kNow; });
    EXPECT_EQ(velm::spoof::Now(), kNow);
    velm::spoof::SetClockForTesting(nullptr);
    EXPECT_GT(velm::spoof::Now(), kNow - 100000000);
    EXPECT_NE(velm::spoof::Now(), kNow);
}
