// The device-monitoring thread routine.
#include "service/DeviceMonitoring.h"

#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "device/DeviceDiscovery.h"
#include "service/Logger.h"

namespace {

// Waits for the pause between passes, returning early once the stop flag is set.
void PauseUnlessStopped(const std::atomic<bool>& stop, std::chrono::milliseconds interval) {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kSlice{100};
    const auto deadline = Clock::now() + interval;
    while (!stop.load()) {
        const auto now = Clock::now();
        if (now >= deadline) return;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        std::this_thread::sleep_for(left < kSlice ? left : kSlice);
    }
}

}  // namespace

void* StartDeviceMonitoring(void* arg) {
    auto* context = static_cast<DeviceMonitoringContext*>(arg);
    if (!context || !context->discovery || !context->stop) return nullptr;
    velm::discovery::DeviceDiscovery& discovery = *context->discovery;
    const std::atomic<bool>& stop = *context->stop;

    while (!stop.load()) {
        if (!discovery.DeviceBusy()) {
            std::string failure;
            try {
                discovery.MonitorL1Devices();
            } catch (const std::exception& e) {
                failure = std::string("Error while processing Device Monitoring task: ") + e.what();
            } catch (...) {
                failure = "Error while processing Device Monitoring task: Fatal Error";
            }
            if (!failure.empty()) {
                try {
                    discovery.Operations().Log(ERROR, failure);
                    discovery.Operations().Notify(failure);
                } catch (...) {
                    // Reporting must not end the thread.
                }
            }
        }
        PauseUnlessStopped(stop, context->interval);
    }
    std::fputs("Device monitoring thread stopped. returning..\r\n", stdout);
    std::fflush(stdout);
    return nullptr;
}
