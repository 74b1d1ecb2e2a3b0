#pragma once
// The device-monitoring thread: one discovery pass every two seconds while no request uses
// the scanner, until the process stops.
#include <atomic>
#include <chrono>
#include <string>

#include "device/DeviceDiscovery.h"

class Device_Comm_Mgmt;
class VELM_Core_Helper;
class VELM_Secure_Helper;

// Binds a discovery pass to the service's scanner link, service logic, log and notifications.
// The firmware steps are not bound yet, so the sequences end before the firmware check.
class ServiceScannerOperations : public velm::discovery::ScannerOperations {
public:
    ServiceScannerOperations(Device_Comm_Mgmt* device, VELM_Core_Helper* core, VELM_Secure_Helper* secure)
        : device_(device), core_(core), secure_(secure) {}

    bool ConnectDevice() override;
    void DisconnectDevice() override;
    std::string GetDeviceModelId() override;
    std::string GetDeviceSerialNumber() override;
    std::string GetOEMDeviceSerialNumber() override;
    std::string GetDeviceTime() override;
    bool SetDeviceTime() override;
    void SetRDSVER(const std::string& version) override;
    int CheckAndDownloadUidaiCertificates() override;
    int IsDeviceRegistered(bool skipExpiryCheck) override;
    bool RegisterDevice() override;
    void SendToSupportTool(const std::string& text) override;
    void Log(int level, const std::string& message) override;
    void Notify(const std::string& message) override;

private:
    Device_Comm_Mgmt* device_;
    VELM_Core_Helper* core_;
    VELM_Secure_Helper* secure_;
};

struct DeviceMonitoringContext {
    velm::discovery::DeviceDiscovery* discovery = nullptr;
    // The process stop flag; the thread leaves its loop once it is set.
    const std::atomic<bool>* stop = nullptr;
    // Pause between passes.
    std::chrono::milliseconds interval{2000};
};

// Thread body; arg is a DeviceMonitoringContext*. Returns null (0) when the process stops.
void* StartDeviceMonitoring(void* arg);
