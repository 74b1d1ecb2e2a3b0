// The time-sync loop driven by a fake clock: when it checks, what it sets, what it records.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "TempInstallRoot.h"
#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "service/TimeSync.h"
#include "service/VELM_Utils.h"

using namespace velm::timesync;

namespace {

std::string HttpDate(time_t t) {
    struct tm g;
    gmtime_r(&t, &g);
    char buf[64];
    strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT\r\n", &g);
    return buf;
}

// Fake time: each sleep advances both clocks; the test can step the wall clock alone.
// The loop is stopped once the fake time passes `until`.
class FakeClock : public Clock {
public:
    double MonotonicSeconds() override { return mono; }
    time_t WallSeconds() override { return wall; }
    void Sleep(int seconds) override {
        mono += seconds;
        wall += seconds;
        if (onSleep) onSleep();
        if (mono >= until) stop->store(true);
    }
    double mono = 1000;
    time_t wall = 1'800'000'000;  // 2027-01-15
    double until = 0;
    std::atomic<bool>* stop = nullptr;
    std::function<void()> onSleep;
};

class TimeSyncLoop : public ::testing::Test {
protected:
    void SetUp() override {
        clock.stop = &stop;
        lastCheck = clock.wall;  // the start-up synchronisation just ran
        ctx.stop = &stop;
        ctx.clock = &clock;
        ctx.deviceBusy = [this] { return busy; };
        ctx.deviceConnected = [this] { return connected; };
        ctx.fetchServerTime = [this]() -> std::string {
            fetchTimes.push_back(clock.mono);
            if (fetchThrows) throw std::runtime_error("boom");
            if (!serverUp) return "";
            return HttpDate(clock.wall + serverOffset);
        };
        ctx.setSystemTime = [this](const std::string& date) {
            systemTimeSets.push_back(date);
            if (!setSystemOk) return false;
            clock.wall += serverOffset;  // the host clock now follows the server
            serverOffset = 0;
            return true;
        };
        ctx.setDeviceTime = [this] {
            ++deviceTimeSets;
            return setDeviceOk;
        };
        ctx.lastCheckTime = [this] { return lastCheck; };
        ctx.recordCheck = [this](time_t t) {
            lastCheck = t;
            records.push_back(t);
        };
        ctx.report = [this](int level, const std::string& text) { reports.push_back(std::to_string(level) + ":" + text); };
    }
    void RunFor(double seconds) {
        clock.until = clock.mono + seconds;
        RunTimeSync(ctx);
    }
    bool Reported(const std::string& text) const {
        for (const auto& r : reports)
            if (r.find(text) != std::string::npos) return true;
        return false;
    }

    std::atomic<bool> stop{false};
    FakeClock clock;
    TimeSyncContext ctx;
    bool busy = false, connected = true, serverUp = true, fetchThrows = false;
    bool setSystemOk = true, setDeviceOk = true;
    long serverOffset = 0;
    time_t lastCheck = 0;
    std::vector<double> fetchTimes;
    std::vector<std::string> systemTimeSets;
    int deviceTimeSets = 0;
    std::vector<time_t> records;
    std::vector<std::string> reports;
};

TEST_F(TimeSyncLoop, SmallDifferenceSetsNothingButRecordsTheCheck) {
    lastCheck = clock.wall - 4000;  // a check is due
    serverOffset = 100;
    RunFor(60);
    ASSERT_EQ(fetchTimes.size(), 1u);
    EXPECT_TRUE(systemTimeSets.empty());
    EXPECT_EQ(deviceTimeSets, 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], 1'800'000'000);
    EXPECT_TRUE(Reported("Validating and setting both system and device times."));
}

TEST_F(TimeSyncLoop, LargeDifferenceSetsHostThenScanner) {
    lastCheck = clock.wall - 4000;
    serverOffset = 200;
    const std::string expectedDate = HttpDate(clock.wall + 200);
    RunFor(60);
    ASSERT_EQ(systemTimeSets.size(), 1u);
    EXPECT_EQ(systemTimeSets[0], expectedDate);
    EXPECT_EQ(deviceTimeSets, 1);
    // The check is recorded with the new host time and the step it made is no clock jump.
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], 1'800'000'000 + 200);
    EXPECT_EQ(fetchTimes.size(), 1u);
    EXPECT_TRUE(Reported("Setting host system time"));
    EXPECT_TRUE(Reported("Setting Device Time"));
}

TEST_F(TimeSyncLoop, ScannerClockOnlyWithAScannerAndOnlyAfterTheHostClock) {
    lastCheck = clock.wall - 4000;
    serverOffset = -200;
    connected = false;
    RunFor(20);
    EXPECT_EQ(systemTimeSets.size(), 1u);
    EXPECT_EQ(deviceTimeSets, 0);

    // A refused host clock leaves the scanner alone and says so.
    lastCheck = clock.wall - 4000;
    serverOffset = 300;
    connected = true;
    setSystemOk = false;
    stop = false;
    RunFor(20);
    EXPECT_EQ(systemTimeSets.size(), 2u);
    EXPECT_EQ(deviceTimeSets, 0);
    EXPECT_TRUE(Reported("2:Error while processing Device Time Monitoring task: Can't set system time. Check logs."));

    // A refused scanner clock is reported.
    lastCheck = clock.wall - 4000;
    setSystemOk = true;
    setDeviceOk = false;
    stop = false;
    RunFor(20);
    EXPECT_EQ(deviceTimeSets, 1);
    EXPECT_TRUE(Reported("2:Error while processing Device Time Monitoring task: Can't set device time. Check logs."));
}

