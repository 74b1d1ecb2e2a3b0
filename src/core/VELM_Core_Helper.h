#pragma once
// RD service logic: the state shared by the RD API operations, the background threads and
// the support tool, and the operations of the RD API.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class Device_Comm_Mgmt;
class VELM_HTTP_Helper;
class VELM_Utils;
class VELM_Secure_Helper;

class VELM_Core_Helper {
public:
    VELM_Core_Helper(Device_Comm_Mgmt* device, VELM_HTTP_Helper* http, VELM_Utils* utils,
                     VELM_Secure_Helper* secure);
    virtual ~VELM_Core_Helper();

    VELM_Core_Helper(const VELM_Core_Helper&) = delete;
    VELM_Core_Helper& operator=(const VELM_Core_Helper&) = delete;

    // Busy flag: at most one request uses the scanner. TryAcquireDevice is an atomic
    // test-and-set; it returns false when another request already holds the scanner.
    bool TryAcquireDevice() { return !deviceInUse.exchange(true); }
    void ReleaseDevice() { deviceInUse.store(false); }

    // RD API operations.
    std::string ProcessRDInfoRequest();
    std::string ProcessDeviceInfoRequest(bool forCapture, std::string liveness, bool skipExpiryCheck);
    std::string ProcessCaptureRequest(std::string pidOptions, time_t lastCheckTime);
    std::string ProcessRegistrationRequest();

    // PidOptions and Demo (capture). The option record is twelve texts read by position.
    std::vector<std::string> ValidateAndDeserializePidOptionXML(std::string xml);
    bool ValidateDemoXmlString(std::string demo);
    std::string GetPositinIndex(std::string name);
    // Writes the protobuf Demo message into buffer (capacity bytes); returns its length,
    // 0 when nothing is set, -1 without a Demo element, -9 when a conversion failed.
    int CreateDemoProtobufData(std::string demoXml, uint8_t* buffer, size_t capacity);

    // Registration.
    int IsDeviceRegistered(bool skipExpiryCheck);
    bool RegisterDevice();

    // UIDAI keys and firmware check.
    int CheckAndDownloadUidaiCertificates();
    bool IsFirmwareUpgradeRequired(std::string serverVersion);
    void CheckForFirmwareUpgradeEx();

    // Clocks.
    bool SetSystemTime(std::string dateText);
    bool SetDeviceTime();

    std::atomic<bool> deviceInUse{false};
    std::atomic<bool> registrationRunning{false};
    std::atomic<bool> deviceTimeUpdateRunning{false};

    Device_Comm_Mgmt* device;
    VELM_HTTP_Helper* http;
    VELM_Utils* utils;
    VELM_Secure_Helper* secure;

    std::string stageCertPath;
    std::string prodCertPath;
    std::string preprodCertPath;
    std::vector<std::string> fingerPositions;
    std::atomic<bool> spoofReported{false};
    std::atomic<int32_t> maxSpoofAttempts{99};
    std::atomic<int32_t> lockMinutes{15};
    std::atomic<int32_t> spoofAttempts{0};
    std::atomic<int64_t> lastSpoofCheck{0};
};
