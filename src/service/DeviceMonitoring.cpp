// The device-monitoring thread routine.
#include "service/DeviceMonitoring.h"

#include <sys/socket.h>

#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "core/VELM_Core_Helper.h"
#include "device/DeviceDiscovery.h"
#include "device/Device_Comm_Mgmt.h"
#include "security/VELM_Secure_Helper.h"
#include "service/Commons.h"
#include "service/Logger.h"

bool ServiceScannerOperations::ConnectDevice() { return device_->ConnectDevice(); }
void ServiceScannerOperations::DisconnectDevice() { device_->DisconnectDevice(); }
std::string ServiceScannerOperations::GetDeviceModelId() { return device_->GetDeviceModelId(); }
std::string ServiceScannerOperations::GetDeviceSerialNumber() { return device_->GetDeviceSerialNumber(); }
std::string ServiceScannerOperations::GetOEMDeviceSerialNumber() { return device_->GetOEMDeviceSerialNumber(); }
std::string ServiceScannerOperations::GetDeviceTime() { return device_->GetDeviceTime(); }
bool ServiceScannerOperations::SetDeviceTime() { return core_->SetDeviceTime(); }
void ServiceScannerOperations::SetRDSVER(const std::string& version) { secure_->SetRDSVER(version); }
int ServiceScannerOperations::CheckAndDownloadUidaiCertificates() {
    return core_->CheckAndDownloadUidaiCertificates();
}
int ServiceScannerOperations::IsDeviceRegistered(bool skipExpiryCheck) {
    return core_->IsDeviceRegistered(skipExpiryCheck);
}
bool ServiceScannerOperations::RegisterDevice() { return core_->RegisterDevice(); }
void ServiceScannerOperations::SendToSupportTool(const std::string& text) {
    const int fd = Commons::supportClientsock.load();
    if (fd < 0) return;
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}
void ServiceScannerOperations::Log(int level, const std::string& message) { Logger::log(level, message); }
void ServiceScannerOperations::Notify(const std::string& message) { Commons::ShowNotification(message); }

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
