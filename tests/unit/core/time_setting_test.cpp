// Host and scanner clocks with the real classes: the clock command as run, the scanner's
// encrypted time request, and the time-sync loop against the server twin.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "IndiaTime.h"
#include "core/CoreSupport.h"
#include "registration_twins.h"
#include "service/TimeSync.h"

namespace {

class Clocks : public velm::test::TwinsFixture {
protected:
    double ScannerOffset() {
        const std::string answer = Call("scanner", "clock_offset_seconds");
        const size_t p = answer.find("\"result\": ");
        return p == std::string::npos ? 1e9 : std::atof(answer.c_str() + p + 10);
    }
    int SetTimeCommands() {
        const std::string answer = Call("scanner", "commands");
        int n = 0;
        for (size_t p = answer.find("VELM_SetTime"); p != std::string::npos; p = answer.find("VELM_SetTime", p + 1)) ++n;
        return n;
    }
    velm::test::IndiaTime india_;
};

TEST_F(Clocks, SystemTimeRunsTheClockCommandWithIndianTime) {
    EXPECT_TRUE(core_->SetSystemTime("Wed, 09 Dec 2026 15:31:08 GMT\r\n"));
    EXPECT_EQ(DateLog(), "-s|2026-12-09 21:01:08|\n");
}

TEST_F(Clocks, SystemTimeRefusesBadTextAndReportsAFailedCommand) {
    EXPECT_FALSE(core_->SetSystemTime("Wed, 09 Dec 2026"));
    EXPECT_FALSE(core_->SetSystemTime(""));
    EXPECT_FALSE(core_->SetSystemTime("Wed, 09 Dec 2026 15:31:08 GMT; rm -rf /"));
    EXPECT_EQ(DateLog(), "");  // the clock was left alone

    ::setenv("DATE_EXIT", "1", 1);
    EXPECT_FALSE(core_->SetSystemTime("Wed, 09 Dec 2026 15:31:08 GMT"));
    EXPECT_EQ(DateLog(), "-s|2026-12-09 21:01:08|\n");
}

TEST_F(Clocks, DeviceTimeBringsTheScannerToHostTime) {
    Call("scanner", "set_clock", "{\"when\": \"2020-01-01T00:00:00\"}");
    ASSERT_GT(std::fabs(ScannerOffset()), 1e6);
    const time_t before = time(nullptr);
    ASSERT_TRUE(core_->SetDeviceTime());
    EXPECT_FALSE(core_->deviceTimeUpdateRunning.load());
    EXPECT_LT(std::fabs(ScannerOffset()), 5.0);
    // The stamp the scanner decrypted is the host's local time with the weekday digit.
    const std::string received = Call("scanner", "received");
    const std::string stamp = velm::test::JsonString(received, "time_set");
    EXPECT_TRUE(stamp == velm::core::BuildDeviceTimeStamp(before) ||
                stamp == velm::core::BuildDeviceTimeStamp(before + 1))
        << stamp;
}

TEST_F(Clocks, DeviceTimeNeedsAFullRecordAndDeviceCode) {
    Call("scanner", "set", "{\"time_record\": \"2026-01-04T08:05:09,0,P,2.04,0,R,APP\"}");
    EXPECT_FALSE(core_->SetDeviceTime());
    Call("scanner", "set", "{\"time_record\": null}");
    Call("scanner", "set_device_code", "{\"code\": \"0f1e-2d3c\"}");
    EXPECT_FALSE(core_->SetDeviceTime());
    EXPECT_FALSE(core_->deviceTimeUpdateRunning.load());
    EXPECT_EQ(SetTimeCommands(), 0);

    Call("scanner", "set_device_code", "{\"code\": \"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\"}");
    Call("scanner", "set_reply", "{\"word\": \"VELM_SetTime\", \"reply\": \"FAILED\"}");
    EXPECT_FALSE(core_->SetDeviceTime());
    EXPECT_EQ(SetTimeCommands(), 1);
}

// A fake clock that starts at the real time and advances 5 s per pass.
class StepClock : public velm::timesync::Clock {
public:
    double MonotonicSeconds() override { return mono; }
    time_t WallSeconds() override { return wall; }
    void Sleep(int seconds) override {
        mono += seconds;
        wall += seconds;
        if (--passes <= 0) stop.store(true);
    }
    double mono = 0;
    time_t wall = time(nullptr);
    int passes = 3;
    std::atomic<bool> stop{false};
};

TEST_F(Clocks, TimeSyncAgainstTheServer) {
    std::atomic<int64_t> lastTimeCheck{static_cast<int64_t>(time(nullptr)) - 7200};
    StepClock clock;
    auto ctx = velm::timesync::BindTimeSync(&clock.stop, &lastTimeCheck, core_.get(), http_.get(), device_.get(),
                                            nullptr);
    ctx.clock = &clock;

    // 100 s apart: nothing is set, the check is recorded.
    Call("server", "set_time_offset", "{\"seconds\": 100}");
    velm::timesync::RunTimeSync(ctx);
    EXPECT_EQ(DateLog(), "");
    EXPECT_EQ(SetTimeCommands(), 0);
    EXPECT_NEAR(static_cast<double>(lastTimeCheck.load()), static_cast<double>(time(nullptr)), 60);

    // 200 s apart: host clock, then scanner clock.
    lastTimeCheck = static_cast<int64_t>(time(nullptr)) - 7200;
    clock.passes = 3;
    clock.stop = false;
    Call("server", "set_time_offset", "{\"seconds\": 200}");
    velm::timesync::RunTimeSync(ctx);
    EXPECT_EQ(DateLog().rfind("-s|", 0), 0u) << DateLog();
    EXPECT_EQ(SetTimeCommands(), 1);
    const std::string requests = Call("server", "requests");
    EXPECT_NE(requests.find("/TR460_REGISTRATION_SERVICE/time_sync.html"), std::string::npos);
}

}  // namespace