TEST_F(TimeSyncLoop, HostClockJumpTriggersACheckWithinOnePass) {
    int passes = 0;
    clock.onSleep = [&] {
        if (++passes == 10) clock.wall += 600;  // somebody moves the host clock forward
    };
    const double jumpAt = clock.mono + 50;
    RunFor(120);
    ASSERT_EQ(fetchTimes.size(), 1u);
    EXPECT_LE(fetchTimes[0] - jumpAt, 5.0);
    EXPECT_GE(fetchTimes[0], jumpAt);
}

TEST_F(TimeSyncLoop, SmallClockStepsAndAFreshCheckDoNotTrigger) {
    int passes = 0;
    clock.onSleep = [&] {
        if (++passes == 10) clock.wall += 170;
    };
    RunFor(600);
    EXPECT_TRUE(fetchTimes.empty());
}

TEST_F(TimeSyncLoop, UnreachableServerWaitsAnHour) {
    lastCheck = clock.wall - 4000;
    serverUp = false;
    const double start = clock.mono;
    RunFor(2 * 3600 + 100);
    ASSERT_EQ(fetchTimes.size(), 3u);
    EXPECT_EQ(fetchTimes[0], start);
    EXPECT_NEAR(fetchTimes[1] - fetchTimes[0], 3600, 5);
    EXPECT_NEAR(fetchTimes[2] - fetchTimes[1], 3600, 5);
    EXPECT_EQ(records.size(), 3u);
    EXPECT_TRUE(systemTimeSets.empty());
}

TEST_F(TimeSyncLoop, FailedCheckIsRetriedAtTheNextPass) {
    lastCheck = clock.wall - 4000;
    fetchThrows = true;
    clock.onSleep = [&] {
        if (fetchTimes.size() == 2) fetchThrows = false;
    };
    RunFor(3000);
    ASSERT_EQ(fetchTimes.size(), 3u);
    EXPECT_EQ(fetchTimes[1] - fetchTimes[0], 5.0);
    EXPECT_EQ(fetchTimes[2] - fetchTimes[1], 5.0);
    EXPECT_EQ(records.size(), 1u);  // only the check that completed
    EXPECT_TRUE(Reported("2:Error while processing Device Time Monitoring task: boom"));
}

TEST_F(TimeSyncLoop, NoCheckWhileTheScannerIsBusy) {
    lastCheck = clock.wall - 4000;
    busy = true;
    clock.onSleep = [&] {
        if (clock.mono >= 1000 + 300) busy = false;
    };
    RunFor(400);
    ASSERT_EQ(fetchTimes.size(), 1u);
    EXPECT_GE(fetchTimes[0], 1300.0);
}

TEST_F(TimeSyncLoop, UnparsableServerDateSetsNothing) {
    lastCheck = clock.wall - 4000;
    ctx.fetchServerTime = [this]() -> std::string {
        fetchTimes.push_back(clock.mono);
        return "<html>gateway error</html>";
    };
    RunFor(20);
    EXPECT_EQ(fetchTimes.size(), 1u);
    EXPECT_TRUE(systemTimeSets.empty());
    EXPECT_EQ(records.size(), 1u);
}

TEST_F(TimeSyncLoop, ThreadEntryStopsOnTheFlag) {
    stop = true;
    EXPECT_EQ(StartTimeSyncThread(&ctx), nullptr);
    EXPECT_TRUE(fetchTimes.empty());
}

}  // namespace

// The hooks bound to the real service objects: setting the scanner clock holds the scanner
// like a request does, and steps aside while a request holds it.

TEST(TimeSyncBindings, DeviceTimeHoldsTheScannerAndStepsAsideForARequest) {
    TempInstallRoot root;
    VELM_Utils utils;
    Device_Comm_Mgmt device(&utils);  // no scanner connected
    VELM_Core_Helper core(&device, nullptr, &utils, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> lastCheck{0};
    velm::timesync::TimeSyncContext ctx =
        velm::timesync::BindTimeSync(&stop, &lastCheck, &core, nullptr, &device, nullptr);

    ASSERT_TRUE(core.TryAcquireDevice());  // a capture holds the scanner
    EXPECT_TRUE(ctx.setDeviceTime());      // left to the capture, nothing reported as failed
    EXPECT_TRUE(core.deviceInUse.load());  // and the capture's hold is untouched
    core.ReleaseDevice();

    EXPECT_FALSE(ctx.setDeviceTime());      // idle: it really tries (and fails: no scanner)
    EXPECT_FALSE(core.deviceInUse.load());  // and lets go of the scanner afterwards
}
